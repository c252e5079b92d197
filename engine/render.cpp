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

constexpr float kMidGreyLinear = 0.2176f;     // display value 0.5
constexpr uint64_t kMaxPreviewPixels = uint64_t(1) << 26;
constexpr uint64_t kMaxImagePixels = uint64_t(1) << 26;

float ToLinear(float display) { return std::pow(std::max(display, 0.0f), 2.2f); }

uint8_t ToDisplayByte(float linear) {
    if (!(linear > 0)) return 0;
    const float display = std::pow(std::min(linear, 1.0f), 1.0f / 2.2f);
    return uint8_t(std::lround(display * 255.0f));
}

// The average colour of a PNG file, linear; false when it cannot be read.
bool AverageImageColour(const char* path, float_3& colour) {
    if (!path || !*path) return false;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path)) return false;
    if (image.width == 0 || image.height == 0 || uint64_t(image.width) * image.height > kMaxImagePixels) {
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    double sum[3] = {0, 0, 0};
    const size_t count = size_t(image.width) * image.height;
    for (size_t i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) sum[c] += pixels[i * 3 + size_t(c)];
    colour = {ToLinear(float(sum[0] / count / 255.0)), ToLinear(float(sum[1] / count / 255.0)),
              ToLinear(float(sum[2] / count / 255.0))};
    return true;
}

// The node a link stands for: links pass their input through.
NodeImpl* LookThroughLinks(NodeImpl* node) {
    for (int hops = 0; node && node->nodeType == Types::Link && hops < 16; ++hops) {
        uint32_t ix;
        node = FindPinById(node, Pins::LinkInput, ix) ? node->pins[ix].node : nullptr;
    }
    return node;
}

float_3 MaterialColour(NodeImpl* material) {
    const float_3 grey{kMidGreyLinear, kMidGreyLinear, kMidGreyLinear};
    uint32_t ix;
    if (!FindPinById(material, material->nodeType == 18 ? 145 : 30, ix)) return grey;
    NodeImpl* input = material->pins[ix].node;
    if (!input) return grey;
    Components c;
    const int valueIx = AttrIndex(input, Attrs::Value);
    const bool hasValue = valueIx >= 0 && input->attrs[size_t(valueIx)].components(0, c) &&
                          FamilyOf(input->attrs[size_t(valueIx)].kind()) == ValueFamily::Real;
    if (input->nodeType == Types::RgbTexture && hasValue) return {c.reals[0], c.reals[1], c.reals[2]};
    if (input->nodeType == Types::FloatTexture && hasValue) return {c.reals[0], c.reals[0], c.reals[0]};
    if (input->nodeType == Types::ImageTexture) {
        const int fileIx = AttrIndex(input, Attrs::Filename);
        float_3 average;
        if (fileIx >= 0 && AverageImageColour(input->attrs[size_t(fileIx)].text(0), average)) return average;
    }
    return grey;
}

void PaintPreview(float_3 colour, uint32_t width, uint32_t height, float distance, PreviewType type,
                  uint8_t* buffer) {
    const float side = float(std::min(width, height));
    const float radius = std::isfinite(distance) && distance > 0 ? std::clamp(0.8f / distance, 0.05f, 1.0f) : 0.8f;
    // Light from the upper left, a little towards the viewer.
    const float lx = -0.5773503f, ly = 0.5773503f, lz = 0.5773503f;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* px = buffer + (size_t(y) * width + x) * 4;
            px[3] = 255;
            float shade = 1.0f;
            bool onSphere = type == ApiRenderEngine::PREVIEW_FLAT;
            if (!onSphere) {
                const float u = ((float(x) + 0.5f) - width * 0.5f) / (side * 0.5f);
                const float v = (height * 0.5f - (float(y) + 0.5f)) / (side * 0.5f);
                const float d2 = u * u + v * v;
                if (d2 < radius * radius) {
                    onSphere = true;
                    const float nx = u / radius, ny = v / radius, nz = std::sqrt(std::max(0.0f, 1.0f - d2 / (radius * radius)));
                    shade = 0.08f + 0.92f * std::max(0.0f, nx * lx + ny * ly + nz * lz);
                }
            }
            if (onSphere) {
                px[0] = ToDisplayByte(colour.x * shade);
                px[1] = ToDisplayByte(colour.y * shade);
                px[2] = ToDisplayByte(colour.z * shade);
            } else {
                const bool light = ((x / 16) + (y / 16)) % 2 == 0;
                px[0] = px[1] = px[2] = light ? 204 : 153;
            }
        }
    }
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

bool ApiRenderEngine::previewMaterial(ApiNode* material, uint32_t width, uint32_t height, uint32_t samples,
                                      float distance, PreviewType type, uint8_t* buffer) {
    return Guarded(false, [&]() {
        NodeImpl* node = LookThroughLinks(ResolveNode(material));
        if (!node || !node->desc->isMaterial || !buffer || width == 0 || height == 0) return false;
        if (uint64_t(width) * height > kMaxPreviewPixels) return false;
        PaintPreview(MaterialColour(node), width, height, distance, type, buffer);
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
