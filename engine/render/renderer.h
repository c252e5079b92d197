// The progressive renderer: a pool of the engine's own worker threads accumulating samples
// of one frame (a scene snapshot and its image) at a time.
//
// Lock order: the engine's lock, then the renderer's. Workers take only the renderer's lock
// and read only their frame's snapshot, so the host may edit the node graph meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "render/scene.h"

namespace Zarnik {
namespace Engine {
namespace Render {

enum class Activity { Stopped, Paused, Running };

struct Picture {
    uint32_t width = 0, height = 0;
    uint64_t samples = 0;
    std::vector<uint8_t> rgba;     // rows top to bottom
};

// Starts over on a new snapshot (null: nothing to render, the last image is dropped).
void Restart(std::shared_ptr<Scene> scene);
// Takes in an edited scene: the frame starts over on it, keeping the activity (a paused
// render stays paused). Nothing happens while stopped.
void Replace(std::shared_ptr<Scene> scene);
void Pause();
void Continue();
void Stop();
Activity CurrentActivity();
bool Active();     // running or paused
// Stops and joins every worker and forgets the frame.
void Shutdown();

uint64_t SamplesDone();
// The current image after exposure and display encoding; false when there is none.
bool CopyPicture(Picture& out);
// Waits, without any engine lock, until the frame has samples or rendering cannot get
// there (paused, stopped, finished, restarted); true when the samples were reached.
bool WaitForSamples(uint64_t samples, uint32_t timeoutMs);

// Casts one primary ray through every pixel centre of a scene, through the renderer's own
// hit query or, given one, straight into a scene of the ray-query library; the hit count.
uint64_t CastPrimaryRays(Scene& scene, RTCScene bare);

// Renders a whole scene on the calling thread (material previews) and encodes it.
void RenderNow(Scene& scene, uint32_t samples, Picture& out);

}  // namespace Render
}  // namespace Engine
}  // namespace Zarnik
