#include "sketchup/mesh_material_map.h"

#include <algorithm>
#include <cstring>

#include "sketchup/definition.h"
#include "sketchup/su_material.h"
#include "zarnik/node_utils.h"

namespace Zarnik {

namespace {

constexpr NodeType kMaterialOverrideType = 2;
constexpr NodeType kPlacementType = 5;
constexpr PinId kGeometryPin = 59;
constexpr AttributeId kTransformsAttr = 170;
constexpr AttributeId kInstanceIdsAttr = 279;
constexpr AttributeId kObjectIdAttr = 280;

ApiNode* CreateInRoot(NodeType type) { return ApiNode::create(type, ApiProjectManager::rootNodeGraph(), true); }

}  // namespace

MeshMaterialMap::MeshMaterialMap(Definition& definition, std::int32_t material_id) : material_id_(material_id) {
  std::shared_ptr<Entity> owner = definition.weak_from_this().lock();
  if (owner) definition_ = std::static_pointer_cast<Definition>(owner);
}

MeshMaterialMap::~MeshMaterialMap() {
  placement_.Destroy();
  override_.Destroy();
}

Matrix<float> MeshMaterialMap::ToEngineMatrix(const Float4x4& m) {
  // The transpose (column vectors) seen through the axis change (x, y, z) -> (x, z, -y),
  // translation in the last column.
  Matrix<float> r;
  r.m[0][0] = m[0];
  r.m[0][1] = m[8];
  r.m[0][2] = -m[4];
  r.m[0][3] = m[12];
  r.m[1][0] = m[2];
  r.m[1][1] = m[10];
  r.m[1][2] = -m[6];
  r.m[1][3] = m[14];
  r.m[2][0] = -m[1];
  r.m[2][1] = -m[9];
  r.m[2][2] = m[5];
  r.m[2][3] = -m[13];
  return r;
}

void MeshMaterialMap::AddMatrix(const Float4x4& m, std::uint32_t entry) {
  const std::uint32_t row = static_cast<std::uint32_t>(matrices_.size());
  matrices_.push_back(ToEngineMatrix(m));
  ++count_;
  rows_changed_ = true;
  if (!runs_.empty() && runs_.back().entry == entry) {
    ++runs_.back().count;
    return;
  }
  // Entries come in list order; one out of order leaves the runs unsearchable, and the
  // next apply that would look one up walks every entry instead.
  if (!runs_.empty() && runs_.back().entry > entry) runs_ordered_ = false;
  runs_.push_back(Run{entry, row, 1});
}

void MeshMaterialMap::ClearMatrices() {
  matrices_.clear();
  runs_.clear();
  staged_.clear();
  runs_ordered_ = true;
  count_ = 0;
  rows_changed_ = true;
}

std::vector<MeshMaterialMap::Run>::iterator MeshMaterialMap::FindRun(std::uint32_t entry) {
  return std::lower_bound(runs_.begin(), runs_.end(), entry,
                          [](const Run& run, std::uint32_t wanted) { return run.entry < wanted; });
}

bool MeshMaterialMap::HasRun(std::uint32_t entry) const {
  const auto found = std::lower_bound(runs_.begin(), runs_.end(), entry,
                                      [](const Run& run, std::uint32_t wanted) { return run.entry < wanted; });
  return found != runs_.end() && found->entry == entry;
}

bool MeshMaterialMap::ReplaceRun(std::uint32_t entry) {
  const auto run = FindRun(entry);
  const bool had = run != runs_.end() && run->entry == entry;
  const std::size_t start = run != runs_.end() ? run->start : matrices_.size();
  const std::size_t before = had ? run->count : 0;
  const std::size_t after = staged_.size();
  const auto first = matrices_.begin() + static_cast<std::ptrdiff_t>(start);
  if (before == after) {
    // A move that ends where it began, or rows of an entry the edit did not reach.
    const bool same = after == 0 || std::memcmp(&*first, staged_.data(), after * sizeof(Matrix<float>)) == 0;
    if (!same) std::copy(staged_.begin(), staged_.end(), first);
    staged_.clear();
    if (!same) rows_changed_ = true;
    return !same;
  }
  matrices_.erase(first, first + static_cast<std::ptrdiff_t>(before));
  matrices_.insert(matrices_.begin() + static_cast<std::ptrdiff_t>(start), staged_.begin(), staged_.end());
  const std::int64_t shift = static_cast<std::int64_t>(after) - static_cast<std::int64_t>(before);
  auto later = run;
  if (had && after == 0) {
    later = runs_.erase(run);
  } else if (had) {
    run->count = static_cast<std::uint32_t>(after);
    later = run + 1;
  } else {
    later = runs_.insert(run, Run{entry, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(after)}) + 1;
  }
  for (; later != runs_.end(); ++later) later->start = static_cast<std::uint32_t>(later->start + shift);
  count_ = static_cast<int>(matrices_.size());
  staged_.clear();
  rows_changed_ = true;
  return true;
}

void MeshMaterialMap::Evaluate() {
  // A node the user destroyed is made again; the wiring below redoes its connections.
  if (!placement_) placement_.Reset(CreateInRoot(kPlacementType));
  if (!override_) override_.Reset(CreateInRoot(kMaterialOverrideType));
}

void MeshMaterialMap::MapMaterial() {
  std::shared_ptr<Definition> definition = definition_.lock();
  ApiNode* override_node = override_.get();
  if (!definition || !override_node) return;
  // One evaluation gives the override the mesh's slot pins; a slot connection changes nothing an
  // evaluation would redo, so evaluating after each of them only made every repaint cost the
  // square of the slot count.
  ApiNode* mesh = definition->GetMesh();
  if (override_node->connectedNode(kGeometryPin) != mesh) override_node->connectTo(kGeometryPin, mesh, false, false);
  override_node->evaluate();
  for (const auto& slot : definition->material_slots()) {
    const std::shared_ptr<SuMaterial>& host = slot.first;
    ApiNode* node = host && host->node() ? host->node() : material_;
    const std::uint32_t index = static_cast<std::uint32_t>(slot.second) + 1;
    if (override_node->connectedNodeIx(index) == node) continue;
    override_node->connectToIx(index, node, false, false);
  }
}

ApiNode* MeshMaterialMap::GetGeometry(bool keep_written_rows) {
  Evaluate();
  ApiNode* placement = placement_.get();
  if (!placement) return nullptr;
  // A proxy is placed as it is, with the materials its file gave it; only a definition's own
  // mesh goes through the material override.
  std::shared_ptr<Definition> definition = definition_.lock();
  ApiNode* source = nullptr;
  if (definition && definition->HasProxy()) {
    source = definition->proxy()->LiveNode();
  } else {
    MapMaterial();
    source = override_.get();
  }
  placement->connectTo(kGeometryPin, source, true, false);
  const std::uint64_t placement_id = placement->uniqueId();
  const std::int32_t base = source ? source->getInt(kObjectIdAttr) : 0;
  const bool rows_current = keep_written_rows && !rows_changed_ && written_placement_ == placement_id;
  if (!rows_current) {
    placement->set(kTransformsAttr, matrices_.data(), matrices_.size(), true);
    ids_written_ = false;
  }
  if (source && !(rows_current && ids_written_ && base == written_base_)) {
    std::vector<std::int32_t> ids(matrices_.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      ids[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(i) + 1u);
    }
    placement->set(kInstanceIdsAttr, ids.data(), ids.size(), true);
    ids_written_ = true;
    written_base_ = base;
  }
  written_placement_ = placement_id;
  rows_changed_ = false;
  return placement;
}

}  // namespace Zarnik
