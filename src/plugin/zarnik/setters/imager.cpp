#include "zarnik/setters/imager.h"

#include <glog/logging.h>

#include "zarnik/json_read.h"
#include "zarnik/node_json.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace ImagerSetter {
namespace {

constexpr PinId kImagerPin = 78;
constexpr NodeType kImagerNode = 15;

ApiNode* imager_ = nullptr;

}  // namespace

void Init() {}

void Set(const std::string& json) {
  Json::Value section;
  if (!JsonRead::ParseSection(json, section)) return;
  ApiNode* render_target = ZarnikManager::RenderTarget();
  // Whatever node the user has put into the pin is used, of any type.
  imager_ = render_target ? render_target->inputNode(kImagerPin) : nullptr;
  if (!imager_ && render_target) imager_ = render_target->createInternal(kImagerPin, kImagerNode, true, true);
  if (!imager_) {
    LOG(ERROR) << "No Imager Node found. Quitting.";
    return;
  }
  NodeUtils::UpdateNode(section, imager_, 0, nullptr, false);
}

void SetNode(ApiNode* node) { imager_ = node; }

}  // namespace ImagerSetter
}  // namespace Zarnik
