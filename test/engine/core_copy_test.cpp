// Copies of node trees and graphs, within and across root graphs; ungroup, layout, clear.
#include "core_fixture.h"
#include "scene_text.h"

namespace Zarnik {
namespace Engine {
namespace {

class CopyTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        free = ApiRootNodeGraph::create(kSceneVersion);
        ASSERT_NE(free, nullptr);
    }
    void TearDown() override {
        free->destroy();
        CoreTest::TearDown();
    }

    // mix(238 <- shared, 239 <- shared), shared graph-owned, with a pin-owned colour.
    ApiNode* buildMix(ApiNodeGraph& graph) {
        ApiNode* mix = ApiNode::create(38, graph, false);
        ApiNode* shared = ApiNode::create(51, graph, true);
        shared->setName("shared");
        shared->setPosition({10, 20});
        shared->setPinValue(57, 2.5f);
        shared->createInternal(240, Types::RgbTexture)->set(Attrs::Value, float_3{1, 0, 0});
        mix->connectTo(238, shared);
        mix->connectTo(239, shared);
        return mix;
    }

    ApiRootNodeGraph* free = nullptr;
};

TEST_F(CopyTest, CopyItemTreeCopiesSharedInputsOnceAcrossRootGraphs) {
    ApiNode* mix = buildMix(*free);
    ApiItem* copied = project().copyItemTree(mix);
    ASSERT_NE(copied, nullptr);
    ApiNode* copy = copied->toNode();
    EXPECT_EQ(copy->graphOwner(), &project());
    ApiNode* a = copy->connectedNode(238);
    ApiNode* b = copy->connectedNode(239);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);                                  // still shared
    EXPECT_NE(a, mix->connectedNode(238));
    EXPECT_EQ(a->graphOwner(), &project());
    EXPECT_STREQ(a->name(), "shared");
    EXPECT_EQ(a->position(), (float_2{10, 20}));
    EXPECT_FLOAT_EQ(a->getPinFloat(57), 2.5f);
    ApiNode* colour = a->connectedNode(240);
    ASSERT_NE(colour, nullptr);
    EXPECT_TRUE(colour->pinOwned());
    EXPECT_NE(colour, mix->connectedNode(238)->connectedNode(240));
    EXPECT_EQ(colour->getFloat3(Attrs::Value), (float_3{1, 0, 0}));
    ApiItemArray items;
    project().getOwnedItems(items);
    EXPECT_EQ(items.size(), 2u);
    // The original is untouched.
    ApiNodeArray nodes;
    mix->connectedNode(238)->destinationNodes(nodes);
    EXPECT_EQ(nodes.size(), 2u);
    EXPECT_EQ(project().copyItemTree(nullptr), nullptr);
}

TEST_F(CopyTest, CopyIntoPinLinksSameRootAndCopiesForeignInputs) {
    ApiNode* local = buildMix(project());
    ApiNode* holder = make(19, false);
    ApiNode* copy = holder->copyFrom(238, local);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->pinOwned());
    EXPECT_EQ(copy->connectedNode(238), local->connectedNode(238));   // linked, same root

    ApiNode* foreign = buildMix(*free);
    ApiNode* replaced = copy;
    const uint64_t replacedId = replaced->uniqueId();
    ApiNode* copy2 = holder->copyFrom(238, foreign);
    ASSERT_NE(copy2, nullptr);
    EXPECT_FALSE(alive(replacedId));
    ApiNode* inner = copy2->connectedNode(238);
    ASSERT_NE(inner, nullptr);
    EXPECT_TRUE(inner->pinOwned());                                // copied in, other root
    EXPECT_EQ(inner->rootGraph(), &project());
    EXPECT_NE(copy2->connectedNode(239), inner);                   // each pin its own copy

    // A node never holds a copy of a tree it belongs to.
    EXPECT_EQ(holder->copyFrom(239, holder), nullptr);
}

TEST_F(CopyTest, GraphCopiesKeepTheirConnections) {
    ApiNodeGraph* nested = ApiNodeGraph::create(GraphKind::Standard, *free);
    nested->setName("inner");
    ApiNode* mix = buildMix(*nested);
    ApiItem* copied = project().copyItemTree(nested);
    ASSERT_NE(copied, nullptr);
    ApiNodeGraph* graph = copied->toGraph();
    ASSERT_NE(graph, nullptr);
    EXPECT_STREQ(graph->name(), "inner");
    EXPECT_EQ(graph->graphOwner(), &project());
    ApiNodeArray mixes;
    graph->findNodes(38, mixes);
    ASSERT_EQ(mixes.size(), 1u);
    EXPECT_NE(mixes[0], mix);
    ApiNode* shared = mixes[0]->connectedNode(238);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->graphOwner(), graph);
    ApiNodeArray all;
    project().findNodes(51, all, true);
    EXPECT_EQ(all.size(), 1u);
    // A graph is not copied into itself.
    EXPECT_EQ(nested->copyItemTree(nested), nullptr);
}

TEST_F(CopyTest, CopyFromKeepsConnectionsAmongTheItems) {
    ApiNode* mix = buildMix(project());
    ApiNode* shared = mix->connectedNode(238);
    ApiNodeGraph* target = ApiNodeGraph::create(GraphKind::Standard, project());
    const ApiItem* only[] = {mix};
    ApiItemArray copies;
    target->copyFrom(only, 1, &copies);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0]->toNode()->connectedNode(238), shared);     // outside input linked
    const ApiItem* both[] = {mix, shared};
    target->copyFrom(both, 2, &copies);
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0]->toNode()->connectedNode(238), copies[1]);
    target->copyFrom(nullptr, 3, &copies);
    EXPECT_TRUE(copies.empty());
}

