// The catalogue numbers that the extension and the engine core depend on, and the table
// rules that keep names and defaults consistent across node types.
#include "catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>

using namespace Zarnik;
using namespace Zarnik::Engine;

namespace {

const ApiNodePinInfo* FindPin(NodeType type, PinId id) {
    const NodeTypeDesc* desc = FindNodeType(type);
    if (!desc) return nullptr;
    for (const ApiNodePinInfo& pin : desc->pins)
        if (pin.id == id) return &pin;
    return nullptr;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The display name of a material type as the extension derives it: the type name without
// its first seven characters, each word capitalised.
std::string DisplayName(const char* typeName) {
    std::string s = std::strlen(typeName) > 7 ? typeName + 7 : "";
    bool start = true;
    for (char& c : s) {
        bool letter = std::isalpha(static_cast<unsigned char>(c));
        c = static_cast<char>(start ? std::toupper(static_cast<unsigned char>(c)) : std::tolower(static_cast<unsigned char>(c)));
        start = !letter;
    }
    return s;
}

TEST(Catalogue, MaterialTypesFollowThePrefixRuleAndAllPlugIntoMaterialPins) {
    const std::map<NodeType, std::string> expected = {{16, "Glossy"}, {17, "Diffuse"},   {18, "Specular"},
                                                      {19, "Mix"},    {20, "Portal"},    {120, "Metallic"},
                                                      {121, "Toon"}};
    std::set<NodeType> materials;
    for (NodeType type : AllNodeTypes())
        if (FindNodeType(type)->isMaterial) materials.insert(type);
    ASSERT_EQ(materials.size(), expected.size());
    for (const auto& entry : expected) {
        const NodeTypeDesc* desc = FindNodeType(entry.first);
        ASSERT_NE(desc, nullptr);
        EXPECT_TRUE(desc->isMaterial);
        EXPECT_EQ(std::string(desc->info.typeName).compare(0, 7, "ZK_MAT_"), 0) << desc->info.typeName;
        EXPECT_EQ(DisplayName(desc->info.typeName), entry.second);
        EXPECT_EQ(desc->info.outType, PinKind::Material);
    }
    const std::vector<NodeType>& pluggable = NodeTypesForPinType(PinKind::Material);
    EXPECT_TRUE(std::is_sorted(pluggable.begin(), pluggable.end()));
    for (const auto& entry : expected)
        EXPECT_NE(std::find(pluggable.begin(), pluggable.end(), entry.first), pluggable.end()) << entry.first;
    EXPECT_NE(std::find(pluggable.begin(), pluggable.end(), NodeType(Types::Link)), pluggable.end());
    EXPECT_FALSE(FindNodeType(Types::Link)->isMaterial);
}

TEST(Catalogue, RenderTargetAndDaylightPinsCreateTheRightDefaultNodes) {
    const std::map<PinId, NodeType> renderTarget = {{19, Types::ThinLensCamera}, {43, Types::Daylight},
                                                    {303, 0},                    {78, Types::Imager},
                                                    {89, 24},                    {111, 0},
                                                    {136, Types::Postprocessing}, {311, Types::FilmSettings}};
    const NodeTypeDesc* target = FindNodeType(Types::RenderTarget);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->pins.size(), renderTarget.size());
    for (const auto& entry : renderTarget) {
        const ApiNodePinInfo* pin = FindPin(Types::RenderTarget, entry.first);
        ASSERT_NE(pin, nullptr) << entry.first;
        EXPECT_EQ(pin->defaultNodeType, entry.second) << pin->name;
        // The default node must fit the pin it is made for.
        if (entry.second) {
            EXPECT_EQ(FindNodeType(entry.second)->info.outType, pin->type) << pin->name;
        }
    }

    const ApiNodePinInfo* sun = FindPin(Types::Daylight, Pins::SunDirection);
    ASSERT_NE(sun, nullptr);
    EXPECT_EQ(sun->type, PinKind::Float);
    EXPECT_EQ(sun->floatInfo.dimCount, 3u);
    EXPECT_EQ(sun->defaultNodeType, NodeType(Types::SunDirection));
    EXPECT_EQ(FindPin(Types::Daylight, 240)->defaultNodeType, 0u);
    for (PinId id : {Pins::Latitude, Pins::Longitude, Pins::Month, Pins::Day, Pins::Hour, Pins::GmtOffset})
        EXPECT_NE(FindPin(Types::SunDirection, id), nullptr) << id;
    EXPECT_EQ(FindPin(Types::SunDirection, Pins::Month)->intInfo.minValue.x, 1);
    EXPECT_EQ(FindPin(Types::SunDirection, Pins::Month)->intInfo.maxValue.x, 12);

    const ApiNodePinInfo* resolution = FindPin(Types::FilmSettings, 198);
    ASSERT_NE(resolution, nullptr);
    EXPECT_EQ(resolution->type, PinKind::Int);
    EXPECT_EQ(resolution->intInfo.dimCount, 2u);
    EXPECT_EQ(resolution->intInfo.defaultValue, (int32_4{1024, 768, 0, 0}));
    EXPECT_EQ(resolution->intInfo.minValue.x, 4);
    EXPECT_EQ(resolution->intInfo.maxValue.y, 65536);
}

TEST(Catalogue, ValueAttributeIsTheFirstAttributeOfValueNodesAndPlainTextures) {
    const std::map<NodeType, AttributeType> kinds = {
        {Types::FloatValue, AttrKind::Float3}, {Types::IntValue, AttrKind::Int3},   {Types::BoolValue, AttrKind::Bool},
        {Types::EnumValue, AttrKind::Int},     {Types::StringValue, AttrKind::String},
        {Types::FloatTexture, AttrKind::Float}, {Types::RgbTexture, AttrKind::Float3}};
    for (const auto& entry : kinds) {
        const NodeTypeDesc* desc = FindNodeType(entry.first);
        ASSERT_NE(desc, nullptr);
        ASSERT_FALSE(desc->attrs.empty());
        EXPECT_EQ(desc->attrs[0].id, AttributeId(Attrs::Value)) << desc->info.typeName;
        EXPECT_EQ(desc->attrs[0].type, entry.second) << desc->info.typeName;
        EXPECT_FALSE(desc->attrs[0].isArray);
    }
    const NodeTypeDesc* transform = FindNodeType(Types::TransformValue);
    EXPECT_EQ(transform->attrs[0].id, AttributeId(Attrs::Transform));
    EXPECT_EQ(transform->attrs[0].type, AttrKind::Matrix);
    EXPECT_FLOAT_EQ(FindNodeType(Types::RgbTexture)->attrs[0].defaultFloats[1], 0.7f);

    for (NodePinType kind : {PinKind::Bool, PinKind::Float, PinKind::Int, PinKind::Enum, PinKind::Transform,
                             PinKind::String}) {
        NodeType valueType = ValueNodeTypeFor(kind);
        ASSERT_NE(FindNodeType(valueType), nullptr) << kind;
        EXPECT_EQ(FindNodeType(valueType)->info.outType, kind);
    }
    EXPECT_EQ(ValueNodeTypeFor(PinKind::Texture), 0u);
    EXPECT_EQ(ValueNodeTypeFor(PinKind::Material), 0u);
}

// Rules every entry of the tables must keep, so that an edit cannot quietly give one id two
// names or leave a value pin without the node that holds its value.
TEST(Catalogue, TablesAreConsistentAcrossNodeTypes) {
    std::map<PinId, std::string> pinNames;
    std::map<AttributeId, std::string> attrNames;
    const std::vector<NodeType>& all = AllNodeTypes();
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    for (NodeType type : all) {
        const NodeTypeDesc* desc = FindNodeType(type);
        ASSERT_NE(desc, nullptr);
        SCOPED_TRACE(desc->info.typeName);
        EXPECT_EQ(desc->info.type, type);
        EXPECT_EQ(std::string(desc->info.typeName).compare(0, 3, "ZK_"), 0);
        EXPECT_STREQ(NodeTypeName(type), desc->info.typeName);
        EXPECT_GT(std::strlen(desc->info.defaultName), 0u);
        EXPECT_GT(std::strlen(desc->info.description), 0u);

        std::set<std::string> namesInType;
        for (const ApiNodePinInfo& pin : desc->pins) {
            EXPECT_TRUE(namesInType.insert(pin.name).second) << "pin name twice: " << pin.name;
            EXPECT_GT(std::strlen(pin.label), 0u);
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(pin.label[0]))) << pin.label;
            EXPECT_GT(std::strlen(pin.description), 0u);
            auto known = pinNames.emplace(pin.id, pin.name);
            EXPECT_EQ(known.first->second, pin.name) << "pin id " << pin.id;
            EXPECT_EQ(std::string(PinIdName(pin.id)), "ZK_PIN_" + Upper(pin.name));
            NodeType valueType = ValueNodeTypeFor(pin.type);
            if (valueType && pin.id != Pins::SunDirection) {
                EXPECT_EQ(pin.defaultNodeType, valueType) << pin.name;
            }
            if (pin.type == PinKind::Float) {
                EXPECT_GE(pin.floatInfo.dimCount, 1u);
            }
            if (pin.type == PinKind::Int) {
                EXPECT_GE(pin.intInfo.dimCount, 1u);
            }
            if (pin.type == PinKind::Enum) {
                bool defaultListed = false;
                for (const ApiEnumChoice& choice : pin.enumInfo.values)
                    defaultListed = defaultListed || choice.value == pin.enumInfo.defaultValue;
                EXPECT_TRUE(defaultListed) << pin.name;
            }
            if (pin.defaultNodeType) {
                EXPECT_EQ(FindNodeType(pin.defaultNodeType)->info.outType, pin.type) << pin.name;
            }
        }
        std::set<std::string> attrsInType;
        for (const ApiAttributeInfo& attr : desc->attrs) {
            EXPECT_TRUE(attrsInType.insert(attr.name).second) << "attribute twice: " << attr.name;
            EXPECT_GT(std::strlen(attr.description), 0u);
            auto known = attrNames.emplace(attr.id, attr.name);
            EXPECT_EQ(known.first->second, attr.name) << "attribute id " << attr.id;
            EXPECT_EQ(std::string(AttributeIdName(attr.id)), "ZK_ATTR_" + Upper(attr.name));
        }
        if (desc->info.outType != PinKind::Unknown) {
            const std::vector<NodeType>& fits = NodeTypesForPinType(desc->info.outType);
            EXPECT_NE(std::find(fits.begin(), fits.end(), type), fits.end());
        }
    }
    // One id, several kinds: bump is a flag on the info kernel and a texture on materials.
    EXPECT_EQ(FindPin(26, 18)->type, PinKind::Bool);
    EXPECT_EQ(FindPin(17, 18)->type, PinKind::Texture);
    EXPECT_EQ(FindPin(18, 245)->type, PinKind::Texture);
    EXPECT_EQ(FindPin(19, 238)->type, PinKind::Material);
    EXPECT_EQ(FindPin(38, 238)->type, PinKind::Texture);
}

