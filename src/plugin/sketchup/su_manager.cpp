#include "sketchup/su_manager.h"

#include <glog/logging.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "sketchup/geometry_stream.h"
#include "sketchup/su_ruby_ext.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace SketchupManager {

namespace {

struct Registry {
  EntityTable entities;            // every definition and instance, the root included
  DefinitionTable definitions;     // definitions the Ruby side added; never the root
  MaterialTable materials;
  std::shared_ptr<Definition> root_def;
  // Deletions not yet taken out of the root's list: id -> how many first occurrences go.
  // Taking them out one by one scanned the whole list per delete, so deleting a large model
  // entity by entity cost the square of its size; they are taken out together, in one pass,
  // before anything reads or extends the list.
  std::unordered_map<std::int32_t, std::uint32_t> top_level_removals;
  std::vector<std::shared_ptr<Instance>> edit_mode_instances;  // may list one twice
  Float4x4 edit_transform;         // metres
  std::uint64_t last_pass = 0;
  std::size_t reached_in_last_pass = 0;
};

// Made on first use and never destroyed by the runtime: the records own engine nodes,
// which must go while the engine still runs (Cleanup), not during static destruction.
Registry& State() {
  static Registry* registry = new Registry;
  return *registry;
}

// Removing the first k occurrences of each id at once is what k single removals of its first
// occurrence give, in any order between ids.
void SettleTopLevelRemovals() {
  Registry& r = State();
  if (r.top_level_removals.empty()) return;
  if (r.root_def) {
    std::vector<std::int32_t>& top_level = r.root_def->entity_ids;
    auto kept = top_level.begin();
    for (std::int32_t id : top_level) {
      const auto pending = r.top_level_removals.find(id);
      if (pending != r.top_level_removals.end() && pending->second > 0) {
        --pending->second;
        continue;
      }
      *kept++ = id;
    }
    top_level.erase(kept, top_level.end());
    NoteStructureChange();
  }
  r.top_level_removals.clear();
}

template <class Table>
typename Table::mapped_type Lookup(const Table& table, std::int32_t id) {
  const auto found = table.find(id);
  return found == table.end() ? nullptr : found->second;
}

bool IsInstanceEntity(const std::shared_ptr<Entity>& entity) { return entity && entity->IsInstance(); }

// Takes the first occurrence of every listed instance out of the edit list, in one pass.
void LeaveEditList(const std::vector<const Instance*>& leaving) {
  if (leaving.empty()) return;
  std::vector<std::shared_ptr<Instance>>& list = State().edit_mode_instances;
  std::unordered_map<const Instance*, int> pending;
  for (const Instance* instance : leaving) ++pending[instance];
  std::vector<std::shared_ptr<Instance>> kept;
  kept.reserve(list.size());
  for (std::shared_ptr<Instance>& listed : list) {
    const auto found = pending.find(listed.get());
    if (found != pending.end() && found->second > 0) {
      --found->second;
      continue;
    }
    kept.push_back(std::move(listed));
  }
  list.swap(kept);
}

}  // namespace

// ---- Entity table ------------------------------------------------------------------------

void EntityTable::Set(std::int32_t id, std::shared_ptr<Entity> entity) {
  NoteStructureChange();
  std::shared_ptr<Entity>& slot = map_[id];
  if (IsInstanceEntity(slot)) --instances_;
  if (IsInstanceEntity(entity)) ++instances_;
  slot = std::move(entity);
}

void EntityTable::Erase(std::int32_t id) {
  const auto found = map_.find(id);
  if (found == map_.end()) return;
  NoteStructureChange();
  if (IsInstanceEntity(found->second)) --instances_;
  map_.erase(found);
}

void EntityTable::Clear() {
  NoteStructureChange();
  map_.clear();
  instances_ = 0;
}

// ---- Life cycle ----------------------------------------------------------------------------

