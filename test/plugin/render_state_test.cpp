// The render state machine against the engine's own view of its rendering.

#include <gtest/gtest.h>

#include <sstream>

#include "zarnik.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace {

using namespace ZarnikManager;

TEST(RenderStateText, PrintsNamesAndOtherValuesAsNumbers) {
  std::ostringstream text;
  text << Stopped << ' ' << Paused << ' ' << Running << ' ' << static_cast<StateType>(7);
  EXPECT_EQ("Stopped Paused Running 7", text.str());
}

TEST(RenderState, EveryRequestFromEveryStateKeepsTheEngineInStep) {
  ASSERT_TRUE(apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr));
  const StateType unknown = static_cast<StateType>(3);
  struct Step {
    StateType from, requested, expected;
  };
  const Step steps[] = {
      {Running, Running, Running}, {Running, Paused, Paused},   {Running, Stopped, Stopped},
      {Running, unknown, Running}, {Paused, Running, Running},  {Paused, Paused, Paused},
      {Paused, Stopped, Stopped},  {Paused, unknown, Paused},   {Stopped, Running, Running},
      {Stopped, Paused, Stopped},  {Stopped, Stopped, Stopped}, {Stopped, unknown, Stopped},
  };
  for (const Step& step : steps) {
    // Stopping first puts the engine in step with the record whatever came before.
    SetRenderState(Stopped);
    SetRenderState(step.from == Stopped ? Stopped : Running);
    SetRenderState(step.from);
    ASSERT_EQ(step.from, GetRenderState());

    const uint64_t restarts = ApiRenderEngine::restartCount();
    SetRenderState(step.requested);

    std::ostringstream name;
    name << step.from << " -> " << step.requested;
    EXPECT_EQ(step.expected, GetRenderState()) << name.str();
    EXPECT_EQ(step.expected == Stopped, ApiRenderEngine::isRenderingStopped()) << name.str();
    EXPECT_EQ(step.expected == Paused, ApiRenderEngine::isRenderingPaused()) << name.str();
    // Only a stopped render starts over; a paused one continues where it was.
    EXPECT_EQ(step.from == Stopped && step.expected == Running,
              ApiRenderEngine::restartCount() > restarts)
        << name.str();
  }
  apiMode_Shared_exit(nullptr);
}

}  // namespace
}  // namespace Zarnik
