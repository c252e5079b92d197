#pragma once

// The entity registry: every definition, instance and host material by id, the model's
// root definition, and the edit-mode state. Its apply cycle walks the entity tree from the
// root, multiplies transforms down the hierarchy, hands every world transform to the
// definition it places (which groups them per instance material), wires the result into
// the render manager's geometry group and drops the instances that were not reached.

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sketchup/definition.h"
#include "sketchup/entity.h"
#include "sketchup/instance.h"
#include "sketchup/su_material.h"
#include "utils/matrix.h"
#include "zarnik.h"

namespace Zarnik {
namespace SketchupManager {

// Every definition and instance by id. Looked up once or twice per placed instance in every
// apply cycle, hence hashed; nothing depends on the order of its entries.
class EntityTable {
 public:
  using Map = std::unordered_map<std::int32_t, std::shared_ptr<Entity>>;

  Entity* Find(std::int32_t id) const {
    const auto found = map_.find(id);
    return found == map_.end() ? nullptr : found->second.get();
  }
  std::shared_ptr<Entity> Get(std::int32_t id) const {
    const auto found = map_.find(id);
    return found == map_.end() ? nullptr : found->second;
  }
  void Set(std::int32_t id, std::shared_ptr<Entity> entity);
  void Erase(std::int32_t id);
  void Clear();

  const Map& entries() const { return map_; }
  std::size_t instance_count() const { return instances_; }

 private:
  Map map_;
  std::size_t instances_ = 0;
};

using DefinitionTable = std::map<std::int32_t, std::shared_ptr<Definition>>;
using MaterialTable = std::map<std::int32_t, std::shared_ptr<SuMaterial>>;

// ---- Life cycle --------------------------------------------------------------------------

// Makes the root definition and registers ExtStream, ExtUtils and the geometry methods of
// ZarnikExt. Always true.
bool Init();
// Releases every entity and host material and the root definition.
void Cleanup();
// The registry part of Init, without Ruby: a fresh root definition under -2.
void InitRegistry();

// The scene reset: empties the stream, every table and the edit state, and makes the
// render manager forget its geometry group. The root definition loses its geometry and its
// place in the entity table but stays the root.
void FlushGeometryLocal();

// ---- Lookups ---------------------------------------------------------------------------------

bool IsEntityValid(std::int32_t id);
bool IsMaterialValid(std::int32_t id);
// Empty pointers for unknown ids and for an entity of the other kind.
std::shared_ptr<Entity> GetEntity(std::int32_t id);
std::shared_ptr<Definition> GetDefinition(std::int32_t id);  // the root too, while registered
std::shared_ptr<Instance> GetInstance(std::int32_t id);
std::shared_ptr<SuMaterial> GetMaterial(std::int32_t id);

void SetEntity(std::int32_t id, std::shared_ptr<Entity> entity);
// Registers a definition made by the Ruby side; such definitions stay listed until a reset.
void SetDefinition(std::int32_t id, std::shared_ptr<Definition> definition);
void SetMaterial(std::int32_t id, std::shared_ptr<SuMaterial> material);
void EraseEntity(std::int32_t id);
void FlushEntities();
void FlushMaterials();

std::shared_ptr<Definition> GetRoot();
// The root definition, made again if it is gone, and registered under -2.
std::shared_ptr<Definition> EnsureRoot();

const EntityTable& Entities();
const DefinitionTable& Definitions();

// ---- Model entities and deletion -------------------------------------------------------------

void DefineModelEntity(std::int32_t id);
void FlushModelEntities();
// Removes a definition or instance from the entity table (and a top-level id from the
// root's list). False for an id that names neither.
bool DeleteEntity(std::int32_t id);

// ---- Edit mode ---------------------------------------------------------------------------------

Float4x4 GetEditTransform();
void SetEditTransform(const Float4x4& transform);
void AddEditInstance(std::shared_ptr<Instance> instance);
const std::vector<std::shared_ptr<Instance>>& EditModeInstances();
// Ends edit mode for every listed instance and empties the list.
void ClearEditList();
// An entity leaves the registry: an instance leaves the edit list once.
void DiscardEntity(const std::shared_ptr<Entity>& entity);

// ---- Host-material nodes ------------------------------------------------------------------

// A material node is going away: every host material drops it, and host materials left
// without a node are unregistered.
void DiscardZarnikMaterial(ApiNode* node);
void ReplaceZarnikMaterial(ApiNode* old_node, ApiNode* new_node);

// ---- Apply cycle ----------------------------------------------------------------------------------

// What one apply cycle did, for the log and for tests.
struct ApplyReport {
  std::size_t group_inputs = 0;     // inputs given to the geometry group (0: there is none)
  std::size_t cycles_cut = 0;       // placements skipped because they would re-enter their own definition
  std::size_t entities_dropped = 0;
};

// Recomputes every placement from the root, wires the geometry group, restarts rendering
// and drops unreached instances.
ApplyReport ApplyGeometryLocal();
// Rewires input 0 of the geometry group with the model's loose geometry.
void ApplyRootGeometryLocal();
// Drops every instance that the last evaluation pass did not reach and that no registered
// definition lists. Answers how many went.
std::size_t CollectGarbage();

// Evaluation passes are numbered: an instance was reached by the last pass when it carries
// that pass's number, so no pass has to visit every entity to reset counts first.
std::uint64_t StartEvaluationPass();
// How many distinct instances the pass reached; when that is all of them, collecting
// garbage has nothing to look at.
void FinishEvaluationPass(std::size_t reached_instances);
// The number of the last pass, which a walk of some entries again goes on counting under.
std::uint64_t CurrentEvaluationPass();
// Instances such a walk reached that the pass had not.
void NoteReachedInstances(std::size_t more);

// ---- Applies after small edits -------------------------------------------------------------

// An apply after the edits of a few instances walks again only the top-level entries that
// reach them and rewrites their rows in the placements; everything else stays as the last
// apply left it. Any other edit that could change what is placed or where makes the next
// apply a full one: so does an edit the registry is not told of, because no apply walks
// less than it was told.
void NoteStructureChange();
// The transform, instance material or visibility of a stored instance changed.
void NoteInstanceChange(const Instance& instance);
// ZARNIKSU_FULL_APPLY=1 in the environment, read at every apply, makes each one a full one
// (for comparison).

}  // namespace SketchupManager
}  // namespace Zarnik
