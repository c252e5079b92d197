// Hooks through which tests look inside the engine and act as its user. Exported by the
// library for the test probe; the extension never uses them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zarnik.h"

namespace Zarnik {
namespace Testing {

// The live item with that unique id, or null once it is gone.
ApiItem* ItemById(uint64_t uniqueId);
// Every live node of the project (graph-owned and pin-owned, nested graphs included),
// in creation order; type 0 means every type.
std::vector<ApiNode*> ProjectNodes(NodeType type);
// "running", "paused" or "stopped".
std::string RenderState();
// The user closes the engine's window: it is hidden and its close callback runs.
void CloseWindowAsUser();
// The window's visibility and extent; false and zeros when no window was made.
bool WindowVisible();
void WindowExtent(int& x, int& y, int& width, int& height);
// Whether the engine is started.
bool Started();

}  // namespace Testing
}  // namespace Zarnik
