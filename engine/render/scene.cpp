// The render target's snapshot and its ray-query structures.
#include "render/scene.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "core.h"

namespace Zarnik {
namespace Engine {
namespace Render {
namespace {

constexpr PinId kCameraPin = 19, kEnvironmentPin = 43, kImagerPin = 78, kKernelPin = 89, kGeometryPin = 111,
                kFilmPin = 311;
constexpr PinId kResolution = 198, kExposure = 340, kMaxSamples = 108, kChannel = 81, kZDepthMax = 257;
constexpr PinId kPosition = 133, kTarget = 235, kUp = 248, kFov = 53, kOrthoWidth = 209, kOrthographic = 127,
                kAperture = 8, kFocalDepth = 51, kAutoFocus = 12, kPixelAspect = 132, kPanoFovX = 54,
                kPanoFovY = 55;
constexpr PinId kSkyColour = 217, kGroundColour = 331, kPower = 138, kTextureInput = 240;
constexpr PinId kDiffuse = 30, kTransmission = 145, kSpecular = 245, kRoughness = 222, kOpacity = 125,
                kRefractionIndex = 402, kFakeShadows = 403, kAmount = 237, kFirst = 238, kSecond = 239,
                kTexturePower = 138, kGamma = 57, kInvert = 83, kTextureTransform = 243;
constexpr NodeType kInfoKernel = 26, kGlossyMaterial = 16, kSpecularMaterial = 18,
                   kMixMaterial = 19, kPortalMaterial = 20, kMetallicMaterial = 120, kToonMaterial = 121,
                   kMixTexture = 38, kGammaTexture = 51;
constexpr AttributeId kVerticesPerPoly = 189, kVertices = 190, kVertexIndices = 120, kNormals = 80,
                      kNormalIndices = 115, kUvws = 184, kUvwIndices = 119, kPolyMaterials = 114;
// Far more pixels than any film the settings allow at a size that fits in memory.
constexpr uint64_t kMaxPixels = uint64_t(1) << 24;
constexpr int kMaxGroupDepth = 64;
constexpr int kMaxTextureDepth = 16;

V3 Make(float_3 v) { return {v.x, v.y, v.z}; }
V3 Make(float x, float y, float z) { return {x, y, z}; }

// The array of an attribute when it holds the expected kind, else null with count 0.
template <typename T>
const T* ArrayOf(const NodeImpl* node, AttributeId id, AttributeType kind, size_t& count) {
    count = 0;
    const int ix = AttrIndex(node, id);
    if (ix < 0) return nullptr;
    const AttrValue& value = node->attrs[size_t(ix)];
    if (value.kind() != kind || ElementSize(kind) != sizeof(T)) return nullptr;
    count = value.count();
    return count ? static_cast<const T*>(value.rawData()) : nullptr;
}

// The stored bytes behind ArrayOf's pointer.
const SharedBytes& BytesOf(const NodeImpl* node, AttributeId id) {
    return node->attrs[size_t(AttrIndex(node, id))].bytes();
}

uint64_t StampOf(const NodeImpl* node, AttributeId id) {
    const int ix = AttrIndex(node, id);
    return ix < 0 ? 0 : node->attrs[size_t(ix)].stamp();
}

// Vertices as the ray queries take them: the vector keeps one padding vertex past the end.
void OwnPositions(MeshData& mesh, std::vector<float> positions) {
    const size_t count = positions.size();
    positions.insert(positions.end(), {0.0f, 0.0f, 0.0f});
    mesh.positions.own(std::move(positions), count);
}

NodeImpl* Input(NodeImpl* node, uint32_t pinIx) {
    return node && pinIx < node->pins.size() ? node->pins[pinIx].node : nullptr;
}

NodeImpl* InputById(NodeImpl* node, PinId id) {
    uint32_t ix;
    return node && FindPinById(node, id, ix) ? node->pins[ix].node : nullptr;
}

NodeImpl* LookThroughLinks(NodeImpl* node) {
    for (int hops = 0; node && node->nodeType == Types::Link && hops < 16; ++hops)
        node = InputById(node, Pins::LinkInput);
    return node;
}

// The matrix of the transform node wired into a texture's transform pin; identity without one.
void TextureTransform(NodeImpl* texture, float out[3][4]) {
    Matrix<float> m = Matrix<float>::identity();
    if (NodeImpl* t = InputById(texture, kTextureTransform)) {
        const int ix = AttrIndex(t, Attrs::Transform);
        Matrix<float> read;
        if (ix >= 0 && t->attrs[size_t(ix)].matrix(0, read)) {
            bool finite = true;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 4; ++c) finite = finite && std::isfinite(read.m[r][c]);
            if (finite) m = read;
        }
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) out[r][c] = m.m[r][c];
}

float FinitePin(NodeImpl* node, PinId id, float fallback, float lo, float hi) {
    const float v = node->getPinFloat(id);
    return std::isfinite(v) ? std::clamp(v, lo, hi) : fallback;
}

// The meshes of a snapshot by node id, for the next snapshot to take over those whose node
// values kept their stamps.
typedef std::unordered_map<uint64_t, std::weak_ptr<MeshData>> MeshCache;

class Builder {
public:
    explicit Builder(Scene& scene, const MeshCache* previous = nullptr) : s(scene), last(previous) {
        s.materials.push_back(MaterialData());
    }

    void readSettings(NodeImpl* target) {
        NodeImpl* film = InputById(target, kFilmPin);
        const int32_2 size = film ? film->getPinInt2(kResolution) : int32_2{1024, 768};
        if (size.x > 0 && size.y > 0 && uint64_t(size.x) * uint64_t(size.y) <= kMaxPixels) {
            s.width = uint32_t(size.x);
            s.height = uint32_t(size.y);
        }
        if (NodeImpl* imager = InputById(target, kImagerPin)) {
            const float e = imager->getPinFloat(kExposure);
            s.exposure = std::isfinite(e) && e > 0 ? e : 1.0f;
        }
        if (NodeImpl* kernel = InputById(target, kKernelPin)) {
            const int samples = kernel->getPinInt(kMaxSamples);
            s.kernel.maxSamples = uint64_t(std::max(samples, 1));
            if (kernel->nodeType == kInfoKernel) {
                s.kernel.kind = KernelKind::InfoChannel;
                s.kernel.channel = kernel->getPinInt(kChannel);
                const float z = kernel->getPinFloat(kZDepthMax);
                s.kernel.zDepthMax = std::isfinite(z) && z > 0 ? z : 5.0f;
            }
        }
        readCamera(InputById(target, kCameraPin));
        readEnvironment(InputById(target, kEnvironmentPin));
    }

