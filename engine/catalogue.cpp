// The catalogue tables. Every pin id and attribute id is named once in kPinNames and
// kAttrNames, so an id keeps one name and one meaning whatever node type uses it; the node
// types below only say which ids they have, of which kind, with which defaults.
#include "catalogue.h"

#include <cctype>
#include <cfloat>
#include <deque>
#include <initializer_list>
#include <map>
#include <string>

namespace Zarnik {
namespace Engine {
namespace {

struct PinName {
    PinId id;
    const char* name;
    const char* label;
    const char* description;
};

// Pin ids, ascending. Two ids may share a short name ("geometry", "amount") as long as no
// node type has both.
const PinName kPinNames[] = {
    {2, "alpha_channel", "Alpha channel", "Renders the background transparent, giving the image an alpha channel."},
    {3, "alpha_shadows", "Alpha shadows", "Lets shadows respect the opacity of the materials that cast them."},
    {7, "ao_distance", "AO distance", "Distance in metres within which geometry occludes ambient light."},
    {8, "aperture", "Aperture", "Radius of the lens opening in centimetres; larger values blur out-of-focus areas more."},
    {9, "aperture_aspect_ratio", "Aperture aspect ratio", "Width of the aperture relative to its height."},
    {10, "aperture_edge", "Aperture edge", "Hardness of the edge of out-of-focus highlights."},
    {12, "auto_focus", "Auto focus", "Focuses on whatever lies at the centre of the image."},
    {18, "bump", "Bump", "Bump mapping."},
    {19, "camera", "Camera", "The camera the scene is seen through."},
    {20, "projection", "Projection", "How the panorama is mapped onto the image."},
    {22, "caustic_blur", "Caustic blur", "Blurs caustics to hide their noise, at the cost of sharpness."},
    {25, "coherent_ratio", "Coherent ratio", "Share of coherent samples; higher values converge faster but show patterns early."},
    {27, "day", "Day", "Day of the month."},
    {29, "diffuse_depth", "Diffuse depth", "Maximum number of diffuse bounces."},
    {30, "diffuse", "Diffuse", "Colour or texture of the diffuse reflection."},
    {32, "direct_light_importance", "Direct light importance", "How much effort goes into sampling direct light."},
    {34, "displacement", "Displacement", "Displacement that moves the surface along its normals."},
    {35, "distortion", "Distortion", "Spherical lens distortion."},
    {36, "distributed_tracing", "Distributed tracing", "Traces several samples per pixel for soft edges and motion blur."},
    {43, "environment", "Environment", "The environment that lights the scene."},
    {44, "exploration_strength", "Exploration strength", "How far the sampler explores new light paths."},
    {50, "filter_size", "Filter size", "Size of the pixel filter in pixels."},
    {51, "focal_depth", "Focal depth", "Distance in metres from the camera to the plane in focus."},
    {53, "fov", "Field of view", "Horizontal field of view in degrees."},
    {54, "fov_x", "Horizontal field of view", "Horizontal field of view of the panorama in degrees."},
    {55, "fov_y", "Vertical field of view", "Vertical field of view of the panorama in degrees."},
    {57, "gamma", "Gamma", "Gamma applied to the values."},
    {59, "geometry", "Geometry", "The geometry this node works on."},
    {60, "gi_clamp", "GI clamp", "Upper bound of indirect light per sample, to keep fireflies down."},
    {61, "gi_mode", "GI mode", "How indirect light is approximated."},
    {66, "glossy_depth", "Glossy depth", "Maximum number of glossy bounces."},
    {67, "gmt_offset", "GMT offset", "Time zone as hours from Greenwich mean time."},
    {72, "highlight_backfaces", "Highlight back faces", "Marks faces seen from behind."},
    {75, "hour", "Hour", "Local time of day in hours."},
    {78, "imager", "Imager", "How the rendered light becomes image colours."},
    {79, "importance_sampling", "Importance sampling", "Samples bright parts of the environment more often."},
    {81, "info_channel_type", "Channel type", "Which information the channel shows."},
    {82, "input", "Input", "The material this link stands for."},
    {83, "invert", "Invert", "Inverts the image values."},
    {89, "kernel", "Kernel", "The render kernel."},
    {91, "latitude", "Latitude", "Latitude of the place in degrees, north positive."},
    {93, "left_filter", "Left filter", "Colour filter of the left eye in anaglyph output."},
    {95, "lens_shift", "Lens shift", "Shift of the lens relative to the image, as a fraction of its width."},
    {99, "longitude", "Longitude", "Longitude of the place in degrees, east positive."},
    {104, "max_diffuse_depth", "Diffuse depth", "Maximum number of diffuse bounces of a path."},
    {105, "max_specular_depth", "Specular depth", "Maximum number of specular bounces of a path."},
    {107, "max_rejects", "Maximum rejects", "Number of rejected mutations after which a new path is started."},
    {108, "max_samples", "Maximum samples", "Samples per pixel after which rendering stops."},
    {109, "max_speed", "Maximum speed", "Speed that maps to full intensity in the motion channel."},
    {111, "geometry", "Geometry", "The geometry that is rendered."},
    {114, "model", "Sky model", "Model used to compute the colour of the sky."},
    {115, "month", "Month", "Month of the year."},
    {116, "clip_depth", "Clip depth", "Distance in metres in front of the camera within which geometry is cut away."},
    {119, "normal", "Normal", "Normal map."},
    {120, "north_offset", "North offset", "Turns north away from the negative Z axis, as a fraction of a full turn."},
    {125, "opacity", "Opacity", "Opacity of the surface; transparent where the value is 0."},
    {127, "orthographic", "Orthographic", "Uses a parallel projection instead of a perspective one."},
    {128, "parallelism", "Parallelism", "Number of paths traced side by side per thread."},
    {129, "path_termination_power", "Path termination power", "Higher values end dark paths earlier: faster, but noisier in dark areas."},
    {130, "perspective_correction", "Perspective correction", "Keeps vertical lines vertical."},
    {132, "pixel_aspect_ratio", "Pixel aspect ratio", "Width of a pixel relative to its height."},
    {133, "position", "Position", "Position of the camera in metres."},
    {136, "postprocessing", "Post processing", "Effects applied to the finished image."},
    {138, "power", "Power", "Multiplier of the brightness."},
    {139, "scale", "Scale", "Scale along the three axes."},
    {144, "ray_epsilon", "Ray epsilon", "Distance by which rays are moved off surfaces to avoid self-intersection."},
    {145, "transmission", "Transmission", "Colour of the light that passes through the surface."},
    {148, "rotation", "Rotation", "Rotation about the three axes in degrees."},
    {172, "translation", "Translation", "Translation along the three axes."},
    {198, "resolution", "Resolution", "Width and height of the image in pixels."},
    {200, "right_filter", "Right filter", "Colour filter of the right eye in anaglyph output."},
    {209, "ortho_width", "Orthographic width", "Width in metres of the area an orthographic camera sees."},
    {217, "sky_color", "Sky colour", "Colour of the sky."},
    {218, "smooth", "Smooth", "Interpolates normals across faces for smooth shading."},
    {221, "specular_depth", "Specular depth", "Maximum number of specular bounces."},
    {222, "roughness", "Roughness", "Roughness of the surface; 0 is a perfect mirror."},
    {223, "static_noise", "Static noise", "Keeps the noise pattern fixed between renders."},
    {224, "stereo_distance", "Eye distance", "Distance between the two eyes in metres."},
    {225, "stereo_distance_falloff", "Eye distance falloff", "How fast the eye distance shrinks towards the poles."},
    {226, "blackout_latitude", "Blackout latitude", "Latitude in degrees beyond which the panorama is black."},
    {227, "stereo_mode", "Stereo mode", "How the two eyes are arranged."},
    {228, "stereo_output", "Stereo output", "Which image or combination of images is rendered."},
    {231, "sun_direction", "Sun direction", "Direction towards the sun."},
    {232, "sunset_color", "Sunset colour", "Colour of the sky around a low sun."},
    {233, "sun_size", "Sun size", "Size of the sun relative to the real one."},
    {235, "target", "Target", "Point in metres the camera looks at."},
    {236, "amount", "Amount", "Height of the displacement in metres."},
    {237, "amount", "Amount", "Blend factor: 0 takes the first input, 1 the second."},
    {238, "first", "First", "First input of the blend."},
    {239, "second", "Second", "Second input of the blend."},
    {240, "texture", "Texture", "Texture input."},
    {243, "transform", "Transform", "Transformation of the texture coordinates."},
    {245, "specular", "Specular", "Colour or texture of the specular reflection."},
    {246, "turbidity", "Turbidity", "Haziness of the sky; higher values give a whiter sky."},
    {248, "up", "Up", "Up direction of the camera."},
    {249, "uv_set", "UV set", "Which set of texture coordinates is shown."},
    {250, "uv_max", "UV maximum", "Texture coordinate that maps to full intensity."},
    {257, "z_depth_max", "Z-depth maximum", "Depth in metres that maps to full intensity."},
    {303, "visible_environment", "Visible environment", "Environment seen by the camera instead of the lighting environment."},
    {311, "film_settings", "Film settings", "Resolution of the image."},
    {331, "ground_color", "Ground colour", "Colour of the ground below the horizon."},
    {340, "exposure", "Exposure", "Brightness multiplier of the image."},
    {341, "vignetting", "Vignetting", "Darkening towards the corners of the image."},
    {342, "white_balance", "White balance", "Colour that is shown as white."},
    {343, "saturation", "Saturation", "Colour saturation of the image."},
    {344, "dithering", "Dithering", "Adds a little noise to hide banding."},
    {345, "premultiplied_alpha", "Premultiplied alpha", "Multiplies the colours by the alpha channel."},
    {350, "cutoff", "Cutoff", "Brightness above which bloom and glare start."},
    {351, "bloom_power", "Bloom power", "Strength of the bloom around bright areas."},
    {352, "glare_power", "Glare power", "Strength of the glare rays."},
    {353, "glare_ray_count", "Glare ray count", "Number of glare rays."},
    {354, "glare_angle", "Glare angle", "Rotation of the glare rays in degrees."},
    {355, "glare_blur", "Glare blur", "Blur of the glare rays."},
    {401, "enabled", "Enabled", "Whether the node takes effect."},
    {402, "refraction_index", "Index of refraction", "Index of refraction of the material."},
    {403, "fake_shadows", "Fake shadows", "Lets light pass through for shadows, as for thin glass."},
    {404, "shade_count", "Shade count", "Number of flat shades the diffuse light is split into."},
};

struct AttrName {
    AttributeId id;
    const char* name;
    const char* description;
};

// Attribute ids, ascending.
const AttrName kAttrNames[] = {
    {34, "filename", "File the node loads its data from."},
    {35, "sandbox_in_use", "Whether a material sandbox graph exists."},
    {40, "smoothing", "Whether normals are smoothed across faces."},
    {41, "smoothing_angle", "Largest angle in degrees between faces that are smoothed together."},
    {63, "material_names", "One name per material slot."},
    {80, "normals", "Normals of the mesh."},
    {113, "input_count", "Number of geometry inputs."},
    {114, "poly_material_indices", "Material slot of each polygon."},
    {115, "normal_indices", "Index into the normals for each polygon corner."},
    {119, "uvw_indices", "Index into the texture coordinates for each polygon corner."},
    {120, "vertex_indices", "Index into the vertices for each polygon corner."},
    {124, "reload", "Loads the file again at the next evaluation."},
    {139, "scale", "Scale along the three axes."},
    {148, "rotation", "Rotation about the three axes in degrees."},
    {153, "subd_interpolation", "Interpolation of texture coordinates at subdivision boundaries."},
    {161, "subd_level", "Number of subdivision steps."},
    {162, "subd_scheme", "Subdivision scheme."},
    {163, "subd_sharpness", "Sharpness of subdivision creases."},
    {170, "transforms", "One transformation per placed copy."},
    {171, "transform", "The composed transformation."},
    {172, "translation", "Translation along the three axes."},
    {184, "uvws", "Texture coordinates of the mesh."},
    {185, "value", "The value the node holds."},
    {189, "vertices_per_poly", "Number of corners of each polygon."},
    {190, "vertices", "Vertex positions in metres."},
    {279, "instance_ids", "Id of each placed copy."},
    {280, "object_id", "Id of the object, for the object id channel."},
};

struct FloatRange {
    float min, max, sliderMin, sliderMax;
};
struct IntRange {
    int32_t min, max, sliderMin, sliderMax;
};

constexpr FloatRange kUnit{0.f, 1.f, 0.f, 1.f};
constexpr FloatRange kAnyFloat{-FLT_MAX, FLT_MAX, -100.f, 100.f};
constexpr FloatRange kPositive{0.f, FLT_MAX, 0.f, 10.f};
constexpr FloatRange kPower{0.f, 1000.f, 0.f, 10.f};
constexpr FloatRange kGamma{0.1f, 8.f, 0.1f, 4.f};
constexpr FloatRange kDegrees{-360.f, 360.f, -180.f, 180.f};
constexpr FloatRange kDistance{0.f, 100000.f, 0.f, 100.f};
constexpr FloatRange kFilterSize{1.f, 8.f, 1.f, 4.f};
constexpr FloatRange kEpsilon{0.000001f, 0.1f, 0.000001f, 0.01f};
constexpr IntRange kDepth{1, 1024, 1, 32};

float_4 Splat(float v) { return {v, v, v, v}; }
int32_4 Splat(int32_t v) { return {v, v, v, v}; }

struct Catalogue {
    std::map<NodeType, NodeTypeDesc> types;
    std::vector<NodeType> allTypes;
    std::map<NodePinType, std::vector<NodeType>> typesByOutput;
    std::map<PinId, const PinName*> pins;
    std::map<AttributeId, const AttrName*> attrs;
    std::map<PinId, std::string> pinIdNames;
    std::map<AttributeId, std::string> attrIdNames;
    std::deque<std::vector<ApiEnumChoice>> enumChoices;   // storage behind ApiEnumPinInfo::values

