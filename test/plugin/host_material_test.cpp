// Host material conversion and linking against the running engine.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "materials/host_material_ext.h"
#include "materials/mat_manager.h"
#include "materials/texture_tracker.h"
#include "sketchup/su_manager.h"
#include "sketchup/su_material.h"
#include "utils/paths.h"
#include "utils/strings.h"
#include "zarnik.h"
#include "zarnik/node_json.h"
#include "zarnik/node_utils.h"

namespace Zarnik {
namespace MaterialManagerExt {
std::uint64_t PathHash(const char* s, std::size_t size);
std::string PreviewPath(int host_id, bool rebuild);
}

namespace {

namespace fs = std::filesystem;
using HostMaterialExt::HostMaterialUpdate;
using HostMaterialExt::UpdateHostMaterial;

constexpr NodeType kGlossy = 16;
constexpr NodeType kSpecular = 18;
constexpr NodeType kUvwTransform = 66;
constexpr int kScene = MaterialManager::kSceneStartSlot;

class HostMaterialTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/host_material_XXXXXX";
    if (!mkdtemp(pattern)) return;
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
    fs::create_directories(Strings::GetWorkingTexturesPath());
    fs::create_directories(Strings::GetPreviewTexturesPath());
    started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr);
    if (started_) SketchupManager::InitRegistry();
  }
  static void TearDownTestSuite() {
    if (started_) {
      SketchupManager::Cleanup();
      MaterialManager::CleanMaterials();
      apiMode_Shared_exit(nullptr);
    }
    if (!home_.empty()) fs::remove_all(home_);
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    ASSERT_TRUE(HostMaterialExt::SetDefaultMaterial(HostMaterialExt::MaterialTypeName(kGlossy)));
  }

  static HostMaterialUpdate Update(int id, const std::string& texture = "", int mode = 0) {
    HostMaterialUpdate update;
    update.id = id;
    update.name = "host " + std::to_string(id);
    update.color = float_3{1.f, 0.5f, 0.25f};
    update.texture = texture;
    update.texture_mode = mode;
    update.opacity = 0.75f;
    return update;
  }

  static std::shared_ptr<SuMaterial> Converted(const HostMaterialUpdate& update) {
    EXPECT_TRUE(UpdateHostMaterial(update));
    std::shared_ptr<SuMaterial> material = SketchupManager::GetMaterial(update.id);
    EXPECT_TRUE(material && material->node());
    return material;
  }

  // A scene material under `id` whose colour is an RGB node and whose image texture carries
  // a UVW transform of scale (1, 1, 1).
  static ApiNode* SceneMaterial(int id) {
    ApiNode* material = ApiNode::create(kGlossy, ApiProjectManager::rootNodeGraph(), true);
    material->setName("scene material");
    material->createInternal(SuMaterial::kColorPin, SuMaterial::kRgbTexture);
    ApiNode* image = material->createInternal(SuMaterial::kOpacityPin, SuMaterial::kImageTexture);
    image->createInternal(SuMaterial::kTextureTransformPin, kUvwTransform);
    MaterialManager::SetMaterial(id, material);
    MaterialManager::SetMaterial(id, NodeUtils::NodeToStr(material, true));
    return material;
  }

  static ApiNode* TransformOf(ApiNode* material) {
    ApiNode* image = material->connectedNode(SuMaterial::kOpacityPin);
    return image ? image->connectedNode(SuMaterial::kTextureTransformPin) : nullptr;
  }

  static std::string home_;
  static bool started_;
};
std::string HostMaterialTest::home_;
bool HostMaterialTest::started_ = false;

TEST_F(HostMaterialTest, ColoursBecomeLinearInSinglePrecision) {
  EXPECT_EQ(HostMaterialExt::LinearColor(255), 1.f);
  EXPECT_NEAR(HostMaterialExt::LinearColor(128), 0.21952f, 1e-5f);
  EXPECT_EQ(HostMaterialExt::LinearColor(128), std::pow(128.f / 255.f, 2.2f));
  EXPECT_EQ(HostMaterialExt::LinearColor(0), 0.f);
}

