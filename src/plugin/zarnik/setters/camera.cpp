#include "zarnik/setters/camera.h"

#include <algorithm>
#include <cmath>

#include <glog/logging.h>

#include "utils/message.h"
#include "zarnik/json_read.h"
#include "zarnik/setters/kernel.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace CameraSetter {
namespace {

using JsonRead::Bool;
using JsonRead::Float;
using JsonRead::Float3;
using JsonRead::Int;
using JsonRead::Member;

constexpr NodeType kThinLens = 13;
constexpr NodeType kPanoramic = 62;

// Render-target pins.
constexpr PinId kCameraPin = 19;
constexpr PinId kKernelPin = 89;
constexpr PinId kFilmSettingsPin = 311;
constexpr PinId kResolutionPin = 198;
constexpr PinId kRayEpsilonPin = 144;

// Camera pins.
enum : PinId {
  kPosition = 133,
  kTarget = 235,
  kUp = 248,
  kFov = 53,
  kOrthoWidth = 209,
  kOrthographic = 127,
  kAperture = 8,
  kDistortion = 35,
  kApertureEdge = 10,
  kClipDepth = 116,
  kPixelAspect = 132,
  kApertureAspect = 9,
  kPerspectiveCorrection = 130,
  kStereoMode = 227,
  kStereoOutput = 228,
  kStereoDist = 224,
  kEyeFalloff = 225,
  kBlackoutLatitude = 226,
  kLeftFilter = 93,
  kRightFilter = 200,
  kLensShift = 95,
  kAutoFocus = 12,
  kFocalDepth = 51,
  kPanoMode = 20,
  kPanoFovX = 54,
  kPanoFovY = 55,
};

constexpr float kPi = 3.1415927f;

ApiNode* camera_ = nullptr;
float fov_ = 35.0f;
float scale_ = 214.0f;
float fovx_ = 35.0f;
float fovy_ = 60.0f;
bool orthographic_ = false;
Vec3<float> pos_{0.0f, 0.0f, -50.0f};
Vec3<float> target_{0.0f, 0.0f, 0.0f};
Vec3<float> up_{0.0f, 1.0f, 0.0f};
Json::Value thinlens_;

// The camera is whatever sits in the current render target's camera pin. The pointer is
// refreshed from there before each use: a camera replaced meanwhile (a new render target,
// an import, the user in the engine's window) has been freed with its pin.
ApiNode* CurrentCamera() {
  ApiNode* render_target = ZarnikManager::RenderTarget();
  camera_ = render_target ? render_target->inputNode(kCameraPin) : nullptr;
  return camera_;
}

// The camera of `type` in the render target, created with the host's view when the pin
// holds none or another kind.
ApiNode* CameraOfType(NodeType type) {
  ApiNode* render_target = ZarnikManager::RenderTarget();
  if (!render_target) return camera_ = nullptr;
  camera_ = render_target->inputNode(kCameraPin);
  if (camera_ && camera_->type() == type) return camera_;
  camera_ = render_target->createInternal(kCameraPin, type, true, true);
  if (!camera_) {
    LOG(ERROR) << "Could not create a camera of type " << type;
    return nullptr;
  }
  camera_->setPinValue(kPosition, pos_);
  camera_->setPinValue(kTarget, target_);
  camera_->setPinValue(kUp, up_);
  return camera_;
}

// Film width and height in pixels, from the film settings node or the render target.
bool FilmResolution(float& width, float& height) {
  ApiNode* render_target = ZarnikManager::RenderTarget();
  if (!render_target) return false;
  ApiNode* film = render_target->connectedNode(kFilmSettingsPin);
  const int32_2 resolution = (film ? film : render_target)->getPinInt2(kResolutionPin);
  // A degenerate film has no aspect ratio; the caller keeps the square one.
  if (resolution.x <= 0 || resolution.y <= 0) return false;
  width = static_cast<float>(resolution.x);
  height = static_cast<float>(resolution.y);
  return true;
}

float OrthographicWidth() {
  float width = 1.0f, height = 1.0f;
  FilmResolution(width, height);
  return scale_ * width / height;
}

float Distance(const float_3& a, const float_3& b) {
  const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

void WriteAutoRayEpsilon() {
  if (!KernelSetter::AutoRayEpsilon()) return;
  ApiNode* render_target = ZarnikManager::RenderTarget();
  const float epsilon = GetRayEpsilon(render_target);
  if (!(epsilon > 0.0f) || !render_target) return;
  if (ApiNode* kernel = render_target->inputNode(kKernelPin)) kernel->setPinValue(kRayEpsilonPin, epsilon);
}

Json::Value FilterJson(float x, float y, float z) {
  Json::Value filter(Json::objectValue);
  filter["x"] = static_cast<double>(x);
  filter["y"] = static_cast<double>(y);
  filter["z"] = static_cast<double>(z);
  return filter;
}

Json::Value DefaultDocument() {
  Json::Value doc(Json::objectValue);
  doc["cmd"] = 36;
  doc["type"] = 0;
  doc["fov"] = 35;
  doc["distortion"] = 0;
  doc["aperture"] = 0;
  doc["stereoMode"] = 1;
  doc["stereoOutput"] = 0;
  doc["stereoDist"] = static_cast<double>(0.02f);
  doc["leftFilter"] = FilterJson(1.0f, 0.0f, 0.812f);
  doc["rightFilter"] = FilterJson(0.0f, 1.0f, 0.188f);
  doc["lensShiftX"] = 0;
  doc["lensShiftY"] = 0;
  doc["focalDepth"] = 10;
  doc["focusType"] = 2;
  return doc;
}

}  // namespace

void Init() { SetDefaults(); }

void SetDefaults() {
  orthographic_ = false;
  fov_ = 35.0f;
  scale_ = 214.0f;
  fovx_ = 35.0f;
  fovy_ = 60.0f;
  Set(Message::JsonToString(DefaultDocument()));
}

void Set(const std::string& json) {
  Json::Value section;
  if (!JsonRead::ParseSection(json, section)) return;
  switch (Int(section, "type", 0)) {
    case 0:
      SetThinLens(section);
      break;
    case 1:
      SetPanoramic(section);
      break;
    default:
      LOG(ERROR) << "Error: Undefined Camera Type";
      break;
  }
}

void SetThinLens(const Json::Value& section) {
  // A missing section (and anything that is not an object) leaves the camera alone.
  if (!section.isObject()) return;
  ApiNode* camera = CameraOfType(kThinLens);
  if (!camera) return;

  fov_ = Float(section, "fov", 35.0);
  const float distortion = Float(section, "distortion", 0.0);
  const float aperture = Float(section, "aperture", 0.0);
  const float aperture_edge = Float(section, "apertureEdge", 1.0);
  const float pixel_aspect = Float(section, "pixelAspectRatio", 1.0);
  const float aperture_aspect = Float(section, "apertureAspectRatio", 1.0);
  const bool perspective_correction = Bool(section, "perspectiveCorrection", false);
  const int stereo_mode = Int(section, "stereoMode", 1);
  const int stereo_output = Int(section, "stereoOutput", 0);
  const float stereo_dist = Float(section, "stereoDist", 0.02);
  const float_3 left_filter = Float3(Member(section, "leftFilter"), {0.0f, 0.0f, 0.0f});
  const float_3 right_filter = Float3(Member(section, "rightFilter"), {0.0f, 0.0f, 0.0f});
  const float_2 lens_shift{Float(section, "lensShiftX", 0.0), Float(section, "lensShiftY", 0.0)};
  const int focus_type = Int(section, "focusType", 0);
  const float focal_depth_setting = Float(section, "focalDepth", 10.0);
  const float clip_depth = Float(section, "lensClipDepth", 0.0);

  camera->setPinValue(kAperture, aperture);
  camera->setPinValue(kDistortion, distortion);
  camera->setPinValue(kApertureEdge, aperture_edge);
  camera->setPinValue(kClipDepth, clip_depth);
  camera->setPinValue(kPixelAspect, pixel_aspect);
  camera->setPinValue(kApertureAspect, aperture_aspect);
  camera->setPinValue(kPerspectiveCorrection, perspective_correction);
  camera->setPinValue(kStereoMode, static_cast<int32_t>(stereo_mode));
  camera->setPinValue(kStereoOutput, static_cast<int32_t>(stereo_output));
  camera->setPinValue(kStereoDist, stereo_dist);
  camera->setPinValue(kLeftFilter, left_filter);
  camera->setPinValue(kRightFilter, right_filter);
  camera->setPinValue(kLensShift, lens_shift);

  // Focus type 0 focuses on the look-at point, 1 at the given depth, 2 automatically.
  const float focal_depth = focus_type == 0 ? Distance(pos_, target_) : focal_depth_setting;
  camera->setPinValue(kAutoFocus, focus_type == 2);
  if (focus_type != 2) camera->setPinValue(kFocalDepth, focal_depth);

  camera->setPinValue(kOrthographic, orthographic_);
  // Kept so that leaving an orthographic view can bring these settings back.
  thinlens_ = section;
  UpdateFov();
}

void SetPanoramic(const Json::Value& section) {
  ApiNode* camera = CameraOfType(kPanoramic);
  fovx_ = Float(section, "fovx", 35.0);
  fovy_ = Float(section, "fovy", 60.0);
  if (!camera) return;

  camera->setPinValue(kPanoMode, static_cast<int32_t>(Int(section, "mode", 0)));
  camera->setPinValue(kClipDepth, Float(section, "panoClipDepth", 0.001));
  camera->setPinValue(kPanoFovX, fovx_);
  camera->setPinValue(kPanoFovY, fovy_);
  camera->setPinValue(kStereoOutput, static_cast<int32_t>(Int(section, "panoStereoOutput", 0)));
  camera->setPinValue(kStereoDist, Float(section, "panoEyeDist", 0.065));
  camera->setPinValue(kEyeFalloff, Float(section, "panoEyeFalloff", 0.3));
  camera->setPinValue(kBlackoutLatitude, Float(section, "panoBlackoutLatitude", 90.0));
  camera->setPinValue(kLeftFilter, Float3(Member(section, "panoLeftFilter"), {0.0f, 0.0f, 0.0f}));
  camera->setPinValue(kRightFilter, Float3(Member(section, "panoRightFilter"), {0.0f, 0.0f, 0.0f}));
}

void SetNode(ApiNode* node) { camera_ = node; }

bool SetPosition(const Vec3<float>& pos, const Vec3<float>& target, const Vec3<float>& up) {
  pos_ = pos;
  target_ = target;
  up_ = up;
  ApiNode* camera = CurrentCamera();
  if (!camera) return false;

  camera->setPinValue(kPosition, pos_);
  camera->setPinValue(kTarget, target_);
  camera->setPinValue(kUp, up_);
  WriteAutoRayEpsilon();
  if (camera->type() == kThinLens && orthographic_) camera->setPinValue(kOrthoWidth, OrthographicWidth());
  return true;
}

bool SetView(float value, bool orthographic) {
  bool changed = orthographic != orthographic_;
  orthographic_ = orthographic;
  ApiNode* camera = CurrentCamera();
  if (!camera) return changed;

  if (camera->type() == kPanoramic) {
    // A panoramic camera cannot show an orthographic view.
    if (orthographic) {
      SetThinLens(thinlens_);
      return true;
    }
    camera->setPinValue(kPanoFovX, fovx_);
    camera->setPinValue(kPanoFovY, fovy_);
    return changed;
  }

  if (camera->type() == kThinLens) {
    if (changed) camera->setPinValue(kOrthographic, orthographic_);
    if (orthographic) {
      scale_ = value;
    } else if (value != fov_) {
      fov_ = value;
      changed = true;
    }
    UpdateFov();
  }
  return changed;
}

void UpdateFov() {
  ApiNode* camera = CurrentCamera();
  if (!camera || camera->type() != kThinLens) return;
  if (orthographic_) {
    camera->setPinValue(kOrthoWidth, OrthographicWidth());
  } else {
    camera->setPinValue(kFov, FixFov(fov_));
  }
}

float FixFov(float fov) {
  float width = 0.0f, height = 0.0f;
  if (!FilmResolution(width, height)) return fov;
  // The host's field of view is vertical, the camera's horizontal.
  const float half_angle = fov * 0.5f * kPi / 180.0f;
  const float t = std::tan(half_angle) * width / height;
  return std::atan(t) * 180.0f / kPi * 2.0f;
}

float GetRayEpsilon(ApiNode* render_target) {
  ApiNode* camera = render_target ? render_target->inputNode(kCameraPin) : nullptr;
  if (!camera) return -1.0f;
  const float distance = Distance(camera->getPinFloat3(kTarget), camera->getPinFloat3(kPosition));
  float angle = 1.57f;
  if (camera->type() == kThinLens) {
    angle = camera->getPinFloat(kFov) * kPi / 180.0f;
  } else if (camera->type() == kPanoramic) {
    angle = camera->getPinFloat(kPanoFovX) * kPi / 180.0f;
  }
  const float epsilon = distance * std::sqrt(angle) * 0.000001f;
  // NaN (a negative angle) takes the lower bound like any too-small value.
  if (!(epsilon >= 0.000001f)) return 0.000001f;
  return std::min(epsilon, 0.1f);
}

}  // namespace CameraSetter
}  // namespace Zarnik
