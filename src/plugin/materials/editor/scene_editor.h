#pragma once

// Scene materials: the materials made or edited for the current model, with ids from 20000
// upward. New ones are created here for the Ruby side, and all of them are restored from
// the text the host model file keeps.

#include <string>

namespace Zarnik {

class SceneEditor {
 public:
  SceneEditor();
  ~SceneEditor();
  SceneEditor(const SceneEditor&) = delete;
  SceneEditor& operator=(const SceneEditor&) = delete;

  static int GetSceneStartSlot();

  int GetActiveMaterialId() const { return active_material_id_; }
  int GetFreeSlot() const { return free_slot_; }
  void Reset() { active_material_id_ = -1; }
  // Drops the scene materials' UI records; new ids start at the scene start slot again.
  void Clear();
  // Makes sure the next new material gets an id above `id`.
  void UpdateFreeSlot(int id);

  // Kinds 0 to 6. A colour component below 0 means no colour. The scale is not used.
  // Answers the new material's id, or -1.
  int AddNewMaterial(int kind, const std::string& name, const std::string& texture, float red, float green,
                     float blue, float scale_x, float scale_y);
  // Replaces every material of the registry by the scene materials of the stored text
  // (an object whose "materials" maps decimal ids to node forms). Text that does not parse
  // is logged and leaves the registry as it was.
  void SetMaterialsFromStr(const std::string& text);

 private:
  int active_material_id_ = -1;
  int free_slot_;
};

}  // namespace Zarnik
