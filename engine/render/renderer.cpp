// Progressive rendering on the engine's worker threads, and the light transport it runs.
#include "render/renderer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace Zarnik {
namespace Engine {
namespace Render {
namespace {

constexpr float kPi = 3.14159265f;

// ---- small vector maths ----------------------------------------------------------------

V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(V3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
V3 Mul(V3 a, V3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
float Dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 Cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
V3 Normalize(V3 a, V3 fallback) {
    const float len = std::sqrt(Dot(a, a));
    return std::isfinite(len) && len > 1e-12f ? a * (1.0f / len) : fallback;
}

V3 Apply(const float m[3][4], V3 p) {
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3],
            m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3],
            m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]};
}

// Counter-based random numbers: the same pixel, sample and dimension give the same value,
// whichever worker renders them.
struct Rng {
    uint64_t state;
    Rng(uint32_t pixel, uint64_t sample) : state((uint64_t(pixel) << 32) ^ (sample * 0x9E3779B97F4A7C15ull)) {}
    float next() {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return float(z >> 40) * (1.0f / 16777216.0f);
    }
};

// ---- camera --------------------------------------------------------------------------

struct Basis {
    V3 forward, right, up;
};

Basis CameraBasis(const CameraData& c) {
    Basis b;
    b.forward = Normalize(c.target - c.position, {0, 0, -1});
    b.right = Normalize(Cross(b.forward, c.up), {1, 0, 0});
    if (std::fabs(Dot(b.right, b.forward)) > 0.5f) b.right = Normalize(Cross(b.forward, {0, 0, 1}), {1, 0, 0});
    b.up = Cross(b.right, b.forward);
    return b;
}

// A camera ray through the image point (sx, sy) in pixels from the top left; false when
// the point lies outside what the camera sees.
bool CameraRay(const Scene& s, const Basis& b, float sx, float sy, float lensU, float lensV, V3& origin, V3& dir) {
    const CameraData& c = s.camera;
    const float x = 2.0f * sx / float(s.width) - 1.0f;
    const float y = 1.0f - 2.0f * sy / float(s.height);
    const float aspect = float(s.height) / (float(s.width) * c.pixelAspect);
    switch (c.kind) {
    case CameraKind::Orthographic: {
        const float half = c.orthoWidth * 0.5f;
        origin = c.position + b.right * (x * half) + b.up * (y * half * aspect);
        dir = b.forward;
        return true;
    }
    case CameraKind::Panoramic: {
        const float lon = x * c.fovX * 0.5f * kPi / 180.0f;
        const float lat = y * c.fovY * 0.5f * kPi / 180.0f;
        origin = c.position;
        dir = (b.right * std::sin(lon) + b.forward * std::cos(lon)) * std::cos(lat) + b.up * std::sin(lat);
        return true;
    }
    case CameraKind::ThinLens:
        break;
    }
    const float tx = std::tan(c.fovX * 0.5f * kPi / 180.0f);
    dir = Normalize(b.forward + b.right * (x * tx) + b.up * (y * tx * aspect), b.forward);
    origin = c.position;
    if (c.apertureRadius > 0) {
        const float r = c.apertureRadius * std::sqrt(lensU), phi = 2.0f * kPi * lensV;
        const V3 focus = origin + dir * (c.focalDepth / Dot(dir, b.forward));
        origin = origin + b.right * (r * std::cos(phi)) + b.up * (r * std::sin(phi));
        dir = Normalize(focus - origin, dir);
    }
    return true;
}

float Epsilon(V3 p) { return 1e-4f * (1.0f + std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)})); }

// ---- textures ------------------------------------------------------------------------

constexpr int kMaxLookupDepth = 16;
const V3 kMissingImage{1, 0, 1};

float Mean(V3 v) { return (v.x + v.y + v.z) * (1.0f / 3.0f); }
V3 Clamp01(V3 v) {
    return {std::clamp(v.x, 0.0f, 1.0f), std::clamp(v.y, 0.0f, 1.0f), std::clamp(v.z, 0.0f, 1.0f)};
}

