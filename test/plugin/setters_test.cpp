#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "zarnik.h"
#include "zarnik/node_json.h"
#include "zarnik/setters/camera.h"
#include "zarnik/setters/environment.h"
#include "zarnik/setters/imager.h"
#include "zarnik/setters/kernel.h"
#include "zarnik/setters/postproc.h"
#include "zarnik/setters/quality.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace {

enum : PinId {
  kCameraPin = 19,
  kEnvironmentPin = 43,
  kImagerPin = 78,
  kKernelPin = 89,
  kFilmPin = 311,
  kResolution = 198,
  kFov = 53,
  kOrthoWidth = 209,
  kOrthographic = 127,
  kAutoFocus = 12,
  kFocalDepth = 51,
  kPosition = 133,
  kTarget = 235,
  kRayEpsilon = 144,
  kMaxSamples = 108,
  kSunSize = 233,
  kSunDirection = 231,
  kLatitude = 91,
  kTextureInput = 240,
  kUvTransform = 243,
  kGamma = 57,
};

class SettersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* error = nullptr;
    ASSERT_TRUE(apiMode_Shared_start("ZARNIKSU", false, &error, nullptr, nullptr)) << (error ? error : "");
  }
  static void TearDownTestSuite() { apiMode_Shared_exit(nullptr); }

  void SetUp() override {
    ZarnikManager::CreateRenderTarget();
    target_ = ZarnikManager::RenderTarget();
    ASSERT_NE(nullptr, target_);
  }

  ApiNode* Input(PinId pin) const { return target_->inputNode(pin); }
  ApiNode* Camera() const { return Input(kCameraPin); }
  ApiNode* Kernel() const { return Input(kKernelPin); }
  int32_2 Film() const { return Input(kFilmPin)->getPinInt2(kResolution); }

  static void Place(float distance) {
    CameraSetter::SetPosition({0.0f, 0.0f, -distance}, {0.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f});
  }

  ApiNode* target_ = nullptr;
};

TEST_F(SettersTest, NewRenderTargetGetsTheDefaultsAndFovFollowsTheFilm) {
  ASSERT_NE(nullptr, Camera());
  EXPECT_EQ(13u, Camera()->type());
  EXPECT_TRUE(Camera()->getPinBool(kAutoFocus));
  EXPECT_EQ(1000, Film().x);
  EXPECT_EQ(600, Film().y);
  EXPECT_NEAR(55.44f, Camera()->getPinFloat(kFov), 0.01f);
  EXPECT_EQ(24u, Kernel()->type());

  QualitySetter::Set(R"({"width": 800, "height": 450, "sizeType": 1})");
  EXPECT_EQ(800, Film().x);
  EXPECT_EQ(450, Film().y);
  const float wide = std::atan(std::tan(35.0f * 0.5f * 3.1415927f / 180.0f) * 800.0f / 450.0f) * 360.0f / 3.1415927f;
  EXPECT_NEAR(wide, Camera()->getPinFloat(kFov), 1e-3f);
  QualitySetter::Set(R"({"width": 600, "height": 600})");
  EXPECT_FLOAT_EQ(35.0f, CameraSetter::FixFov(35.0f));
}

TEST_F(SettersTest, FocusDependsOnFocusType) {
  Place(50.0f);
  CameraSetter::Set(R"({"type": 0, "focusType": 0})");
  EXPECT_FLOAT_EQ(50.0f, Camera()->getPinFloat(kFocalDepth));
  EXPECT_FALSE(Camera()->getPinBool(kAutoFocus));
  CameraSetter::Set(R"({"type": 0, "focusType": 1, "focalDepth": 7})");
  EXPECT_FLOAT_EQ(7.0f, Camera()->getPinFloat(kFocalDepth));
  CameraSetter::Set(R"({"type": 0, "focusType": 2, "focalDepth": 3})");
  EXPECT_TRUE(Camera()->getPinBool(kAutoFocus));
  EXPECT_FLOAT_EQ(7.0f, Camera()->getPinFloat(kFocalDepth));
  // A filter without "z" gets 0 there.
  CameraSetter::Set(R"({"leftFilter": {"x": 0.5, "y": 0.25}})");
  EXPECT_FLOAT_EQ(0.0f, Camera()->getPinFloat3(93).z);
}

