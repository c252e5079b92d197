#include "zarnik/setters/environment.h"

#include <iomanip>
#include <locale>
#include <map>
#include <sstream>

#include <glog/logging.h>
#include <ruby.h>

#include "application/ruby_bridge.h"
#include "utils/message.h"
#include "utils/paths.h"
#include "zarnik/json_read.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace EnvironmentSetter {
namespace {

using JsonRead::Bool;
using JsonRead::Float;
using JsonRead::Float3;
using JsonRead::Int;
using JsonRead::Member;

enum EnvironmentType : int { kDaylightSection = 0, kTextureSection = 1, kColorSection = 2 };

constexpr NodeType kRenderTargetNode = 56;
constexpr NodeType kDaylightNode = 14;
constexpr NodeType kTextureEnvironmentNode = 37;
constexpr NodeType kImageTextureNode = 34;
constexpr NodeType kColorGammaNode = 51;
constexpr NodeType kColorNode = 33;

// Render-target pins.
constexpr PinId kEnvironmentPin = 43;
constexpr PinId kVisibleEnvironmentPin = 303;

// Environment pins.
enum : PinId {
  kEnvironmentOn = 79,
  kDaylightModel = 114,
  kTurbidity = 246,
  kPower = 138,
  kNorthOffset = 120,
  kSkyColor = 217,
  kSunsetColor = 232,
  kSunSize = 233,
  kGroundColor = 331,
  kSunDirection = 231,
  kTextureInput = 240,
};

// Sun-direction pins.
enum : PinId {
  kLatitude = 91,
  kLongitude = 99,
  kMonth = 115,
  kDay = 27,
  kHour = 75,
  kGmtOffset = 67,
};

// Image texture pins and attributes.
constexpr AttributeId kFileName = 34;
constexpr AttributeId kReload = 124;
constexpr PinId kTexturePower = 138;
constexpr PinId kGamma = 57;
constexpr PinId kTextureFlag = 83;
constexpr PinId kUvTransform = 243;
constexpr AttributeId kColorValue = 185;

constexpr float_3 kInitialSkyColor{0.25f, 0.58f, 1.0f};
constexpr float_3 kInitialSunsetColor{0.79f, 0.38f, 0.17f};

ApiNode* environment_ = nullptr;
bool use_sun_ = false;
std::string texture_path_;
float_3 sky_color_ = kInitialSkyColor;
float_3 sunset_color_ = kInitialSunsetColor;

// While this is above zero, daylight changes are not reported: writes made by this setter
// are settings the plug-in itself just sent (each would go out half-applied, one pin at a
// time), and changes made while a report is being handled must not start another.
int applying_ = 0;
struct Applying {
  Applying() { ++applying_; }
  ~Applying() { --applying_; }
};

// ---- Environment watch -------------------------------------------------------------------

struct EnvData {
  ApiNode* render_target = nullptr;
  ApiNode* environment = nullptr;
  std::string page;
};

EnvData watched_;
void OnEnvironmentChange(const ApiChangeManager::ChangeEvent& event, void* user_data);
const ApiChangeManager::Observer kObserver{&OnEnvironmentChange, &watched_};

// Fixed point with six decimals, whatever locale the host has set.
std::string FormatFloat(float value) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::fixed << std::setprecision(6) << static_cast<double>(value);
  return text.str();
}

void PutVector(std::map<std::string, std::string>& table, const std::string& name, const char* suffix,
               const float_3& value) {
  table[name + " " + suffix[0]] = FormatFloat(value.x);
  table[name + " " + suffix[1]] = FormatFloat(value.y);
  table[name + " " + suffix[2]] = FormatFloat(value.z);
}

// The watched environment if it is still the one in its render target; an observed input
// can outlive a daylight that was replaced after the watch began.
ApiNode* WatchedDaylight(const EnvData& data) {
  if (!data.environment || !ZarnikManager::IsRenderTarget(data.render_target)) return nullptr;
  ApiNode* environment = data.render_target->inputNode(kVisibleEnvironmentPin);
  if (!environment) environment = data.render_target->inputNode(kEnvironmentPin);
  return environment == data.environment ? environment : nullptr;
}

void OnEnvironmentChange(const ApiChangeManager::ChangeEvent&, void* user_data) {
  if (applying_ > 0 || !user_data) return;
  // Only the thread that runs Ruby may call into it.
  if (!ruby_native_thread_p()) return;
  ApiNode* daylight = WatchedDaylight(*static_cast<const EnvData*>(user_data));
  if (!daylight) return;

  std::map<std::string, std::string> table;
  PutVector(table, "ground_color", "rgb", daylight->getPinFloat3(kGroundColor));
  PutVector(table, "sky_color", "rgb", daylight->getPinFloat3(kSkyColor));
  PutVector(table, "sunset_color", "rgb", daylight->getPinFloat3(kSunsetColor));
  PutVector(table, "sun_dir", "xyz", daylight->getPinFloat3(kSunDirection));
  table["northoffset"] = FormatFloat(daylight->getPinFloat(kNorthOffset));
  if (ApiNode* sun = daylight->inputNode(kSunDirection)) {
    table["latitude"] = FormatFloat(sun->getPinFloat(kLatitude));
    table["longitude"] = FormatFloat(sun->getPinFloat(kLongitude));
    table["month"] = std::to_string(sun->getPinInt(kMonth));
    table["day"] = std::to_string(sun->getPinInt(kDay));
    table["hour"] = FormatFloat(sun->getPinFloat(kHour));
    table["gmt_offset"] = std::to_string(sun->getPinInt(kGmtOffset));
  }

  Applying answering;
  std::map<std::string, std::string> answer;
  Ruby::call_class_method("ZarnikPlugin::Settings.update_environment", answer, table);
}