TEST(Catalogue, NamesOfKindsAndUnknownLookups) {
    EXPECT_STREQ(PinIdName(Pins::SunDirection), "ZK_PIN_SUN_DIRECTION");
    EXPECT_STREQ(AttributeIdName(Attrs::InputCount), "ZK_ATTR_INPUT_COUNT");
    EXPECT_STREQ(PinTypeName(PinKind::Float), "ZK_PT_FLOAT");
    EXPECT_STREQ(PinTypeName(PinKind::FilmSettings), "ZK_PT_FILM_SETTINGS");
    EXPECT_STREQ(AttributeTypeName(AttrKind::Matrix), "ZK_AT_MATRIX");
    EXPECT_STREQ(GraphTypeName(GraphKind::Standard), "ZK_GRAPH_STANDARD");
    EXPECT_STREQ(GraphTypeName(GraphKind::Root), "ZK_GRAPH_ROOT");

    EXPECT_EQ(FindNodeType(0), nullptr);
    EXPECT_EQ(FindNodeType(4), nullptr);
    EXPECT_EQ(FindNodeType(99999), nullptr);
    EXPECT_STREQ(NodeTypeName(4), "unknown");
    EXPECT_STREQ(PinIdName(0), "unknown");
    EXPECT_STREQ(PinIdName(99999), "unknown");
    EXPECT_STREQ(AttributeIdName(1), "unknown");
    EXPECT_STREQ(PinTypeName(22), "unknown");
    EXPECT_STREQ(AttributeTypeName(14), "unknown");
    EXPECT_STREQ(GraphTypeName(3), "unknown");
    EXPECT_TRUE(NodeTypesForPinType(PinKind::Medium).empty());
    EXPECT_TRUE(NodeTypesForPinType(PinKind::Unknown).empty());
    EXPECT_TRUE(NodeTypesForPinType(12345).empty());
    EXPECT_EQ(NodeTypesForPinType(PinKind::Camera), (std::vector<NodeType>{13, 62}));
}

