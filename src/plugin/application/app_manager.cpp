#include "application/app_manager.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <glog/logging.h>

#include "application/app_ruby_extension.h"
#include "application/logger.h"
#include "zarnik.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace AppManager {

namespace {

// Identifies the extension to the render engine.
const char kProductId[] = "ZARNIKSU";

constexpr std::chrono::milliseconds kPollInterval(50);
constexpr std::chrono::milliseconds kLoopExitDelay(100);

bool core_init = false;  // the engine was started; never cleared
bool torn_down = false;  // the shut-down sequence has run; never cleared
std::atomic<bool> loop_active(false);
std::atomic<bool> shutdown_complete(false);

}  // namespace

bool GlobalInit() {
  LOG(INFO) << "Init AppManager...";
  if (core_init) return false;

  const char* error_text = nullptr;
  if (!apiMode_Shared_start(kProductId, false, &error_text, nullptr, nullptr)) {
    LOG(ERROR) << "Zarnik Shared Start: " << (error_text ? error_text : "");
    return false;
  }
  LOG(INFO) << "Zarnik dependencies sucessfully loaded.";

  ApiRenderEngine::setRenderPriority(ApiRenderEngine::PRIORITY_LOW);
  ZarnikManager::SetRenderState(ZarnikManager::Stopped);
  core_init = true;

  if (!AppManagerExt::Init()) return false;

  // Module start-up, in dependency order; each one that fails ends start-up here:
  // render manager, then the host-model registry, then materials.

  LOG(INFO) << "ApplicationManager Init Complete";
  return true;
}

void StartServerLoop() {
  bool expected = false;
  if (!loop_active.compare_exchange_strong(expected, true)) return;
  while (loop_active.load()) std::this_thread::sleep_for(kPollInterval);
  shutdown_complete.exchange(true);
  std::this_thread::sleep_for(kLoopExitDelay);
}

void StopServerLoop() {
  // glog and the engine can be shut down only once; a repeated request has nothing to do.
  if (torn_down) return;
  torn_down = true;

  DebugLog("Stopping server loop...");
  // Only a loop that is running will ever acknowledge; when start-up stopped before the
  // loop thread existed there is nothing to wait for.
  if (loop_active.exchange(false)) {
    while (!shutdown_complete.load()) std::this_thread::sleep_for(kPollInterval);
  }

  // Modules close in the reverse of their start-up: the render window first, then every
  // change observation, then the host-model registry, materials and the render manager.
  if (core_init) ApiChangeManager::stopObserving();

  if (google::IsGoogleLoggingInitialized()) google::ShutdownGoogleLogging();
  DebugLog("Stopping Zarnik SDK...");
  if (core_init) apiMode_Shared_exit(nullptr);
  DebugLog("Shutdown complete");
}

bool LoopActive() { return loop_active.load(); }

// Crash reporting is left to the host application; these mark where a handler would go.
void InstallExceptionHandler() {}
void UninstallExceptionHandler() {}

}  // namespace AppManager
}  // namespace Zarnik
