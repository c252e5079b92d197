// Scene text: exact round trips of rich graphs, refusal of malformed and hostile texts,
// and packaged scenes.
#include "scene_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "catalogue.h"

using namespace Zarnik;
using namespace Zarnik::Engine;

namespace {

float FromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t Bits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

bool Import(ApiRootNodeGraph& graph, const std::string& text, int32_t* version = nullptr) {
    return ImportSceneText(graph, text.data(), text.size(), version);
}

// Depth-first search through a graph's items (nested graphs and pin-owned nodes included).
ApiItem* FindItem(const ApiNodeGraph& graph, const std::function<bool(const ApiItem&)>& match) {
    std::function<ApiItem*(ApiNode*)> inNode = [&](ApiNode* node) -> ApiItem* {
        if (match(*node)) return node;
        for (uint32_t i = 0; i < node->pinCount(); ++i) {
            ApiNode* input = node->connectedNodeIx(i);
            if (input && input->pinOwned() && input->pinOwnerNode() == node)
                if (ApiItem* found = inNode(input)) return found;
        }
        return nullptr;
    };
    ApiItemArray items;
    graph.getOwnedItems(items);
    for (size_t i = 0; i < items.size(); ++i) {
        ApiItem* item = items[i];
        if (item->isGraph()) {
            if (match(*item)) return item;
            if (ApiItem* found = FindItem(*item->toGraph(), match)) return found;
        } else if (ApiItem* found = inNode(item->toNode())) {
            return found;
        }
    }
    return nullptr;
}

ApiNode* FindNode(const ApiNodeGraph& graph, const char* name) {
    ApiItem* item = FindItem(graph, [&](const ApiItem& i) { return i.isNode() && std::strcmp(i.name(), name) == 0; });
    return item ? item->toNode() : nullptr;
}

class SceneTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        graph = ApiRootNodeGraph::create(kSceneVersion);
        other = ApiRootNodeGraph::create(kSceneVersion);
        ASSERT_NE(graph, nullptr);
        ASSERT_NE(other, nullptr);
    }
    void TearDown() override {
        if (graph) graph->destroy();
        if (other) other->destroy();
    }

    ApiNode* node(NodeType type, const char* name, ApiNodeGraph* owner = nullptr, bool configure = false) {
        ApiNode* n = ApiNode::create(type, owner ? *owner : *graph, configure);
        EXPECT_NE(n, nullptr) << type;
        if (n) n->setName(name);
        return n;
    }

    // A scene with a nested graph, pin-owned chains, inputs shared by several nodes, every
    // attribute kind the catalogue uses (special floats included), and the dynamic pins of a
    // mesh, a material override and a geometry group with their connections.
    void BuildRichScene() {
        graph->setName("Scene <\"one\"> & more");
        ApiNodeGraph* sandbox = ApiNodeGraph::create(GraphKind::Standard, *graph);
        ASSERT_NE(sandbox, nullptr);
        sandbox->setName("Sandbox");
        sandbox->setPosition({10.5f, -20.f});
        sandbox->setUIOperationFlags(3);

        ApiNode* wood = node(17, "Wood", sandbox, true);
        ApiNode* image = wood->createInternal(30, Types::ImageTexture, true, true);
        ASSERT_NE(image, nullptr);
        image->set(Attrs::Filename, "textures/wood grain.png", false);
        image->set(Attrs::Reload, false);
        Matrix<float> texTransform = Matrix<float>::identity();
        texTransform.m[0][0] = 2.f;
        texTransform.m[1][3] = 0.1f;
        ASSERT_TRUE(image->setPinValue(243, texTransform));
        wood->setPosition({-0.f, 1e-45f});

        // One RGB texture plugged into two nodes, one of them inside the nested graph.
        ApiNode* shared = node(Types::RgbTexture, "Shared colour");
        shared->set(Attrs::Value, float_3{0.25f, -0.f, FromBits(0x7f800000)});
        ApiNode* glossy = node(16, "Glossy", nullptr, true);
        ASSERT_TRUE(glossy->connectTo(30, shared));
        ApiNode* mix = node(38, "Mix", sandbox);
        ASSERT_TRUE(mix->connectTo(238, shared));
        ApiNode* amount = mix->createInternal(237, Types::FloatTexture);
        ASSERT_NE(amount, nullptr);
        amount->set(Attrs::Value, FromBits(0x7fc0beef));   // a NaN with a payload

        // A pin-owned chain three deep.
        ApiNode* glass = node(18, "Glass \x01\t\n\r<&>\xc3\xa9");
        ApiNode* displacement = glass->createInternal(34, 80, true);
        ASSERT_NE(displacement, nullptr);
        ApiNode* height = displacement->createInternal(240, Types::GreyscaleImageTexture, true);
        ASSERT_NE(height, nullptr);
        height->set(Attrs::Filename, "height.tif");
        ASSERT_TRUE(glass->connectTo(245, mix));

        // Value nodes of each value kind.
        ApiNode* f = node(Types::FloatValue, "Float");
        f->set(Attrs::Value, float_3{FromBits(0xffc00001), FromBits(0xff800000), FromBits(0x80000001)});
        ApiNode* i = node(Types::IntValue, "Int");
        i->set(Attrs::Value, int32_3{INT32_MIN, -1, INT32_MAX});
        ApiNode* s = node(Types::StringValue, "String");
        s->set(Attrs::Value, "  leading and trailing blanks  ");
        ApiNode* b = node(Types::BoolValue, "Bool");
        b->set(Attrs::Value, true);
        ApiNode* t = node(Types::TransformValue, "Transform");
        t->set(Attrs::Scale, float_3{1.5f, 2.f, 0.3f});
        t->set(Attrs::Rotation, float_3{10.f, 20.f, 30.f});

        // A mesh with two material slots, one owning a material and one plugged in.
        ApiNode* mesh = node(Types::Mesh, "Mesh");
        const float_3 vertices[] = {{0, 0, 0}, {1, 0, -0.f}, {0, FromBits(0x7f7fffff), 1e-38f}};
        const int32_t indices[] = {0, 1, 2};
        const char* names[] = {"mat_1", "mat_2"};
        const int32_t slots[] = {1};
        ASSERT_TRUE(mesh->set(190, vertices, 3, false));
        ASSERT_TRUE(mesh->set(120, indices, 3, false));
        ASSERT_TRUE(mesh->set(Attrs::MaterialNames, names, 2, false));
        ASSERT_TRUE(mesh->set(114, slots, 1, false));
        ASSERT_TRUE(mesh->set(41, 45.5f, false));
        mesh->evaluate();
        ASSERT_EQ(mesh->pinCount(), 2u);
        ASSERT_NE(mesh->createInternalIx(0, 121), nullptr);
        ASSERT_TRUE(mesh->connectToIx(1, glossy));

        // An override of the mesh: its material pins follow the mesh's slots.
        ApiNode* over = node(Types::MaterialOverride, "Override");
        ASSERT_TRUE(over->connectTo(Pins::Geometry, mesh));
        over->evaluate();
        ASSERT_EQ(over->pinCount(), 3u);
        ASSERT_TRUE(over->connectToIx(1, wood));
        ASSERT_NE(over->createInternalIx(2, 120), nullptr);

        ApiNode* placement = node(Types::Placement, "Placement");
        ASSERT_TRUE(placement->connectTo(Pins::Geometry, over));
        Matrix<float> placements[2] = {Matrix<float>::identity(), Matrix<float>::identity()};
        placements[1].m[2][3] = -3.25f;
        ASSERT_TRUE(placement->set(Attrs::Transforms, placements, 2));
        const int32_t ids[] = {8, 9};
        ASSERT_TRUE(placement->set(279, ids, 2));

        // A group with three inputs: the placement, nothing, and a mesh of its own.
        ApiNode* group = node(Types::GeometryGroup, "Group");
        group->set(Attrs::InputCount, int32_t(3));
        ASSERT_EQ(group->pinCount(), 3u);
        ASSERT_TRUE(group->connectToIx(0, placement));
        ApiNode* ownMesh = group->createInternalIx(2, Types::Mesh, false);
        ASSERT_NE(ownMesh, nullptr);
        ownMesh->set(Attrs::Filename, "proxy.obj");

        // A render target with all its default nodes, fed by the group.
        ApiNode* target = node(Types::RenderTarget, "Default View", nullptr, true);
        target->setUIOperationFlags(4);
        ASSERT_TRUE(target->connectTo(111, group));
        ApiNode* camera = target->connectedNode(19);
        ASSERT_NE(camera, nullptr);
        ASSERT_TRUE(camera->setPinValue(133, float_3{1.f, 2.f, 3.f}));
        ApiNode* link = node(Types::Link, "Link to Wood");
        ASSERT_TRUE(link->connectTo(Pins::LinkInput, wood));
    }

    ApiRootNodeGraph* graph = nullptr;
    ApiRootNodeGraph* other = nullptr;
};

