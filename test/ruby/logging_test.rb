# The debug and glog logs as the Ruby side uses them, in one running extension.
require "test_helper"
require "lifecycle_helper"
require "time"

class LoggingTest < Minitest::Test
  DEBUG_LINE = LifecycleHelper::DEBUG_LINE

  def last_debug_match
    DEBUG_LINE.match(debug_log_lines.last.to_s) || flunk("not a debug line: #{debug_log_lines.last.inspect}")
  end

  def test_folder_tree_and_glog_destination
    root = File.join(documents_dir, "Zarnik", "SketchUp")
    %w[temp logs temp/previews temp/textures].each do |dir|
      assert File.directory?(File.join(root, dir)), "#{dir} was not created"
    end
    files = Dir.children(logs_dir).grep(/\AZarnikSketchup/)
    refute_empty files
    assert files.all? { |name| name.end_with?(".#{Process.pid}") }, files.inspect
  end

  def test_debug_line_format
    before = Time.now.utc
    assert_equal true, ZarnikExt.debug("format check")
    after = Time.now.utc

    match = last_debug_match
    assert_equal "format check", match[:message]
    assert_equal format("%08x", Process.pid), match[:pid]
    assert_equal 16, match[:thread].size
    stamp = Time.strptime("#{match[:time]} UTC", "%Y-%m-%d %H:%M:%S.%L %Z")
    assert_operator stamp, :>=, Time.at(before.to_r.floor(3)), "time is not UTC"
    assert_operator stamp, :<=, after

    # A message with a line feed is written as it is.
    ZarnikExt.debug("first\nsecond")
    assert_equal "second", debug_log_lines.last
    assert_equal "first", DEBUG_LINE.match(debug_log_lines[-2])[:message]
  end

  def test_debug_rejects_what_is_not_a_plain_string
    count = debug_log_lines.size
    assert_raises(TypeError) { ZarnikExt.debug(:symbol) }
    assert_raises(TypeError) { ZarnikExt.debug(nil) }
    assert_raises(ArgumentError) { ZarnikExt.debug("nul\0byte") }
    assert_raises(ArgumentError) { ZarnikExt.debug }
    assert_equal count, debug_log_lines.size
  end

  def test_log_levels_follow_glog_verbosity
    assert_equal true, ZarnikExt.log("level minus one", -1)
    assert_equal true, ZarnikExt.log("level zero", 0)
    assert_equal true, ZarnikExt.log("level max", 2**31 - 1)
    assert_equal true, ZarnikExt.log("level min", -2**31)
    text = glog_text
    assert_match(/^I\d{8} [\d:.]+ +\d+ app_ruby_extension\.cpp:\d+\] Ruby: level minus one$/, text)
    assert_includes text, "Ruby: level min"
    refute_includes text, "Ruby: level zero"
    refute_includes text, "Ruby: level max"
  end

  def test_log_checks_its_level_first
    assert_raises(TypeError) { ZarnikExt.log("message", "1") }
    assert_raises(TypeError) { ZarnikExt.log("message", nil) }
    assert_raises(RangeError) { ZarnikExt.log("message", 2**31) }
    # The message is looked at only when the record is written.
    assert_equal true, ZarnikExt.log(Object.new, 0)
    assert_raises(TypeError) { ZarnikExt.log(Object.new, -1) }
    assert_raises(ArgumentError) { ZarnikExt.log("nul\0byte", -1) }
  end
end
