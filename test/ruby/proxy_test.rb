# Definitions that show geometry loaded from a file, driven through the module as the
# plug-in's scripts drive it and checked inside the engine with the probe.
require "test_helper"
require "rexml/document"
require "tmpdir"
require_relative "geometry_support"

class ProxyTest < Minitest::Test
  include GeometrySupport

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
    # Neither a pipe, which would wait for a writer for ever, nor a folder is read.
    %w[pipe.obj pipe.zcs pipe.zpak].each do |name|
      File.mkfifo(File.join(@dir, name))
      refute ExtDefinition.set_proxy(101, File.join(@dir, name)), name
    end
    Dir.mkdir(File.join(@dir, "folder.obj"))
    refute ExtDefinition.set_proxy(101, File.join(@dir, "folder.obj"))
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

  GLOSSY = 16

  def node_counts
    [MESH, OVERRIDE, GROUP, PLACEMENT, GLOSSY].to_h { |type| [type, ZarnikProbe.nodes(type).size] }
  end

  # The node and every node below it, through all pins.
  def tree_below(node, found = [])
    return found if node.nil? || found.include?(node)
    found << node
    (0...ZarnikProbe.pin_count(node)).each { |i| tree_below(ZarnikProbe.input_ix(node, i), found) }
    found
  end

  # A scene file whose render target shows a tree of the module's own making: the geometry
  # group, a placement, a material override with a material on its slot, and the mesh. The
  # material is not a diffuse one, whose count other tests watch.
  def scene_of_placed_geometry(id, name)
    skip "the module registers no geometry methods at start-up" unless ZarnikExt.respond_to?(:apply_geometry)
    assert ExtDefinition.add(id, [], [])
    assert stream_triangles(id, name, small_triangle)
    assert ExtInstance.add(id + 100, id, -1, IDENTITY, nil, false)
    ZarnikExt.flush_model_entities
    ZarnikExt.define_model_entity(id + 100)
    ZarnikExt.apply_geometry
    placement = placements_of(name).first
    override = ZarnikProbe.input(placement, GEOMETRY_PIN)
    slot = (0...ZarnikProbe.pin_count(override)).find { |i| ZarnikProbe.pin_id_ix(override, i).zero? }
    material = ZarnikProbe.create_node(GLOSSY, nil)
    assert ZarnikProbe.connect_ix(override, slot, material)
    scene = write("#{name}.zcs", ZarnikProbe.export_root)
    ZarnikExt.flush_model_entities
    ZarnikExt.apply_geometry
    assert ZarnikProbe.destroy(material)
    scene
  end

  # The copy of the scene's geometry group and the copied placement that shows `name`.
  def copied_chain(name)
    group = ZarnikProbe.nodes(GROUP).last
    placement = (0...ZarnikProbe.pin_count(group)).filter_map { |i| ZarnikProbe.input_ix(group, i) }
                                                  .find { |p| (m = mesh_of(p)) && ZarnikProbe.node_name(m) == name }
    refute_nil placement
    [group, placement]
  end

  def test_a_released_scene_file_proxy_takes_its_whole_copy_with_it
    scene = scene_of_placed_geometry(151, "copied chair")
    assert ExtDefinition.add(152, [], [])
    2.times do |round|
      before = node_counts
      assert ExtDefinition.set_proxy(152, scene)
      group, placement = copied_chain("copied chair")
      copy = tree_below(group)
      material = ZarnikProbe.input_ix(ZarnikProbe.input(placement, GEOMETRY_PIN), 1)
      assert_includes copy, material
      assert_empty [MESH, OVERRIDE, GROUP, PLACEMENT, GLOSSY] - copy.map { |n| ZarnikProbe.node_type(n) }
      assert ExtDefinition.clear_proxy(152)
      assert_equal true, ZarnikExt.clear_proxies
      assert_empty copy.select { |n| ZarnikProbe.node_handle_valid?(n) }, "round #{round}"
      # The library keeps a node of its own for the file's material; nothing else stays.
      after = node_counts
      assert_equal before.reject { |type, _| type == GLOSSY }, after.reject { |type, _| type == GLOSSY }
    end
  end

  def test_a_released_copy_leaves_what_the_user_wired_elsewhere
    scene = scene_of_placed_geometry(161, "copied lamp")
    assert ExtDefinition.add(162, [], [])
    assert ExtDefinition.set_proxy(162, scene)
    copied_group, copied_placement = copied_chain("copied lamp")
    copied_mesh = mesh_of(copied_placement)
    refute_equal mesh_named("copied lamp"), copied_mesh, "the copy, not the module's own mesh"
    # The user shows the copied mesh through a placement of their own.
    own = ZarnikProbe.create_node(PLACEMENT, nil)
    pin = (0...ZarnikProbe.pin_count(own)).find { |i| ZarnikProbe.pin_id_ix(own, i) == GEOMETRY_PIN }
    assert ZarnikProbe.connect_ix(own, pin, copied_mesh)

    assert ExtDefinition.clear_proxy(162)
    assert_equal true, ZarnikExt.clear_proxies
    assert_equal false, ZarnikProbe.node_handle_valid?(copied_group)
    assert_equal false, ZarnikProbe.node_handle_valid?(copied_placement)
    assert_equal true, ZarnikProbe.node_handle_valid?(copied_mesh)
    assert_equal copied_mesh, ZarnikProbe.input(own, GEOMETRY_PIN)
    ZarnikProbe.destroy(own)
    ZarnikProbe.destroy(copied_mesh)
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