// Bilinear and wrapping; texture coordinates have v up, image rows run top to bottom.
V3 ImageLookup(const TextureData& t, V3 uvw) {
    if (!t.image) return t.channel == ImageChannel::Alpha ? V3{1, 1, 1} : kMissingImage;
    const ImageData& im = *t.image;
    const V3 p = Apply(t.m, uvw);
    float u = std::isfinite(p.x) ? p.x - std::floor(p.x) : 0.0f;
    float v = std::isfinite(p.y) ? p.y - std::floor(p.y) : 0.0f;
    if (!(u >= 0 && u < 1)) u = 0;
    if (!(v >= 0 && v < 1)) v = 0;
    const float x = u * float(im.width) - 0.5f, y = (1.0f - v) * float(im.height) - 0.5f;
    const float fx0 = std::floor(x), fy0 = std::floor(y);
    const float fx = x - fx0, fy = y - fy0;
    auto wrap = [](float i, uint32_t n) {
        const int64_t k = int64_t(i) % int64_t(n);
        return uint32_t(k < 0 ? k + n : k);
    };
    const uint32_t x0 = wrap(fx0, im.width), x1 = wrap(fx0 + 1, im.width);
    const uint32_t y0 = wrap(fy0, im.height), y1 = wrap(fy0 + 1, im.height);
    auto texel = [&](uint32_t tx, uint32_t ty) -> V3 {
        const uint8_t* c = im.texel(tx, ty);
        switch (t.channel) {
        case ImageChannel::Alpha: {
            const float a = float(c[3]) * (1.0f / 255.0f);
            return {a, a, a};
        }
        case ImageChannel::Grey: {
            const float g = 0.2126f * t.decode[c[0]] + 0.7152f * t.decode[c[1]] + 0.0722f * t.decode[c[2]];
            return {g, g, g};
        }
        case ImageChannel::Colour:
            break;
        }
        return {t.decode[c[0]], t.decode[c[1]], t.decode[c[2]]};
    };
    V3 value = (texel(x0, y0) * (1 - fx) + texel(x1, y0) * fx) * (1 - fy) +
               (texel(x0, y1) * (1 - fx) + texel(x1, y1) * fx) * fy;
    if (t.invert) value = V3{1, 1, 1} - value;
    return value * t.power;
}

V3 Lookup(const Scene& s, const Channel& c, V3 uvw, int depth = 0) {
    if (c.texture == kNoTexture || c.texture >= s.textures.size() || depth > kMaxLookupDepth) return c.value;
    const TextureData& t = s.textures[c.texture];
    switch (t.kind) {
    case TextureKind::Mix: {
        const float a = std::clamp(Mean(Lookup(s, t.amount, uvw, depth + 1)), 0.0f, 1.0f);
        return Lookup(s, t.first, uvw, depth + 1) * (1 - a) + Lookup(s, t.second, uvw, depth + 1) * a;
    }
    case TextureKind::Gamma: {
        const V3 v = Lookup(s, t.first, uvw, depth + 1);
        return {std::pow(std::max(v.x, 0.0f), t.gamma), std::pow(std::max(v.y, 0.0f), t.gamma),
                std::pow(std::max(v.z, 0.0f), t.gamma)};
    }
    case TextureKind::Image:
        break;
    }
    return ImageLookup(t, uvw);
}

// ---- scene queries -------------------------------------------------------------------

struct Hit {
    float t;
    V3 position, normal;     // world space; the normal faces the ray
    V3 shading;              // interpolated normal where the mesh has them, on the ray's side
    V3 uvw;                  // texture coordinates, zero without them
    bool front;              // the ray meets the side the triangle's winding faces
    uint32_t material;       // the slot's material
    uint32_t surface;        // the material shown at this hit, mixes picked
};

// Embree asserts (and aborts the host) on a ray with huge or non-finite numbers, which a
// camera or transform from the host can produce; such a ray sees nothing.
bool RayUsable(V3 origin, V3 dir, float tnear) {
    constexpr float kLargest = 1e18f;
    for (float v : {origin.x, origin.y, origin.z, dir.x, dir.y, dir.z}) {
        if (!(std::fabs(v) <= kLargest)) return false;
    }
    return tnear >= 0.0f && tnear <= kLargest;
}

// A ray from origin along dir, unbounded, with no hit yet.
RTCRayHit RayToTrace(V3 origin, V3 dir, float tnear) {
    RTCRayHit rh;
    rh.ray.org_x = origin.x, rh.ray.org_y = origin.y, rh.ray.org_z = origin.z;
    rh.ray.dir_x = dir.x, rh.ray.dir_y = dir.y, rh.ray.dir_z = dir.z;
    rh.ray.tnear = tnear;
    rh.ray.tfar = INFINITY;
    rh.ray.mask = 0xFFFFFFFFu;
    rh.ray.time = 0;
    rh.ray.flags = 0;
    rh.ray.id = 0;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    return rh;
}

// A normal from object to world space: the transform's cofactors, which are its inverse
// transpose up to a factor that the normalisation takes out.
V3 NormalToWorld(const float m[3][4], V3 n) {
    const V3 c0{m[0][0], m[1][0], m[2][0]}, c1{m[0][1], m[1][1], m[2][1]}, c2{m[0][2], m[1][2], m[2][2]};
    return Cross(c1, c2) * n.x + Cross(c2, c0) * n.y + Cross(c0, c1) * n.z;
}