TEST_F(SceneTextTest, RichSceneRoundTripsExactly) {
    BuildRichScene();
    if (HasFatalFailure()) return;
    const std::string text = ExportSceneText(*graph);
    ASSERT_FALSE(text.empty());

    int32_t version = 0;
    ASSERT_TRUE(Import(*other, text, &version));
    EXPECT_EQ(version, kSceneVersion);
    EXPECT_EQ(ExportSceneText(*other), text);
    EXPECT_STREQ(other->name(), "Scene <\"one\"> & more");

    // The copy has the structure, not just the same text.
    ApiItem* sandbox = FindItem(*other, [](const ApiItem& i) { return i.isGraph(); });
    ASSERT_NE(sandbox, nullptr);
    EXPECT_STREQ(sandbox->name(), "Sandbox");
    EXPECT_EQ(sandbox->position(), (float_2{10.5f, -20.f}));
    EXPECT_EQ(sandbox->uiOperationFlags(), 3u);

    ApiNode* wood = FindNode(*other, "Wood");
    ASSERT_NE(wood, nullptr);
    EXPECT_EQ(wood->graphOwner(), sandbox->toGraph());
    EXPECT_EQ(Bits(wood->position().x), 0x80000000u);
    EXPECT_EQ(Bits(wood->position().y), 1u);
    ApiNode* image = wood->connectedNode(30);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(image->pinOwned());
    EXPECT_STREQ(image->getString(Attrs::Filename), "textures/wood grain.png");
    EXPECT_EQ(image->getPinMatrix(243).m[0][0], 2.f);
    EXPECT_EQ(image->getPinMatrix(243).m[1][3], 0.1f);

    ApiNode* shared = FindNode(*other, "Shared colour");
    ApiNodeArray destinations;
    shared->destinationNodes(destinations);
    EXPECT_EQ(destinations.size(), 2u);
    float_3 colour = shared->getFloat3(Attrs::Value);
    EXPECT_EQ(Bits(colour.y), 0x80000000u);
    EXPECT_TRUE(std::isinf(colour.z));
    EXPECT_EQ(Bits(FindNode(*other, "Mix")->connectedNode(237)->getFloat(Attrs::Value)), 0x7fc0beefu);
    float_3 f = FindNode(*other, "Float")->getFloat3(Attrs::Value);
    EXPECT_EQ(Bits(f.x), 0xffc00001u);
    EXPECT_EQ(Bits(f.y), 0xff800000u);
    EXPECT_EQ(Bits(f.z), 0x80000001u);
    EXPECT_EQ(FindNode(*other, "Int")->getInt3(Attrs::Value), (int32_3{INT32_MIN, -1, INT32_MAX}));
    EXPECT_STREQ(FindNode(*other, "String")->getString(Attrs::Value), "  leading and trailing blanks  ");
    EXPECT_NE(FindNode(*other, "Glass \x01\t\n\r<&>\xc3\xa9"), nullptr);

    ApiNode* displacement = FindNode(*other, "Glass \x01\t\n\r<&>\xc3\xa9")->connectedNode(34);
    ASSERT_NE(displacement, nullptr);
    ASSERT_NE(displacement->connectedNode(240), nullptr);
    EXPECT_STREQ(displacement->connectedNode(240)->getString(Attrs::Filename), "height.tif");

    ApiNode* over = FindNode(*other, "Override");
    ASSERT_EQ(over->pinCount(), 3u);
    EXPECT_EQ(over->connectedNodeIx(1), wood);
    EXPECT_TRUE(over->connectedNodeIx(2)->pinOwned());
    EXPECT_EQ(over->connectedNodeIx(2)->type(), 120u);
    ApiNode* group = FindNode(*other, "Group");
    ASSERT_EQ(group->pinCount(), 3u);
    EXPECT_EQ(group->connectedNodeIx(0), FindNode(*other, "Placement"));
    EXPECT_EQ(group->connectedNodeIx(1), nullptr);
    EXPECT_STREQ(group->connectedNodeIx(2)->getString(Attrs::Filename), "proxy.obj");
    ApiArray<Matrix<float>> placements = FindNode(*other, "Placement")->getMatrixArray(Attrs::Transforms);
    ASSERT_EQ(placements.size(), 2u);
    EXPECT_EQ(placements[1].m[2][3], -3.25f);
    ApiArray<float_3> vertices = FindNode(*other, "Mesh")->getFloat3Array(190);
    ASSERT_EQ(vertices.size(), 3u);
    EXPECT_EQ(Bits(vertices[1].z), 0x80000000u);
    EXPECT_EQ(Bits(vertices[2].y), 0x7f7fffffu);
    ApiNode* target = FindNode(*other, "Default View");
    EXPECT_EQ(target->uiOperationFlags(), 4u);
    EXPECT_EQ(target->connectedNode(19)->getPinFloat3(133), (float_3{1.f, 2.f, 3.f}));
    EXPECT_NE(target->connectedNode(43)->connectedNode(Pins::SunDirection), nullptr);

    // Importing over a graph that has content replaces it, and the text stays the same.
    ASSERT_TRUE(Import(*graph, text));
    EXPECT_EQ(ExportSceneText(*graph), text);
}

