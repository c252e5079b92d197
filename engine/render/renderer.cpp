// Progressive rendering on the engine's worker threads, and the light transport it runs.
#include "render/renderer.h"

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

// ---- scene queries -------------------------------------------------------------------

struct Hit {
    float t;
    V3 position, normal;     // world space; the normal faces the ray
    uint32_t material;
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

bool Intersect(const Scene& s, V3 origin, V3 dir, float tnear, Hit& hit) {
    if (!s.top() || !RayUsable(origin, dir, tnear)) return false;
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRayHit rh = RayToTrace(origin, dir, tnear);
    rtcIntersect1(s.top(), &context, &rh);
    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID || rh.hit.instID[0] >= s.instances.size()) return false;
    const Instance& inst = s.instances[rh.hit.instID[0]];
    const MeshData& mesh = *s.meshes[inst.mesh];
    if (rh.hit.primID >= mesh.triangleCount()) return false;
    const uint32_t* tri = &mesh.triangles[size_t(rh.hit.primID) * 3];
    auto vertex = [&](uint32_t i) {
        const float* p = &mesh.positions[size_t(i) * 3];
        return Apply(inst.m, V3{p[0], p[1], p[2]});
    };
    const V3 a = vertex(tri[0]), bb = vertex(tri[1]), cc = vertex(tri[2]);
    hit.t = rh.ray.tfar;
    hit.position = origin + dir * hit.t;
    hit.normal = Normalize(Cross(bb - a, cc - a), {0, 1, 0});
    if (Dot(hit.normal, dir) > 0) hit.normal = hit.normal * -1.0f;
    const SlotMaterials& slots = s.slotSets[inst.slotSet];
    const int32_t slot = mesh.slots[rh.hit.primID];
    hit.material = slots.empty() ? 0 : slots[std::min<size_t>(size_t(slot), slots.size() - 1)];
    return true;
}

bool Occluded(const Scene& s, V3 origin, V3 dir, float tnear) {
    if (!s.top() || !RayUsable(origin, dir, tnear)) return false;
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRay ray = RayToTrace(origin, dir, tnear).ray;
    rtcOccluded1(s.top(), &context, &ray);
    return ray.tfar < 0;
}

float Epsilon(V3 p) { return 1e-4f * (1.0f + std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)})); }

// Light that arrives along dir from the environment (the sun's disc is lit separately).
V3 EnvironmentRadiance(const EnvironmentData& e, V3 dir) {
    if (e.kind == EnvironmentKind::Colour) return e.colour * e.power;
    // Darker overhead, brighter towards the horizon; the sky fades out as the sun sets.
    const float day = std::clamp(e.sunDirection.y * 4.0f + 0.2f, 0.02f, 1.0f);
    if (dir.y < 0) return e.groundColour * (0.25f * e.power * day);
    const float t = std::clamp(dir.y, 0.0f, 1.0f);
    const float grey = (e.skyColour.x + e.skyColour.y + e.skyColour.z) / 3.0f;
    const V3 horizon = e.skyColour * 0.6f + V3{grey, grey, grey} * 0.4f;
    return (horizon * (1.0f - t) + e.skyColour * t) * (0.25f * e.power * day);
}

V3 Trace(const Scene& s, V3 origin, V3 dir, Rng& rng) {
    V3 radiance{0, 0, 0}, weight{1, 1, 1};
    const EnvironmentData& env = s.environment;
    const V3 sun = env.sunColour * env.power;
    float tnear = 0;
    for (uint32_t depth = 0; depth <= s.kernel.maxDepth; ++depth) {
        Hit hit;
        if (!Intersect(s, origin, dir, tnear, hit)) return radiance + Mul(weight, EnvironmentRadiance(env, dir));
        const MaterialData& m = s.materials[hit.material];
        tnear = Epsilon(hit.position);
        if (m.kind == MaterialKind::Portal) {
            origin = hit.position;
            continue;
        }
        radiance = radiance + Mul(weight, m.emission);
        // Sun: a white diffuse plane facing it shows the sun's colour times its albedo.
        if (env.kind == EnvironmentKind::Daylight) {
            const float cosSun = Dot(hit.normal, env.sunDirection);
            if (cosSun > 0 && !Occluded(s, hit.position, env.sunDirection, tnear))
                radiance = radiance + Mul(weight, Mul(m.diffuse, sun)) * cosSun;
        }
        weight = Mul(weight, m.diffuse);
        if (depth >= 3) {
            const float keep = std::clamp(std::max({weight.x, weight.y, weight.z}), 0.05f, 0.95f);
            if (rng.next() > keep) break;
            weight = weight * (1.0f / keep);
        }
        // Cosine-weighted bounce.
        const float u = rng.next(), v = rng.next();
        const float r = std::sqrt(u), phi = 2.0f * kPi * v;
        const V3 n = hit.normal;
        const V3 t = Normalize(std::fabs(n.x) > 0.5f ? Cross(n, {0, 1, 0}) : Cross(n, {1, 0, 0}), {1, 0, 0});
        const V3 bt = Cross(n, t);
        dir = Normalize(t * (r * std::cos(phi)) + bt * (r * std::sin(phi)) + n * std::sqrt(std::max(0.0f, 1.0f - u)), n);
        origin = hit.position;
    }
    return radiance;
}

V3 InfoSample(const Scene& s, const Basis& b, V3 origin, V3 dir) {
    Hit hit;
    if (!Intersect(s, origin, dir, 0, hit)) return {0, 0, 0};
    switch (s.kernel.channel) {
    case GeometricNormal:
    case ShadingNormal:
        return hit.normal * 0.5f + V3{0.5f, 0.5f, 0.5f};
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
    // Rendering yields to the host: its Ruby thread stays responsive while we work.
    setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 19);
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

uint64_t CastPrimaryRays(Scene& scene, bool bare) {
    scene.prepare();
    const Basis b = CameraBasis(scene.camera);
    uint64_t hits = 0;
    for (uint32_t y = 0; y < scene.height; ++y)
        for (uint32_t x = 0; x < scene.width; ++x) {
            V3 origin, dir;
            CameraRay(scene, b, float(x) + 0.5f, float(y) + 0.5f, 0, 0, origin, dir);
            if (!bare) {
                Hit hit;
                hits += Intersect(scene, origin, dir, 0, hit) ? 1 : 0;
                continue;
            }
            if (!scene.top() || !RayUsable(origin, dir, 0)) continue;
            RTCIntersectContext context;
            rtcInitIntersectContext(&context);
            RTCRayHit rh = RayToTrace(origin, dir, 0);
            rtcIntersect1(scene.top(), &context, &rh);
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
