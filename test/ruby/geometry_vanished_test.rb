# Nodes of the extension that the user destroys in the engine's window: the next operation
# that uses one notices and makes it again from what the extension knows, or, for a mesh
# whose stream is gone, carries on as if the definition had no geometry.
require "test_helper"
require "tmpdir"
require_relative "geometry_support"

class GeometryVanishedTest < Minitest::Test
  include GeometrySupport

  M = INCHES_PER_METRE
  FILE_NAME = 34

  def leaf(id, name)
    assert_equal true, ExtDefinition.add(id, [], [])
    assert_equal true, stream_triangles(id, name, small_triangle, faces: [[1, -1, 0, 1]])
  end

  def place(id, definition, transform: IDENTITY)
    assert_equal true, ExtInstance.add(id, definition, -1, transform, nil, false)
  end

  def apply(*top_level)
    ZarnikExt.flush_model_entities
    top_level.each { |id| ZarnikExt.define_model_entity(id) }
    assert_equal true, ZarnikExt.apply_geometry
  end

  def destroy(handle)
    refute_nil handle
    assert_equal true, ZarnikProbe.destroy(handle)
  end

  def test_a_destroyed_geometry_group_is_made_again_and_wired
    leaf(400, "group victim")
    place(410, 400, transform: translation(M, 0, 0))
    apply(410)
    old_group = geometry_group
    destroy(old_group)
    assert_nil geometry_group

    apply(410)
    refute_nil geometry_group
    refute_equal old_group, geometry_group
    placements = placements_of("group victim")
    assert_equal 1, placements.size
    assert_rows [1.0, 0, 0, 1.0, 0, 1.0, 0, 0, 0, 0, 1.0, 0], transforms_of(placements.first).first

    # The loose geometry reaches the new group too.
    assert_equal true, stream_triangles(-2, "group victim loose", small_triangle(2.0))
    destroy(geometry_group)
    assert_equal true, ZarnikExt.apply_root_geometry
    assert_equal mesh_named("group victim loose"), mesh_of(group_inputs[0])
  end

  def test_destroyed_placements_and_overrides_are_made_again
    leaf(420, "placed victim")
    place(430, 420, transform: translation(0, 0, M))
    apply(430)
    placement = placements_of("placed victim").first
    destroy(placement)
    apply(430)
    placements = placements_of("placed victim")
    assert_equal 1, placements.size, "the placement is back without a new stream"
    refute_equal placement, placements.first
    assert_rows [1.0, 0, 0, 0, 0, 1.0, 0, 1.0, 0, 0, 1.0, 0], transforms_of(placements.first).first

    override = ZarnikProbe.input(placements.first, GEOMETRY_PIN)
    assert_equal OVERRIDE, ZarnikProbe.node_type(override)
    destroy(override)
    apply(430)
    placements = placements_of("placed victim")
    assert_equal 1, placements.size
    fresh = ZarnikProbe.input(placements.first, GEOMETRY_PIN)
    refute_equal override, fresh
    assert_equal OVERRIDE, ZarnikProbe.node_type(fresh)

    # A face material change rewires the new override, not the destroyed one.
    assert_equal true, ExtDefinition.update_all_materials(420)
    assert_equal mesh_named("placed victim"), mesh_of(placements_of("placed victim").first)
  end

  def test_a_destroyed_mesh_leaves_the_definition_without_geometry_until_streamed_again
    leaf(440, "mesh victim")
    leaf(441, "mesh bystander")
    place(450, 440)
    place(451, 441)
    apply(450, 451)
    inputs_before = ZarnikProbe.attr(geometry_group, INPUT_COUNT)
    old_placement = placements_of("mesh victim").first
    destroy(mesh_named("mesh victim"))

    apply(450, 451)
    assert_equal inputs_before - 1, ZarnikProbe.attr(geometry_group, INPUT_COUNT)
    assert_equal false, ZarnikProbe.node_handle_valid?(old_placement), "its placement went with it"
    assert_equal 1, placements_of("mesh bystander").size
    # Face materials went with the mesh: nothing to change until the next stream.
    assert_equal false, ExtDefinition.set_material(440, 1, -1, true)
    assert_equal true, ExtDefinition.update_all_materials(440)
    ExtStream.set_geometry_stream(440, "mesh victim")
    assert_equal false, ExtStream.evaluate_stream('{"smoothing": false}')

    assert_equal true, stream_triangles(440, "mesh victim again", small_triangle)
    apply(450, 451)
    assert_equal inputs_before, ZarnikProbe.attr(geometry_group, INPUT_COUNT)
    assert_equal 1, placements_of("mesh victim again").size

    # The loose geometry's mesh: input 0 goes empty.
    assert_equal true, stream_triangles(-2, "loose victim", small_triangle(3.0))
    apply(450, 451)
    destroy(mesh_named("loose victim"))
    assert_equal true, ZarnikExt.apply_root_geometry
    assert_nil group_inputs[0]
    apply(450, 451)
    assert_nil group_inputs[0]
  end

  def test_a_destroyed_proxy_node_is_loaded_again_from_its_file
    Dir.mktmpdir("vanished_proxy") do |dir|
      path = File.join(dir, "stool.obj")
      File.binwrite(path, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
      loaded = -> { ZarnikProbe.nodes(MESH).select { |m| ZarnikProbe.attr(m, FILE_NAME) == path } }
      assert_equal true, ExtDefinition.add(460, [], [])
      assert_equal true, ExtDefinition.add(461, [], [])
      assert_equal true, ExtDefinition.set_proxy(460, path)
      assert_equal true, ExtDefinition.set_proxy(461, path)
      place(470, 460)
      place(471, 461)
      apply(470, 471)
      old = loaded.call
      assert_equal 1, old.size
      destroy(old.first)

      apply(470, 471)
      fresh = loaded.call
      assert_equal 1, fresh.size, "both definitions share the reloaded node"
      refute_equal old, fresh
      sources = group_inputs.compact.map { |p| ZarnikProbe.input(p, GEOMETRY_PIN) }
      assert_equal 2, sources.count(fresh.first)

      # Gone again, with its file: the definitions show nothing until a proxy is set anew.
      destroy(fresh.first)
      File.delete(path)
      apply(470, 471)
      apply(470, 471)
      assert_empty loaded.call
      File.binwrite(path, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
      assert_equal true, ExtDefinition.set_proxy(460, path)
      apply(470, 471)
      assert_equal 1, loaded.call.size
    end
  end
end
