#include "zarnik/setters/imager.h"

#include "zarnik/setters/settings_node.h"

namespace Zarnik {
namespace ImagerSetter {
namespace {

constexpr PinId kImagerPin = 78;
constexpr NodeType kImagerNode = 15;

ApiNode* imager_ = nullptr;

}  // namespace

void Init() {}

void Set(const std::string& json) {
  imager_ = SettingsNode::Update(json, kImagerPin, kImagerNode, "No Imager Node found. Quitting.", imager_);
}

void SetNode(ApiNode* node) { imager_ = node; }

}  // namespace ImagerSetter
}  // namespace Zarnik
