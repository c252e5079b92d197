#include "zarnik/node_json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace {

constexpr NodeType kFloatValue = 6;
constexpr NodeType kFloatTexture = 31;
constexpr NodeType kDiffuse = 17;
constexpr NodeType kMixMaterial = 19;
constexpr NodeType kKernelDirectLight = 24;
constexpr NodeType kRgbTexture = 33;
constexpr NodeType kImage = 34;
constexpr NodeType kDisplacement = 80;
constexpr NodeType kImager = 15;

constexpr PinId kDiffusePin = 30;
constexpr PinId kBumpPin = 18;
constexpr PinId kRoughnessPin = 222;
constexpr PinId kSmoothPin = 218;
constexpr PinId kDisplacementPin = 34;
constexpr PinId kTexturePin = 240;
constexpr PinId kTransformPin = 243;
constexpr PinId kFirstPin = 238;
constexpr AttributeId kFilename = 34;
constexpr AttributeId kReload = 124;
constexpr AttributeId kTransform = 171;
constexpr AttributeId kValue = 185;

class NodeJsonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* error = nullptr;
    ASSERT_TRUE(apiMode_Shared_start("ZARNIKSU", false, &error, nullptr, nullptr)) << (error ? error : "");
  }
  static void TearDownTestSuite() { apiMode_Shared_exit(nullptr); }
  void TearDown() override { ApiProjectManager::rootNodeGraph().clear(); }

  static ApiNode* Create(NodeType type) { return ApiNode::create(type, ApiProjectManager::rootNodeGraph(), true); }

  static size_t GraphSize() {
    ApiItemArray items;
    ApiProjectManager::rootNodeGraph().getOwnedItems(items);
    return items.size();
  }

  static Json::Value With(Json::Value object, const char* key, const Json::Value& value) {
    object[key] = value;
    return object;
  }

  static Json::Value Attribute(int type, const char* name, const Json::Value& value) {
    Json::Value attribute(Json::objectValue);
    attribute["type"] = type;
    attribute["name"] = name;
    attribute[name] = value;
    return attribute;
  }

  // The pin entry of `json` whose pin-info name is `pin_name`.
  static Json::Value& Entry(Json::Value& json, const std::string& pin_name) {
    for (Json::Value& entry : json["nodes"]) {
      if (entry["info"]["name"].asString() == pin_name) return entry;
    }
    static Json::Value none;
    ADD_FAILURE() << "no pin entry " << pin_name;
    return none;
  }

  // A diffuse material with a graph-owned image texture in its diffuse pin.
  static ApiNode* TexturedMaterial(ApiNode** texture_out = nullptr) {
    ApiNode* material = Create(kDiffuse);
    ApiNode* texture = Create(kImage);
    texture->set(kFilename, "wood.png", true);
    EXPECT_TRUE(material->connectTo(kDiffusePin, texture, true, true));
    if (texture_out) *texture_out = texture;
    return material;
  }
};

TEST_F(NodeJsonTest, AttributeObjectsCarryValuesBothWays) {
  ApiNode* value = Create(kFloatTexture);
  value->set(kValue, 0.5f, true);
  const Json::Value written = NodeUtils::GetAttribute(value, 0);
  EXPECT_EQ(6, written["type"].asInt());
  EXPECT_EQ("value", written["name"].asString());
  EXPECT_DOUBLE_EQ(0.5, written["value"].asDouble());
  NodeUtils::SetAttribute(Attribute(6, "value", 0.25), value);
  EXPECT_FLOAT_EQ(0.25f, value->getFloat(kValue));

  // Incomplete objects, and a kind given as text, leave the value alone.
  Json::Value no_name = Attribute(6, "value", 0.75);
  no_name.removeMember("name");
  for (const Json::Value& incomplete : {no_name, Attribute(0, "value", 0.75), Attribute(6, "", 0.75),
                                        Attribute(6, "no_such_attribute", 0.75),
                                        With(Attribute(6, "value", 0.75), "type", "6")}) {
    NodeUtils::SetAttribute(incomplete, value);
  }
  EXPECT_FLOAT_EQ(0.25f, value->getFloat(kValue));

  // A file name must not be empty, and a new one asks for the file to be read again.
  ApiNode* image = Create(kImage);
  image->set(kFilename, "old.png", true);
  image->set(kReload, true, true);
  NodeUtils::SetAttribute(Attribute(11, "filename", ""), image);
  EXPECT_STREQ("old.png", image->getString(kFilename));
  EXPECT_TRUE(image->getBool(kReload));
  NodeUtils::SetAttribute(Attribute(11, "filename", "new.png"), image);
  EXPECT_STREQ("new.png", image->getString(kFilename));
  EXPECT_FALSE(image->getBool(kReload));
}

