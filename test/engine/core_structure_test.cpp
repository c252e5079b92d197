// Engine start and exit, item ownership, connections and destruction.
#include <cstring>
#include <vector>

#include "core_fixture.h"
#include "scene_text.h"

namespace Zarnik {
namespace Engine {
namespace {

TEST(CoreStartTest, ProductIdMustBeEightUpperCaseLetters) {
    for (const char* bad : {"ZKCORET", "ZKCORETSX", "zkcorets", "ZKCORE1S", ""}) {
        const char* error = nullptr;
        EXPECT_FALSE(apiMode_Shared_start(bad, false, &error, nullptr, nullptr)) << bad;
        ASSERT_NE(error, nullptr);
        EXPECT_STREQ(error, "invalid product identifier");
        EXPECT_FALSE(Testing::Started());
    }
    EXPECT_FALSE(apiMode_Shared_start(nullptr, false, nullptr, nullptr, nullptr));

    const char* error = nullptr;
    ASSERT_TRUE(apiMode_Shared_start("ZKCORETS", false, &error, nullptr, nullptr));
    EXPECT_EQ(error, nullptr);
    EXPECT_FALSE(apiMode_Shared_start("ZKCORETS", false, &error, nullptr, nullptr));
    EXPECT_NE(error, nullptr);
    apiMode_Shared_exit(nullptr);
    EXPECT_FALSE(Testing::Started());
    // Restartable, with a fresh project.
    ASSERT_TRUE(apiMode_Shared_start("ZKCORETS", false, nullptr, nullptr, nullptr));
    EXPECT_TRUE(ApiProjectManager::rootNodeGraph().isRootGraph());
    apiMode_Shared_exit(nullptr);
}

TEST(CoreStartTest, ProjectIsUsableBeforeStartAndExitFreesEverything) {
    ApiRootNodeGraph& root = ApiProjectManager::rootNodeGraph();
    ApiNode* mesh = ApiNode::create(Types::Mesh, root, true);
    ASSERT_NE(mesh, nullptr);
    const uint64_t meshId = mesh->uniqueId();
    ASSERT_TRUE(apiMode_Shared_start("ZKCORETS", false, nullptr, nullptr, nullptr));
    EXPECT_EQ(&ApiProjectManager::rootNodeGraph(), &root);    // the early project is kept
    apiMode_Shared_exit(nullptr);
    EXPECT_EQ(Testing::ItemById(meshId), nullptr);
    // A stale pointer after exit is answered, not followed.
    EXPECT_EQ(mesh->pinCount(), 0u);
    mesh->destroy();
}

class StructureTest : public CoreTest {};

TEST_F(StructureTest, CreateConfiguresPinsWithPinOwnedValueNodes) {
    ApiNode* target = make(Types::RenderTarget);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->graphOwner(), &project());
    EXPECT_STREQ(target->name(), "Render target");
    ApiNode* camera = target->connectedNode(19);
    ASSERT_NE(camera, nullptr);
    EXPECT_TRUE(camera->pinOwned());
    EXPECT_EQ(camera->graphOwner(), nullptr);
    EXPECT_EQ(camera->pinOwnerNode(), target);
    EXPECT_EQ(camera->pinOwnerIx(), pinIndex(target, 19));
    EXPECT_EQ(camera->rootGraph(), &project());
    EXPECT_FALSE(target->isInputLinked(19));
    // Value pins hold value nodes carrying the pin's default.
    EXPECT_FLOAT_EQ(camera->getPinFloat(53), 45.f);
    ApiNode* fov = camera->connectedNode(53);
    ASSERT_NE(fov, nullptr);
    EXPECT_EQ(fov->type(), Types::FloatValue);
    EXPECT_FLOAT_EQ(fov->getFloat(Attrs::Value), 45.f);
    // Pin-owned nodes are not owned items of the graph.
    ApiItemArray items;
    project().getOwnedItems(items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0], target);