TEST_F(SettersTest, ViewChangesReportWhatNeedsAttention) {
  EXPECT_TRUE(CameraSetter::SetView(30.0f, false));
  EXPECT_FLOAT_EQ(CameraSetter::FixFov(30.0f), Camera()->getPinFloat(kFov));
  EXPECT_FALSE(CameraSetter::SetView(30.0f, false));

  EXPECT_TRUE(CameraSetter::SetView(2.0f, true));
  EXPECT_TRUE(Camera()->getPinBool(kOrthographic));
  EXPECT_FLOAT_EQ(2.0f * 1000.0f / 600.0f, Camera()->getPinFloat(kOrthoWidth));
  Place(5.0f);
  EXPECT_FLOAT_EQ(2.0f * 1000.0f / 600.0f, Camera()->getPinFloat(kOrthoWidth));

  // An orthographic view brings a panoramic camera back to the thin lens.
  CameraSetter::SetView(30.0f, false);
  CameraSetter::Set(R"({"type": 1, "fovx": 200})");
  EXPECT_EQ(62u, Camera()->type());
  EXPECT_FLOAT_EQ(200.0f, Camera()->getPinFloat(54));
  EXPECT_TRUE(CameraSetter::SetView(1.0f, true));
  EXPECT_EQ(13u, Camera()->type());
  CameraSetter::SetView(30.0f, false);
}

TEST_F(SettersTest, RayEpsilonFollowsDistanceAndAngle) {
  Place(10.0f);
  Camera()->setPinValue(kFov, 60.0f);
  EXPECT_NEAR(10.0f * std::sqrt(1.0472f) * 0.000001f, CameraSetter::GetRayEpsilon(target_), 1e-9f);
  Place(100000.0f);
  EXPECT_FLOAT_EQ(0.1f, CameraSetter::GetRayEpsilon(target_));
  Place(0.0f);
  EXPECT_FLOAT_EQ(0.000001f, CameraSetter::GetRayEpsilon(target_));
  EXPECT_FLOAT_EQ(-1.0f, CameraSetter::GetRayEpsilon(nullptr));

  // The automatic epsilon reaches the kernel on every camera move.
  Place(1000.0f);
  EXPECT_FLOAT_EQ(CameraSetter::GetRayEpsilon(target_), Kernel()->getPinFloat(kRayEpsilon));

  ASSERT_TRUE(target_->connectTo(kCameraPin, nullptr, true, false));
  EXPECT_FLOAT_EQ(-1.0f, CameraSetter::GetRayEpsilon(target_));
  EXPECT_FALSE(CameraSetter::SetPosition({1, 2, 3}, {0, 0, 0}, {0, 1, 0}));
  EXPECT_FALSE(CameraSetter::SetView(20.0f, false));
}

