# The life of the extension in one process, loaded under the entry name the test file chose
# (ZARNIKSU_ENTRY): start-up, use, a second entry name, shut-down. Included by the load
# test of each name.
require "fiddle"

module ProbeLoadCases
  ENTRY_NAMES = %w[zarniksu16 zarniksu17 zarniksu18].freeze
  DEBUG_LINE = /\AP\h{8,} T\h{16,} \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (?<message>.*)\z/

  # The steps build on each other (the module starts once per process and shut-down is
  # final), so they run in name order.
  def self.included(test_class)
    test_class.define_singleton_method(:test_order) { :alpha }
  end

  def test_1_module_loads_under_its_entry_name
    assert $LOADED_FEATURES.any? { |path| File.basename(path) == "#{ZARNIKSU_ENTRY}.so" },
           "#{ZARNIKSU_ENTRY}.so is not among the loaded features"
    assert_instance_of Class, ZarnikExt
    assert_equal Object, ZarnikExt.superclass
    { debug: 1, log: 2, shutdown: 0 }.each do |name, arity|
      assert ZarnikExt.respond_to?(name), "ZarnikExt.#{name} is missing"
      assert_equal arity, ZarnikExt.method(name).arity, "arity of ZarnikExt.#{name}"
    end
    assert_includes glog_text, "ApplicationManager Init Complete"
  end

  def test_2_engine_runs_with_rendering_stopped
    assert ZarnikProbe.engine_started?
    assert_equal "stopped", ZarnikProbe.render_state
  end

  def test_3_debug_and_log_reach_their_logs
    assert_equal true, ZarnikExt.debug("loaded as #{ZARNIKSU_ENTRY}")
    assert_equal "loaded as #{ZARNIKSU_ENTRY}", debug_message(debug_log_lines.last)

    assert_equal true, ZarnikExt.log("written at level -1", -1)
    assert_equal true, ZarnikExt.log("dropped at level 0", 0)
    text = glog_text
    assert_includes text, "Ruby: written at level -1"
    refute_includes text, "dropped at level 0"
  end

  def test_4_second_entry_name_leaves_the_extension_running
    other = ENTRY_NAMES.find { |name| name != ZARNIKSU_ENTRY }
    node_count = ZarnikProbe.nodes(0).size

    # This Ruby resolves links and may treat the other name as loaded already; the host's
    # Ruby calls the other entry point. Both must leave the running extension alone.
    require other
    call_entry_point(other)

    assert ZarnikProbe.engine_started?
    assert_equal "stopped", ZarnikProbe.render_state
    assert_equal node_count, ZarnikProbe.nodes(0).size, "a second entry call changed the scene"
    assert_equal true, ZarnikExt.debug("still running after #{other}")
    assert_equal "still running after #{other}", debug_message(debug_log_lines.last)
    assert_equal true, ZarnikExt.log("logging after #{other}", -1)
    assert_includes glog_text, "Ruby: logging after #{other}"
  end

  def test_5_shutdown_completes
    assert_equal true, ZarnikTest.shutdown

    refute ZarnikProbe.engine_started?
    messages = debug_log_lines.map { |line| debug_message(line) }
    steps = ["Stopping server loop...", "Stopping Zarnik SDK...", "Shutdown complete"]
    positions = steps.map { |step| messages.index(step) }
    refute_includes positions, nil, "shut-down steps missing from the debug log: #{messages.last(5).inspect}"
    assert_equal positions.sort, positions, "shut-down steps out of order"
    # The engine is gone: the probe answers, it does not touch freed state.
    assert_nil ZarnikProbe.render_state
    assert_empty ZarnikProbe.nodes(0)
  end

  private

  # Does what the host's Ruby does for a module file: open it and call its Init_ function.
  def call_entry_point(name)
    path = $LOAD_PATH.map { |dir| File.join(dir, "#{name}.so") }.find { |candidate| File.exist?(candidate) }
    refute_nil path, "#{name}.so is not on the load path"
    library = Fiddle.dlopen(path)
    loaded = $LOADED_FEATURES.find { |feature| File.basename(feature) == "#{ZARNIKSU_ENTRY}.so" }
    assert_equal Fiddle.dlopen(loaded).to_i, library.to_i, "#{name}.so is not the library already loaded"
    Fiddle::Function.new(library["Init_#{name}"], [], Fiddle::TYPE_VOID, need_gvl: true).call
  end

  def debug_message(line)
    match = DEBUG_LINE.match(line.to_s)
    assert match, "not a debug-log line: #{line.inspect}"
    match[:message]
  end
end