// The extension reads stored texts into a temporary graph, copies what it keeps out of it and
// destroys the temporary graph; the copies are exported later.
TEST_F(SceneTextTest, CopiesOutOfAnImportedSceneExportTheSameOnceItIsGone) {
    BuildRichScene();
    if (HasFatalFailure()) return;
    const std::string text = ExportSceneText(*graph);
    ApiRootNodeGraph* temporary = ApiRootNodeGraph::create(kSceneVersion);
    ASSERT_NE(temporary, nullptr);
    ASSERT_TRUE(Import(*temporary, text));
    ApiItemArray items;
    temporary->getOwnedItems(items);
    other->copyFrom(items.items(), items.size(), nullptr);
    other->setName(temporary->name());
    temporary->destroy();
    EXPECT_EQ(ExportSceneText(*other), text);
}

TEST_F(SceneTextTest, TransformsKeepMatrixAndComponentsWhicheverWasSet) {
    // One transform given by its components, one by its matrix: the derived half must come
    // back from the text as it was, not recomputed from the other half.
    ApiNode* byParts = node(29, "Parts");
    byParts->set(Attrs::Scale, float_3{0.1f, 3.3f, 7.f});
    byParts->set(Attrs::Rotation, float_3{33.3f, -71.f, 123.4f});
    byParts->set(Attrs::Translation, float_3{0.7f, -0.3f, 1e5f});
    ApiNode* byMatrix = node(Types::TransformValue, "Matrix");
    Matrix<float> m{};
    const float values[12] = {0.3f, -0.7f, 0.1f, 5.f, 0.9f, 0.2f, -0.4f, 6.f, 0.11f, 0.57f, 0.81f, -7.f};
    std::memcpy(m.m, values, sizeof values);
    byMatrix->set(Attrs::Transform, m);

    const std::string text = ExportSceneText(*graph);
    ASSERT_TRUE(Import(*other, text));
    EXPECT_EQ(ExportSceneText(*other), text);
    Matrix<float> back = FindNode(*other, "Matrix")->getMatrix(Attrs::Transform);
    EXPECT_EQ(std::memcmp(back.m, values, sizeof values), 0);
}