    uint32_t materialOf(NodeImpl* node) { return material(node); }

    uint32_t addMaterial(V3 diffuse) {
        MaterialData m;
        m.diffuse.value = diffuse;
        s.materials.push_back(m);
        return uint32_t(s.materials.size() - 1);
    }

    // A mesh made here rather than read from a node, shown once with the given slot materials.
    void addShape(std::shared_ptr<MeshData> mesh, SlotMaterials slots, const Matrix<float>& m) {
        s.meshes.push_back(std::move(mesh));
        s.slotSets.push_back(std::move(slots));
        addInstance(uint32_t(s.meshes.size() - 1), uint32_t(s.slotSets.size() - 1), m);
    }

    // What the next snapshot may take over.
    MeshCache meshCache() const {
        MeshCache cache;
        for (const auto& mesh : s.meshes)
            if (mesh->nodeId != 0) cache.emplace(mesh->nodeId, mesh);
        return cache;
    }

    void readGeometry(NodeImpl* node, int depth) {
        if (!node || depth > kMaxGroupDepth) return;
        switch (node->nodeType) {
        case Types::GeometryGroup:
            for (uint32_t i = 0; i < node->pins.size(); ++i) readGeometry(Input(node, i), depth + 1);
            break;
        case Types::Placement: {
            uint32_t mesh, slotSet;
            if (!resolveShape(Input(node, 0), mesh, slotSet)) break;
            size_t count;
            if (!ArrayOf<Matrix<float>>(node, Attrs::Transforms, AttrKind::Matrix, count)) break;
            // The node's own list, not a copy: an edit after this gives the node a fresh one.
            InstanceGroup group;
            group.mesh = mesh;
            group.slotSet = slotSet;
            group.transforms.share(BytesOf(node, Attrs::Transforms), count);
            s.groups.push_back(std::move(group));
            break;
        }
        case Types::Mesh:
        case Types::MaterialOverride: {
            uint32_t mesh, slotSet;
            if (resolveShape(node, mesh, slotSet)) addInstance(mesh, slotSet, Matrix<float>::identity());
            break;
        }
        default:
            break;
        }
    }

private:
    void readCamera(NodeImpl* camera) {
        CameraData& c = s.camera;
        if (!camera || (camera->nodeType != Types::ThinLensCamera && camera->nodeType != Types::PanoramicCamera))
            return;
        c.position = Make(camera->getPinFloat3(kPosition));
        c.target = Make(camera->getPinFloat3(kTarget));
        c.up = Make(camera->getPinFloat3(kUp));
        if (camera->nodeType == Types::PanoramicCamera) {
            c.kind = CameraKind::Panoramic;
            c.fovX = std::clamp(camera->getPinFloat(kPanoFovX), 1.0f, 360.0f);
            c.fovY = std::clamp(camera->getPinFloat(kPanoFovY), 1.0f, 180.0f);
            return;
        }
        c.kind = camera->getPinBool(kOrthographic) ? CameraKind::Orthographic : CameraKind::ThinLens;
        c.fovX = std::clamp(camera->getPinFloat(kFov), 1.0f, 179.0f);
        const float width = camera->getPinFloat(kOrthoWidth);
        c.orthoWidth = std::isfinite(width) && width > 0 ? width : 1.0f;
        const float aperture = camera->getPinFloat(kAperture) * 0.01f;
        c.apertureRadius = std::isfinite(aperture) && aperture > 0 ? aperture : 0.0f;
        const float dx = c.target.x - c.position.x, dy = c.target.y - c.position.y, dz = c.target.z - c.position.z;
        const float depth = camera->getPinBool(kAutoFocus) ? std::sqrt(dx * dx + dy * dy + dz * dz)
                                                          : camera->getPinFloat(kFocalDepth);
        c.focalDepth = std::isfinite(depth) && depth > 1e-4f ? depth : 10.0f;
        const float aspect = camera->getPinFloat(kPixelAspect);
        c.pixelAspect = std::isfinite(aspect) && aspect > 0 ? aspect : 1.0f;
    }

    void readEnvironment(NodeImpl* env) {
        EnvironmentData& e = s.environment;
        if (!env) return;
        const float power = env->getPinFloat(kPower);
        e.power = std::isfinite(power) && power >= 0 ? power : 1.0f;
        NodeImpl* texture = InputById(env, kTextureInput);
        if (env->nodeType == Types::Daylight) {
            e.kind = EnvironmentKind::Daylight;
            V3 d = Make(env->getPinFloat3(Pins::SunDirection));
            const float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
            e.sunDirection = std::isfinite(len) && len > 1e-6f ? Make(d.x / len, d.y / len, d.z / len) : Make(0, 1, 0);
            e.skyColour = Make(env->getPinFloat3(kSkyColour));
            e.groundColour = Make(env->getPinFloat3(kGroundColour));
            // A texture under the daylight takes the place of its sky; the sun still shines.
            if (texture) {
                e.sky = channel(texture, Make(1, 1, 1), 0);
                e.customSky = true;
            }
            return;
        }
        e.sky = channel(texture, Make(1, 1, 1), 0);
        e.kind = e.sky.texture == kNoTexture ? EnvironmentKind::Colour : EnvironmentKind::Texture;
        e.colour = e.sky.value;
    }

