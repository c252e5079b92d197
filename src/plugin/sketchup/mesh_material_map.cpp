#include "sketchup/mesh_material_map.h"

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

MeshMaterialMap::MeshMaterialMap(Definition& definition) {
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

void MeshMaterialMap::AddMatrix(const Float4x4& m) {
  matrices_.push_back(ToEngineMatrix(m));
  ++count_;
}

void MeshMaterialMap::ClearMatrices() {
  matrices_.clear();
  count_ = 0;
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

ApiNode* MeshMaterialMap::GetGeometry() {
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
  placement->set(kTransformsAttr, matrices_.data(), matrices_.size(), true);
  if (source) {
    const std::int32_t base = source->getInt(kObjectIdAttr);
    std::vector<std::int32_t> ids(matrices_.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      ids[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(i) + 1u);
    }
    placement->set(kInstanceIdsAttr, ids.data(), ids.size(), true);
  }
  return placement;
}

}  // namespace Zarnik
