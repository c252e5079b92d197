// Definitions and material maps against the running engine, with host materials
// registered directly (the Ruby side has no way to register them yet).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sketchup/definition.h"
#include "sketchup/geometry_stream.h"
#include "sketchup/su_manager.h"
#include "zarnik.h"

namespace Zarnik {
namespace {

constexpr NodeType kDiffuse = 17;
constexpr AttributeId kMaterialNames = 63;
constexpr AttributeId kPolyMaterials = 114;
constexpr AttributeId kInstanceIds = 279;
constexpr AttributeId kObjectId = 280;
constexpr AttributeId kTransforms = 170;
constexpr PinId kGeometryPin = 59;

class SceneMaterialTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr);
    if (started_) SketchupManager::InitRegistry();
  }
  static void TearDownTestSuite() {
    if (!started_) return;
    SketchupManager::Cleanup();
    apiMode_Shared_exit(nullptr);
  }
  void SetUp() override { ASSERT_TRUE(started_); }

  static ApiNode* NewMaterialNode(const char* name) {
    ApiNode* node = ApiNode::create(kDiffuse, ApiProjectManager::rootNodeGraph(), true);
    node->setName(name);
    return node;
  }

  static std::shared_ptr<SuMaterial> Register(int id, ApiNode* node) {
    auto material = std::make_shared<SuMaterial>(id);
    material->SetNode(node);
    SketchupManager::SetMaterial(id, material);
    return material;
  }

  // The definition under `id` (made when there is none) streamed with `triangles` separate
  // triangles and the given faces.
  static std::shared_ptr<Definition> Streamed(int id, int triangles, const std::vector<Face>& faces) {
    std::shared_ptr<Definition> definition = SketchupManager::GetDefinition(id);
    if (!definition) {
      definition = std::make_shared<Definition>(id);
      SketchupManager::SetDefinition(id, definition);
      SketchupManager::SetEntity(id, definition);
    }
    GeometryStreamBuilder& stream = SketchupManager::StreamBuilder();
    stream.SetName("definition " + std::to_string(id));
    for (int t = 0; t < triangles; ++t) {
      for (int corner = 0; corner < 3; ++corner) {
        stream.AddVertex(static_cast<float>(t), static_cast<float>(corner), 0);
        stream.AddNormal(0, 0, 1, 1);
        stream.AddUvw(0, 0, 1);
      }
    }
    for (int k = 1; k <= triangles * 3; ++k) {
      stream.AddVertexIndex(k);
      stream.AddNormalIndex(k);
      stream.AddUvwIndex(k);
    }
    for (const Face& face : faces) stream.AddFace(face);
    SketchupManager::SetActiveEntityId(id);
    EXPECT_TRUE(SketchupManager::EvaluateStream(""));
    return definition;
  }

  static std::vector<int> Slots(const Definition& definition) {
    const ApiArray<int32_t> slots = definition.GetMesh()->getIntArray(kPolyMaterials);
    return std::vector<int>(slots.begin(), slots.end());
  }

  static std::vector<std::string> SlotNames(const Definition& definition) {
    const ApiArray<const char*> names = definition.GetMesh()->getStringArray(kMaterialNames);
    return std::vector<std::string>(names.begin(), names.end());
  }

  static bool started_;
};
bool SceneMaterialTest::started_ = false;

