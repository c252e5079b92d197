// The render target's camera: thin-lens or panoramic settings, and the host's eye, target,
// up vector and field of view.
#pragma once

#include <string>

#include <json/json.h>

#include "zarnik.h"

namespace Zarnik {
namespace CameraSetter {

void Init();
void SetDefaults();
void Set(const std::string& json);
void SetThinLens(const Json::Value& section);
void SetPanoramic(const Json::Value& section);
void SetNode(ApiNode* node);
bool SetPosition(const Vec3<float>& pos, const Vec3<float>& target, const Vec3<float>& up);
bool SetView(float value, bool orthographic);
void UpdateFov();
float FixFov(float fov);
float GetRayEpsilon(ApiNode* render_target);

}  // namespace CameraSetter
}  // namespace Zarnik
