# Host materials through ExtMaterial: conversion into engine nodes, the module settings,
# and argument checks that refuse bad input before anything changes.
require "test_helper"
require "tmpdir"

module HostMaterialNodes
  GLOSSY = 16
  RGB = 33
  FLOAT = 31
  IMAGE = 34

  # The update array with sensible defaults; keyword arguments replace entries.
  def entry(id, name: "m#{id}", color: [255, 128, 0], texture: "", scale: [1.0, 1.0], opacity: 0.5,
            mode: 0, link: -1, text: "", names: [], contents: [])
    [id, name, color, texture, scale[0], scale[1], opacity, mode, link, text, names, contents]
  end

  def material_node(name, type = GLOSSY)
    ZarnikProbe.nodes(type).find { |node| ZarnikProbe.node_name(node) == name }
  end
end

class MaterialsHostTest < Minitest::Test
  include HostMaterialNodes

  STARTUP_METHOD = ExtMaterial.get_texture_method

  def test_settings_after_start_up_and_their_checks
    assert_equal "SKP file", STARTUP_METHOD
    assert_equal File.join(Dir.home, "Documents/Zarnik/SketchUp/Textures/"), ExtMaterial.get_texture_folder

    assert_equal false, ExtMaterial.set_default_material("Sunlight")
    assert_equal "Glossy", ExtMaterial.get_default_material
    assert_equal true, ExtMaterial.set_default_material("Diffuse")
    assert_equal "Diffuse", ExtMaterial.get_default_material
    assert_equal true, ExtMaterial.set_default_material("Glossy")

    folder = File.join(Dir.home, "own", "textures")
    assert_equal false, ExtMaterial.set_texture_folder("")
    assert_equal true, ExtMaterial.set_texture_folder(folder)
    assert_equal false, ExtMaterial.set_texture_method("local folder")
    assert_equal true, ExtMaterial.set_texture_method("Local folder")
    assert File.directory?(folder)
    assert_equal "Local folder", ExtMaterial.get_texture_method
    assert_equal true, ExtMaterial.set_texture_method("SKP file")
    assert_equal "SKP file", ExtMaterial.get_texture_method

    [:set_default_material, :set_texture_method, :set_texture_folder].each do |name|
      assert_raises(TypeError, name.to_s) { ExtMaterial.public_send(name, 3) }
    end
    assert_raises(TypeError) { ExtMaterial.present?("1") }
  end

  def test_colour_becomes_linear_and_untextured_material_gets_value_nodes
    assert_equal true, ExtMaterial.update(entry(1, name: "orange"))
    assert_equal true, ExtMaterial.present?(1)
    node = material_node("orange")
    refute_nil node
    assert_equal true, ZarnikProbe.pin_value(node, 218)
    rgb = ZarnikProbe.input(node, 30)
    assert_equal RGB, ZarnikProbe.node_type(rgb)
    red, green, blue = ZarnikProbe.attr(rgb, 185)
    assert_equal 1.0, red
    assert_in_delta 0.21952, green, 1e-5
    assert_equal 0.0, blue
    opacity = ZarnikProbe.input(node, 125)
    assert_equal FLOAT, ZarnikProbe.node_type(opacity)
    assert_equal 0.5, ZarnikProbe.attr(opacity, 185)

    # Updating again refreshes the same node.
    assert_equal true, ExtMaterial.update(entry(1, name: "orange", color: [0, 0, 255]))
    assert_equal [0.0, 0.0, 1.0], ZarnikProbe.attr(ZarnikProbe.input(node, 30), 185)
  end

  def test_nothing_is_updated_for_id_minus_one
    before = ZarnikProbe.nodes(GLOSSY).size
    assert_equal false, ExtMaterial.update(entry(-1))
    assert_equal false, ExtMaterial.present?(-1)
    assert_equal before, ZarnikProbe.nodes(GLOSSY).size
  end

  def test_bad_arrays_raise_before_anything_changes
    before = ZarnikProbe.nodes(0).size
    bad = {
      "not an array" => "m",
      "empty" => [],
      "short" => [30, "short"],
      "eleven entries" => entry(30)[0, 11],
      "id" => entry(30).tap { |e| e[0] = "30" },
      "name" => entry(30).tap { |e| e[1] = :name },
      "colour" => entry(30).tap { |e| e[2] = "red" },
      "colour channel" => entry(30).tap { |e| e[2] = [1, "2", 3] },
      "short colour" => entry(30).tap { |e| e[2] = [1, 2] },
      "scale" => entry(30).tap { |e| e[4] = nil },
      "link" => entry(30).tap { |e| e[8] = "20000" },
      "text" => entry(30).tap { |e| e[9] = nil },
      "names" => entry(30).tap { |e| e[10] = "a.png" },
      "name in list" => entry(30).tap { |e| e[10] = [1] },
      "content in list" => entry(30).tap { |e| e[10] = ["a.png"]; e[11] = [nil] },
    }
    bad.each do |what, argument|
      assert_raises(TypeError, what) { ExtMaterial.update(argument) }
    end
    assert_raises(RangeError) { ExtMaterial.update(entry(2**40)) }
    assert_raises(ArgumentError) { ExtMaterial.update(entry(30, texture: "a\0b.png")) }
    assert_equal false, ExtMaterial.present?(30)
    assert_equal before, ZarnikProbe.nodes(0).size
  end

  def test_texture_files_travel_with_the_material
    folder = Dir.mktmpdir("textures", Dir.home)
    path = File.join(folder, "wood.png")
    File.binwrite(path, "WOODBYTES\0\xff".b)
    assert_equal true, ExtMaterial.update(entry(40, name: "wood", texture: path, mode: 1))

    stored = ExtMaterials.serialize_material(40)
    assert_equal 5, stored.size
    assert_kind_of String, stored[0]
    refute_empty stored[0]
    assert_equal [path, [File.binread(path)].pack("m0"), "wood.png", nil], stored[1..]

    # Another host material restored from the stored form, with the original file gone.
    File.delete(path)
    restored = entry(41, name: "restored", texture: path, text: stored[0], names: [stored[1], stored[3]],
                         contents: [stored[2], ""])
    assert_equal true, ExtMaterial.update(restored)
    assert_equal true, ExtMaterial.present?(41)
    used = ZarnikProbe.nodes(IMAGE).map { |image| ZarnikProbe.attr(image, 34) }.find { |file| file.end_with?("wood.png") && file != path }
    refute_nil used
    assert_equal "WOODBYTES\0\xff".b, File.binread(used)
  end

  def test_material_nodes_deleted_in_the_engine_are_made_again
    assert_equal true, ExtMaterial.update(entry(70, name: "lost"))
    deleted = material_node("lost")
    assert ZarnikProbe.destroy(deleted)
    assert_equal true, ExtMaterial.update(entry(70, name: "lost"))
    remade = material_node("lost")
    refute_nil remade, "the next update converts the host material again"
    refute_equal deleted, remade
    refute_nil ExtMaterials.serialize_material(70)

    # A scene material the user deleted is rebuilt from its stored form when a host material links to it.
    scene = ExtMaterials.create_new_material(0, [0, "scene 71", [0, 255, 0], "", 1.0, 1.0, 1.0])
    scene_node = -> { ZarnikProbe.nodes(0).find { |node| ZarnikProbe.node_name(node) == "scene 71" } }
    assert ZarnikProbe.destroy(scene_node.call)
    assert_nil scene_node.call
    assert_equal true, ExtMaterial.update(entry(71, link: scene))
    refute_nil scene_node.call
    refute_nil ExtMaterials.serialize_material(71)
  end
end
