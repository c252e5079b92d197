# Scene materials and host-material queries through ExtMaterials.
require "test_helper"
require "tmpdir"

class MaterialsInterfaceTest < Minitest::Test
  SCENE_START = 20000

  def host_entry(id, link: -1, scale: [1.0, 1.0], color: [255, 255, 255])
    [id, "host #{id}", color, "", scale[0], scale[1], 1.0, 1, link, "", [], []]
  end

  def test_new_materials_and_stored_scene_materials_share_the_id_range
    ExtMaterials.clean_scene_materials
    assert_equal(-1, ExtMaterials.create_new_material(5, nil))
    assert_equal(-1, ExtMaterials.create_new_material(-1, nil))
    first = ExtMaterials.create_new_material(0, nil)
    assert_equal SCENE_START, first
    assert_equal "", ExtMaterials.get_material_name(first) # no UI record yet
    assert_equal "", ExtMaterials.get_material_name(12345)

    colour_params = [0, "brick", [200, 100, 50], "", 1.0, 1.0, 1.0]
    assert_equal first + 1, ExtMaterials.create_new_material(1, colour_params)
    assert_raises(TypeError) { ExtMaterials.create_new_material(1, "brick") }
    assert_raises(TypeError) { ExtMaterials.create_new_material(1, [0, "brick"]) }

    json = '{"name": "stored", "type": 17} // written by an older version'
    assert_equal false, ExtMaterials.set_scene_material("19999", json)
    assert_equal false, ExtMaterials.set_scene_material("abc", json)
    assert_equal false, ExtMaterials.set_scene_material("20005", "{ not json")
    assert_equal true, ExtMaterials.set_scene_material("20005", json)
    assert_operator ExtMaterials.create_new_material(0, nil), :>=, 20006
    assert_raises(TypeError) { ExtMaterials.set_scene_material(20005, json) }

    assert_equal true, ExtMaterials.set_scene_materials("not material text")
    assert_equal(-1, ExtMaterials.get_active_material_id)
    assert_equal true, ExtMaterials.clean_scene_materials
    assert_equal SCENE_START, ExtMaterials.create_new_material(0, nil)
  end

  def test_linking_and_unlinking_a_host_material
    ExtMaterials.clean_scene_materials
    scene = ExtMaterials.create_new_material(0, [0, "scene", [0, 255, 0], "", 1.0, 1.0, 1.0])
    scene_node = ZarnikProbe.nodes(0).find { |node| ZarnikProbe.node_name(node) == "scene" }
    refute_nil scene_node

    assert_equal true, ExtMaterial.update(host_entry(50, link: scene, color: [255, 0, 0]))
    assert_equal true, ExtMaterial.present?(50)
    assert_equal [1.0, 0.0, 0.0], ZarnikProbe.attr(ZarnikProbe.input(scene_node, 30), 185)
    refute_nil ExtMaterials.serialize_material(50)

    # Back to a converted material: the scene material keeps its name and colour node.
    assert_equal true, ExtMaterial.update(host_entry(50, color: [0, 0, 255]))
    assert_equal "scene", ZarnikProbe.node_name(scene_node)
    assert_equal [1.0, 0.0, 0.0], ZarnikProbe.attr(ZarnikProbe.input(scene_node, 30), 185)
    assert_nil ExtMaterials.get_texture_scale(50)
    assert_equal "", ExtMaterials.get_material_preview(50, true)

    # A link to an id without any material falls back to conversion.
    assert_equal true, ExtMaterial.update(host_entry(51, link: SCENE_START + 900))
    assert_equal true, ExtMaterial.present?(51)
    assert_nil ExtMaterials.get_texture_scale(51)
  end

  def test_unknown_host_materials_give_empty_answers
    assert_nil ExtMaterials.get_texture_scale(777)
    assert_nil ExtMaterials.serialize_material(777)
    assert_equal "", ExtMaterials.get_material_preview(777, true)
    assert_raises(TypeError) { ExtMaterials.get_texture_scale("777") }
  end

  def test_path_hash_is_a_stable_non_negative_integer
    assert_equal 0x9ae16a3b2f90404f, ExtMaterials.get_path_hash("")
    texts = ["", "a", "abcd", "wood.png", "/Users/someone/Textures/wood.png", "x" * 40, "y" * 64, "z" * 300]
    hashes = texts.map { |text| ExtMaterials.get_path_hash(text) }
    assert_equal hashes, texts.map { |text| ExtMaterials.get_path_hash(text.dup) }
    assert_equal texts.size, hashes.uniq.size
    hashes.each { |hash| assert_operator hash, :>=, 0 }
    assert hashes.all? { |hash| hash < 2**64 }
    refute_equal ExtMaterials.get_path_hash("a\0b"), ExtMaterials.get_path_hash("a")
    assert_raises(TypeError) { ExtMaterials.get_path_hash(nil) }
  end

  def textured_entry(id, texture, color: [255, 255, 255], stored: nil)
    names = stored ? [stored[1], stored[3]] : []
    contents = stored ? [stored[2], ""] : []
    [id, "textured #{id}", color, texture, 1.0, 1.0, 1.0, 1, -1, stored ? stored[0] : "", names, contents]
  end

  def base64(bytes)
    [bytes].pack("m0")
  end

  def test_two_textures_of_one_file_name_stay_apart
    paths = %w[a b].map do |side|
      File.join(Dir.mktmpdir("texture_#{side}", Dir.home), "wood.jpg").tap { |path| File.binwrite(path, "GRAIN #{side}") }
    end
    assert_equal true, ExtMaterial.update(textured_entry(80, paths[0]))
    assert_equal true, ExtMaterial.update(textured_entry(81, paths[1]))
    stored = [80, 81].map { |id| ExtMaterials.serialize_material(id) }
    assert_equal [paths[0], base64("GRAIN a"), "wood.jpg", nil], stored[0][1..]
    assert_equal [paths[1], base64("GRAIN b"), "wood.jpg", nil], stored[1][1..]

    # Changing the first material after both were stored keeps its own texture.
    assert_equal true, ExtMaterial.update(textured_entry(80, paths[0], color: [10, 20, 30]))
    again = ExtMaterials.serialize_material(80)
    assert_equal "GRAIN a", File.binread(again[1])
    assert_equal base64("GRAIN a"), again[2]

    # The model opened again with both original files gone: each material gets a copy of
    # its own texture, named after the file.
    paths.each { |path| File.delete(path) }
    assert_equal true, ExtMaterial.update(textured_entry(90, paths[0], stored: stored[0]))
    assert_equal true, ExtMaterial.update(textured_entry(91, paths[1], stored: stored[1]))
    restored = [90, 91].map { |id| ExtMaterials.serialize_material(id) }
    assert_equal ["GRAIN a", "GRAIN b"], restored.map { |entries| File.binread(entries[1]) }
    assert_equal [base64("GRAIN a"), base64("GRAIN b")], restored.map { |entries| entries[2] }
    copies = restored.map { |entries| File.basename(entries[1]) }
    assert_equal 2, copies.uniq.size
    copies.each { |name| assert_match(/\Awood(-\d+)?\.jpg\z/, name) }
  end

  def test_a_vanished_working_copy_is_still_stored
    path = File.join(Dir.mktmpdir("texture", Dir.home), "bark.png")
    File.binwrite(path, "BARK\0\xff".b)
    assert_equal true, ExtMaterial.update(textured_entry(85, path))
    stored = ExtMaterials.serialize_material(85)
    File.delete(path)
    assert_equal true, ExtMaterial.update(textured_entry(86, path, stored: stored))
    restored = ExtMaterials.serialize_material(86)
    copy = restored[1]
    refute_equal path, copy
    assert_equal "BARK\0\xff".b, File.binread(copy)

    File.delete(copy)
    assert_equal [copy, base64("BARK\0\xff".b), "bark.png", nil], ExtMaterials.serialize_material(86)[1..]
    assert_equal restored[0], ExtMaterials.serialize_material(86)[0]
  end

  def test_deeply_nested_material_text_is_unreadable_text
    ExtMaterials.clean_scene_materials
    assert_equal true, ExtMaterials.set_scene_material("20005", '{"name": "kept", "type": 17}')
    unreadable = "Failed to read materials from .skp file"
    before = glog_text.scan(unreadable).size
    deep = "[" * 5000 + "]" * 5000
    assert_equal true, ExtMaterials.set_scene_materials(%({"materials": {"20001": #{deep}}}))
    assert_equal false, ExtMaterials.set_scene_material("20010", deep)
    text = glog_text
    assert_equal before + 1, text.scan(unreadable).size
    refute_match(/ExtMaterials\.set_scene_materials? failed/, text)
    # Nothing was replaced: the stored material still holds its slot.
    assert_equal 20006, ExtMaterials.create_new_material(0, nil)
  end
end