TEST_F(SceneTextTest, ConnectionsToTheProjectSettingsAreLeftOut) {
    // The project settings live beside the project's root graph, not in it: a connection to
    // them cannot be written, and the rest of the node still round-trips.
    ApiRootNodeGraph& project = ApiProjectManager::rootNodeGraph();
    ApiNode* material = ApiNode::create(17, project, false);
    ASSERT_NE(material, nullptr);
    material->setName("Uses the settings");
    ASSERT_TRUE(material->connectTo(30, &ApiProjectManager::projectSettings()));
    const std::string text = ExportSceneText(project);
    material->destroy();

    EXPECT_NE(text.find("Uses the settings"), std::string::npos);
    EXPECT_EQ(text.find("source="), std::string::npos);
    ASSERT_TRUE(Import(*other, text));
    ApiNode* copy = FindNode(*other, "Uses the settings");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->connectedNode(30), nullptr);
}

// A small valid scene to damage: a group with one input holding a mix texture that takes an
// RGB texture, and that RGB texture on its own.
const char kValid[] =
    "<scene version=\"3080500\" name=\"s\">"
    "<node id=\"1\" type=\"3\"><attr id=\"113\" kind=\"2\">1</attr></node>"
    "<node id=\"2\" type=\"38\"><pin index=\"1\" source=\"3\"/>"
    "<pin index=\"0\"><node id=\"4\" type=\"31\"><attr id=\"185\" kind=\"6\">0.5</attr></node></pin></node>"
    "<node id=\"3\" type=\"33\"><attr id=\"185\" kind=\"8\">1 nan:7fc00001 -0</attr></node>"
    "</scene>";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

