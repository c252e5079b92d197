# The material sandbox as the plug-in sees it: the window builds it, host material updates
# move materials into it while rendering, and it survives the user closing the window.
require "test_helper"
require_relative "geometry_support"

class SandboxTest < Minitest::Test
  include GeometrySupport

  LINK = 30_007
  LINK_INPUT = 82
  ROUGHNESS = 222
  VALUE = 185

  def host_material(id, name)
    [id, name, [200, 80, 60], "", 1.0, 1.0, 1.0, 0, -1, "", [], []]
  end

  def links
    ZarnikProbe.nodes(LINK)
  end

  def test_materials_follow_updates_into_the_sandbox_while_rendering
    skip "host materials are not available" unless defined?(ExtMaterial)

    assert_equal true, ExtMaterial.update(host_material(4, "Early"))
    assert_empty links, "nothing moves before the window exists"

    ZarnikExt.show_window(nil)
    assert_equal true, ZarnikExt.check_window?
    assert_equal true, ExtMaterial.update(host_material(5, "Brick"))
    assert_equal 1, links.size
    link = links.first
    assert_equal "Zarnik Sandbox", ZarnikProbe.graph_name(link)
    material = ZarnikProbe.input(link, LINK_INPUT)
    refute_nil material
    assert_equal "Brick", ZarnikProbe.node_name(material)
    assert_equal "Zarnik Sandbox", ZarnikProbe.graph_name(material)

    ExtMaterial.update(host_material(5, "Brick"))
    assert_equal [link], links, "an id already in the sandbox is not moved again"

    ZarnikExt.block_updates(true)
    ExtMaterial.update(host_material(6, "Oak"))
    assert_equal [link], links, "nothing moves while the render is paused"
    assert_equal true, ZarnikExt.check_window?, "a paused update leaves the window alone"
    ZarnikExt.block_updates(false)

    # The user's own close button keeps the sandbox; opening again must not throw away the
    # edited copies when the root graph only holds materials already moved.
    assert ZarnikProbe.close_window
    ZarnikExt.show_window(nil)
    assert_equal [link], links
    assert_equal "Zarnik Sandbox", ZarnikProbe.graph_name(link)

    assert_equal true, ZarnikExt.reset_scene
    assert_empty links, "a scene reset empties the sandbox"
  end

  # Definition `id` with one triangle painted with host material `material`, placed once.
  def painted_definition(id, material)
    assert_equal true, ExtDefinition.add(id, [], [])
    assert_equal true, stream_triangles(id, "def#{id}", small_triangle, faces: [[1, material, 0, 1]])
    assert_equal true, ExtInstance.add(id + 1, id, -1, IDENTITY, nil, false)
    ZarnikExt.define_model_entity(id + 1)
  end

  # The materials the placement of definition `name` shows, through its material override.
  def shown_materials(name)
    override = ZarnikProbe.input(placements_of(name).first, GEOMETRY_PIN)
    (1...ZarnikProbe.pin_count(override)).map { |i| ZarnikProbe.input_ix(override, i) }.compact
  end

  def link_of(material_name)
    links.find { |l| ZarnikProbe.node_name(ZarnikProbe.input(l, LINK_INPUT)) == material_name }
  end

  def test_reopening_the_window_keeps_the_users_edits_and_brings_in_new_materials
    skip "host materials are not available" unless defined?(ExtMaterial)

    ZarnikExt.flush_model_entities
    assert_equal true, ExtMaterial.update(host_material(21, "Roof"))
    painted_definition(2100, 21)
    assert_equal true, ZarnikExt.apply_geometry
    ZarnikExt.show_window(nil)
    roof_link = link_of("Roof")
    refute_nil roof_link
    roof_copy = ZarnikProbe.input(roof_link, LINK_INPUT)
    assert_equal true, ZarnikProbe.set_pin_value(roof_copy, ROUGHNESS, 0.625), "the user edits the copy"

    # The user closes the window; the host adds a material while nothing renders.
    assert ZarnikProbe.close_window
    assert_equal true, ExtMaterial.update(host_material(22, "Wall"))
    painted_definition(2200, 22)
    assert_equal true, ZarnikExt.apply_geometry
    assert_nil link_of("Wall"), "nothing moves while the window is closed"

    ZarnikExt.show_window(nil)
    assert_equal roof_link, link_of("Roof"), "the same link"
    assert_equal roof_copy, ZarnikProbe.input(roof_link, LINK_INPUT), "the same, edited copy"
    assert_in_delta 0.625, ZarnikProbe.attr(ZarnikProbe.input(roof_copy, ROUGHNESS), VALUE), 1e-6
    assert_includes shown_materials("def2100"), roof_link
    assert_equal true, ExtMaterial.present?(21)
    refute_nil ExtMaterials.serialize_material(21)

    wall_link = link_of("Wall")
    refute_nil wall_link, "the new material moved into the kept sandbox"
    assert_includes shown_materials("def2200"), wall_link
  ensure
    # The other test starts from a closed window and an empty scene.
    ZarnikProbe.close_window
    ZarnikExt.reset_scene
  end
end