    // The value or texture behind a texture input; fallback when nothing usable is wired in.
    Channel channel(NodeImpl* input, V3 fallback, int depth) {
        Channel out;
        out.value = fallback;
        if (!input || depth > kMaxTextureDepth) return out;
        Components c;
        const int valueIx = AttrIndex(input, Attrs::Value);
        const bool hasValue = valueIx >= 0 && input->attrs[size_t(valueIx)].components(0, c) &&
                              FamilyOf(input->attrs[size_t(valueIx)].kind()) == ValueFamily::Real;
        switch (input->nodeType) {
        case Types::RgbTexture:
            if (hasValue) out.value = Finite(Make(c.reals[0], c.reals[1], c.reals[2]), fallback);
            return out;
        case Types::FloatTexture:
            if (hasValue) out.value = Finite(Make(c.reals[0], c.reals[0], c.reals[0]), fallback);
            return out;
        case Types::ImageTexture:
        case Types::AlphaImageTexture:
        case Types::GreyscaleImageTexture:
        case kMixTexture:
        case kGammaTexture:
            break;
        default:
            return out;
        }
        auto it = textureIx.find(input->id);
        if (it != textureIx.end()) {
            out.texture = it->second;
            return out;
        }
        // Taken before the inputs are read, as for materials: a texture that reaches itself
        // again finds it, and the renderer's bounded lookup ends there.
        out.texture = uint32_t(s.textures.size());
        s.textures.emplace_back();
        textureIx.emplace(input->id, out.texture);
        TextureData t;
        if (input->nodeType == kMixTexture) {
            t.kind = TextureKind::Mix;
            t.amount = channel(InputById(input, kAmount), Make(0.5f, 0.5f, 0.5f), depth + 1);
            t.first = channel(InputById(input, kFirst), Make(0, 0, 0), depth + 1);
            t.second = channel(InputById(input, kSecond), Make(1, 1, 1), depth + 1);
        } else if (input->nodeType == kGammaTexture) {
            t.kind = TextureKind::Gamma;
            t.gamma = FinitePin(input, kGamma, 1.0f, 0.01f, 100.0f);
            t.first = channel(InputById(input, kTextureInput), fallback, depth + 1);
        } else {
            t.kind = TextureKind::Image;
            t.channel = input->nodeType == Types::AlphaImageTexture       ? ImageChannel::Alpha
                        : input->nodeType == Types::GreyscaleImageTexture ? ImageChannel::Grey
                                                                          : ImageChannel::Colour;
            t.power = FinitePin(input, kTexturePower, 1.0f, 0.0f, 1e6f);
            t.invert = input->getPinBool(kInvert);
            const float gamma = FinitePin(input, kGamma, 2.2f, 0.01f, 100.0f);
            for (int i = 0; i < 256; ++i) t.decode[i] = std::pow(float(i) / 255.0f, gamma);
            TextureTransform(input, t.m);
            const int fileIx = AttrIndex(input, Attrs::Filename);
            const char* path = fileIx >= 0 ? input->attrs[size_t(fileIx)].text(0) : nullptr;
            t.image = image(path ? path : "");
        }
        s.textures[out.texture] = std::move(t);
        return out;
    }

    // One copy per file and snapshot, however many texture nodes name it.
    std::shared_ptr<const ImageData> image(const std::string& path) {
        auto it = images.find(path);
        if (it != images.end()) return it->second;
        std::shared_ptr<const ImageData> loaded = LoadImage(path.c_str());
        if (!loaded && !path.empty()) ReportUnreadableImage(path);
        images.emplace(path, loaded);
        return loaded;
    }

    static V3 Finite(V3 v, V3 fallback) {
        return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) ? v : fallback;
    }

    // Colours are reflectances: a fixed one above 1 would add light.
    static Channel Reflectance(Channel c) {
        for (float* v : {&c.value.x, &c.value.y, &c.value.z}) *v = std::clamp(*v, 0.0f, 1.0f);
        return c;
    }

    uint32_t material(NodeImpl* node) {
        node = LookThroughLinks(node);
        if (!node || !node->desc || !node->desc->isMaterial) return 0;
        auto it = materialIx.find(node->id);
        if (it != materialIx.end()) return it->second;
        // The index is taken before the inputs are read: a mix that reaches itself again
        // finds it and the renderer's bounded walk through mixes ends there.
        const uint32_t ix = uint32_t(s.materials.size());
        s.materials.emplace_back();
        materialIx.emplace(node->id, ix);
        MaterialData m;
        m.nodeId = node->id;
        const V3 grey = Make(0.2176f, 0.2176f, 0.2176f);
        switch (node->nodeType) {
        case kMixMaterial:
            m.kind = MaterialKind::Mix;
            m.amount = channel(InputById(node, kAmount), Make(0, 0, 0), 0);
            m.first = material(InputById(node, kFirst));
            m.second = material(InputById(node, kSecond));
            break;
        case kPortalMaterial:
            m.kind = MaterialKind::Portal;
            s.passThrough = true;
            break;
        case kSpecularMaterial:
            m.kind = MaterialKind::Specular;
            m.transmission = Reflectance(channel(InputById(node, kTransmission), Make(1, 1, 1), 0));
            m.specular = Reflectance(channel(InputById(node, kSpecular), Make(1, 1, 1), 0));
            m.index = FinitePin(node, kRefractionIndex, 1.5f, 1.0f, 8.0f);
            m.fakeShadows = node->getPinBool(kFakeShadows);
            break;
        case kGlossyMaterial:
        case kMetallicMaterial:
            m.kind = node->nodeType == kGlossyMaterial ? MaterialKind::Glossy : MaterialKind::Metallic;
            m.diffuse = Reflectance(channel(InputById(node, kDiffuse), grey, 0));
            // Unwired, a soft sheen rather than a mirror.
            m.roughness = channel(InputById(node, kRoughness), Make(0.1f, 0.1f, 0.1f), 0);
            m.index = FinitePin(node, kRefractionIndex, 1.5f, 1.0f, 8.0f);
            break;
        case kToonMaterial:
            m.kind = MaterialKind::Toon;
            m.diffuse = Reflectance(channel(InputById(node, kDiffuse), grey, 0));
            break;
        default:
            m.diffuse = Reflectance(channel(InputById(node, kDiffuse), grey, 0));
            break;
        }
        if (m.kind != MaterialKind::Mix && m.kind != MaterialKind::Portal) {
            m.opacity = channel(InputById(node, kOpacity), Make(1, 1, 1), 0);
            m.cutout = m.opacity.texture != kNoTexture || m.opacity.value.x < 0.999f;
            if (m.cutout || m.fakeShadows) s.passThrough = true;
        }
        s.materials[ix] = m;
        return ix;
    }