bool FirstHit(const Scene& s, V3 origin, V3 dir, float tnear, Hit& hit) {
    if (!s.top() || !RayUsable(origin, dir, tnear)) return false;
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRayHit rh = RayToTrace(origin, dir, tnear);
    rtcIntersect1(s.top(), &context, &rh);
    if (rh.hit.geomID >= s.groups.size()) return false;
    const InstanceGroup& group = s.groups[rh.hit.geomID];
    if (rh.hit.instID[0] >= group.transforms.size()) return false;
    const Matrix<float>& inst = group.transforms[rh.hit.instID[0]];
    const MeshData& mesh = *s.meshes[group.mesh];
    const uint32_t prim = rh.hit.primID;
    if (prim >= mesh.triangleCount()) return false;
    const uint32_t* tri = &mesh.triangles[size_t(prim) * 3];
    auto vertex = [&](uint32_t i) {
        const float* p = &mesh.positions[size_t(i) * 3];
        return Apply(inst.m, V3{p[0], p[1], p[2]});
    };
    const V3 a = vertex(tri[0]), bb = vertex(tri[1]), cc = vertex(tri[2]);
    const float bu = rh.hit.u, bv = rh.hit.v, bw = 1.0f - bu - bv;
    hit.t = rh.ray.tfar;
    hit.position = origin + dir * hit.t;
    hit.normal = Normalize(Cross(bb - a, cc - a), {0, 1, 0});
    hit.front = Dot(hit.normal, dir) <= 0;
    if (!hit.front) hit.normal = hit.normal * -1.0f;
    hit.shading = hit.normal;
    if (!mesh.normalIx.empty()) {
        const int32_t* ni = &mesh.normalIx[size_t(prim) * 3];
        const V3 n = mesh.normals[size_t(ni[0])] * bw + mesh.normals[size_t(ni[1])] * bu + mesh.normals[size_t(ni[2])] * bv;
        V3 w = Normalize(NormalToWorld(inst.m, n), hit.normal);
        if (Dot(w, hit.normal) < 0) w = w * -1.0f;
        hit.shading = w;
    }
    hit.uvw = {0, 0, 0};
    if (!mesh.uvwIx.empty()) {
        const int32_t* ui = &mesh.uvwIx[size_t(prim) * 3];
        hit.uvw = mesh.uvws[size_t(ui[0])] * bw + mesh.uvws[size_t(ui[1])] * bu + mesh.uvws[size_t(ui[2])] * bv;
    }
    const SlotMaterials& slots = s.slotSets[group.slotSet];
    const uint32_t slot = mesh.slotOf(prim);
    hit.material = slots.empty() ? 0 : slots[std::min<size_t>(size_t(slot), slots.size() - 1)];
    hit.surface = hit.material;
    return true;
}

// Random numbers pick among a mix's inputs and decide cut-outs; without them (the info
// channels) the choice is fixed: the larger share wins.
float Chance(Rng* rng) { return rng ? rng->next() : 0.5f; }

uint32_t PickSurface(const Scene& s, uint32_t material, V3 uvw, Rng* rng) {
    for (int hops = 0; hops < kMaxLookupDepth; ++hops) {
        const MaterialData& m = s.materials[material];
        if (m.kind != MaterialKind::Mix) return material;
        const float amount = Mean(Lookup(s, m.amount, uvw));
        material = Chance(rng) < amount ? m.second : m.first;
    }
    return 0;
}

bool PassesThrough(const Scene& s, const Hit& hit, Rng* rng) {
    const MaterialData& m = s.materials[hit.surface];
    if (m.kind == MaterialKind::Portal) return true;
    return m.cutout && Chance(rng) >= Mean(Lookup(s, m.opacity, hit.uvw));
}

constexpr int kMaxPasses = 64;

bool Intersect(const Scene& s, V3 origin, V3 dir, float tnear, Hit& hit, Rng* rng) {
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        if (!FirstHit(s, origin, dir, tnear, hit)) return false;
        hit.surface = PickSurface(s, hit.material, hit.uvw, rng);
        if (!s.passThrough || !PassesThrough(s, hit, rng)) return true;
        tnear = hit.t + Epsilon(hit.position);
    }
    return false;
}

bool Occluded(const Scene& s, V3 origin, V3 dir, float tnear) {
    if (!s.top() || !RayUsable(origin, dir, tnear)) return false;
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRay ray = RayToTrace(origin, dir, tnear).ray;
    rtcOccluded1(s.top(), &context, &ray);
    return ray.tfar < 0;
}

