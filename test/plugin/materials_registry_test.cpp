#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <png.h>

#include "materials/editor/scene_editor.h"
#include "materials/mat_manager.h"
#include "materials/png_image.h"
#include "utils/paths.h"
#include "zarnik.h"
#include "zarnik/node_json.h"

namespace Zarnik {
namespace {

namespace fs = std::filesystem;

constexpr NodeType kDiffuseMaterial = 17;

// One engine and one throw-away HOME (with the previews folder) for the whole suite.
class MaterialRegistryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/materials_registry_XXXXXX";
    if (!mkdtemp(pattern)) return;
    home_ = pattern;
    const char* old_home = getenv("HOME");
    old_home_ = old_home ? old_home : "";
    setenv("HOME", home_.c_str(), 1);
    fs::create_directories(Strings::GetPreviewTexturesPath());
    started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    MaterialManager::CleanMaterials();
    if (started_) apiMode_Shared_exit(nullptr);
    if (home_.empty()) return;
    // Suites that follow keep their logs under the HOME they started with.
    old_home_.empty() ? unsetenv("HOME") : setenv("HOME", old_home_.c_str(), 1);
    fs::remove_all(home_);
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    MaterialManager::CleanMaterials();
  }

  // The JSON form of a fresh diffuse material, named `name`; the node itself is destroyed.
  static Json::Value MaterialJson(const std::string& name) {
    ApiNode* node = ApiNode::create(kDiffuseMaterial, ApiProjectManager::rootNodeGraph(), true);
    node->setName(name.c_str());
    Json::Value json = NodeUtils::NodeToStr(node, true);
    node->destroy();
    return json;
  }

  static std::string home_;
  static std::string old_home_;
  static bool started_;
};
std::string MaterialRegistryTest::home_;
std::string MaterialRegistryTest::old_home_;
bool MaterialRegistryTest::started_ = false;

// Both directions agree for every host id and scene id the test touched.
void ExpectLinksInverse(const std::vector<int>& su_ids) {
  for (int su : su_ids) {
    const int z = MaterialManager::GetSuToZarnikLink(su);
    if (z != -1) {
      EXPECT_EQ(MaterialManager::GetZarnikToSuLink(z), su) << "host " << su;
    }
  }
}

TEST_F(MaterialRegistryTest, LinksStayExactInversesWithOneLinkEachWay) {
  MaterialManager::LinkSuWithZarnik(5, 20003);
  MaterialManager::LinkSuWithZarnik(7, 20003);  // 7 takes 20003 over from 5
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(20003), 7);
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(5), -1);

  MaterialManager::LinkSuWithZarnik(7, 20004);  // moving on frees 20003
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(20003), -1);
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(20004), 7);

  MaterialManager::LinkSuWithZarnik(7, 19999);  // only scene materials are linked
  MaterialManager::LinkSuWithZarnik(8, 10004);
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(7), 20004);
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(8), -1);
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(10004), -1);
  ExpectLinksInverse({5, 7, 8});

  MaterialManager::UnlinkSuFromZarnik(7);
  MaterialManager::UnlinkSuFromZarnik(7);
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(7), -1);
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(20004), -1);
  EXPECT_TRUE(MaterialManager::IsSuMaterialLinkable(7));

  MaterialManager::LinkSuWithZarnik(9, 20010);
  MaterialManager::CleanMaterials();
  EXPECT_EQ(MaterialManager::GetSuToZarnikLink(9), -1);
  EXPECT_EQ(MaterialManager::GetZarnikToSuLink(20010), -1);
}

TEST_F(MaterialRegistryTest, JsonFormOutlivesItsNodeAndRealizesOnDemand) {
  const Json::Value json = MaterialJson("Oak");
  ASSERT_FALSE(json.isNull());
  MaterialManager::SetMaterial(20000, json);
  EXPECT_EQ(MaterialManager::GetMaterialJsonNode(20000), json);

  ApiNode* first = MaterialManager::GetMaterialNode(20000);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->name(), "Oak");
  EXPECT_EQ(MaterialManager::GetMaterialNode(20000), first);

  // Once the sandbox takes the node over the registry builds a new one when asked.
  MaterialManager::DiscardZarnikMaterial(first);
  ApiNode* second = MaterialManager::GetMaterialNode(20000);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  first->destroy();

  // Storing null erases only the JSON form; the realized node is still handed out.
  MaterialManager::SetMaterial(20000, Json::Value());
  EXPECT_TRUE(MaterialManager::GetMaterialJsonNode(20000).isNull());
  EXPECT_EQ(MaterialManager::GetMaterialNode(20000), second);
  MaterialManager::EraseMaterial(20000);
  EXPECT_EQ(MaterialManager::GetMaterialNode(20000), nullptr);
  second->destroy();

  EXPECT_EQ(MaterialManager::GetMaterialNode(20001), nullptr);
  EXPECT_EQ(MaterialManager::GetMaterialString(20001), MaterialManager::GetMaterialString(-5));
}

