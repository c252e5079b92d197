// The render target's post-processing node, updated from a node description.
#pragma once

#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace PostprocSetter {

void Init();
void Set(const std::string& json);
void SetNode(ApiNode* node);

}  // namespace PostprocSetter
}  // namespace Zarnik