// The share of light that comes through along a shadow ray: portals and cut-outs let it
// pass, glass with fake shadows tints it.
V3 Transmittance(const Scene& s, V3 origin, V3 dir, float tnear, Rng& rng) {
    if (!s.passThrough) return Occluded(s, origin, dir, tnear) ? V3{0, 0, 0} : V3{1, 1, 1};
    V3 through{1, 1, 1};
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        Hit hit;
        if (!FirstHit(s, origin, dir, tnear, hit)) return through;
        hit.surface = PickSurface(s, hit.material, hit.uvw, &rng);
        if (!PassesThrough(s, hit, &rng)) {
            const MaterialData& m = s.materials[hit.surface];
            if (m.kind != MaterialKind::Specular || !m.fakeShadows) return {0, 0, 0};
            through = Mul(through, Clamp01(Lookup(s, m.transmission, hit.uvw)));
        }
        tnear = hit.t + Epsilon(hit.position);
    }
    return {0, 0, 0};
}

// Latitude and longitude of a direction as texture coordinates: looking down -z sees the
// middle of the image, straight up its top row.
V3 LatLong(V3 dir) {
    return {0.5f + std::atan2(dir.x, -dir.z) * (0.5f / kPi), 0.5f + std::asin(std::clamp(dir.y, -1.0f, 1.0f)) / kPi, 0};
}

// Light that arrives along dir from the environment (the sun's disc is lit separately).
V3 EnvironmentRadiance(const Scene& s, V3 dir) {
    const EnvironmentData& e = s.environment;
    if (e.kind == EnvironmentKind::Colour) return e.colour * e.power;
    if (e.kind == EnvironmentKind::Texture || e.customSky) return Lookup(s, e.sky, LatLong(dir)) * e.power;
    // Darker overhead, brighter towards the horizon; the sky fades out as the sun sets.
    const float day = std::clamp(e.sunDirection.y * 4.0f + 0.2f, 0.02f, 1.0f);
    if (dir.y < 0) return e.groundColour * (0.25f * e.power * day);
    const float t = std::clamp(dir.y, 0.0f, 1.0f);
    const float grey = (e.skyColour.x + e.skyColour.y + e.skyColour.z) / 3.0f;
    const V3 horizon = e.skyColour * 0.6f + V3{grey, grey, grey} * 0.4f;
    return (horizon * (1.0f - t) + e.skyColour * t) * (0.25f * e.power * day);
}

// ---- surfaces --------------------------------------------------------------------------

void TangentFrame(V3 n, V3& t, V3& bt) {
    t = Normalize(std::fabs(n.x) > 0.5f ? Cross(n, {0, 1, 0}) : Cross(n, {1, 0, 0}), {1, 0, 0});
    bt = Cross(n, t);
}

V3 CosineSample(V3 n, float u, float v) {
    const float r = std::sqrt(u), phi = 2.0f * kPi * v;
    V3 t, bt;
    TangentFrame(n, t, bt);
    return Normalize(t * (r * std::cos(phi)) + bt * (r * std::sin(phi)) + n * std::sqrt(std::max(0.0f, 1.0f - u)), n);
}

// Reflectance of a smooth dielectric boundary; eta is the index on the ray's side over the
// index beyond. 1 on total internal reflection.
float FresnelDielectric(float cosI, float eta) {
    const float sin2T = eta * eta * (1.0f - cosI * cosI);
    if (sin2T >= 1.0f) return 1.0f;
    const float cosT = std::sqrt(1.0f - sin2T);
    const float rs = (eta * cosI - cosT) / (eta * cosI + cosT);
    const float rp = (cosI - eta * cosT) / (cosI + eta * cosT);
    return 0.5f * (rs * rs + rp * rp);
}

V3 Schlick(V3 f0, float cosH) {
    const float k = std::pow(1.0f - std::clamp(cosH, 0.0f, 1.0f), 5.0f);
    return f0 + (V3{1, 1, 1} - f0) * k;
}

// Below this width a microfacet lobe is a mirror.
constexpr float kMirrorAlpha = 1e-3f;

float GgxAlpha(const Scene& s, const MaterialData& m, V3 uvw) {
    const float r = std::clamp(Mean(Lookup(s, m.roughness, uvw)), 0.0f, 1.0f);
    return r * r;
}

float SmithG1(float cosV, float a2) { return 2.0f * cosV / (cosV + std::sqrt(a2 + (1.0f - a2) * cosV * cosV)); }

