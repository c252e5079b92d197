// Held nodes against the running engine: a node the user destroyed is noticed even when
// the engine has since handed its address to a new node.
#include <gtest/gtest.h>

#include <vector>

#include "sketchup/held_node.h"
#include "zarnik.h"

namespace Zarnik {
namespace {

constexpr NodeType kMeshType = 1;
constexpr NodeType kDiffuseMaterial = 17;

class HeldNodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr); }
  static void TearDownTestSuite() {
    if (started_) apiMode_Shared_exit(nullptr);
  }
  void SetUp() override { ASSERT_TRUE(started_); }

  static ApiNode* NewMesh() { return ApiNode::create(kMeshType, ApiProjectManager::rootNodeGraph(), true); }

  static bool started_;
};
bool HeldNodeTest::started_ = false;

TEST_F(HeldNodeTest, ANodeDestroyedBehindItsBackIsForgottenNotReused) {
  ApiNode* mesh = NewMesh();
  ASSERT_NE(mesh, nullptr);
  HeldNode held(mesh);
  EXPECT_EQ(held.get(), mesh);
  EXPECT_FALSE(held.Vanished());

  mesh->destroy();
  EXPECT_EQ(held.get(), nullptr);
  EXPECT_TRUE(held.Vanished());

  // Once the engine frees the old node for good its address comes back for new nodes; the
  // held handle must not take such a node for its own, nor destroy it.
  std::vector<ApiNode*> fillers;
  ApiNode* same_address = nullptr;
  for (int i = 0; i < 20000 && !same_address; ++i) {
    ApiNode* node = NewMesh();
    ASSERT_NE(node, nullptr);
    if (node == mesh) {
      same_address = node;
    } else {
      node->destroy();
    }
  }
  RecordProperty("address_reused", same_address ? 1 : 0);
  if (same_address) {
    EXPECT_EQ(held.get(), nullptr);
    EXPECT_TRUE(held.Vanished());
    held.Destroy();
    EXPECT_NE(same_address->uniqueId(), 0u) << "the new node at the old address lives on";
    same_address->destroy();
  } else {
    held.Destroy();
  }
  EXPECT_FALSE(held.Vanished());
  EXPECT_EQ(held.get(), nullptr);
}

TEST_F(HeldNodeTest, DestroyLeavesAPinOwnedNodeHeld) {
  ApiNode* material = ApiNode::create(kDiffuseMaterial, ApiProjectManager::rootNodeGraph(), true);
  ASSERT_NE(material, nullptr);
  std::uint32_t pin = 0;
  while (pin < material->pinCount() && material->connectedNodeIx(pin) == nullptr) ++pin;
  ASSERT_LT(pin, material->pinCount());
  HeldNode inner(material->connectedNodeIx(pin));
  inner.Destroy();
  EXPECT_NE(inner.get(), nullptr) << "a pin-owned node goes with its pin";

  material->destroy();
  EXPECT_TRUE(inner.Vanished());
  inner.Destroy();
  EXPECT_FALSE(inner.Vanished());
}

}  // namespace
}  // namespace Zarnik