TEST_F(HostMaterialTest, UntexturedMaterialGetsColourAndOpacityNodes) {
  auto material = Converted(Update(1));
  ApiNode* node = material->node();
  EXPECT_EQ(node->type(), kGlossy);
  EXPECT_STREQ(node->name(), "host 1");
  EXPECT_TRUE(node->getPinBool(SuMaterial::kConvertedFlagPin));
  ApiNode* rgb = node->connectedNode(SuMaterial::kColorPin);
  ASSERT_TRUE(rgb);
  EXPECT_EQ(rgb->type(), SuMaterial::kRgbTexture);
  EXPECT_EQ(rgb->getFloat3(SuMaterial::kValueAttr), (float_3{1.f, 0.5f, 0.25f}));
  ApiNode* opacity = node->connectedNode(SuMaterial::kOpacityPin);
  ASSERT_TRUE(opacity);
  EXPECT_EQ(opacity->type(), SuMaterial::kFloatTexture);
  EXPECT_EQ(opacity->getFloatIx(0), 0.75f);
  EXPECT_EQ(material->texture(), "null");
  EXPECT_EQ(material->opacity_node_type(), SuMaterial::kFloatTexture);
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(1), -1);
  EXPECT_TRUE(SketchupManager::IsMaterialValid(1));

  // Texture modes 1 and 2 keep the colour pin free of an RGB node.
  auto moded = Converted(Update(2, "", 1));
  ApiNode* colour = moded->node()->connectedNode(SuMaterial::kColorPin);
  EXPECT_TRUE(!colour || colour->type() != SuMaterial::kRgbTexture);
}

TEST_F(HostMaterialTest, TextureExtensionDecidesOnAlphaImage) {
  struct Case {
    const char* path;
    bool alpha;
  };
  const Case cases[] = {{"/nowhere/wood.PNG", true}, {"/nowhere/rock.tiff", true}, {"/nowhere/tile.jpg", false},
                        {"/nowhere/png", false}};
  int id = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto material = Converted(Update(++id, c.path));
    ApiNode* image = material->node()->connectedNode(SuMaterial::kColorPin);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type(), SuMaterial::kImageTexture);
    EXPECT_STREQ(image->getString(SuMaterial::kFileNameAttr), c.path);
    EXPECT_FALSE(image->getBool(SuMaterial::kReloadAttr));
    ApiNode* opacity = material->node()->connectedNode(SuMaterial::kOpacityPin);
    ASSERT_TRUE(opacity);
    if (c.alpha) {
      EXPECT_EQ(opacity->type(), SuMaterial::kAlphaImageTexture);
      EXPECT_STREQ(opacity->getString(SuMaterial::kFileNameAttr), c.path);
    } else {
      EXPECT_EQ(opacity->type(), SuMaterial::kFloatTexture);
      EXPECT_EQ(opacity->getFloatIx(0), 0.75f);
    }
    EXPECT_TRUE(material->has_texture());
    EXPECT_EQ(material->texture(), c.path);
  }
}

TEST_F(HostMaterialTest, TextureTransformFollowsModeAndScale) {
  HostMaterialUpdate update = Update(20, "/nowhere/a.png", 1);
  update.scale = float_2{2.f, 4.f};
  auto material = Converted(update);
  const Matrix<float> m =
      material->node()->connectedNode(SuMaterial::kColorPin)->getPinMatrix(SuMaterial::kTextureTransformPin);
  const float expected[3][4] = {{2, 0, 0, 0.5f}, {0, 4, 0, 1.5f}, {0, 0, 1, 0}};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(m.m[r][c], expected[r][c]) << r << "," << c;
  const Matrix<float> alpha =
      material->node()->connectedNode(SuMaterial::kOpacityPin)->getPinMatrix(SuMaterial::kTextureTransformPin);
  EXPECT_EQ(alpha, m);

  // A later scale change reaches the image node already in place.
  update.scale = float_2{3.f, 3.f};
  Converted(update);
  EXPECT_EQ(material->node()->connectedNode(SuMaterial::kColorPin)->getPinMatrix(SuMaterial::kTextureTransformPin).m[0][0],
            3.f);

  HostMaterialUpdate plain = Update(21, "/nowhere/a.png", 0);
  plain.scale = float_2{2.f, 4.f};
  auto untransformed = Converted(plain);
  EXPECT_EQ(untransformed->node()->connectedNode(SuMaterial::kColorPin)->getPinMatrix(SuMaterial::kTextureTransformPin),
            Matrix<float>::identity());
}

