# Definitions that show geometry loaded from a file, driven through the module as the
# plug-in's scripts drive it and checked inside the engine with the probe.
require "test_helper"
require "rexml/document"
require "tmpdir"

class ProxyTest < Minitest::Test
  MESH = 1
  RENDER_TARGET = 56
  TARGET_GEOMETRY_PIN = 111
  GEOMETRY_GROUP = 3
  PLACEMENT = 5
  DIFFUSE = 17
  FILE_NAME = 34
  VERTICES = 190
  IDENTITY = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1].freeze
  TRIANGLE = "v 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Paint\nf 1 2 3\n".freeze

  def setup
    @dir = Dir.mktmpdir("proxy_test")
  end

  def teardown
    FileUtils.remove_entry(@dir)
  end

  def write(name, text)
    path = File.join(@dir, name)
    File.binwrite(path, text)
    path
  end

  def meshes_loaded_from(path)
    ZarnikProbe.nodes(MESH).select { |mesh| ZarnikProbe.attr(mesh, FILE_NAME) == path }
  end

  # Every node that takes node's output, followed down to the nodes nothing takes.
  def downstream(node)
    seen = []
    queue = [node]
    until queue.empty?
      current = queue.shift
      (ZarnikProbe.destinations(current) || []).each do |next_node|
        next if seen.include?(next_node)
        seen << next_node
        queue << next_node
      end
    end
    seen
  end

  # Places definition `id` once at the top level and applies the geometry.
  def place(definition_id, instance_id)
    assert ExtInstance.add(instance_id, definition_id, -1, IDENTITY, nil, false)
    ZarnikExt.define_model_entity(instance_id)
    ZarnikExt.apply_geometry
  end

  def placing_available?
    ZarnikExt.respond_to?(:apply_geometry) && ZarnikExt.respond_to?(:define_model_entity)
  end

  # The project exported as scene text, its render target showing `mesh`.
  def scene_showing(mesh_path)
    target = ZarnikProbe.nodes(RENDER_TARGET).first
    refute_nil target
    index = (0...ZarnikProbe.pin_count(target)).find { |i| ZarnikProbe.pin_id_ix(target, i) == TARGET_GEOMETRY_PIN }
    refute_nil index
    doc = REXML::Document.new(ZarnikProbe.export_root)
    nodes = doc.root.elements.to_a("node")
    target_element = nodes.find { |e| e.attributes["type"] == RENDER_TARGET.to_s }
    mesh_element = nodes.find do |e|
      e.attributes["type"] == MESH.to_s &&
        e.elements.to_a("attr").any? { |a| a.attributes["id"] == FILE_NAME.to_s && a.attributes["value"] == mesh_path }
    end
    refute_nil mesh_element
    plug = REXML::Element.new("pin")
    plug.add_attributes("index" => index.to_s, "source" => mesh_element.attributes["id"])
    later = target_element.elements.to_a("pin").find { |pin| pin.attributes["index"].to_i > index }
    later ? target_element.insert_before(later, plug) : target_element.add_element(plug)
    doc.to_s
  end

  def test_an_obj_proxy_is_loaded_once_per_path_and_shared
    path = write("chair.OBJ", TRIANGLE)
    assert ExtDefinition.add(101, [], [])
    assert ExtDefinition.set_proxy(101, path)
    refute ExtDefinition.set_proxy(101, path), "the same path twice changes nothing"
    meshes = meshes_loaded_from(path)
    assert_equal 1, meshes.size
    mesh = meshes.first
    assert_equal 3, ZarnikProbe.attr(mesh, VERTICES).size

    # A second definition with the same file shares the node; update keeps it.
    assert ExtDefinition.add(102, [], [])
    assert ExtDefinition.set_proxy(102, path)
    assert ExtDefinition.update_proxy(102)
    assert_equal [mesh], meshes_loaded_from(path)

    # While the proxy stands in, material and edit changes are refused.
    refute ExtDefinition.set_edit_mode(101, true)
    assert_equal(-1, ExtDefinition.get_material_id(101, 0, false))
    refute ExtDefinition.update_all_materials(101)

    # Dropped from the cache, the node lives on until both definitions let go.
    assert_equal true, ZarnikExt.clear_proxies
    assert_equal [mesh], meshes_loaded_from(path)
    assert ExtDefinition.clear_proxy(101)
    assert ExtDefinition.clear_proxy(102)
    assert_empty meshes_loaded_from(path)
    assert ExtDefinition.set_edit_mode(101, true)
  end

  def test_a_placed_proxy_shows_in_the_placement_chain
    skip "the module registers no geometry methods at start-up" unless placing_available?
    path = write("bench.obj", TRIANGLE)
    assert ExtDefinition.add(131, [], [])
    assert ExtDefinition.set_proxy(131, path)
    place(131, 231)
    mesh = meshes_loaded_from(path).first
    refute_nil mesh
    chain = downstream(mesh).map { |node| ZarnikProbe.node_type(node) }
    assert_includes chain, PLACEMENT
    assert_includes chain, GEOMETRY_GROUP
  end

  def test_a_scene_file_proxy_copies_the_shown_geometry_and_registers_its_materials
    obj = write("lamp.obj", TRIANGLE)
    assert ExtDefinition.add(111, [], [])
    assert ExtDefinition.set_proxy(111, obj)
    material = ZarnikProbe.create_node(DIFFUSE, nil)
    refute_nil material
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
    refute ExtDefinition.set_proxy(112, scene)
    assert_equal 1, ZarnikProbe.nodes(RENDER_TARGET).size, "the scene's render target stays out"
  end

  def test_a_scene_reset_drops_proxies_through_the_cache
    path = write("shelf.obj", TRIANGLE)
    assert ExtDefinition.add(141, [], [])
    assert ExtDefinition.set_proxy(141, path)
    old = meshes_loaded_from(path)
    assert_equal 1, old.size
    assert_equal true, ZarnikExt.reset_scene
    # The file is read afresh: the cache let go of it rather than keeping a node the reset
    # destroyed behind its back.
    assert ExtDefinition.add(142, [], [])
    assert ExtDefinition.set_proxy(142, path)
    fresh = meshes_loaded_from(path) - old
    assert_equal 1, fresh.size
    assert_equal 3, ZarnikProbe.attr(fresh.first, VERTICES).size
  end

  def test_refusals_leave_the_definition_as_it_was
    path = write("stool.obj", TRIANGLE)
    refute ExtDefinition.set_proxy(999_999, path), "no such definition"
    assert ExtDefinition.add(121, [], [])
    refute ExtDefinition.set_proxy(121, "")
    refute ExtDefinition.set_proxy(121, write("stool.fbx", TRIANGLE))
    refute ExtDefinition.set_proxy(121, File.join(@dir, "missing.obj"))
    refute ExtDefinition.set_proxy(121, write("broken.zcs", "<scene"))
    refute ExtDefinition.update_proxy(999_999)
    refute ExtDefinition.clear_proxy(999_999)
    assert ExtDefinition.set_edit_mode(121, true), "no proxy was taken"
    assert_raises(TypeError) { ExtDefinition.set_proxy(121, 42) }
    assert_raises(TypeError) { ExtDefinition.set_proxy("121", path) }
    assert ExtDefinition.set_proxy(121, path)
  end
end
