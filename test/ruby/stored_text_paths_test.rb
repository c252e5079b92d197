# Texts the Ruby side keeps in a model file that was saved under another user's home name
# texture files in that user's temporary textures folder; read back here, they must name
# this user's, where the textures that travel with the model are written.
require "test_helper"
require "fileutils"
require "json"
require "tmpdir"

class StoredTextPathsTest < Minitest::Test
  RENDER_TARGET = 56
  ENVIRONMENT_PIN = 43
  TEXTURE_PIN = 240
  IMAGE = 34
  FILE_NAME = 34

  FOREIGN_FOLDERS = [
    "/Users/other/Documents/Zarnik/SketchUp/temp/textures/",
    "C:\\Users\\other\\Documents\\zarnik\\SketchUp\\TEMP\\textures\\",
  ].freeze

  def working_textures
    File.join(Dir.home, "Documents", "Zarnik", "SketchUp", "temp", "textures")
  end

  def environment_texture(page)
    target = ZarnikProbe.nodes(RENDER_TARGET).find { |node| ZarnikProbe.node_name(node) == page }
    refute_nil target, page
    environment = ZarnikProbe.input(target, ENVIRONMENT_PIN)
    refute_nil environment, page
    ZarnikProbe.input(environment, TEXTURE_PIN)
  end

  def host_material(id, name, texture: "", mode: 0, text: "")
    [id, name, [200, 100, 50], texture, 1.0, 1.0, 1.0, mode, -1, text, [], []]
  end

  def test_render_target_text_from_another_home_names_this_users_textures
    FileUtils.mkdir_p(working_textures)
    local = File.join(working_textures, "sky.hdr")
    File.binwrite(local, "SKY")
    environment = { "environment" => { "type" => 1, "texPath" => local } }
    assert_equal true, ZarnikExt.set_scene_params(JSON.generate(environment))
    assert_equal local, ZarnikProbe.attr(environment_texture("Default View"), FILE_NAME)
    xml = ZarnikExt.get_render_target_xml("Default View")
    assert_includes xml, local

    FOREIGN_FOLDERS.each_with_index do |folder, i|
      stored = xml.gsub(local, folder + "sky.hdr")
      ["Default View", "Page #{i + 2}"].each do |page|
        assert_equal true, ZarnikExt.set_render_target_xml(page, stored)
        assert_equal local, ZarnikProbe.attr(environment_texture(page), FILE_NAME), "#{page} from #{folder}"
      end
    end

    # A texture outside any temporary textures folder keeps its path.
    elsewhere = "/Users/other/Pictures/sky.hdr"
    assert_equal true, ZarnikExt.set_render_target_xml("Default View", xml.gsub(local, elsewhere))
    assert_equal elsewhere, ZarnikProbe.attr(environment_texture("Default View"), FILE_NAME)
  end

  def test_material_text_from_another_home_names_this_users_textures
    folder = Dir.mktmpdir("textures", Dir.home)
    original = File.join(folder, "bark.png")
    File.binwrite(original, "BARK")
    assert_equal true, ExtMaterial.update(host_material(1, "bark", texture: original, mode: 1))
    text = ExtMaterials.serialize_material(1)[0]
    assert_includes text, original

    FOREIGN_FOLDERS.each_with_index do |foreign, i|
      stored = text.gsub(original, foreign + "bark.png")
      before = ZarnikProbe.nodes(IMAGE)
      assert_equal true, ExtMaterial.update(host_material(10 + i, "restored #{i}", text: stored))
      files = (ZarnikProbe.nodes(IMAGE) - before).map { |image| ZarnikProbe.attr(image, FILE_NAME) }
      assert_equal [File.join(working_textures, "bark.png")], files, foreign
    end
  end
end
