#include "sketchup/definition.h"

#include <glog/logging.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "sketchup/su_manager.h"
#include "zarnik/node_utils.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {

namespace {

constexpr NodeType kMeshType = 1;

// Mesh attributes.
constexpr AttributeId kSmoothing = 40;
constexpr AttributeId kSmoothingAngle = 41;
constexpr AttributeId kMaterialNames = 63;
constexpr AttributeId kNormals = 80;
constexpr AttributeId kPolyMaterialIndices = 114;
constexpr AttributeId kNormalIndices = 115;
constexpr AttributeId kUvwIndices = 119;
constexpr AttributeId kVertexIndices = 120;
constexpr AttributeId kSubdInterpolation = 153;
constexpr AttributeId kSubdLevel = 161;
constexpr AttributeId kSubdScheme = 162;
constexpr AttributeId kSubdSharpness = 163;
constexpr AttributeId kUvws = 184;
constexpr AttributeId kVerticesPerPoly = 189;
constexpr AttributeId kVertices = 190;

// Settings of the wrong JSON type count as missing.
bool ReadBool(const Json::Value& settings, const char* key, bool fallback) {
  const Json::Value& value = settings[key];
  if (value.isBool()) return value.asBool();
  if (value.isNumeric()) return value.asDouble() != 0.0;
  return fallback;
}

float ReadFloat(const Json::Value& settings, const char* key, float fallback) {
  const Json::Value& value = settings[key];
  return value.isNumeric() ? static_cast<float>(value.asDouble()) : fallback;
}

std::int32_t ReadInt(const Json::Value& settings, const char* key, std::int32_t fallback) {
  const Json::Value& value = settings[key];
  if (value.isNumeric() && value.isConvertibleTo(Json::intValue)) return value.asInt();
  return fallback;
}

// Writes `slot` for the face's triangles. The range is clipped to the triangles there
// are: a face that claims triangles beyond the stream colours only the ones that exist.
void FillFaceSlots(std::vector<std::int32_t>& slots, const Face& face, std::int32_t slot) {
  const std::int64_t size = static_cast<std::int64_t>(slots.size());
  const std::int64_t first = std::max<std::int64_t>(face.first_triangle, 0);
  const std::int64_t end = std::min<std::int64_t>(face.end_triangle, size);
  for (std::int64_t t = first; t < end; ++t) slots[static_cast<std::size_t>(t)] = slot;
}

}  // namespace

Definition::~Definition() { mesh_.Destroy(); }

ApiNode* Definition::LiveMesh() {
  NoticeVanishedNodes();
  return mesh_.get();
}

bool Definition::NoticeVanishedNodes() {
  if (proxy_ && proxy_->Vanished()) {
    // Every holder of the record sees the node gone; the cache reads the file again.
    const std::string path = proxy_->path;
    SketchupManager::NoteStructureChange();
    proxy_->LiveNode();
    std::shared_ptr<Proxy> reloaded = ProxyManager::CreateProxy(path);
    if (reloaded && reloaded->LiveNode()) {
      proxy_ = std::move(reloaded);
    } else {
      LOG(ERROR) << "Definition " << id << ": the proxy node was destroyed and " << path << " gives no geometry";
      proxy_->GiveUp();
    }
  }
  if (!mesh_.Vanished()) return false;
  SketchupManager::NoteStructureChange();
  LOG(ERROR) << "Definition " << id << ": the mesh was destroyed in the engine; it shows again once streamed";
  mesh_.ForgetVanished();
  ClearGeometry();
  return true;
}

bool Definition::Evaluate() {
  if (!IsDefinition() || proxy_) return false;
  if (!LiveMesh()) {
    SketchupManager::NoteStructureChange();
    mesh_.Reset(ApiNode::create(kMeshType, ApiProjectManager::rootNodeGraph(), true));
  }
  return mesh_.held();
}

void Definition::ClearGeometry() {
  // The maps and their rows go: the next apply has to place everything again.
  SketchupManager::NoteStructureChange();
  mesh_.Destroy();
  face_materials_.clear();
  face_ids_.clear();
  faces_.clear();
  material_slots_.clear();
  material_maps_.clear();
}

