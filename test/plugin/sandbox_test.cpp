// The material sandbox against the engine: moving materials behind link nodes, material
// text both ways, texture paths, and bounded input walks.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "materials/mat_manager.h"
#include "materials/texture_tracker.h"
#include "utils/paths.h"
#include "zarnik.h"
#include "zarnik/node_utils.h"
#include "zarnik/zarnik_window.h"

namespace Zarnik {
namespace {

namespace fs = std::filesystem;

constexpr NodeType kMesh = 1;
constexpr NodeType kOverride = 2;
constexpr NodeType kDiffuse = 17;
constexpr NodeType kMixMaterial = 19;
constexpr NodeType kImageTexture = 34;
constexpr NodeType kMixTexture = 38;
constexpr NodeType kLink = 30007;
constexpr PinId kGeometryPin = 59;
constexpr PinId kLinkInput = 82;
constexpr PinId kDiffusePin = 30;
constexpr PinId kMixFirst = 238;
constexpr PinId kMixSecond = 239;
constexpr AttributeId kMaterialNames = 63;
constexpr AttributeId kFilename = 34;

class SandboxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/sandbox_test_XXXXXX";
    if (!mkdtemp(pattern)) return;
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
    fs::create_directories(Strings::GetPreviewTexturesPath());
    fs::create_directories(Strings::GetWorkingTexturesPath());
    const char* err = nullptr;
    started_ = apiMode_Shared_start("ZARNIKSU", false, &err, nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    ZarnikWindow::ResetScene();
    MaterialManager::CleanMaterials();
    if (started_) apiMode_Shared_exit(nullptr);
    if (!home_.empty()) fs::remove_all(home_);
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    ZarnikWindow::ResetScene();
  }

  static ApiRootNodeGraph& Root() { return ApiProjectManager::rootNodeGraph(); }

  static ApiNode* Material(const char* name, ApiNodeGraph& graph = Root()) {
    ApiNode* node = ApiNode::create(kDiffuse, graph, true);
    node->setName(name);
    return node;
  }

  // A material override on a one-slot mesh called mesh_name, its slot taking material.
  static ApiNode* UseOn(ApiNode* material, const char* mesh_name) {
    ApiNode* mesh = ApiNode::create(kMesh, Root(), true);
    mesh->setName(mesh_name);
    const char* slots[] = {"slot"};
    mesh->set(kMaterialNames, slots, 1, true);
    ApiNode* user = ApiNode::create(kOverride, Root(), true);
    user->connectTo(kGeometryPin, mesh, true);
    EXPECT_TRUE(user->connectToIx(SlotIndex(user), material, true));
    return user;
  }

  static uint32_t SlotIndex(const ApiNode* user) {
    for (uint32_t i = 0; i < user->pinCount(); ++i)
      if (user->pinIdIx(i) == 0) return i;
    return user->pinCount();
  }

  static std::vector<ApiNode*> Links() {
    ApiNodeArray links;
    if (ZarnikWindow::Sandbox()) ZarnikWindow::Sandbox()->findNodes(kLink, links);
    return std::vector<ApiNode*>(links.nodes(), links.nodes() + links.size());
  }

