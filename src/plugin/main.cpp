// Entry point of the extension. The host's Ruby loads the module under one of three file
// names and calls the matching Init_ function; all of them lead to InitPlugin.

#include <chrono>
#include <system_error>
#include <thread>

#include <glog/logging.h>

#include "application/app_manager.h"
#include "application/logger.h"

namespace {

void ThreadFunction() { Zarnik::AppManager::StartServerLoop(); }

}  // namespace

namespace Zarnik {

void InitPlugin() {
  Logger::Init();
  if (!AppManager::GlobalInit()) {
    LOG(ERROR) << "Failed to initialize application. Exiting.";
    return;
  }
  try {
    std::thread(ThreadFunction).detach();
  } catch (const std::system_error& error) {
    LOG(ERROR) << "Failed to start the server loop: " << error.what();
    return;
  }
  // Return to Ruby only once the loop runs, so that a shut-down request always finds it.
  while (!AppManager::LoopActive()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace Zarnik

namespace {

// No C++ exception may reach the interpreter that called the entry point.
void Enter() {
  try {
    Zarnik::InitPlugin();
  } catch (...) {
  }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void Init_zarniksu16() { Enter(); }
__attribute__((visibility("default"))) void Init_zarniksu17() { Enter(); }
__attribute__((visibility("default"))) void Init_zarniksu18() { Enter(); }

}  // extern "C"