bool Init() {
  LOG(INFO) << "Creating SketchupManager...";
  InitRegistry();
  DefineStreamClass();
  DefineUtilsClass();
  DefineGeometryMethods();
  LOG(INFO) << "SketchupManager Created";
  return true;
}

void InitRegistry() {
  Registry& r = State();
  r.root_def = std::make_shared<Definition>(kRootId);
  r.top_level_removals.clear();
  r.entities.Set(kRootId, r.root_def);
  SetActiveEntityId(kRootId);
}

void Cleanup() {
  Registry& r = State();
  r.edit_mode_instances.clear();
  r.materials.clear();
  r.definitions.clear();
  r.entities.Clear();
  r.root_def.reset();
  r.top_level_removals.clear();
  ReleaseStreamMemory();
  LOG(INFO) << "SketchupManager Destroyed";
}

void FlushGeometryLocal() {
  Registry& r = State();
  ReleaseStreamMemory();
  for (const std::shared_ptr<Instance>& instance : r.edit_mode_instances) {
    if (!instance) continue;
    instance->edit_mode = false;
    instance->edit_transform = Float4x4();
  }
  SetActiveEntityId(kNoId);
  if (r.root_def) r.root_def->ClearGeometry();
  r.entities.Clear();
  r.materials.clear();
  r.edit_mode_instances.clear();
  r.definitions.clear();
  r.edit_transform = Float4x4();
  ZarnikManager::FlushGeometryGroup();
}

// ---- Lookups -----------------------------------------------------------------------------------

bool IsEntityValid(std::int32_t id) { return State().entities.Find(id) != nullptr; }
bool IsMaterialValid(std::int32_t id) { return Lookup(State().materials, id) != nullptr; }

std::shared_ptr<Entity> GetEntity(std::int32_t id) {
  // Whoever is handed the root may read or replace its list.
  if (id == kRootId) SettleTopLevelRemovals();
  return State().entities.Get(id);
}

std::shared_ptr<Definition> GetDefinition(std::int32_t id) {
  std::shared_ptr<Entity> entity = GetEntity(id);
  return entity && entity->IsDefinition() ? std::static_pointer_cast<Definition>(entity) : nullptr;
}

std::shared_ptr<Instance> GetInstance(std::int32_t id) {
  std::shared_ptr<Entity> entity = GetEntity(id);
  return entity && entity->IsInstance() ? std::static_pointer_cast<Instance>(entity) : nullptr;
}

std::shared_ptr<SuMaterial> GetMaterial(std::int32_t id) { return Lookup(State().materials, id); }

void SetEntity(std::int32_t id, std::shared_ptr<Entity> entity) { State().entities.Set(id, std::move(entity)); }
void SetDefinition(std::int32_t id, std::shared_ptr<Definition> definition) {
  NoteStructureChange();
  State().definitions[id] = std::move(definition);
}
void SetMaterial(std::int32_t id, std::shared_ptr<SuMaterial> material) { State().materials[id] = std::move(material); }
void EraseEntity(std::int32_t id) { State().entities.Erase(id); }
void FlushEntities() { State().entities.Clear(); }
void FlushMaterials() { State().materials.clear(); }

std::shared_ptr<Definition> GetRoot() {
  SettleTopLevelRemovals();
  return State().root_def;
}

std::shared_ptr<Definition> EnsureRoot() {
  Registry& r = State();
  if (!r.root_def) {
    r.root_def = std::make_shared<Definition>(kRootId);
    r.top_level_removals.clear();
  }
  if (r.entities.Find(kRootId) != r.root_def.get()) r.entities.Set(kRootId, r.root_def);
  return r.root_def;
}

const EntityTable& Entities() { return State().entities; }
const DefinitionTable& Definitions() { return State().definitions; }

// ---- Model entities and deletion -----------------------------------------------------------

