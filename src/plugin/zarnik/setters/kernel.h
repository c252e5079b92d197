// The render target's kernel: one of four kernels with its parameters and ray epsilon.
#pragma once

#include <string>

#include <json/json.h>

#include "zarnik.h"

namespace Zarnik {
namespace KernelSetter {

void Init();
Json::Value GetDirectLightDefaults();
void Set(const std::string& json);
void SetDirectLight(const Json::Value& section);
void SetPathTracing(const Json::Value& section);
void SetPmc(const Json::Value& section);
void SetInfoChannel(const Json::Value& section);
void SetNode(ApiNode* node);
bool AutoRayEpsilon();
bool AutoRayEpsilon(ApiNode* node);
bool AutoRayEpsilon(int kernel_type);

}  // namespace KernelSetter
}  // namespace Zarnik