TEST_F(NodeJsonTest, AttributeValuesOfTheWrongKindFallBack) {
  ApiNode* value = Create(kFloatTexture);
  value->set(kValue, 0.5f, true);
  // A value that is not a number counts as missing.
  EXPECT_NO_THROW(NodeUtils::SetAttribute(Attribute(6, "value", "bright"), value));
  EXPECT_FLOAT_EQ(0.0f, value->getFloat(kValue));

  Json::Value array_name = Attribute(6, "value", 1.0);
  array_name["name"] = Json::Value(Json::arrayValue);
  for (const Json::Value& odd : {Json::Value(Json::arrayValue), Json::Value("text"), Json::Value(7), array_name,
                                  Attribute(8, "value", 3), Attribute(2, "value", Json::Value(Json::arrayValue))}) {
    EXPECT_NO_THROW(NodeUtils::SetAttribute(odd, value));
  }
  EXPECT_NO_THROW(NodeUtils::SetAttribute(Attribute(6, "value", 1.0), nullptr));
}

TEST_F(NodeJsonTest, PinInfoDescribesEachKind) {
  ApiNode* imager = Create(kImager);
  uint32_t gamma = 0;
  ASSERT_TRUE(imager->findPin(57, gamma));
  Json::Value info = GetPinInfo(imager, gamma, true);
  EXPECT_EQ("float", info["type"].asString());
  EXPECT_EQ(1, info["dim"].asInt());
  for (const char* range : {"min", "max", "sld_min", "sld_max"}) {
    EXPECT_EQ(std::vector<std::string>{"x"}, info[range].getMemberNames()) << range;
  }
  EXPECT_FLOAT_EQ(0.1f, info["min"]["x"].asFloat());
  EXPECT_FLOAT_EQ(8.0f, info["max"]["x"].asFloat());

  EXPECT_EQ(std::vector<std::string>{"name"}, GetPinInfo(imager, gamma, false).getMemberNames());

  ApiNode* material = Create(kDiffuse);
  uint32_t diffuse = 0;
  ASSERT_TRUE(material->findPin(kDiffusePin, diffuse));
  info = GetPinInfo(material, diffuse, true);
  EXPECT_EQ((std::vector<std::string>{"label", "name", "node_ids", "type"}), info.getMemberNames());
  EXPECT_EQ("texture", info["type"].asString());
  const Json::Value& ids = info["node_ids"];
  EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), Json::Value(static_cast<int>(kImage))));

  ApiNode* kernel = Create(kKernelDirectLight);
  uint32_t gi_mode = 0;
  ASSERT_TRUE(kernel->findPin(61, gi_mode));
  info = GetPinInfo(kernel, gi_mode, true);
  EXPECT_EQ("enum", info["type"].asString());
  ASSERT_EQ(5u, info["values"].size());
  EXPECT_EQ("None", info["values"][0]["label"].asString());
  EXPECT_EQ(3, info["values"][3]["value"].asInt());

  // A pin index the node does not have still gives an object, not a crash.
  EXPECT_TRUE(GetPinInfo(kernel, 9999, true).isObject());
}

