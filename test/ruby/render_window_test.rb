# The render engine's window: opening, layouts with the window's place, and the user's close.
require "test_helper"

BEFORE_ANY_WINDOW = {
  layout: ZarnikExt.get_layout_xml,
  check: ZarnikExt.check_window?,
  visible: ZarnikProbe.window_visible?,
}.freeze

class RenderWindowTest < Minitest::Test
  def open_window
    ZarnikExt.show_window(nil)
    assert ZarnikProbe.window_visible?
  end

  def test_no_layout_before_the_window_exists
    assert_equal "", BEFORE_ANY_WINDOW[:layout]
    assert_equal false, BEFORE_ANY_WINDOW[:check]
    assert_equal false, BEFORE_ANY_WINDOW[:visible]
  end

  def test_opening_the_window_starts_rendering
    ZarnikProbe.close_window if ZarnikProbe.window_visible?
    assert_equal "stopped", ZarnikProbe.render_state
    assert_equal true, ZarnikExt.show_window(0)
    assert ZarnikProbe.window_visible?
    assert_equal "running", ZarnikProbe.render_state
    layout = ZarnikExt.get_layout_xml
    assert_includes layout, "<workspace"
    refute_includes layout, "Zarnik Window", "the live layout carries no position comment"
  end

  def test_showing_an_open_window_changes_nothing
    open_window
    ZarnikExt.block_updates(true)
    extent = ZarnikProbe.window_extent
    ZarnikExt.show_window(nil)
    assert_equal "paused", ZarnikProbe.render_state
    assert_equal extent, ZarnikProbe.window_extent
  end

  def test_position_comment_places_the_window
    open_window
    layout = ZarnikExt.get_layout_xml
    assert_equal true, ZarnikExt.set_layout_xml(layout + "<!-- Zarnik Window {120,80,1400,900} -->\n")
    assert_equal [120, 80, 1400, 900], ZarnikProbe.window_extent

    # Without a comment, and with the built-in layout, the window keeps its place.
    ZarnikExt.set_layout_xml(layout)
    assert_equal [120, 80, 1400, 900], ZarnikProbe.window_extent
    assert_equal true, ZarnikExt.reset_layout
    assert_equal [120, 80, 1400, 900], ZarnikProbe.window_extent
    assert_includes ZarnikExt.get_layout_xml, "<workspace"
  end

  def test_user_closing_the_window
    open_window
    assert ZarnikProbe.close_window
    refute ZarnikProbe.window_visible?
    assert_equal false, ZarnikExt.check_window?
    assert_equal "stopped", ZarnikProbe.render_state

    # Opening it again builds it afresh and renders again.
    open_window
    assert_equal "running", ZarnikProbe.render_state
  end
end