TEST_F(SettersTest, KernelSectionsPickKernelAndEpsilon) {
  Place(1000.0f);
  KernelSetter::Set("{}");
  EXPECT_EQ(24u, Kernel()->type());
  EXPECT_EQ(3, Kernel()->getPinInt(61));
  EXPECT_FLOAT_EQ(CameraSetter::GetRayEpsilon(target_), Kernel()->getPinFloat(kRayEpsilon));

  KernelSetter::Set(R"({"kernelType": 1, "ptAutoEpsilon": false, "ptRayEpsilon": 0.001, "ptDiffuseDepth": 3})");
  ApiNode* path_tracing = Kernel();
  EXPECT_EQ(25u, path_tracing->type());
  EXPECT_FLOAT_EQ(0.001f, path_tracing->getPinFloat(kRayEpsilon));
  EXPECT_EQ(3, path_tracing->getPinInt(104));
  EXPECT_FALSE(KernelSetter::AutoRayEpsilon());
  Place(10.0f);
  EXPECT_FLOAT_EQ(0.001f, path_tracing->getPinFloat(kRayEpsilon));
  KernelSetter::Set(R"({"kernelType": 1, "ptAutoEpsilon": false, "ptDiffuseDepth": 5})");
  EXPECT_EQ(path_tracing, Kernel());
  EXPECT_EQ(5, Kernel()->getPinInt(104));

  KernelSetter::Set(R"({"kernelType": 3, "infoChannelType": 2, "infoDistributedTracing": false})");
  EXPECT_EQ(26u, Kernel()->type());
  EXPECT_EQ(2, Kernel()->getPinInt(81));
  EXPECT_FALSE(Kernel()->getPinBool(36));

  KernelSetter::Set(R"({"kernelType": 7})");
  EXPECT_EQ(26u, Kernel()->type());
  EXPECT_FALSE(KernelSetter::AutoRayEpsilon(4));
  EXPECT_TRUE(KernelSetter::AutoRayEpsilon(0));
}

TEST_F(SettersTest, SettingsOfTheWrongJsonKindFallBackToDefaults) {
  EXPECT_NO_THROW(CameraSetter::Set(R"({"fov": "wide", "leftFilter": [1, 2], "stereoMode": "x", "focusType": []})"));
  EXPECT_NEAR(55.44f, Camera()->getPinFloat(kFov), 0.01f);
  EXPECT_NO_THROW(KernelSetter::Set(R"({"kernelType": "1", "dlSpecularDepth": {"x": 1}, "dlAutoEpsilon": "no"})"));
  EXPECT_EQ(24u, Kernel()->type());
  EXPECT_EQ(5, Kernel()->getPinInt(221));
  EXPECT_NO_THROW(QualitySetter::Set(R"({"width": "800", "height": null, "maxSamples": 1e30, "update": "x"})"));
  EXPECT_EQ(1000, Film().x);
  EXPECT_EQ(16000, Kernel()->getPinInt(kMaxSamples));
  EXPECT_TRUE(EnvironmentSetter::Set(R"({"sundir": {}, "latitude": "north", "sky_color": [1, 2, 3]})"));
  EXPECT_FLOAT_EQ(40.0f, Input(kEnvironmentPin)->inputNode(kSunDirection)->getPinFloat(kLatitude));
  EXPECT_FALSE(EnvironmentSetter::Set(R"({"type": 1, "texPath": 5})"));

  // Sections that are not objects are taken as missing, and broken text changes nothing.
  for (const char* text : {"[1, 2]", "\"text\"", "12", "{\"type\": ", ""}) {
    EXPECT_NO_THROW(CameraSetter::Set(text));
    EXPECT_NO_THROW(KernelSetter::Set(text));
    EXPECT_NO_THROW(EnvironmentSetter::Set(text));
    EXPECT_NO_THROW(ImagerSetter::Set(text));
    EXPECT_NO_THROW(PostprocSetter::Set(text));
    EXPECT_NO_THROW(QualitySetter::Set(text));
  }
  EXPECT_NO_THROW(KernelSetter::Set(std::string(5000, '[')));
  EXPECT_EQ(13u, Camera()->type());
}

