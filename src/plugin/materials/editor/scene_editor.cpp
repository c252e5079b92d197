#include "materials/editor/scene_editor.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>

#include <glog/logging.h>
#include <json/json.h>

#include "materials/mat_manager.h"
#include "utils/strings.h"
#include "zarnik.h"
#include "zarnik/node_json.h"

namespace Zarnik {

namespace {

// Node type of each kind of new material, by kind.
constexpr NodeType kKindTypes[] = {17, 16, 19, 18, 20, 120, 121};
constexpr int kKindCount = sizeof(kKindTypes) / sizeof(kKindTypes[0]);

constexpr int kSpecularKind = 3;
constexpr NodeType kImageTextureType = 34;
constexpr NodeType kAlphaImageType = 35;
constexpr NodeType kRgbType = 33;
constexpr PinId kDiffusePin = 30;
constexpr PinId kSpecularTexturePin = 145;
constexpr PinId kSpecularColourPin = 245;
constexpr PinId kOpacityPin = 125;
constexpr AttributeId kFileAttribute = 34;
constexpr AttributeId kReloadAttribute = 124;
constexpr AttributeId kColourAttribute = 185;

bool TakesColourOrTexture(NodeType type) { return type != 19 && type != 20; }

bool HasAlpha(const std::string& texture) {
  const auto dot = texture.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string extension = Strings::LowerCase(texture.substr(dot + 1));
  return extension == "png" || extension == "tif" || extension == "tiff";
}

void AddImage(ApiNode* material, PinId pin, NodeType type, const std::string& texture) {
  ApiNode* image = material->createInternal(pin, type, true, true);
  if (!image) return;
  image->set(kFileAttribute, texture.c_str(), false);
  image->set(kReloadAttribute, false, true);
}

// The decimal id at the start of a key; false when the key does not start with a digit or
// the number does not fit.
bool LeadingId(const std::string& key, long& id) {
  if (key.empty() || !std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  errno = 0;
  id = std::strtol(key.c_str(), nullptr, 10);
  return errno == 0 && id <= INT_MAX;
}

bool LoggingOn() { return google::IsGoogleLoggingInitialized(); }

}  // namespace

SceneEditor::SceneEditor() : free_slot_(GetSceneStartSlot()) {
  LOG(INFO) << "Creating SceneEditor...";
  LOG(INFO) << "SceneEditor Created";
}

SceneEditor::~SceneEditor() {
  if (LoggingOn()) LOG(INFO) << "SceneEditor Destroyed";
}

int SceneEditor::GetSceneStartSlot() { return MaterialManager::kSceneStartSlot; }

void SceneEditor::Clear() {
  for (int id = GetSceneStartSlot(); id < free_slot_; ++id) MaterialManager::SetUiMaterial(id, nullptr);
  free_slot_ = GetSceneStartSlot();
}

void SceneEditor::UpdateFreeSlot(int id) {
  // The highest id has no successor; the free slot cannot move past it.
  if (id == INT_MAX) return;
  if (free_slot_ <= id) free_slot_ = id + 1;
}

int SceneEditor::AddNewMaterial(int kind, const std::string& name, const std::string& texture, float red,
                                float green, float blue, float /*scale_x*/, float /*scale_y*/) {
  if (kind < 0 || kind >= kKindCount || free_slot_ == INT_MAX) return -1;
  const NodeType type = kKindTypes[kind];
  ApiNode* material = ApiNode::create(type, ApiProjectManager::rootNodeGraph(), true);
  if (!material) return -1;

  if (TakesColourOrTexture(type)) {
    if (!texture.empty()) {
      AddImage(material, kind == kSpecularKind ? kSpecularTexturePin : kDiffusePin, kImageTextureType, texture);
      if (HasAlpha(texture)) AddImage(material, kOpacityPin, kAlphaImageType, texture);
    } else if (red >= 0 && green >= 0 && blue >= 0) {
      ApiNode* colour =
          material->createInternal(kind == kSpecularKind ? kSpecularColourPin : kDiffusePin, kRgbType, true, true);
      if (colour) colour->set(kColourAttribute, float_3{red, green, blue}, true);
    }
  }
  if (!name.empty()) material->setName(name.c_str());

  const int id = free_slot_++;
  MaterialManager::SetMaterial(id, material);
  Json::Value json;
  if (NodeUtils::TryNodeToStr(material, true, json)) MaterialManager::SetMaterial(id, json);
  return id;
}

void SceneEditor::SetMaterialsFromStr(const std::string& text) {
  if (text.empty()) {
    MaterialManager::CleanMaterials();
    return;
  }
  Json::Value root;
  bool parsed = false;
  try {
    Json::Reader reader;
    parsed = reader.parse(text, root, true);
  } catch (const std::exception&) {
    parsed = false;  // the reader throws on nesting deeper than it follows
  }
  if (!parsed) {
    LOG(INFO) << "Failed to read materials from .skp file";
    return;
  }
  MaterialManager::CleanMaterials();
  if (!root.isObject()) return;
  const Json::Value& materials = root["materials"];
  if (!materials.isObject()) return;

  for (const std::string& key : materials.getMemberNames()) {
    const Json::Value& json = materials[key];
    long id = 0;
    if (json.isNull() || !LeadingId(key, id) || id <= 0) continue;
    MaterialManager::SetMaterial(static_cast<int>(id), json);
    UpdateFreeSlot(static_cast<int>(id));
  }
}

}  // namespace Zarnik
