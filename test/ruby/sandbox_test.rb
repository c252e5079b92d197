# The material sandbox as the plug-in sees it: the window builds it, host material updates
# move materials into it while rendering, and it survives the user closing the window.
require "test_helper"

class SandboxTest < Minitest::Test
  LINK = 30_007
  LINK_INPUT = 82

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
end