TEST_F(HostMaterialTest, SpecularMaterialTakesColourAtItsOwnPin) {
  ASSERT_TRUE(HostMaterialExt::SetDefaultMaterial("Specular"));
  EXPECT_EQ(HostMaterialExt::DefaultMaterial(), kSpecular);
  auto material = Converted(Update(30));
  ApiNode* rgb = material->node()->connectedNode(SuMaterial::kSpecularColorPin);
  ASSERT_TRUE(rgb);
  EXPECT_EQ(rgb->type(), SuMaterial::kRgbTexture);
  EXPECT_FALSE(HostMaterialExt::SetDefaultMaterial("Sunlight"));
  EXPECT_EQ(HostMaterialExt::DefaultMaterial(), kSpecular);
}

TEST_F(HostMaterialTest, LinkingScalesTheLiveNodeButStoresTheNeutralForm) {
  ApiNode* scene = SceneMaterial(kScene);
  HostMaterialUpdate update = Update(40);
  update.link_id = kScene;
  update.scale = float_2{2.f, 4.f};
  ASSERT_TRUE(UpdateHostMaterial(update));
  auto material = SketchupManager::GetMaterial(40);
  ASSERT_TRUE(material);
  EXPECT_EQ(material->node(), scene);
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(40), kScene);
  EXPECT_TRUE(material->HasActualZarnikMaterial());
  EXPECT_STREQ(scene->name(), "scene material");
  EXPECT_EQ(scene->connectedNode(SuMaterial::kColorPin)->getFloat3Ix(0), update.color);

  ApiNode* live = TransformOf(scene);
  ASSERT_TRUE(live);
  EXPECT_EQ(live->getFloat3(SuMaterial::kTransformScaleAttr), (float_3{2.f, 4.f, 1.f}));
  EXPECT_EQ(live->getFloat3(SuMaterial::kTransformTranslationAttr), (float_3{0.5f, 1.5f, 0.f}));

  ApiNode* stored = NodeUtils::StrToNode(MaterialManager::GetMaterialJsonNode(kScene), 0, nullptr, 0);
  ASSERT_TRUE(stored && TransformOf(stored));
  EXPECT_EQ(TransformOf(stored)->getFloat3(SuMaterial::kTransformScaleAttr), (float_3{1.f, 1.f, 1.f}));
  EXPECT_EQ(TransformOf(stored)->getFloat3(SuMaterial::kTransformTranslationAttr), (float_3{0.f, 0.f, 0.f}));
  NodeUtils::SafeRecursiveDestroy(stored);

  // Converting again unscales and unlinks, and never paints over the scene material.
  update.link_id = -1;
  ASSERT_TRUE(UpdateHostMaterial(update));
  EXPECT_NE(material->node(), scene);
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(40), -1);
  EXPECT_STREQ(scene->name(), "scene material");
  EXPECT_EQ(live->getFloat3(SuMaterial::kTransformScaleAttr), (float_3{1.f, 1.f, 1.f}));
  EXPECT_EQ(material->node()->connectedNode(SuMaterial::kColorPin)->type(), SuMaterial::kRgbTexture);
  EXPECT_FALSE(material->TryToUpdateScale(float_2{5.f, 5.f}));

  // Releasing a linked host material puts the scene material back to scale (1, 1).
  update.link_id = kScene;
  ASSERT_TRUE(UpdateHostMaterial(update));
  EXPECT_EQ(live->getFloat3(SuMaterial::kTransformScaleAttr).x, 2.f);
  material.reset();
  SketchupManager::FlushMaterials();
  EXPECT_EQ(live->getFloat3(SuMaterial::kTransformScaleAttr), (float_3{1.f, 1.f, 1.f}));
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(kScene), -1);
}