// Reflection off a GGX lobe, sampled by its microfacet distribution: the new direction and
// the path's weight without the Fresnel term. False when it leaves below the surface.
bool GgxBounce(V3 n, V3 ng, V3 wo, float alpha, Rng& rng, V3& wi, float& weight, float& cosHo) {
    const float cosO = std::max(Dot(n, wo), 1e-4f);
    const float u1 = rng.next(), u2 = rng.next();
    if (alpha < kMirrorAlpha) {
        wi = n * (2.0f * cosO) - wo;
        weight = 1.0f;
        cosHo = cosO;
        return Dot(wi, ng) > 0;
    }
    const float a2 = alpha * alpha;
    const float tan2 = a2 * u1 / std::max(1.0f - u1, 1e-6f);
    const float cosT = 1.0f / std::sqrt(1.0f + tan2), sinT = std::sqrt(std::max(0.0f, 1.0f - cosT * cosT));
    const float phi = 2.0f * kPi * u2;
    V3 t, bt;
    TangentFrame(n, t, bt);
    const V3 h = Normalize(t * (sinT * std::cos(phi)) + bt * (sinT * std::sin(phi)) + n * cosT, n);
    cosHo = Dot(wo, h);
    if (cosHo <= 0) return false;
    wi = h * (2.0f * cosHo) - wo;
    const float cosI = Dot(n, wi);
    if (cosI <= 0 || Dot(wi, ng) <= 0) return false;
    weight = SmithG1(cosO, a2) * SmithG1(cosI, a2) * cosHo / (cosO * std::max(Dot(n, h), 1e-6f));
    return std::isfinite(weight);
}

// The sun through a GGX lobe: pi times the lobe's value times the cosine, without the Fresnel
// term (the sun's colour is what a white diffuse plane facing it shows).
float GgxSun(V3 n, V3 wo, V3 wi, float alpha, float& cosHo) {
    if (alpha < kMirrorAlpha) return 0.0f;
    const V3 h = Normalize(wo + wi, n);
    const float cosO = std::max(Dot(n, wo), 1e-4f), cosI = Dot(n, wi), cosH = Dot(n, h);
    cosHo = Dot(wo, h);
    if (cosI <= 0 || cosH <= 0 || cosHo <= 0) return 0.0f;
    const float a2 = alpha * alpha;
    const float d = cosH * cosH * (a2 - 1.0f) + 1.0f;
    const float D = a2 / (kPi * d * d);
    return kPi * D * SmithG1(cosO, a2) * SmithG1(cosI, a2) / (4.0f * cosO);
}

V3 Trace(const Scene& s, V3 origin, V3 dir, Rng& rng) {
    V3 radiance{0, 0, 0}, weight{1, 1, 1};
    const EnvironmentData& env = s.environment;
    const V3 sun = env.sunColour * env.power;
    float tnear = 0;
    for (uint32_t depth = 0; depth <= s.kernel.maxDepth; ++depth) {
        Hit hit;
        if (!Intersect(s, origin, dir, tnear, hit, &rng)) return radiance + Mul(weight, EnvironmentRadiance(s, dir));
        const MaterialData& m = s.materials[hit.surface];
        radiance = radiance + Mul(weight, m.emission);
        tnear = Epsilon(hit.position);
        origin = hit.position;
        const V3 wo = dir * -1.0f, n = hit.shading, ng = hit.normal;
        const V3 sd = env.sunDirection;
        const bool sunward = env.kind == EnvironmentKind::Daylight && Dot(ng, sd) > 0 && Dot(n, sd) > 0;
        auto sunlight = [&]() { return Mul(sun, Transmittance(s, origin, sd, tnear, rng)); };
        // Lobes are picked at random by their share, so each path follows one.
        enum class Lobe { Diffuse, Gloss, Metal, Glass } lobe = Lobe::Diffuse;
        float alpha = 0;
        if (m.kind == MaterialKind::Specular) {
            lobe = Lobe::Glass;
        } else if (m.kind == MaterialKind::Metallic) {
            lobe = Lobe::Metal;
            alpha = GgxAlpha(s, m, hit.uvw);
        } else if (m.kind == MaterialKind::Glossy) {
            const float coat = FresnelDielectric(std::clamp(Dot(n, wo), 0.0f, 1.0f), 1.0f / m.index);
            if (rng.next() < coat) {
                lobe = Lobe::Gloss;
                alpha = GgxAlpha(s, m, hit.uvw);
            }
        }
        switch (lobe) {
        case Lobe::Diffuse: {
            const V3 albedo = Clamp01(Lookup(s, m.diffuse, hit.uvw));
            // Sun: a white diffuse plane facing it shows the sun's colour times its albedo.
            if (sunward) radiance = radiance + Mul(weight, Mul(albedo, sunlight())) * Dot(n, sd);
            weight = Mul(weight, albedo);
            dir = CosineSample(n, rng.next(), rng.next());
            if (Dot(dir, ng) <= 0) return radiance;
            break;
        }
        case Lobe::Gloss:
        case Lobe::Metal: {
            const V3 tint = lobe == Lobe::Metal ? Clamp01(Lookup(s, m.diffuse, hit.uvw)) : V3{1, 1, 1};
            auto fresnel = [&](float cosH) { return lobe == Lobe::Metal ? Schlick(tint, cosH) : V3{1, 1, 1}; };
            if (sunward && alpha >= kMirrorAlpha) {
                float cosH = 1;
                const float f = GgxSun(n, wo, sd, alpha, cosH);
                if (f > 0) radiance = radiance + Mul(Mul(weight, fresnel(cosH)), sunlight()) * f;
            }
            float w = 0, cosH = 1;
            if (!GgxBounce(n, ng, wo, alpha, rng, dir, w, cosH)) return radiance;
            weight = Mul(weight, fresnel(cosH)) * w;
            break;
        }
        case Lobe::Glass: {
            const float eta = hit.front ? 1.0f / m.index : m.index;
            const float cosI = std::clamp(Dot(n, wo), 0.0f, 1.0f);
            const float sin2T = eta * eta * (1.0f - cosI * cosI);
            if (rng.next() < FresnelDielectric(cosI, eta)) {
                dir = n * (2.0f * cosI) - wo;
                weight = Mul(weight, Clamp01(Lookup(s, m.specular, hit.uvw)));
            } else {
                const float cosT = std::sqrt(std::max(0.0f, 1.0f - sin2T));
                dir = Normalize(wo * -eta + n * (eta * cosI - cosT), wo * -1.0f);
                weight = Mul(weight, Clamp01(Lookup(s, m.transmission, hit.uvw)));
            }
            break;
        }
        }
        if (depth >= 3) {
            const float keep = std::clamp(std::max({weight.x, weight.y, weight.z}), 0.05f, 0.95f);
            if (rng.next() > keep) break;
            weight = weight * (1.0f / keep);
        }
    }
    return radiance;
}

