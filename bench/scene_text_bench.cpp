// Scene text of a large mesh: export and import time and text size. A gently curved grid
// of triangles with a normal and texture coordinate per point, laid out as the extension
// writes meshes (points, normals and texture coordinates indexed per corner, one polygon
// size and material slot per triangle).
//
//   scene_text_bench [triangles]      (default 1000000)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zarnik.h"

using namespace Zarnik;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

ApiNode* BuildMesh(ApiRootNodeGraph& graph, size_t triangles) {
    const size_t side = static_cast<size_t>(std::ceil(std::sqrt(triangles / 2.0)));
    const size_t row = side + 1;
    std::vector<float_3> points, normals, uvs;
    points.reserve(row * row);
    for (size_t y = 0; y < row; ++y) {
        for (size_t x = 0; x < row; ++x) {
            const float u = float(x) / float(side), v = float(y) / float(side);
            const float height = 0.1f * std::sin(6.2831853f * u) * std::cos(6.2831853f * v);
            points.push_back({u * 12.345f, height, -v * 12.345f});
            const float nx = -0.1f * std::cos(6.2831853f * u), nz = 0.1f * std::sin(6.2831853f * v);
            const float length = std::sqrt(nx * nx + 1.f + nz * nz);
            normals.push_back({nx / length, 1.f / length, nz / length});
            uvs.push_back({u * 4.f, v * 4.f, 0.f});
        }
    }
    std::vector<int32_t> corners, sizes, slots;
    corners.reserve(triangles * 3);
    for (size_t cell = 0; corners.size() < triangles * 3; ++cell) {
        const int32_t x = int32_t(cell % side), y = int32_t(cell / side);
        const int32_t a = y * int32_t(row) + x, b = a + 1, c = a + int32_t(row), d = c + 1;
        const int32_t quad[] = {a, b, d, a, d, c};
        for (int i = 0; i < 6 && corners.size() < triangles * 3; ++i) corners.push_back(quad[i]);
    }
    sizes.assign(triangles, 3);
    slots.resize(triangles);
    for (size_t i = 0; i < triangles; ++i) slots[i] = int32_t(i / 1000 % 4);
    const char* names[] = {"wood", "glass", "brick", "grass"};

    ApiNode* mesh = ApiNode::create(1, graph, false);
    if (!mesh) return nullptr;
    mesh->setName("Bench mesh");
    mesh->set(190, points.data(), points.size(), false);
    mesh->set(80, normals.data(), normals.size(), false);
    mesh->set(184, uvs.data(), uvs.size(), false);
    mesh->set(120, corners.data(), corners.size(), false);
    mesh->set(115, corners.data(), corners.size(), false);
    mesh->set(119, corners.data(), corners.size(), false);
    mesh->set(189, sizes.data(), sizes.size(), false);
    mesh->set(114, slots.data(), slots.size(), false);
    mesh->set(63, names, 4, false);
    mesh->evaluate();
    return mesh;
}

}  // namespace

int main(int argc, char** argv) {
    const long wanted = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
    if (wanted < 1) {
        std::fprintf(stderr, "usage: %s [triangles]\n", argv[0]);
        return 2;
    }
    const size_t triangles = static_cast<size_t>(wanted);
    const char* error = nullptr;
    if (!apiMode_Shared_start("ZKBENCHS", false, &error, nullptr, nullptr)) {
        std::fprintf(stderr, "engine did not start: %s\n", error ? error : "");
        return 1;
    }
    ApiRootNodeGraph* scene = ApiRootNodeGraph::create(3080500);
    ApiRootNodeGraph* copy = ApiRootNodeGraph::create(3080500);
    if (!scene || !copy || !BuildMesh(*scene, triangles)) {
        std::fprintf(stderr, "could not build the mesh\n");
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    const std::string text = scene->exportToString();
    const double exportSeconds = Seconds(start);

    start = std::chrono::steady_clock::now();
    const bool imported = copy->import(text.data(), text.size(), nullptr, nullptr);
    const double importSeconds = Seconds(start);
    const bool same = imported && text == copy->exportToString();

    std::printf("triangles          %zu\n", triangles);
    std::printf("scene text         %.1f MB (%.1f bytes per triangle)\n", text.size() / 1e6,
                double(text.size()) / double(triangles));
    std::printf("export             %.3f s\n", exportSeconds);
    std::printf("import             %.3f s%s\n", importSeconds, imported ? "" : " (refused)");
    std::printf("round trip         %s\n", same ? "identical" : "DIFFERENT");

    scene->destroy();
    copy->destroy();
    apiMode_Shared_exit(nullptr);
    return same ? 0 : 1;
}
