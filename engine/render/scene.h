// What the render workers read: a snapshot of the render target taken under the engine's
// lock, and the ray-query structures built from it on a worker. Nothing here points back
// into the node graph: large arrays are held by reference to their immutable storage (see
// SharedBytes), so the host may edit, rebuild or delete the scene while a frame renders.
#pragma once

#include <embree3/rtcore.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "block_cache.h"
#include "render/texture.h"
#include "zarnik.h"

namespace Zarnik {
namespace Engine {

class NodeImpl;

namespace Render {

struct V3 {
    float x = 0, y = 0, z = 0;
};

// An array a snapshot reads: the node's own storage, held by reference, when it serves as it
// is, else a converted copy kept here.
// Moved, the vector keeps its storage, so the view stays right; a copy would not.
template <typename T>
class Array {
public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    Array(Array&&) noexcept = default;
    Array& operator=(Array&&) noexcept = default;

    const T* data() const { return mData; }
    size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    const T& operator[](size_t i) const { return mData[i]; }

    void share(const SharedBytes& bytes, size_t count) {
        mOwned.clear();
        mOwned.shrink_to_fit();
        mShared = bytes;
        mData = reinterpret_cast<const T*>(mShared.data());
        mSize = count <= mShared.size() / sizeof(T) ? count : 0;
    }
    // Keeps the vector; only its first `count` elements are the array (the rest is padding).
    void own(std::vector<T> values, size_t count) {
        mShared = SharedBytes();
        mOwned = std::move(values);
        mData = mOwned.data();
        mSize = std::min(count, mOwned.size());
    }
    void own(std::vector<T> values) {
        const size_t count = values.size();
        own(std::move(values), count);
    }

private:
    SharedBytes mShared;
    std::vector<T> mOwned;
    const T* mData = nullptr;
    size_t mSize = 0;
};

class Device;

// One triangle mesh, shared by every placement that shows it, and by later snapshots while
// the node's arrays stay as they were.
struct MeshData {
    MeshData() = default;
    MeshData(const MeshData&) = delete;
    MeshData& operator=(const MeshData&) = delete;
    ~MeshData();

    uint64_t nodeId = 0;
    std::vector<uint64_t> stamps;        // of the node's values it was made from
    Array<float> positions;              // x y z per vertex; readable one vertex past the end
    Array<uint32_t> triangles;           // three vertex indices per triangle
    Array<int32_t> slots;                // material slot per triangle; empty: all slot 0
    Array<V3> normals;
    Array<int32_t> normalIx;             // three per triangle, or empty
    Array<V3> uvws;
    Array<int32_t> uvwIx;                // three per triangle, or empty
    uint32_t slotCount = 0;
    uint32_t triangleCount() const { return uint32_t(triangles.size() / 3); }
    uint32_t vertexCount() const { return uint32_t(positions.size() / 3); }
    uint32_t slotOf(uint32_t triangle) const {
        if (triangle >= slots.size()) return 0;
        return slots[triangle] < 0 ? 0u : uint32_t(slots[triangle]);
    }