V3 InfoSample(const Scene& s, const Basis& b, V3 origin, V3 dir) {
    Hit hit;
    if (!Intersect(s, origin, dir, 0, hit, nullptr)) return {0, 0, 0};
    switch (s.kernel.channel) {
    case GeometricNormal:
        return hit.normal * 0.5f + V3{0.5f, 0.5f, 0.5f};
    case ShadingNormal:
        return hit.shading * 0.5f + V3{0.5f, 0.5f, 0.5f};
    case Position:
        return hit.position;
    case ZDepth: {
        const float depth = s.camera.kind == CameraKind::Panoramic ? hit.t : Dot(hit.position - s.camera.position, b.forward);
        return V3{1, 1, 1} * std::clamp(depth / s.kernel.zDepthMax, 0.0f, 1.0f);
    }
    case MaterialId:
        return MaterialIdColour(s.materials[hit.material].nodeId);
    default:
        return hit.normal * 0.5f + V3{0.5f, 0.5f, 0.5f};
    }
}

// One sample for every pixel of a row, added to sums.
void RenderRow(const Scene& s, uint32_t row, uint64_t sample, float* sums) {
    const Basis b = CameraBasis(s.camera);
    const bool info = s.kernel.kind == KernelKind::InfoChannel;
    for (uint32_t x = 0; x < s.width; ++x) {
        Rng rng(row * s.width + x, sample);
        // Info passes look through pixel centres, so every pass gives the same, exact value.
        const float jx = info ? 0.5f : rng.next(), jy = info ? 0.5f : rng.next();
        const float lu = info ? 0.0f : rng.next(), lv = info ? 0.0f : rng.next();
        V3 origin, dir, value{0, 0, 0};
        if (CameraRay(s, b, float(x) + jx, float(row) + jy, lu, lv, origin, dir))
            value = info ? InfoSample(s, b, origin, dir) : Trace(s, origin, dir, rng);
        if (!std::isfinite(value.x) || !std::isfinite(value.y) || !std::isfinite(value.z)) value = {0, 0, 0};
        sums[x * 3] += value.x;
        sums[x * 3 + 1] += value.y;
        sums[x * 3 + 2] += value.z;
    }
}

uint8_t DisplayByte(float linear) {
    if (!(linear > 0)) return 0;
    if (linear >= 1) return 255;
    const float v = linear <= 0.0031308f ? linear * 12.92f : 1.055f * std::pow(linear, 1.0f / 2.4f) - 0.055f;
    return uint8_t(std::lround(v * 255.0f));
}

uint8_t RawByte(float v) { return v > 0 ? uint8_t(std::lround(std::min(v, 1.0f) * 255.0f)) : 0; }

