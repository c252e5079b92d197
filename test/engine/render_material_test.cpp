// Materials and textures as the path tracer shows them. A square fills an orthographic view
// under a plain white environment: a diffuse surface facing the camera then shows exactly its
// albedo, whatever the bounce, so these pictures carry no noise.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "core_fixture.h"
#include "render/scene.h"

namespace Zarnik {
namespace Engine {
namespace {

constexpr uint32_t kSize = 64;
struct Rgb {
    uint8_t r, g, b, a;
};
const Rgb kRed{255, 0, 0, 255}, kGreen{0, 255, 0, 255}, kBlue{0, 0, 255, 255}, kWhite{255, 255, 255, 255};

// An 8 x 8 image in four solid quadrants, rows top to bottom.
std::vector<uint8_t> Quadrants(Rgb topLeft, Rgb topRight, Rgb bottomLeft, Rgb bottomRight) {
    std::vector<uint8_t> rgba;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const Rgb c = y < 4 ? (x < 4 ? topLeft : topRight) : (x < 4 ? bottomLeft : bottomRight);
            rgba.insert(rgba.end(), {c.r, c.g, c.b, c.a});
        }
    return rgba;
}

class MaterialRenderTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        const RenderSetup setup = makeRenderTarget(int32_t(kSize), int32_t(kSize));
        target = setup.target;
        group = setup.group;
        ApiNode* camera = setup.camera;
        camera->setPinValue(127, true);
        camera->setPinValue(209, 2.0f);     // the view spans -1..1 in x and y
        kernel = target->createInternal(89, 25);
        kernel->setPinValue(108, int32_t(1));
        ApiNode* env = target->createInternal(43, Types::TextureEnvironment);
        env->createInternal(240, Types::RgbTexture)->set(Attrs::Value, float_3{1, 1, 1});
    }

    void TearDown() override {
        for (const std::string& file : files) std::remove(file.c_str());
        CoreTest::TearDown();
    }

