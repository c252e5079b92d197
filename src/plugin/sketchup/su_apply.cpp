// The apply cycle: the evaluation pass over the entity tree and the wiring of the geometry
// group.

#include <glog/logging.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "sketchup/geometry_stream.h"
#include "sketchup/su_manager.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace SketchupManager {

namespace {

constexpr AttributeId kInputCountAttr = 113;

// One instance being placed, and where its walk through the definition's children stands.
// The walk keeps its own stack rather than recursing, so a deeply nested model cannot run
// out of machine stack.
struct Frame {
  Definition* definition;
  Float4x4 parent;            // world transform of the enclosing placement
  Float4x4 world;             // the current placement in world space
  std::int32_t material;      // effective instance material
  const Float4x4* placements;
  std::size_t placement_count;
  std::size_t next_placement;
  std::size_t next_child;     // kBetweenPlacements while no placement is being walked
};

constexpr std::size_t kBetweenPlacements = std::numeric_limits<std::size_t>::max();

Entity* FindEntity(const EntityTable& entities, std::int32_t id) { return entities.Find(id); }

Definition* FindDefinition(const EntityTable& entities, std::int32_t id) {
  Entity* entity = entities.Find(id);
  return entity && entity->IsDefinition() ? static_cast<Definition*>(entity) : nullptr;
}

// What the last apply left that an apply after small edits builds on.
struct KeptWalk {
  bool full_needed = true;       // the next apply walks every entry
  std::vector<std::uint32_t> edited_entries;  // top-level entries to walk again
  std::vector<std::size_t> entry_cuts;        // placements each entry's walk cut
  std::vector<std::size_t> entry_visits;      // instances each entry's walk entered
  std::size_t cut_total = 0;
  std::size_t visit_total = 0;
};

KeptWalk& Kept() {
  static KeptWalk* kept = new KeptWalk;
  return *kept;
}

// Read at every apply, so that a benchmark or a test can have both kinds in one process.
bool FullApplyForced() {
  const char* value = std::getenv("ZARNIKSU_FULL_APPLY");
  return value && *value && std::string(value) != "0";
}

// When the entries to walk again hold more than this share of the model's instances, a
// full walk costs about as much and is simpler.
constexpr std::size_t kMostWalkedAgain = 2;

// Thrown by a walk of some entries again that met what only a full pass may do.
struct NeedsFullPass {};

class EvaluationPass {
 public:
  explicit EvaluationPass(const EntityTable& entities) : entities_(entities) {}

  // Places every instance reachable from the root's list; answers the number of
  // placements cut because they would have entered a definition already on their path.
  // `entry_cuts` gets what each entry's walk cut, `entry_visits` how many instances it
  // entered.
  std::size_t Run(Definition& root, std::vector<std::size_t>& entry_cuts, std::vector<std::size_t>& entry_visits) {
    pass_ = StartEvaluationPass();
    entry_cuts.assign(root.entity_ids.size(), 0);
    entry_visits.assign(root.entity_ids.size(), 0);
    // The root is the outermost definition of every path: an instance that places the
    // model inside itself is a cycle like any other.
    root.on_evaluation_path = true;
    try {
      for (std::size_t k = 0; k < root.entity_ids.size(); ++k) {
        const std::size_t cut_before = cut_;
        const std::size_t visits_before = visits_;
        WalkEntry(root, static_cast<std::uint32_t>(k));
        entry_cuts[k] = cut_ - cut_before;
        entry_visits[k] = visits_ - visits_before;
      }
    } catch (...) {
      Unwind(root);
      throw;
    }
    root.on_evaluation_path = false;
    FinishEvaluationPass(reached_);
    return cut_;
  }

  // Walks one entry again under the last pass's number, its rows staged in the maps it
  // reaches (`touched` lists them); answers what its walk cut. visits() tells how many
  // instances it entered.
  std::size_t RunAgain(Definition& root, std::uint32_t entry, std::vector<MeshMaterialMap*>& touched) {
    pass_ = CurrentEvaluationPass();
    staging_ = true;
    touched_ = &touched;
    root.on_evaluation_path = true;
    try {
      WalkEntry(root, entry);
    } catch (...) {
      Unwind(root);
      throw;
    }
    root.on_evaluation_path = false;
    NoteReachedInstances(reached_);
    return cut_;
  }

