// Film resolution and sample limit, following the settings or the host's viewport.
#pragma once

#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace QualitySetter {

void Init();
void Set(const std::string& json);
// Remembers the host viewport size; true when the film resolution changed.
bool SetSketchupExtents(int width, int height);

}  // namespace QualitySetter
}  // namespace Zarnik
