// The imager and post-processing settings arrive as whole node descriptions and are applied
// onto the node in one render-target pin; both setters share that step.
#pragma once

#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace SettingsNode {

// Applies the section onto the node in the current render target's pin, creating a pin-owned
// node of the given type when the pin is empty. Answers the node, or null (with the given
// error record) when none could be had. Unparsable text changes nothing and answers `current`.
ApiNode* Update(const std::string& json, PinId pin, NodeType type, const char* missing_message, ApiNode* current);

}  // namespace SettingsNode
}  // namespace Zarnik