TEST_F(CopyTest, UngroupUnfoldRecenterAndClear) {
    ApiNodeGraph* outer = ApiNodeGraph::create(GraphKind::Standard, project());
    ApiNodeGraph* inner = ApiNodeGraph::create(GraphKind::Standard, *outer);
    ApiNode* mix = buildMix(*outer);
    ApiNode* deep = ApiNode::create(Types::RgbTexture, *inner, true);
    const uint64_t innerId = inner->uniqueId();
    ApiItemArray moved;
    outer->ungroup(&moved, true);
    EXPECT_FALSE(alive(innerId));
    EXPECT_EQ(moved.size(), 3u);
    EXPECT_EQ(mix->graphOwner(), &project());
    EXPECT_EQ(deep->graphOwner(), &project());
    EXPECT_EQ(mix->connectedNode(238)->graphOwner(), &project());

    project().unfold(false);
    ApiNode* shared = mix->connectedNode(238);
    EXPECT_FLOAT_EQ(shared->position().x, mix->position().x - 200.f);
    EXPECT_FLOAT_EQ(shared->position().y, mix->position().y);
    EXPECT_NE(deep->position().y, mix->position().y);

    project().recenter(500, 300);
    float minX = 1e9f, maxX = -1e9f, minY = 1e9f, maxY = -1e9f;
    for (ApiNode* n : {mix, shared, deep}) {
        minX = std::min(minX, n->position().x);
        maxX = std::max(maxX, n->position().x);
        minY = std::min(minY, n->position().y);
        maxY = std::max(maxY, n->position().y);
    }
    EXPECT_FLOAT_EQ((minX + maxX) / 2, 500);
    EXPECT_FLOAT_EQ((minY + maxY) / 2, 300);

    project().clear();
    ApiItemArray items;
    project().getOwnedItems(items);
    EXPECT_TRUE(items.empty());
    EXPECT_TRUE(alive(project().uniqueId()));
}

// The extension copies trees out of temporary graphs that it destroys right afterwards, and
// exports the copies later: a copy's texts must be its own, not views into the original.
TEST_F(CopyTest, CopiedTextArraysOutliveTheirOriginals) {
    const char* names[] = {"a material name longer than any short-string buffer", "m2"};
    ApiNode* mesh = ApiNode::create(Types::Mesh, *free, false);
    ASSERT_NE(mesh, nullptr);
    ASSERT_TRUE(mesh->set(Attrs::MaterialNames, names, 2, false));

    // A graph-owned copy in another root graph, and a pin-owned copy of that copy.
    ApiItem* copied = project().copyItemTree(mesh);
    ASSERT_NE(copied, nullptr);
    ApiNode* copy = copied->toNode();
    ApiNode* group = make(Types::GeometryGroup, false);
    group->set(Attrs::InputCount, int32_t(1));
    ApiNode* inPin = group->copyFromIx(0, copy);
    ASSERT_NE(inPin, nullptr);
    ASSERT_TRUE(inPin->pinOwned());

    EXPECT_NE(copy->getStringArray(Attrs::MaterialNames)[0], mesh->getStringArray(Attrs::MaterialNames)[0]);
    EXPECT_NE(inPin->getStringArray(Attrs::MaterialNames)[0], copy->getStringArray(Attrs::MaterialNames)[0]);

    auto expectNames = [&](const ApiNode* node) {
        ApiArray<const char*> texts = node->getStringArray(Attrs::MaterialNames);
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_STREQ(texts[0], names[0]);
        EXPECT_STREQ(texts[1], names[1]);
    };
    // The export reads every text array of the scene.
    auto expectExported = [&]() {
        const std::string text = project().exportToString();
        EXPECT_NE(text.find(names[0]), std::string::npos);
        EXPECT_NE(text.find(names[1]), std::string::npos);
    };
    free->clear();
    expectExported();
    expectNames(copy);
    expectNames(inPin);
    copy->destroy();
    expectExported();
    expectNames(inPin);
}

TEST_F(CopyTest, SceneTextRoundTripsThroughRootGraphs) {
    ApiNode* mix = buildMix(*free);
    mix->setUIOperationFlags(4);
    std::string first = free->exportToString();
    ASSERT_FALSE(first.empty());
    ApiRootNodeGraph* again = ApiRootNodeGraph::create(kSceneVersion);
    int32_t version = 0;
    ASSERT_TRUE(again->import(first.data(), first.size(), nullptr, &version));
    EXPECT_EQ(version, kSceneVersion);
    EXPECT_EQ(std::string(again->exportToString()), first);

    const std::string path = ::testing::TempDir() + "core_copy_scene.zpak";
    ASSERT_TRUE(free->exportToFile(path.c_str(), true));
    ApiRootNodeGraph* packed = ApiRootNodeGraph::create(kSceneVersion);
    ASSERT_TRUE(packed->import(path.c_str()));
    EXPECT_EQ(std::string(packed->exportToString()), first);
    EXPECT_FALSE(packed->import("/no/such/file.zcs"));
    EXPECT_FALSE(packed->import("not a scene", 11, nullptr, nullptr));
    again->destroy();
    packed->destroy();
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