    Catalogue();
};

std::string UpperCase(const std::string& prefix, const char* name) {
    std::string s = prefix;
    for (const char* c = name; *c; ++c) s += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    return s;
}

// Fluent description of one node type, writing straight into the catalogue's entry.
class TypeDef {
public:
    TypeDef(Catalogue& cat, NodeType type, const char* typeName, const char* defaultName, NodePinType outType,
            const char* description)
        : mCat(cat), mDesc(cat.types[type]) {
        mDesc.info = ApiNodeInfo{type, typeName, defaultName, description, outType};
        mDesc.dynamicPins = DynamicPins::None;
        mDesc.isMaterial = false;
    }

    TypeDef& material() {
        mDesc.isMaterial = true;
        return *this;
    }
    TypeDef& dynamic(DynamicPins kind) {
        mDesc.dynamicPins = kind;
        return *this;
    }

    TypeDef& boolPin(PinId id, bool def) {
        ApiNodePinInfo& p = addPin(id, PinKind::Bool, Types::BoolValue);
        p.boolInfo.defaultValue = def;
        return *this;
    }
    TypeDef& floatPin(PinId id, float def, const FloatRange& r) { return floatPinN(id, 1, {def, 0, 0, 0}, r); }
    TypeDef& float2Pin(PinId id, float_2 def, const FloatRange& r) { return floatPinN(id, 2, {def.x, def.y, 0, 0}, r); }
    TypeDef& float3Pin(PinId id, float_3 def, const FloatRange& r) {
        return floatPinN(id, 3, {def.x, def.y, def.z, 0}, r);
    }
    TypeDef& intPin(PinId id, int32_t def, const IntRange& r) { return intPinN(id, 1, {def, 0, 0, 0}, r); }
    TypeDef& int2Pin(PinId id, int32_2 def, const IntRange& r) { return intPinN(id, 2, {def.x, def.y, 0, 0}, r); }
    TypeDef& enumPin(PinId id, int32_t def, std::initializer_list<ApiEnumChoice> choices) {
        mCat.enumChoices.emplace_back(choices);
        const std::vector<ApiEnumChoice>& stored = mCat.enumChoices.back();
        ApiNodePinInfo& p = addPin(id, PinKind::Enum, Types::EnumValue);
        p.enumInfo.defaultValue = def;
        p.enumInfo.values = ApiArray<ApiEnumChoice>(stored.data(), stored.size());
        return *this;
    }
    TypeDef& transformPin(PinId id, uint32_t dim) {
        ApiNodePinInfo& p = addPin(id, PinKind::Transform, Types::TransformValue);
        p.transformInfo.dimCount = dim;
        return *this;
    }
    // A pin for a node of another kind (texture, material, camera, ...), empty unless a
    // default type is given.
    TypeDef& linkPin(PinId id, NodePinType kind, NodeType defaultType = 0) {
        addPin(id, kind, defaultType);
        return *this;
    }
    // Changes the last pin.
    TypeDef& defaultNode(NodeType type) {
        mDesc.pins.back().defaultNodeType = type;
        return *this;
    }
    TypeDef& describe(const char* text) {
        mDesc.pins.back().description = text;
        return *this;
    }

