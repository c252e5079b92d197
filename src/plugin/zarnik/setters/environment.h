// The render target's environment (daylight, image or colour) and the watch that reports
// daylight changes made in the engine's window back to the plug-in.
#pragma once

#include <string>

#include <json/json.h>

#include "zarnik.h"

namespace Zarnik {
namespace EnvironmentSetter {

void Init();
bool SetDefaults();
bool Set(const std::string& json);
bool SetDayLight(const Json::Value& section);
bool SetTexture(const Json::Value& section);
bool SetColor(const Json::Value& section);
void SetNode(ApiNode* node);
// Stops any watch, then watches the daylight of the given render target (null: none).
void WatchEnvironment(ApiNode* render_target, const std::string& page);

}  // namespace EnvironmentSetter
}  // namespace Zarnik