// ---- Settings ----------------------------------------------------------------------------

// The environment pin's node when it is of `type`; otherwise a new one of that type.
ApiNode* EnvironmentOfType(NodeType type) {
  ApiNode* render_target = ZarnikManager::RenderTarget();
  if (!render_target) return environment_ = nullptr;
  environment_ = render_target->inputNode(kEnvironmentPin);
  if (environment_ && environment_->type() == type) return environment_;
  environment_ = render_target->createInternal(kEnvironmentPin, type, true, true);
  if (!environment_) LOG(ERROR) << "Could not create an environment of type " << type;
  return environment_;
}

// The node in the render target's environment pin. The pointer is refreshed from there
// because an environment replaced meanwhile has been freed with its pin.
ApiNode* CurrentEnvironment() {
  ApiNode* render_target = ZarnikManager::RenderTarget();
  environment_ = render_target ? render_target->inputNode(kEnvironmentPin) : nullptr;
  return environment_;
}

// A texture or colour environment without the sun.
ApiNode* PlainEnvironment() {
  ApiNode* environment = EnvironmentOfType(kTextureEnvironmentNode);
  if (environment) environment->setPinValue(kEnvironmentOn, true);
  return environment;
}

// Applies the daylight for a texture or colour section that asks for the sun; without a
// daylight the texture or colour goes to whatever environment there is.
ApiNode* EnvironmentForSection(const Json::Value& section) {
  use_sun_ = Bool(section, "useSun", false);
  if (!use_sun_) return PlainEnvironment();
  SetDayLight(section);
  return CurrentEnvironment();
}

// The node in `pin` of `owner` when it is of `type`; otherwise a new pin-owned one.
ApiNode* InputOfType(ApiNode* owner, PinId pin, NodeType type) {
  ApiNode* input = owner->connectedNode(pin);
  if (input && input->type() == type) return input;
  return owner->createInternal(pin, type, true, true);
}

Json::Value Vector(float x, float y, float z) {
  Json::Value v(Json::objectValue);
  v["x"] = static_cast<double>(x);
  v["y"] = static_cast<double>(y);
  v["z"] = static_cast<double>(z);
  return v;
}

Json::Value DefaultDocument() {
  Json::Value doc(Json::objectValue);
  doc["cmd"] = 27;
  doc["type"] = kDaylightSection;
  doc["latitude"] = static_cast<double>(50.7667f);
  doc["longitude"] = static_cast<double>(4.4667f);
  doc["day"] = 1;
  doc["month"] = 3;
  doc["gmtoffset"] = 0;
  doc["hour"] = 14.0;
  doc["turbidity"] = static_cast<double>(2.4f);
  doc["power"] = 1.0;
  doc["northoffset"] = 0.0;
  doc["sun_size"] = 1.0;
  doc["sundir"] = Vector(0.0f, 1.0f, 0.0f);
  doc["sky_color"] = Vector(kInitialSkyColor.x, kInitialSkyColor.y, kInitialSkyColor.z);
  doc["sunset_color"] = Vector(kInitialSunsetColor.x, kInitialSunsetColor.y, kInitialSunsetColor.z);
  return doc;
}

}  // namespace

void Init() { SetDefaults(); }

bool SetDefaults() {
  sky_color_ = kInitialSkyColor;
  sunset_color_ = kInitialSunsetColor;
  return Set(Message::JsonToString(DefaultDocument()));
}

bool Set(const std::string& json) {
  Json::Value section;
  if (!JsonRead::ParseSection(json, section)) return false;
  switch (Int(section, "type", kDaylightSection)) {
    case kDaylightSection:
      return SetDayLight(section);
    case kTextureSection:
      return SetTexture(section);
    case kColorSection:
      return SetColor(section);
    default:
      LOG(ERROR) << "Error: Undefined Environment Type";
      return false;
  }
}