void Encode(const Scene& s, const float* sums, const uint32_t* rowSamples, Picture& out) {
    out.width = s.width;
    out.height = s.height;
    out.rgba.assign(size_t(s.width) * s.height * 4, 0);
    const bool info = s.kernel.kind == KernelKind::InfoChannel;
    for (uint32_t y = 0; y < s.height; ++y) {
        const float scale = rowSamples[y] ? (info ? 1.0f : s.exposure) / float(rowSamples[y]) : 0.0f;
        for (uint32_t x = 0; x < s.width; ++x) {
            const size_t i = size_t(y) * s.width + x;
            for (int c = 0; c < 3; ++c) {
                const float v = sums[i * 3 + size_t(c)] * scale;
                // Info channels carry numbers, not light: they skip the display encoding.
                out.rgba[i * 4 + size_t(c)] = info ? RawByte(v) : DisplayByte(v);
            }
            out.rgba[i * 4 + 3] = 255;
        }
    }
}

// ---- the worker pool -------------------------------------------------------------------

struct Frame {
    std::shared_ptr<Scene> scene;
    std::vector<float> sums;
    std::vector<uint32_t> rowSamples;
    std::vector<uint8_t> busy;
    uint64_t nextJob = 0;          // row = job % height, sample = job / height
    uint32_t inFlight = 0;
    bool prepared = false;
    bool preparing = false;

    uint64_t samplesDone() const {
        if (rowSamples.empty()) return 0;
        return *std::min_element(rowSamples.begin(), rowSamples.end());
    }
    bool finished() const { return nextJob >= scene->kernel.maxSamples * scene->height; }
};

struct Pool {
    std::mutex mutex;
    std::condition_variable work;      // workers wait here
    std::condition_variable progress;  // callers waiting for samples or idle workers
    std::vector<std::thread> threads;
    std::shared_ptr<Frame> frame;
    Activity activity = Activity::Stopped;
    bool quit = false;
    bool exitHookSet = false;
};

Pool& ThePool() {
    static Pool* pool = new Pool();
    return *pool;
}

uint32_t WorkerCount() {
    const char* env = std::getenv("ZARNIK_RENDER_THREADS");
    if (env && *env) {
        const long n = std::strtol(env, nullptr, 10);
        if (n >= 1 && n <= 64) return uint32_t(n);
    }
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

bool JobReady(const Frame& f) {
    return f.prepared && !f.finished() && !f.busy[size_t(f.nextJob % f.scene->height)];
}

void WorkerLoop() {
    // Rendering yields to the host: its Ruby thread stays responsive while we work. Idle
    // scheduling, where the system has it, also leaves a processor that only renders free
    // for the host's other threads to wake on; the lowest priority is the fallback.
    sched_param none{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &none) != 0) {
        setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 19);
    }
    Pool& p = ThePool();
    std::vector<float> sums;
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        p.work.wait(lock, [&]() {
            if (p.quit) return true;
            if (p.activity != Activity::Running || !p.frame) return false;
            return (!p.frame->prepared && !p.frame->preparing) || JobReady(*p.frame);
        });
        if (p.quit) return;
        std::shared_ptr<Frame> f = p.frame;
        if (!f->prepared) {
            f->preparing = true;
            lock.unlock();
            f->scene->prepare();
            lock.lock();
            f->prepared = true;
            f->preparing = false;
            p.work.notify_all();
            continue;
        }
        const uint32_t height = f->scene->height;
        const uint64_t job = f->nextJob++;
        const uint32_t row = uint32_t(job % height);
        f->busy[row] = 1;
        ++f->inFlight;
        lock.unlock();
        sums.assign(size_t(f->scene->width) * 3, 0.0f);
        RenderRow(*f->scene, row, job / height, sums.data());
        lock.lock();
        float* dst = &f->sums[size_t(row) * f->scene->width * 3];
        for (size_t i = 0; i < sums.size(); ++i) dst[i] += sums[i];
        ++f->rowSamples[row];
        f->busy[row] = 0;
        --f->inFlight;
        p.work.notify_all();
        p.progress.notify_all();
    }
}

// Returns once no row is being rendered, so that the image and the count hold still.
void WaitIdle(std::unique_lock<std::mutex>& lock) {
    Pool& p = ThePool();
    std::shared_ptr<Frame> f = p.frame;
    if (f) p.progress.wait(lock, [&]() { return f->inFlight == 0; });
}

void AtExit() { Shutdown(); }

void NewFrame(Pool& p, std::shared_ptr<Scene> scene) {
    if (scene) {
        auto f = std::make_shared<Frame>();
        const size_t pixels = size_t(scene->width) * scene->height;
        f->sums.assign(pixels * 3, 0.0f);
        f->rowSamples.assign(scene->height, 0);
        f->busy.assign(scene->height, 0);
        f->scene = std::move(scene);
        p.frame = std::move(f);
    } else {
        p.frame.reset();
    }
    p.work.notify_all();
    p.progress.notify_all();
}

}  // namespace

