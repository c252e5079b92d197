// Graph queries against the engine: finding meshes and materials in imported items,
// walking inputs and outputs, sandbox names, default tests and the delete watch.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "application/logger.h"
#include "zarnik.h"
#include "zarnik/node_format.h"
#include "zarnik/node_utils.h"

namespace Zarnik {
namespace {

constexpr NodeType kMesh = 1;
constexpr NodeType kGlossy = 16;
constexpr NodeType kDiffuse = 17;
constexpr NodeType kFloatTexture = 31;
constexpr NodeType kImageTexture = 34;
constexpr NodeType kMixTexture = 38;
constexpr NodeType kRenderTarget = 56;
constexpr NodeType kTransformValue = 67;
constexpr NodeType kTransform2d = 27;
constexpr NodeType kLink = 30007;
constexpr PinId kGeometryPin = 111;
constexpr PinId kLinkInput = 82;
constexpr PinId kDiffusePin = 30;
constexpr PinId kMixFirst = 238;
constexpr PinId kMixSecond = 239;
constexpr PinId kImageTransformPin = 243;
constexpr AttributeId kValue = 185;
constexpr AttributeId kFilename = 34;
constexpr AttributeId kReload = 124;
constexpr AttributeId kTransform = 171;
constexpr AttributeId kMeshPoints = 190;  // float3 array

class NodeQueriesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr); }
  static void TearDownTestSuite() {
    if (started_) apiMode_Shared_exit(nullptr);
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    graph_ = ApiNodeGraph::create(1, ApiProjectManager::rootNodeGraph());
    ASSERT_NE(graph_, nullptr);
  }
  void TearDown() override {
    if (graph_ != nullptr) graph_->destroy();
  }

  ApiNode* Make(NodeType type, bool configure = true) {
    ApiNode* node = ApiNode::create(type, *graph_, configure);
    EXPECT_NE(node, nullptr);
    return node;
  }
  ApiItemArray Items() const {
    ApiItemArray items;
    graph_->getOwnedItems(items);
    return items;
  }
  // A chain of mix textures, each plugged into the first (and, for a lattice, also the
  // second) input of the one above; answers the top.
  ApiNode* MixChain(int levels, bool lattice) {
    ApiNode* below = Make(kImageTexture);
    for (int level = 0; level < levels; ++level) {
      ApiNode* mix = Make(kMixTexture, false);
      EXPECT_TRUE(mix->connectTo(kMixFirst, below, false));
      if (lattice) {
        EXPECT_TRUE(mix->connectTo(kMixSecond, below, false));
      }
      below = mix;
    }
    return below;
  }

  static bool started_;
  ApiNodeGraph* graph_ = nullptr;
};
bool NodeQueriesTest::started_ = false;

TEST_F(NodeQueriesTest, FindMainMeshTakesTheFirstConnectedRenderTarget) {
  Make(kMesh);
  EXPECT_EQ(NodeUtils::FindMainMesh(Items()), nullptr) << "meshes alone are no main mesh";

  Make(kRenderTarget);
  ApiNode* connected = Make(kRenderTarget);
  ApiNode* mesh = Make(kMesh);
  EXPECT_EQ(NodeUtils::FindMainMesh(Items()), nullptr);
  ASSERT_TRUE(connected->connectTo(kGeometryPin, mesh));
  EXPECT_EQ(NodeUtils::FindMainMesh(Items()), mesh);
}

TEST_F(NodeQueriesTest, FindAllMaterialsCollectsOwnedAndPluggedMaterialsOnce) {
  Make(kMesh);
  Make(kFloatTexture);
  const Json::Value none = NodeUtils::FindAllMaterials(Items());
  EXPECT_TRUE(none.isNull()) << "no materials is a null value, not an empty array";

  ApiNode* diffuse = Make(kDiffuse);
  ApiNode* glossy = Make(kGlossy);
  ApiNode* link = Make(kLink);
  ASSERT_TRUE(link->connectTo(kLinkInput, glossy));
  // A material that only a pin owns is found through the node holding it.
  ApiNode* holder = Make(kLink);
  ASSERT_NE(holder->createInternal(kLinkInput, kDiffuse), nullptr);

  const Json::Value all = NodeUtils::FindAllMaterials(Items());
  ASSERT_TRUE(all.isArray());
  ASSERT_EQ(all.size(), 3u);
  std::vector<ApiNode*> expected = {diffuse, glossy, holder->connectedNode(kLinkInput)};
  std::sort(expected.begin(), expected.end());
  for (Json::ArrayIndex i = 0; i < all.size(); ++i)
    EXPECT_EQ(all[i]["type"].asInt(), static_cast<int>(expected[i]->type())) << "ordered by address, at " << i;
}

