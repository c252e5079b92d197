#pragma once

// The render manager: what the render engine renders and whether it is rendering.

#include <cstdint>
#include <ostream>

namespace Zarnik {
namespace ZarnikManager {

// ---- Render state --------------------------------------------------------------------

enum StateType : std::int32_t { Stopped = 0, Paused = 1, Running = 2 };

// "Stopped", "Paused", "Running"; any other value as its number.
std::ostream& operator<<(std::ostream& out, StateType state);

// Moves the render engine to the requested state. The engine is told under the state lock,
// so the recorded state and the engine's own never disagree. Requests that make no sense
// from the current state (pausing a stopped render, unknown values) change nothing.
void SetRenderState(StateType requested);

StateType GetRenderState();

}  // namespace ZarnikManager
}  // namespace Zarnik