    // The mesh's ray-query scene, built by the first worker that asks; null when it could
    // not be made.
    RTCScene scene(const std::shared_ptr<Device>& device);

private:
    std::once_flag mOnce;
    std::shared_ptr<Device> mDevice;
    RTCScene mScene = nullptr;
};

constexpr uint32_t kNoTexture = UINT32_MAX;

// A material or texture input: a fixed value, or a texture of the snapshot that gives it per hit.
struct Channel {
    V3 value{0, 0, 0};
    uint32_t texture = kNoTexture;
};

enum class TextureKind { Image, Mix, Gamma };
enum class ImageChannel { Colour, Alpha, Grey };

struct TextureData {
    TextureKind kind = TextureKind::Image;
    // Image: null when the file could not be read; the texture then shows the fallback.
    std::shared_ptr<const ImageData> image;
    ImageChannel channel = ImageChannel::Colour;
    float power = 1.0f;
    bool invert = false;
    float decode[256];                   // byte to linear value for the texture's gamma
    float m[3][4];                       // texture coordinates to image coordinates
    Channel amount, first, second;       // mix: amount blends first into second; gamma: first
    float gamma = 1.0f;
};

enum class MaterialKind { Diffuse, Glossy, Metallic, Specular, Mix, Portal, Toon };

struct MaterialData {
    uint64_t nodeId = 0;                 // 0 for the default material
    MaterialKind kind = MaterialKind::Diffuse;
    Channel diffuse{{0.5f, 0.5f, 0.5f}};
    Channel roughness;
    Channel specular{{1, 1, 1}};
    Channel transmission{{1, 1, 1}};
    Channel opacity{{1, 1, 1}};
    Channel amount;                      // mix: 0 shows first, 1 second
    uint32_t first = 0, second = 0;      // mix: material indices
    float index = 1.5f;                  // index of refraction
    bool fakeShadows = false;            // specular: light passes for shadows
    bool cutout = false;                 // opacity can be below 1
    V3 emission{0, 0, 0};
};

// The materials per slot of one placement (or of a mesh wired in directly).
typedef std::vector<uint32_t> SlotMaterials;

// The transforms (object to world, translation in the last column) of one placement node,
// or the one identity of a mesh wired in directly, all showing one mesh with one slot set.
// Transforms that are not finite stay in the list: their bounds are empty, so no ray meets
// them.
struct InstanceGroup {
    uint32_t mesh = 0;
    uint32_t slotSet = 0;
    Array<Matrix<float>> transforms;
};

enum class CameraKind { ThinLens, Orthographic, Panoramic };

struct CameraData {
    CameraKind kind = CameraKind::ThinLens;
    V3 position{0, 0, 5}, target{0, 0, 0}, up{0, 1, 0};
    float fovX = 45.0f;                  // degrees across the image width (panoramic: full angle)
    float fovY = 180.0f;                 // panoramic only
    float orthoWidth = 1.0f;             // metres across the image width
    float apertureRadius = 0.0f;         // metres
    float focalDepth = 10.0f;
    float pixelAspect = 1.0f;
};

enum class EnvironmentKind { Daylight, Colour, Texture };

struct EnvironmentData {
    EnvironmentKind kind = EnvironmentKind::Daylight;
    V3 sunDirection{0, 1, 0};            // towards the sun, unit length
    V3 sunColour{1, 1, 1};               // irradiance on a plane facing the sun
    V3 skyColour{0.05f, 0.3f, 1.0f};
    V3 groundColour{0.4f, 0.4f, 0.4f};
    float power = 1.0f;
    V3 colour{0, 0, 0};                  // plain colour environments
    // Texture environments, and a daylight sky: looked up by latitude and longitude.
    Channel sky;
    bool customSky = false;              // daylight: the sky comes from a texture
};

enum class KernelKind { PathTracing, InfoChannel };

// Info channels the renderer produces; the numbers are the kernel's channel choices.
enum InfoChannel : int32_t { GeometricNormal = 0, ShadingNormal = 1, Position = 2, ZDepth = 3, MaterialId = 4 };

struct KernelData {
    KernelKind kind = KernelKind::PathTracing;
    int32_t channel = GeometricNormal;
    uint64_t maxSamples = 16000;
    float zDepthMax = 5.0f;
    uint32_t maxDepth = 8;
};

class Scene {
public:
    ~Scene();

    uint32_t width = 0, height = 0;
    float exposure = 1.0f;
    CameraData camera;
    EnvironmentData environment;
    KernelData kernel;
    std::vector<std::shared_ptr<MeshData>> meshes;
    std::vector<MaterialData> materials;     // index 0: the default material
    std::vector<TextureData> textures;
    // Some material lets rays through (portals, cut-outs, shadow-less glass): rays then look
    // past such hits instead of taking the first one.
    bool passThrough = false;
    std::vector<SlotMaterials> slotSets;
    // A hit's geometry id is the group's index, its instance id the transform's.
    std::vector<InstanceGroup> groups;

    // Builds the ray-query structures once; every worker calls it, the first one builds.
    // False when they could not be made (the frame then renders the environment only).
    bool prepare();
    RTCScene top() const { return mReady ? mTop : nullptr; }

    struct Inverse {
        float m[3][4];
        bool valid;                      // false: the transform has none, and no ray meets it
    };
    // Every transform of one group, as one user geometry of the top level whose primitives
    // are the transforms: an instance of the ray-query library costs some 440 bytes, a
    // placement here nothing beside the node's own transform but its share of the tree.
    struct Placements {
        RTCScene mesh;
        const Matrix<float>* transforms;
        const Inverse* inverses;         // null: worked out per ray
        float lower[3], upper[3];        // the mesh's bounds in its own space
    };

private:
    void build();

    std::vector<Placements> mPlacements;
    std::vector<Inverse> mInverses;      // sized once: placements point into it
    std::once_flag mOnce;
    bool mReady = false;
    std::shared_ptr<Device> mDevice;
    RTCScene mTop = nullptr;
};

// What the ray-query library holds now, in bytes: trees and their build's scratch, of every
// snapshot alive.
int64_t RayStructureBytes();

// Copies what the render target holds; the caller holds the engine's lock. Null when the
// target has no usable film size.
std::shared_ptr<Scene> TakeSnapshot(NodeImpl* target);

// A material shown on a sphere over a checker floor under fixed daylight (flat: on a square
// that fills the picture); null for a node that is not a material.
std::shared_ptr<Scene> PreviewScene(NodeImpl* material, uint32_t width, uint32_t height, float distance, bool flat);

// The colour the material-id channel shows for a material node (0: no material).
V3 MaterialIdColour(uint64_t materialNodeId);

}  // namespace Render
}  // namespace Engine
}  // namespace Zarnik