    // The mesh behind a mesh or override node and the materials its slots show.
    bool resolveShape(NodeImpl* node, uint32_t& meshIx, uint32_t& slotSet) {
        if (!node) return false;
        NodeImpl* over = nullptr;
        NodeImpl* meshNode = node;
        if (node->nodeType == Types::MaterialOverride) {
            over = node;
            meshNode = Input(node, 0);
        }
        if (!meshNode || meshNode->nodeType != Types::Mesh) return false;
        if (!mesh(meshNode, meshIx)) return false;
        const uint64_t key = over ? over->id : meshNode->id;
        auto it = slotSetIx.find(key);
        if (it != slotSetIx.end()) {
            slotSet = it->second;
            return true;
        }
        SlotMaterials slots(std::max<uint32_t>(s.meshes[meshIx]->slotCount, 1), 0);
        for (uint32_t i = 0; i < slots.size(); ++i) {
            uint32_t m = over ? material(Input(over, i + 1)) : 0;
            if (m == 0) m = material(Input(meshNode, i));
            slots[i] = m;
        }
        slotSet = uint32_t(s.slotSets.size());
        s.slotSets.push_back(std::move(slots));
        slotSetIx.emplace(key, slotSet);
        return true;
    }

    bool mesh(NodeImpl* node, uint32_t& ix) {
        auto it = meshIx.find(node->id);
        if (it != meshIx.end()) {
            ix = it->second;
            return ix != UINT32_MAX;
        }
        std::vector<uint64_t> stamps;
        for (AttributeId id : {kVertices, kVertexIndices, kVerticesPerPoly, kNormals, kNormalIndices, kUvws,
                               kUvwIndices, kPolyMaterials, AttributeId(Attrs::MaterialNames)})
            stamps.push_back(StampOf(node, id));
        std::shared_ptr<MeshData> data;
        if (last) {
            auto found = last->find(node->id);
            if (found != last->end()) data = found->second.lock();
            if (data && data->stamps != stamps) data.reset();
        }
        if (!data) {
            // Not made with make_shared: the cache's weak references must not keep the arrays.
            data.reset(new MeshData());
            data->stamps = std::move(stamps);
            if (!makeMesh(node, *data)) {
                meshIx.emplace(node->id, UINT32_MAX);
                return false;
            }
        }
        ix = uint32_t(s.meshes.size());
        s.meshes.push_back(std::move(data));
        meshIx.emplace(node->id, ix);
        return true;
    }

    // The node's arrays serve as they are when every polygon is a usable triangle and every
    // vertex finite. Otherwise they are converted here: polygons become fans of triangles,
    // corners that point outside their arrays drop the polygon, and vertices that are not
    // finite move to the origin.
    static bool makeMesh(NodeImpl* node, MeshData& out) {
        size_t nv, ni, npoly, nn, nni, nu, nui, nslot;
        const float_3* v = ArrayOf<float_3>(node, kVertices, AttrKind::Float3, nv);
        const int32_t* vi = ArrayOf<int32_t>(node, kVertexIndices, AttrKind::Int, ni);
        const int32_t* per = ArrayOf<int32_t>(node, kVerticesPerPoly, AttrKind::Int, npoly);
        const float_3* n = ArrayOf<float_3>(node, kNormals, AttrKind::Float3, nn);
        const int32_t* nix = ArrayOf<int32_t>(node, kNormalIndices, AttrKind::Int, nni);
        const float_3* uv = ArrayOf<float_3>(node, kUvws, AttrKind::Float3, nu);
        const int32_t* uix = ArrayOf<int32_t>(node, kUvwIndices, AttrKind::Int, nui);
        const int32_t* slot = ArrayOf<int32_t>(node, kPolyMaterials, AttrKind::Int, nslot);
        static_assert(sizeof(V3) == sizeof(float_3) && sizeof(float_3) == 3 * sizeof(float), "vertex layouts");
        const int ni2 = AttrIndex(node, Attrs::MaterialNames);
        out.nodeId = node->id;
        out.slotCount = ni2 >= 0 ? uint32_t(std::min<size_t>(node->attrs[size_t(ni2)].count(), UINT32_MAX)) : 0;
        if (!v || !vi || nv == 0 || nv >= UINT32_MAX || ni >= UINT32_MAX) return false;
        const bool useNormals = n && nix && nni == ni;
        const bool useUvs = uv && uix && nui == ni;
        bool finite = true;
        for (size_t i = 0; finite && i < nv; ++i)
            finite = std::isfinite(v[i].x) && std::isfinite(v[i].y) && std::isfinite(v[i].z);
        if (finite) {
            out.positions.share(BytesOf(node, kVertices), nv * 3);
        } else {
            std::vector<float> positions;
            positions.reserve(nv * 3 + 3);
            for (size_t i = 0; i < nv; ++i) {
                const bool ok = std::isfinite(v[i].x) && std::isfinite(v[i].y) && std::isfinite(v[i].z);
                positions.push_back(ok ? v[i].x : 0.0f);
                positions.push_back(ok ? v[i].y : 0.0f);
                positions.push_back(ok ? v[i].z : 0.0f);
            }
            OwnPositions(out, std::move(positions));
        }
        if (useNormals) out.normals.share(BytesOf(node, kNormals), nn);
        if (useUvs) out.uvws.share(BytesOf(node, kUvws), nu);
        const size_t polys = per ? npoly : ni / 3;
        auto inRange = [](int32_t x, size_t size) { return x >= 0 && size_t(x) < size; };
        bool asIs = polys <= ni / 3 && (!slot || nslot >= polys);
        for (size_t p = 0; asIs && per && p < polys; ++p) asIs = per[p] == 3;
        for (size_t c = 0; asIs && c < polys * 3; ++c)
            asIs = inRange(vi[c], nv) && (!useNormals || inRange(nix[c], nn)) && (!useUvs || inRange(uix[c], nu));
        if (asIs) {
            out.triangles.share(BytesOf(node, kVertexIndices), polys * 3);
            if (useNormals) out.normalIx.share(BytesOf(node, kNormalIndices), polys * 3);
            if (useUvs) out.uvwIx.share(BytesOf(node, kUvwIndices), polys * 3);
            if (slot) out.slots.share(BytesOf(node, kPolyMaterials), polys);
            return polys > 0;
        }
        std::vector<uint32_t> triangles;
        std::vector<int32_t> slots, normalIx, uvwIx;
        triangles.reserve(ni);
        size_t corner = 0;
        for (size_t p = 0; p < polys; ++p) {
            const size_t k = per ? size_t(std::max(per[p], 0)) : 3;
            if (k > ni - corner) break;
            bool valid = k >= 3;
            for (size_t c = 0; valid && c < k; ++c) {
                valid = inRange(vi[corner + c], nv);
                if (useNormals) valid = valid && inRange(nix[corner + c], nn);
                if (useUvs) valid = valid && inRange(uix[corner + c], nu);
            }
            const int32_t polySlot = slot && p < nslot && slot[p] >= 0 ? slot[p] : 0;
            for (size_t c = 1; valid && c + 1 < k; ++c) {
                for (size_t corners : {size_t(0), c, c + 1}) {
                    triangles.push_back(uint32_t(vi[corner + corners]));
                    if (useNormals) normalIx.push_back(nix[corner + corners]);
                    if (useUvs) uvwIx.push_back(uix[corner + corners]);
                }
                slots.push_back(polySlot);
            }
            corner += k;
        }
        const bool any = !triangles.empty();
        out.triangles.own(std::move(triangles));
        out.slots.own(std::move(slots));
        out.normalIx.own(std::move(normalIx));
        out.uvwIx.own(std::move(uvwIx));
        return any;
    }

