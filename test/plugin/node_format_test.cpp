// Diagnostic text: the stream forms of items, events and value arrays, and graph dumps.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "zarnik.h"
#include "zarnik/node_format.h"
#include "zarnik/node_utils.h"

namespace Zarnik {
namespace {

constexpr NodeType kGlossy = 16;
constexpr NodeType kDiffuse = 17;
constexpr NodeType kFloatTexture = 31;
constexpr NodeType kImageTexture = 34;
constexpr NodeType kMixTexture = 38;
constexpr PinId kDiffusePin = 30;
constexpr PinId kSmoothPin = 218;
constexpr PinId kIndexPin = 402;
constexpr PinId kMixFirst = 238;
constexpr PinId kMixSecond = 239;
constexpr AttributeId kValue = 185;

template <typename T>
std::string Text(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string PointerText(const void* pointer) {
  std::ostringstream out;
  out << pointer;
  return out.str();
}

size_t CountLines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(NodeFormat, NullItemsAreMarked) {
  const std::string null_pointer = PointerText(nullptr);
  EXPECT_EQ(Text(static_cast<const ApiNode*>(nullptr)), null_pointer + " [null ApiNode*]");
  EXPECT_EQ(Text(static_cast<const ApiItem*>(nullptr)), null_pointer + " [null ApiItem*]");
  EXPECT_EQ(Text(static_cast<const ApiNodeGraph*>(nullptr)), null_pointer + " [null ApiNodeGraph*]");
}

TEST(NodeFormat, ArraysShowTheirCountAndAtMostTwentyElements) {
  std::vector<int32_t> ints(25);
  for (int i = 0; i < 25; ++i) ints[i] = i;
  EXPECT_EQ(Text(ApiArray<int32_t>(ints.data(), 25)),
            "[25] [0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,...]");
  EXPECT_EQ(Text(ApiArray<int32_t>(ints.data(), 20)), "[20] [0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19]");
  EXPECT_EQ(Text(ApiArray<int32_t>()), "[0] []");

  const uint8_t bytes[] = {1, 2, 255};
  EXPECT_EQ(Text(ApiArray<uint8_t>(bytes, 3)), "3 [1,2,255]");
  const float_2 pairs[] = {{1.5f, 2}, {3, 4}};
  EXPECT_EQ(Text(ApiArray<float_2>(pairs, 2)), "[2] [[1.5,2],[3,4]]");
  const char* texts[] = {"a", nullptr, "b c"};
  EXPECT_EQ(Text(ApiArray<const char*>(texts, 3)), "[3] [a,,b c]");
  Matrix<float> moved = Matrix<float>::identity();
  moved.m[1][3] = -2.5f;
  EXPECT_EQ(Text(ApiArray<Matrix<float>>(&moved, 1)), "[1] [[[1,0,0,0],[0,1,0,-2.5],[0,0,1,0],[0,0,0,1]]]");

  EXPECT_EQ(Text(float_4{1, 0.25f, -3, 4}), "[1,0.25,-3,4]");
  EXPECT_EQ(Text(int32_4{1, 2, 3, -4}), "[1,2,3,-4]");
}

class NodeFormatTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr); }
  static void TearDownTestSuite() {
    if (started_) apiMode_Shared_exit(nullptr);
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    graph_ = ApiNodeGraph::create(1, ApiProjectManager::rootNodeGraph());
    ASSERT_NE(graph_, nullptr);
    graph_->setName("Test graph");
  }
  void TearDown() override {
    if (graph_ != nullptr) graph_->destroy();
  }