    std::string writePng(const char* name, const std::vector<uint8_t>& rgba) {
        const std::string path = tempPath(name);
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        image.width = image.height = 8;
        image.format = PNG_FORMAT_RGBA;
        EXPECT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr));
        return path;
    }

    // 16 x 16, each quadrant one block, without chroma subsampling, so it decodes near-exact.
    std::string writeJpeg(const char* name, const std::vector<uint8_t>& rgba8) {
        const std::string path = tempPath(name);
        FILE* out = std::fopen(path.c_str(), "wb");
        EXPECT_TRUE(out);
        if (!out) return path;
        jpeg_compress_struct info;
        jpeg_error_mgr error;
        info.err = jpeg_std_error(&error);
        jpeg_create_compress(&info);
        jpeg_stdio_dest(&info, out);
        info.image_width = info.image_height = 16;
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 100, TRUE);
        for (int c = 0; c < 3; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
        jpeg_start_compress(&info, TRUE);
        std::vector<uint8_t> row(16 * 3);
        for (uint32_t y = 0; y < 16; ++y) {
            for (uint32_t x = 0; x < 16; ++x) std::memcpy(&row[x * 3], &rgba8[((y / 2) * 8 + x / 2) * 4], 3);
            JSAMPROW rows[1] = {row.data()};
            jpeg_write_scanlines(&info, rows, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);
        std::fclose(out);
        return path;
    }

    std::string tempPath(const char* name) {
        const char* dir = std::getenv("TMPDIR");
        std::string path = std::string(dir && *dir ? dir : "/tmp") + "/zk-material-" + std::to_string(::getpid()) + "-" + name;
        files.push_back(path);
        return path;
    }

    ApiNode* diffuse(float_3 colour) {
        ApiNode* m = make(17);
        m->createInternal(30, Types::RgbTexture)->set(Attrs::Value, colour);
        return m;
    }

    ApiNode* imageTexture(ApiNode* material, PinId pin, NodeType type, const std::string& path) {
        ApiNode* image = material->createInternal(pin, type);
        image->set(Attrs::Filename, path.c_str(), false);
        return image;
    }

    // A square of side 2 * half about (0, 0, z), with texture coordinates 0..1 from its lower
    // left corner; facing +z, or -z when flipped.
    void square(ApiNode* material, float half, float z, bool flipped = false) {
        ApiNode* mesh = make(Types::Mesh);
        const float_3 vertices[] = {{-half, -half, z}, {half, -half, z}, {half, half, z}, {-half, half, z}};
        const float_3 uvs[] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
        const int32_t front[] = {0, 1, 2, 3}, back[] = {0, 3, 2, 1};
        const int32_t perPoly[] = {4}, slots[] = {0};
        const char* names[] = {"slot"};
        mesh->set(190, vertices, 4);
        mesh->set(120, flipped ? back : front, 4);
        mesh->set(184, uvs, 4);
        mesh->set(119, flipped ? back : front, 4);
        mesh->set(189, perPoly, 1);
        mesh->set(114, slots, 1);
        mesh->set(Attrs::MaterialNames, names, 1);
        mesh->connectToIx(0, material);
        const int32_t count = group->getInt(Attrs::InputCount);
        group->set(Attrs::InputCount, count + 1);
        group->connectToIx(uint32_t(count), mesh);
    }

    struct Image {
        std::vector<uint8_t> rgba;
        const uint8_t* at(uint32_t x, uint32_t y) const { return &rgba[(size_t(y) * kSize + x) * 4]; }
    };

    static Image render() {
        ApiRenderEngine::restartRendering();
        EXPECT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
        Image image;
        uint32_t w = 0, h = 0;
        uint64_t samples = 0;
        image.rgba.resize(kSize * kSize * 4);
        EXPECT_TRUE(ApiRenderEngine::copyImage(w, h, samples, image.rgba.data(), image.rgba.size()));
        return image;
    }

    // The pixel where a point of the view plane (x, y in -1..1) lands.
    static const uint8_t* pixel(const Image& image, float x, float y) {
        return image.at(uint32_t((x + 1) * 0.5f * kSize), uint32_t((1 - y) * 0.5f * kSize));
    }

    static void expectColour(const Image& image, float x, float y, Rgb c, int tolerance = 1) {
        const uint8_t* p = pixel(image, x, y);
        EXPECT_NEAR(p[0], c.r, tolerance) << "at " << x << "," << y;
        EXPECT_NEAR(p[1], c.g, tolerance) << "at " << x << "," << y;
        EXPECT_NEAR(p[2], c.b, tolerance) << "at " << x << "," << y;
    }

    static void expectQuadrants(const Image& image, Rgb topLeft, Rgb topRight, Rgb bottomLeft, Rgb bottomRight,
                                int tolerance = 1) {
        expectColour(image, -0.5f, 0.5f, topLeft, tolerance);
        expectColour(image, 0.5f, 0.5f, topRight, tolerance);
        expectColour(image, -0.5f, -0.5f, bottomLeft, tolerance);
        expectColour(image, 0.5f, -0.5f, bottomRight, tolerance);
    }

    ApiNode* target = nullptr;
    ApiNode* kernel = nullptr;
    ApiNode* group = nullptr;
    std::vector<std::string> files;
};

TEST_F(MaterialRenderTest, ImageTexturesShowTheirCornersWhereTheTextureCoordinatesPutThem) {
    const std::vector<uint8_t> pixels = Quadrants(kRed, kGreen, kBlue, kWhite);
    ApiNode* material = make(17);
    ApiNode* image = imageTexture(material, 30, Types::ImageTexture, writePng("corners.png", pixels));
    square(material, 1.0f, 0);
    expectQuadrants(render(), kRed, kGreen, kBlue, kWhite);

    // Shifting the texture coordinates by half the image swaps left and right.
    Matrix<float> shift = Matrix<float>::identity();
    shift.m[0][3] = 0.5f;
    image->setPinValue(243, shift);
    expectQuadrants(render(), kGreen, kRed, kWhite, kBlue);

    // The same picture from a JPEG file.
    image->set(Attrs::Filename, writeJpeg("corners.jpg", pixels).c_str(), false);
    image->setPinValue(243, Matrix<float>::identity());
    expectQuadrants(render(), kRed, kGreen, kBlue, kWhite, 4);

    // A file that cannot be read shows in a colour nobody takes for the texture; a damaged
    // JPEG as well, rather than the JPEG library ending the host.
    const Rgb magenta{255, 0, 255, 255};
    image->set(Attrs::Filename, tempPath("missing.png").c_str(), false);
    expectQuadrants(render(), magenta, magenta, magenta, magenta);
    const std::string damaged = tempPath("damaged.jpg");
    FILE* out = std::fopen(damaged.c_str(), "wb");
    ASSERT_TRUE(out);
    std::fputs("\xFF\xD8\xFF\xC0 not a picture at all", out);
    std::fclose(out);
    image->set(Attrs::Filename, damaged.c_str(), false);
    expectQuadrants(render(), magenta, magenta, magenta, magenta);
}