bool Definition::SetProxy(const std::string& path) {
  std::shared_ptr<Proxy> loaded = ProxyManager::CreateProxy(path);
  // A file that gives nothing must not take away what the definition shows now.
  if (!loaded || !loaded->LiveNode()) return false;
  proxy_ = std::move(loaded);
  ClearGeometry();
  return true;
}

void Definition::ClearProxy() {
  if (proxy_) SketchupManager::NoteStructureChange();
  proxy_.reset();
}

void Definition::UpdateProxy() {
  if (HasUsableProxy() && !proxy_->path.empty()) SetProxy(std::string(proxy_->path));
}

void Definition::ClearMatrices() {
  for (auto& entry : material_maps_) {
    if (entry.second) entry.second->ClearMatrices();
  }
}

std::shared_ptr<MeshMaterialMap> Definition::GetMaterialMap(std::int32_t material) const {
  const auto found = material_maps_.find(material);
  return found == material_maps_.end() ? nullptr : found->second;
}

MeshMaterialMap* Definition::PlacementMap(std::int32_t material) {
  // Runs for every placement, so it trusts the look the apply cycle took at the mesh
  // before its pass instead of asking the engine again.
  if (!mesh_.held() && !proxy_) return nullptr;
  std::shared_ptr<MeshMaterialMap>& map = material_maps_[material];
  if (!map) map = std::make_shared<MeshMaterialMap>(*this, material);
  return map.get();
}

void Definition::AddInstance(const Float4x4& world, std::int32_t material, std::uint32_t entry) {
  MeshMaterialMap* map = PlacementMap(material);
  if (!map) return;
  // Host materials do not change during a pass, so the first placement of the pass looks
  // the node up for all of them.
  if (map->count() == 0) {
    std::shared_ptr<SuMaterial> host = SketchupManager::GetMaterial(material);
    map->SetMaterial(host ? host->node() : nullptr);
  }
  map->AddMatrix(world, entry);
}

void Definition::SetMaterial(std::shared_ptr<SuMaterial> material, std::int32_t face_id) {
  std::shared_ptr<SuMaterial>& stored = face_materials_[face_id];
  if (stored != material) materials_dirty_ = true;
  stored = std::move(material);
}

std::shared_ptr<SuMaterial> Definition::GetMaterial(std::int32_t face_id) const {
  const auto found = face_materials_.find(face_id);
  return found == face_materials_.end() ? nullptr : found->second;
}

void Definition::SetGeometrySettings(const Json::Value& settings) {
  ApiNode* mesh = LiveMesh();
  if (!mesh || proxy_ || !settings.isObject()) return;
  mesh->set(kSmoothing, ReadBool(settings, "smoothing", true), false);
  mesh->set(kSmoothingAngle, ReadFloat(settings, "angle", 89.0f), false);
  mesh->set(kSubdLevel, ReadInt(settings, "level", 0), false);
  mesh->set(kSubdSharpness, ReadFloat(settings, "sharpness", 0.0f), false);
  mesh->set(kSubdInterpolation, ReadInt(settings, "interpolation", 2), false);
  mesh->set(kSubdScheme, ReadInt(settings, "scheme", 0), false);
  ZarnikManager::UpdateAndRestart();
}

void Definition::EvaluateFromStream(GeometryStream& stream) {
  ApiNode* mesh = LiveMesh();
  if (!mesh) return;
  mesh->setName(stream.name.c_str());
  // One buffer of a value per triangle serves the polygon sizes and, later, the slots:
  // fresh memory is costly when meshes are large.
  std::vector<std::int32_t> per_triangle(stream.vertex_indices.size() / 3, 3);
  mesh->set(kVerticesPerPoly, per_triangle.data(), per_triangle.size(), false);
  SetVertices(*mesh, stream);
  mesh->set(kVertexIndices, stream.vertex_indices.data(), stream.vertex_indices.size(), false);
  if (mesh->getBool(kSmoothing)) {
    SetNormals(*mesh, stream);
    mesh->set(kNormalIndices, stream.normal_indices.data(), stream.normal_indices.size(), false);
  }
  mesh->set(kUvws, stream.uvws.data(), stream.uvws.size(), false);
  mesh->set(kUvwIndices, stream.uvw_indices.data(), stream.uvw_indices.size(), false);
  SetMaterials(*mesh, stream, per_triangle);
  SetMaterialsNames(*mesh);
  mesh->evaluate();
}

