#include "zarnik/setters/quality.h"

#include <algorithm>

#include "utils/message.h"
#include "zarnik/json_read.h"
#include "zarnik/setters/camera.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace QualitySetter {
namespace {

constexpr PinId kKernelPin = 89;
constexpr PinId kMaxSamplesPin = 108;
constexpr PinId kFilmSettingsPin = 311;
constexpr PinId kResolutionPin = 198;
constexpr NodeType kFilmSettingsNode = 100;

constexpr int32_t kMaxWidth = 1000;
constexpr int32_t kMaxHeight = 600;
constexpr int32_t kSizeFromViewport = 2;

int32_t width_ = 1000;
int32_t height_ = 600;
int32_t max_samples_ = 16000;
bool update_ = true;
int32_t size_type_ = 1;
int32_2 su_resolution_{1024, 600};

int32_2 Capped(int32_t width, int32_t height) { return {std::min(width, kMaxWidth), std::min(height, kMaxHeight)}; }

// A new film settings node replaces the old one, and the camera follows the new aspect.
void ApplyFilmSize(const int32_2& size) {
  width_ = size.x;
  height_ = size.y;
  if (ApiNode* render_target = ZarnikManager::RenderTarget()) {
    if (ApiNode* film = render_target->createInternal(kFilmSettingsPin, kFilmSettingsNode, true, true)) {
      film->setPinValue(kResolutionPin, int32_2{width_, height_});
    }
  }
  CameraSetter::UpdateFov();
}

Json::Value DefaultDocument() {
  Json::Value doc(Json::objectValue);
  doc["cmd"] = 31;
  doc["width"] = 1024;
  doc["height"] = 600;
  doc["sizeType"] = 1;
  doc["maxSamples"] = 16000;
  doc["update"] = true;
  return doc;
}

}  // namespace

void Init() {
  width_ = 1024;
  height_ = 600;
  max_samples_ = 16000;
  update_ = true;
  size_type_ = 1;
  su_resolution_ = {1024, 600};
  Set(Message::JsonToString(DefaultDocument()));
}

void Set(const std::string& json) {
  Json::Value section;
  if (!JsonRead::ParseSection(json, section)) return;

  int32_2 size = Capped(JsonRead::Int(section, "width", 1024), JsonRead::Int(section, "height", 600));
  size_type_ = JsonRead::Int(section, "sizeType", 0);
  if (size_type_ == kSizeFromViewport) size = su_resolution_;
  const int32_t max_samples = JsonRead::Int(section, "maxSamples", 16000);
  update_ = JsonRead::Bool(section, "update", true);

  const bool resized = size.x != width_ || size.y != height_;
  if (resized) update_ = true;

  // A kernel created since the last write (another kernel type, a new render target)
  // starts from the engine's sample count, so the kernel is checked as well.
  ApiNode* render_target = ZarnikManager::RenderTarget();
  ApiNode* kernel = render_target ? render_target->inputNode(kKernelPin) : nullptr;
  const bool kernel_differs = kernel && kernel->getPinInt(kMaxSamplesPin) != max_samples;
  if (max_samples != max_samples_ || kernel_differs) {
    max_samples_ = max_samples;
    if (kernel) kernel->setPinValue(kMaxSamplesPin, max_samples_);
    ApiChangeManager::update();
  }

  if (resized) ApplyFilmSize(size);
  if (update_) ApiChangeManager::update();
}

bool SetSketchupExtents(int width, int height) {
  su_resolution_ = Capped(width, height);
  if (size_type_ != kSizeFromViewport) return false;
  if (su_resolution_.x == width_ && su_resolution_.y == height_) return false;
  ApplyFilmSize(su_resolution_);
  ApiChangeManager::update();
  return true;
}

}  // namespace QualitySetter
}  // namespace Zarnik