    void addInstance(uint32_t mesh, uint32_t slotSet, const Matrix<float>& m) {
        InstanceGroup group;
        group.mesh = mesh;
        group.slotSet = slotSet;
        group.transforms.own({m});
        s.groups.push_back(std::move(group));
    }

    Scene& s;
    const MeshCache* last;
    std::unordered_map<uint64_t, uint32_t> meshIx, slotSetIx, materialIx, textureIx;
    std::unordered_map<std::string, std::shared_ptr<const ImageData>> images;
};

}  // namespace

namespace {

std::atomic<int64_t> gRayStructureBytes{0};
// Inverse transforms kept per group, and per scene (about 50 bytes each).
constexpr size_t kCachedInversesPerGroup = 64, kCachedInverses = 16384;

}  // namespace

// One device of the ray-query library for every snapshot, so that a mesh's scene serves
// the snapshots after the one that built it.
class Device {
public:
    Device() : handle(rtcNewDevice("threads=1")) {
        if (handle) rtcSetDeviceMemoryMonitorFunction(handle, CountBytes, nullptr);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device() {
        if (handle) rtcReleaseDevice(handle);
    }

    // Workers of two frames may build at once; builds on one device are taken one at a time.
    void commit(RTCScene scene) {
        std::lock_guard<std::mutex> lock(mCommits);
        rtcCommitScene(scene);
    }

    const RTCDevice handle;

private:
    static bool CountBytes(void*, ssize_t bytes, bool) {
        gRayStructureBytes.fetch_add(int64_t(bytes), std::memory_order_relaxed);
        return true;
    }

    std::mutex mCommits;
};

int64_t RayStructureBytes() { return gRayStructureBytes.load(std::memory_order_relaxed); }

namespace {

std::shared_ptr<Device> SharedDevice() {
    static std::mutex* mutex = new std::mutex();
    static std::weak_ptr<Device>* last = new std::weak_ptr<Device>();
    std::lock_guard<std::mutex> lock(*mutex);
    std::shared_ptr<Device> device = last->lock();
    if (!device) {
        device = std::make_shared<Device>();
        if (!device->handle) return nullptr;
        *last = device;
    }
    return device;
}

}  // namespace

MeshData::~MeshData() {
    if (mScene) rtcReleaseScene(mScene);
}

RTCScene MeshData::scene(const std::shared_ptr<Device>& device) {
    std::call_once(mOnce, [&]() {
        try {
            RTCGeometry geom = rtcNewGeometry(device->handle, RTC_GEOMETRY_TYPE_TRIANGLE);
            if (!geom) return;
            rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, positions.data(), 0,
                                       3 * sizeof(float), vertexCount());
            rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, triangles.data(), 0,
                                       3 * sizeof(uint32_t), triangleCount());
            rtcCommitGeometry(geom);
            RTCScene built = rtcNewScene(device->handle);
            if (!built) {
                rtcReleaseGeometry(geom);
                return;
            }
            rtcAttachGeometry(built, geom);
            rtcReleaseGeometry(geom);
            device->commit(built);
            if (rtcGetDeviceError(device->handle) != RTC_ERROR_NONE) {
                rtcReleaseScene(built);
                return;
            }
            mDevice = device;
            mScene = built;
        } catch (...) {
            // Out of memory: placements of this mesh show nothing.
        }
    });
    return mScene;
}

Scene::~Scene() {
    if (mTop) rtcReleaseScene(mTop);
}

