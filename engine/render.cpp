// ApiRenderEngine: the render target, the render state machine and material previews.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <png.h>

#include "core.h"
#include "render/renderer.h"
#include "session.h"

namespace Zarnik {
namespace Engine {
namespace {

struct Renderer {
    RenderPriority priority = ApiRenderEngine::PRIORITY_NORMAL;
    uint64_t restarts = 0;
    uint64_t targetId = 0;
};

Renderer& State() {
    static Renderer* state = new Renderer();
    return *state;
}

constexpr uint64_t kMaxPreviewPixels = uint64_t(1) << 24;
constexpr uint32_t kMaxPreviewSamples = 8;

// The node a link stands for: links pass their input through.
NodeImpl* LookThroughLinks(NodeImpl* node) {
    for (int hops = 0; node && node->nodeType == Types::Link && hops < 16; ++hops) {
        uint32_t ix;
        node = FindPinById(node, Pins::LinkInput, ix) ? node->pins[ix].node : nullptr;
    }
    return node;
}

}  // namespace

void TakeInChanges() {
    if (Render::Active()) Render::Replace(Render::TakeSnapshot(NodeWithId(State().targetId)));
}

void ResetRenderState() {
    Render::Shutdown();
    State() = Renderer();
}

std::string RenderStateName() {
    switch (Render::CurrentActivity()) {
    case Render::Activity::Running:
        return "running";
    case Render::Activity::Paused:
        return "paused";
    default:
        return "stopped";
    }
}

}  // namespace Engine

using namespace Engine;

bool ApiRenderEngine::setRenderTargetNode(ApiNode* node) {
    return Guarded(false, [&]() {
        if (!node) {
            Engine::State().targetId = 0;
            return true;
        }
        NodeImpl* target = ResolveLiveNode(node);
        if (!target || target->nodeType != Types::RenderTarget) return false;
        Engine::State().targetId = target->id;
        return true;
    });
}

ApiNode* ApiRenderEngine::getRenderTargetNode() {
    return Guarded(static_cast<ApiNode*>(nullptr), []() -> ApiNode* { return NodeWithId(Engine::State().targetId); });
}

void ApiRenderEngine::setRenderPriority(RenderPriority priority) {
    GuardedVoid([&]() { Engine::State().priority = priority; });
}

RenderPriority ApiRenderEngine::renderPriority() {
    return Guarded(RenderPriority(PRIORITY_NORMAL), []() { return Engine::State().priority; });
}

// The snapshot is taken here, under the engine's lock, so that the workers never see a
// half-made edit; the acceleration structures are built on a worker.
void ApiRenderEngine::restartRendering() {
    GuardedVoid([]() {
        Render::Restart(Render::TakeSnapshot(NodeWithId(Engine::State().targetId)));
        ++Engine::State().restarts;
    });
}

void ApiRenderEngine::continueRendering() {
    GuardedVoid([]() { Render::Continue(); });
}

void ApiRenderEngine::pauseRendering() {
    GuardedVoid([]() { Render::Pause(); });
}

void ApiRenderEngine::stopRendering() {
    GuardedVoid([]() { Render::Stop(); });
}

bool ApiRenderEngine::isRenderingPaused() {
    return Guarded(false, []() { return Render::CurrentActivity() == Render::Activity::Paused; });
}

bool ApiRenderEngine::isRenderingStopped() {
    return Guarded(true, []() { return Render::CurrentActivity() == Render::Activity::Stopped; });
}

uint64_t ApiRenderEngine::restartCount() {
    return Guarded(uint64_t(0), []() { return Engine::State().restarts; });
}

// The preview renders on the calling thread with the renderer itself; the host asks for it
// while it waits, so the sample count is capped to keep that wait short.
bool ApiRenderEngine::previewMaterial(ApiNode* material, uint32_t width, uint32_t height, uint32_t samples,
                                      float distance, PreviewType type, uint8_t* buffer) {
    return Guarded(false, [&]() {
        NodeImpl* node = LookThroughLinks(ResolveNode(material));
        if (!node || !node->desc->isMaterial || !buffer || width == 0 || height == 0) return false;
        if (uint64_t(width) * height > kMaxPreviewPixels) return false;
        std::shared_ptr<Render::Scene> scene =
            Render::PreviewScene(node, width, height, distance, type == ApiRenderEngine::PREVIEW_FLAT);
        if (!scene) return false;
        Render::Picture picture;
        Render::RenderNow(*scene, std::clamp<uint32_t>(samples, 1, kMaxPreviewSamples), picture);
        std::memcpy(buffer, picture.rgba.data(), picture.rgba.size());
        return true;
    });
}

// The picture calls take only the renderer's own lock: a caller waiting for samples
// never holds up the host's edits.
bool ApiRenderEngine::copyImage(uint32_t& width, uint32_t& height, uint64_t& samples, uint8_t* buffer,
                                size_t bufferSize) {
    width = height = 0;
    samples = 0;
    try {
        Render::Picture picture;
        if (!Render::CopyPicture(picture)) return false;
        width = picture.width;
        height = picture.height;
        samples = picture.samples;
        if (!buffer) return true;
        if (bufferSize < picture.rgba.size()) return false;
        std::memcpy(buffer, picture.rgba.data(), picture.rgba.size());
        return true;
    } catch (...) {
        return false;
    }
}

bool ApiRenderEngine::saveImage(const char* path) {
    if (!path || !*path) return false;
    try {
        Render::Picture picture;
        if (!Render::CopyPicture(picture)) return false;
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        image.width = picture.width;
        image.height = picture.height;
        image.format = PNG_FORMAT_RGBA;
        return png_image_write_to_file(&image, path, 0, picture.rgba.data(), 0, nullptr) != 0;
    } catch (...) {
        return false;
    }
}

uint64_t ApiRenderEngine::samplesDone() {
    try {
        return Render::SamplesDone();
    } catch (...) {
        return 0;
    }
}

bool ApiRenderEngine::waitForSamples(uint64_t samples, uint32_t timeoutMs) {
    try {
        return Render::WaitForSamples(samples, timeoutMs);
    } catch (...) {
        return false;
    }
}

}  // namespace Zarnik