TEST_F(SceneTextTest, MalformedAndHostileTextsAreRefusedAndLeaveTheGraphAlone) {
    ASSERT_TRUE(Import(*graph, kValid));
    const std::string before = ExportSceneText(*graph);
    const std::string valid = kValid;
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char& c : noise) c = static_cast<char>(random());

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"not xml", "hello"},
        {"random bytes", noise},
        {"random bytes after a root", "<scene version=\"1\">" + noise},
        {"truncated", valid.substr(0, valid.size() / 2)},
        {"truncated at the last byte", valid.substr(0, valid.size() - 1)},
        {"wrong root", Replace(Replace(valid, "<scene", "<scenery"), "</scene>", "</scenery>")},
        {"two roots", valid + "<scene version=\"1\"/>"},
        {"no version", Replace(valid, "version=\"3080500\"", "")},
        {"text in the scene", Replace(valid, "</scene>", "stray</scene>")},
        {"unknown element", Replace(valid, "</scene>", "<camera/></scene>")},
        {"unknown xml attribute", Replace(valid, "type=\"38\"", "type=\"38\" colour=\"red\"")},
        {"repeated xml attribute", Replace(valid, "type=\"38\"", "type=\"38\" type=\"38\"")},
        {"unknown node type", Replace(valid, "type=\"38\"", "type=\"4\"")},
        {"bad id", Replace(valid, "id=\"2\"", "id=\"2x\"")},
        {"id zero", Replace(valid, "id=\"2\"", "id=\"0\"")},
        {"negative id", Replace(valid, "id=\"2\"", "id=\"-2\"")},
        {"bad position", Replace(valid, "type=\"38\"", "type=\"38\" x=\"1.0.0\"")},
        {"overflowing float", Replace(valid, ">0.5<", ">1e999<")},
        {"nan without bits", Replace(valid, ">0.5<", ">nan<")},
        {"nan bits that are a number", Replace(valid, "nan:7fc00001", "nan:3f800000")},
        {"bool out of range",
         Replace(valid, "</scene>", "<node id=\"9\" type=\"11\"><attr id=\"185\" kind=\"1\">2</attr></node></scene>")},
        {"duplicate id", Replace(valid, "id=\"4\"", "id=\"3\"")},
        {"dangling source", Replace(valid, "source=\"3\"", "source=\"77\"")},
        {"source is a pin-owned node", Replace(valid, "source=\"3\"", "source=\"4\"")},
        {"source and owned node in one pin",
         Replace(valid, "<pin index=\"0\">", "<pin index=\"0\" source=\"3\">")},
        {"pin without input", Replace(valid, "<pin index=\"1\" source=\"3\"/>", "<pin index=\"1\"/>")},
        {"one pin twice", Replace(valid, "<pin index=\"0\">", "<pin index=\"1\">")},
        {"static pin out of range", Replace(valid, "index=\"1\" source", "index=\"3\" source")},
        {"group input beyond its count",
         Replace(valid, "<attr id=\"113\" kind=\"2\">1</attr>", "<attr id=\"113\" kind=\"2\">1</attr><pin index=\"1\" source=\"3\"/>")},
        {"absurd input count", Replace(valid, ">1</attr>", ">2000000000</attr>")},
        {"negative input count", Replace(valid, ">1</attr>", ">-1</attr>")},
        {"override input without a mesh",
         Replace(valid, "</scene>", "<node id=\"8\" type=\"2\"><pin index=\"1\" source=\"3\"/></node></scene>")},
        {"self loop", Replace(valid, "source=\"3\"", "source=\"2\"")},
        {"cycle", Replace(Replace(valid, "source=\"3\"", "source=\"6\""), "</scene>",
                          "<node id=\"5\" type=\"38\"><pin index=\"1\" source=\"2\"/></node>"
                          "<node id=\"6\" type=\"38\"><pin index=\"2\" source=\"5\"/></node></scene>")},
        {"cycle through a pin-owned node",
         Replace(valid, "<node id=\"4\" type=\"31\"><attr id=\"185\" kind=\"6\">0.5</attr></node>",
                 "<node id=\"4\" type=\"38\"><pin index=\"1\" source=\"2\"/></node>")},
        {"attribute the type lacks", Replace(valid, "id=\"113\" kind=\"2\"", "id=\"185\" kind=\"2\"")},
        {"attribute of the wrong kind", Replace(valid, "id=\"185\" kind=\"6\"", "id=\"185\" kind=\"8\"")},
        {"attribute twice", Replace(valid, "<attr id=\"113\" kind=\"2\">1</attr>",
                                    "<attr id=\"113\" kind=\"2\">1</attr><attr id=\"113\" kind=\"2\">1</attr>")},
        {"too few components", Replace(valid, ">1 nan:7fc00001 -0<", ">1 2<")},
        {"too many components", Replace(valid, ">1 nan:7fc00001 -0<", ">1 2 3 4<")},
        {"scalar with a count", Replace(valid, "kind=\"6\"", "kind=\"6\" count=\"1\"")},
        {"mesh array count too large",
         Replace(valid, "</scene>", "<node id=\"8\" type=\"1\"><attr id=\"120\" kind=\"2\" count=\"18446744073709551615\">1 2 3</attr></node></scene>")},
        {"mesh array count that wraps",
         Replace(valid, "</scene>", "<node id=\"8\" type=\"1\"><attr id=\"190\" kind=\"8\" count=\"6148914691236517206\">1 2 3 4 5 6</attr></node></scene>")},
        {"mesh string array count wrong",
         Replace(valid, "</scene>", "<node id=\"8\" type=\"1\"><attr id=\"63\" kind=\"10\" count=\"3\"><s v=\"a\"/></attr></node></scene>")},
        {"nested root graph", Replace(valid, "</scene>", "<graph id=\"8\" kind=\"2\"/></scene>")},
        {"entity from a doctype", "<!DOCTYPE s [<!ENTITY a \"aaaa\">]>" + Replace(valid, "</scene>", "&a;</scene>")},
        {"unclosed nesting", "<scene version=\"1\">" + Repeat("<graph id=\"1\" kind=\"1\">", 200000)},
        {"deeply nested graphs",
         "<scene version=\"1\">" +
             [] {
                 std::string s;
                 for (int i = 1; i <= 100000; ++i) s += "<graph id=\"" + std::to_string(i) + "\" kind=\"1\">";
                 return s + Repeat("</graph>", 100000);
             }() + "</scene>"},
        {"pin-owned chain too deep",
         "<scene version=\"1\">" +
             [] {
                 std::string s;
                 for (int i = 1; i <= 600; ++i)
                     s += "<node id=\"" + std::to_string(i) + "\" type=\"51\"><pin index=\"1\">";
                 s += "<node id=\"9999\" type=\"31\"/>";
                 for (int i = 1; i <= 600; ++i) s += "</pin></node>";
                 return s;
             }() + "</scene>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_FALSE(Import(*graph, c.second));
        EXPECT_EQ(ExportSceneText(*graph), before);
    }
    EXPECT_FALSE(ImportSceneText(*graph, nullptr, 10, nullptr));
}