namespace {

// The inverse of an object-to-world transform; false when it has none.
bool Invert(const float m[3][4], float out[3][4]) {
    const float a = m[0][0], b = m[0][1], c = m[0][2], d = m[1][0], e = m[1][1], f = m[1][2], g = m[2][0],
                h = m[2][1], i = m[2][2];
    const float c00 = e * i - f * h, c01 = f * g - d * i, c02 = d * h - e * g;
    const float det = a * c00 + b * c01 + c * c02;
    if (!std::isfinite(det) || std::fabs(det) < 1e-30f) return false;
    const float r = 1.0f / det;
    const float inv[3][3] = {{c00 * r, (c * h - b * i) * r, (b * f - c * e) * r},
                             {c01 * r, (a * i - c * g) * r, (c * d - a * f) * r},
                             {c02 * r, (b * g - a * h) * r, (a * e - b * d) * r}};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) out[row][col] = inv[row][col];
        out[row][3] = -(inv[row][0] * m[0][3] + inv[row][1] * m[1][3] + inv[row][2] * m[2][3]);
    }
    return true;
}

// The ray in the mesh's own space. The same parameter t names the same point in both spaces,
// so the bounds of the ray and a hit's distance carry over. False for a ray the ray-query
// library must not see (it asserts on huge or non-finite numbers).
bool LocalRayWith(const float inv[][4], RTCRay& ray) {
    const float o[3] = {ray.org_x, ray.org_y, ray.org_z}, d[3] = {ray.dir_x, ray.dir_y, ray.dir_z};
    float lo[3], ld[3];
    for (int r = 0; r < 3; ++r) {
        lo[r] = inv[r][0] * o[0] + inv[r][1] * o[1] + inv[r][2] * o[2] + inv[r][3];
        ld[r] = inv[r][0] * d[0] + inv[r][1] * d[1] + inv[r][2] * d[2];
    }
    constexpr float kLargest = 1e18f;
    for (int r = 0; r < 3; ++r)
        if (!(std::fabs(lo[r]) <= kLargest) || !(std::fabs(ld[r]) <= kLargest)) return false;
    ray.org_x = lo[0], ray.org_y = lo[1], ray.org_z = lo[2];
    ray.dir_x = ld[0], ray.dir_y = ld[1], ray.dir_z = ld[2];
    return true;
}

// The placement's inverse transform, kept or worked out into `scratch`; null when it has none.
const float (*InverseOf(const Scene::Placements& group, unsigned placement, float (&scratch)[3][4]))[4] {
    if (group.inverses) {
        const Scene::Inverse& kept = group.inverses[placement];
        return kept.valid ? kept.m : nullptr;
    }
    return Invert(group.transforms[placement].m, scratch) ? scratch : nullptr;
}

bool LocalRay(const Scene::Placements& group, unsigned placement, RTCRay& ray) {
    float scratch[3][4];
    const float (*inv)[4] = InverseOf(group, placement, scratch);
    return inv && LocalRayWith(inv, ray);
}

// One placement per primitive of the top level. Runs of four per primitive took a sixth less
// memory for 100,000 placements, but a ray that reaches a run then looks into each of its
// meshes, which made rays cost nearly twice as much.
void PlacementBounds(const RTCBoundsFunctionArguments* args) {
    const auto& group = *static_cast<const Scene::Placements*>(args->geometryUserPtr);
    const Matrix<float>& inst = group.transforms[args->primID];
    RTCBounds& b = *args->bounds_o;
    // No ray can meet a placement whose transform has no inverse (see LocalRay), so it gets
    // an empty box and stays out of the tree.
    float scratch[3][4];
    if (!InverseOf(group, args->primID, scratch)) {
        b.lower_x = b.lower_y = b.lower_z = INFINITY;
        b.upper_x = b.upper_y = b.upper_z = -INFINITY;
        return;
    }
    float lower[3] = {INFINITY, INFINITY, INFINITY}, upper[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (int corner = 0; corner < 8; ++corner) {
        const float p[3] = {corner & 1 ? group.upper[0] : group.lower[0], corner & 2 ? group.upper[1] : group.lower[1],
                            corner & 4 ? group.upper[2] : group.lower[2]};
        for (int r = 0; r < 3; ++r) {
            const float w = inst.m[r][0] * p[0] + inst.m[r][1] * p[1] + inst.m[r][2] * p[2] + inst.m[r][3];
            lower[r] = std::min(lower[r], w);
            upper[r] = std::max(upper[r], w);
        }
    }
    // A transform that throws the mesh beyond float range gives an empty box: the tree leaves
    // such a placement out.
    for (int r = 0; r < 3; ++r)
        if (!(std::fabs(lower[r]) <= 1e18f) || !(std::fabs(upper[r]) <= 1e18f)) {
            std::fill(lower, lower + 3, INFINITY);
            std::fill(upper, upper + 3, -INFINITY);
            break;
        }
    // The top level's builder asserts (and so ends the process) when the boxes of a set of
    // groups it splits all lie in one point, as those of a mesh whose vertices coincide do.
    // A box is only a bound, so each is widened to a sliver in every direction it lacks.
    for (int r = 0; r < 3; ++r) {
        if (!(lower[r] <= upper[r])) continue;
        const float sliver = 1e-6f * std::max(1.0f, std::max(std::fabs(lower[r]), std::fabs(upper[r])));
        if (upper[r] - lower[r] < sliver) {
            lower[r] -= sliver;
            upper[r] += sliver;
        }
    }
    b.lower_x = lower[0], b.lower_y = lower[1], b.lower_z = lower[2];
    b.upper_x = upper[0], b.upper_y = upper[1], b.upper_z = upper[2];
}

// Whether the ray, in the mesh's space, passes through the mesh's box within its bounds;
// most placements of a run are passed by, and this is far cheaper than asking the library.
bool MeetsBox(const Scene::Placements& group, const RTCRay& ray) {
    float t0 = ray.tnear, t1 = ray.tfar;
    const float o[3] = {ray.org_x, ray.org_y, ray.org_z}, d[3] = {ray.dir_x, ray.dir_y, ray.dir_z};
    for (int a = 0; a < 3; ++a) {
        const float inv = 1.0f / d[a];
        float n = (group.lower[a] - o[a]) * inv, f = (group.upper[a] - o[a]) * inv;
        if (n > f) std::swap(n, f);
        // A zero direction component gives NaN on a slab edge: such a ray is kept.
        if (n > t0) t0 = n;
        if (f < t1) t1 = f;
    }
    return !(t0 > t1 * 1.0000004f + 1e-30f);
}

// Only single rays are traced, so the callbacks see one ray at a time.
void PlacementIntersect(const RTCIntersectFunctionNArguments* args) {
    if (args->N != 1 || !args->valid[0]) return;
    const auto& group = *static_cast<const Scene::Placements*>(args->geometryUserPtr);
    RTCRayHit& world = *reinterpret_cast<RTCRayHit*>(args->rayhit);
    RTCRayHit local = world;
    if (!LocalRay(group, args->primID, local.ray) || !MeetsBox(group, local.ray)) return;
    local.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    local.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    rtcIntersect1(group.mesh, &context, &local);
    if (local.hit.geomID == RTC_INVALID_GEOMETRY_ID || !(local.ray.tfar < world.ray.tfar)) return;
    world.ray.tfar = local.ray.tfar;
    world.hit = local.hit;
    world.hit.geomID = args->geomID;
    world.hit.instID[0] = args->primID;
}

void PlacementOccluded(const RTCOccludedFunctionNArguments* args) {
    if (args->N != 1 || !args->valid[0]) return;
    const auto& group = *static_cast<const Scene::Placements*>(args->geometryUserPtr);
    RTCRay& world = *reinterpret_cast<RTCRay*>(args->ray);
    RTCRay local = world;
    if (!LocalRay(group, args->primID, local) || !MeetsBox(group, local)) return;
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    rtcOccluded1(group.mesh, &context, &local);
    if (local.tfar < 0) world.tfar = -INFINITY;
}

}  // namespace

