# A modeller exports and resets the scene again and again in one session: what each export
# takes must come back with "reset_scene", or the host runs out of memory over a long day.
# The full count is 1,000 cycles (scripts/fuzz.sh); the test run sets ZARNIKSU_EXPORT_CYCLES
# lower.
ENV["ZARNIKSU_FILE_PANEL_ANSWER"] = ""
require "test_helper"
require_relative "../fuzz/memory"
require "zarniksu_driver"

class MemoryExportTest < Minitest::Test
  def test_export_and_reset_cycles_give_their_memory_back
    cycles = MemoryHelper.count("ZARNIKSU_EXPORT_CYCLES", 1000)
    model = ZarniksuDriver::SampleModel.build
    reference = nil
    reference_cycle = [cycles / 10, 1].max
    cycles.times do |i|
      summary = ZarniksuDriver::Exporter.new(progress_io: nil, progress: false).export(model)
      assert_empty summary.failed_meshes if i.zero?
      assert_equal true, ZarnikExt.reset_scene
      reference = MemoryHelper.resident_bytes if i + 1 == reference_cycle
    end
    final = MemoryHelper.resident_bytes
    puts "export cycles: #{MemoryHelper.mib(reference)} after cycle #{reference_cycle}, " \
         "#{MemoryHelper.mib(final)} after cycle #{cycles}"
    return if MemoryHelper.sanitized?

    assert_operator final, :<=, reference * 1.05,
                    "resident memory grew from #{MemoryHelper.mib(reference)} after cycle #{reference_cycle} " \
                    "to #{MemoryHelper.mib(final)} after cycle #{cycles}"
  end
end
