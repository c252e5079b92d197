# A modeller exports and resets the scene again and again in one session: what each export
# takes must come back with "reset_scene", or the host runs out of memory over a long day.
# The full count is 1,000 cycles (scripts/fuzz.sh); the test run sets ZARNIKSU_EXPORT_CYCLES
# lower.
ENV["ZARNIKSU_FILE_PANEL_ANSWER"] = ""
require "test_helper"
require_relative "../fuzz/memory"
require "zarniksu_driver"

class MemoryExportTest < Minitest::Test
  # The engine renders each export in the background, so a single reading may land while a
  # frame's buffers are held or just after they went: readings swing by some MiB either way.
  # A leak climbs with every cycle, so the highest reading of a window early on is compared
  # with the lowest of a window at the end; the swing cancels, a climb does not. The readings
  # are the allocator's bytes in use; resident memory is printed beside them.
  WINDOW = 20

  def test_export_and_reset_cycles_give_their_memory_back
    cycles = MemoryHelper.count("ZARNIKSU_EXPORT_CYCLES", 1000)
    model = ZarniksuDriver::SampleModel.build
    first_window = ([cycles / 10, 1].max...[cycles / 10, 1].max + WINDOW)
    last_window = ((cycles - WINDOW)...cycles)
    early = []
    late = []
    resident = nil
    cycles.times do |i|
      summary = ZarniksuDriver::Exporter.new(progress_io: nil, progress: false).export(model)
      assert_empty summary.failed_meshes if i.zero?
      assert_equal true, ZarnikExt.reset_scene
      early << MemoryHelper.heap_bytes if first_window.cover?(i)
      late << MemoryHelper.heap_bytes if last_window.cover?(i)
      resident = MemoryHelper.resident_bytes if i == first_window.last - 1
    end
    reference = early.max
    final = late.min
    puts "export cycles: heap in use at most #{MemoryHelper.mib(reference)} in cycles #{first_window.first + 1} to " \
         "#{first_window.last}, at least #{MemoryHelper.mib(final)} in the last #{late.size} of #{cycles}; " \
         "resident #{MemoryHelper.mib(resident)} then, #{MemoryHelper.mib(MemoryHelper.resident_bytes)} at the end"
    return if MemoryHelper.sanitized?

    assert_operator final, :<=, reference * 1.05,
                    "heap in use grew from at most #{MemoryHelper.mib(reference)} early on " \
                    "to at least #{MemoryHelper.mib(final)} at the end"
  end
end
