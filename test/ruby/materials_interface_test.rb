# Scene materials and host-material queries through ExtMaterials.
require "test_helper"

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
