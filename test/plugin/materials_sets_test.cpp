#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "materials/editor/scene_editor.h"
#include "materials/loaders/zcs_loader.h"
#include "materials/mat_manager.h"
#include "utils/message.h"
#include "zarnik.h"
#include "zarnik/node_json.h"

namespace Zarnik {
namespace {

namespace fs = std::filesystem;

constexpr NodeType kDiffuseMaterial = 17;
constexpr NodeType kGlossyMaterial = 16;

class MaterialSetsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/materials_sets_XXXXXX";
    if (!mkdtemp(pattern)) return;
    folder_ = pattern;
    started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    MaterialManager::CleanMaterials();
    if (started_) apiMode_Shared_exit(nullptr);
    if (!folder_.empty()) fs::remove_all(folder_);
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    MaterialManager::CleanMaterials();
    editor_ = MaterialManager::GetSceneEditor();
    loader_ = MaterialManager::GetZcsLoader();
  }

  // A scene file holding one material of each given type, named by position.
  static std::string WriteScene(const std::string& file, const std::vector<NodeType>& types) {
    ApiRootNodeGraph* graph = ApiRootNodeGraph::create(ZcsMaterialLoader::kSceneVersion);
    for (size_t i = 0; i < types.size(); ++i) {
      ApiNode* node = ApiNode::create(types[i], *graph, true);
      node->setName(("m" + std::to_string(i)).c_str());
    }
    const std::string path = folder_ + "/" + file;
    EXPECT_TRUE(graph->exportToFile(path.c_str()));
    graph->destroy();
    return path;
  }

  static Json::Value MaterialJson() {
    ApiNode* node = ApiNode::create(kDiffuseMaterial, ApiProjectManager::rootNodeGraph(), true);
    Json::Value json = NodeUtils::NodeToStr(node, true);
    node->destroy();
    return json;
  }

  std::shared_ptr<SceneEditor> editor_;
  std::shared_ptr<ZcsMaterialLoader> loader_;
  static std::string folder_;
  static bool started_;
};
std::string MaterialSetsTest::folder_;
bool MaterialSetsTest::started_ = false;

TEST_F(MaterialSetsTest, RestoredTextMovesTheFreeSlotAndSkipsBadKeys) {
  Json::Value text(Json::objectValue);
  const Json::Value material = MaterialJson();
  for (const char* key : {"20000", "20007", "0", "-3", "abc", "20003 old", "99999999999"})
    text["materials"][key] = material;
  text["materials"]["20050"] = Json::Value();
  editor_->SetMaterialsFromStr(Message::JsonToString(text));

  EXPECT_EQ(editor_->GetFreeSlot(), 20008);
  EXPECT_FALSE(MaterialManager::GetMaterialJsonNode(20000).isNull());
  EXPECT_FALSE(MaterialManager::GetMaterialJsonNode(20003).isNull());
  EXPECT_TRUE(MaterialManager::GetMaterialJsonNode(0).isNull());
  EXPECT_TRUE(MaterialManager::GetMaterialJsonNode(-3).isNull());
  EXPECT_TRUE(MaterialManager::GetMaterialJsonNode(20050).isNull());
  EXPECT_EQ(editor_->AddNewMaterial(0, "", "", -1, -1, -1, 1, 1), 20008);

  // Text that does not parse changes nothing; well-formed text of the wrong shape empties.
  editor_->SetMaterialsFromStr("{ \"materials\": ");
  EXPECT_FALSE(MaterialManager::GetMaterialJsonNode(20007).isNull());
  for (const char* odd : {"[1, 2]", "{\"materials\": [1]}", "{\"materials\": \"x\"}", "7"}) {
    editor_->SetMaterialsFromStr(odd);
    EXPECT_TRUE(MaterialManager::GetMaterialJsonNode(20007).isNull()) << odd;
    EXPECT_EQ(editor_->GetFreeSlot(), SceneEditor::GetSceneStartSlot()) << odd;
  }

  // The last id cannot be passed, so it never wraps the free slot around.
  editor_->UpdateFreeSlot(2147483647);
  EXPECT_EQ(editor_->GetFreeSlot(), SceneEditor::GetSceneStartSlot());
}

