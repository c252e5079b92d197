#pragma once

// One placement of a definition in the host model (a component instance or a group),
// at the top level or inside another definition.

#include <cstdint>
#include <vector>

#include "sketchup/entity.h"
#include "utils/matrix.h"

namespace Zarnik {

class Instance : public Entity {
 public:
  explicit Instance(std::int32_t id) : Entity(id, kInstance) {}

  // Folds a pending edit transform into `transform` (the host transform applies first)
  // and resets it. Only while the instance is being edited.
  void UpdateTransform();

  // Every placement of this instance: `transforms` when it holds any, else `transform`.
  const Float4x4* Placements(std::size_t& count) const;

  bool edit_mode = false;       // opened for editing in the host
  bool visible = true;
  int evaluation_count = 0;     // how often the pass numbered evaluation_pass reached it
  std::uint64_t evaluation_pass = 0;
  // The top-level entry whose walk reached it in that pass (kManyEntries: more than one), so
  // that an edit of it needs only that entry walked again.
  std::uint32_t walk_entry = 0;
  static constexpr std::uint32_t kManyEntries = 0xffffffffu;
  Float4x4 transform;           // host transform in metres, row-vector form
  Float4x4 edit_transform;      // pending edit transform
  std::vector<Float4x4> transforms;
  std::int32_t definition_id = kNoId;
  std::int32_t material_id = kNoId;  // kNoId: the parent's material shows through
};
}  // namespace Zarnik
