// The render target's imager node, updated from a node description.
#pragma once

#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace ImagerSetter {

void Init();
void Set(const std::string& json);
void SetNode(ApiNode* node);

}  // namespace ImagerSetter
}  // namespace Zarnik