bool Scene::prepare() {
    std::call_once(mOnce, [this]() {
        try {
            build();
        } catch (...) {
            // Out of memory on a worker: the frame shows the environment only.
            mReady = false;
        }
    });
    return mReady;
}

void Scene::build() {
    mDevice = SharedDevice();
    if (!mDevice) return;
    mTop = rtcNewScene(mDevice->handle);
    if (!mTop) return;
    // Placements can number in the hundreds of thousands; their tree is kept small. The
    // library's compact flag is left off on purpose: with it, 100,000 placements took 29
    // bytes each instead of 22 (rays cost some 10% less).
    rtcSetSceneBuildQuality(mTop, RTC_BUILD_QUALITY_LOW);
    // Sized once: the geometries keep pointers to their entries.
    mPlacements.reserve(groups.size());
    // A ray that reaches a placement needs its inverse transform. Where placements are few
    // (a model of a handful of components), working it out for every ray cost more than the
    // mesh's own query; where they are many, keeping them would cost as much memory again
    // as the transforms, so they are worked out per ray.
    size_t cached = 0;
    for (const InstanceGroup& group : groups)
        if (group.transforms.size() <= kCachedInversesPerGroup) cached += group.transforms.size();
    mInverses.reserve(std::min(cached, kCachedInverses));
    for (size_t ix = 0; ix < groups.size(); ++ix) {
        const InstanceGroup& group = groups[ix];
        if (group.transforms.empty()) continue;
        RTCScene meshScene = meshes[group.mesh]->scene(mDevice);
        if (!meshScene) continue;
        RTCBounds bounds;
        rtcGetSceneBounds(meshScene, &bounds);
        const bool usable = std::isfinite(bounds.lower_x) && std::isfinite(bounds.lower_y) &&
                            std::isfinite(bounds.lower_z) && std::isfinite(bounds.upper_x) &&
                            std::isfinite(bounds.upper_y) && std::isfinite(bounds.upper_z) &&
                            bounds.lower_x <= bounds.upper_x && bounds.lower_y <= bounds.upper_y &&
                            bounds.lower_z <= bounds.upper_z;
        if (!usable) continue;
        Placements placements{meshScene,
                              group.transforms.data(),
                              nullptr,
                              {bounds.lower_x, bounds.lower_y, bounds.lower_z},
                              {bounds.upper_x, bounds.upper_y, bounds.upper_z}};
        const size_t count = group.transforms.size();
        if (count <= kCachedInversesPerGroup && mInverses.size() + count <= mInverses.capacity()) {
            placements.inverses = mInverses.data() + mInverses.size();
            for (size_t t = 0; t < count; ++t) {
                mInverses.emplace_back();
                mInverses.back().valid = Invert(group.transforms[t].m, mInverses.back().m);
            }
        }
        mPlacements.push_back(placements);
        RTCGeometry geom = rtcNewGeometry(mDevice->handle, RTC_GEOMETRY_TYPE_USER);
        if (!geom) return;
        rtcSetGeometryUserPrimitiveCount(geom, unsigned(group.transforms.size()));
        rtcSetGeometryUserData(geom, &mPlacements.back());
        rtcSetGeometryBoundsFunction(geom, PlacementBounds, nullptr);
        rtcSetGeometryIntersectFunction(geom, PlacementIntersect);
        rtcSetGeometryOccludedFunction(geom, PlacementOccluded);
        rtcCommitGeometry(geom);
        // The hit's geometry id names the group.
        rtcAttachGeometryByID(mTop, geom, unsigned(ix));
        rtcReleaseGeometry(geom);
    }
    mDevice->commit(mTop);
    mReady = rtcGetDeviceError(mDevice->handle) == RTC_ERROR_NONE;
}

std::shared_ptr<Scene> TakeSnapshot(NodeImpl* target) {
    // The last snapshot's meshes; only ever touched under the engine's lock.
    static MeshCache* lastMeshes = new MeshCache();
    auto scene = std::make_shared<Scene>();
    Builder builder(*scene, lastMeshes);
    if (target) {
        builder.readSettings(target);
        builder.readGeometry(InputById(target, kGeometryPin), 0);
    } else {
        scene->width = 1024;
        scene->height = 768;
    }
    if (scene->width == 0 || scene->height == 0) return nullptr;
    *lastMeshes = builder.meshCache();
    return scene;
}