TEST_F(HostMaterialTest, OnlyTheHolderOfALinkRescalesTheSceneMaterial) {
  ApiNode* scene = SceneMaterial(kScene + 2);
  HostMaterialUpdate first = Update(45);
  first.link_id = kScene + 2;
  first.scale = float_2{2.f, 2.f};
  ASSERT_TRUE(UpdateHostMaterial(first));
  HostMaterialUpdate second = Update(46);
  second.link_id = kScene + 2;
  second.scale = float_2{3.f, 3.f};
  ASSERT_TRUE(UpdateHostMaterial(second));
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(kScene + 2), 46);
  EXPECT_EQ(TransformOf(scene)->getFloat3(SuMaterial::kTransformScaleAttr).x, 3.f);

  // The first one lost the link: letting it go leaves the second one's scale alone.
  SketchupManager::SetMaterial(45, nullptr);
  EXPECT_EQ(TransformOf(scene)->getFloat3(SuMaterial::kTransformScaleAttr).x, 3.f);
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(kScene + 2), 46);

  // Once the registry is cleaned the node is gone; the host material does not touch it.
  auto holder = SketchupManager::GetMaterial(46);
  MaterialManager::CleanMaterials();
  EXPECT_FALSE(holder->TryToUpdateScale(float_2{1.f, 1.f}));
  EXPECT_FALSE(holder->TryToUpdateColor(float_3{0.f, 0.f, 0.f}));
}

TEST_F(HostMaterialTest, PreviewRebuildKeepsTheHostScale) {
  ApiNode* scene = SceneMaterial(kScene + 3);
  HostMaterialUpdate update = Update(47);
  update.link_id = kScene + 3;
  update.scale = float_2{2.f, 4.f};
  ASSERT_TRUE(UpdateHostMaterial(update));
  EXPECT_EQ(MaterialManagerExt::PreviewPath(47, true), "");  // no UI record: nothing to show

  MaterialManager::SetUiMaterial(kScene + 3, std::make_shared<UiMat>("scene preview", kScene + 3));
  const std::string path = MaterialManagerExt::PreviewPath(47, true);
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(Strings::FileExists(path));
  EXPECT_EQ(TransformOf(scene)->getFloat3(SuMaterial::kTransformScaleAttr), (float_3{2.f, 4.f, 1.f}));
  EXPECT_EQ(SketchupManager::GetMaterial(47)->scale(), (float_2{2.f, 4.f}));
  EXPECT_EQ(MaterialManagerExt::PreviewPath(47, false), path);

  fs::remove(path);
  EXPECT_EQ(MaterialManagerExt::PreviewPath(47, false), "");
}

TEST_F(HostMaterialTest, LinkWithoutSceneMaterialFallsBackToConversion) {
  HostMaterialUpdate update = Update(50, "/nowhere/b.jpg");
  update.link_id = kScene + 77;
  ASSERT_TRUE(UpdateHostMaterial(update));
  auto material = SketchupManager::GetMaterial(50);
  ASSERT_TRUE(material && material->node());
  EXPECT_EQ(material->linked_id(), -1);
  EXPECT_EQ(material->node()->type(), kGlossy);
  ApiNode* image = material->node()->connectedNode(SuMaterial::kColorPin);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->type(), SuMaterial::kImageTexture);
}

