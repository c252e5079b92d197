# Render targets and the render state as the Ruby side sees them right after start-up, and
# the pause / resume switch.
require "test_helper"

RENDER_TARGET = 56

# Taken before any test runs: the tests below change the render state.
STARTUP = {
  targets: ZarnikProbe.nodes(RENDER_TARGET),
  engine_target: ZarnikProbe.render_target,
  state: ZarnikProbe.render_state,
  blocked: ZarnikExt.block_updates?,
}.freeze

class RenderStateTest < Minitest::Test
  def test_startup_leaves_one_stopped_default_view
    assert_equal 1, STARTUP[:targets].size
    target = STARTUP[:targets].first
    assert_equal "Default View", ZarnikProbe.node_name(target)
    assert_equal target, STARTUP[:engine_target]
    assert_equal "stopped", STARTUP[:state]
    assert_equal true, STARTUP[:blocked]
  end

  def test_only_true_pauses
    ZarnikExt.block_updates(false)
    assert_equal "running", ZarnikProbe.render_state
    assert_equal false, ZarnikExt.block_updates?

    assert_equal true, ZarnikExt.block_updates(true)
    assert_equal "paused", ZarnikProbe.render_state
    assert_equal true, ZarnikExt.block_updates?

    [1, nil, "true", :true].each do |flag|
      ZarnikExt.block_updates(true)
      assert_equal true, ZarnikExt.block_updates(flag)
      assert_equal "running", ZarnikProbe.render_state, "block_updates(#{flag.inspect})"
      assert_equal false, ZarnikExt.block_updates?
    end
  end

  def test_pausing_a_stopped_render_is_ignored
    ZarnikExt.block_updates(false)
    ZarnikExt.block_updates(true)
    ZarnikExt.block_updates(true)
    assert_equal "paused", ZarnikProbe.render_state
    ZarnikExt.block_updates(false)
    restarts = ZarnikProbe.restart_count
    ZarnikExt.block_updates(false)
    assert_equal restarts, ZarnikProbe.restart_count, "a running render is not restarted"
  end

  def test_update_and_restart_resumes_a_paused_render
    ZarnikExt.block_updates(false)
    ZarnikExt.block_updates(true)
    updates = ZarnikProbe.update_count
    assert_equal true, ZarnikExt.update_and_restart
    assert_equal "running", ZarnikProbe.render_state
    assert_operator ZarnikProbe.update_count, :>, updates
    assert_equal STARTUP[:targets].first, ZarnikProbe.render_target
  end

  def test_render_methods_are_registered_with_their_arity
    expected = {
      block_updates: 1, block_updates?: 0, browse_file: 2, build_scene: 0, check_window?: 0,
      export_scene: 2, get_layout_xml: 0, get_render_target_xml: 1, reset_layout: 0,
      reset_scene: 0, set_camera_pos: 3, set_camera_view: 2, set_layout_xml: 1,
      set_render_target_xml: 2, set_scene_params: 1, set_view_extents: 2, show_window: 1,
      update_and_restart: 0,
    }
    actual = expected.keys.to_h { |name| [name, ZarnikExt.respond_to?(name) ? ZarnikExt.method(name).arity : nil] }
    assert_equal expected, actual
    assert_equal true, ZarnikExt.build_scene
    assert_equal true, ZarnikExt.export_scene(nil, 42)
  end
end