TEST_F(NodeJsonTest, TreeIsWrittenWithEveryPinAndBuiltAgain) {
  ApiNode* material = TexturedMaterial();
  material->setName("Oak");
  Json::Value json = NodeUtils::NodeToStr(material, true);
  ASSERT_TRUE(json.isObject());
  EXPECT_EQ(static_cast<int>(kDiffuse), json["type"].asInt());
  EXPECT_FALSE(json["pin_owned"].asBool());
  ASSERT_EQ(material->pinCount(), json["nodes"].size());

  const Json::Value& texture = Entry(json, "diffuse");
  EXPECT_EQ(static_cast<int>(kImage), texture["type"].asInt());
  EXPECT_EQ("texture", texture["info"]["type"].asString());
  const Json::Value& empty = Entry(json, "roughness");
  EXPECT_EQ("Oak", empty["name"].asString());
  EXPECT_EQ(0, empty["type"].asInt());
  EXPECT_TRUE(Entry(json, "smooth")["pin_owned"].asBool());

  const size_t before = GraphSize();
  ApiNode* copy = NodeUtils::StrToNode(json, 0, nullptr, 0);
  ASSERT_NE(nullptr, copy);
  EXPECT_NE(material, copy);
  EXPECT_STREQ("Oak", copy->name());
  // The material and its graph-owned texture; the pin-owned smooth flag stays inside.
  EXPECT_EQ(before + 2, GraphSize());
  ApiNode* copied_texture = copy->connectedNode(kDiffusePin);
  ASSERT_NE(nullptr, copied_texture);
  EXPECT_STREQ("wood.png", copied_texture->getString(kFilename));
  EXPECT_FALSE(copied_texture->pinOwned());
  EXPECT_EQ(nullptr, copy->connectedNode(kRoughnessPin));
  ApiNode* smooth = copy->connectedNode(kSmoothPin);
  ASSERT_NE(nullptr, smooth);
  EXPECT_TRUE(smooth->pinOwned());

  // At the top, "pin_owned" cannot place the node anywhere but the graph.
  Json::Value top = json;
  top["pin_owned"] = true;
  ApiNode* loose = NodeUtils::StrToNode(top, 0, nullptr, 0);
  ASSERT_NE(nullptr, loose);
  EXPECT_NE(nullptr, loose->graphOwner());
}

TEST_F(NodeJsonTest, LinkNodesAreSeenThroughAndCyclesEnd) {
  ApiNode* mix = Create(kMixMaterial);
  ApiNode* link = Create(30007);
  ApiNode* inner = Create(kDiffuse);
  ASSERT_TRUE(link->connectTo(82, inner, true, true));
  ASSERT_TRUE(mix->connectTo(kFirstPin, link, true, true));
  Json::Value json = NodeUtils::NodeToStr(mix, true);
  EXPECT_EQ(static_cast<int>(kDiffuse), Entry(json, "first")["type"].asInt());
  // A material moved behind a link is stored as itself, so that it can be rebuilt and moved again.
  EXPECT_EQ(static_cast<int>(kDiffuse), NodeUtils::NodeToStr(link, true)["type"].asInt());

  // Connections made without the cycle check can loop; writing the tree still ends.
  ApiNode* other = Create(kMixMaterial);
  mix->connectTo(kFirstPin, other, false, false);
  other->connectTo(kFirstPin, mix, false, false);
  EXPECT_NO_THROW(NodeUtils::NodeToStr(mix, true));
  EXPECT_EQ("", NodeUtils::FindStringParam(mix, "filename"));
}

TEST_F(NodeJsonTest, UpdateInPlaceChangesValuesOnly) {
  ApiNode* imager = Create(kImager);
  Json::Value json = NodeUtils::NodeToStr(imager, true);
  json["name"] = "Film look";
  Json::Value& gamma = Entry(json, "gamma");
  ASSERT_EQ(static_cast<int>(kFloatValue), gamma["type"].asInt());
  gamma["params"][0]["value"]["x"] = 1.8;

  const size_t before = GraphSize();
  ApiNode* gamma_node = imager->connectedNode(57);
  EXPECT_EQ(0, NodeUtils::UpdateNode(json, imager, 0, nullptr, false));
  EXPECT_STREQ("Film look", imager->name());
  EXPECT_FLOAT_EQ(1.8f, imager->getPinFloat(57));
  EXPECT_EQ(gamma_node, imager->connectedNode(57));
  EXPECT_EQ(before, GraphSize());

  // Without a parent a node of another type cannot be replaced.
  json["type"] = static_cast<int>(kDiffuse);
  EXPECT_EQ(-1, NodeUtils::UpdateNode(json, imager, 0, nullptr, false));
  EXPECT_EQ(-1, NodeUtils::UpdateNode(Json::Value(), imager, 0, nullptr, false));
}