  static std::string home_;
  static bool started_;
};
std::string SandboxTest::home_;
bool SandboxTest::started_ = false;

using ZarnikWindow::Owner;

TEST_F(SandboxTest, MaterialsMoveBehindOneSharedLinkPerName) {
  ApiNode* brick = Material("Brick");
  ApiNode* roof = UseOn(brick, "Roof");
  ApiNode* wall = UseOn(brick, "Wall");
  // Same name, used by geometry of no name: shares the copy and adds no label of its own.
  ApiNode* twin = Material("Brick");
  ApiNode* loose = ApiNode::create(kMesh, Root(), true);
  loose->setName("");
  const char* slots[] = {"slot"};
  loose->set(kMaterialNames, slots, 1, true);
  ApiNode* floor = ApiNode::create(kOverride, Root(), true);
  floor->connectTo(kGeometryPin, loose, true);
  floor->connectToIx(SlotIndex(floor), twin, true);
  ApiNode* unused = Material("Unused");

  ZarnikWindow::CreateSandbox();
  ApiNodeGraph* sandbox = ZarnikWindow::Sandbox();
  ASSERT_NE(sandbox, nullptr);
  EXPECT_STREQ(sandbox->name(), "Zarnik Sandbox");
  EXPECT_TRUE(ApiProjectManager::projectSettings().getBool(35));

  ASSERT_EQ(ZarnikWindow::Materials().size(), 1u);
  // A copy: moving another material into the sandbox below grows the list and would leave a
  // reference to its first entry dangling.
  const ZarnikWindow::MaterialInfo info = ZarnikWindow::Materials()[0];
  const std::vector<ApiNode*> links = Links();
  ASSERT_EQ(links.size(), 1u);
  ApiNode* link = links[0];
  EXPECT_EQ(info.link, link);
  EXPECT_STREQ(link->name(), "Link to Roof etc");
  EXPECT_EQ(link->uiOperationFlags(), 4u);
  EXPECT_EQ(link->connectedNode(kLinkInput), info.material);
  EXPECT_STREQ(info.material->name(), "Brick");
  EXPECT_EQ(info.destinations.size(), 3u);
  for (ApiNode* user : {roof, wall, floor}) EXPECT_EQ(user->connectedNodeIx(SlotIndex(user)), link);

  // The originals stay in the root graph, no longer used; the scratch graph is gone.
  EXPECT_EQ(ZarnikWindow::CheckOwner(brick), Owner::Root);
  EXPECT_EQ(ZarnikWindow::CheckOwner(info.material), Owner::Sandbox);
  EXPECT_EQ(ZarnikWindow::CheckOwner(nullptr), Owner::None);
  EXPECT_TRUE(NodeUtils::IsOrphanNode(brick));
  EXPECT_TRUE(NodeUtils::IsOrphanNode(twin));
  ApiItemArray items;
  Root().getOwnedItems(items);
  size_t graphs = 0;
  for (size_t i = 0; i < items.size(); ++i) graphs += items[i]->isGraph() ? 1 : 0;
  EXPECT_EQ(graphs, 1u);

  // Not in use: left alone by the extraction, moved when forced.
  EXPECT_EQ(ZarnikWindow::CheckOwner(unused), Owner::Root);
  EXPECT_FALSE(ZarnikWindow::AlreadyHaveId(7));
  ApiNode* forced = ZarnikWindow::MoveToSandbox(unused, 7, true);
  ASSERT_NE(forced, nullptr);
  EXPECT_EQ(ZarnikWindow::CheckOwner(forced), Owner::Sandbox);
  EXPECT_TRUE(ZarnikWindow::AlreadyHaveId(7));
  EXPECT_FALSE(ZarnikWindow::AlreadyHaveId(0));
  EXPECT_EQ(ZarnikWindow::MoveToSandbox(info.material, 0, true), nullptr) << "already in the sandbox";

  std::ostringstream words;
  words << Owner::None << ' ' << Owner::Root << ' ' << Owner::Sandbox << ' ' << Owner::Unknown << ' '
        << static_cast<Owner>(9);
  EXPECT_EQ(words.str(), "none root sandbox unknown 9");
}

TEST_F(SandboxTest, ReopeningKeepsTheSandboxItsLinksAndEdits) {
  ApiNode* brick = Material("Brick");
  UseOn(brick, "Roof");
  ZarnikWindow::CreateSandbox();
  ApiNodeGraph* first = ZarnikWindow::Sandbox();
  ApiNode* old_link = Links().at(0);
  MaterialManager::SetMaterial(20500, old_link);

  // Only the moved originals are left in the root graph: the sandbox and its links stay.
  ZarnikWindow::CreateSandbox();
  EXPECT_EQ(ZarnikWindow::Sandbox(), first);
  EXPECT_EQ(MaterialManager::GetMaterialNode(20500), old_link);

  // A material the geometry took up meanwhile joins the same sandbox.
  UseOn(Material("Slate"), "Path");
  ZarnikWindow::CreateSandbox();
  EXPECT_EQ(ZarnikWindow::Sandbox(), first);
  EXPECT_EQ(MaterialManager::GetMaterialNode(20500), old_link);
  ASSERT_EQ(ZarnikWindow::Materials().size(), 2u);
  EXPECT_STREQ(ZarnikWindow::Materials()[1].material->name(), "Slate");
}

TEST_F(SandboxTest, MaterialTextRoundTrips) {
  ApiNode* brick = Material("Brick");
  UseOn(brick, "Roof");
  ZarnikWindow::CreateSandbox();
  ApiNode* link = Links().at(0);
  const std::string text = ZarnikWindow::SerializeMaterial(link);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text, ZarnikWindow::SerializeMaterial(link->connectedNode(kLinkInput)));
  EXPECT_EQ(ZarnikWindow::SerializeMaterial(nullptr), "");

