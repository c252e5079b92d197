#pragma once

// The registry of render-engine materials: for every material id its node JSON form (the
// durable form), the node realized from it, and an optional UI record; plus the two-way
// link between host materials and scene materials. Everything here runs on the host's
// Ruby thread; only a UI record's preview build takes a lock of its own.
//
// Id spaces: library materials from 10000, material-set categories from 10001 (a separate
// counter), scene materials from 20000. Only scene materials are ever linked.

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include <json/json.h>

#include "zarnik.h"

namespace Zarnik {

class ZcsMaterialLoader;
class SceneEditor;

// A material as a user interface presents it. Created by whoever shows materials and
// handed to MaterialManager::SetUiMaterial.
class UiMat {
 public:
  UiMat(std::string display_name, int material_id) : name(std::move(display_name)), id(material_id) {}

  // Writes a fresh preview PNG into the previews folder and remembers its path. Without
  // `force` an existing preview file stands and nothing is written (false). False also
  // when the picture could not be written; the old path is kept then.
  bool BuildPreviewTexture(bool force);

  std::string name;          // display name; becomes file-name safe once a preview is built
  std::string texture_path;  // the preview PNG last written, "" if none
  int id;                    // render-engine material id
  std::mutex mutex;          // held while a preview is built
};

namespace MaterialManager {

// The scene start slot: the first id of the scene-material range.
constexpr int kSceneStartSlot = 20000;
constexpr int kFirstCategory = 10001;
constexpr int kPreviewSize = 256;

bool Init();
// At shut-down: forgets realized nodes without destroying them (the engine is about to
// free everything), then cleans.
void Cleanup();
// Destroys the realized nodes and returns the registry, the loader and the scene editor to
// their empty state. Category numbers continue.
void CleanMaterials();

// A null value erases the JSON form; a null node erases the realized node.
void SetMaterial(int id, const Json::Value& json);
void SetMaterial(int id, ApiNode* node);
// A plain nullptr would fit both forms; it means the node.
inline void SetMaterial(int id, std::nullptr_t) { SetMaterial(id, static_cast<ApiNode*>(nullptr)); }
// The realized node; realized from the JSON form on first use. Null when neither exists
// or the JSON names nothing the engine can build.
ApiNode* GetMaterialNode(int id);
Json::Value GetMaterialJsonNode(int id);
std::string GetMaterialString(int id);
// Forgets node and JSON form of the id; the node itself is left to its owner.
void EraseMaterial(int id);
// Forgets the node wherever it is held; the JSON forms stay so the node can be rebuilt.
void DiscardZarnikMaterial(ApiNode* node);
// Every id that held `old_node` now holds `new_node`, takes its name into the UI record and
// its JSON form as the durable form.
void ReplaceZarnikMaterial(ApiNode* old_node, ApiNode* new_node);

std::shared_ptr<UiMat> GetUiMaterial(int id);
void SetUiMaterial(int id, std::shared_ptr<UiMat> record);  // empty pointer erases
void SetUiMaterialTexturePath(int id, const std::string& path);
std::string GetMaterialName(int id);

int GetNextCategory();
void SetNextCategory(int category);

// Created on first use when Init has not run yet, so these never answer null.
std::shared_ptr<ZcsMaterialLoader> GetZcsLoader();
std::shared_ptr<SceneEditor> GetSceneEditor();
void SetMaterialsFromStr(const std::string& text);

// Host material <-> scene material links. Each side links to at most one on the other, and
// the two tables are exact inverses of each other.
int GetSuToZarnikLink(int su_id);
int GetZarnikToSuLink(int zarnik_id);
// Ignored for ids below the scene start slot. Whatever either side was linked to before
// is unlinked first.
void LinkSuWithZarnik(int su_id, int zarnik_id);
void UnlinkSuFromZarnik(int su_id);
bool IsSuMaterialLinkable(int su_id);

// Renders a 256 x 256 preview of the material and writes it as PNG to `path`. False when
// the material has neither node nor JSON form, or the picture could not be rendered or
// written.
bool SavePngTexture(const std::string& path, int id);

}  // namespace MaterialManager
}  // namespace Zarnik
