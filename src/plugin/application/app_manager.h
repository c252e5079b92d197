#pragma once

// Start-up and tear-down of the whole extension, and the server loop thread that marks it
// as running.

namespace Zarnik {
namespace AppManager {

// Starts the render engine (once per process) and initialises every module in order.
// False stops start-up; the engine is then never started a second time.
bool GlobalInit();

// Body of the loop thread: raises the running flag, idles until it is cleared, then
// acknowledges. A second loop never starts.
void StartServerLoop();

// Tears everything down in order. Only the first call does anything.
void StopServerLoop();

bool LoopActive();

void InstallExceptionHandler();
void UninstallExceptionHandler();

}  // namespace AppManager
}  // namespace Zarnik
