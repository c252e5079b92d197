# The material registry inside the loaded extension: its start-up and shut-down records,
# and scene materials restored from model text, each case in a process of its own.
require "minitest/autorun"
require "lifecycle_helper"

class MaterialsRegistryTest < Minitest::Test
  include LifecycleHelper

  def test_registry_starts_after_the_render_manager_and_goes_before_it
    run = run_script(<<~RUBY)
      require "zarniksu18"
      puts ExtMaterials.superclass
      ZarnikExt.shutdown
    RUBY
    assert_clean_exit run
    assert_equal "Object\n", run.stdout
    assert_in_order ["ZarnikManager Created", "Creating MaterialManager...", "Creating ZcsMaterialLoader...", "ZcsMaterialLoader Created",
                     "Creating SceneEditor...", "SceneEditor Created", "MaterialManager Created",
                     "ApplicationManager Init Complete", "ZcsMaterialLoader Destroyed", "SceneEditor Destroyed",
                     "MaterialManager Destroyed", "ZarnikManager Destroyed"],
                    run.glog_messages, "material records"
  end

  def test_restored_scene_materials_move_the_next_new_id
    run = run_script(<<~RUBY)
      require "zarniksu18"
      require "json"
      material = { "type" => 17 }
      text = JSON.generate("materials" => { "20000" => material, "20007" => material, "-4" => material })
      ExtMaterials.set_scene_materials(text)
      first = ExtMaterials.create_new_material(0, nil)
      ExtMaterials.set_scene_materials("{ broken")
      second = ExtMaterials.create_new_material(1, nil)
      ExtMaterials.set_scene_materials("")
      third = ExtMaterials.create_new_material(2, nil)
      puts [first, second, third].inspect
      ZarnikExt.shutdown
    RUBY
    assert_clean_exit run
    # Unparsable text leaves the registry as it was; empty text empties it.
    assert_equal "[20008, 20009, 20000]\n", run.stdout
    assert_includes run.glog_messages, "Failed to read materials from .skp file"
  end
end