TEST_F(MaterialRenderTest, ACutOutShowsWhatIsBehindWhereItsAlphaIsZero) {
    const Rgb clear{255, 255, 255, 0};
    ApiNode* front = diffuse({1, 0, 0});
    imageTexture(front, 125, Types::AlphaImageTexture, writePng("alpha.png", Quadrants(clear, kWhite, clear, kWhite)));
    ApiNode* back = diffuse({0, 1, 0});
    square(front, 1.0f, 0);
    square(back, 3.0f, -1.0f);
    // The info channel shows which material each pixel sees, exactly.
    ApiNode* info = target->createInternal(89, 26);
    info->setPinValue(81, int32_t(4));
    const Image ids = render();
    auto idColour = [](ApiNode* m) {
        const Render::V3 c = Render::MaterialIdColour(m->uniqueId());
        return Rgb{uint8_t(c.x * 255 + 0.5f), uint8_t(c.y * 255 + 0.5f), uint8_t(c.z * 255 + 0.5f), 255};
    };
    expectQuadrants(ids, idColour(back), idColour(front), idColour(back), idColour(front));
    // The path tracer agrees where the cut-out is opaque.
    target->createInternal(89, 25)->setPinValue(108, int32_t(1));
    expectColour(render(), 0.5f, 0.5f, kRed);
}

TEST_F(MaterialRenderTest, AMirrorShowsTheColourOfWhatItFaces) {
    ApiNode* mirror = make(120);
    mirror->createInternal(30, Types::RgbTexture)->set(Attrs::Value, float_3{1, 1, 1});
    mirror->createInternal(222, Types::FloatTexture)->set(Attrs::Value, 0.0f);
    square(mirror, 1.0f, 0);
    // Behind the camera, facing the mirror: camera rays start in front of it.
    square(diffuse({1, 0, 0}), 4.0f, 12.0f, true);
    const Image image = render();
    const uint8_t* p = pixel(image, 0.2f, 0.3f);
    EXPECT_GT(p[0], 230);
    EXPECT_LT(p[1], 3);
    EXPECT_LT(p[2], 3);
}

TEST_F(MaterialRenderTest, AMixShowsItsFirstInputAtAmountZeroAndItsSecondAtOne) {
    ApiNode* mix = make(19);
    mix->connectTo(238, diffuse({1, 0, 0}));
    mix->connectTo(239, diffuse({0, 0, 1}));
    ApiNode* amount = mix->createInternal(237, Types::FloatTexture);
    square(mix, 1.0f, 0);
    amount->set(Attrs::Value, 0.0f);
    expectQuadrants(render(), kRed, kRed, kRed, kRed);
    amount->set(Attrs::Value, 1.0f);
    expectQuadrants(render(), kBlue, kBlue, kBlue, kBlue);
}