void Restart(std::shared_ptr<Scene> scene) {
    Pool& p = ThePool();
    std::unique_lock<std::mutex> lock(p.mutex);
    if (!p.exitHookSet) {
        // Workers must be gone before the libraries they use are torn down at process exit.
        std::atexit(AtExit);
        p.exitHookSet = true;
    }
    if (p.threads.empty()) {
        p.quit = false;
        const uint32_t n = WorkerCount();
        for (uint32_t i = 0; i < n; ++i) p.threads.emplace_back(WorkerLoop);
    }
    p.activity = Activity::Running;
    NewFrame(p, std::move(scene));
}

void Replace(std::shared_ptr<Scene> scene) {
    Pool& p = ThePool();
    std::unique_lock<std::mutex> lock(p.mutex);
    if (p.activity == Activity::Stopped || p.threads.empty()) return;
    NewFrame(p, std::move(scene));
}

bool Active() {
    Pool& p = ThePool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.activity != Activity::Stopped && !p.threads.empty();
}

void Pause() {
    Pool& p = ThePool();
    std::unique_lock<std::mutex> lock(p.mutex);
    if (p.activity != Activity::Running) return;
    p.activity = Activity::Paused;
    p.progress.notify_all();
    WaitIdle(lock);
}

void Continue() {
    Pool& p = ThePool();
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.activity != Activity::Paused) return;
    p.activity = Activity::Running;
    p.work.notify_all();
}

void Stop() {
    Pool& p = ThePool();
    std::unique_lock<std::mutex> lock(p.mutex);
    p.activity = Activity::Stopped;
    p.progress.notify_all();
    WaitIdle(lock);
}

Activity CurrentActivity() {
    Pool& p = ThePool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.activity;
}

void Shutdown() {
    Pool& p = ThePool();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.quit = true;
        p.activity = Activity::Stopped;
        threads.swap(p.threads);
        p.work.notify_all();
        p.progress.notify_all();
    }
    for (std::thread& t : threads)
        if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.frame.reset();
    p.quit = false;
}

uint64_t SamplesDone() {
    Pool& p = ThePool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.frame ? p.frame->samplesDone() : 0;
}

bool CopyPicture(Picture& out) {
    Pool& p = ThePool();
    std::shared_ptr<Frame> f;
    std::vector<float> sums;
    std::vector<uint32_t> rows;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        if (!p.frame) return false;
        f = p.frame;
        sums = f->sums;
        rows = f->rowSamples;
        out.samples = f->samplesDone();
    }
    Encode(*f->scene, sums.data(), rows.data(), out);
    return true;
}

bool WaitForSamples(uint64_t samples, uint32_t timeoutMs) {
    Pool& p = ThePool();
    std::unique_lock<std::mutex> lock(p.mutex);
    std::shared_ptr<Frame> f = p.frame;
    if (!f) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    p.progress.wait_until(lock, deadline, [&]() {
        return f->samplesDone() >= samples || p.frame != f || p.activity != Activity::Running || p.quit ||
               (f->finished() && f->inFlight == 0);
    });
    return f->samplesDone() >= samples;
}

uint64_t CastPrimaryRays(Scene& scene, RTCScene bare) {
    scene.prepare();
    const Basis b = CameraBasis(scene.camera);
    uint64_t hits = 0;
    for (uint32_t y = 0; y < scene.height; ++y)
        for (uint32_t x = 0; x < scene.width; ++x) {
            V3 origin, dir;
            CameraRay(scene, b, float(x) + 0.5f, float(y) + 0.5f, 0, 0, origin, dir);
            if (!bare) {
                Hit hit;
                hits += Intersect(scene, origin, dir, 0, hit, nullptr) ? 1 : 0;
                continue;
            }
            if (!RayUsable(origin, dir, 0)) continue;
            RTCIntersectContext context;
            rtcInitIntersectContext(&context);
            RTCRayHit rh = RayToTrace(origin, dir, 0);
            rtcIntersect1(bare, &context, &rh);
            hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID ? 1 : 0;
        }
    return hits;
}

void RenderNow(Scene& scene, uint32_t samples, Picture& out) {
    scene.prepare();
    std::vector<float> sums(size_t(scene.width) * scene.height * 3, 0.0f);
    std::vector<uint32_t> rows(scene.height, samples);
    for (uint32_t s = 0; s < samples; ++s)
        for (uint32_t y = 0; y < scene.height; ++y) RenderRow(scene, y, s, &sums[size_t(y) * scene.width * 3]);
    Encode(scene, sums.data(), rows.data(), out);
    out.samples = samples;
}

}  // namespace Render
}  // namespace Engine
}  // namespace Zarnik