TEST_F(HostMaterialTest, BadScaleNeverReachesTheTransforms) {
  ApiNode* scene = SceneMaterial(kScene + 1);
  HostMaterialUpdate update = Update(55);
  update.link_id = kScene + 1;
  update.scale = float_2{0.f, 2.f};
  ASSERT_TRUE(UpdateHostMaterial(update));
  EXPECT_EQ(TransformOf(scene)->getFloat3(SuMaterial::kTransformScaleAttr), (float_3{1.f, 1.f, 1.f}));
  update.scale = float_2{2.f, 2.f};
  ASSERT_TRUE(UpdateHostMaterial(update));
  EXPECT_EQ(TransformOf(scene)->getFloat3(SuMaterial::kTransformScaleAttr), (float_3{2.f, 2.f, 1.f}));
}

TEST_F(HostMaterialTest, TexturesFromTheModelAreWrittenAndUsed) {
  std::string encoded;
  Strings::Base64Encode("not really a picture", encoded);
  HostMaterialUpdate nothing = Update(-1);
  nothing.texture_names = {"/elsewhere/carried.jpg"};
  nothing.texture_contents = {encoded};
  EXPECT_FALSE(UpdateHostMaterial(nothing));  // nothing to update, but the texture is kept

  auto material = Converted(Update(60, "/elsewhere/carried.jpg"));
  const std::string used = material->node()->connectedNode(SuMaterial::kColorPin)->getString(SuMaterial::kFileNameAttr);
  EXPECT_NE(used, "/elsewhere/carried.jpg");
  std::string bytes;
  ASSERT_TRUE(Strings::LoadFileContent(used, bytes));
  EXPECT_EQ(bytes, "not really a picture");

  // Contents that are not Base64 at all are decoded leniently and never crash.
  HostMaterialUpdate garbage = Update(61);
  garbage.texture_names = {"x.png", "y.png"};
  garbage.texture_contents = {"%%%\x01\xff", ""};
  EXPECT_TRUE(UpdateHostMaterial(garbage));
}

TEST_F(HostMaterialTest, DeserializedMaterialTakesFileNamesItLacks) {
  ApiNode* old_node = ApiNode::create(kGlossy, ApiProjectManager::rootNodeGraph(), true);
  ApiNode* new_node = ApiNode::create(kGlossy, ApiProjectManager::rootNodeGraph(), true);
  ApiNode* old_image = old_node->createInternal(SuMaterial::kColorPin, SuMaterial::kImageTexture);
  old_image->set(SuMaterial::kFileNameAttr, "/textures/brick.jpg");
  old_image->set(SuMaterial::kReloadAttr, false);
  ApiNode* new_image = new_node->createInternal(SuMaterial::kColorPin, SuMaterial::kImageTexture);
  SuMaterial::FillMaterialBlanks(old_node, new_node);
  EXPECT_STREQ(new_image->getString(SuMaterial::kFileNameAttr), "/textures/brick.jpg");
  EXPECT_FALSE(new_image->getBool(SuMaterial::kReloadAttr));

  // A texture node that has its own file keeps it.
  new_image->set(SuMaterial::kFileNameAttr, "/textures/own.jpg");
  old_image->set(SuMaterial::kFileNameAttr, "/textures/other.jpg");
  SuMaterial::FillMaterialBlanks(old_node, new_node);
  EXPECT_STREQ(new_image->getString(SuMaterial::kFileNameAttr), "/textures/own.jpg");
  old_node->destroy();
  new_node->destroy();
}

TEST_F(HostMaterialTest, PathHashCoversEveryLengthClass) {
  EXPECT_EQ(MaterialManagerExt::PathHash("", 0), 0x9ae16a3b2f90404fULL);
  std::string text;
  std::map<std::uint64_t, std::size_t> seen;
  for (std::size_t length = 0; length <= 200; ++length) {
    const std::uint64_t hash = MaterialManagerExt::PathHash(text.data(), text.size());
    EXPECT_EQ(hash, MaterialManagerExt::PathHash(std::string(text).data(), text.size()));
    EXPECT_TRUE(seen.emplace(hash, length).second) << "length " << length;
    text.push_back(static_cast<char>('a' + length % 26));
  }
}

}  // namespace
}  // namespace Zarnik