TEST_F(SettersTest, DaylightNeedsItsSunDirection) {
  ApiNode* daylight = Input(kEnvironmentPin);
  ApiNode* sun = daylight->inputNode(kSunDirection);
  EXPECT_FALSE(EnvironmentSetter::Set(R"({"type": 0, "latitude": 10, "sun_size": 5})"));
  EXPECT_NEAR(50.7667f, sun->getPinFloat(kLatitude), 1e-4f);
  EXPECT_FLOAT_EQ(1.0f, daylight->getPinFloat(kSunSize));

  EXPECT_TRUE(EnvironmentSetter::Set(R"({"sundir": 1, "latitude": 10, "sun_size": 0})"));
  EXPECT_FLOAT_EQ(10.0f, sun->getPinFloat(kLatitude));
  EXPECT_FLOAT_EQ(1.0f, daylight->getPinFloat(kSunSize));
  EXPECT_EQ(daylight, Input(kEnvironmentPin));

  // A change made on a thread that Ruby does not know must not call into Ruby.
  std::thread([sun] { sun->setPinValue(kLatitude, 12.5f); }).join();
  EXPECT_FLOAT_EQ(12.5f, sun->getPinFloat(kLatitude));
}

class EnvironmentTextureTest : public SettersTest {
 protected:
  void SetUp() override {
    SettersTest::SetUp();
    char pattern[] = "/tmp/env-texture-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = pattern;
  }
  void TearDown() override { std::remove(path_.c_str()); }

  std::string Section(const std::string& extra) const {
    return R"({"type": 1, "texPath": ")" + path_ + "\"" + extra + "}";
  }

  std::string path_;
};

TEST_F(EnvironmentTextureTest, ImageEnvironmentWithTransform) {
  EXPECT_FALSE(EnvironmentSetter::Set(R"({"type": 1, "texPath": ""})"));
  EXPECT_EQ(14u, Input(kEnvironmentPin)->type());

  ASSERT_TRUE(EnvironmentSetter::Set(Section(R"(, "texScale": 2, "texRotX": 0.5, "texGamma": 2.2)")));
  ApiNode* environment = Input(kEnvironmentPin);
  EXPECT_EQ(37u, environment->type());
  ApiNode* image = environment->connectedNode(kTextureInput);
  ASSERT_NE(nullptr, image);
  EXPECT_EQ(34u, image->type());
  EXPECT_EQ(path_, image->getString(34));
  Matrix<float> expected{};
  expected.m[0][0] = expected.m[1][1] = 0.5f;
  expected.m[0][3] = 1.0f;
  expected.m[2][2] = 1.0f;
  EXPECT_EQ(expected, image->getPinMatrix(kUvTransform));
  EXPECT_FLOAT_EQ(2.2f, image->getPinFloat(kGamma));

  // The same file again keeps the image node; a zero scale leaves the transform finite.
  ASSERT_TRUE(EnvironmentSetter::Set(Section(R"(, "texScale": 0, "texGamma": 1.5)")));
  EXPECT_EQ(image, environment->connectedNode(kTextureInput));
  EXPECT_FLOAT_EQ(1.5f, image->getPinFloat(kGamma));
  EXPECT_TRUE(std::isfinite(image->getPinMatrix(kUvTransform).m[0][0]));

  // With the sun the image lies under the daylight, and a plain daylight removes it again.
  ASSERT_TRUE(EnvironmentSetter::Set(Section(R"(, "useSun": true, "sundir": {})")));
  ApiNode* daylight = Input(kEnvironmentPin);
  EXPECT_EQ(14u, daylight->type());
  ASSERT_NE(nullptr, daylight->connectedNode(kTextureInput));
  EXPECT_EQ(34u, daylight->connectedNode(kTextureInput)->type());
  ASSERT_TRUE(EnvironmentSetter::SetDefaults());
  EXPECT_EQ(nullptr, daylight->connectedNode(kTextureInput));
}