TEST_F(NodeQueriesTest, InputsOutputsAndNames) {
  ApiNode* texture = Make(kFloatTexture);
  ApiNode* first = Make(kDiffuse);
  ApiNode* second = Make(kGlossy);
  ASSERT_TRUE(first->connectTo(kDiffusePin, texture));
  ASSERT_TRUE(second->connectTo(kDiffusePin, texture));

  EXPECT_EQ(NodeUtils::AllOutputNodes(texture), (std::set<ApiNode*>{first, second}));
  EXPECT_FALSE(NodeUtils::IsOrphanNode(texture));
  EXPECT_TRUE(NodeUtils::IsOrphanNode(first));
  EXPECT_TRUE(NodeUtils::IsOrphanNode(nullptr));

  const std::set<ApiNode*> inputs = NodeUtils::AllInputNodes(first);
  EXPECT_EQ(inputs.count(texture), 1u);
  EXPECT_EQ(inputs.count(nullptr), 1u) << "empty pins give a null entry";
  EXPECT_EQ(inputs.count(first->connectedNode(218)), 1u) << "pin-owned value nodes count as inputs";
  EXPECT_TRUE(NodeUtils::AllInputNodes(nullptr).empty());
  EXPECT_TRUE(NodeUtils::AllOutputNodes(nullptr).empty());

  // Only the graph-owned texture is a visible input; the value nodes belong to their pins.
  EXPECT_EQ(NodeUtils::VisibleInputs(first), 1u);
  EXPECT_EQ(NodeUtils::VisibleInputs(nullptr), 0u);

  EXPECT_FALSE(NodeUtils::HasBeenNamed(first));
  first->setName("Brick");
  EXPECT_TRUE(NodeUtils::HasBeenNamed(first));
  EXPECT_FALSE(NodeUtils::HasBeenNamed(nullptr));
}

TEST_F(NodeQueriesTest, SandboxGraphsAreRecognisedByNameAndFilteredFromOwnedItems) {
  ApiNodeGraph* sandbox = ApiNodeGraph::create(1, *graph_);
  sandbox->setName("ZARNIK SANDBOX (2)");
  ApiNodeGraph* other = ApiNodeGraph::create(1, *graph_);
  other->setName("My zarnik sandbox");
  ApiNode* node = Make(kDiffuse);
  node->setName("Zarnik Sandbox");

  EXPECT_TRUE(NodeUtils::IsSandbox(sandbox));
  EXPECT_FALSE(NodeUtils::IsSandbox(other)) << "the name must start with the prefix";
  EXPECT_FALSE(NodeUtils::IsSandbox(node)) << "only graphs are sandboxes";
  EXPECT_FALSE(NodeUtils::IsSandbox(nullptr));

  EXPECT_EQ(NodeUtils::GetOwnedItems(graph_, NodeUtils::IsSandbox), (std::set<ApiItem*>{sandbox}));
  EXPECT_EQ(NodeUtils::GetOwnedItems(graph_, nullptr), (std::set<ApiItem*>{sandbox, other, node}))
      << "an empty filter keeps everything";
  EXPECT_TRUE(NodeUtils::GetOwnedItems(nullptr, NodeUtils::IsSandbox).empty());
}