bool SetDayLight(const Json::Value& section) {
  // The sun direction is what tells a daylight section from a stray one.
  if (Member(section, "sundir").isNull()) return false;
  Applying applying;
  ApiNode* daylight = EnvironmentOfType(kDaylightNode);
  if (!daylight) return false;
  daylight->setPinValue(kEnvironmentOn, true);

  const float latitude = Float(section, "latitude", 40.0);
  const float longitude = Float(section, "longitude", -105.0);
  const int month = Int(section, "month", 11);
  const int day = Int(section, "day", 8);
  const float hour = Float(section, "hour", 13.5);
  const int gmt_offset = Int(section, "gmtoffset", -7);
  const float turbidity = Float(section, "turbidity", 2.4);
  const float power = Float(section, "power", 0.96);
  const float north_offset = Float(section, "northoffset", 0.0);
  const float sun_size = Float(section, "sun_size", 0.0);
  sky_color_ = Float3(Member(section, "sky_color"), sky_color_);
  sunset_color_ = Float3(Member(section, "sunset_color"), sunset_color_);

  if (ApiNode* sun = daylight->inputNode(kSunDirection)) {
    sun->setPinValue(kLatitude, latitude);
    sun->setPinValue(kLongitude, longitude);
    sun->setPinValue(kMonth, static_cast<int32_t>(month));
    sun->setPinValue(kDay, static_cast<int32_t>(day));
    sun->setPinValue(kHour, hour);
    sun->setPinValue(kGmtOffset, static_cast<int32_t>(gmt_offset));
  }

  daylight->setPinValue(kDaylightModel, static_cast<int32_t>(1));
  daylight->setPinValue(kTurbidity, turbidity);
  daylight->setPinValue(kPower, power);
  daylight->setPinValue(kNorthOffset, north_offset);
  daylight->setPinValue(kSkyColor, sky_color_);
  daylight->setPinValue(kSunsetColor, sunset_color_);
  if (sun_size > 0.0f) daylight->setPinValue(kSunSize, sun_size);

  // A pure daylight drops the image or colour that an earlier section put under the sky.
  if (Int(section, "type", kDaylightSection) == kDaylightSection) {
    daylight->connectTo(kTextureInput, nullptr, true, false);
  }
  return true;
}

bool SetTexture(const Json::Value& section) {
  std::string path = JsonRead::String(section, "texPath", "");
  if (path.empty()) return false;
  Applying applying;
  ApiNode* environment = EnvironmentForSection(section);
  if (!environment) return false;

  const float power = Float(section, "texPower", 1.0);
  const double rot_x = JsonRead::Number(section, "texRotX", 0.0);
  const double rot_y = JsonRead::Number(section, "texRotY", 0.0);
  const float gamma = Float(section, "texGamma", 1.0);
  double scale = JsonRead::Number(section, "texScale", 1.0);
  // A zero scale would put an infinite scale into the texture transform.
  if (scale == 0.0) scale = 1.0;

  if (!Strings::FileExists(path)) path = Strings::TryToFindResource(path);

  ApiNode* texture = environment->connectedNode(kTextureInput);
  if (!texture || texture->type() != kImageTextureNode || path != texture_path_) {
    texture = environment->createInternal(kTextureInput, kImageTextureNode, true, true);
    if (!texture) return false;
    texture->set(kFileName, path.c_str(), false);
    texture->set(kReload, false, true);
    texture_path_ = path;
  }

  const float s = static_cast<float>(1.0 / scale);
  const float u = static_cast<float>(rot_x / s);
  const float v = static_cast<float>(rot_y / s);
  Matrix<float> transform{};
  transform.m[0][0] = s;
  transform.m[0][3] = u;
  transform.m[1][1] = s;
  transform.m[1][3] = v;
  transform.m[2][2] = 1.0f;

  texture->setPinValue(kTexturePower, power);
  texture->setPinValue(kGamma, gamma);
  texture->setPinValue(kTextureFlag, false);
  texture->setPinValue(kUvTransform, transform);
  return true;
}

bool SetColor(const Json::Value& section) {
  Applying applying;
  ApiNode* environment = EnvironmentForSection(section);
  if (!environment) return false;

  const float_3 color = Float3(Member(section, "color"), {1.0f, 1.0f, 1.0f});
  const float gamma = Float(section, "colorGamma", 1.0);

  ApiNode* gamma_node = InputOfType(environment, kTextureInput, kColorGammaNode);
  if (!gamma_node) return false;
  gamma_node->setPinValue(kGamma, gamma);
  ApiNode* color_node = InputOfType(gamma_node, kTextureInput, kColorNode);
  if (!color_node) return false;
  color_node->set(kColorValue, color, true);
  return true;
}

void SetNode(ApiNode* node) { environment_ = node; }

void WatchEnvironment(ApiNode* render_target, const std::string& page) {
  ApiChangeManager::stopObserving(kObserver);
  watched_ = EnvData();
  if (!render_target || render_target->type() != kRenderTargetNode) return;

  ApiNode* environment = render_target->inputNode(kVisibleEnvironmentPin);
  if (!environment) environment = render_target->inputNode(kEnvironmentPin);
  if (!environment || environment->type() != kDaylightNode) return;

  watched_ = EnvData{render_target, environment, page};
  for (PinId pin : {kSunDirection, kNorthOffset, kSkyColor, kSunsetColor, kGroundColor}) {
    if (ApiNode* input = environment->inputNode(pin)) {
      ApiChangeManager::observeApiItem(*input, kObserver, ApiChangeManager::ChangeEvent::ITEM_VALUE_CHANGED);
    }
  }
}

}  // namespace EnvironmentSetter
}  // namespace Zarnik