void Definition::SetVertices(ApiNode& mesh, const GeometryStream& stream) {
  if (!edit_mode) {
    mesh.set(kVertices, stream.points.data(), stream.points.size(), false);
    return;
  }
  Float4x4 t = SketchupManager::GetEditTransform();
  t.SwapYZ();
  std::vector<Vec3<float>> moved;
  moved.reserve(stream.points.size());
  for (const Vec3<float>& p : stream.points) {
    moved.push_back(Vec3<float>{p.x * t[0] + p.y * t[4] + p.z * t[8] + t[12],
                                p.x * t[1] + p.y * t[5] + p.z * t[9] + t[13],
                                p.x * t[2] + p.y * t[6] + p.z * t[10] + t[14]});
  }
  mesh.set(kVertices, moved.data(), moved.size(), false);
}

void Definition::SetNormals(ApiNode& mesh, GeometryStream& stream) {
  // In place: the stream is emptied once the mesh has it.
  for (Vec3<float>& n : stream.normals) {
    const float length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    // A zero normal has no direction to keep; dividing would only make NaNs of it.
    if (length > 0.0f) n = Vec3<float>{n.x / length, n.y / length, n.z / length};
  }
  mesh.set(kNormals, stream.normals.data(), stream.normals.size(), false);
}

std::int32_t Definition::SlotFor(const std::shared_ptr<SuMaterial>& material, std::int32_t& next) {
  const auto found = material_slots_.find(material);
  if (found != material_slots_.end()) return found->second;
  const std::int32_t slot = next++;
  material_slots_.emplace(material, slot);
  return slot;
}

void Definition::SetMaterials(ApiNode& mesh, const GeometryStream& stream, std::vector<std::int32_t>& slots) {
  num_triangles_ = stream.vertex_indices.size() / 3;
  slots.assign(static_cast<std::size_t>(num_triangles_), 0);
  std::int32_t next = 0;
  for (const Face& face : stream.faces) {
    std::shared_ptr<SuMaterial> material = SketchupManager::GetMaterial(face.material_id);
    face_materials_[face.face_id] = material;
    face_ids_.push_back(face.face_id);
    faces_.push_back(face);
    FillFaceSlots(slots, face, SlotFor(material, next));
  }
  mesh.set(kPolyMaterialIndices, slots.data(), slots.size(), false);
}

void Definition::SetMaterialsNames(ApiNode& mesh) {
  std::vector<std::string> names;
  names.reserve(material_slots_.size());
  for (std::size_t i = 1; i <= material_slots_.size(); ++i) names.push_back("mat_" + std::to_string(i));
  std::vector<const char*> texts;
  texts.reserve(names.size());
  for (const std::string& name : names) texts.push_back(name.c_str());
  mesh.set(kMaterialNames, texts.data(), texts.size(), false);
}

void Definition::TryToRebuildFaceMaterials() {
  if (!materials_dirty_) return;
  ApiNode* mesh = LiveMesh();
  if (!mesh) return;
  std::int32_t next = 0;
  for (const auto& slot : material_slots_) next = std::max(next, slot.second + 1);
  std::vector<std::int32_t> slots(static_cast<std::size_t>(num_triangles_), 0);
  for (const Face& face : faces_) {
    FillFaceSlots(slots, face, SlotFor(GetMaterial(face.face_id), next));
  }
  mesh->set(kPolyMaterialIndices, slots.data(), slots.size(), false);
  SetMaterialsNames(*mesh);
  mesh->evaluate();
  materials_dirty_ = false;
}

void Definition::UpdateMaterials() {
  if (proxy_ || !LiveMesh()) return;
  TryToRebuildFaceMaterials();
  RebuildMeshMaterialMaps();
}

void Definition::RebuildMeshMaterialMaps() {
  for (auto& entry : material_maps_) {
    if (entry.second) entry.second->MapMaterial();
  }
}

}  // namespace Zarnik
