#include "materials/mat_manager.h"

#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include <glog/logging.h>

#include "materials/editor/scene_editor.h"
#include "materials/loaders/zcs_loader.h"
#include "materials/mat_manager_ext.h"
#include "materials/png_image.h"
#include "utils/message.h"
#include "utils/paths.h"
#include "zarnik/node_json.h"
#include "zarnik/node_utils.h"

namespace Zarnik {
namespace MaterialManager {

namespace {

std::map<int, Json::Value> str_materials;
std::map<int, ApiNode*> node_materials;
std::map<int, std::shared_ptr<UiMat>> ui_materials;
std::map<int, int> su_zarnik_links;
std::map<int, int> zarnik_su_links;

// The loader and the editor log when they go, so they must go in Cleanup while logging is
// on, never during static destruction at process exit: their holders are never destroyed.
std::shared_ptr<ZcsMaterialLoader>& zcs_loader = *new std::shared_ptr<ZcsMaterialLoader>();
std::shared_ptr<SceneEditor>& scene_editor = *new std::shared_ptr<SceneEditor>();
int free_category_slot = kFirstCategory;

constexpr uint32_t kPreviewSamples = 100;
constexpr float kPreviewDistance = 1.0f;

void CreateHelpers() {
  if (!zcs_loader) zcs_loader = std::make_shared<ZcsMaterialLoader>();
  if (!scene_editor) scene_editor = std::make_shared<SceneEditor>();
}

int FindOrMinusOne(const std::map<int, int>& table, int key) {
  const auto found = table.find(key);
  return found == table.end() ? -1 : found->second;
}

}  // namespace

// Preview files are named after the material, and material names come from the user:
// nothing in them may lead out of the previews folder.
static void MakeFileNameSafe(std::string& name) {
  for (char& c : name) {
    if (c == ' ' || c == '/' || c == '\\') c = '_';
  }
}

bool Init() {
  LOG(INFO) << "Creating MaterialManager...";
  free_category_slot = kFirstCategory;
  CreateHelpers();
  MaterialManagerExt::Init();
  LOG(INFO) << "MaterialManager Created";
  return true;
}

void Cleanup() {
  for (auto& entry : node_materials) entry.second = nullptr;
  CleanMaterials();
  zcs_loader.reset();
  scene_editor.reset();
  LOG(INFO) << "MaterialManager Destroyed";
}

void CleanMaterials() {
  // One node may be held under several ids (ReplaceZarnikMaterial); destroy it once.
  std::set<ApiNode*> realized;
  for (const auto& entry : node_materials) {
    if (entry.second) realized.insert(entry.second);
  }
  for (ApiNode* node : realized) NodeUtils::SafeDestroy(node);

  node_materials.clear();
  str_materials.clear();
  su_zarnik_links.clear();
  zarnik_su_links.clear();
  if (scene_editor) scene_editor->Clear();
  if (zcs_loader) zcs_loader->Clear();
}

void SetMaterial(int id, const Json::Value& json) {
  if (json.isNull()) {
    str_materials.erase(id);
  } else {
    str_materials[id] = json;
  }
}

void SetMaterial(int id, ApiNode* node) {
  if (node) {
    node_materials[id] = node;
  } else {
    node_materials.erase(id);
  }
}

ApiNode* GetMaterialNode(int id) {
  const auto realized = node_materials.find(id);
  if (realized != node_materials.end() && realized->second) {
    if (realized->second->isNode()) return realized->second;
    // Deleted in the engine's window: built again from the stored form below.
    node_materials.erase(realized);
  }
  const auto stored = str_materials.find(id);
  if (stored == str_materials.end() || stored->second.isNull()) return nullptr;
  ApiNode* node = NodeUtils::StrToNode(stored->second, 0, nullptr, 0);
  if (node) node_materials[id] = node;
  return node;
}

Json::Value GetMaterialJsonNode(int id) {
  const auto stored = str_materials.find(id);
  return stored == str_materials.end() ? Json::Value() : stored->second;
}

std::string GetMaterialString(int id) { return Message::JsonToString(GetMaterialJsonNode(id)); }

void EraseMaterial(int id) {
  node_materials.erase(id);
  str_materials.erase(id);
}

void DiscardZarnikMaterial(ApiNode* node) {
  for (auto it = node_materials.begin(); it != node_materials.end();) {
    if (it->second == node) {
      it = node_materials.erase(it);
    } else {
      ++it;
    }
  }
}

void ReplaceZarnikMaterial(ApiNode* old_node, ApiNode* new_node) {
  for (auto& entry : node_materials) {
    if (entry.second != old_node) continue;
    entry.second = new_node;
    const int id = entry.first;
    const auto record = ui_materials.find(id);
    if (record != ui_materials.end() && new_node) {
      const char* new_name = new_node->name();
      if (new_name && *new_name && record->second->name != new_name) record->second->name = new_name;
    }
    Json::Value json;
    if (NodeUtils::TryNodeToStr(new_node, true, json)) SetMaterial(id, json);
  }
}

std::shared_ptr<UiMat> GetUiMaterial(int id) {
  const auto record = ui_materials.find(id);
  return record == ui_materials.end() ? nullptr : record->second;
}

void SetUiMaterial(int id, std::shared_ptr<UiMat> record) {
  if (record) {
    ui_materials[id] = std::move(record);
  } else {
    ui_materials.erase(id);
  }
}

void SetUiMaterialTexturePath(int id, const std::string& path) {
  const auto record = ui_materials.find(id);
  if (record != ui_materials.end()) record->second->texture_path = path;
}

std::string GetMaterialName(int id) {
  const auto record = ui_materials.find(id);
  return record == ui_materials.end() ? std::string() : record->second->name;
}

int GetNextCategory() { return free_category_slot; }
void SetNextCategory(int category) { free_category_slot = category; }

std::shared_ptr<ZcsMaterialLoader> GetZcsLoader() {
  CreateHelpers();
  return zcs_loader;
}

std::shared_ptr<SceneEditor> GetSceneEditor() {
  CreateHelpers();
  return scene_editor;
}

void SetMaterialsFromStr(const std::string& text) { GetSceneEditor()->SetMaterialsFromStr(text); }

int GetSuToZarnikLink(int su_id) { return FindOrMinusOne(su_zarnik_links, su_id); }
int GetZarnikToSuLink(int zarnik_id) { return FindOrMinusOne(zarnik_su_links, zarnik_id); }

void LinkSuWithZarnik(int su_id, int zarnik_id) {
  if (zarnik_id < kSceneStartSlot) return;
  const auto old_target = su_zarnik_links.find(su_id);
  if (old_target != su_zarnik_links.end()) zarnik_su_links.erase(old_target->second);
  const auto old_source = zarnik_su_links.find(zarnik_id);
  if (old_source != zarnik_su_links.end()) su_zarnik_links.erase(old_source->second);
  su_zarnik_links[su_id] = zarnik_id;
  zarnik_su_links[zarnik_id] = su_id;
}

void UnlinkSuFromZarnik(int su_id) {
  const auto link = su_zarnik_links.find(su_id);
  if (link == su_zarnik_links.end()) return;
  zarnik_su_links.erase(link->second);
  su_zarnik_links.erase(link);
}

bool IsSuMaterialLinkable(int su_id) {
  if (zarnik_su_links.count(GetSceneEditor()->GetActiveMaterialId()) != 0) return false;
  const auto link = su_zarnik_links.find(su_id);
  if (link == su_zarnik_links.end()) return true;
  return link->second >= kSceneStartSlot;
}

bool SavePngTexture(const std::string& path, int id) {
  ApiNode* node = nullptr;
  const auto realized = node_materials.find(id);
  if (realized != node_materials.end()) node = realized->second;
  // A node built only for the picture is not kept: the registry realizes nodes on demand
  // elsewhere, and an unrecorded node would linger in the scene.
  ApiNode* preview_only = nullptr;
  if (!node) {
    const auto stored = str_materials.find(id);
    if (stored == str_materials.end() || stored->second.isNull()) return false;
    preview_only = NodeUtils::StrToNode(stored->second, 0, nullptr, 0);
    if (!preview_only) return false;
    node = preview_only;
  }

  std::vector<uint8_t> pixels(static_cast<size_t>(kPreviewSize) * kPreviewSize * 4, 0);
  const bool rendered = ApiRenderEngine::previewMaterial(node, kPreviewSize, kPreviewSize, kPreviewSamples,
                                                         kPreviewDistance, ApiRenderEngine::PREVIEW_SPHERE,
                                                         pixels.data());
  NodeUtils::SafeDestroy(preview_only);
  if (!rendered) {
    LOG(ERROR) << "No preview could be rendered for material " << id;
    return false;
  }
  return PngImage::save(pixels.data(), kPreviewSize, kPreviewSize, path);
}

}  // namespace MaterialManager

bool UiMat::BuildPreviewTexture(bool force) {
  if (!force && !texture_path.empty() && Strings::FileExists(texture_path)) return false;

  std::lock_guard<std::mutex> lock(mutex);
  MaterialManager::MakeFileNameSafe(name);
  const std::string path =
      Strings::GetPreviewTexturesPath() + name + "_" + std::to_string(static_cast<long long>(std::time(nullptr))) + ".png";
  if (!MaterialManager::SavePngTexture(path, id)) return false;
  texture_path = path;
  return true;
}

}  // namespace Zarnik