TEST(Catalogue, DynamicPinsAndTheEmptyPin) {
    EXPECT_EQ(FindNodeType(Types::GeometryGroup)->dynamicPins, DynamicPins::GroupInputs);
    EXPECT_EQ(FindNodeType(Types::Mesh)->dynamicPins, DynamicPins::OwnMaterialSlots);
    EXPECT_TRUE(FindNodeType(Types::Mesh)->pins.empty());
    EXPECT_EQ(FindNodeType(Types::MaterialOverride)->dynamicPins, DynamicPins::GeometryPinSlots);
    ASSERT_EQ(FindNodeType(Types::MaterialOverride)->pins.size(), 1u);
    EXPECT_EQ(FindNodeType(Types::MaterialOverride)->pins[0].id, PinId(Pins::Geometry));

    ApiNodePinInfo input = DynamicPinInfo(DynamicPins::GroupInputs, "input_3");
    EXPECT_EQ(input.id, 0u);
    EXPECT_EQ(input.type, PinKind::Geometry);
    EXPECT_STREQ(input.name, "input_3");
    EXPECT_STREQ(input.label, "input_3");
    EXPECT_EQ(input.defaultNodeType, 0u);
    EXPECT_EQ(DynamicPinInfo(DynamicPins::OwnMaterialSlots, "mat_1").type, PinKind::Material);
    EXPECT_EQ(DynamicPinInfo(DynamicPins::GeometryPinSlots, "mat_2").type, PinKind::Material);
    EXPECT_STREQ(DynamicPinInfo(DynamicPins::GroupInputs, nullptr).name, "");

    const ApiNodePinInfo& none = NoPinInfo();
    EXPECT_EQ(none.id, 0u);
    EXPECT_EQ(none.type, PinKind::Unknown);
    EXPECT_STREQ(none.name, "");
    EXPECT_STREQ(none.label, "");
    EXPECT_EQ(none.defaultNodeType, 0u);
}

}  // namespace
