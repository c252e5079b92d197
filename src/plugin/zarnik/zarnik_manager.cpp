#include "zarnik/zarnik_manager.h"

#include <mutex>

#include "zarnik.h"

namespace Zarnik {
namespace ZarnikManager {

namespace {

// ---- Render state --------------------------------------------------------------------

std::mutex state_mutex;
StateType current_state = Running;  // the engine renders as soon as it is started

}  // namespace

std::ostream& operator<<(std::ostream& out, StateType state) {
  switch (state) {
    case Stopped: return out << "Stopped";
    case Paused: return out << "Paused";
    case Running: return out << "Running";
  }
  return out << static_cast<std::int32_t>(state);
}

void SetRenderState(StateType requested) {
  std::lock_guard<std::mutex> lock(state_mutex);
  switch (requested) {
    case Running:
      if (current_state == Paused) {
        ApiRenderEngine::continueRendering();
      } else if (current_state == Stopped) {
        ApiRenderEngine::restartRendering();
      }
      current_state = Running;
      break;
    case Paused:
      if (current_state == Running) {
        ApiRenderEngine::pauseRendering();
        current_state = Paused;
      }
      break;
    case Stopped:
      if (current_state != Stopped) {
        ApiRenderEngine::stopRendering();
        current_state = Stopped;
      }
      break;
  }
}

StateType GetRenderState() {
  std::lock_guard<std::mutex> lock(state_mutex);
  return current_state;
}

}  // namespace ZarnikManager
}  // namespace Zarnik
