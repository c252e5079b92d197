// The renderer as the extension drives it: a render target with a geometry group of
// placements, rendered through the info-channel kernel (exact, noise-free values) and the
// path tracer, and the render state around it.
#include <gtest/gtest.h>

#include <png.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "render/scene.h"

namespace Zarnik {
namespace Engine {
namespace {

constexpr float kPi = 3.14159265f;
constexpr uint32_t kWidth = 96, kHeight = 64;

struct Image {
    uint32_t width = 0, height = 0;
    uint64_t samples = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* at(uint32_t x, uint32_t y) const { return &rgba[(size_t(y) * width + x) * 4]; }
};

Matrix<float> Translation(float x, float y, float z) {
    Matrix<float> m = Matrix<float>::identity();
    m.m[0][3] = x;
    m.m[1][3] = y;
    m.m[2][3] = z;
    return m;
}

class RendererTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        const RenderSetup setup = makeRenderTarget(int32_t(kWidth), int32_t(kHeight));
        target = setup.target;
        camera = setup.camera;
        group = setup.group;
        camera->setPinValue(53, 60.0f);
        kernel = target->createInternal(89, 26);
        kernel->setPinValue(81, int32_t(4));     // material id
        kernel->setPinValue(108, int32_t(2));
        mesh = make(Types::Mesh);
        // A square of 0.4 m about the origin, facing +z, with one material slot.
        const float_3 vertices[] = {{-0.2f, -0.2f, 0}, {0.2f, -0.2f, 0}, {0.2f, 0.2f, 0}, {-0.2f, 0.2f, 0}};
        const int32_t indices[] = {0, 1, 2, 3};
        const int32_t perPoly[] = {4};
        const int32_t slots[] = {0};
        const char* names[] = {"slot"};
        mesh->set(190, vertices, 4);
        mesh->set(120, indices, 4);
        mesh->set(189, perPoly, 1);
        mesh->set(114, slots, 1);
        mesh->set(Attrs::MaterialNames, names, 1);
    }

    ApiNode* diffuse(float_3 colour) {
        ApiNode* m = make(17);
        m->createInternal(30, Types::RgbTexture)->set(Attrs::Value, colour);
        return m;
    }

    // One placement of the mesh under its own override with the given material.
    ApiNode* place(ApiNode* material, const std::vector<Matrix<float>>& transforms) {
        ApiNode* over = make(Types::MaterialOverride);
        over->connectTo(Pins::Geometry, mesh);
        over->connectToIx(1, material);
        ApiNode* placement = make(Types::Placement);
        placement->connectTo(Pins::Geometry, over);
        placement->set(Attrs::Transforms, transforms.data(), transforms.size());
        int32_t count = 0;
        for (uint32_t i = 0; i < group->pinCount(); ++i) count += group->connectedNodeIx(i) ? 1 : 0;
        group->set(Attrs::InputCount, count + 1);
        group->connectToIx(uint32_t(count), placement);
        return placement;
    }

    static Image render(uint64_t samples) {
        ApiRenderEngine::restartRendering();
        EXPECT_TRUE(ApiRenderEngine::waitForSamples(samples, 20000));
        return grab();
    }

    static Image grab() {
        Image image;
        EXPECT_TRUE(ApiRenderEngine::copyImage(image.width, image.height, image.samples, nullptr, 0));
        image.rgba.resize(size_t(image.width) * image.height * 4);
        EXPECT_TRUE(ApiRenderEngine::copyImage(image.width, image.height, image.samples, image.rgba.data(),
                                               image.rgba.size()));
        return image;
    }

    // Where a world point lands under a thin-lens camera at (0, 0, 10) looking down -z.
    static void project(float x, float y, float z, float fov, uint32_t& px, uint32_t& py) {
        const float depth = 10.0f - z;
        const float tx = std::tan(fov * 0.5f * kPi / 180.0f);
        const float nx = x / (depth * tx), ny = y / (depth * tx * float(kHeight) / float(kWidth));
        px = uint32_t((nx + 1.0f) * 0.5f * kWidth);
        py = uint32_t((1.0f - ny) * 0.5f * kHeight);
    }

