#include "zarnik/setters/settings_node.h"

#include <glog/logging.h>

#include "zarnik/json_read.h"
#include "zarnik/node_json.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace SettingsNode {

ApiNode* Update(const std::string& json, PinId pin, NodeType type, const char* missing_message, ApiNode* current) {
  Json::Value section;
  if (!JsonRead::ParseSection(json, section)) return current;
  ApiNode* render_target = ZarnikManager::RenderTarget();
  // Whatever node the user has put into the pin is used, of any type.
  ApiNode* node = render_target ? render_target->inputNode(pin) : nullptr;
  if (!node && render_target) node = render_target->createInternal(pin, type, true, true);
  if (!node) {
    LOG(ERROR) << missing_message;
    return nullptr;
  }
  NodeUtils::UpdateNode(section, node, 0, nullptr, false);
  return node;
}

}  // namespace SettingsNode
}  // namespace Zarnik
