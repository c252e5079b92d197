# Definitions, instances and the apply cycle through the module: what the geometry group
# holds after "apply_geometry". The tests share one engine, so each uses its own ids and
# names, and counts only what it added.
require "test_helper"
require "tmpdir"
require_relative "geometry_support"

class GeometrySceneTest < Minitest::Test
  include GeometrySupport

  M = INCHES_PER_METRE

  def leaf(id, name, size = 1.0)
    assert_equal true, ExtDefinition.add(id, [], [])
    assert_equal true, stream_triangles(id, name, small_triangle(size))
  end

  def place(id, definition, material: -1, transform: IDENTITY)
    assert_equal true, ExtInstance.add(id, definition, material, transform, nil, false)
  end

  def apply(*top_level)
    ZarnikExt.flush_model_entities
    top_level.each { |id| ZarnikExt.define_model_entity(id) }
    assert_equal true, ZarnikExt.apply_geometry
  end

  def placement_columns(name)
    placements_of(name).map { |p| transforms_of(p).map { |t| [t[3], t[7], t[11]] } }
  end

  def test_loose_geometry_is_input_zero_placed_once
    assert_equal true, stream_triangles(-2, "loose", small_triangle(3.0))
    apply
    assert_equal mesh_named("loose"), mesh_of(group_inputs[0])
    assert_equal [ENGINE_IDENTITY], transforms_of(group_inputs[0])
    apply
    assert_equal [ENGINE_IDENTITY], transforms_of(group_inputs[0]), "placed once, however often applied"

    assert_equal true, stream_triangles(-2, "loose again", small_triangle(4.0))
    assert_equal true, ZarnikExt.apply_root_geometry
    assert_equal mesh_named("loose again"), mesh_of(group_inputs[0])

    ExtStream.set_geometry_stream(-2, "loose again")
    assert_equal false, ExtStream.evaluate_stream("")
    ZarnikExt.apply_root_geometry
    assert_nil group_inputs[0]
  end

  def test_group_has_the_root_input_plus_one_per_material_map
    apply
    before = ZarnikProbe.attr(geometry_group, INPUT_COUNT)
    leaf(300, "two maps")
    leaf(301, "one map")
    ExtDefinition.add(302, [], [])  # placed, but without a mesh
    place(310, 300, material: 4, transform: translation(M, 0, 0))
    place(311, 300)
    place(312, 301)
    place(313, 302)
    apply(310, 311, 312, 313)

    after = ZarnikProbe.attr(geometry_group, INPUT_COUNT)
    assert_equal before + 3, after
    assert_equal after, group_inputs.size
    assert group_inputs.drop(1).all?, "every map input is connected"
    # Maps in ascending material order: -1 (identity) before 4 (one metre along x).
    assert_equal [[[0, 0, 0]], [[1, 0, 0]]], placement_columns("two maps").map { |p| p.map { |c| c.map(&:round) } }
    assert_equal 1, placements_of("one map").size
    two = group_inputs.index(placements_of("two maps").first)
    assert_equal placements_of("two maps").last, group_inputs[two + 1], "one definition's maps sit together"
  end

  def test_instance_materials_are_inherited_unless_set
    leaf(400, "painted leaf")
    ExtDefinition.add(401, [], [410, 414])
    ExtInstance.add(410, 400, -1, translation(M, 0, 0), nil, false)
    ExtInstance.add(414, 400, 3, translation(0, 2 * M, 0), nil, false)
    place(411, 401, material: 7, transform: translation(0, 0, M))
    place(412, 400, material: 5)
    apply(411, 412)

    # One map per effective material, in material order 3, 5, 7.
    columns = placement_columns("painted leaf")
    assert_equal 3, columns.size
    expected = [[[0, 1, -2]], [[0, 0, 0]], [[1, 1, 0]]]
    expected.zip(columns).each { |e, c| assert_rows e.flatten, c.flatten }
  end

  def test_nested_transforms_compose_in_host_order
    leaf(450, "nested leaf")
    ExtDefinition.add(451, [], [460])
    ExtInstance.add(460, 450, -1, translation(M, 0, 0), nil, false)
    quarter_turn = [0.0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]  # 90 degrees about host Z
    place(461, 451, transform: quarter_turn)
    apply(461)
    # The child's own move comes first, then the parent's turn: host (0, 1, 0), engine (0, 0, -1).
    assert_rows [0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, -1], transforms_of(placements_of("nested leaf").first).first
  end

  def test_transforms_convert_to_metres_and_y_up
    leaf(470, "moved leaf")
    scaled = IDENTITY.dup.tap { |m| m[10] = 2.0 }
    place(471, 470, transform: translation(M, 2 * M, 3 * M))
    ExtInstance.add(472, 470, 1, scaled, nil, false)
    apply(471, 472)
    moved, tall = placements_of("moved leaf").map { |p| transforms_of(p).first }
    assert_rows [1, 0, 0, 1, 0, 1, 0, 3, 0, 0, 1, -2], moved
    assert_rows [1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0], tall, "host Z scale is engine Y scale"
    ids = ZarnikProbe.attr(placements_of("moved leaf").first, INSTANCE_IDS)
    assert_equal 1, ids.size
  end

  def test_unreached_instances_are_collected
    leaf(500, "kept leaf")
    ExtDefinition.add(501, [], [520])  # never placed, but registered: its list keeps 520
    ExtInstance.add(520, 500, -1, IDENTITY, nil, false)
    ExtInstance.add(521, 500, -1, IDENTITY, nil, false)
    place(522, 500)
    assert_equal true, ExtInstance.set_visibility(522, false)
    ExtInstance.add(524, 500, -1, IDENTITY, [translation(M, 0, 0), translation(2 * M, 0, 0)], false)
    assert_equal true, ExtInstance.set_visibility(524, false)
    place(523, 500)
    apply(522, 523, 524)

    assert_equal [true, false, true, true, true], [520, 521, 522, 523, 524].map { |id| ExtEntity.present?(id) }
    # The hidden instance is not placed; the hidden one with a list of transforms is.
    xs = placement_columns("kept leaf").flatten(1).map { |c| c[0].round }
    assert_equal [0, 1, 2], xs
  end

  def test_a_definition_inside_itself_is_cut
    leaf(600, "self")
    ExtDefinition.update(600, [], [610])
    ExtInstance.add(610, 600, -1, translation(M, 0, 0), nil, false)
    leaf(601, "outer")
    leaf(602, "inner")
    ExtDefinition.update(601, [], [611])
    ExtDefinition.update(602, [], [612])
    ExtInstance.add(611, 602, -1, IDENTITY, nil, false)
    ExtInstance.add(612, 601, -1, IDENTITY, nil, false)
    place(620, 600)
    place(621, 601)
    place(622, -2)  # the model placed inside itself
    apply(620, 621, 622)

    assert_equal [[[0, 0, 0]]], placement_columns("self").map { |p| p.map { |c| c.map(&:round) } }
    assert_equal 1, placement_columns("outer").flatten(1).size
    assert_equal 1, placement_columns("inner").flatten(1).size
    assert ExtEntity.present?(610) && ExtEntity.present?(622)
  end

  def test_edit_mode_applies_the_edit_transform_once
    leaf(700, "edited")
    ZarnikExt.set_edit_transform(translation(M, 0, 0))
    ExtInstance.add(710, 700, -1, IDENTITY, nil, true)
    apply(710)
    assert_equal [[[1, 0, 0]]], placement_columns("edited").map { |p| p.map { |c| c.map(&:round) } }
    apply(710)
    assert_equal [[[1, 0, 0]]], placement_columns("edited").map { |p| p.map { |c| c.map(&:round) } }

    # The host sends the unedited transform again: it changed, and the edit applies anew.
    assert_equal true, ExtInstance.update(710, 700, -1, IDENTITY, nil, true)
    apply(710)
    assert_equal [[[1, 0, 0]]], placement_columns("edited").map { |p| p.map { |c| c.map(&:round) } }

    assert_equal true, ZarnikExt.clear_edit_list
    assert_equal true, ExtInstance.update(710, 700, -1, IDENTITY, nil, true)
    apply(710)
    assert_equal [[[0, 0, 0]]], placement_columns("edited").map { |p| p.map { |c| c.map(&:round) } }

    # A definition in edit mode streams its points moved by the edit transform.
    ExtDefinition.add(701, [], [])
    assert_equal true, ExtDefinition.set_edit_mode(701, true)
    ZarnikExt.set_edit_transform(translation(0, 0, M))
    stream_triangles(701, "edited points", small_triangle)
    assert_equal [0.0, 1.0, 0.0], ZarnikProbe.attr(mesh_named("edited points"), POSITIONS).first.map { |v| v.round(6) }
    ExtDefinition.set_edit_mode(701, false)
    ZarnikExt.set_edit_transform(IDENTITY)
  end

  def test_update_answers_whether_anything_changed
    leaf(800, "updated")
    ExtInstance.add(810, 800, 5, translation(1, 2, 3), nil, false)
    assert_equal false, ExtInstance.update(810, 800, 5, translation(1, 2, 3), nil, true)
    assert_equal true, ExtInstance.update(810, 800, 5, translation(1, 2, 3), nil, false)
    assert_equal false, ExtInstance.update(810, 800, 5, translation(1, 2, 3), 42, false), "the list is ignored"
    assert_equal true, ExtInstance.update(810, 800, 6, translation(1, 2, 3), nil, false)
    assert_equal true, ExtInstance.update(810, 800, 6, translation(1, 2, 4), nil, false)
    assert_equal false, ExtInstance.update(800, 800, 6, IDENTITY, nil, true), "a definition is no instance"

    assert_equal true, ExtInstance.update(811, 800, -1, IDENTITY, nil, false)
    assert_equal false, ExtInstance.set_visibility(811, true), "a new instance is visible"
    assert_equal false, ExtInstance.set_visibility(404_811, false)

    assert_equal true, ExtInstance.set_edit_mode(810, true)
    assert_equal true, ExtInstance.set_edit_mode(810, true)
    assert_equal false, ExtInstance.set_edit_mode(800, true)
    ZarnikExt.set_edit_transform(translation(0, M, 0))
    assert_equal true, ExtInstance.update(810, 800, 6, translation(1, 2, 4), nil, false), "the edit transform moved"
    assert_equal false, ExtInstance.update(810, 800, 6, translation(1, 2, 4), nil, false)
    ZarnikExt.clear_edit_list
    ZarnikExt.set_edit_transform(IDENTITY)

    # Definition lists: only a change of length counts, but new contents are kept.
    ExtDefinition.add(820, [], [821])
    ExtInstance.add(821, 800, -1, IDENTITY, nil, false)
    ExtInstance.add(822, 800, -1, translation(0, 0, M), nil, false)
    assert_equal false, ExtDefinition.update(820, [], [822])
    assert_equal true, ExtDefinition.update(820, [1], [822])
    assert_equal false, ExtDefinition.update(404_820, [], [])
    place(823, 820)
    apply(823)
    assert_equal [[[0, 1, 0]]], placement_columns("updated").map { |p| p.map { |c| c.map(&:round) } }
  end

  def test_bad_arguments_raise_and_change_nothing
    leaf(900, "typed")
    assert_raises(TypeError) { ExtInstance.add(910, 900, -1, nil, nil, false) }
    assert_raises(TypeError) { ExtInstance.add(910, 900, -1, "IDENTITY", nil, false) }
    assert_raises(TypeError) { ExtInstance.add(910, 900, -1, IDENTITY.first(15), nil, false) }
    assert_raises(TypeError) { ExtInstance.add(910, 900, -1, IDENTITY, [IDENTITY.first(15) + ["x"]], false) }
    assert_raises(TypeError) { ExtInstance.update(910, 900, -1, 7, nil, true) }
    refute ExtEntity.present?(910), "nothing was stored"

    ExtInstance.add(911, 900, 2, IDENTITY, nil, false)
    assert_raises(TypeError) { ExtInstance.update(911, 901, 3, IDENTITY.first(12), nil, true) }
    assert_equal false, ExtInstance.update(911, 900, 2, IDENTITY, nil, true), "ids untouched by the failed update"

    assert_raises(TypeError) { ExtDefinition.add(912, nil, []) }
    assert_raises(TypeError) { ExtDefinition.add(912, [], [1, "2"]) }
    assert_raises(RangeError) { ExtDefinition.add(912, [], [2**40]) }
    refute ExtEntity.present?(912)

    ZarnikExt.set_edit_transform(translation(M, 0, 0))
    assert_raises(TypeError) { ZarnikExt.set_edit_transform(IDENTITY.first(10)) }
    assert_raises(TypeError) { ZarnikExt.set_edit_transform(nil) }
    ExtInstance.add(913, 900, -1, IDENTITY, nil, true)
    apply(913)
    assert_equal [[[1, 0, 0]]], placement_columns("typed").map { |p| p.map { |c| c.map(&:round) } },
                 "the edit transform from before the failed calls"
    ZarnikExt.clear_edit_list
    ZarnikExt.set_edit_transform(IDENTITY)

    # Only arrays of exactly 16 numbers count as transforms of the list.
    ExtInstance.add(914, 900, 8, IDENTITY, [translation(M, 0, 0), IDENTITY.first(15), nil, 5], false)
    apply(914)
    # The map of material -1 stays, empty, beside the new one.
    assert_equal [[], [[1, 0, 0]]], placement_columns("typed").map { |p| p.map { |c| c.map(&:round) } }
  end

  def test_a_proxied_definition_hides_its_contents_and_ignores_streams
    leaf(1000, "behind proxy")
    ExtDefinition.add(1001, [], [1002])
    ExtInstance.add(1002, 1000, -1, IDENTITY, nil, false)
    place(1003, 1001)
    Dir.mktmpdir("geometry_proxy") do |dir|
      path = File.join(dir, "stand-in.obj")
      File.write(path, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
      assert_equal true, ExtDefinition.set_proxy(1001, path)
      apply(1003)
      assert_empty placements_of("behind proxy"), "the contents are not placed"
      maps = group_inputs.size
      assert_equal false, stream_triangles(1001, "streamed anyway", small_triangle)
      assert_nil mesh_named("streamed anyway")
      apply(1003)
      assert_equal maps, group_inputs.size, "the proxy's placement survived the stream"
    end
  end

  def test_delete_takes_only_the_first_top_level_mention_in_call_order
    leaf(960, "mentioned twice")
    place(961, 960, transform: translation(M, 0, 0))
    place(962, 960, transform: translation(2 * M, 0, 0))
    apply(961, 962, 961)
    assert_equal [[1, 1, 2]], placement_columns("mentioned twice").map { |p| p.map { |c| c[0].round }.sort }

    # The list is now 962, 961; a new 961 comes back, 962 goes, and 961 is named again.
    assert_equal true, ExtEntity.delete(961)
    place(961, 960, transform: translation(3 * M, 0, 0))
    assert_equal true, ExtEntity.delete(962)
    ZarnikExt.define_model_entity(961)
    assert_equal true, ZarnikExt.apply_geometry
    assert_equal [[3, 3]], placement_columns("mentioned twice").map { |p| p.map { |c| c[0].round } }
    assert_equal [true, false], [961, 962].map { |id| ExtEntity.present?(id) }

    # The root's list as "update" sees it is the list after the deletions.
    assert_equal true, ExtEntity.delete(961)
    assert_equal false, ExtDefinition.update(-2, [], [961]), "one mention left, one given: same length"
    place(961, 960, transform: translation(5 * M, 0, 0))
    assert_equal true, ZarnikExt.apply_geometry
    assert_equal [[5]], placement_columns("mentioned twice").map { |p| p.map { |c| c[0].round } }

    # Deleting every mention and then flushing leaves nothing to take out of a new list.
    assert_equal true, ExtEntity.delete(961)
    place(961, 960, transform: translation(4 * M, 0, 0))
    apply(961)
    assert_equal [[4]], placement_columns("mentioned twice").map { |p| p.map { |c| c[0].round } }
  end

  def test_entities_and_definitions_answer_for_unknown_ids
    assert_equal false, ExtEntity.delete(404_950)
    assert_equal true, ZarnikExt.flush_geometry
    leaf(950, "deleted")
    place(951, 950)
    apply(951)
    assert_equal true, ExtEntity.delete(951)
    refute ExtEntity.present?(951)
    ZarnikExt.apply_geometry
    assert_equal [[]], placement_columns("deleted"), "a deleted top-level instance is no longer placed"

    assert_equal true, ExtEntity.delete(-2)
    refute ExtEntity.present?(-2)
    ExtStream.set_geometry_stream(-2, "")
    assert ExtEntity.present?(-2), "streaming the model registers its root again"

    assert_equal false, ExtDefinition.add(950, [], [])
    assert_equal 0, ExtDefinition.get_num_entities(404_950)
    assert_equal true, ExtDefinition.set_num_entities(950, 12)
    assert_equal 12, ExtDefinition.get_num_entities(950)
    assert_equal false, ExtDefinition.set_edit_mode(404_950, true)
    assert_equal false, ExtDefinition.set_material(950, 404, -1, true), "no such face"
    assert_equal true, ExtDefinition.set_material(950, 1, -1, true)
    assert_equal(-1, ExtDefinition.get_material_id(950, 1, false))
    assert_equal(-1, ExtDefinition.get_material_id(950, 951, true))
    assert_equal true, ExtDefinition.update_all_materials(950)
    assert_equal false, ExtDefinition.update_all_materials(404_950)
  end
end