    TypeDef& attrBool(AttributeId id, bool def) {
        addAttr(id, AttrKind::Bool, false).defaultInts[0] = def ? 1 : 0;
        return *this;
    }
    TypeDef& attrInt(AttributeId id, int32_t def) {
        addAttr(id, AttrKind::Int, false).defaultInts[0] = def;
        return *this;
    }
    TypeDef& attrInt3(AttributeId id, int32_3 def) {
        ApiAttributeInfo& a = addAttr(id, AttrKind::Int3, false);
        a.defaultInts[0] = def.x;
        a.defaultInts[1] = def.y;
        a.defaultInts[2] = def.z;
        return *this;
    }
    TypeDef& attrFloat(AttributeId id, float def) {
        addAttr(id, AttrKind::Float, false).defaultFloats[0] = def;
        return *this;
    }
    TypeDef& attrFloat3(AttributeId id, float_3 def) {
        ApiAttributeInfo& a = addAttr(id, AttrKind::Float3, false);
        a.defaultFloats[0] = def.x;
        a.defaultFloats[1] = def.y;
        a.defaultFloats[2] = def.z;
        return *this;
    }
    TypeDef& attrText(AttributeId id, AttributeType kind, const char* def) {
        addAttr(id, kind, false).defaultString = def;
        return *this;
    }
    // Single matrices start as the identity; the diagonal is recorded in defaultFloats so
    // that the description says so.
    TypeDef& attrIdentity(AttributeId id) {
        ApiAttributeInfo& a = addAttr(id, AttrKind::Matrix, false);
        a.defaultFloats[0] = a.defaultFloats[1] = a.defaultFloats[2] = 1.f;
        return *this;
    }
    TypeDef& attrArray(AttributeId id, AttributeType kind) {
        addAttr(id, kind, true);
        return *this;
    }

private:
    ApiNodePinInfo& addPin(PinId id, NodePinType kind, NodeType defaultType) {
        const PinName* n = mCat.pins.at(id);
        ApiNodePinInfo p{};
        p.id = id;
        p.type = kind;
        p.name = n->name;
        p.label = n->label;
        p.description = n->description;
        p.defaultNodeType = defaultType;
        p.stringInfo.defaultValue = "";
        mDesc.pins.push_back(p);
        return mDesc.pins.back();
    }
    TypeDef& floatPinN(PinId id, uint32_t dim, float_4 def, const FloatRange& r) {
        ApiNodePinInfo& p = addPin(id, PinKind::Float, Types::FloatValue);
        p.floatInfo.dimCount = dim;
        p.floatInfo.defaultValue = def;
        p.floatInfo.minValue = Splat(r.min);
        p.floatInfo.maxValue = Splat(r.max);
        p.floatInfo.sliderMinValue = Splat(r.sliderMin);
        p.floatInfo.sliderMaxValue = Splat(r.sliderMax);
        return *this;
    }
    TypeDef& intPinN(PinId id, uint32_t dim, int32_4 def, const IntRange& r) {
        ApiNodePinInfo& p = addPin(id, PinKind::Int, Types::IntValue);
        p.intInfo.dimCount = dim;
        p.intInfo.defaultValue = def;
        p.intInfo.minValue = Splat(r.min);
        p.intInfo.maxValue = Splat(r.max);
        p.intInfo.sliderMinValue = Splat(r.sliderMin);
        p.intInfo.sliderMaxValue = Splat(r.sliderMax);
        return *this;
    }
    ApiAttributeInfo& addAttr(AttributeId id, AttributeType kind, bool isArray) {
        const AttrName* n = mCat.attrs.at(id);
        ApiAttributeInfo a{};
        a.id = id;
        a.type = kind;
        a.isArray = isArray;
        a.name = n->name;
        a.description = n->description;
        a.defaultString = "";
        mDesc.attrs.push_back(a);
        return mDesc.attrs.back();
    }