TEST_F(MaterialRenderTest, ShadingNormalsFollowTheMeshNormalsAndTurnWithThePlacement) {
    ApiNode* mesh = make(Types::Mesh);
    const float_3 vertices[] = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    const float_3 normals[] = {{0.6f, 0, 0.8f}};
    const int32_t corners[] = {0, 1, 2, 3}, same[] = {0, 0, 0, 0}, perPoly[] = {4}, slots[] = {0};
    const char* names[] = {"slot"};
    mesh->set(190, vertices, 4);
    mesh->set(120, corners, 4);
    mesh->set(80, normals, 1);
    mesh->set(115, same, 4);
    mesh->set(189, perPoly, 1);
    mesh->set(114, slots, 1);
    mesh->set(Attrs::MaterialNames, names, 1);
    Matrix<float> turned{};     // a quarter turn about z: x goes to y
    turned.m[0][1] = -1;
    turned.m[1][0] = 1;
    turned.m[2][2] = 1;
    ApiNode* placement = make(Types::Placement);
    placement->connectTo(Pins::Geometry, mesh);
    placement->set(Attrs::Transforms, &turned, 1);
    group->set(Attrs::InputCount, int32_t(1));
    group->connectToIx(0, placement);
    ApiNode* info = target->createInternal(89, 26);
    info->setPinValue(81, int32_t(1));
    // Shown as n / 2 + 1/2 per channel.
    expectColour(render(), 0.3f, -0.4f, {128, 204, 230, 255});
    info->setPinValue(81, int32_t(0));
    expectColour(render(), 0.3f, -0.4f, {128, 128, 255, 255});
}

TEST_F(MaterialRenderTest, PlacementsCastShadowsAndCutOutsLetTheSunThroughWhereAlphaIsZero) {
    // Only the sun lights a floor seen from straight above; a square hangs over its middle.
    ApiNode* daylight = target->createInternal(43, Types::Daylight);
    daylight->setPinValue(217, float_3{0, 0, 0});
    daylight->setPinValue(331, float_3{0, 0, 0});
    daylight->setPinValue(Pins::SunDirection, float_3{0, 0, 1});
    square(diffuse({0.8f, 0.8f, 0.8f}), 1.0f, 0);
    ApiNode* shade = diffuse({0, 0, 0});
    ApiNode* mesh = make(Types::Mesh);
    const float_3 vertices[] = {{-0.5f, -0.5f, 0}, {0.5f, -0.5f, 0}, {0.5f, 0.5f, 0}, {-0.5f, 0.5f, 0}};
    const float_3 uvs[] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    const int32_t corners[] = {0, 1, 2, 3}, perPoly[] = {4}, slots[] = {0};
    const char* names[] = {"slot"};
    mesh->set(190, vertices, 4);
    mesh->set(120, corners, 4);
    mesh->set(184, uvs, 4);
    mesh->set(119, corners, 4);
    mesh->set(189, perPoly, 1);
    mesh->set(114, slots, 1);
    mesh->set(Attrs::MaterialNames, names, 1);
    mesh->connectToIx(0, shade);
    // Placed twice, raised and turned a quarter about z, so the shadow goes through a
    // transform with a rotation; the second copy lies outside the view.
    Matrix<float> raised{};
    raised.m[0][1] = -1;
    raised.m[1][0] = 1;
    raised.m[2][2] = 1;
    raised.m[2][3] = 0.5f;
    Matrix<float> away = raised;
    away.m[0][3] = 50;
    const Matrix<float> transforms[] = {raised, away};
    ApiNode* placement = make(Types::Placement);
    placement->connectTo(Pins::Geometry, mesh);
    placement->set(Attrs::Transforms, transforms, 2);
    const int32_t count = group->getInt(Attrs::InputCount);
    group->set(Attrs::InputCount, count + 1);
    group->connectToIx(uint32_t(count), placement);
    // The camera sits under the square's plane, looking past it at the floor.
    ApiNode* camera = target->connectedNode(19);
    camera->setPinValue(133, float_3{0, 0, 0.25f});

    const Image opaque = render();
    const uint8_t lit = pixel(opaque, 0.8f, 0.8f)[1];
    EXPECT_GT(lit, 200);
    EXPECT_LT(pixel(opaque, -0.2f, 0.2f)[1], lit / 4);
    EXPECT_LT(pixel(opaque, 0.2f, -0.2f)[1], lit / 4);

    // The square's image is clear on its left half: turned a quarter, that is the lower half
    // of the view.
    const Rgb clear{255, 255, 255, 0};
    imageTexture(shade, 125, Types::AlphaImageTexture, writePng("shadow.png", Quadrants(clear, kWhite, clear, kWhite)));
    const Image cut = render();
    EXPECT_NEAR(pixel(cut, 0.2f, -0.2f)[1], lit, 1);
    EXPECT_LT(pixel(cut, -0.2f, 0.2f)[1], lit / 4);
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