TEST_F(MaterialRegistryTest, ReplacedNodeRenamesRecordAndCleanDestroysSharedNodeOnce) {
  ApiNode* old_node = ApiNode::create(kDiffuseMaterial, ApiProjectManager::rootNodeGraph(), true);
  ApiNode* new_node = ApiNode::create(kDiffuseMaterial, ApiProjectManager::rootNodeGraph(), true);
  new_node->setName("Walnut");
  MaterialManager::SetMaterial(20000, old_node);
  MaterialManager::SetMaterial(20001, old_node);
  MaterialManager::GetSceneEditor()->UpdateFreeSlot(20001);
  MaterialManager::SetUiMaterial(20001, std::make_shared<UiMat>("Old", 20001));

  MaterialManager::ReplaceZarnikMaterial(old_node, new_node);
  EXPECT_EQ(MaterialManager::GetMaterialNode(20000), new_node);
  EXPECT_EQ(MaterialManager::GetMaterialNode(20001), new_node);
  EXPECT_EQ(MaterialManager::GetMaterialName(20001), "Walnut");
  EXPECT_EQ(MaterialManager::GetMaterialJsonNode(20000)["name"].asString(),
            NodeUtils::NodeToStr(new_node, true)["name"].asString());
  old_node->destroy();

  // The node held under two ids must be destroyed once, and the scene ids' records go.
  const uint64_t id = new_node->uniqueId();
  MaterialManager::CleanMaterials();
  ApiItemArray items;
  ApiProjectManager::rootNodeGraph().getOwnedItems(items);
  for (size_t i = 0; i < items.size(); ++i) EXPECT_NE(items[i]->uniqueId(), id);
  EXPECT_EQ(MaterialManager::GetMaterialNode(20000), nullptr);
  EXPECT_EQ(MaterialManager::GetUiMaterial(20001), nullptr);
}

// Reads a PNG back; empty when it is not a readable 8-bit RGBA picture of that size.
std::vector<uint8_t> ReadRgba(const std::string& path, unsigned width, unsigned height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_RGBA;
  if (image.width != width || image.height != height) {
    png_image_free(&image);
    return {};
  }
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  return pixels;
}

TEST_F(MaterialRegistryTest, PngRoundTripsAndFailsCleanly) {
  std::vector<uint8_t> pixels(3 * 2 * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 9 + 1);
  const std::string path = home_ + "/picture.png";
  ASSERT_TRUE(PngImage::save(pixels.data(), 3, 2, path));
  EXPECT_EQ(ReadRgba(path, 3, 2), pixels);

  EXPECT_FALSE(PngImage::save(pixels.data(), 3, 2, home_ + "/missing/picture.png"));
  EXPECT_FALSE(PngImage::save(pixels.data(), 0, 2, home_ + "/empty.png"));
  EXPECT_FALSE(PngImage::save(nullptr, 3, 2, home_ + "/null.png"));
  EXPECT_FALSE(fs::exists(home_ + "/empty.png"));
  EXPECT_FALSE(fs::exists(home_ + "/null.png"));
  EXPECT_FALSE(PngImage::save(pixels.data(), 3, 1000001, home_ + "/huge.png"));
  EXPECT_FALSE(fs::exists(home_ + "/huge.png"));
  // A write error inside libpng comes back through its error jump as a plain false, and the
  // device the path names is left alone.
  EXPECT_FALSE(PngImage::save(pixels.data(), 3, 2, "/dev/full"));
  EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST_F(MaterialRegistryTest, PreviewsAreNamedSafelyAndKeptUnlessForced) {
  EXPECT_FALSE(MaterialManager::SavePngTexture(home_ + "/none.png", 20000));
  EXPECT_FALSE(fs::exists(home_ + "/none.png"));

  MaterialManager::SetMaterial(20000, MaterialJson("Brick"));
  auto record = std::make_shared<UiMat>("Red Brick", 20000);
  MaterialManager::SetUiMaterial(20000, record);
  ASSERT_TRUE(record->BuildPreviewTexture(false));
  EXPECT_EQ(record->name, "Red_Brick");
  const fs::path preview(record->texture_path);
  EXPECT_EQ(preview.parent_path().string() + "/", Strings::GetPreviewTexturesPath());
  const std::string file = preview.filename().string();
  ASSERT_GT(file.size(), std::string("Red_Brick_.png").size());
  EXPECT_EQ(file.rfind("Red_Brick_", 0), 0u);
  EXPECT_EQ(file.find_first_not_of("0123456789", 10), file.size() - 4);
  EXPECT_EQ(ReadRgba(record->texture_path, 256, 256).size(), 256u * 256u * 4u);
  // No realized node was left behind by the preview.
  ApiItemArray items;
  ApiProjectManager::rootNodeGraph().getOwnedItems(items);
  for (size_t i = 0; i < items.size(); ++i) EXPECT_STRNE(items[i]->name(), "Brick");

  fs::remove(record->texture_path);
  const std::string kept = home_ + "/kept.png";
  const std::vector<uint8_t> pixel(4, 0);
  ASSERT_TRUE(PngImage::save(pixel.data(), 1, 1, kept));
  record->texture_path = kept;
  EXPECT_FALSE(record->BuildPreviewTexture(false));
  EXPECT_EQ(record->texture_path, kept);
  EXPECT_TRUE(record->BuildPreviewTexture(true));
  EXPECT_NE(record->texture_path, kept);

  // A name made of path pieces still lands in the previews folder.
  record->name = "../../escape/x";
  ASSERT_TRUE(record->BuildPreviewTexture(true));
  EXPECT_EQ(fs::path(record->texture_path).parent_path().string() + "/", Strings::GetPreviewTexturesPath());
  EXPECT_EQ(record->name, ".._.._escape_x");
}

}  // namespace
}  // namespace Zarnik