  ApiNode* back = ZarnikWindow::DeserializeMaterial(text, &Root());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->type(), kDiffuse);
  EXPECT_STREQ(back->name(), "Brick");
  EXPECT_EQ(ZarnikWindow::CheckOwner(back), Owner::Root);

  // Of several materials the one nothing uses is the material; the rest come along.
  ApiNode* mix = ApiNode::create(kMixMaterial, Root(), true);
  mix->setName("Blend");
  mix->connectTo(kMixFirst, Material("A"), true);
  mix->connectTo(kMixSecond, Material("B"), true);
  ApiNode* blend = ZarnikWindow::DeserializeMaterial(ZarnikWindow::SerializeMaterial(mix), &Root());
  ASSERT_NE(blend, nullptr);
  EXPECT_STREQ(blend->name(), "Blend");
  ASSERT_NE(blend->connectedNode(kMixFirst), nullptr);
  EXPECT_STREQ(blend->connectedNode(kMixFirst)->name(), "A");

  EXPECT_EQ(ZarnikWindow::DeserializeMaterial("", &Root()), nullptr);
  EXPECT_EQ(ZarnikWindow::DeserializeMaterial("<not a scene", &Root()), nullptr);
  EXPECT_EQ(ZarnikWindow::DeserializeMaterial(text, nullptr), nullptr);
}

TEST_F(SandboxTest, TexturesAreRecordedAndRepointed) {
  const std::string file = home_ + "/bricks.png";
  std::ofstream(file) << "not really a picture";
  ApiNode* material = Material("Brick");
  ApiNode* texture = material->createInternal(kDiffusePin, kImageTexture, true, true);
  ASSERT_NE(texture, nullptr);
  texture->set(kFilename, file.c_str(), true);

  ZarnikWindow::ReplaceTextures(material);
  EXPECT_EQ(texture->getString(kFilename), file) << "untracked files stay";

  ZarnikWindow::RecordTextures(material);
  ZarnikWindow::ReplaceTextures(material);
  const std::string now = texture->getString(kFilename);
  EXPECT_NE(now, file);
  EXPECT_TRUE(fs::exists(now));
  ZarnikWindow::ReplaceTextures(nullptr);
}

TEST_F(SandboxTest, InputWalksStopTwentyLevelsDown) {
  std::vector<ApiNode*> chain;
  for (int i = 0; i < 23; ++i) {
    chain.push_back(ApiNode::create(kMixTexture, Root(), true));
    if (i > 0) {
      ASSERT_TRUE(chain[i - 1]->connectTo(kMixFirst, chain[i], true));
    }
  }
  std::vector<float> before;
  for (ApiNode* node : chain) before.push_back(node->position().x);
  ZarnikWindow::AdjustNodePosition(chain[0], float_2{10.f, 5.f});
  for (int i = 0; i <= 20; ++i) EXPECT_EQ(chain[i]->position().x, before[i] + 10.f) << "level " << i;
  EXPECT_EQ(chain[21]->position().x, before[21]);
  EXPECT_EQ(chain[22]->position().x, before[22]);
}

}  // namespace
}  // namespace Zarnik
