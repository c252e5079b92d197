// Engine-wide state beside the scene: the error callback, the render state, the window and
// its workspace. Each module owns its part; exit resets them all.
#pragma once

#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace Engine {

void SetErrorCallback(ApiErrorCallback callback, void* userData);
bool EngineStarted();

// Back to the state of a freshly loaded library (engine exit).
void ResetSession();
void ResetRenderState();
// A batch of edits is complete: a running or paused render starts over on them.
void TakeInChanges();
void ResetWindow();

// "running", "paused" or "stopped".
std::string RenderStateName();

// The window as tests see it; false when no window exists.
bool WindowState(bool& visible, int& x, int& y, int& width, int& height);
void CloseWindowAsUser();

}  // namespace Engine
}  // namespace Zarnik