TEST_F(SceneTextTest, NestingIsBoundedOnBothSides) {
    std::string chain;
    for (int i = 1; i <= 100; ++i) chain += "<node id=\"" + std::to_string(i) + "\" type=\"51\"><pin index=\"1\">";
    chain += "<node id=\"9999\" type=\"31\"/>";
    for (int i = 1; i <= 100; ++i) chain += "</pin></node>";
    ASSERT_TRUE(Import(*graph, "<scene version=\"7\">" + chain + "</scene>"));
    const std::string text = ExportSceneText(*graph);
    ASSERT_TRUE(Import(*other, text));
    EXPECT_EQ(ExportSceneText(*other), text);

    // A chain deeper than a text may hold is cut where the limit lies; what is written
    // still imports.
    ApiNode* top = node(51, "top", other);
    ApiNode* link = top;
    for (int i = 0; i < 2000 && link; ++i) link = link->createInternal(240, 51, false, false);
    ASSERT_NE(link, nullptr);
    const std::string cut = ExportSceneText(*other);
    ASSERT_TRUE(Import(*graph, cut));
    EXPECT_EQ(ExportSceneText(*graph), cut);
}

TEST_F(SceneTextTest, LargeArraysArePackedAndReadBackBitForBit) {
    ApiNode* mesh = node(Types::Mesh, "Big");
    std::vector<float_3> vertices(1000);
    for (size_t i = 0; i < vertices.size(); ++i)
        vertices[i] = {float(i) * 0.1f, -float(i) / 3.f, FromBits(0x7fc00000u | uint32_t(i))};
    vertices[1] = {-0.f, FromBits(0x7f800000), FromBits(1)};
    std::vector<int32_t> indices(3000);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = int32_t(i * 7919 % 1000);
    indices[5] = INT32_MIN;
    indices[6] = -1;
    const int32_t slots[] = {0, 1, 2};
    ASSERT_TRUE(mesh->set(190, vertices.data(), vertices.size(), false));
    ASSERT_TRUE(mesh->set(120, indices.data(), indices.size(), false));
    ASSERT_TRUE(mesh->set(114, slots, 3, false));

    const std::string text = ExportSceneText(*graph);
    size_t packed = 0;
    for (size_t at = text.find("enc=\"base64\""); at != std::string::npos; at = text.find("enc=\"base64\"", at + 1))
        ++packed;
    EXPECT_EQ(packed, 2u);
    EXPECT_NE(text.find(">0 1 2<"), std::string::npos);    // small arrays stay readable
    // Four digits per three bytes of the 24000 array bytes, and little else.
    EXPECT_LT(text.size(), 32000u + 1000u);

    ASSERT_TRUE(Import(*other, text));
    EXPECT_EQ(ExportSceneText(*other), text);
    ApiNode* back = FindNode(*other, "Big");
    ASSERT_NE(back, nullptr);
    ApiArray<float_3> v = back->getFloat3Array(190);
    ApiArray<int32_t> ix = back->getIntArray(120);
    ASSERT_EQ(v.size(), vertices.size());
    ASSERT_EQ(ix.size(), indices.size());
    EXPECT_EQ(std::memcmp(v.data(), vertices.data(), vertices.size() * sizeof(float_3)), 0);
    EXPECT_EQ(std::memcmp(ix.data(), indices.data(), indices.size() * sizeof(int32_t)), 0);

    // A large array written out number by number, as texts were before, still reads.
    std::string numbers;
    for (int i = 0; i < 300; ++i) numbers += std::to_string(i * 3) + " ";
    const std::string old = "<scene version=\"3080500\"><node id=\"1\" type=\"1\" name=\"Old\">"
                            "<attr id=\"120\" kind=\"2\" count=\"300\">" + numbers + "</attr></node></scene>";
    ASSERT_TRUE(Import(*graph, old));
    ApiArray<int32_t> read = FindNode(*graph, "Old")->getIntArray(120);
    ASSERT_EQ(read.size(), 300u);
    EXPECT_EQ(read[299], 897);
    EXPECT_NE(ExportSceneText(*graph).find("enc=\"base64\""), std::string::npos);
}

