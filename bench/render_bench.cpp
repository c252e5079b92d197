// The renderer's costs, printed (nothing is asserted): its hit query against the ray-query
// library's own on the same primary rays (one mesh alone, and many placements against the
// library's instances), the time from a model's arrival to its first sample against the
// library's own build, the memory of many placements of one mesh, and samples per second of
// a 640 x 480 picture.
//
//   cmake --build build --target render_bench && build/render_bench
#include <embree3/rtcore.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core.h"
#include "render/renderer.h"
#include "render/scene.h"

using namespace Zarnik;
using namespace Zarnik::Engine;

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Resident memory of this process in bytes.
double ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096.0;
}

// A wavy grid of about `triangles` triangles, one slot.
struct Grid {
    std::vector<float_3> vertices;
    std::vector<int32_t> indices;
};

Grid MakeGrid(uint32_t triangles) {
    const uint32_t n = uint32_t(std::sqrt(double(triangles) / 2.0)) + 1;
    Grid g;
    for (uint32_t i = 0; i <= n; ++i)
        for (uint32_t j = 0; j <= n; ++j) {
            const float x = float(i) / n - 0.5f, z = float(j) / n - 0.5f;
            g.vertices.push_back({x, 0.05f * std::sin(x * 40.0f) * std::cos(z * 40.0f), z});
        }
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            const int32_t a = int32_t(i * (n + 1) + j), b = a + int32_t(n + 1);
            for (int32_t k : {a, b, a + 1, a + 1, b, b + 1}) g.indices.push_back(k);
        }
    return g;
}

struct Model {
    ApiNode* target;
    ApiNode* mesh;
    ApiNode* placement;
};

Model MakeModel(const Grid& grid, const std::vector<Matrix<float>>& transforms, int32_t width, int32_t height) {
    ApiRootNodeGraph& root = ApiProjectManager::rootNodeGraph();
    Model m;
    m.target = ApiNode::create(Types::RenderTarget, root, true);
    ApiRenderEngine::setRenderTargetNode(m.target);
    m.target->connectedNode(311)->setPinValue(198, int32_2{width, height});
    ApiNode* camera = m.target->connectedNode(19);
    camera->setPinValue(133, float_3{0.0f, 0.8f, 0.9f});
    camera->setPinValue(235, float_3{0, 0, 0});
    camera->setPinValue(53, 50.0f);
    m.target->createInternal(89, 25)->setPinValue(108, int32_t(1000000));
    ApiNode* group = ApiNode::create(Types::GeometryGroup, root, true);
    m.target->connectTo(111, group);
    group->set(Attrs::InputCount, int32_t(1));
    m.mesh = ApiNode::create(Types::Mesh, root, true);
    const char* names[] = {"slot"};
    m.mesh->set(Attrs::MaterialNames, names, 1);
    m.mesh->set(190, grid.vertices.data(), grid.vertices.size());
    m.mesh->set(120, grid.indices.data(), grid.indices.size());
    m.placement = ApiNode::create(Types::Placement, root, true);
    m.placement->connectTo(Pins::Geometry, m.mesh);
    m.placement->set(Attrs::Transforms, transforms.data(), transforms.size());
    group->connectToIx(0, m.placement);
    return m;
}

void Teardown(const Model& m) {
    ApiRenderEngine::stopRendering();
    m.placement->destroy();
    m.mesh->destroy();
    m.target->destroy();
}

// The grid as a scene of the ray-query library alone, as a program using it directly would
// build it.
RTCScene BareMesh(RTCDevice device, const Grid& grid) {
    RTCScene scene = rtcNewScene(device);
    RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    float* v = static_cast<float*>(rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                                           3 * sizeof(float), grid.vertices.size()));
    for (size_t i = 0; i < grid.vertices.size(); ++i) {
        v[i * 3] = grid.vertices[i].x;
        v[i * 3 + 1] = grid.vertices[i].y;
        v[i * 3 + 2] = grid.vertices[i].z;
    }
    uint32_t* ix = static_cast<uint32_t*>(rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                                                  3 * sizeof(uint32_t), grid.indices.size() / 3));
    for (size_t i = 0; i < grid.indices.size(); ++i) ix[i] = uint32_t(grid.indices[i]);
    rtcCommitGeometry(geom);
    rtcAttachGeometry(scene, geom);
    rtcReleaseGeometry(geom);
    rtcCommitScene(scene);
    return scene;
}

// Each transform as an instance of the library's own, over the bare mesh.
RTCScene BareInstances(RTCDevice device, RTCScene mesh, const std::vector<Matrix<float>>& transforms) {
    RTCScene scene = rtcNewScene(device);
    for (const Matrix<float>& m : transforms) {
        RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(geom, mesh);
        rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT3X4_ROW_MAJOR, &m.m[0][0]);
        rtcCommitGeometry(geom);
        rtcAttachGeometry(scene, geom);
        rtcReleaseGeometry(geom);
    }
    rtcCommitScene(scene);
    return scene;
}

double BareBuild(const Grid& grid) {
    const double start = Now();
    RTCDevice device = rtcNewDevice("threads=1");
    RTCScene scene = BareMesh(device, grid);
    const double seconds = Now() - start;
    rtcReleaseScene(scene);
    rtcReleaseDevice(device);
    return seconds;
}

