// The engine's catalogue: every node type with its pins and attributes, the names of pin
// ids, attribute ids and kinds, and which node types fit which pin kind. The catalogue is
// immutable data, built once on first use and shared by all threads.
#pragma once

#include <vector>

#include "zarnik.h"

namespace Zarnik {
namespace Engine {

// Node types the engine itself relies on.
namespace Types {
enum : NodeType {
    Mesh = 1,
    MaterialOverride = 2,
    GeometryGroup = 3,
    Placement = 5,
    FloatValue = 6,
    IntValue = 9,
    BoolValue = 11,
    ThinLensCamera = 13,
    Daylight = 14,
    Imager = 15,
    SunDirection = 21,
    FloatTexture = 31,
    RgbTexture = 33,
    ImageTexture = 34,
    AlphaImageTexture = 35,
    GreyscaleImageTexture = 36,
    TextureEnvironment = 37,
    EnumValue = 57,
    Postprocessing = 61,
    PanoramicCamera = 62,
    TransformValue = 67,
    StringValue = 84,
    FilmSettings = 100,
    ProjectSettings = 102,
    RenderTarget = 56,
    Link = 30007,
};
}

// Attribute ids the engine itself relies on.
namespace Attrs {
enum : AttributeId {
    Filename = 34,
    MaterialNames = 63,        // mesh: one name per material slot
    InputCount = 113,          // geometry group: number of inputs
    Reload = 124,
    Scale = 139,
    Rotation = 148,
    Transforms = 170,          // placement: one transform per placement
    Transform = 171,           // transform value: the composed matrix
    Translation = 172,
    Value = 185,               // value nodes and plain textures
};
}

// Pin ids the engine itself relies on.
namespace Pins {
enum : PinId {
    Geometry = 59,             // material override and placement
    LinkInput = 82,
    SunDirection = 231,
    Latitude = 91,
    Longitude = 99,
    Month = 115,
    Day = 27,
    Hour = 75,
    GmtOffset = 67,
};
}

// How a node type grows pins beyond its static ones.
enum class DynamicPins {
    None,
    GroupInputs,          // one geometry input per unit of attribute InputCount
    OwnMaterialSlots,     // one material input per name in the node's MaterialNames
    GeometryPinSlots,     // one material input per name in MaterialNames of the node on pin Geometry
};

struct NodeTypeDesc {
    ApiNodeInfo info;
    std::vector<ApiNodePinInfo> pins;        // static pins, in index order
    std::vector<ApiAttributeInfo> attrs;     // attributes, in index order
    DynamicPins dynamicPins;
    bool isMaterial;                         // one of the material types
};

// The description of a node type, or null for an unknown type.
const NodeTypeDesc* FindNodeType(NodeType type);
// All node types, ascending.
const std::vector<NodeType>& AllNodeTypes();
// Node types whose output kind is the given pin kind, ascending.
const std::vector<NodeType>& NodeTypesForPinType(NodePinType type);

// Names for diagnostics: "unknown" where the catalogue has none.
const char* NodeTypeName(NodeType type);
const char* GraphTypeName(NodeGraphType type);
const char* PinIdName(PinId id);
const char* AttributeIdName(AttributeId id);
const char* PinTypeName(NodePinType type);
const char* AttributeTypeName(AttributeType type);

// The pin description used for the index-th dynamic pin of a kind (id 0, the given name).
ApiNodePinInfo DynamicPinInfo(DynamicPins kind, const char* name);
// An empty description, answered for pins that do not exist.
const ApiNodePinInfo& NoPinInfo();

// The value node type that holds the value of a pin of the given kind (FloatValue for
// PinKind::Float, ...), or 0 for kinds that hold no plain value.
NodeType ValueNodeTypeFor(NodePinType type);

}  // namespace Engine
}  // namespace Zarnik