    EXPECT_EQ(make(99999), nullptr);
    ApiNode* bare = make(Types::RenderTarget, false);
    EXPECT_EQ(bare->connectedNode(19), nullptr);
    bare->configureEmptyPins();
    EXPECT_NE(bare->connectedNode(19), nullptr);
}

TEST_F(StructureTest, ConnectReplacesUnlinksAndRefuses) {
    ApiNode* material = make(17);
    ApiNode* rgb = material->createInternal(30, Types::RgbTexture);
    ASSERT_NE(rgb, nullptr);
    const uint64_t rgbId = rgb->uniqueId();
    ApiNode* image = make(Types::ImageTexture);

    // Connecting a graph-owned node destroys the pin-owned one that was there.
    ASSERT_TRUE(material->connectTo(30, image));
    EXPECT_FALSE(alive(rgbId));
    EXPECT_EQ(material->connectedNode(30), image);
    EXPECT_TRUE(material->isInputLinked(30));
    // A graph-owned node is only unplugged.
    ASSERT_TRUE(material->connectTo(30, nullptr));
    EXPECT_EQ(material->connectedNode(30), nullptr);
    EXPECT_TRUE(alive(image->uniqueId()));

    // Refused, nothing changed.
    ApiNode* owned = material->createInternal(125, Types::FloatTexture);
    ApiNode* other = make(16);
    EXPECT_FALSE(other->connectTo(30, owned));                // owned by another pin
    EXPECT_FALSE(material->connectTo(7777, image));           // no such pin
    EXPECT_FALSE(material->connectToIx(1000, image));
    EXPECT_EQ(material->connectedNode(125), owned);
    ApiRootNodeGraph* free = ApiRootNodeGraph::create(kSceneVersion);
    ApiNode* foreign = ApiNode::create(Types::RgbTexture, *free, true);
    EXPECT_FALSE(material->connectTo(30, foreign));           // another root graph
    free->destroy();
    EXPECT_FALSE(material->connectTo(30, foreign));           // dead source

    // Cycles, direct and through a pin-owned node, even without the caller's check.
    ApiNode* mixA = make(38, false);
    ApiNode* mixB = make(38, false);
    ASSERT_TRUE(mixA->connectTo(238, mixB));
    EXPECT_FALSE(mixB->connectTo(238, mixA, true, false));
    EXPECT_FALSE(mixA->connectTo(239, mixA));
    ApiNode* gamma = mixB->createInternal(239, 51, false);
    EXPECT_FALSE(gamma->connectTo(240, mixA, true, false));
    EXPECT_EQ(gamma->connectedNode(240), nullptr);
    // The connection that is already there is taken again; a longer loop is still seen.
    EXPECT_TRUE(mixA->connectTo(238, mixB, true, false));
    ApiNode* mixC = make(38, false);
    ASSERT_TRUE(mixC->connectTo(238, mixA));
    EXPECT_FALSE(mixB->connectTo(239, mixC, true, false));
    EXPECT_EQ(mixB->connectedNode(239), gamma);
}

TEST_F(StructureTest, DestinationsListEveryPinInConnectionOrder) {
    ApiNode* texture = make(Types::RgbTexture);
    ApiNode* first = make(17);
    ApiNode* second = make(16);
    ASSERT_TRUE(second->connectTo(125, texture));
    ASSERT_TRUE(first->connectTo(30, texture));
    ASSERT_TRUE(second->connectTo(30, texture));
    ApiNodeArray nodes;
    ApiStringArray pins;
    texture->destinationNodes(nodes, pins);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0], second);
    EXPECT_STREQ(pins[0], second->pinName(125));
    EXPECT_EQ(nodes[1], first);
    EXPECT_STREQ(pins[1], first->pinName(30));
    EXPECT_EQ(nodes[2], second);
    EXPECT_STREQ(pins[2], second->pinName(30));

    ApiNode* owned = first->createInternal(125, Types::FloatTexture);
    owned->destinationNodes(nodes, pins);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0], first);
    EXPECT_STREQ(pins[0], first->pinName(125));
}

TEST_F(StructureTest, DestroyUnplugsDestinationsAndTakesPinOwnedNodes) {
    ApiNode* texture = make(Types::RgbTexture);
    ApiNode* material = make(17);
    ASSERT_TRUE(material->connectTo(30, texture));
    ApiNode* opacity = material->createInternal(125, Types::FloatTexture);
    const uint64_t opacityId = opacity->uniqueId();

    texture->destroy();
    EXPECT_EQ(material->connectedNode(30), nullptr);
    opacity->destroy();    // a pin-owned node empties its owner's pin
    EXPECT_EQ(material->connectedNode(125), nullptr);
    EXPECT_FALSE(alive(opacityId));

    ApiNode* inner = material->createInternal(125, Types::FloatTexture);
    const uint64_t innerId = inner->uniqueId();
    material->destroy();
    EXPECT_FALSE(alive(innerId));
    ApiItemArray items;
    project().getOwnedItems(items);
    EXPECT_TRUE(items.empty());

    // Graphs take everything with them; the project itself stays.
    ApiNodeGraph* nested = ApiNodeGraph::create(GraphKind::Standard, project());
    ApiNode* deep = ApiNode::create(Types::RenderTarget, *nested, true);
    const uint64_t cameraId = deep->connectedNode(19)->uniqueId();
    nested->destroy();
    EXPECT_FALSE(alive(cameraId));
    project().destroy();
    ApiProjectManager::projectSettings().destroy();
    EXPECT_TRUE(alive(project().uniqueId()));
    EXPECT_TRUE(alive(ApiProjectManager::projectSettings().uniqueId()));
    EXPECT_EQ(ApiProjectManager::projectSettings().graphOwner(), nullptr);
}