  ApiNode* Make(NodeType type, const char* name, bool configure = false) {
    ApiNode* node = ApiNode::create(type, *graph_, configure);
    EXPECT_NE(node, nullptr);
    if (node != nullptr && name != nullptr) node->setName(name);
    return node;
  }
  ApiNode* MixChain(int levels, bool lattice) {
    ApiNode* below = Make(kImageTexture, "Bottom");
    for (int level = 0; level < levels; ++level) {
      ApiNode* mix = Make(kMixTexture, nullptr);
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
bool NodeFormatTest::started_ = false;

TEST_F(NodeFormatTest, NodesAndGraphsShowTypeNameAndConnections) {
  ApiNode* texture = Make(kFloatTexture, "Grey \"mid\"");
  ApiNode* material = Make(kDiffuse, "Brick");
  ASSERT_TRUE(material->connectTo(kDiffusePin, texture));
  ASSERT_TRUE(material->setPinValue(kSmoothPin, true));

  const std::string pins = std::to_string(material->pinCount());
  EXPECT_EQ(Text(material), PointerText(material) + " ZK_MAT_DIFFUSE \"Brick\" in 1/" + pins + " out 0")
      << "the pin-owned value node is not a graph input";
  EXPECT_EQ(Text(texture), PointerText(texture) + " ZK_FLOAT_TEXTURE \"Grey \\\"mid\\\"\" in 0/0 out 1");
  EXPECT_EQ(Text(static_cast<const ApiItem*>(material)), Text(material));
  EXPECT_EQ(Text(graph_), PointerText(graph_) + " ZK_GRAPH_STANDARD \"Test graph\"");
  EXPECT_EQ(Text(static_cast<const ApiItem*>(graph_)), Text(graph_));
}

TEST_F(NodeFormatTest, ChangeEventsNameTheirTypeItemAndPin) {
  using Event = ApiChangeManager::ChangeEvent;
  ApiNode* texture = Make(kFloatTexture, "Grey");
  ApiNode* material = Make(kDiffuse, "Brick");
  uint32_t diffuse_index = 0;
  ASSERT_TRUE(material->findPin(kDiffusePin, diffuse_index));
  const std::string pin = std::to_string(diffuse_index) + " ZK_PIN_DIFFUSE ZK_PT_TEXTURE";

  EXPECT_EQ(Text(Event::ITEM_UI_OPERATION_FLAG_CHANGED), "ITEM_UI_OPERATION_FLAG_CHANGED");
  EXPECT_EQ(Text(static_cast<Event::Type>(3)), "3");

  const int32_t index = static_cast<int32_t>(diffuse_index);
  EXPECT_EQ(Text(Event{Event::ITEM_UI_OPERATION_FLAG_CHANGED, texture, material, index}),
            "ITEM_UI_OPERATION_FLAG_CHANGED: " + Text(texture));
  EXPECT_EQ(Text(Event{Event::ITEM_DELETE, texture, material, index}),
            "ITEM_DELETE: " + Text(texture) + " (owner " + Text(material) + ", pin " + pin + ")");
  EXPECT_EQ(Text(Event{Event::ITEM_ADDED, texture, graph_, -1}),
            "ITEM_ADDED: " + Text(texture) + " (owner " + Text(graph_) + ")");
  EXPECT_EQ(Text(Event{Event::CONNECTION_CHANGED, material, nullptr, index}),
            "CONNECTION_CHANGED: " + Text(material) + "(pin " + pin);
  EXPECT_EQ(Text(Event{Event::LINKER_ORDER_CHANGED, material, graph_, -1}),
            "LINKER_ORDER_CHANGED: " + Text(material) + " (owner " + Text(graph_) + ")");
  EXPECT_EQ(Text(Event{Event::ITEM_DELETE, nullptr, nullptr, -1}),
            "ITEM_DELETE: " + Text(static_cast<const ApiItem*>(nullptr)) + " (owner " +
                Text(static_cast<const ApiItem*>(nullptr)) + ")");
}

TEST_F(NodeFormatTest, CompareItemsPutsGraphsFirstAndNullLast) {
  ApiNodeGraph* sub = ApiNodeGraph::create(1, *graph_);
  ApiNode* texture_b = Make(kFloatTexture, "B");
  ApiNode* texture_a = Make(kFloatTexture, "A");
  ApiNode* material = Make(kGlossy, "A");
  ApiNode* twin = Make(kFloatTexture, "A");
  std::vector<const ApiItem*> items = {nullptr, material, texture_b, twin, texture_a, sub};
  std::sort(items.begin(), items.end(), NodeUtils::CompareItems);
  const ApiItem* first_a = std::min<const ApiItem*>(texture_a, twin, std::less<const ApiItem*>());
  const ApiItem* second_a = first_a == texture_a ? twin : texture_a;
  EXPECT_EQ(items, (std::vector<const ApiItem*>{sub, material, first_a, second_a, texture_b, nullptr}));
  EXPECT_FALSE(NodeUtils::CompareItems(nullptr, nullptr));
  EXPECT_FALSE(NodeUtils::CompareItems(material, material));
}

TEST_F(NodeFormatTest, GraphDumpDescendsFromOutputEnds) {
  ApiNodeGraph* sub = ApiNodeGraph::create(1, *graph_);
  sub->setName("Sub");
  ApiNode* texture = Make(kFloatTexture, "Grey");
  texture->set(kValue, 0.25f);
  ApiNode* material = Make(kGlossy, "Brick");
  ASSERT_TRUE(material->connectTo(kDiffusePin, texture));
  ASSERT_TRUE(material->setPinValue(kSmoothPin, false));
  ASSERT_TRUE(material->setPinValue(kIndexPin, 1.5f));

  const std::string dump = NodeUtils::FormatGraph(graph_, 0);
  // The texture feeds the material, so it shows only below it; the sub-graph sorts first.
  EXPECT_EQ(dump,
            "ZK_GRAPH_STANDARD\n"
            "    Sub: ZK_GRAPH_STANDARD\n"
            "    Brick: ZK_MAT_GLOSSY\n"
            "        ZK_PIN_DIFFUSE: ZK_PT_TEXTURE <- Grey: ZK_FLOAT_TEXTURE\n"
            "            ZK_ATTR_VALUE: ZK_AT_FLOAT = 0.25\n"
            "        ZK_PIN_SMOOTH: ZK_PT_BOOL <- Bool value: ZK_BOOL = false\n"
            "        ZK_PIN_REFRACTION_INDEX: ZK_PT_FLOAT <- Float value: ZK_FLOAT = 1.5\n"
            "            ZK_ATTR_VALUE: ZK_AT_FLOAT3 = [1.5,0,0]\n");
  EXPECT_EQ(NodeUtils::FormatItem(texture, 2, "in", "x"), "        in <- Grey: ZK_FLOAT_TEXTURE = x\n"
                                                          "            ZK_ATTR_VALUE: ZK_AT_FLOAT = 0.25\n");
  EXPECT_EQ(NodeUtils::FormatItem(nullptr, 1, "", ""), "    nullptr\n");
}

TEST_F(NodeFormatTest, DumpsStayBoundedOnDeepAndBranchingGraphs) {
  const std::string deep = NodeUtils::FormatNode(MixChain(100, false), 0, "");
  EXPECT_EQ(CountLines(deep), NodeUtils::kMaxQueryDepth + 2) << "the top, 64 levels and a cut-off line";
  EXPECT_NE(deep.find(std::string(4 * (NodeUtils::kMaxQueryDepth + 1), ' ') + "...\n"), std::string::npos);
  EXPECT_EQ(deep.find("Bottom"), std::string::npos);

  const std::string wide = NodeUtils::FormatNode(MixChain(30, true), 0, "");
  EXPECT_LE(CountLines(wide), NodeUtils::kMaxDumpItems + 2);
  EXPECT_EQ(wide.substr(wide.size() - 4), "...\n");
}

TEST_F(NodeFormatTest, OutputDumpFollowsDestinations) {
  ApiNode* texture = Make(kFloatTexture, "Grey");
  ApiNode* first = Make(kDiffuse, "First");
  ApiNode* second = Make(kGlossy, "Second");
  ASSERT_TRUE(first->connectTo(kDiffusePin, texture));
  ASSERT_TRUE(second->connectTo(kDiffusePin, texture));

  EXPECT_EQ(NodeUtils::FormatOutputNodes(texture, 5, 0, "start "),
            "start " + Text(texture) + "\n    => diffuse:" + Text(first) + "\n    => diffuse:" + Text(second) + "\n");
  EXPECT_EQ(NodeUtils::FormatOutputNodes(texture, 0, 0, ""), Text(texture) + "\n");
  EXPECT_EQ(NodeUtils::FormatOutputNodes(nullptr, 5, 1, ""), "    " + Text(static_cast<const ApiNode*>(nullptr)) + "\n");
}

}  // namespace
}  // namespace Zarnik