  std::size_t visits() const { return visits_; }

 private:
  void WalkEntry(Definition& root, std::uint32_t entry) {
    entry_ = entry;
    Entity* entity = FindEntity(entities_, root.entity_ids[entry]);
    if (!entity || !entity->IsInstance()) return;
    Instance* instance = static_cast<Instance*>(entity);
    Enter(*instance, Float4x4(), instance->material_id);
    Walk();
  }

  // Leaves no definition marked for the next pass.
  void Unwind(Definition& root) {
    for (Frame& frame : stack_) frame.definition->on_evaluation_path = false;
    stack_.clear();
    root.on_evaluation_path = false;
  }

  void Enter(Instance& instance, const Float4x4& parent, std::int32_t inherited) {
    if (instance.evaluation_pass != pass_) {
      instance.evaluation_pass = pass_;
      instance.evaluation_count = 0;
      instance.walk_entry = entry_;
      ++reached_;
    } else if (instance.walk_entry != entry_) {
      instance.walk_entry = Instance::kManyEntries;
    }
    ++instance.evaluation_count;
    ++visits_;
    if (!instance.visible && instance.transforms.empty()) return;
    Definition* definition = FindDefinition(entities_, instance.definition_id);
    if (!definition) return;
    if (definition->on_evaluation_path) {
      ++cut_;
      return;
    }
    const std::int32_t material = instance.material_id != kNoId ? instance.material_id : inherited;
    // Folding an edit transform in changes the instance for good: only a full pass does it.
    if (staging_ && instance.edit_mode) throw NeedsFullPass();
    instance.UpdateTransform();
    Frame frame;
    frame.definition = definition;
    frame.parent = parent;
    frame.material = material;
    frame.placements = instance.Placements(frame.placement_count);
    frame.next_placement = 0;
    frame.next_child = kBetweenPlacements;
    stack_.push_back(frame);
    definition->on_evaluation_path = true;
  }

  void Place(Definition& definition, const Float4x4& world, std::int32_t material) {
    if (!staging_) {
      definition.AddInstance(world, material, entry_);
      return;
    }
    MeshMaterialMap* map = definition.PlacementMap(material);
    if (!map) return;
    if (!map->HasStaged()) touched_->push_back(map);
    map->StageMatrix(world);
  }

  void Walk() {
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      if (frame.next_child == kBetweenPlacements) {
        if (frame.next_placement == frame.placement_count) {
          frame.definition->on_evaluation_path = false;
          stack_.pop_back();
          continue;
        }
        // Row vectors: the instance's own transform applies first, then its parent's.
        frame.world = frame.placements[frame.next_placement++] * frame.parent;
        Place(*frame.definition, frame.world, frame.material);
        frame.next_child = 0;
      }
      // A proxy stands in for everything the definition contains.
      const std::vector<std::int32_t>& children = frame.definition->entity_ids;
      if (frame.definition->HasProxy() || frame.next_child >= children.size()) {
        frame.next_child = kBetweenPlacements;
        continue;
      }
      Entity* child = FindEntity(entities_, children[frame.next_child++]);
      if (!child || !child->IsInstance()) continue;
      // Enter may grow the stack, which moves `frame`: take what it needs first.
      const Float4x4 world = frame.world;
      const std::int32_t material = frame.material;
      Enter(*static_cast<Instance*>(child), world, material);
    }
  }

  const EntityTable& entities_;
  std::vector<Frame> stack_;
  std::uint64_t pass_ = 0;
  std::uint32_t entry_ = 0;
  bool staging_ = false;
  std::vector<MeshMaterialMap*>* touched_ = nullptr;
  std::size_t reached_ = 0;  // distinct instances
  std::size_t cut_ = 0;
  std::size_t visits_ = 0;
};

