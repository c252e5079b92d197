// The apply cycle: the evaluation pass over the entity tree and the wiring of the geometry
// group.

#include <glog/logging.h>

#include <limits>
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

class EvaluationPass {
 public:
  explicit EvaluationPass(const EntityTable& entities) : entities_(entities) {}

  // Places every instance reachable from the root's list; answers the number of
  // placements cut because they would have entered a definition already on their path.
  std::size_t Run(Definition& root) {
    pass_ = StartEvaluationPass();
    // The root is the outermost definition of every path: an instance that places the
    // model inside itself is a cycle like any other.
    root.on_evaluation_path = true;
    try {
      for (std::int32_t id : root.entity_ids) {
        Entity* entity = FindEntity(entities_, id);
        if (!entity || !entity->IsInstance()) continue;
        Instance* instance = static_cast<Instance*>(entity);
        Enter(*instance, Float4x4(), instance->material_id);
        Walk();
      }
    } catch (...) {
      // Leave no definition marked for the next pass.
      for (Frame& frame : stack_) frame.definition->on_evaluation_path = false;
      root.on_evaluation_path = false;
      throw;
    }
    root.on_evaluation_path = false;
    FinishEvaluationPass(reached_);
    return cut_;
  }

 private:
  void Enter(Instance& instance, const Float4x4& parent, std::int32_t inherited) {
    if (instance.evaluation_pass != pass_) {
      instance.evaluation_pass = pass_;
      instance.evaluation_count = 0;
      ++reached_;
    }
    ++instance.evaluation_count;
    if (!instance.visible && instance.transforms.empty()) return;
    Definition* definition = FindDefinition(entities_, instance.definition_id);
    if (!definition) return;
    if (definition->on_evaluation_path) {
      ++cut_;
      return;
    }
    const std::int32_t material = instance.material_id != kNoId ? instance.material_id : inherited;
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
        frame.definition->AddInstance(frame.world, frame.material);
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
  std::size_t reached_ = 0;  // distinct instances
  std::size_t cut_ = 0;
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

}  // namespace

ApplyReport ApplyGeometryLocal() {
  ApplyReport report;
  // The group, meshes, placements and overrides the user destroyed in the engine are made
  // again below, or (a mesh, whose stream is gone) dropped.
  ZarnikManager::InitGeometryGroup();
  ApiNode* group = ZarnikManager::GeometryGroup();

  const DefinitionTable& definitions = Definitions();
  if (std::shared_ptr<Definition> root = GetRoot()) root->NoticeVanishedNodes();
  for (const auto& entry : definitions) {
    if (!entry.second) continue;
    entry.second->NoticeVanishedNodes();
    entry.second->ClearMatrices();
  }
  std::shared_ptr<Definition> root = GetRoot();
  if (root) report.cycles_cut = EvaluationPass(Entities()).Run(*root);

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
        ApiNode* geometry = map_entry.second->GetGeometry();
        if (!geometry) continue;
        group->connectToIx(input, geometry, true, false);
        ++input;
      }
    }
    for (std::uint32_t unused = input; unused <= map_count; ++unused) DisconnectInput(*group, unused);
    report.group_inputs = map_count + 1;
    ZarnikManager::UpdateAndRestart();
  }
  // The placements live on in the placement nodes; the maps start empty next time.
  for (const auto& entry : definitions) {
    if (entry.second) entry.second->ClearMatrices();
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