TEST_F(SettersTest, ColorEnvironmentBuildsItsChain) {
  ASSERT_TRUE(EnvironmentSetter::Set(R"({"type": 2, "color": {"x": 0.2, "y": 0.4}, "colorGamma": 2})"));
  ApiNode* environment = Input(kEnvironmentPin);
  EXPECT_EQ(37u, environment->type());
  ApiNode* gamma = environment->connectedNode(kTextureInput);
  ASSERT_NE(nullptr, gamma);
  EXPECT_EQ(51u, gamma->type());
  EXPECT_FLOAT_EQ(2.0f, gamma->getPinFloat(kGamma));
  ApiNode* color = gamma->connectedNode(kTextureInput);
  ASSERT_NE(nullptr, color);
  EXPECT_EQ(33u, color->type());
  const float_3 value = color->getFloat3(185);
  EXPECT_FLOAT_EQ(0.2f, value.x);
  EXPECT_FLOAT_EQ(0.4f, value.y);
  EXPECT_FLOAT_EQ(1.0f, value.z);
  EXPECT_FALSE(EnvironmentSetter::Set(R"({"type": 5})"));
  EXPECT_EQ(environment, Input(kEnvironmentPin));
}

TEST_F(SettersTest, QualityCapsSizeAndFollowsTheViewport) {
  ApiNode* film = Input(kFilmPin);
  QualitySetter::Set(R"({"width": 1920, "height": 1080, "sizeType": 1})");
  EXPECT_EQ(film, Input(kFilmPin)) << "an unchanged size must keep the film node";
  EXPECT_EQ(1000, Film().x);
  EXPECT_EQ(600, Film().y);

  EXPECT_FALSE(QualitySetter::SetSketchupExtents(1400, 700));
  QualitySetter::Set(R"({"width": 320, "height": 200, "sizeType": 2})");
  EXPECT_EQ(1000, Film().x);
  EXPECT_TRUE(QualitySetter::SetSketchupExtents(640, 480));
  EXPECT_EQ(640, Film().x);
  EXPECT_EQ(480, Film().y);
  EXPECT_FALSE(QualitySetter::SetSketchupExtents(640, 480));
}

TEST_F(SettersTest, QualityPushesUpdatesOnlyWhenAsked) {
  QualitySetter::Set(R"({"width": 800, "height": 400, "maxSamples": 500, "update": false})");
  EXPECT_EQ(500, Kernel()->getPinInt(kMaxSamples));
  uint64_t updates = ApiChangeManager::updateCount();
  QualitySetter::Set(R"({"width": 800, "height": 400, "maxSamples": 500, "update": false})");
  EXPECT_EQ(updates, ApiChangeManager::updateCount());
  QualitySetter::Set(R"({"width": 800, "height": 400, "maxSamples": 800, "update": false})");
  EXPECT_EQ(800, Kernel()->getPinInt(kMaxSamples));
  EXPECT_LT(updates, ApiChangeManager::updateCount());

  // A kernel of another type starts from the engine's count; the sample limit still holds.
  KernelSetter::Set(R"({"kernelType": 2})");
  QualitySetter::Set(R"({"width": 800, "height": 400, "maxSamples": 800, "update": false})");
  EXPECT_EQ(23u, Kernel()->type());
  EXPECT_EQ(800, Kernel()->getPinInt(kMaxSamples));
}

TEST_F(SettersTest, ImagerIsUpdatedFromItsNodeDescription) {
  ApiNode* imager = Input(kImagerPin);
  ASSERT_NE(nullptr, imager);
  Json::Value json = NodeUtils::NodeToStr(imager, true);
  for (Json::Value& entry : json["nodes"]) {
    if (entry["info"]["name"].asString() == "gamma") entry["params"][0]["value"]["x"] = 1.5;
  }
  ImagerSetter::Set(json.toStyledString());
  EXPECT_FLOAT_EQ(1.5f, imager->getPinFloat(kGamma));

  ImagerSetter::Set("null");
  json["type"] = 61;
  ImagerSetter::Set(json.toStyledString());
  EXPECT_EQ(imager, Input(kImagerPin));
  EXPECT_FLOAT_EQ(1.5f, imager->getPinFloat(kGamma));

  // A render target without post-processing gets one on first use.
  ASSERT_TRUE(target_->connectTo(136, nullptr, true, false));
  PostprocSetter::Set("null");
  ASSERT_NE(nullptr, Input(136));
  EXPECT_EQ(61u, Input(136)->type());
}

}  // namespace
}  // namespace Zarnik