namespace {

std::shared_ptr<MeshData> Sphere(float radius, uint32_t rings, uint32_t segments) {
    auto mesh = std::make_shared<MeshData>();
    std::vector<float> positions;
    std::vector<V3> normals, uvws;
    std::vector<uint32_t> triangles;
    for (uint32_t r = 0; r <= rings; ++r) {
        const float theta = 3.14159265f * float(r) / float(rings);
        for (uint32_t g = 0; g <= segments; ++g) {
            const float phi = 2.0f * 3.14159265f * float(g) / float(segments);
            const V3 n{std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi)};
            positions.insert(positions.end(), {n.x * radius, n.y * radius, n.z * radius});
            normals.push_back(n);
            uvws.push_back({float(g) / float(segments), 1.0f - float(r) / float(rings), 0});
        }
    }
    for (uint32_t r = 0; r < rings; ++r)
        for (uint32_t g = 0; g < segments; ++g) {
            const uint32_t a = r * (segments + 1) + g, b = a + segments + 1;
            for (uint32_t i : {a, b, a + 1, a + 1, b, b + 1}) triangles.push_back(i);
        }
    OwnPositions(*mesh, std::move(positions));
    mesh->normals.own(std::move(normals));
    mesh->uvws.own(std::move(uvws));
    mesh->normalIx.own(std::vector<int32_t>(triangles.begin(), triangles.end()));
    mesh->uvwIx.own(std::vector<int32_t>(triangles.begin(), triangles.end()));
    mesh->triangles.own(std::move(triangles));
    mesh->slotCount = 1;
    return mesh;
}

// Tiles of two alternating slots in the plane y = 0.
std::shared_ptr<MeshData> Checker(float half, uint32_t tiles) {
    auto mesh = std::make_shared<MeshData>();
    std::vector<float> positions;
    std::vector<uint32_t> triangles;
    std::vector<int32_t> slots;
    const float step = 2.0f * half / float(tiles);
    for (uint32_t i = 0; i < tiles; ++i)
        for (uint32_t j = 0; j < tiles; ++j) {
            const uint32_t base = uint32_t(positions.size() / 3);
            const float x = -half + step * float(i), z = -half + step * float(j);
            positions.insert(positions.end(), {x, 0, z, x + step, 0, z, x + step, 0, z + step, x, 0, z + step});
            for (uint32_t k : {0u, 2u, 1u, 0u, 3u, 2u}) triangles.push_back(base + k);
            const int32_t slot = int32_t((i + j) % 2);
            slots.insert(slots.end(), {slot, slot});
        }
    OwnPositions(*mesh, std::move(positions));
    mesh->triangles.own(std::move(triangles));
    mesh->slots.own(std::move(slots));
    mesh->slotCount = 2;
    return mesh;
}

}  // namespace

std::shared_ptr<Scene> PreviewScene(NodeImpl* material, uint32_t width, uint32_t height, float distance, bool flat) {
    if (!material || !material->desc || !material->desc->isMaterial || width == 0 || height == 0 ||
        uint64_t(width) * height > kMaxPixels)
        return nullptr;
    auto scene = std::make_shared<Scene>();
    Builder builder(*scene);
    scene->width = width;
    scene->height = height;
    scene->kernel.maxDepth = 3;
    const uint32_t shown = builder.materialOf(material);
    if (shown == 0) return nullptr;
    EnvironmentData& env = scene->environment;
    env.sunDirection = Make(-0.4082483f, 0.8164966f, 0.4082483f);     // upper left, behind the viewer
    // Neutral light, so that the preview shows the material's own colour.
    env.skyColour = Make(0.5f, 0.5f, 0.5f);
    env.groundColour = Make(0.3f, 0.3f, 0.3f);
    env.power = 0.8f;
    CameraData& c = scene->camera;
    if (flat) {
        c.kind = CameraKind::Orthographic;
        c.position = Make(0, 0, 5);
        c.orthoWidth = 2.0f;
        auto square = std::make_shared<MeshData>();
        OwnPositions(*square, {-10, -10, 0, 10, -10, 0, 10, 10, 0, -10, 10, 0});
        square->triangles.own({0, 1, 2, 0, 2, 3});
        // The image once across the visible middle of the square.
        square->uvws.own({{-4.5f, -4.5f, 0}, {5.5f, -4.5f, 0}, {5.5f, 5.5f, 0}, {-4.5f, 5.5f, 0}});
        square->uvwIx.own({0, 1, 2, 0, 2, 3});
        square->slotCount = 1;
        builder.addShape(square, {shown}, Matrix<float>::identity());
        env.sunDirection = Make(0, 0, 1);
        return scene;
    }
    const float d = std::isfinite(distance) && distance > 0 ? std::clamp(distance, 0.25f, 20.0f) : 1.0f;
    c.position = Make(0, 1.0f + 2.6f * d, 3.8f * d);
    c.target = Make(0, 1.0f, 0);
    c.fovX = 40.0f;
    Matrix<float> lift = Matrix<float>::identity();
    lift.m[1][3] = 1.0f;
    builder.addShape(Sphere(1.0f, 48, 96), {shown}, lift);
    const uint32_t light = builder.addMaterial(Make(0.6f, 0.6f, 0.6f));
    const uint32_t dark = builder.addMaterial(Make(0.2f, 0.2f, 0.2f));
    builder.addShape(Checker(40.0f, 64), {light, dark}, Matrix<float>::identity());
    return scene;
}

V3 MaterialIdColour(uint64_t id) {
    if (id == 0) return {0, 0, 0};
    uint64_t h = id * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    // Channels from 1/8 to 1 in steps of 1/8, so 8-bit readings tell them apart.
    return {float((h & 7) + 1) / 8.0f, float(((h >> 3) & 7) + 1) / 8.0f, float(((h >> 6) & 7) + 1) / 8.0f};
}

}  // namespace Render
}  // namespace Engine
}  // namespace Zarnik
