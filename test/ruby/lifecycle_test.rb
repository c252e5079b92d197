# Start-up and shut-down of the extension, each case in a process of its own.
require "minitest/autorun"
require "lifecycle_helper"

class LifecycleTest < Minitest::Test
  include LifecycleHelper

  START_RECORDS = ["Init AppManager...", "Zarnik dependencies sucessfully loaded.",
                   "Ruby extension init...", "Ruby extension init complete",
                   "ApplicationManager Init Complete"].freeze

  def test_each_entry_name_starts_and_stops_the_extension
    %w[zarniksu16 zarniksu17 zarniksu18].each do |name|
      run = run_script(<<~RUBY)
        require "#{name}"
        methods = %i[debug log shutdown].map { |m| [m, ZarnikExt.method(m).arity] }
        puts methods.inspect, ZarnikExt.superclass
        exit(ZarnikExt.shutdown == true ? 0 : 3)
      RUBY
      assert_clean_exit run
      assert_equal "[[:debug, 1], [:log, 2], [:shutdown, 0]]\nObject\n", run.stdout, name
      assert_in_order START_RECORDS, run.glog_messages, name
      assert_equal SHUTDOWN_STEPS, run.debug_messages, name
    end
  end

  def test_debug_then_shutdown_from_an_empty_home
    run = run_script('require "zarniksu18"; ZarnikExt.debug("hi"); ZarnikExt.shutdown')
    assert_clean_exit run
    root = File.join(run.home, "Documents", "Zarnik")
    %w[. SketchUp SketchUp/temp SketchUp/logs SketchUp/temp/previews SketchUp/temp/textures].each do |dir|
      assert File.directory?(File.join(root, dir)), "#{dir} was not created"
    end
    assert_equal ["hi", *SHUTDOWN_STEPS], run.debug_messages
    pids = run.debug_lines.map { |line| DEBUG_LINE.match(line)[:pid] }.uniq
    assert_equal 1, pids.size
  end

  def test_second_entry_while_running_is_refused_and_harmless
    run = run_script(<<~RUBY)
      require "zarniksu18"
      require "zarnik_probe"
      #{call_entry_script("zarniksu16")}
      puts ZarnikProbe.engine_started?, ZarnikProbe.render_state
      ZarnikExt.debug("still here")
      ZarnikExt.log("still logging", -1)
      ZarnikExt.shutdown
    RUBY
    assert_clean_exit run
    assert_equal "true\nstopped\n", run.stdout
    messages = run.glog_messages
    assert_equal 2, messages.count("Init AppManager...")
    assert_equal 1, messages.count("ApplicationManager Init Complete")
    assert_in_order ["ApplicationManager Init Complete", "Init AppManager...",
                     "Failed to initialize application. Exiting.", "Ruby: still logging"],
                    messages.drop(1), "glog records"
    assert_equal ["still here", *SHUTDOWN_STEPS], run.debug_messages
  end

  def test_repeated_shutdown_and_calls_after_it_are_safe
    run = run_script(<<~RUBY)
      require "zarniksu18"
      require "zarnik_probe"
      ZarnikExt.shutdown
      answers = [ZarnikExt.shutdown, ZarnikExt.log("after shutdown", -1),
                 ZarnikExt.log(:not_checked, 0), ZarnikExt.debug("after shutdown")]
      puts answers.inspect, ZarnikProbe.engine_started?
    RUBY
    assert_clean_exit run
    assert_equal "[true, true, true, true]\nfalse\n", run.stdout
    assert_equal [*SHUTDOWN_STEPS, "after shutdown"], run.debug_messages
    refute_includes run.glog_text, "after shutdown"
  end

  def test_entry_after_shutdown_does_not_start_again
    run = run_script(<<~RUBY)
      require "zarniksu18"
      require "zarnik_probe"
      ZarnikExt.shutdown
      sleep 1.1 # glog will not reopen a log file name (stamped to the second) it has used
      #{call_entry_script("zarniksu17")}
      puts ZarnikProbe.engine_started?
      ZarnikExt.shutdown
    RUBY
    assert_clean_exit run
    assert_equal "false\n", run.stdout
    # Logging starts again for the refused attempt, which says why it stopped.
    assert_equal 1, run.glog_messages.count("ApplicationManager Init Complete")
    assert_equal ["Init AppManager...", "Failed to initialize application. Exiting."],
                 run.glog_messages.last(2)
    assert_equal SHUTDOWN_STEPS, run.debug_messages
  end

  def test_a_name_clash_stops_start_up_without_harm
    run = run_script(<<~RUBY)
      module ZarnikExt; end
      require "zarniksu18"
      puts ZarnikExt.class, ZarnikExt.respond_to?(:shutdown)
    RUBY
    assert_clean_exit run
    assert_equal "Module\nfalse\n", run.stdout
    assert_in_order ["Ruby extension init...", "Failed to initialize application. Exiting."],
                    run.glog_messages, "glog records"
    refute_includes run.glog_messages, "ApplicationManager Init Complete"
  end
end
