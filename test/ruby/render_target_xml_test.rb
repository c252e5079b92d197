# A page's render settings kept as text by the Ruby side and brought back.
require "test_helper"

class RenderTargetXmlTest < Minitest::Test
  RENDER_TARGET = 56
  CAMERA_PIN = 19
  POSITION_PIN = 133

  def targets
    ZarnikProbe.nodes(RENDER_TARGET).to_h { |node| [ZarnikProbe.node_name(node), node] }
  end

  def camera_position(target)
    ZarnikProbe.pin_value(ZarnikProbe.input(target, CAMERA_PIN), POSITION_PIN)
  end

  def assert_position(expected, target, message = nil)
    expected.zip(camera_position(target)).each { |e, a| assert_in_delta e, a, 1e-5, message }
  end

  def test_pages_keep_their_own_settings
    ZarnikExt.set_camera_pos([0, 0, 393.701], [0, 0, 0], [0, 1, 0])
    xml = ZarnikExt.get_render_target_xml("Default View")
    assert_kind_of String, xml
    refute_empty xml
    ZarnikExt.set_camera_pos([39.3701, 0, 0], [0, 0, 0], [0, 0, 1])

    assert_equal true, ZarnikExt.set_render_target_xml("Second Page", xml)
    page = targets.fetch("Second Page")
    default_view = targets.fetch("Default View")
    assert_position [0, 10, 0], page, "the page's camera comes from its text"
    assert_position [1, 0, 0], default_view, "the other page is untouched"

    # The engine switches on the next update; later camera moves reach the page's camera.
    ZarnikExt.update_and_restart
    assert_equal page, ZarnikProbe.render_target
    ZarnikExt.set_camera_pos([0, -78.7402, 0], [0, 0, 0], [0, 0, 1])
    assert_position [0, 0, 2], page
    assert_position [1, 0, 0], default_view

    # "Default View" is always read afresh from its text.
    assert_equal true, ZarnikExt.set_render_target_xml("Default View", xml)
    refute ZarnikProbe.node_handle_valid?(default_view)
    fresh = targets.fetch("Default View")
    assert_position [0, 10, 0], fresh
    assert_equal 2, ZarnikProbe.nodes(RENDER_TARGET).size
    ZarnikExt.update_and_restart
    assert_equal fresh, ZarnikProbe.render_target

    # A page seen before only switches: its text is not read again.
    before = ZarnikProbe.nodes(0).size
    ZarnikExt.set_render_target_xml("Second Page", "<not a scene/>")
    assert_equal page, ZarnikProbe.render_target
    assert_equal before, ZarnikProbe.nodes(0).size
    assert_position [0, 0, 2], page
  end

  def test_text_without_a_render_target_changes_nothing
    before = ZarnikProbe.export_root
    engine_target = ZarnikProbe.render_target
    ["", "<not a scene/>", "\xff\xfe garbage".b, "<" * 100_000].each do |text|
      assert_equal true, ZarnikExt.set_render_target_xml("Unseen Page", text)
      assert_equal before, ZarnikProbe.export_root
      assert_equal engine_target, ZarnikProbe.render_target
    end
    refute targets.key?("Unseen Page")
  end

  def test_unknown_page_exports_the_engines_render_target
    current = ZarnikProbe.node_name(ZarnikProbe.render_target)
    assert_equal ZarnikExt.get_render_target_xml(current), ZarnikExt.get_render_target_xml("No such page")
  end
end