TEST_F(SceneTextTest, PackedArraysThatDoNotFitAreRefused) {
    // Two ints, 1 and 2.
    const std::string valid = "<scene version=\"3080500\"><node id=\"1\" type=\"1\" name=\"m\">"
                              "<attr id=\"120\" kind=\"2\" count=\"2\" enc=\"base64\">AQAA AAIA\nAAA=</attr></node></scene>";
    ASSERT_TRUE(Import(*graph, valid));
    ApiArray<int32_t> ints = FindNode(*graph, "m")->getIntArray(120);
    ASSERT_EQ(ints.size(), 2u);
    EXPECT_EQ(ints[0], 1);
    EXPECT_EQ(ints[1], 2);
    const std::string before = ExportSceneText(*graph);

    const std::vector<std::pair<const char*, std::string>> bad = {
        {"count too large", Replace(valid, "count=\"2\"", "count=\"3\"")},
        {"count too small", Replace(valid, "count=\"2\"", "count=\"1\"")},
        {"huge count", Replace(valid, "count=\"2\"", "count=\"4611686018427387904\"")},
        {"unknown encoding", Replace(valid, "\"base64\"", "\"hex\"")},
        {"padding inside", Replace(valid, "AAA=", "AA=A")},
        {"digits after the padding", Replace(valid, "AAA=", "AAA=AAAA")},
        {"group cut short", Replace(valid, "AAA=", "AA")},
        {"outside the alphabet", Replace(valid, "AQAA", "AQ-A")},
        {"not whole components", Replace(valid, "id=\"120\" kind=\"2\"", "id=\"190\" kind=\"8\"")},
        {"scalar", Replace(valid, "<attr id=\"120\" kind=\"2\" count=\"2\"", "<attr id=\"41\" kind=\"6\"")},
        {"texts", Replace(valid, "<attr id=\"120\" kind=\"2\" count=\"2\" enc=\"base64\">AQAA AAIA\nAAA=</attr>",
                          "<attr id=\"63\" kind=\"10\" count=\"1\" enc=\"base64\"><s v=\"a\"/></attr>")},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.first);
        EXPECT_FALSE(Import(*other, c.second));
    }
    EXPECT_EQ(ExportSceneText(*graph), before);
}