TEST_F(SceneMaterialTest, SlotsFollowTheFirstAppearanceOfEachMaterial) {
  Register(3, NewMaterialNode("three"));
  Register(7, NewMaterialNode("seven"));
  auto definition = Streamed(100, 6, {{10, 3, 0, 2}, {11, 7, 2, 5}, {12, 3, 5, 6}});
  EXPECT_EQ(Slots(*definition), (std::vector<int>{0, 0, 1, 1, 1, 0}));
  EXPECT_EQ(SlotNames(*definition), (std::vector<std::string>{"mat_1", "mat_2"}));

  // Face 11 takes material 3: its triangles join slot 0, and the unused slot stays named.
  definition->SetMaterial(SketchupManager::GetMaterial(3), 11);
  definition->TryToRebuildFaceMaterials();
  EXPECT_EQ(Slots(*definition), (std::vector<int>{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(SlotNames(*definition).size(), 2u);
  EXPECT_EQ(definition->GetMaterial(11), SketchupManager::GetMaterial(3));
}

TEST_F(SceneMaterialTest, UnregisteredMaterialsShareOneSlotAndRangesStayInside) {
  // Materials 404 and 405 are unknown; one face claims triangles beyond the stream, and
  // one a range that starts below zero.
  Register(41, NewMaterialNode("forty-one"));
  auto definition = Streamed(101, 4, {{1, 404, 0, 1}, {2, 405, 1, 2}, {3, 41, 2, 1000}, {4, 41, -5, 0}});
  EXPECT_EQ(definition->num_triangles(), 4u);
  EXPECT_EQ(Slots(*definition), (std::vector<int>{0, 0, 1, 1}));
  EXPECT_EQ(SlotNames(*definition).size(), 2u);
  EXPECT_EQ(definition->faces().size(), 4u);
}

TEST_F(SceneMaterialTest, OverrideShowsFaceMaterialsElseTheInstanceMaterial) {
  ApiNode* own = NewMaterialNode("own");
  ApiNode* painted = NewMaterialNode("painted");
  Register(21, own);
  Register(22, nullptr);  // registered, but without a node yet
  Register(23, painted);
  auto definition = Streamed(102, 3, {{1, 21, 0, 1}, {2, 22, 1, 2}, {3, -1, 2, 3}});

  definition->AddInstance(Float4x4(), 23);
  definition->AddInstance(Float4x4(), kNoId);
  ASSERT_EQ(definition->material_maps().size(), 2u);

  auto with_paint = definition->GetMaterialMap(23);
  ApiNode* placement = with_paint->GetGeometry();
  ASSERT_NE(placement, nullptr);
  ApiNode* override_node = placement->inputNode(kGeometryPin);
  ASSERT_EQ(override_node, with_paint->override_node());
  EXPECT_EQ(override_node->inputNode(kGeometryPin), definition->GetMesh());
  ASSERT_EQ(override_node->pinCount(), 4u);
  EXPECT_EQ(override_node->inputNodeIx(1), own);
  EXPECT_EQ(override_node->inputNodeIx(2), painted);
  EXPECT_EQ(override_node->inputNodeIx(3), painted);

  auto bare = definition->GetMaterialMap(kNoId);
  ApiNode* bare_override = bare->GetGeometry()->inputNode(kGeometryPin);
  EXPECT_EQ(bare_override->inputNodeIx(1), own);
  EXPECT_EQ(bare_override->inputNodeIx(2), nullptr);
  EXPECT_EQ(bare_override->inputNodeIx(3), nullptr);
}

TEST_F(SceneMaterialTest, RepaintingRewiresOnlyWhatChangedAndKeepsEverySlotRight) {
  ApiNode* brick = NewMaterialNode("brick");
  ApiNode* glass = NewMaterialNode("glass");
  ApiNode* paint = NewMaterialNode("paint");
  Register(51, brick);
  auto glass_material = Register(52, glass);
  Register(53, paint);
  auto definition = Streamed(104, 3, {{1, 51, 0, 1}, {2, -1, 1, 2}, {3, 51, 2, 3}});
  definition->AddInstance(Float4x4(), 53);
  auto map = definition->GetMaterialMap(53);
  ApiNode* override_node = map->GetGeometry()->inputNode(kGeometryPin);
  ASSERT_EQ(override_node->pinCount(), 3u);
  EXPECT_EQ(override_node->inputNodeIx(1), brick);
  EXPECT_EQ(override_node->inputNodeIx(2), paint);

  // A face painted with a material new to the definition opens a slot: the override grows a
  // pin for it and that pin, and only it, takes the new material.
  definition->SetMaterial(glass_material, 3);
  definition->TryToRebuildFaceMaterials();
  definition->RebuildMeshMaterialMaps();
  ASSERT_EQ(override_node->pinCount(), 4u);
  EXPECT_EQ(override_node->inputNodeIx(1), brick);
  EXPECT_EQ(override_node->inputNodeIx(2), paint);
  EXPECT_EQ(override_node->inputNodeIx(3), glass);
  EXPECT_EQ(Slots(*definition), (std::vector<int>{0, 1, 2}));

  // A material whose node is replaced shows the new node; one that loses its node falls back
  // to the instance material; the same wiring asked for twice stays as it is.
  ApiNode* tinted = NewMaterialNode("tinted");
  glass_material->SetNode(tinted);
  SketchupManager::GetMaterial(51)->SetNode(nullptr);
  definition->RebuildMeshMaterialMaps();
  definition->RebuildMeshMaterialMaps();
  EXPECT_EQ(override_node->inputNodeIx(1), paint);
  EXPECT_EQ(override_node->inputNodeIx(3), tinted);
  EXPECT_EQ(override_node->inputNode(kGeometryPin), definition->GetMesh());
  ApiNodeArray users;
  ApiStringArray pins;
  tinted->destinationNodes(users, pins);
  EXPECT_EQ(users.size(), 1u);
  glass->destinationNodes(users, pins);
  EXPECT_EQ(users.size(), 0u);
}

TEST_F(SceneMaterialTest, PlacementIdsCountOnFromTheSourceObjectId) {
  auto definition = Streamed(103, 1, {{1, -1, 0, 1}});
  Float4x4 moved;
  moved[12] = 2;
  definition->AddInstance(Float4x4(), kNoId);
  definition->AddInstance(moved, kNoId);
  auto map = definition->GetMaterialMap(kNoId);
  map->Evaluate();
  map->override_node()->set(kObjectId, int32_t{7}, true);
  ApiNode* placement = map->GetGeometry();
  const ApiArray<int32_t> ids = placement->getIntArray(kInstanceIds);
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.end()), (std::vector<int>{8, 9}));
  const ApiArray<Matrix<float>> transforms = placement->getMatrixArray(kTransforms);
  ASSERT_EQ(transforms.size(), 2u);
  EXPECT_EQ(transforms[1].m[0][3], 2.0f);

  // A new stream drops the maps and their nodes.
  const uint64_t placement_id = placement->uniqueId();
  map.reset();
  Streamed(103, 1, {{1, -1, 0, 1}});
  EXPECT_TRUE(definition->material_maps().empty());
  ApiNodeArray placements;
  ApiProjectManager::rootNodeGraph().findNodes(5, placements);
  for (size_t i = 0; i < placements.size(); ++i) EXPECT_NE(placements[i]->uniqueId(), placement_id);
}

TEST_F(SceneMaterialTest, DiscardedMaterialNodesUnregisterTheirMaterials) {
  ApiNode* shared = NewMaterialNode("shared");
  ApiNode* replacement = NewMaterialNode("replacement");
  Register(31, shared);
  Register(32, shared);
  Register(33, replacement);
  SketchupManager::ReplaceZarnikMaterial(shared, replacement);
  EXPECT_EQ(SketchupManager::GetMaterial(31)->node(), replacement);
  EXPECT_EQ(SketchupManager::GetMaterial(31)->name(), "default");
  SketchupManager::DiscardZarnikMaterial(replacement);
  EXPECT_FALSE(SketchupManager::IsMaterialValid(31));
  EXPECT_FALSE(SketchupManager::IsMaterialValid(32));
  EXPECT_FALSE(SketchupManager::IsMaterialValid(33));
}

}  // namespace
}  // namespace Zarnik