TEST_F(NodeJsonTest, UpdateReplacesAndUnplugsMismatchedInputs) {
  ApiNode* texture = nullptr;
  ApiNode* material = TexturedMaterial(&texture);
  Json::Value json = NodeUtils::NodeToStr(material, true);

  // An unknown type leaves the texture where it is.
  Entry(json, "diffuse")["type"] = 99999;
  EXPECT_EQ(0, NodeUtils::UpdateNode(json, material, 0, nullptr, false));
  EXPECT_EQ(texture, material->connectedNode(kDiffusePin));

  // Another type replaces it with a fresh node holding the engine's defaults.
  Entry(json, "diffuse")["type"] = static_cast<int>(kRgbTexture);
  Entry(json, "diffuse")["params"] = Json::Value(Json::arrayValue);
  Entry(json, "diffuse")["params"].append(Attribute(8, "value", Json::Value(Json::objectValue)));
  const size_t before = GraphSize();
  EXPECT_EQ(1, NodeUtils::UpdateNode(json, material, 0, nullptr, false));
  EXPECT_EQ(before, GraphSize()) << "the replaced texture should be gone";
  ApiNode* replacement = material->connectedNode(kDiffusePin);
  ASSERT_NE(nullptr, replacement);
  EXPECT_EQ(kRgbTexture, replacement->type());
  EXPECT_FLOAT_EQ(0.7f, replacement->getFloat3(kValue).x);

  // An entry that names no type empties the pin.
  Entry(json, "diffuse").removeMember("type");
  EXPECT_EQ(1, NodeUtils::UpdateNode(json, material, 0, nullptr, false));
  EXPECT_EQ(nullptr, material->connectedNode(kDiffusePin));
}

TEST_F(NodeJsonTest, ReplacedInputStaysWhileAnotherNodeUsesIt) {
  ApiNode* texture = nullptr;
  ApiNode* material = TexturedMaterial(&texture);
  ApiNode* neighbour = Create(kDiffuse);
  ASSERT_TRUE(neighbour->connectTo(kDiffusePin, texture, true, true));

  Json::Value json = NodeUtils::NodeToStr(material, true);
  Entry(json, "diffuse")["type"] = static_cast<int>(kRgbTexture);
  EXPECT_EQ(1, NodeUtils::UpdateNode(json, material, 0, nullptr, false));
  EXPECT_EQ(kRgbTexture, material->connectedNode(kDiffusePin)->type());
  ASSERT_EQ(texture, neighbour->connectedNode(kDiffusePin));
  EXPECT_STREQ("wood.png", texture->getString(kFilename));
}

TEST_F(NodeJsonTest, UntrustedNodeJsonIsHandledSafely) {
  ApiNode* material = TexturedMaterial();
  const size_t before = GraphSize();
  Json::Value odd_entries(Json::objectValue);
  odd_entries["type"] = static_cast<int>(kDiffuse);
  odd_entries["nodes"] = Json::Value(Json::arrayValue);
  odd_entries["nodes"].append(1);
  odd_entries["nodes"].append("diffuse");
  odd_entries["nodes"].append(Json::Value(Json::arrayValue));
  odd_entries["nodes"].append(With(Json::Value(Json::objectValue), "info", 5));
  Json::Value odd_members(Json::objectValue);
  odd_members["type"] = static_cast<int>(kDiffuse);
  odd_members["name"] = 5;
  odd_members["params"] = "all";
  odd_members["nodes"] = With(Json::Value(Json::objectValue), "diffuse", 1);
  Json::Value text_type(Json::objectValue);
  text_type["type"] = "17";

  for (const Json::Value& odd : {Json::Value(Json::arrayValue), Json::Value("node"), Json::Value(3.5), text_type,
                                  odd_entries, odd_members}) {
    EXPECT_NO_THROW(NodeUtils::UpdateNode(odd, material, 0, nullptr, false));
    ApiNode* built = nullptr;
    EXPECT_NO_THROW(built = NodeUtils::StrToNode(odd, 0, nullptr, 0));
    if (built) built->destroy();
  }
  EXPECT_EQ(before, GraphSize());
  EXPECT_EQ(nullptr, NodeUtils::StrToNode(With(Json::Value(Json::objectValue), "type", 99999), 0, nullptr, 0));

  // Mix materials nested far deeper than any real material: building stops at the limit.
  Json::Value deep;
  for (int level = 0; level < 1000; ++level) {
    Json::Value node(Json::objectValue);
    node["type"] = static_cast<int>(kMixMaterial);
    node["info"]["name"] = "first";
    if (!deep.isNull()) node["nodes"].append(deep);
    deep = node;
  }
  const size_t start = GraphSize();
  ApiNode* top = NodeUtils::StrToNode(deep, 0, nullptr, 0);
  ASSERT_NE(nullptr, top);
  EXPECT_EQ(start + NodeUtils::kMaxNodeDepth + 1, GraphSize());
  EXPECT_NO_THROW(NodeUtils::UpdateNode(deep, top, 0, nullptr, false));
  EXPECT_TRUE(NodeUtils::NodeToStr(top, true).isObject());
}

