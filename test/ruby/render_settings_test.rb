# Scene settings, the host camera and the file panel through ZarnikExt.
require "test_helper"
require "tmpdir"

class RenderSettingsTest < Minitest::Test
  RENDER_TARGET = 56
  CAMERA_PIN = 19
  FILM_SETTINGS_PIN = 311
  RESOLUTION_PIN = 198

  def target
    ZarnikProbe.nodes(RENDER_TARGET).first
  end

  def camera
    ZarnikProbe.input(target, CAMERA_PIN)
  end

  def assert_vector(expected, actual, message = nil)
    assert_equal expected.size, actual.size, message
    expected.zip(actual).each { |e, a| assert_in_delta e, a, 1e-6, message }
  end

  def film_aspect
    film = ZarnikProbe.input(target, FILM_SETTINGS_PIN) || target
    width, height = ZarnikProbe.pin_value(film, RESOLUTION_PIN)
    width.to_f / height
  end

  def test_malformed_settings_change_nothing
    ZarnikExt.block_updates(false)
    ZarnikExt.block_updates(true)
    before = ZarnikProbe.export_root
    ['{"camera": {"type": 1', "", "not json", "[1, 2]", "42", '"text"', "[" * 5000].each do |text|
      assert_equal true, ZarnikExt.set_scene_params(text)
      assert_equal before, ZarnikProbe.export_root, "scene after #{text[0, 20].inspect}"
      assert_equal "paused", ZarnikProbe.render_state, "render state after #{text[0, 20].inspect}"
    end
    assert_includes glog_text, "Failed to read scene setting from .skp file"
  end

  def test_settings_reach_their_setters_and_restart_rendering
    ZarnikExt.block_updates(false)
    ZarnikExt.block_updates(true)
    assert_equal true, ZarnikExt.set_scene_params('{"camera": {"type": 1, "fovx": 200}, "unknown": 1}')
    assert_equal 62, ZarnikProbe.node_type(camera)
    assert_in_delta 200, ZarnikProbe.pin_value(camera, 54), 1e-4
    assert_equal "running", ZarnikProbe.render_state

    ZarnikExt.set_scene_params('{"camera": {"type": 0, "fov": 35}}')
    assert_equal 13, ZarnikProbe.node_type(camera)
  end

  def test_wrong_argument_types_raise_before_anything_changes
    before = ZarnikProbe.export_root
    assert_raises(TypeError) { ZarnikExt.set_scene_params(nil) }
    assert_raises(TypeError) { ZarnikExt.set_scene_params(:camera) }
    assert_raises(TypeError) { ZarnikExt.set_camera_pos([1, 2, 3], [0, 0, 0], "up") }
    assert_raises(TypeError) { ZarnikExt.set_camera_pos([1, 2, 3], [0, 0], [0, 0, 1]) }
    assert_raises(TypeError) { ZarnikExt.set_camera_pos([1, "2", 3], [0, 0, 0], [0, 0, 1]) }
    assert_raises(TypeError) { ZarnikExt.set_camera_view(nil, false) }
    assert_raises(TypeError) { ZarnikExt.set_view_extents(800, "600") }
    assert_raises(RangeError) { ZarnikExt.set_view_extents(2**40, 600) }
    assert_raises(TypeError) { ZarnikExt.show_window("1") }
    assert_raises(TypeError) { ZarnikExt.browse_file(nil, 0) }
    assert_raises(TypeError) { ZarnikExt.get_render_target_xml(nil) }
    assert_raises(TypeError) { ZarnikExt.set_render_target_xml("Default View", nil) }
    assert_raises(TypeError) { ZarnikExt.set_layout_xml(3) }
    assert_equal before, ZarnikProbe.export_root
  end

  def test_camera_position_arrives_in_metres_with_y_up
    assert_equal true, ZarnikExt.set_camera_pos([39.3701, 0, 0], [0, 39.3701, 0], [0, 0, 1])
    refute_nil camera
    assert_vector [1, 0, 0], ZarnikProbe.pin_value(camera, 133), "position"
    assert_vector [0, 0, -1], ZarnikProbe.pin_value(camera, 235), "target"
    assert_vector [0, 1, 0], ZarnikProbe.pin_value(camera, 248), "up"

    ZarnikExt.set_camera_pos([0, 0, 78.7402], [-39.3701, -78.7402, 0], [0, 2, 0])
    assert_vector [0, 2, 0], ZarnikProbe.pin_value(camera, 133), "position"
    assert_vector [-1, 0, 2], ZarnikProbe.pin_value(camera, 235), "target"
    assert_vector [0, 0, -2], ZarnikProbe.pin_value(camera, 248), "up is turned, not scaled"
  end

  def test_camera_view_orthographic_height_and_field_of_view
    assert_equal true, ZarnikExt.set_camera_view(39.3701, true)
    assert_equal true, ZarnikProbe.pin_value(camera, 127)
    assert_in_delta 1.0 * film_aspect, ZarnikProbe.pin_value(camera, 209), 1e-5

    # Only true means orthographic; the value is then degrees, passed on unchanged.
    [[45, false], [45, 1], [30, nil]].each do |fov, flag|
      ZarnikExt.set_camera_view(fov, flag)
      assert_equal false, ZarnikProbe.pin_value(camera, 127), "flag #{flag.inspect}"
      half = Math.atan(Math.tan(fov * 0.5 * Math::PI / 180) * film_aspect)
      assert_in_delta 2 * half * 180 / Math::PI, ZarnikProbe.pin_value(camera, 53), 1e-3, "fov #{fov}"
    end
  end

  def test_browse_file_kinds
    Dir.mktmpdir do |dir|
      log = File.join(dir, "panels.log")
      ENV["ZARNIKSU_FILE_PANEL_LOG"] = log
      ENV["ZARNIKSU_FILE_PANEL_ANSWER"] = "/models/chair.obj"

      [3, -1, 2**20].each { |kind| assert_nil ZarnikExt.browse_file("Pick", kind), "kind #{kind}" }
      refute File.exist?(log), "no panel for an unknown kind"

      assert_equal "/models/chair.obj", ZarnikExt.browse_file("Pick a proxy", 0)
      answer = ZarnikExt.browse_file("Pick an image", 1)
      assert_equal Encoding::UTF_8, answer.encoding
      ENV["ZARNIKSU_FILE_PANEL_ANSWER"] = ""
      assert_equal "", ZarnikExt.browse_file("Pick a material", 2), "a cancel answers an empty String"

      lines = File.readlines(log, chomp: true).map { |line| line.split("\t", -1) }
      assert_equal 3, lines.size
      assert_equal ["open", "Pick a proxy", "obj;zcs;zpak", ""], lines[0]
      assert_equal "Pick an image", lines[1][1]
      assert_includes lines[1][2].split(";"), "hdr"
      assert_includes lines[1][2].split(";"), "tiff"
      assert_equal "", lines[1][3], "the panel does not start in the last folder"
      assert_equal ["open", "Pick a material", "zcs", ""], lines[2]
    ensure
      ENV.delete("ZARNIKSU_FILE_PANEL_LOG")
      ENV.delete("ZARNIKSU_FILE_PANEL_ANSWER")
    end
  end
end
