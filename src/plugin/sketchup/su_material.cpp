#include "sketchup/su_material.h"

#include <cmath>
#include <map>

#include <glog/logging.h>

#include "materials/host_material_ext.h"
#include "materials/mat_manager.h"
#include "sketchup/su_manager.h"
#include "utils/strings.h"
#include "zarnik/node_json.h"
#include "zarnik/node_utils.h"
#include "zarnik/zarnik_window.h"

namespace Zarnik {

namespace {

constexpr float_2 kNeutralScale{1.f, 1.f};
constexpr NodeType kNodePinType = 5;  // pins that take texture nodes

// The extension of a texture path in lower case: the text after the last '.', or the
// whole path when it has none.
std::string LowerExtension(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  std::string extension = dot == std::string::npos ? path : path.substr(dot + 1);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

bool HasAlphaChannel(const std::string& path) {
  const std::string extension = LowerExtension(path);
  return extension == "png" || extension == "tif" || extension == "tiff";
}

// Texture coordinates are scaled about the centre of the unit square.
Matrix<float> TextureTransform(float_2 scale) {
  Matrix<float> m{};
  m.m[0][0] = scale.x;
  m.m[0][3] = 0.5f * scale.x - 0.5f;
  m.m[1][1] = scale.y;
  m.m[1][3] = 0.5f * scale.y - 0.5f;
  m.m[2][2] = 1.f;
  return m;
}

void PointAtFile(ApiNode* texture_node, const std::string& path) {
  texture_node->set(SuMaterial::kFileNameAttr, path.c_str(), false);
  texture_node->set(SuMaterial::kReloadAttr, false, true);
}

// A scale that would later be divided by cannot be zero, and nothing non-finite may reach
// the transform nodes.
bool IsUsableScale(float_2 scale) {
  return std::isfinite(scale.x) && std::isfinite(scale.y) && scale.x != 0.f && scale.y != 0.f;
}

}  // namespace

SuMaterial::~SuMaterial() {
  try {
    TryToUpdateScale(kNeutralScale);
    MaterialManager::UnlinkSuFromZarnik(id_);
  } catch (const std::exception& e) {
    LOG(ERROR) << "Host material " << id_ << " could not be released: " << e.what();
  } catch (...) {
    LOG(ERROR) << "Host material " << id_ << " could not be released";
  }
}

bool SuMaterial::HasActualZarnikMaterial() const {
  return MaterialManager::GetSuToZarnikLink(id_) >= MaterialManager::kSceneStartSlot;
}

PinId SuMaterial::ColorPin() const {
  return node_ && node_->type() == kSpecularMaterialType ? kSpecularColorPin : kColorPin;
}

void SuMaterial::AssignSuMaterial(const std::string& name, const std::string& texture, float_3 color,
                                  float_2 scale) {
  if (node_is_linked_) {
    // The scene material's node belongs to the scene material; convert into our own.
    node_ = converted_node_;
    node_is_linked_ = false;
  }
  if (node_ && !node_->isNode()) {
    // The user deleted the node in the engine's window: it is made again from what the host
    // sends, with nothing remembered of the inner nodes it had.
    node_ = nullptr;
    has_texture_ = false;
    opacity_node_type_ = 0;
  }
  if (!node_) {
    node_ = ApiNode::create(HostMaterialExt::DefaultMaterial(), ApiProjectManager::rootNodeGraph(), true);
    if (!node_) {
      LOG(ERROR) << "Host material " << id_ << ": no material node of type " << HostMaterialExt::DefaultMaterial();
      MaterialManager::UnlinkSuFromZarnik(id_);
      return;
    }
  }
  converted_node_ = node_;

  const PinId color_pin = ColorPin();
  node_->setName(name.c_str());
  node_->setPinValue(kConvertedFlagPin, true);

  bool opacity_from_value = texture_ == "null" || opacity_node_type_ == kFloatTexture;

  const bool texture_is_new = !texture.empty() && texture != texture_;
  bool make_image;
  if (!has_texture_) {
    make_image = !texture.empty() || (!texture_.empty() && texture_ != "null");
  } else {
    make_image = (texture_mode_ == 1 || texture_mode_ == 2) && texture_is_new;
  }

  ApiNode* image = nullptr;
  ApiNode* alpha = nullptr;
  NodeType opacity_made = 0;
  if (!make_image) {
    if (texture_mode_ == 0) {
      if (ApiNode* rgb = node_->createInternal(color_pin, kRgbTexture)) rgb->set(kValueAttr, color);
      texture_ = "null";
    }
  } else {
    image = node_->createInternal(color_pin, kImageTexture);
    has_texture_ = true;
    if (!texture.empty()) texture_ = texture;
    if (image) PointAtFile(image, texture_);
    if (HasAlphaChannel(texture_)) {
      alpha = node_->createInternal(kOpacityPin, kAlphaImageTexture);
      if (alpha) {
        PointAtFile(alpha, texture_);
        opacity_made = kAlphaImageTexture;
      }
      opacity_from_value = false;
    }
  }

  if (texture_mode_ == 1 || texture_mode_ == 2) {
    // A scale change reaches the image node already in place as well as a new one.
    if (!image) {
      ApiNode* current = node_->connectedNode(color_pin);
      if (current && current->type() == kImageTexture) image = current;
    }
    const Matrix<float> transform = TextureTransform(scale);
    if (image) image->setPinValue(kTextureTransformPin, transform);
    if (alpha) alpha->setPinValue(kTextureTransformPin, transform);
  }

  if (opacity_from_value) {
    if (ApiNode* value = node_->createInternal(kOpacityPin, kFloatTexture)) {
      value->setIx(0, opacity_);
      opacity_made = kFloatTexture;
    }
  }
  opacity_node_type_ = opacity_made;

  MaterialManager::UnlinkSuFromZarnik(id_);
}

bool SuMaterial::AssignZarnikMaterial(std::int32_t zarnik_id, float_2 scale, float_3 color) {
  bool changed = false;
  if (linked_id_ != zarnik_id) {
    RevertOldZarnikMaterial();
    linked_id_ = zarnik_id;
    changed = true;
  }

  const bool held = !changed && LinkIsLive();

  if (!node_is_linked_) converted_node_ = node_;
  node_ = MaterialManager::GetMaterialNode(zarnik_id);
  node_is_linked_ = true;
  if (!node_) return false;

  if (!held) {
    // Taking the node over: whoever held it puts it back to its neutral scale first, so
    // that the scale recorded here is the scale the node really has.
    const int holder_id = MaterialManager::GetZarnikToSuLink(zarnik_id);
    if (holder_id != -1 && holder_id != id_) {
      if (std::shared_ptr<SuMaterial> holder = SketchupManager::GetMaterial(holder_id)) holder->RevertOldZarnikMaterial();
    }
    scale_ = kNeutralScale;
  }

  MaterialManager::LinkSuWithZarnik(id_, zarnik_id);
  if (std::shared_ptr<UiMat> record = MaterialManager::GetUiMaterial(zarnik_id)) record->BuildPreviewTexture(false);

  const bool color_changed = TryToUpdateColor(color);
  const bool scale_changed = TryToUpdateScale(scale);
  if (changed || color_changed || scale_changed) PrepareNewZarnikMaterial();
  return true;
}

// The scene material's node is only ours to change while the registry still records our
// link to it: cleaning the registry destroys the node, and another host material that
// links to the same scene material takes it over.
bool SuMaterial::LinkIsLive() const {
  return linked_id_ >= MaterialManager::kSceneStartSlot && MaterialManager::GetSuToZarnikLink(id_) == linked_id_;
}

bool SuMaterial::TryToUpdateColor(float_3 color) {
  if (!LinkIsLive()) return false;
  if (color == color_) return false;
  if (!node_ || !NodeUtils::IsMaterialType(node_->type())) return false;
  ApiNode* rgb = node_->connectedNode(ColorPin());
  if (!rgb || rgb->type() != kRgbTexture) return false;
  rgb->setIx(0, color);
  color_ = color;
  return true;
}

bool SuMaterial::TryToUpdateScale(float_2 scale) {
  if (!LinkIsLive() || !node_) return false;
  if (scale == scale_) return false;
  if (!IsUsableScale(scale) || !IsUsableScale(scale_)) {
    LOG(ERROR) << "Host material " << id_ << ": texture scale (" << scale.x << ", " << scale.y << ") refused";
    return false;
  }
  return RescaleTransforms(scale);
}

bool SuMaterial::RescaleTransforms(float_2 scale) {
  std::map<ApiNode*, bool> transforms;
  NodeUtils::FindAllTransformNodes(node_, transforms);

  const float ox = scale_.x;
  const float oy = scale_.y;
  const float nx = scale.x;
  const float ny = scale.y;
  bool found = false;
  for (const auto& entry : transforms) {
    ApiNode* transform = entry.first;
    if (!transform) continue;
    switch (transform->type()) {
      case 27:
      case 29:
      case 66:
      case 67: {
        const float_3 s = transform->getFloat3(kTransformScaleAttr);
        const float_3 p = transform->getFloat3(kTransformTranslationAttr);
        const float rx = s.x / ox;
        const float ry = s.y / oy;
        const float old_x = rx * ox;
        const float new_x = nx * rx;
        const float old_y = ry * oy;
        const float new_y = ny * ry;
        const float shifted_x = static_cast<float>(static_cast<double>(p.x) - 0.5 * old_x);
        const float shifted_y = static_cast<float>(static_cast<double>(p.y) - 0.5 * old_y);
        const float_3 new_scale{nx * rx, ny * ry, s.z};
        const float_3 new_translation{static_cast<float>(static_cast<double>(shifted_x) + 0.5 * new_x),
                                      static_cast<float>(static_cast<double>(shifted_y) + 0.5 * new_y), p.z};
        transform->set(kTransformScaleAttr, new_scale, true);
        transform->set(kTransformTranslationAttr, new_translation, true);
        found = true;
        break;
      }
      case 28: {
        if (ApiNode* input = transform->connectedNodeIx(0)) {
          const float_3 v = input->getFloat3Ix(0);
          input->setIx(0, float_3{v.x / ox * nx, v.y / oy * ny, v.z}, true);
        }
        found = true;
        break;
      }
      default:
        break;
    }
  }
  if (found) scale_ = scale;
  return found;
}

void SuMaterial::StoreNeutralForm() {
  Json::Value json;
  if (NodeUtils::TryNodeToStr(node_, true, json)) MaterialManager::SetMaterial(linked_id_, json);
}

bool SuMaterial::RevertOldZarnikMaterial() {
  if (!node_) return false;
  const bool changed = TryToUpdateScale(kNeutralScale);
  if (linked_id_ == -1 || !changed) return false;
  StoreNeutralForm();
  return true;
}

void SuMaterial::PrepareNewZarnikMaterial() {
  if (!node_) return;
  const float_2 live_scale = scale_;
  TryToUpdateScale(kNeutralScale);
  StoreNeutralForm();
  TryToUpdateScale(live_scale);
}

void SuMaterial::ReconstructSuMaterial(const std::string& text) {
  if (text.empty()) return;
  ApiNode* material = ZarnikWindow::DeserializeMaterial(text, &ApiProjectManager::rootNodeGraph());
  if (!material) return;
  FillMaterialBlanks(node_, material);
  node_ = material;
  converted_node_ = material;
  node_is_linked_ = false;
  MaterialManager::UnlinkSuFromZarnik(id_);
}

void SuMaterial::FillMaterialBlanks(ApiNode* old_node, ApiNode* new_node) {
  if (!old_node || !new_node || old_node == new_node) return;
  if (old_node->type() != new_node->type() || !NodeUtils::IsMaterialType(old_node->type())) return;
  const std::uint32_t pins = old_node->pinCount();
  for (std::uint32_t i = 0; i < pins; ++i) {
    const PinId pin = old_node->pinIdIx(i);
    if (pin == 0 || old_node->pinTypeIx(i) != kNodePinType) continue;  // dynamic pins have no id
    ApiNode* source = old_node->connectedNode(pin);
    ApiNode* target = new_node->connectedNode(pin);
    if (!source || !target || source == target || !source->hasAttr(kFileNameAttr)) continue;
    if (NodeUtils::AttrIsDefaultByID(source, kFileNameAttr) || !NodeUtils::AttrIsDefaultByID(target, kFileNameAttr)) {
      continue;
    }
    const std::uint32_t attrs = source->attrCount();
    for (std::uint32_t a = 0; a < attrs; ++a) target->copyAttrFrom(source->attrIdIx(a), source, false);
  }
}

void SuMaterial::DiscardZarnikNode(ApiNode* node) {
  if (!node) return;
  if (node_ == node) node_ = nullptr;
  if (converted_node_ == node) converted_node_ = nullptr;
}

void SuMaterial::ReplaceZarnikNode(ApiNode* old_node, ApiNode* new_node) {
  if (node_ == old_node) node_ = new_node;
  if (old_node && converted_node_ == old_node) converted_node_ = new_node;
  if (!old_node || !new_node) return;
  const char* old_name = old_node->name();
  const char* new_name = new_node->name();
  if (old_name && new_name && *new_name && name_ == old_name) name_ = new_name;
}

void SuMaterial::MigrateTextures(const std::string& /*from*/, const std::string& to) {
  Strings::MakeFolder(to, true);
}

}  // namespace Zarnik