TEST_F(StructureTest, IdsAreUniqueAndNeverReused) {
    ApiNode* a = make(Types::RgbTexture);
    const uint64_t first = a->uniqueId();
    a->destroy();
    ApiNode* b = make(Types::RgbTexture);
    EXPECT_GT(b->uniqueId(), first);
    EXPECT_EQ(Testing::ItemById(b->uniqueId()), b);
    EXPECT_EQ(Testing::ItemById(first), nullptr);
}

TEST_F(StructureTest, StalePointersStayHarmlessWhileNewItemsAreMade) {
    ApiNode* stale = make(Types::RgbTexture);
    stale->destroy();
    std::vector<ApiNode*> fresh;
    for (int i = 0; i < 200; ++i) fresh.push_back(make(Types::RgbTexture));
    stale->setName("renamed through a stale pointer");
    EXPECT_FALSE(stale->set(Attrs::Value, float_3{1, 1, 1}));
    stale->destroy();
    for (ApiNode* node : fresh) {
        EXPECT_STRNE(node->name(), "renamed through a stale pointer");
        EXPECT_TRUE(alive(node->uniqueId()));
    }
}

TEST_F(StructureTest, BadArgumentsGetTheFailureAnswer) {
    ApiNodeGraph* graph = ApiNodeGraph::create(GraphKind::Standard, project());
    ApiNode* node = ApiNode::create(Types::Mesh, *graph, true);
    graph->destroy();                                     // both pointers are stale now
    EXPECT_EQ(ApiNode::create(Types::Mesh, *graph, true), nullptr);
    EXPECT_EQ(ApiNodeGraph::create(GraphKind::Standard, *graph), nullptr);
    EXPECT_EQ(ApiNodeGraph::create(GraphKind::Root, project()), nullptr);
    EXPECT_FALSE(node->isNode());
    EXPECT_STREQ(node->name(), "");
    EXPECT_EQ(node->uniqueId(), 0u);
    EXPECT_EQ(node->connectedNodeIx(0), nullptr);
    EXPECT_EQ(node->info().type, 0u);
    EXPECT_EQ(node->pinInfo(19).id, 0u);
    EXPECT_TRUE(node->getFloatArray(190).empty());
    ApiNodeArray nodes;
    ApiStringArray names;
    node->destinationNodes(nodes, names);
    EXPECT_TRUE(nodes.empty());
    ApiChangeManager::observeApiItem(*node, {nullptr, nullptr}, ~0u);
    EXPECT_EQ(project().copyItemTree(node), nullptr);
    graph->ungroup();
    graph->unfold(true);

    ApiNode* live = make(Types::RenderTarget);
    EXPECT_FALSE(live->connectTo(19, node));
    EXPECT_EQ(live->copyFrom(19, node), nullptr);
    EXPECT_EQ(live->copyFrom(19, nullptr), nullptr);
    EXPECT_FALSE(live->setPinValueIx(100000, 1.0f));
    EXPECT_STREQ(live->getPinStringIx(100000), "");
    EXPECT_EQ(live->getPinMatrixIx(100000), Matrix<float>::identity());
    EXPECT_EQ(live->attrInfoIx(100000), nullptr);
    EXPECT_FALSE(live->setIx(100000, 1.0f));
    project().ungroup();                                   // a root graph has no owner
    EXPECT_EQ(project().attrCount(), 0u);
    EXPECT_FALSE(project().set(Attrs::Value, 1.0f));
    EXPECT_TRUE(alive(live->uniqueId()));
}

TEST_F(StructureTest, CreateInternalAndPinLookups) {
    ApiNode* target = make(Types::RenderTarget, false);
    EXPECT_EQ(target->createInternal(19, 99999), nullptr);
    EXPECT_EQ(target->createInternal(4242, Types::ThinLensCamera), nullptr);
    ApiNode* camera = target->createInternalIx(pinIndex(target, 19), Types::PanoramicCamera);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(target->inputNode(19), camera);
    EXPECT_EQ(target->pinId(target->pinName(19)), 19u);
    EXPECT_EQ(target->pinId("no such pin"), 0u);
    EXPECT_EQ(target->pinInfoIx(1000).id, 0u);
    EXPECT_STREQ(target->pinNameIx(1000), "");
    EXPECT_FALSE(target->hasPin(0));
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
