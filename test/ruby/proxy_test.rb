# Definitions that show geometry loaded from a file, driven through the module as the
# plug-in's scripts drive it and checked inside the engine with the probe.
require "test_helper"
require "rexml/document"
require "tmpdir"

class ProxyTest < Minitest::Test
  MESH = 1
  PLACEMENT = 5
  DIFFUSE = 17
  RENDER_TARGET = 56
  FILE_NAME = 34
  VERTICES = 190
  TRIANGLE = "v 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Paint\nf 1 2 3\n".freeze

  def setup
    @dir = Dir.mktmpdir("proxy_test")
  end

  def teardown
    FileUtils.remove_entry(@dir)
  end

  def write(name, text)
    File.join(@dir, name).tap { |path| File.binwrite(path, text) }
  end

  def meshes_loaded_from(path)
    ZarnikProbe.nodes(MESH).select { |mesh| ZarnikProbe.attr(mesh, FILE_NAME) == path }
  end

  # The project as scene text, with its render target's geometry pin (111) fed by `mesh`.
  def scene_showing(mesh)
    target = ZarnikProbe.nodes(RENDER_TARGET).first
    index = (0...ZarnikProbe.pin_count(target)).find { |i| ZarnikProbe.pin_id_ix(target, i) == 111 }
    doc = REXML::Document.new(ZarnikProbe.export_root)
    nodes = doc.root.elements.to_a("node")
    target_element = nodes.find { |e| e.attributes["type"] == RENDER_TARGET.to_s }
    mesh_element = nodes.find { |e| e.elements.to_a("attr").any? { |a| a.attributes["value"] == mesh } }
    # Another test may already have wired the geometry group there: the mesh takes its place.
    target_element.elements.to_a("pin").select { |pin| pin.attributes["index"].to_i == index }
                  .each { |pin| target_element.delete_element(pin) }
    plug = REXML::Element.new("pin")
    plug.add_attributes("index" => index.to_s, "source" => mesh_element.attributes["id"])
    later = target_element.elements.to_a("pin").find { |pin| pin.attributes["index"].to_i > index }
    later ? target_element.insert_before(later, plug) : target_element.add_element(plug)
    doc.to_s
  end

  def test_an_obj_proxy_is_loaded_once_per_path_shared_and_refused_when_unusable
    path = write("chair.OBJ", TRIANGLE)
    assert ExtDefinition.add(101, [], [])
    refute ExtDefinition.set_proxy(101, "")
    refute ExtDefinition.set_proxy(101, write("chair.fbx", TRIANGLE))
    refute ExtDefinition.set_proxy(101, File.join(@dir, "missing.obj"))
    refute ExtDefinition.set_proxy(101, write("broken.zcs", "<scene"))
    refute ExtDefinition.set_proxy(999_999, path)
    refute ExtDefinition.update_proxy(999_999)
    refute ExtDefinition.clear_proxy(999_999)
    assert_raises(TypeError) { ExtDefinition.set_proxy(101, 42) }
    assert ExtDefinition.set_edit_mode(101, false), "no proxy was taken"

    assert ExtDefinition.set_proxy(101, path)
    refute ExtDefinition.set_proxy(101, path), "the same path twice changes nothing"
    assert ExtDefinition.add(102, [], [])
    assert ExtDefinition.set_proxy(102, path)
    assert ExtDefinition.update_proxy(102)
    meshes = meshes_loaded_from(path)
    assert_equal 1, meshes.size
    assert_equal 3, ZarnikProbe.attr(meshes.first, VERTICES).size

    refute ExtDefinition.set_edit_mode(101, true)
    assert_equal(-1, ExtDefinition.get_material_id(101, 0, false))
    refute ExtDefinition.update_all_materials(101)

    # Dropped from the cache, the node lives on until both definitions let go.
    assert_equal true, ZarnikExt.clear_proxies
    assert_equal meshes, meshes_loaded_from(path)
    assert ExtDefinition.clear_proxy(101)
    assert ExtDefinition.clear_proxy(102)
    assert_empty meshes_loaded_from(path)
    assert ExtDefinition.set_edit_mode(101, false)
  end

  def test_a_placed_proxy_shows_in_the_placement_chain
    skip "the module registers no geometry methods at start-up" unless ZarnikExt.respond_to?(:apply_geometry)
    path = write("bench.obj", TRIANGLE)
    assert ExtDefinition.add(131, [], [])
    assert ExtDefinition.set_proxy(131, path)
    assert ExtInstance.add(231, 131, -1, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1], nil, false)
    ZarnikExt.define_model_entity(231)
    ZarnikExt.apply_geometry
    # The proxy feeds its placement directly, keeping the materials its file gave it.
    placements = ZarnikProbe.destinations(meshes_loaded_from(path).first).map { |node, _pin| ZarnikProbe.node_type(node) }
    assert_equal [PLACEMENT], placements
  end

  def test_a_scene_file_proxy_copies_the_shown_geometry_and_registers_its_materials
    obj = write("lamp.obj", TRIANGLE)
    assert ExtDefinition.add(111, [], [])
    assert ExtDefinition.set_proxy(111, obj)
    material = ZarnikProbe.create_node(DIFFUSE, nil)
    scene = write("lamp_scene.zcs", scene_showing(obj))
    ZarnikProbe.destroy(material)
    materials_before = ZarnikProbe.nodes(DIFFUSE).size

    assert ExtDefinition.add(112, [], [])
    assert ExtDefinition.set_proxy(112, scene)
    copies = meshes_loaded_from(obj)
    assert_equal 2, copies.size
    copies.each { |copy| assert_equal 3, ZarnikProbe.attr(copy, VERTICES).size }
    # The scene's material joins the library, which builds its own node of it.
    assert_equal materials_before + 1, ZarnikProbe.nodes(DIFFUSE).size
    assert_equal 1, ZarnikProbe.nodes(RENDER_TARGET).size, "the scene's render target stays out"
  end

  def test_a_scene_reset_drops_proxies_through_the_cache
    path = write("shelf.obj", TRIANGLE)
    assert ExtDefinition.add(141, [], [])
    assert ExtDefinition.set_proxy(141, path)
    old = meshes_loaded_from(path)
    assert_equal true, ZarnikExt.reset_scene
    # The file is read afresh: the cache let go of it rather than keeping a node the reset
    # destroyed behind its back.
    assert ExtDefinition.add(142, [], [])
    assert ExtDefinition.set_proxy(142, path)
    fresh = meshes_loaded_from(path) - old
    assert_equal 1, fresh.size
    assert_equal 3, ZarnikProbe.attr(fresh.first, VERTICES).size
  end
end
