#pragma once

// A component definition (or, under -2, the model itself): one engine mesh built from the
// geometry stream, the host material of every face so that material changes need no new
// stream, and one material map per instance material under which it is placed.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "sketchup/entity.h"
#include "sketchup/geometry_stream.h"
#include "sketchup/held_node.h"
#include "sketchup/mesh_material_map.h"
#include "sketchup/proxy_manager.h"
#include "sketchup/su_material.h"
#include "utils/matrix.h"
#include "zarnik.h"

namespace Zarnik {

class Definition : public Entity {
 public:
  using SlotTable = std::map<std::shared_ptr<SuMaterial>, std::int32_t>;  // by pointer value
  using MapTable = std::map<std::int32_t, std::shared_ptr<MeshMaterialMap>>;

  explicit Definition(std::int32_t id) : Entity(id, kDefinition) {}
  ~Definition() override;

  // The node that shows the definition: the proxy's node when it has a usable proxy, else
  // its mesh (null until a stream built one, and once the user destroyed it).
  ApiNode* GetMesh() const { return HasUsableProxy() ? proxy_->LiveNode() : mesh_.get(); }
  // Notices nodes the user destroyed in the engine. A vanished proxy node is loaded again
  // from its file. A vanished mesh cannot be rebuilt, since the stream it came from is gone:
  // the definition then has no geometry (faces, slots and material maps go with it) until
  // it is streamed again. Answers true when the mesh had vanished.
  bool NoticeVanishedNodes();
  // Creates the mesh node when there is none. False when it cannot be made, and while a
  // proxy stands in for the mesh (streams are then ignored).
  bool Evaluate();
  // Destroys the mesh and forgets faces, slots and material maps (their nodes go too).
  void ClearGeometry();
  // Every material map forgets its placements.
  void ClearMatrices();
  // Places the definition under a world transform with an instance material, for the
  // walk of top-level entry `entry`. Nothing happens before the definition has a mesh.
  void AddInstance(const Float4x4& world, std::int32_t material,
                   std::uint32_t entry = MeshMaterialMap::kNoEntry);
  // The map that takes placements with the instance material, made when there is none;
  // null before the definition has a mesh.
  MeshMaterialMap* PlacementMap(std::int32_t material);

  void SetMaterial(std::shared_ptr<SuMaterial> material, std::int32_t face_id);
  std::shared_ptr<SuMaterial> GetMaterial(std::int32_t face_id) const;
  bool HasFace(std::int32_t face_id) const { return face_materials_.count(face_id) != 0; }
  void MarkMaterialsDirty() { materials_dirty_ = true; }

  // Proxies: geometry from a file shown instead of the mesh. While one is set, streams,
  // geometry settings and material changes are refused.
  bool HasProxy() const { return proxy_ != nullptr; }
  bool HasUsableProxy() const { return proxy_ && proxy_->LiveNode(); }
  const std::shared_ptr<Proxy>& proxy() const { return proxy_; }
  // Takes the file's proxy; when it is usable the mesh and everything built on it go.
  // False, with nothing changed, when the file yields no usable proxy.
  bool SetProxy(const std::string& path);
  // Takes the proxy of the same path again (the cached one while the file is cached).
  void UpdateProxy();
  void ClearProxy();

  // Smoothing, subdivision and interpolation settings from JSON, written into the mesh;
  // then the render manager restarts. Ignored without a mesh or for anything but an object.
  void SetGeometrySettings(const Json::Value& settings);
  // Writes the stream into the mesh: positions, indices, normals (when smoothing is on),
  // texture coordinates, per-triangle material slots and slot names; then evaluates it.
  // The stream's normals are left at unit length.
  void EvaluateFromStream(GeometryStream& stream);

  // After face materials changed: rewrites the per-triangle slots and the slot names.
  void TryToRebuildFaceMaterials();
  // Rebuilds the slots and rewires every material map.
  void UpdateMaterials();
  void RebuildMeshMaterialMaps();

  const SlotTable& material_slots() const { return material_slots_; }
  const MapTable& material_maps() const { return material_maps_; }
  std::shared_ptr<MeshMaterialMap> GetMaterialMap(std::int32_t material) const;
  const std::vector<Face>& faces() const { return faces_; }
  std::uint64_t num_triangles() const { return num_triangles_; }

  // Set by the Ruby side and read by the evaluation pass.
  bool edit_mode = false;                  // streamed positions are moved by the edit transform
  int num_entities = 0;                    // kept for the Ruby side only
  std::vector<std::int32_t> entity_ids;    // entities placed inside this definition
  std::vector<std::int32_t> other_ids;     // stored for the Ruby side; compared by length

  // Marks the definition as being on the evaluation pass's current path, so that an
  // instance inside it that places it again can be recognised.
  bool on_evaluation_path = false;

 private:
  void SetVertices(ApiNode& mesh, const GeometryStream& stream);
  void SetNormals(ApiNode& mesh, GeometryStream& stream);
  // `slots` is scratch room for the per-triangle slots.
  void SetMaterials(ApiNode& mesh, const GeometryStream& stream, std::vector<std::int32_t>& slots);
  void SetMaterialsNames(ApiNode& mesh);
  // The slot of a material, given a new one (the next free number) when it has none yet.
  std::int32_t SlotFor(const std::shared_ptr<SuMaterial>& material, std::int32_t& next);

  // The mesh, after noticing whether the user destroyed it; null when there is none.
  ApiNode* LiveMesh();

  HeldNode mesh_;  // created here, destroyed with the definition
  std::shared_ptr<Proxy> proxy_;
  std::map<std::int32_t, std::shared_ptr<SuMaterial>> face_materials_;
  SlotTable material_slots_;
  std::vector<std::int32_t> face_ids_;
  std::vector<Face> faces_;
  std::uint64_t num_triangles_ = 0;
  bool materials_dirty_ = false;
  MapTable material_maps_;
};

}  // namespace Zarnik