TEST_F(MaterialSetsTest, NewMaterialsGetTheirInputsAtTheRightPins) {
  EXPECT_EQ(editor_->AddNewMaterial(7, "x", "", 1, 0, 0, 1, 1), -1);
  EXPECT_EQ(editor_->AddNewMaterial(-1, "x", "", 1, 0, 0, 1, 1), -1);

  const int coloured = editor_->AddNewMaterial(3, "Red", "", 1, 0, 0, 1, 1);
  EXPECT_EQ(coloured, 20000);
  ApiNode* node = MaterialManager::GetMaterialNode(coloured);
  ASSERT_NE(node, nullptr);
  EXPECT_STREQ(node->name(), "Red");
  ApiNode* rgb = node->connectedNode(245);
  ASSERT_NE(rgb, nullptr);
  EXPECT_EQ(rgb->type(), 33u);
  EXPECT_FALSE(MaterialManager::GetMaterialJsonNode(coloured).isNull());

  const int textured = editor_->AddNewMaterial(3, "", "/t/leaf.PNG", 1, 0, 0, 1, 1);
  EXPECT_EQ(textured, 20001);
  node = MaterialManager::GetMaterialNode(textured);
  ASSERT_NE(node, nullptr);
  ASSERT_NE(node->connectedNode(145), nullptr);
  EXPECT_EQ(node->connectedNode(145)->type(), 34u);
  ASSERT_NE(node->connectedNode(125), nullptr);
  EXPECT_EQ(node->connectedNode(125)->type(), 35u);

  const int plain = editor_->AddNewMaterial(0, "", "", -1, 0, 0, 1, 1);
  node = MaterialManager::GetMaterialNode(plain);
  ASSERT_NE(node, nullptr);
  const ApiNode* diffuse = node->connectedNode(30);
  EXPECT_TRUE(diffuse == nullptr || (diffuse->type() != 33u && diffuse->type() != 34u));

  // Cleaning returns the editor to the scene start slot.
  MaterialManager::CleanMaterials();
  EXPECT_EQ(editor_->GetFreeSlot(), 20000);
  EXPECT_EQ(MaterialManager::GetMaterialNode(coloured), nullptr);
}

TEST_F(MaterialSetsTest, LoadedFilesBecomeSetsThatKeepTheirIds) {
  const int first_category = MaterialManager::GetNextCategory();
  const std::string wood = WriteScene("wood.zcs", {kDiffuseMaterial, kGlossyMaterial, kDiffuseMaterial});
  const std::string metal = WriteScene("metal.zcs", {kGlossyMaterial});
  // Two loads from two threads take turns instead of running at once.
  std::thread other([&] { EXPECT_TRUE(loader_->Load(metal)); });
  EXPECT_TRUE(loader_->Load(wood));
  other.join();
  loader_->Sync();

  const auto wood_set = loader_->FindSet(wood);
  const auto metal_set = loader_->FindSet(metal);
  ASSERT_NE(wood_set, nullptr);
  ASSERT_NE(metal_set, nullptr);
  EXPECT_EQ(wood_set->name, "wood.zcs");
  ASSERT_EQ(wood_set->indices.size(), 3u);
  ASSERT_EQ(metal_set->indices.size(), 1u);
  EXPECT_EQ(std::abs(wood_set->category - metal_set->category), 1);
  EXPECT_EQ(std::min(wood_set->category, metal_set->category), first_category);
  EXPECT_EQ(loader_->NextLibraryId(), 10004);
  for (int id : wood_set->indices) EXPECT_NE(MaterialManager::GetMaterialNode(id), nullptr);

  // Reloading a file that now holds fewer materials keeps the first ids only.
  const std::vector<int32_t> before = wood_set->indices;
  WriteScene("wood.zcs", {kGlossyMaterial});
  EXPECT_TRUE(loader_->Load(wood));
  EXPECT_EQ(loader_->FindSet(wood), wood_set);
  EXPECT_EQ(wood_set->indices, std::vector<int32_t>{before[0]});
  EXPECT_TRUE(MaterialManager::GetMaterialJsonNode(before[2]).isNull());

  // A file that cannot be imported adds nothing.
  EXPECT_TRUE(loader_->Load(folder_ + "/missing.zcs"));
  EXPECT_EQ(loader_->FindSet(folder_ + "/missing.zcs"), nullptr);

  // The text form carries a set across; its category pushes the counter past it.
  Json::Value text = wood_set->ToString();
  text["path"] = "/elsewhere/wood.zcs";
  text["category"] = MaterialManager::GetNextCategory() + 5;
  const auto copy = ZcsMaterialSet::FromString(text);
  EXPECT_EQ(copy->indices, wood_set->indices);
  EXPECT_EQ(loader_->FindSet("/elsewhere/wood.zcs"), copy);
  EXPECT_EQ(MaterialManager::GetNextCategory(), text["category"].asInt() + 1);
  const auto odd = ZcsMaterialSet::FromString(Json::Value("not an object"));
  EXPECT_EQ(odd->category, -1);
  EXPECT_TRUE(odd->indices.empty());

  MaterialManager::CleanMaterials();
  EXPECT_EQ(loader_->NextLibraryId(), ZcsMaterialLoader::kFirstLibraryId);
  EXPECT_TRUE(loader_->Sets().empty());
}

}  // namespace
}  // namespace Zarnik