void DisconnectInput(ApiNode& group, std::uint32_t index) { group.connectToIx(index, nullptr, true, false); }

// Input 0 of the group shows the model's loose geometry, placed once where it is.
void WireRootGeometry(ApiNode& group) {
  std::shared_ptr<Definition> root = GetRoot();
  if (!root || !root->GetMesh()) {
    DisconnectInput(group, 0);
    return;
  }
  std::shared_ptr<MeshMaterialMap> map = root->GetMaterialMap(kNoId);
  if (!map) {
    root->AddInstance(Float4x4(), kNoId);
    map = root->GetMaterialMap(kNoId);
  }
  if (!map) {
    DisconnectInput(group, 0);
    return;
  }
  group.connectToIx(0, map->GetGeometry(), true, false);
}

bool HasMesh(const DefinitionTable::value_type& entry) { return entry.second && entry.second->GetMesh(); }

// Walks again the entries the edits reached and puts their new rows in place of their old
// ones. False when that cannot be done here, before anything changed or halfway: the full
// pass that follows starts every map afresh either way.
bool WalkEditedEntriesAgain(Definition& root, std::size_t& cycles_cut) {
  KeptWalk& kept = Kept();
  const std::size_t entries = root.entity_ids.size();
  if (kept.entry_cuts.size() != entries || kept.entry_visits.size() != entries || !EditModeInstances().empty()) {
    return false;
  }
  std::vector<std::uint32_t>& edited = kept.edited_entries;
  std::sort(edited.begin(), edited.end());
  edited.erase(std::unique(edited.begin(), edited.end()), edited.end());
  if (!edited.empty() && edited.back() >= entries) return false;
  std::size_t walked = 0;
  for (std::uint32_t entry : edited) walked += kept.entry_visits[entry];
  if (walked * kMostWalkedAgain > kept.visit_total) return false;

  std::vector<MeshMaterialMap*> maps;
  for (const auto& entry : Definitions()) {
    if (!entry.second) continue;
    for (const auto& map_entry : entry.second->material_maps()) {
      if (!map_entry.second) continue;
      if (!map_entry.second->RunsOrdered()) return false;
      maps.push_back(map_entry.second.get());
    }
  }
  std::vector<MeshMaterialMap*> touched;
  for (std::uint32_t entry : edited) {
    touched.clear();
    EvaluationPass pass(Entities());
    const std::size_t cut = pass.RunAgain(root, entry, touched);
    // A map made by this walk (a new instance material for a definition) is not listed yet.
    for (MeshMaterialMap* map : touched) {
      if (std::find(maps.begin(), maps.end(), map) == maps.end()) maps.push_back(map);
    }
    // Maps the entry reached before and no longer does lose its run.
    for (MeshMaterialMap* map : maps) {
      if (map->HasStaged() || map->HasRun(entry)) map->ReplaceRun(entry);
    }
    kept.cut_total = kept.cut_total - kept.entry_cuts[entry] + cut;
    kept.entry_cuts[entry] = cut;
    kept.visit_total = kept.visit_total - kept.entry_visits[entry] + pass.visits();
    kept.entry_visits[entry] = pass.visits();
  }
  // As the full pass does on each map's first placement: a host material may have another
  // node by now.
  for (MeshMaterialMap* map : maps) {
    if (map->count() == 0) continue;
    std::shared_ptr<SuMaterial> host = GetMaterial(map->material_id());
    map->SetMaterial(host ? host->node() : nullptr);
  }
  cycles_cut = kept.cut_total;
  return true;
}

}  // namespace

void NoteStructureChange() {
  KeptWalk& kept = Kept();
  kept.full_needed = true;
  kept.edited_entries.clear();
}

void NoteInstanceChange(const Instance& instance) {
  KeptWalk& kept = Kept();
  if (kept.full_needed) return;
  // An instance no walk reached places nothing; it is walked with its parent once that
  // changes.
  if (instance.evaluation_pass != CurrentEvaluationPass()) return;
  if (instance.edit_mode || instance.walk_entry == Instance::kManyEntries) {
    NoteStructureChange();
    return;
  }
  // More edits than entries between two applies: every entry may well be walked again, and
  // the list must not grow with a script that moves everything.
  if (kept.edited_entries.size() >= kept.entry_visits.size()) {
    NoteStructureChange();
    return;
  }
  kept.edited_entries.push_back(instance.walk_entry);
}