TEST_F(NodeJsonTest, NewTextureTakesTheTransformOfTheMaterialsTextures) {
  ApiNode* texture = nullptr;
  ApiNode* material = TexturedMaterial(&texture);
  ASSERT_TRUE(NodeUtils::IsImage(texture));
  Matrix<float> scaled = Matrix<float>::identity();
  scaled.m[0][0] = scaled.m[1][1] = 4.0f;
  texture->connectedNode(kTransformPin)->set(kTransform, scaled, true);

  ApiNode* bump = Create(kImage);
  ASSERT_TRUE(material->connectTo(kBumpPin, bump, true, true));
  EXPECT_TRUE(NodeUtils::TryToCorrectNewNodeScale(bump, material));
  EXPECT_EQ(scaled, bump->connectedNode(kTransformPin)->getMatrix(kTransform));

  // A displacement gets an image inside it first.
  ApiNode* displacement = Create(kDisplacement);
  ASSERT_TRUE(material->connectTo(kDisplacementPin, displacement, true, true));
  EXPECT_TRUE(NodeUtils::TryToCorrectNewNodeScale(displacement, material));
  ApiNode* inner = displacement->connectedNode(kTexturePin);
  ASSERT_NE(nullptr, inner);
  EXPECT_EQ(scaled, inner->connectedNode(kTransformPin)->getMatrix(kTransform));

  // Not into a material, or with nothing to copy from: nothing happens.
  ApiNode* lone = Create(kImage);
  EXPECT_FALSE(NodeUtils::TryToCorrectNewNodeScale(lone, Create(kImager)));
  ApiNode* bare = Create(kDiffuse);
  ASSERT_TRUE(bare->connectTo(kDiffusePin, lone, true, true));
  EXPECT_FALSE(NodeUtils::TryToCorrectNewNodeScale(lone, bare));
  EXPECT_FALSE(NodeUtils::TryToCorrectNewNodeScale(nullptr, material));
}

TEST_F(NodeJsonTest, StringSearchGoesDepthFirstAndSkipsEmptyValues) {
  ApiNode* material = Create(kDiffuse);
  ApiNode* unnamed = Create(kImage);
  ApiNode* named = Create(kImage);
  named->set(kFilename, "bump.png", true);
  ASSERT_TRUE(material->connectTo(kDiffusePin, unnamed, true, true));
  ASSERT_TRUE(material->connectTo(kBumpPin, named, true, true));

  EXPECT_EQ("bump.png", NodeUtils::FindStringParam(material, "filename"));
  EXPECT_EQ(unnamed, NodeUtils::FindStringParamOwner(material, "filename"));
  EXPECT_EQ("", NodeUtils::FindStringParam(material, "no_such"));
  EXPECT_EQ(nullptr, NodeUtils::FindStringParamOwner(nullptr, "filename"));
  EXPECT_TRUE(NodeUtils::IsMaterialType(kDiffuse));
  EXPECT_FALSE(NodeUtils::IsMaterialType(kImage));
}

TEST_F(NodeJsonTest, SharedInputsAreSearchedOnceAndAnOversizedWriteIsRefused) {
  // 24 stacked mix textures whose two inputs share the level below: 2^24 paths, 25 nodes.
  constexpr NodeType kMixTexture = 38;
  constexpr PinId kSecondPin = 239;
  ApiNode* below = Create(kImage);
  below->set(kFilename, "bottom.png", true);
  for (int level = 0; level < 24; ++level) {
    ApiNode* mix = Create(kMixTexture);
    ASSERT_TRUE(mix->connectTo(kFirstPin, below, false, false));
    ASSERT_TRUE(mix->connectTo(kSecondPin, below, false, false));
    below = mix;
  }
  ApiNode* material = Create(kDiffuse);
  ASSERT_TRUE(material->connectTo(kDiffusePin, below, false, false));

  EXPECT_EQ("bottom.png", NodeUtils::FindStringParam(material, "filename"));
  EXPECT_NE(nullptr, NodeUtils::FindStringParamOwner(material, "filename"));
  EXPECT_EQ("", NodeUtils::FindStringParam(material, "no_such"));

  Json::Value json(Json::objectValue);
  EXPECT_FALSE(NodeUtils::TryNodeToStr(material, true, json));
  EXPECT_TRUE(json.isNull()) << "no cut tree is handed out";
}

}  // namespace
}  // namespace Zarnik
