#include <gtest/gtest.h>

#include <vector>

#include "zarnik.h"
#include "zarnik/node_utils.h"

namespace Zarnik {
namespace {

constexpr NodeType kDiffuseMaterial = 17;

class NodeDestroyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr); }
  static void TearDownTestSuite() {
    if (started_) apiMode_Shared_exit(nullptr);
  }
  void SetUp() override { ASSERT_TRUE(started_); }

  static ApiRootNodeGraph& Root() { return ApiProjectManager::rootNodeGraph(); }

  // Whether the root graph still owns the item with this id (ids are never reused).
  static bool InRoot(uint64_t id) {
    ApiItemArray items;
    Root().getOwnedItems(items);
    for (size_t i = 0; i < items.size(); ++i)
      if (items[i]->uniqueId() == id) return true;
    return false;
  }

  static bool started_;
};
bool NodeDestroyTest::started_ = false;

TEST_F(NodeDestroyTest, SafeDestroyLeavesPinOwnedNodesAndNullAlone) {
  ApiNode* none = nullptr;
  NodeUtils::SafeDestroy(none);
  NodeUtils::SafeRecursiveDestroy(none);

  ApiNode* material = ApiNode::create(kDiffuseMaterial, Root(), true);
  ASSERT_NE(material, nullptr);
  uint32_t pin = 0;
  while (pin < material->pinCount() && material->connectedNodeIx(pin) == nullptr) ++pin;
  ASSERT_LT(pin, material->pinCount()) << "a configured material holds value nodes in its pins";
  ApiNode* const inner = material->connectedNodeIx(pin);
  ASSERT_TRUE(inner->pinOwned());
  ApiNode* held = inner;
  NodeUtils::SafeDestroy(held);
  NodeUtils::SafeRecursiveDestroy(held);
  EXPECT_EQ(held, inner);
  EXPECT_EQ(material->connectedNodeIx(pin), inner);

  const uint64_t id = material->uniqueId();
  NodeUtils::SafeDestroy(material);
  EXPECT_EQ(material, nullptr);
  EXPECT_FALSE(InRoot(id));
}

TEST_F(NodeDestroyTest, SafeRecursiveDestroyTakesGraphOwnedInputsAlong) {
  ApiNode* material = ApiNode::create(kDiffuseMaterial, Root(), true);
  ApiNode* other = ApiNode::create(kDiffuseMaterial, Root(), true);
  ASSERT_NE(material, nullptr);
  ASSERT_NE(other, nullptr);
  const ApiArray<NodeType> texture_types = ApiInfo::nodeTypesForPinType(PinKind::Texture);
  ASSERT_FALSE(texture_types.empty());
  ApiNode* texture = ApiNode::create(texture_types[0], Root(), true);
  ASSERT_NE(texture, nullptr);

  // One texture in every texture pin of the material (later pins find it already gone)
  // and in a pin of another material.
  std::vector<uint32_t> pins;
  for (uint32_t i = 0; i < material->pinCount(); ++i)
    if (material->pinTypeIx(i) == PinKind::Texture) pins.push_back(i);
  ASSERT_FALSE(pins.empty());
  for (uint32_t pin : pins) ASSERT_TRUE(material->connectToIx(pin, texture));
  ASSERT_TRUE(other->connectToIx(pins[0], texture));

  const uint64_t material_id = material->uniqueId();
  const uint64_t texture_id = texture->uniqueId();
  NodeUtils::SafeRecursiveDestroy(material);
  EXPECT_EQ(material, nullptr);
  EXPECT_FALSE(InRoot(material_id));
  EXPECT_FALSE(InRoot(texture_id));
  EXPECT_EQ(other->connectedNodeIx(pins[0]), nullptr);
  NodeUtils::SafeRecursiveDestroy(other);
  EXPECT_EQ(other, nullptr);
}

TEST_F(NodeDestroyTest, MaterialTypesAreKnownMaterialsInAFixedOrder) {
  const std::vector<NodeType> expected = {17, 16, 120, 19, 20, 18, 121};
  EXPECT_EQ(NodeUtils::MaterialTypes(), expected);
  for (NodeType type : NodeUtils::MaterialTypes()) {
    const ApiNodeInfo* info = ApiInfo::nodeInfo(type);
    ASSERT_NE(info, nullptr) << type;
    EXPECT_EQ(info->outType, PinKind::Material) << type;
  }
  EXPECT_EQ(NodeUtils::MaterialTypes(), expected);
}

}  // namespace
}  // namespace Zarnik