    Catalogue& mCat;
    NodeTypeDesc& mDesc;
};

// ---------------------------------------------------------------------------------------
// Pin groups shared by several node types.

void ImageTexture(TypeDef& t) {
    t.attrText(Attrs::Filename, AttrKind::Filename, "")
        .attrBool(Attrs::Reload, true)
        .floatPin(138, 1.f, kPower)
        .floatPin(57, 2.2f, kGamma)
        .boolPin(83, false)
        .transformPin(243, 2);
}

void SurfaceMaterial(TypeDef& t, bool specular) {
    t.material().linkPin(30, PinKind::Texture);
    if (specular) t.linkPin(145, PinKind::Texture).linkPin(245, PinKind::Texture);
    t.linkPin(222, PinKind::Texture)
        .linkPin(18, PinKind::Texture)
        .describe("Texture that perturbs the shading normal.")
        .linkPin(119, PinKind::Texture)
        .linkPin(125, PinKind::Texture)
        .boolPin(218, true)
        .linkPin(34, PinKind::Displacement);
}

void TransformAttrs(TypeDef& t) {
    t.attrFloat3(Attrs::Scale, {1, 1, 1})
        .attrFloat3(Attrs::Rotation, {0, 0, 0})
        .attrFloat3(Attrs::Translation, {0, 0, 0})
        .attrIdentity(Attrs::Transform);
}

void KernelCommon(TypeDef& t) { t.intPin(108, 16000, {1, 1000000, 1, 16000}); }

void KernelEpsilonAndFilter(TypeDef& t) {
    t.floatPin(50, 1.2f, kFilterSize).floatPin(144, 0.0001f, kEpsilon);
}

void CameraPlacement(TypeDef& t) {
    t.float3Pin(133, {0, 0, 5}, kAnyFloat).float3Pin(235, {0, 0, 0}, kAnyFloat).float3Pin(248, {0, 1, 0}, kAnyFloat);
}

void CameraStereo(TypeDef& t, bool panoramic) {
    t.enumPin(228, 0,
              {{0, "Disabled"}, {1, "Left"}, {2, "Right"}, {3, "Side by side"}, {4, "Anaglyphic"}, {5, "Over-under"}})
        .floatPin(224, panoramic ? 0.065f : 0.02f, {0.f, 1000.f, 0.f, 1.f});
}

Catalogue::Catalogue() {
    for (const PinName& p : kPinNames) {
        pins[p.id] = &p;
        pinIdNames[p.id] = UpperCase("ZK_PIN_", p.name);
    }
    for (const AttrName& a : kAttrNames) {
        attrs[a.id] = &a;
        attrIdNames[a.id] = UpperCase("ZK_ATTR_", a.name);
    }
    Catalogue& cat = *this;

    // Geometry.
    TypeDef(cat, Types::Mesh, "ZK_MESH", "Mesh", PinKind::Geometry,
            "Polygon mesh, given by arrays or loaded from a file; one material input per material name.")
        .dynamic(DynamicPins::OwnMaterialSlots)
        .attrText(Attrs::Filename, AttrKind::Filename, "")
        .attrBool(Attrs::Reload, true)
        .attrBool(40, true)
        .attrFloat(41, 89.f)
        .attrInt(161, 0)
        .attrFloat(163, 0.f)
        .attrInt(153, 2)
        .attrInt(162, 0)
        .attrArray(189, AttrKind::Int)
        .attrArray(190, AttrKind::Float3)
        .attrArray(120, AttrKind::Int)
        .attrArray(80, AttrKind::Float3)
        .attrArray(115, AttrKind::Int)
        .attrArray(184, AttrKind::Float3)
        .attrArray(119, AttrKind::Int)
        .attrArray(114, AttrKind::Int)
        .attrArray(Attrs::MaterialNames, AttrKind::String)
        .attrInt(280, 0);
    TypeDef(cat, Types::MaterialOverride, "ZK_MATERIAL_OVERRIDE", "Material override", PinKind::Geometry,
            "Shows its input geometry with other materials, one input per material slot of that geometry.")
        .dynamic(DynamicPins::GeometryPinSlots)
        .linkPin(Pins::Geometry, PinKind::Geometry)
        .attrInt(280, 0);
    TypeDef(cat, Types::GeometryGroup, "ZK_GEOMETRY_GROUP", "Geometry group", PinKind::Geometry,
            "Combines several pieces of geometry into one.")
        .dynamic(DynamicPins::GroupInputs)
        .attrInt(Attrs::InputCount, 0);
    TypeDef(cat, Types::Placement, "ZK_PLACEMENT", "Placement", PinKind::Geometry,
            "Places copies of its input geometry, one per transformation.")
        .linkPin(Pins::Geometry, PinKind::Geometry)
        .attrArray(Attrs::Transforms, AttrKind::Matrix)
        .attrArray(279, AttrKind::Int);

    // Plain values. The value attribute comes first: index 0 is where it is looked for.
    TypeDef(cat, Types::FloatValue, "ZK_FLOAT", "Float value", PinKind::Float, "A number of up to three components.")
        .attrFloat3(Attrs::Value, {0, 0, 0});
    TypeDef(cat, Types::IntValue, "ZK_INT", "Int value", PinKind::Int, "A whole number of up to three components.")
        .attrInt3(Attrs::Value, {0, 0, 0});
    TypeDef(cat, Types::BoolValue, "ZK_BOOL", "Bool value", PinKind::Bool, "A true or false value.")
        .attrBool(Attrs::Value, false);
    TypeDef(cat, Types::EnumValue, "ZK_ENUM", "Enum value", PinKind::Enum, "One choice of a list.")
        .attrInt(Attrs::Value, 0);
    TypeDef(cat, Types::StringValue, "ZK_STRING", "String value", PinKind::String, "A text.")
        .attrText(Attrs::Value, AttrKind::String, "");
    TypeDef(cat, Types::TransformValue, "ZK_TRANSFORM_VALUE", "Transform value", PinKind::Transform,
            "A transformation, given as a matrix or composed from scale, rotation and translation.")
        .attrIdentity(Attrs::Transform)
        .attrFloat3(Attrs::Scale, {1, 1, 1})
        .attrFloat3(Attrs::Rotation, {0, 0, 0})
        .attrFloat3(Attrs::Translation, {0, 0, 0});
    TypeDef(cat, Types::SunDirection, "ZK_SUN_DIRECTION", "Sun direction", PinKind::Float,
            "Direction towards the sun at a place on earth and a time.")
        .floatPin(Pins::Latitude, 40.f, {-90.f, 90.f, -90.f, 90.f})
        .floatPin(Pins::Longitude, -105.f, {-180.f, 180.f, -180.f, 180.f})
        .intPin(Pins::Month, 11, {1, 12, 1, 12})
        .intPin(Pins::Day, 8, {1, 31, 1, 31})
        .floatPin(Pins::Hour, 13.5f, {0.f, 24.f, 0.f, 24.f})
        .intPin(Pins::GmtOffset, -7, {-12, 14, -12, 14});

    // Transformations.
    TypeDef t2(cat, 27, "ZK_TRANSFORM_2D", "2D transformation", PinKind::Transform,
               "Scale, rotation and translation of texture coordinates in the plane.");
    TransformAttrs(t2);
    TypeDef t3(cat, 29, "ZK_TRANSFORM_3D", "3D transformation", PinKind::Transform,
               "Scale, rotation and translation in space.");
    TransformAttrs(t3);
    TypeDef tuvw(cat, 66, "ZK_TRANSFORM_UVW", "UVW transformation", PinKind::Transform,
                 "Scale, rotation and translation of texture coordinates.");
    TransformAttrs(tuvw);
    TypeDef(cat, 28, "ZK_TRANSFORM_PINS", "Transform from inputs", PinKind::Transform,
            "A transformation composed from scale, rotation and translation inputs.")
        .float3Pin(139, {1, 1, 1}, {-1000.f, 1000.f, 0.f, 10.f})
        .float3Pin(148, {0, 0, 0}, kDegrees)
        .float3Pin(172, {0, 0, 0}, kAnyFloat);

    // Textures.
    TypeDef(cat, Types::FloatTexture, "ZK_FLOAT_TEXTURE", "Float texture", PinKind::Texture, "A constant grey value.")
        .attrFloat(Attrs::Value, 1.f);
    TypeDef(cat, Types::RgbTexture, "ZK_RGB_TEXTURE", "RGB texture", PinKind::Texture, "A constant colour.")
        .attrFloat3(Attrs::Value, {0.7f, 0.7f, 0.7f});
    TypeDef image(cat, Types::ImageTexture, "ZK_IMAGE_TEXTURE", "Image texture", PinKind::Texture,
                  "Colours from an image file.");
    ImageTexture(image);
    TypeDef alpha(cat, Types::AlphaImageTexture, "ZK_ALPHA_IMAGE_TEXTURE", "Alpha image texture", PinKind::Texture,
                  "The alpha channel of an image file.");
    ImageTexture(alpha);
    TypeDef grey(cat, Types::GreyscaleImageTexture, "ZK_GREYSCALE_IMAGE_TEXTURE", "Greyscale image texture",
                 PinKind::Texture, "Grey values from an image file.");
    ImageTexture(grey);
    TypeDef(cat, 38, "ZK_MIX_TEXTURE", "Mix texture", PinKind::Texture, "Blends two textures.")
        .linkPin(237, PinKind::Texture, Types::FloatTexture)
        .linkPin(238, PinKind::Texture)
        .linkPin(239, PinKind::Texture);
    TypeDef(cat, 51, "ZK_TEXTURE_GAMMA", "Texture gamma", PinKind::Texture, "Applies a gamma to a texture.")
        .floatPin(57, 1.f, kGamma)
        .linkPin(240, PinKind::Texture);
    TypeDef(cat, 80, "ZK_DISPLACEMENT", "Displacement", PinKind::Displacement,
            "Moves a surface along its normals by the values of a texture.")
        .linkPin(240, PinKind::Texture)
        .floatPin(236, 0.001f, {0.f, 1000.f, 0.f, 0.1f});

    // Materials.
    TypeDef glossy(cat, 16, "ZK_MAT_GLOSSY", "Glossy material", PinKind::Material,
                   "A diffuse base under a glossy coating.");
    SurfaceMaterial(glossy, false);
    glossy.floatPin(402, 1.5f, {1.f, 8.f, 1.f, 3.f});
    TypeDef diffuse(cat, 17, "ZK_MAT_DIFFUSE", "Diffuse material", PinKind::Material, "A dull, matte surface.");
    SurfaceMaterial(diffuse, false);
    TypeDef specular(cat, 18, "ZK_MAT_SPECULAR", "Specular material", PinKind::Material,
                     "A transparent surface such as glass or water.");
    SurfaceMaterial(specular, true);
    specular.floatPin(402, 1.5f, {1.f, 8.f, 1.f, 3.f}).boolPin(403, false);
    TypeDef(cat, 19, "ZK_MAT_MIX", "Mix material", PinKind::Material, "Blends two materials.")
        .material()
        .linkPin(237, PinKind::Texture, Types::FloatTexture)
        .linkPin(238, PinKind::Material)
        .linkPin(239, PinKind::Material);
    TypeDef(cat, 20, "ZK_MAT_PORTAL", "Portal material", PinKind::Material,
            "Marks openings through which the environment lights an interior.")
        .material()
        .boolPin(401, true);
    TypeDef metallic(cat, 120, "ZK_MAT_METALLIC", "Metallic material", PinKind::Material, "A metal surface.");
    SurfaceMaterial(metallic, false);
    metallic.floatPin(402, 1.5f, {1.f, 8.f, 1.f, 3.f});
    TypeDef toon(cat, 121, "ZK_MAT_TOON", "Toon material", PinKind::Material, "Flat, cartoon-like shading.");
    SurfaceMaterial(toon, false);
    toon.intPin(404, 3, {1, 16, 1, 8});
    TypeDef(cat, Types::Link, "ZK_LINK", "Link", PinKind::Material, "Stands for the material plugged into it.")
        .linkPin(Pins::LinkInput, PinKind::Material);

    // Rendering.
    TypeDef(cat, Types::RenderTarget, "ZK_RENDER_TARGET", "Render target", PinKind::RenderTarget,
            "Everything one image needs: camera, environment, geometry, kernel and image settings.")
        .linkPin(19, PinKind::Camera, Types::ThinLensCamera)
        .linkPin(43, PinKind::Environment, Types::Daylight)
        .linkPin(303, PinKind::Environment)
        .linkPin(78, PinKind::Imager, Types::Imager)
        .linkPin(89, PinKind::Kernel, 24)
        .linkPin(111, PinKind::Geometry)
        .linkPin(136, PinKind::Postprocessing, Types::Postprocessing)
        .linkPin(311, PinKind::FilmSettings, Types::FilmSettings);

    TypeDef thinLens(cat, Types::ThinLensCamera, "ZK_CAMERA_THINLENS", "Thin lens camera", PinKind::Camera,
                     "A perspective or orthographic camera with depth of field.");
    CameraPlacement(thinLens);
    thinLens.floatPin(53, 45.f, {1.f, 180.f, 1.f, 120.f})
        .floatPin(209, 1.f, {0.001f, 1000000.f, 0.1f, 100.f})
        .boolPin(127, false)
        .floatPin(8, 0.f, {0.f, 100.f, 0.f, 1.f})
        .floatPin(35, 0.f, {-1.f, 1.f, -1.f, 1.f})
        .floatPin(10, 1.f, {1.f, 100.f, 1.f, 10.f})
        .floatPin(116, 0.f, kDistance)
        .floatPin(132, 1.f, {0.1f, 10.f, 0.5f, 2.f})
        .floatPin(9, 1.f, {0.1f, 10.f, 0.5f, 2.f})
        .boolPin(130, false)
        .enumPin(227, 1, {{1, "Off-axis"}, {2, "Parallel"}});
    CameraStereo(thinLens, false);
    thinLens.float3Pin(93, {1.f, 0.f, 0.812f}, kUnit)
        .float3Pin(200, {0.f, 1.f, 0.188f}, kUnit)
        .float2Pin(95, {0, 0}, {-100.f, 100.f, -1.f, 1.f})
        .boolPin(12, false)
        .floatPin(51, 10.f, kDistance);

    TypeDef pano(cat, Types::PanoramicCamera, "ZK_CAMERA_PANORAMIC", "Panoramic camera", PinKind::Camera,
                 "A camera that renders the full surroundings of a point.");
    CameraPlacement(pano);
    pano.floatPin(116, 0.001f, kDistance);
    CameraStereo(pano, true);
    pano.floatPin(225, 0.3f, kUnit)
        .floatPin(226, 90.f, {0.f, 90.f, 0.f, 90.f})
        .float3Pin(93, {1.f, 0.f, 0.812f}, kUnit)
        .float3Pin(200, {0.f, 1.f, 0.188f}, kUnit)
        .enumPin(20, 0, {{0, "Spherical"}, {1, "Cylindrical"}, {2, "Cube map"}})
        .floatPin(54, 360.f, {1.f, 360.f, 1.f, 360.f})
        .floatPin(55, 180.f, {1.f, 180.f, 1.f, 180.f});

    TypeDef(cat, Types::Daylight, "ZK_DAYLIGHT", "Daylight environment", PinKind::Environment,
            "Sky and sun computed from a place on earth, a date and a time.")
        .boolPin(79, false)
        .intPin(114, 0, {0, 3, 0, 3})
        .floatPin(246, 2.2f, {1.8f, 8.f, 1.8f, 8.f})
        .floatPin(138, 1.f, kPower)
        .floatPin(120, 0.f, {-1.f, 1.f, -1.f, 1.f})
        .float3Pin(217, {0.05f, 0.3f, 1.f}, kUnit)
        .float3Pin(232, {0.6f, 0.12f, 0.02f}, kUnit)
        .floatPin(233, 1.f, {0.1f, 100.f, 0.1f, 30.f})
        .float3Pin(331, {0.4f, 0.4f, 0.4f}, kUnit)
        .float3Pin(Pins::SunDirection, {0.f, 1.f, 0.f}, {-1.f, 1.f, -1.f, 1.f})
        .defaultNode(Types::SunDirection)
        .linkPin(240, PinKind::Texture);
    TypeDef(cat, Types::TextureEnvironment, "ZK_TEXTURE_ENVIRONMENT", "Texture environment", PinKind::Environment,
            "Lights the scene from a texture, for example a panorama.")
        .boolPin(79, false)
        .floatPin(138, 1.f, kPower)
        .linkPin(240, PinKind::Texture);

    TypeDef(cat, Types::Imager, "ZK_IMAGER", "Imager", PinKind::Imager, "Turns rendered light into image colours.")
        .floatPin(340, 1.f, {0.001f, 4096.f, 0.1f, 10.f})
        .floatPin(57, 1.f, kGamma)
        .floatPin(341, 0.3f, kUnit)
        .float3Pin(342, {1.f, 1.f, 1.f}, kUnit)
        .floatPin(343, 1.f, {0.f, 4.f, 0.f, 2.f})
        .boolPin(344, false)
        .boolPin(345, false);
    TypeDef(cat, Types::Postprocessing, "ZK_POSTPROCESSING", "Post processing", PinKind::Postprocessing,
            "Bloom and glare around bright parts of the image.")
        .boolPin(401, false)
        .floatPin(350, 0.f, {0.f, 1000.f, 0.f, 10.f})
        .floatPin(351, 1.f, {0.f, 10000.f, 0.f, 10.f})
        .floatPin(352, 0.01f, {0.f, 10.f, 0.f, 1.f})
        .intPin(353, 3, {1, 8, 1, 8})
        .floatPin(354, 15.f, {-90.f, 90.f, -90.f, 90.f})
        .floatPin(355, 0.001f, {0.f, 1.f, 0.f, 0.1f});

    // Kernels: the number of samples first, then the kernel's own settings.
    TypeDef pmc(cat, 23, "ZK_KERNEL_PMC", "PMC kernel", PinKind::Kernel,
                "Unbiased kernel that mutates light paths; good at caustics and difficult light.");
    KernelCommon(pmc);
    pmc.intPin(104, 8, kDepth)
        .intPin(105, 24, kDepth)
        .floatPin(44, 0.7f, kUnit)
        .floatPin(22, 0.f, kUnit)
        .floatPin(32, 0.1f, kUnit)
        .intPin(107, 500, {1, 10000, 1, 1000})
        .intPin(128, 4, {1, 32, 1, 8});
    KernelEpsilonAndFilter(pmc);
    pmc.floatPin(60, 1000000.f, {0.001f, 1000000.f, 0.001f, 1000.f})
        .floatPin(129, 0.3f, {0.f, 1.f, 0.f, 1.f})
        .boolPin(3, true)
        .boolPin(2, false);

    TypeDef dl(cat, 24, "ZK_KERNEL_DIRECT_LIGHT", "Direct lighting kernel", PinKind::Kernel,
               "Fast kernel that approximates indirect light.");
    KernelCommon(dl);
    dl.intPin(221, 5, kDepth)
        .intPin(66, 2, kDepth)
        .intPin(29, 2, {1, 2048, 1, 16})
        .floatPin(7, 3.f, {0.01f, 1024.f, 0.01f, 10.f})
        .enumPin(61, 3,
                 {{0, "None"}, {1, "Ambient"}, {2, "Sample environment"}, {3, "Ambient occlusion"}, {4, "Diffuse"}});
    KernelEpsilonAndFilter(dl);
    dl.floatPin(25, 0.f, kUnit)
        .floatPin(129, 0.3f, {0.f, 1.f, 0.f, 1.f})
        .boolPin(3, true)
        .boolPin(2, false)
        .boolPin(223, false);

    TypeDef pt(cat, 25, "ZK_KERNEL_PATH_TRACING", "Path tracing kernel", PinKind::Kernel,
               "Unbiased kernel that follows light paths from the camera.");
    KernelCommon(pt);
    pt.intPin(104, 8, kDepth).intPin(105, 24, kDepth).floatPin(22, 0.f, kUnit);
    KernelEpsilonAndFilter(pt);
    pt.floatPin(60, 1000000.f, {0.001f, 1000000.f, 0.001f, 1000.f})
        .floatPin(25, 0.f, kUnit)
        .floatPin(129, 0.3f, {0.f, 1.f, 0.f, 1.f})
        .boolPin(3, true)
        .boolPin(2, false)
        .boolPin(223, false);

    TypeDef info(cat, 26, "ZK_KERNEL_INFO_CHANNEL", "Info channel kernel", PinKind::Kernel,
                 "Shows information about the scene instead of light: normals, depth, ids and more.");
    KernelCommon(info);
    info.enumPin(81, 0,
                 {{0, "Geometric normals"},
                  {1, "Shading normals"},
                  {2, "Position"},
                  {3, "Z-depth"},
                  {4, "Material id"},
                  {5, "Texture coordinates"},
                  {6, "Tangent U"},
                  {7, "Wireframe"},
                  {8, "Vertex normals"},
                  {9, "Object id"},
                  {10, "Ambient occlusion"},
                  {11, "Motion vectors"}})
        .boolPin(36, true);
    KernelEpsilonAndFilter(info);
    info.boolPin(2, false)
        .floatPin(257, 5.f, {0.001f, 100000.f, 0.001f, 100.f})
        .floatPin(250, 1.f, {0.001f, 1000.f, 0.001f, 10.f})
        .intPin(249, 1, {1, 3, 1, 3})
        .floatPin(109, 1.f, {0.001f, 10000.f, 0.001f, 100.f})
        .boolPin(18, false)
        .describe("Applies bump and normal maps to the channel.")
        .boolPin(72, false)
        .floatPin(7, 3.f, {0.01f, 1024.f, 0.01f, 10.f})
        .boolPin(3, true);

    TypeDef(cat, Types::FilmSettings, "ZK_FILM_SETTINGS", "Film settings", PinKind::FilmSettings,
            "Resolution of the rendered image.")
        .int2Pin(198, {1024, 768}, {4, 65536, 4, 4096});
    TypeDef(cat, Types::ProjectSettings, "ZK_PROJECT_SETTINGS", "Project settings", PinKind::Unknown,
            "Settings of the whole project.")
        .attrBool(35, false);

    for (const auto& entry : types) {
        allTypes.push_back(entry.first);
        NodePinType out = entry.second.info.outType;
        if (out != PinKind::Unknown) typesByOutput[out].push_back(entry.first);
    }
}

const Catalogue& TheCatalogue() {
    static const Catalogue catalogue;
    return catalogue;
}

const std::vector<NodeType> kNoTypes;

}  // namespace

const NodeTypeDesc* FindNodeType(NodeType type) {
    const Catalogue& cat = TheCatalogue();
    auto it = cat.types.find(type);
    return it == cat.types.end() ? nullptr : &it->second;
}

const std::vector<NodeType>& AllNodeTypes() { return TheCatalogue().allTypes; }

const std::vector<NodeType>& NodeTypesForPinType(NodePinType type) {
    const Catalogue& cat = TheCatalogue();
    auto it = cat.typesByOutput.find(type);
    return it == cat.typesByOutput.end() ? kNoTypes : it->second;
}

const char* NodeTypeName(NodeType type) {
    const NodeTypeDesc* desc = FindNodeType(type);
    return desc ? desc->info.typeName : "unknown";
}

const char* GraphTypeName(NodeGraphType type) {
    switch (type) {
        case GraphKind::Unknown: return "ZK_GRAPH_UNKNOWN";
        case GraphKind::Standard: return "ZK_GRAPH_STANDARD";
        case GraphKind::Root: return "ZK_GRAPH_ROOT";
        default: return "unknown";
    }
}

const char* PinIdName(PinId id) {
    const Catalogue& cat = TheCatalogue();
    auto it = cat.pinIdNames.find(id);
    return it == cat.pinIdNames.end() ? "unknown" : it->second.c_str();
}

const char* AttributeIdName(AttributeId id) {
    const Catalogue& cat = TheCatalogue();
    auto it = cat.attrIdNames.find(id);
    return it == cat.attrIdNames.end() ? "unknown" : it->second.c_str();
}

const char* PinTypeName(NodePinType type) {
    switch (type) {
        case PinKind::Unknown: return "ZK_PT_UNKNOWN";
        case PinKind::Bool: return "ZK_PT_BOOL";
        case PinKind::Float: return "ZK_PT_FLOAT";
        case PinKind::Int: return "ZK_PT_INT";
        case PinKind::Transform: return "ZK_PT_TRANSFORM";
        case PinKind::Texture: return "ZK_PT_TEXTURE";
        case PinKind::Emission: return "ZK_PT_EMISSION";
        case PinKind::Material: return "ZK_PT_MATERIAL";
        case PinKind::Camera: return "ZK_PT_CAMERA";
        case PinKind::Environment: return "ZK_PT_ENVIRONMENT";
        case PinKind::Imager: return "ZK_PT_IMAGER";
        case PinKind::Kernel: return "ZK_PT_KERNEL";
        case PinKind::Geometry: return "ZK_PT_GEOMETRY";
        case PinKind::Medium: return "ZK_PT_MEDIUM";
        case PinKind::Projection: return "ZK_PT_PROJECTION";
        case PinKind::FilmSettings: return "ZK_PT_FILM_SETTINGS";
        case PinKind::Enum: return "ZK_PT_ENUM";
        case PinKind::Postprocessing: return "ZK_PT_POSTPROCESSING";
        case PinKind::RenderTarget: return "ZK_PT_RENDER_TARGET";
        case PinKind::Displacement: return "ZK_PT_DISPLACEMENT";
        case PinKind::String: return "ZK_PT_STRING";
        default: return "unknown";
    }
}

const char* AttributeTypeName(AttributeType type) {
    switch (type) {
        case AttrKind::Unknown: return "ZK_AT_UNKNOWN";
        case AttrKind::Bool: return "ZK_AT_BOOL";
        case AttrKind::Int: return "ZK_AT_INT";
        case AttrKind::Int2: return "ZK_AT_INT2";
        case AttrKind::Int3: return "ZK_AT_INT3";
        case AttrKind::Int4: return "ZK_AT_INT4";
        case AttrKind::Float: return "ZK_AT_FLOAT";
        case AttrKind::Float2: return "ZK_AT_FLOAT2";
        case AttrKind::Float3: return "ZK_AT_FLOAT3";
        case AttrKind::Float4: return "ZK_AT_FLOAT4";
        case AttrKind::String: return "ZK_AT_STRING";
        case AttrKind::Filename: return "ZK_AT_FILENAME";
        case AttrKind::Byte: return "ZK_AT_BYTE";
        case AttrKind::Matrix: return "ZK_AT_MATRIX";
        default: return "unknown";
    }
}

ApiNodePinInfo DynamicPinInfo(DynamicPins kind, const char* name) {
    ApiNodePinInfo info = NoPinInfo();
    info.name = info.label = name ? name : "";
    switch (kind) {
        case DynamicPins::GroupInputs:
            info.type = PinKind::Geometry;
            info.description = "One of the pieces of geometry that are combined.";
            break;
        case DynamicPins::OwnMaterialSlots:
        case DynamicPins::GeometryPinSlots:
            info.type = PinKind::Material;
            info.description = "Material of one material slot.";
            break;
        case DynamicPins::None:
            break;
    }
    return info;
}

const ApiNodePinInfo& NoPinInfo() {
    static const ApiNodePinInfo none = [] {
        ApiNodePinInfo p{};
        p.id = 0;
        p.type = PinKind::Unknown;
        p.name = p.label = p.description = "";
        p.stringInfo.defaultValue = "";
        return p;
    }();
    return none;
}

NodeType ValueNodeTypeFor(NodePinType type) {
    switch (type) {
        case PinKind::Bool: return Types::BoolValue;
        case PinKind::Float: return Types::FloatValue;
        case PinKind::Int: return Types::IntValue;
        case PinKind::Enum: return Types::EnumValue;
        case PinKind::Transform: return Types::TransformValue;
        case PinKind::String: return Types::StringValue;
        default: return 0;
    }
}

}  // namespace Engine
}  // namespace Zarnik