    static void expectColour(const Image& image, uint32_t x, uint32_t y, Render::V3 colour) {
        const uint8_t* p = image.at(x, y);
        EXPECT_NEAR(p[0], colour.x * 255.0f, 1.0f) << "at " << x << "," << y;
        EXPECT_NEAR(p[1], colour.y * 255.0f, 1.0f) << "at " << x << "," << y;
        EXPECT_NEAR(p[2], colour.z * 255.0f, 1.0f) << "at " << x << "," << y;
    }

    ApiNode* target = nullptr;
    ApiNode* camera = nullptr;
    ApiNode* kernel = nullptr;
    ApiNode* group = nullptr;
    ApiNode* mesh = nullptr;
};

TEST_F(RendererTest, PlacementsOfOneMeshShowTheirInstanceMaterialsWhereTheyProject) {
    ApiNode* red = diffuse({1, 0, 0});
    ApiNode* green = diffuse({0, 1, 0});
    ApiNode* blue = diffuse({0, 0, 1});
    const float points[3][2] = {{-2.0f, 0.0f}, {0.0f, 0.0f}, {2.0f, 1.0f}};
    place(red, {Translation(points[0][0], points[0][1], 0)});
    place(green, {Translation(points[1][0], points[1][1], 0)});
    ApiNode* third = place(blue, {Translation(points[2][0], points[2][1], 0)});
    const Image image = render(1);
    ASSERT_EQ(image.width, kWidth);
    ASSERT_EQ(image.height, kHeight);
    ApiNode* materials[] = {red, green, blue};
    for (int i = 0; i < 3; ++i) {
        uint32_t px, py;
        project(points[i][0], points[i][1], 0, 60, px, py);
        expectColour(image, px, py, Render::MaterialIdColour(materials[i]->uniqueId()));
    }
    expectColour(image, 2, 2, {0, 0, 0});

    // Moving the third placement by one metre moves its pixels by the predicted amount.
    const Matrix<float> moved = Translation(points[2][0] - 1.0f, points[2][1], 0);
    third->set(Attrs::Transforms, &moved, 1);
    const Image after = render(1);
    uint32_t oldX, oldY, newX, newY;
    project(points[2][0], points[2][1], 0, 60, oldX, oldY);
    project(points[2][0] - 1.0f, points[2][1], 0, 60, newX, newY);
    ASSERT_GT(oldX - newX, 5u);
    expectColour(after, newX, newY, Render::MaterialIdColour(blue->uniqueId()));
    expectColour(after, oldX, oldY, {0, 0, 0});
}

TEST_F(RendererTest, OnePlacementShowsEachOfItsTransformsAndSharesTheMesh) {
    ApiNode* red = diffuse({1, 0, 0});
    place(red, {Translation(-1, 0, 0), Translation(1, 0, 0), Translation(0, 1.5f, 0)});
    const Image image = render(1);
    for (const auto& p : {std::pair<float, float>{-1, 0}, {1, 0}, {0, 1.5f}}) {
        uint32_t px, py;
        project(p.first, p.second, 0, 60, px, py);
        expectColour(image, px, py, Render::MaterialIdColour(red->uniqueId()));
    }
    uint32_t px, py;
    project(0, 0, 0, 60, px, py);
    expectColour(image, px, py, {0, 0, 0});
}

// The top level's builder once ended the process on groups whose boxes all lie in one point:
// placements with a zero transform, and placements of a mesh collapsed to one vertex.
TEST_F(RendererTest, PlacementsCollapsedToAPointRenderBesideTheRest) {
    ApiNode* red = diffuse({1, 0, 0});
    Matrix<float> zero = Matrix<float>::identity();
    std::memset(zero.m, 0, sizeof zero.m);
    place(red, {zero, zero});
    place(red, {zero});
    const float_3 point[] = {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
    const int32_t corners[] = {0, 1, 2};
    const int32_t perPoly[] = {3};
    mesh->set(190, point, 3);
    mesh->set(120, corners, 3);
    mesh->set(189, perPoly, 1);
    place(red, {Translation(0, 0, 0)});
    place(red, {Translation(0, 0, 0), Translation(0, 0, 0)});
    ApiNode* square = make(Types::Mesh);
    const float_3 vertices[] = {{-0.2f, -0.2f, 0}, {0.2f, -0.2f, 0}, {0.2f, 0.2f, 0}, {-0.2f, 0.2f, 0}};
    const int32_t indices[] = {0, 1, 2, 3};
    const int32_t four[] = {4};
    square->set(190, vertices, 4);
    square->set(120, indices, 4);
    square->set(189, four, 1);
    const int32_t slots[] = {0};
    const char* names[] = {"slot"};
    square->set(114, slots, 1);
    square->set(Attrs::MaterialNames, names, 1);
    mesh = square;
    place(red, {Translation(-1, 0, 0)});
    // Enough transforms in one placement that their inverses are worked out per ray.
    std::vector<Matrix<float>> many(100, zero);
    many[57] = Translation(1, 0, 0);
    place(red, many);
    const Image image = render(1);
    for (float x : {-1.0f, 1.0f}) {
        uint32_t px, py;
        project(x, 0, 0, 60, px, py);
        expectColour(image, px, py, Render::MaterialIdColour(red->uniqueId()));
    }
}

TEST_F(RendererTest, NormalAndDepthChannels) {
    place(diffuse({1, 1, 1}), {Translation(0, 0, 2)});
    kernel->setPinValue(81, int32_t(0));
    uint32_t px, py;
    project(0, 0, 2, 60, px, py);
    expectColour(render(1), px, py, {0.5f, 0.5f, 1.0f});     // facing the camera: +z
    kernel->setPinValue(81, int32_t(3));
    kernel->setPinValue(257, 16.0f);
    expectColour(render(1), px, py, {0.5f, 0.5f, 0.5f});     // 8 m away of 16
}

TEST_F(RendererTest, OrthographicAndPanoramicCamerasProjectKnownPoints) {
    ApiNode* red = diffuse({1, 0, 0});
    place(red, {Translation(2, 1, 0)});
    camera->setPinValue(127, true);
    camera->setPinValue(209, 8.0f);
    // Orthographic: 8 m across the width, the height by the aspect ratio.
    const Image ortho = render(1);
    const uint32_t ox = uint32_t((2.0f / 4.0f + 1) * 0.5f * kWidth);
    const uint32_t oy = uint32_t((1 - 1.0f / (4.0f * kHeight / kWidth)) * 0.5f * kHeight);
    expectColour(ortho, ox, oy, Render::MaterialIdColour(red->uniqueId()));

    // Panoramic at the origin looking down -z: a square 5 m to the right, at longitude
    // 90 degrees, sits three quarters across a 360-degree image, on the horizon.
    ApiNode* pano = target->createInternal(19, Types::PanoramicCamera);
    pano->setPinValue(133, float_3{0, 0, 0});
    pano->setPinValue(235, float_3{0, 0, -1});
    pano->setPinValue(248, float_3{0, 1, 0});
    Matrix<float> facing{};
    facing.m[0][2] = 1;     // local (x, y, 0) -> world (5, y, -x)
    facing.m[0][3] = 5;
    facing.m[1][1] = 1;
    facing.m[2][0] = -1;
    ApiNode* blue = diffuse({0, 0, 1});
    place(blue, {facing});
    const Image panorama = render(1);
    expectColour(panorama, kWidth * 3 / 4, kHeight / 2, Render::MaterialIdColour(blue->uniqueId()));
    expectColour(panorama, kWidth / 4, kHeight / 2, {0, 0, 0});
}

TEST_F(RendererTest, SunlitPlaneFollowsTheCosineOfTheSunElevation) {
    // A large plane of albedo 0.5 facing the sky, seen from above; only the sun lights it
    // (a black sky and ground), so each sample is exact.
    ApiNode* plane = diffuse({0.5f, 0.5f, 0.5f});
    Matrix<float> flat{};
    flat.m[0][0] = 100;     // local (x, y, 0) -> world (100 x, 0, -100 y)
    flat.m[1][2] = 1;
    flat.m[2][1] = -100;
    place(plane, {flat});
    camera->setPinValue(133, float_3{0, 10, 0.01f});
    camera->setPinValue(235, float_3{0, 0, 0});
    kernel = target->createInternal(89, 25);
    kernel->setPinValue(108, int32_t(2));
    ApiNode* daylight = target->connectedNode(43);
    daylight->setPinValue(217, float_3{0, 0, 0});
    daylight->setPinValue(331, float_3{0, 0, 0});
    auto mean = [&](float elevation) {
        const float e = elevation * kPi / 180.0f;
        daylight->setPinValue(Pins::SunDirection, float_3{0, std::sin(e), std::cos(e)});
        const Image image = render(2);
        double sum = 0;
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x) {
                const double v = image.at(x, y)[1] / 255.0;
                sum += v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            }
        return sum / (kWidth * kHeight);
    };
    const double high = mean(90), low = mean(30);
    EXPECT_NEAR(high, 0.5, 0.01);
    EXPECT_NEAR(low / high, 0.5, 0.01);
}

TEST_F(RendererTest, PauseContinueRestartAndStop) {
    place(diffuse({1, 0, 0}), {Translation(0, 0, 0)});
    kernel->setPinValue(108, int32_t(1000000));
    ApiRenderEngine::restartRendering();
    ASSERT_TRUE(ApiRenderEngine::waitForSamples(2, 20000));
    ApiRenderEngine::pauseRendering();
    EXPECT_TRUE(ApiRenderEngine::isRenderingPaused());
    const Image paused = grab();
    EXPECT_GE(paused.samples, 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Image later = grab();
    EXPECT_EQ(later.samples, paused.samples);
    EXPECT_EQ(later.rgba, paused.rgba);
    EXPECT_FALSE(ApiRenderEngine::waitForSamples(paused.samples + 1, 1000));

    ApiRenderEngine::continueRendering();
    EXPECT_TRUE(ApiRenderEngine::waitForSamples(paused.samples + 2, 20000));

    ApiRenderEngine::stopRendering();
    EXPECT_TRUE(ApiRenderEngine::isRenderingStopped());
    const Image stopped = grab();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(grab().samples, stopped.samples);
    ApiRenderEngine::continueRendering();     // a stopped render does not resume
    EXPECT_TRUE(ApiRenderEngine::isRenderingStopped());

    // A restart after an edit starts counting again and shows the edit.
    ApiNode* green = diffuse({0, 1, 0});
    kernel->setPinValue(108, int32_t(3));
    for (uint32_t i = 0; i < group->pinCount(); ++i) {
        ApiNode* placement = group->connectedNodeIx(i);
        if (placement) placement->connectedNode(Pins::Geometry)->connectToIx(1, green);
    }
    const Image edited = render(3);
    EXPECT_EQ(edited.samples, 3u);
    uint32_t px, py;
    project(0, 0, 0, 60, px, py);
    expectColour(edited, px, py, Render::MaterialIdColour(green->uniqueId()));
    // The maximum is kept: no more samples come.
    EXPECT_FALSE(ApiRenderEngine::waitForSamples(4, 300));
    EXPECT_EQ(ApiRenderEngine::samplesDone(), 3u);
}

TEST_F(RendererTest, AnUpdateStartsARunningOrPausedRenderOverOnTheEdits) {
    ApiNode* red = diffuse({1, 0, 0});
    ApiNode* placement = place(red, {Translation(0, 0, 0)});
    kernel->setPinValue(108, int32_t(1));
    uint32_t px, py;
    project(0, 0, 0, 60, px, py);
    expectColour(render(1), px, py, Render::MaterialIdColour(red->uniqueId()));

    // Running (finished): the moved square shows after the update, without a restart.
    const Matrix<float> away = Translation(3, 0, 0);
    placement->set(Attrs::Transforms, &away, 1);
    const uint64_t restarts = ApiRenderEngine::restartCount();
    ApiChangeManager::update();
    ASSERT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
    expectColour(grab(), px, py, {0, 0, 0});
    EXPECT_EQ(ApiRenderEngine::restartCount(), restarts);

    // Paused: the frame is replaced but waits for the continue.
    ApiRenderEngine::pauseRendering();
    const Matrix<float> back = Translation(0, 0, 0);
    placement->set(Attrs::Transforms, &back, 1);
    ApiChangeManager::update();
    EXPECT_TRUE(ApiRenderEngine::isRenderingPaused());
    EXPECT_EQ(ApiRenderEngine::samplesDone(), 0u);
    ApiRenderEngine::continueRendering();
    ASSERT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
    expectColour(grab(), px, py, Render::MaterialIdColour(red->uniqueId()));

    // Stopped: the last image stays whatever is edited.
    ApiRenderEngine::stopRendering();
    placement->set(Attrs::Transforms, &away, 1);
    ApiChangeManager::update();
    expectColour(grab(), px, py, Render::MaterialIdColour(red->uniqueId()));
}

TEST_F(RendererTest, EditsWhileRenderingNeverReachTheWorkers) {
    kernel = target->createInternal(89, 25);
    kernel->setPinValue(108, int32_t(1000000));
    std::vector<ApiNode*> placements;
    for (int i = 0; i < 4; ++i) placements.push_back(place(diffuse({0.5f, 0.5f, 0.5f}), {Translation(float(i), 0, 0)}));
    ApiRenderEngine::restartRendering();
    for (int round = 0; round < 40; ++round) {
        // Rewrite, move and delete what the running frame was taken from.
        const float_3 big[] = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}};
        mesh->set(190, big, round % 2 ? 3 : 1);
        const Matrix<float> m = Translation(float(round), 0, 0);
        placements[size_t(round) % placements.size()]->set(Attrs::Transforms, &m, 1);
        if (round % 10 == 5) ApiRenderEngine::restartRendering();
        if (round % 10 == 7) ApiChangeManager::update();
    }
    for (ApiNode* p : placements) p->destroy();
    mesh->destroy();
    EXPECT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
    ApiRenderEngine::restartRendering();
    EXPECT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
}