TEST_F(NodeQueriesTest, AttributesAtTheirDefault) {
  ApiNode* texture = Make(kFloatTexture);
  const uint32_t value_index = [&] {
    for (uint32_t i = 0; i < texture->attrCount(); ++i)
      if (texture->attrIdIx(i) == kValue) return i;
    return 0u;
  }();
  ASSERT_EQ(texture->attrIdIx(value_index), kValue);

  EXPECT_TRUE(NodeUtils::AttrIsDefaultByID(texture, kValue));
  texture->set(kValue, 0.5f);
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(texture, kValue));
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByIndex(texture, value_index));
  texture->set(kValue, 1.0f);
  EXPECT_TRUE(NodeUtils::AttrIsDefaultByIndex(texture, value_index));
  texture->set(kValue, std::numeric_limits<float>::quiet_NaN());
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(texture, kValue));

  ApiNode* image = Make(kImageTexture);
  EXPECT_TRUE(NodeUtils::AttrIsDefaultByID(image, kFilename));
  EXPECT_TRUE(NodeUtils::AttrIsDefaultByID(image, kReload));
  image->set(kFilename, "bricks.png");
  image->set(kReload, false);
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(image, kFilename));
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(image, kReload));

  // Arrays: empty, a single default element, and anything longer.
  ApiNode* mesh = Make(kMesh);
  EXPECT_TRUE(NodeUtils::AttrIsDefaultByID(mesh, kMeshPoints));
  const float_3 points[2] = {{0, 0, 0}, {0, 0, 0}};
  mesh->set(kMeshPoints, points, 1);
  EXPECT_TRUE(NodeUtils::AttrIsDefaultByID(mesh, kMeshPoints));
  mesh->set(kMeshPoints, points, 2);
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(mesh, kMeshPoints));

  // A transform starts as the identity, which is its default.
  ApiNode* transform = Make(kTransformValue);
  EXPECT_TRUE(NodeUtils::AttrIsDefaultByID(transform, kTransform));
  Matrix<float> moved = Matrix<float>::identity();
  moved.m[0][3] = 2.f;
  transform->set(kTransform, moved);
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(transform, kTransform));
  transform->set(kTransform, Matrix<float>{});
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(transform, kTransform));

  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(nullptr, kValue));
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByID(texture, kFilename)) << "an absent attribute";
  EXPECT_FALSE(NodeUtils::AttrIsDefaultByIndex(texture, texture->attrCount()));
}

TEST_F(NodeQueriesTest, TransformNodesAreFoundAtAnyDepthOnce) {
  // A shared transform below two image textures, under a chain far deeper than the
  // per-path walks go.
  ApiNode* shared = Make(kTransform2d);
  ApiNode* left = Make(kImageTexture);
  ApiNode* right = Make(kImageTexture);
  ASSERT_TRUE(left->connectTo(kImageTransformPin, shared));
  ASSERT_TRUE(right->connectTo(kImageTransformPin, shared));
  ApiNode* top = Make(kMixTexture, false);
  ASSERT_TRUE(top->connectTo(kMixFirst, left));
  ASSERT_TRUE(top->connectTo(kMixSecond, right));
  for (int level = 0; level < 300; ++level) {
    ApiNode* mix = Make(kMixTexture, false);
    ASSERT_TRUE(mix->connectTo(kMixFirst, top, false));
    top = mix;
  }

  std::map<ApiNode*, bool> found;
  NodeUtils::FindAllTransformNodes(top, found);
  EXPECT_EQ(found, (std::map<ApiNode*, bool>{{shared, true}}));
  NodeUtils::FindAllTransformNodes(nullptr, found);
  EXPECT_EQ(found.size(), 1u);
}

TEST_F(NodeQueriesTest, PinNodeWalksStopAtTheirLimits) {
  ApiNode* top = MixChain(3, false);
  const std::string first_pin = top->pinName(kMixFirst);
  std::vector<ApiNode*> found;
  NodeUtils::FindAllPinNodes(top, first_pin, found);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], top->connectedNode(kMixFirst)) << "depth first, from the top";

  found.clear();
  NodeUtils::FindAllPinNodes(MixChain(200, false), first_pin, found);
  EXPECT_EQ(found.size(), NodeUtils::kMaxQueryDepth);

  // 40 levels with both inputs shared make 2^40 paths but only 40 nodes, each found once.
  found.clear();
  NodeUtils::FindAllPinNodes(MixChain(40, true), first_pin, found);
  EXPECT_EQ(found.size(), 40u);
}

TEST_F(NodeQueriesTest, WatchedDeletionsAreLogged) {
  ApiNode* watched = Make(kFloatTexture, false);
  watched->setName("Watched texture");
  ApiNode* unwatched = Make(kFloatTexture, false);
  unwatched->setName("Unwatched texture");
  std::ostringstream watched_text, unwatched_text;
  watched_text << "Destroying " << watched;
  unwatched_text << "Destroying " << unwatched;

  NodeUtils::WatchForDelete(nullptr, true);
  NodeUtils::WatchForDelete(watched, true);
  NodeUtils::WatchForDelete(unwatched, true);
  NodeUtils::WatchForDelete(unwatched, false);
  watched->destroy();
  unwatched->destroy();

  std::stringstream log_file;
  log_file << std::ifstream(Logger::DebugLogPath()).rdbuf();
  const std::string log = log_file.str();
  EXPECT_NE(log.find(watched_text.str() + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(unwatched_text.str()), std::string::npos);
}

}  // namespace
}  // namespace Zarnik
