# Loads the extension as the host would, then the probe that looks inside the engine.
#
# The extension starts once per process, so each test file runs in a process of its own.
# A file picks the name the host loads the module under by setting ZARNIKSU_ENTRY before
# requiring this helper:
#
#   ZARNIKSU_ENTRY = "zarniksu16"
#   require "test_helper"
require "minitest/autorun"

ZARNIKSU_ENTRY = "zarniksu18" unless defined?(ZARNIKSU_ENTRY)
require ZARNIKSU_ENTRY
require "zarnik_probe"

module ZarnikTest
  @shut_down = false

  class << self
    # Shuts the extension down once per process. Tests that check the shut-down call this
    # instead of ZarnikExt.shutdown directly, so the safety net below does not repeat it.
    def shutdown
      return nil if @shut_down
      @shut_down = true
      ZarnikExt.shutdown
    end

    def needs_shutdown?
      !@shut_down && defined?(ZarnikExt) && ZarnikExt.respond_to?(:shutdown) && ZarnikProbe.engine_started?
    end
  end

  # Folders and logs as the extension lays them out under HOME.
  module Files
    def documents_dir
      File.join(Dir.home, "Documents")
    end

    def logs_dir
      File.join(documents_dir, "Zarnik", "SketchUp", "logs")
    end

    # Lines of the debug log, without their line ends; empty while there is no log.
    def debug_log_lines
      path = File.join(logs_dir, "debug-log.txt")
      File.exist?(path) ? File.readlines(path, chomp: true) : []
    end

    # Every glog INFO file the extension wrote, oldest first, as one text.
    def glog_text
      Dir.glob(File.join(logs_dir, "ZarnikSketchup*")).select { |path| File.file?(path) }.sort
         .map { |path| File.binread(path) }.join
    end
  end
end

Minitest::Test.include(ZarnikTest::Files)

# The extension is meant to be shut down once before the process ends; a file whose tests
# did not do it gets it here, after its last test.
Minitest.after_run { ZarnikTest.shutdown if ZarnikTest.needs_shutdown? }