void DefineModelEntity(std::int32_t id) {
  SettleTopLevelRemovals();
  NoteStructureChange();
  if (State().root_def) State().root_def->entity_ids.push_back(id);
}

void FlushModelEntities() {
  NoteStructureChange();
  State().top_level_removals.clear();
  if (State().root_def) State().root_def->entity_ids.clear();
}

bool DeleteEntity(std::int32_t id) {
  std::shared_ptr<Entity> entity = GetEntity(id);
  if (!entity || (!entity->IsDefinition() && !entity->IsInstance())) return false;
  DiscardEntity(entity);
  EraseEntity(id);
  if (id != kRootId && State().root_def) ++State().top_level_removals[id];
  return true;
}

// ---- Edit mode -------------------------------------------------------------------------------

Float4x4 GetEditTransform() { return State().edit_transform; }
void SetEditTransform(const Float4x4& transform) {
  NoteStructureChange();
  State().edit_transform = transform;
}

void AddEditInstance(std::shared_ptr<Instance> instance) {
  NoteStructureChange();
  State().edit_mode_instances.push_back(std::move(instance));
}

const std::vector<std::shared_ptr<Instance>>& EditModeInstances() { return State().edit_mode_instances; }

void ClearEditList() {
  NoteStructureChange();
  std::vector<std::shared_ptr<Instance>>& list = State().edit_mode_instances;
  for (const std::shared_ptr<Instance>& instance : list) {
    if (instance) instance->edit_mode = false;
  }
  list.clear();
}

void DiscardEntity(const std::shared_ptr<Entity>& entity) {
  if (!entity || !entity->IsInstance()) return;
  LeaveEditList({static_cast<const Instance*>(entity.get())});
}

std::uint64_t StartEvaluationPass() {
  Registry& r = State();
  r.reached_in_last_pass = 0;
  return ++r.last_pass;
}

void FinishEvaluationPass(std::size_t reached_instances) { State().reached_in_last_pass = reached_instances; }

std::uint64_t CurrentEvaluationPass() { return State().last_pass; }

void NoteReachedInstances(std::size_t more) { State().reached_in_last_pass += more; }

std::size_t CollectGarbage() {
  Registry& r = State();
  if (r.reached_in_last_pass >= r.entities.instance_count()) return 0;
  std::unordered_set<std::int32_t> unreached;
  for (const auto& entry : r.entities.entries()) {
    const Entity* entity = entry.second.get();
    if (entity && entity->IsInstance() && static_cast<const Instance*>(entity)->evaluation_pass != r.last_pass) {
      unreached.insert(entry.first);
    }
  }
  // An instance that a registered definition lists stays, reached or not.
  for (const auto& entry : r.definitions) {
    if (!entry.second) continue;
    for (std::int32_t id : entry.second->entity_ids) unreached.erase(id);
  }
  if (unreached.empty()) return 0;

  std::vector<const Instance*> dropped;
  dropped.reserve(unreached.size());
  for (std::int32_t id : unreached) dropped.push_back(static_cast<const Instance*>(r.entities.Find(id)));
  LeaveEditList(dropped);
  for (std::int32_t id : unreached) r.entities.Erase(id);
  return dropped.size();
}

// ---- Host-material nodes -------------------------------------------------------------------

void DiscardZarnikMaterial(ApiNode* node) {
  MaterialTable& materials = State().materials;
  std::vector<std::int32_t> orphans;
  for (const auto& entry : materials) {
    if (entry.second) entry.second->DiscardZarnikNode(node);
    if (!entry.second || !entry.second->node()) orphans.push_back(entry.first);
  }
  for (std::int32_t id : orphans) materials.erase(id);
}

void ReplaceZarnikMaterial(ApiNode* old_node, ApiNode* new_node) {
  for (const auto& entry : State().materials) {
    if (entry.second) entry.second->ReplaceZarnikNode(old_node, new_node);
  }
}

}  // namespace SketchupManager
}  // namespace Zarnik
