#include "zarnik/setters/postproc.h"

#include "zarnik/setters/settings_node.h"

namespace Zarnik {
namespace PostprocSetter {
namespace {

constexpr PinId kPostprocPin = 136;
constexpr NodeType kPostprocNode = 61;

ApiNode* postproc_ = nullptr;

}  // namespace

void Init() {}

void Set(const std::string& json) {
  postproc_ = SettingsNode::Update(json, kPostprocPin, kPostprocNode, "No Postproc Node found. Quitting.", postproc_);
}

void SetNode(ApiNode* node) { postproc_ = node; }

}  // namespace PostprocSetter
}  // namespace Zarnik