ApplyReport ApplyGeometryLocal() {
  ApplyReport report;
  // The group, meshes, placements and overrides the user destroyed in the engine are made
  // again below, or (a mesh, whose stream is gone) dropped.
  ZarnikManager::InitGeometryGroup();
  ApiNode* group = ZarnikManager::GeometryGroup();

  const DefinitionTable& definitions = Definitions();
  if (std::shared_ptr<Definition> root = GetRoot()) root->NoticeVanishedNodes();
  for (const auto& entry : definitions) {
    if (entry.second) entry.second->NoticeVanishedNodes();
  }
  std::shared_ptr<Definition> root = GetRoot();
  KeptWalk& kept = Kept();
  bool walked_again = false;
  if (root && !kept.full_needed && !FullApplyForced()) {
    try {
      walked_again = WalkEditedEntriesAgain(*root, report.cycles_cut);
    } catch (...) {
      walked_again = false;
    }
  }
  if (!walked_again) {
    for (const auto& entry : definitions) {
      if (entry.second) entry.second->ClearMatrices();
    }
    kept.full_needed = true;
    kept.entry_cuts.clear();
    kept.entry_visits.clear();
    kept.cut_total = 0;
    kept.visit_total = 0;
    if (root) {
      report.cycles_cut = EvaluationPass(Entities()).Run(*root, kept.entry_cuts, kept.entry_visits);
      kept.cut_total = report.cycles_cut;
      for (std::size_t visits : kept.entry_visits) kept.visit_total += visits;
    }
  }
  // From here on the rows stand as an apply made them: edits after this point are walked
  // again on their own (garbage collection below may still ask for a full walk).
  kept.full_needed = !root;
  kept.edited_entries.clear();

  if (group) {
    std::size_t map_count = 0;
    for (const auto& entry : definitions) {
      if (HasMesh(entry)) map_count += entry.second->material_maps().size();
    }
    group->set(kInputCountAttr, static_cast<std::int32_t>(map_count + 1), true);
    WireRootGeometry(*group);

    std::uint32_t input = 1;
    for (const auto& entry : definitions) {
      if (!HasMesh(entry)) continue;
      for (const auto& map_entry : entry.second->material_maps()) {
        if (!map_entry.second) continue;
        ApiNode* geometry = map_entry.second->GetGeometry(true);
        if (!geometry) continue;
        group->connectToIx(input, geometry, true, false);
        ++input;
      }
    }
    for (std::uint32_t unused = input; unused <= map_count; ++unused) DisconnectInput(*group, unused);
    report.group_inputs = map_count + 1;
    ZarnikManager::UpdateAndRestart();
  }

  report.entities_dropped = CollectGarbage();
  // The export pass is over: of the stream's memory, kept from definition to definition,
  // what goes beyond a moderate stream goes back to the system. Not while a stream is being
  // built, which must survive an apply made between its calls.
  if (StreamBuilder().IsEmpty()) TrimStreamMemory();
  if (report.cycles_cut > 0) {
    LOG(ERROR) << "The entity tree contains a definition placed inside itself; " << report.cycles_cut
               << " placement(s) skipped";
  }
  return report;
}

void ApplyRootGeometryLocal() {
  ZarnikManager::InitGeometryGroup();
  ApiNode* group = ZarnikManager::GeometryGroup();
  if (!group) return;
  if (std::shared_ptr<Definition> root = GetRoot()) root->NoticeVanishedNodes();
  // Until the first full apply sizes the group, input 0 has to be made here.
  if (group->getInt(kInputCountAttr) < 1) group->set(kInputCountAttr, std::int32_t{1}, true);
  WireRootGeometry(*group);
}

}  // namespace SketchupManager
}  // namespace Zarnik