// The renderer's hit query against the library's on the same primary rays, best of seven.
void CompareRays(const char* what, const Model& m, RTCScene bare) {
    std::shared_ptr<Render::Scene> scene;
    {
        CallScope scope;
        scene = Render::TakeSnapshot(NodeWithId(m.target->uniqueId()));
    }
    scene->prepare();
    double best[2] = {1e9, 1e9};
    uint64_t hits[2] = {0, 0};
    for (int run = 0; run < 14; ++run) {
        const int side = run % 2;
        const double start = Now();
        hits[side] = Render::CastPrimaryRays(*scene, side == 1 ? bare : nullptr);
        best[side] = std::min(best[side], Now() - start);
    }
    const double rays = double(scene->width) * scene->height;
    std::printf("per primary ray (%s, %ux%u, best of 7): renderer %.1f ns, bare %.1f ns, ratio %.2f"
                " (hits %llu / %llu)\n",
                what, scene->width, scene->height, best[0] / rays * 1e9, best[1] / rays * 1e9, best[0] / best[1],
                (unsigned long long)hits[0], (unsigned long long)hits[1]);
}

void PerRayCost() {
    const Grid grid = MakeGrid(200000);
    const Model m = MakeModel(grid, {Matrix<float>::identity()}, 640, 480);
    RTCDevice device = rtcNewDevice("threads=1");
    RTCScene bare = BareMesh(device, grid);
    CompareRays("200k triangles, one placement, bare: the mesh alone", m, bare);
    rtcReleaseScene(bare);
    rtcReleaseDevice(device);
    Teardown(m);
}

void FirstSample() {
    const Grid grid = MakeGrid(1000000);
    const double bare = BareBuild(grid);
    const double start = Now();
    const Model m = MakeModel(grid, {Matrix<float>::identity()}, 64, 48);
    ApiChangeManager::update();
    ApiRenderEngine::restartRendering();
    ApiRenderEngine::waitForSamples(1, 600000);
    const double first = Now() - start;
    std::printf("1M triangles: arrival to first sample %.3f s, bare build %.3f s, ratio %.2f\n", first, bare,
                first / bare);
    Teardown(m);
}

// Renders a small scene once, so that what the first frame of the process costs whatever the
// scene (the libraries' code paged in, the ray-query device, the worker threads) is paid before
// a scene's own memory is measured.
void WarmUp() {
    const Model m = MakeModel(MakeGrid(200), {Matrix<float>::identity()}, 32, 24);
    ApiRenderEngine::restartRendering();
    ApiRenderEngine::waitForSamples(1, 600000);
    Teardown(m);
}

void ManyPlacements() {
    const double start = ResidentBytes();
    WarmUp();
    const double firstUse = ResidentBytes() - start;
    const Grid grid = MakeGrid(10000);
    std::vector<Matrix<float>> transforms(100000, Matrix<float>::identity());
    for (size_t i = 0; i < transforms.size(); ++i) {
        transforms[i].m[0][3] = float(i % 316) * 1.1f;
        transforms[i].m[2][3] = float(i / 316) * 1.1f;
    }
    const double before = ResidentBytes();
    const int64_t treesBefore = Render::RayStructureBytes();
    const Model m = MakeModel(grid, transforms, 320, 240);
    const double graph = ResidentBytes() - before;
    ApiRenderEngine::restartRendering();
    ApiRenderEngine::waitForSamples(1, 600000);
    const double used = ResidentBytes() - before;
    const double trees = double(Render::RayStructureBytes() - treesBefore);
    const double floor = double(grid.vertices.size() * 12 + grid.indices.size() * 4) + 100000.0 * 48.0;
    std::printf("100k placements of a %zu-triangle mesh: %.1f MB resident, mesh + transforms %.1f MB, ratio %.2f"
                " (node graph %.1f MB, renderer %.1f MB, of which ray-query trees %.1f MB)\n",
                grid.indices.size() / 3, used / 1e6, floor / 1e6, used / floor, graph / 1e6, (used - graph) / 1e6,
                trees / 1e6);
    std::printf("  the process's first frame, whatever the scene, took %.1f MB before (library code paged in,"
                " device, workers)\n",
                firstUse / 1e6);
    ApiRenderEngine::stopRendering();
    RTCDevice device = rtcNewDevice("threads=1");
    RTCScene mesh = BareMesh(device, grid);
    const double instancesBefore = ResidentBytes();
    RTCScene bare = BareInstances(device, mesh, transforms);
    std::printf("  the library's own instances of them take %.1f MB more\n", (ResidentBytes() - instancesBefore) / 1e6);
    CompareRays("100k placements, bare: the library's own instances", m, bare);
    rtcReleaseScene(bare);
    rtcReleaseScene(mesh);
    rtcReleaseDevice(device);
    Teardown(m);
}

void SamplesPerSecond() {
    const Grid grid = MakeGrid(20000);
    const Model m = MakeModel(grid, {Matrix<float>::identity()}, 640, 480);
    ApiRenderEngine::restartRendering();
    ApiRenderEngine::waitForSamples(1, 600000);
    const uint64_t first = ApiRenderEngine::samplesDone();
    const double start = Now();
    ApiRenderEngine::waitForSamples(first + 8, 30000);
    const double seconds = Now() - start;
    const uint64_t done = ApiRenderEngine::samplesDone() - first;
    std::printf("640x480 path tracing: %.2f samples per second (%llu in %.2f s)\n", double(done) / seconds,
                (unsigned long long)done, seconds);
    Teardown(m);
}

}  // namespace

int main() {
    const char* error = nullptr;
    if (!apiMode_Shared_start("ZKBENCHR", false, &error, nullptr, nullptr)) {
        std::printf("engine did not start: %s\n", error ? error : "");
        return 1;
    }
    ManyPlacements();     // first, while freed memory of the others cannot blur it
    PerRayCost();
    FirstSample();
    SamplesPerSecond();
    apiMode_Shared_exit(nullptr);
    return 0;
}
