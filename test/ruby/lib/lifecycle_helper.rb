# Runs short Ruby scripts that load the extension in a process of their own, each with a
# fresh HOME, and reads back what they left under it. The start-up and shut-down of the
# extension happen once per process, so every life-cycle case needs its own.
require "open3"
require "tmpdir"
require "fileutils"

module LifecycleHelper
  EXT_DIR = ENV.fetch("ZARNIKSU_EXT_DIR") do
    $LOAD_PATH.find { |dir| File.exist?(File.join(dir, "zarniksu18.so")) }
  end
  TEST_LIB_DIR = __dir__
  DEBUG_LINE = /\AP(?<pid>\h{8,}) T(?<thread>\h{16,}) (?<time>\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (?<message>.*)\z/
  SHUTDOWN_STEPS = ["Stopping server loop...", "Stopping Zarnik SDK...", "Shutdown complete"].freeze

  # What one script run left behind.
  Run = Struct.new(:status, :stdout, :stderr, :home, keyword_init: true) do
    def logs_dir
      File.join(home, "Documents", "Zarnik", "SketchUp", "logs")
    end

    def debug_lines
      path = File.join(logs_dir, "debug-log.txt")
      File.exist?(path) ? File.readlines(path, chomp: true) : []
    end

    def debug_messages
      debug_lines.map { |line| (m = DEBUG_LINE.match(line)) ? m[:message] : "<malformed> #{line}" }
    end

    def glog_text
      Dir.glob(File.join(logs_dir, "ZarnikSketchup*")).select { |path| File.file?(path) }.sort
         .map { |path| File.binread(path) }.join
    end

    # The messages of the glog records, in order, without their headers.
    def glog_messages
      glog_text.lines.filter_map { |line| line[/\A[IWEF]\d{8} [\d:.]+ +\d+ \S+\] (.*)$/, 1] }
    end

    def describe
      "exit #{status.exitstatus.inspect} (signal #{status.termsig.inspect})\n" \
        "stdout: #{stdout}\nstderr: #{stderr}"
    end
  end

  # Runs `script` with the extension's folder, the test library and the driver on the load
  # path, under a fresh HOME that is removed when the test ends.
  def run_script(script, home: nil)
    home ||= Dir.mktmpdir("zarniksu-life")
    (@homes ||= []) << home
    env = { "HOME" => home }
    args = [RbConfig.ruby, "-I", EXT_DIR, "-I", TEST_LIB_DIR, "-e", script]
    stdout, stderr, status = Open3.capture3(env, *args)
    Run.new(status: status, stdout: stdout, stderr: stderr, home: home)
  end

  # Ruby code that calls an entry function of the already loaded library directly, as a
  # host would when it loads the module again under another name. (Ruby itself does not:
  # it sees that the three file names lead to one library and loads it once.)
  def call_entry_script(name)
    <<~RUBY
      require "fiddle"
      library = Fiddle.dlopen(File.join(#{EXT_DIR.inspect}, "#{name}.so"))
      Fiddle::Function.new(library["Init_#{name}"], [], Fiddle::TYPE_VOID).call
    RUBY
  end

  def teardown
    (@homes || []).each { |home| FileUtils.rm_rf(home) }
    super
  end

  def assert_clean_exit(run)
    assert run.status.success?, run.describe
  end

  # `expected` appear in `actual` in this order (other entries may stand between them).
  def assert_in_order(expected, actual, what)
    positions = expected.map { |item| actual.index(item) }
    refute_includes positions, nil, "#{what}: missing one of #{expected.inspect} in #{actual.inspect}"
    assert_equal positions.sort, positions, "#{what}: out of order in #{actual.inspect}"
  end
end
