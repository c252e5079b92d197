# The picture of what the module exported, and the host's edits while the engine's workers
# render it.
require "test_helper"
require "tmpdir"
require "png_reader"
require_relative "geometry_support"

class RenderPictureTest < Minitest::Test
  include GeometrySupport

  FILM = 311
  RESOLUTION = 198
  M = INCHES_PER_METRE

  def setup
    ZarnikExt.set_scene_params('{"quality": {"width": 48, "height": 32, "sizeType": 0, "maxSamples": 4}}')
  end

  # Width, height and the RGBA rows of an 8-bit RGBA PNG file without interlacing.
  def read_png(path)
    PngReader.read_rgba(path)
  end

  def export_square(id, name)
    assert_equal true, ExtDefinition.add(id, [], [])
    square = [[[-2 * M, 2 * M, -M], [2 * M, 2 * M, -M], [2 * M, 2 * M, M]],
              [[-2 * M, 2 * M, -M], [2 * M, 2 * M, M], [-2 * M, 2 * M, M]]]
    assert_equal true, stream_triangles(id, name, square)
    assert_equal true, ExtInstance.add(id + 1, id, -1, IDENTITY, nil, false)
    ZarnikExt.flush_model_entities
    ZarnikExt.define_model_entity(id + 1)
    assert_equal true, ZarnikExt.apply_geometry
  end

  def test_the_exported_model_renders_into_a_png_file
    export_square(700, "picture square")
    ZarnikExt.block_updates(false)
    assert_equal [48, 32], ZarnikProbe.pin_value(ZarnikProbe.input(ZarnikProbe.render_target, FILM), RESOLUTION)
    assert_equal true, ZarnikProbe.wait_for_samples(4, 60_000)
    assert_equal 4, ZarnikProbe.samples_done
    Dir.mktmpdir do |dir|
      path = File.join(dir, "picture.png")
      assert_equal true, ZarnikProbe.render_image(path)
      width, height, rows = read_png(path)
      assert_equal [48, 32], [width, height]
      assert rows.all? { |row| row.each_slice(4).all? { |px| px[3] == 255 } }, "opaque"
      # The camera looks at the square from the default eye; some pixels show it lit,
      # unlike the plain sky around it.
      colours = rows.flat_map { |row| row.each_slice(4).map { |px| px[0, 3] } }.uniq
      assert_operator colours.size, :>, 1
      assert_equal false, ZarnikProbe.render_image(File.join(dir, "missing", "picture.png"))
    end
    assert_raises(TypeError) { ZarnikProbe.render_image(nil) }
    assert_equal false, ZarnikProbe.render_image("a\0b")
  end

  def test_pausing_holds_the_samples_and_resuming_goes_on
    ZarnikExt.set_scene_params('{"quality": {"width": 48, "height": 32, "sizeType": 0, "maxSamples": 100000}}')
    export_square(720, "pause square")
    ZarnikExt.block_updates(false)
    assert_equal true, ZarnikProbe.wait_for_samples(1, 60_000)
    ZarnikExt.block_updates(true)
    held = ZarnikProbe.samples_done
    sleep 0.05
    assert_equal held, ZarnikProbe.samples_done
    assert_equal false, ZarnikProbe.wait_for_samples(held + 1, 200)
    ZarnikExt.block_updates(false)
    assert_equal true, ZarnikProbe.wait_for_samples(held + 1, 60_000)
  end

  def test_edits_while_the_workers_render_never_crash
    ZarnikExt.set_scene_params('{"quality": {"width": 48, "height": 32, "sizeType": 0, "maxSamples": 100000}}')
    ZarnikExt.block_updates(false)
    20.times do |round|
      id = 800 + round * 10
      export_square(id, "edit square #{round}")
      ExtInstance.update(id + 1, id, -1, translation(round * M, 0, 0), nil, false)
      ZarnikExt.apply_geometry
      ZarnikExt.set_scene_params('{"quality": {"width": 40, "height": 30, "sizeType": 0, "maxSamples": 100000}}')
      ZarnikExt.show_window(0) if round % 5 == 1
      ZarnikProbe.close_window if round % 5 == 2
      ZarnikExt.reset_scene if round % 7 == 6
    end
    ZarnikExt.block_updates(false)
    ZarnikExt.update_and_restart
    assert_equal true, ZarnikProbe.wait_for_samples(1, 60_000)
    assert_equal "running", ZarnikProbe.render_state
  end
end