TEST_F(SceneTextTest, PackagedScenesRoundTripAndCorruptPackagesAreRefused) {
    BuildRichScene();
    if (HasFatalFailure()) return;
    const std::string text = ExportSceneText(*graph);
    const std::string package = PackScene(text);
    ASSERT_TRUE(IsPackagedScene(package.data(), package.size()));
    EXPECT_FALSE(IsPackagedScene(text.data(), text.size()));
    EXPECT_LT(package.size(), text.size());

    std::string unpacked;
    ASSERT_TRUE(UnpackScene(package.data(), package.size(), unpacked));
    EXPECT_EQ(unpacked, text);
    ASSERT_TRUE(ImportSceneText(*other, package.data(), package.size(), nullptr));
    EXPECT_EQ(ExportSceneText(*other), text);

    std::string empty;
    ASSERT_TRUE(UnpackScene(PackScene("").data(), PackScene("").size(), empty));
    EXPECT_EQ(empty, "");

    auto corrupt = [&](size_t at, char value) {
        std::string p = package;
        p[at] = value;
        return p;
    };
    auto withSize = [&](uint64_t size) {
        std::string p = package;
        for (int i = 0; i < 8; ++i) p[12 + i] = static_cast<char>(size >> (8 * i));
        return p;
    };
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"header only", package.substr(0, 24)},
        {"shorter than the header", package.substr(0, 12)},
        {"truncated stream", package.substr(0, package.size() - 5)},
        {"trailing bytes", package + "x"},
        {"damaged stream", corrupt(package.size() / 2, static_cast<char>(~package[package.size() / 2]))},
        {"wrong format version", corrupt(8, 9)},
        {"damaged checksum", corrupt(20, static_cast<char>(~package[20]))},
        {"size too small", withSize(text.size() - 1)},
        {"size too large", withSize(text.size() + 1)},
        {"size beyond the limit", withSize(uint64_t(1) << 40)},
        {"size beyond what the package can hold", withSize(uint64_t(8) << 30)},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.first);
        std::string out = "untouched";
        EXPECT_FALSE(UnpackScene(c.second.data(), c.second.size(), out));
        EXPECT_EQ(out, "untouched");
        EXPECT_FALSE(ImportSceneText(*graph, c.second.data(), c.second.size(), nullptr));
    }
    EXPECT_FALSE(UnpackScene(nullptr, 0, unpacked));
    EXPECT_FALSE(IsPackagedScene(nullptr, 100));
}

}  // namespace
