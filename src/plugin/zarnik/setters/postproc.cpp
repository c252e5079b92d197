#include "zarnik/setters/postproc.h"

#include <glog/logging.h>

#include "zarnik/json_read.h"
#include "zarnik/node_json.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace PostprocSetter {
namespace {

constexpr PinId kPostprocPin = 136;
constexpr NodeType kPostprocNode = 61;

ApiNode* postproc_ = nullptr;

}  // namespace

void Init() {}

void Set(const std::string& json) {
  Json::Value section;
  if (!JsonRead::ParseSection(json, section)) return;
  ApiNode* render_target = ZarnikManager::RenderTarget();
  // Whatever node the user has put into the pin is used, of any type.
  postproc_ = render_target ? render_target->inputNode(kPostprocPin) : nullptr;
  if (!postproc_ && render_target) postproc_ = render_target->createInternal(kPostprocPin, kPostprocNode, true, true);
  if (!postproc_) {
    LOG(ERROR) << "No Postproc Node found. Quitting.";
    return;
  }
  NodeUtils::UpdateNode(section, postproc_, 0, nullptr, false);
}

void SetNode(ApiNode* node) { postproc_ = node; }

}  // namespace PostprocSetter
}  // namespace Zarnik