TEST_F(RendererTest, NothingToShowWithoutARestartAndBadBuffersAreRefused) {
    uint32_t w = 1, h = 1;
    uint64_t samples = 1;
    EXPECT_FALSE(ApiRenderEngine::copyImage(w, h, samples, nullptr, 0));
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(samples, 0u);
    EXPECT_FALSE(ApiRenderEngine::saveImage(""));
    EXPECT_FALSE(ApiRenderEngine::waitForSamples(1, 10));
    ApiRenderEngine::restartRendering();
    ASSERT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
    uint8_t small[16];
    EXPECT_FALSE(ApiRenderEngine::copyImage(w, h, samples, small, sizeof small));
    EXPECT_EQ(w, kWidth);
    EXPECT_FALSE(ApiRenderEngine::saveImage("/nonexistent-folder/picture.png"));
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik

namespace Zarnik {
namespace Engine {
namespace {

class RendererPreviewTest : public CoreTest {};

TEST_F(RendererPreviewTest, TheMaterialShowsOnALitSphereOverTheFloor) {
    ApiNode* material = make(17);
    material->createInternal(30, Types::RgbTexture)->set(Attrs::Value, float_3{0.1f, 0.8f, 0.1f});
    const uint32_t size = 256;
    std::vector<uint8_t> pixels(size * size * 4, 7);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ApiRenderEngine::previewMaterial(material, size, size, 100, 1.0f, ApiRenderEngine::PREVIEW_SPHERE,
                                                 pixels.data()));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("preview of %u x %u: %.3f s\n", size, size, seconds);
    auto at = [&](uint32_t x, uint32_t y) { return &pixels[(size_t(y) * size + x) * 4]; };
    const uint8_t* centre = at(size / 2, size / 2);
    EXPECT_GT(centre[1], centre[0] + 40);
    EXPECT_GT(centre[1], centre[2] + 40);
    // The sun stands to the upper left behind the viewer: the sphere is lit there and dark
    // at the lower right, and it is round: the corners show the floor, not the material.
    EXPECT_GT(at(size / 4 + 16, size / 4 + 16)[1], at(size * 3 / 4 - 12, size * 3 / 4 - 12)[1] + 30);
    // (Grey up to the little green light the sphere throws on the floor.)
    for (const uint8_t* corner : {at(0, 0), at(size - 1, 0), at(0, size - 1)}) {
        EXPECT_NEAR(corner[0], corner[1], 24);
        EXPECT_NEAR(corner[1], corner[2], 24);
    }
    if (const char* keep = std::getenv("ZARNIK_KEEP_PREVIEW")) {
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        image.width = image.height = size;
        image.format = PNG_FORMAT_RGBA;
        png_image_write_to_file(&image, keep, 0, pixels.data(), 0, nullptr);
    }
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
