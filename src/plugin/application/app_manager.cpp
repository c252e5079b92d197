#include "application/app_manager.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <glog/logging.h>

#include "application/app_ruby_extension.h"
#include "application/logger.h"
#include "application/ruby_bridge.h"
#include "materials/mat_manager.h"
#include "sketchup/su_manager.h"
#include "zarnik.h"
#include "zarnik/zarnik_manager.h"
#include "zarnik/zarnik_window.h"

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

// Runs a module's Init so that a Ruby error raised while it registers its classes stops
// start-up instead of unwinding through it.
bool InitModule(bool (*init)()) {
  bool initialised = false;
  const bool clean = Ruby::protect_call([&] { initialised = init(); }, nullptr);
  return clean && initialised;
}

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

  // Module start-up, in dependency order (render manager, then the host-model registry,
  // then materials); the first one that fails ends start-up.
  if (!InitModule(ZarnikManager::Init)) return false;
  if (!InitModule(SketchupManager::Init)) return false;
  if (!InitModule(MaterialManager::Init)) return false;

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

  // The window goes first, then every change observation; the modules follow in the order
  // host-model registry, materials, render manager.
  if (core_init) {
    ZarnikWindow::CloseWindow();
    ApiChangeManager::stopObserving();
    SketchupManager::Cleanup();
    MaterialManager::Cleanup();
    ZarnikManager::Cleanup();
  }

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
