// Render target and state, material previews, the window and its workspace layout.
#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <cstring>
#include <string>
#include <vector>

#include "core_fixture.h"

namespace Zarnik {
namespace Engine {
namespace {

// A tiny PNG writer (stored deflate blocks), enough to feed the preview a real file.
uint32_t Crc(const std::string& bytes) {
    uint32_t crc = 0xffffffffu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xffffffffu;
}

std::string BigEndian(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

void WriteRgbPng(const std::string& path, uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b) {
    std::string raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw += char(0);
        for (uint32_t x = 0; x < width; ++x) raw += std::string{char(r), char(g), char(b)};
    }
    uint32_t a = 1, s2 = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        s2 = (s2 + a) % 65521;
    }
    const uint16_t len = uint16_t(raw.size());
    std::string zlib = std::string{char(0x78), char(0x01), char(1), char(len & 0xff), char(len >> 8),
                                   char(~len & 0xff), char((~len >> 8) & 0xff)} +
                       raw + BigEndian((s2 << 16) | a);
    auto chunk = [](const std::string& type, const std::string& data) {
        return BigEndian(uint32_t(data.size())) + type + data + BigEndian(Crc(type + data));
    };
    const std::string header = BigEndian(width) + BigEndian(height) + std::string{8, 2, 0, 0, 0};
    std::ofstream out(path, std::ios::binary);
    out << std::string("\x89PNG\r\n\x1a\n", 8) << chunk("IHDR", header) << chunk("IDAT", zlib)
        << chunk("IEND", "");
}

class RenderTest : public CoreTest {
protected:
    std::vector<uint8_t> preview(ApiNode* material, uint32_t size = 64) {
        std::vector<uint8_t> pixels(size * size * 4, 7);
        ok = ApiRenderEngine::previewMaterial(material, size, size, 100, 1.0f, ApiRenderEngine::PREVIEW_SPHERE,
                                              pixels.data());
        return pixels;
    }
    static const uint8_t* at(const std::vector<uint8_t>& pixels, uint32_t size, uint32_t x, uint32_t y) {
        return &pixels[(size_t(y) * size + x) * 4];
    }
    bool ok = false;
};

TEST_F(RenderTest, RenderTargetMustBeALiveRenderTargetNode) {
    ApiNode* target = make(Types::RenderTarget);
    ApiNode* mesh = make(Types::Mesh);
    EXPECT_EQ(ApiRenderEngine::getRenderTargetNode(), nullptr);
    EXPECT_FALSE(ApiRenderEngine::setRenderTargetNode(mesh));
    ASSERT_TRUE(ApiRenderEngine::setRenderTargetNode(target));
    EXPECT_FALSE(ApiRenderEngine::setRenderTargetNode(mesh));
    EXPECT_EQ(ApiRenderEngine::getRenderTargetNode(), target);
    target->destroy();
    EXPECT_EQ(ApiRenderEngine::getRenderTargetNode(), nullptr);
    EXPECT_FALSE(ApiRenderEngine::setRenderTargetNode(target));    // stale pointer
    EXPECT_TRUE(ApiRenderEngine::setRenderTargetNode(nullptr));
}

TEST_F(RenderTest, StateMachine) {
    EXPECT_EQ(Testing::RenderState(), "stopped");
    ApiRenderEngine::continueRendering();
    ApiRenderEngine::pauseRendering();
    EXPECT_EQ(Testing::RenderState(), "stopped");
    ApiRenderEngine::restartRendering();
    EXPECT_EQ(Testing::RenderState(), "running");
    EXPECT_EQ(ApiRenderEngine::restartCount(), 1u);
    ApiRenderEngine::pauseRendering();
    EXPECT_TRUE(ApiRenderEngine::isRenderingPaused());
    ApiRenderEngine::continueRendering();
    EXPECT_EQ(Testing::RenderState(), "running");
    ApiRenderEngine::stopRendering();
    EXPECT_TRUE(ApiRenderEngine::isRenderingStopped());
    ApiRenderEngine::setRenderPriority(ApiRenderEngine::PRIORITY_LOW);
    EXPECT_EQ(ApiRenderEngine::renderPriority(), ApiRenderEngine::PRIORITY_LOW);
}

TEST_F(RenderTest, PreviewShowsTheMaterialColourOnACheckerBackground) {
    ApiNode* material = make(17);
    ASSERT_TRUE(material->setPinValue(30, float_3{1, 0, 0}));
    const uint32_t size = 64;
    std::vector<uint8_t> pixels = preview(material, size);
    ASSERT_TRUE(ok);
    const uint8_t* centre = at(pixels, size, size / 2 - 8, size / 2 - 8);   // towards the light
    EXPECT_GT(centre[0], 150);
    EXPECT_LT(centre[1], 20);
    EXPECT_EQ(centre[3], 255);
    const uint8_t* lit = at(pixels, size, size / 2 - 12, size / 2 - 12);
    const uint8_t* shadow = at(pixels, size, size / 2 + 12, size / 2 + 12);
    EXPECT_GT(lit[0], shadow[0]);
    // The floor behind is a grey checker (up to the light the sphere throws on it): more
    // than one shade of grey along the top.
    std::set<uint8_t> greys;
    for (uint32_t x = 0; x < size; ++x) {
        const uint8_t* floor = at(pixels, size, x, 0);
        EXPECT_NEAR(floor[0], floor[1], 24);
        EXPECT_NEAR(floor[1], floor[2], 24);
        greys.insert(uint8_t(floor[1] / 32));
    }
    EXPECT_GT(greys.size(), 1u);

    // A link passes its material through; other nodes and bad buffers are refused.
    ApiNode* link = make(Types::Link);
    ASSERT_TRUE(link->connectTo(Pins::LinkInput, material));
    preview(link, size);
    EXPECT_TRUE(ok);
    std::vector<uint8_t> untouched = preview(make(Types::RgbTexture), size);
    EXPECT_FALSE(ok);
    EXPECT_EQ(untouched[0], 7);
    EXPECT_FALSE(ApiRenderEngine::previewMaterial(material, 0, 10, 1, 1, 1, pixels.data()));
    EXPECT_FALSE(ApiRenderEngine::previewMaterial(material, 10, 10, 1, 1, 1, nullptr));
    EXPECT_FALSE(ApiRenderEngine::previewMaterial(nullptr, 10, 10, 1, 1, 1, pixels.data()));
}

TEST_F(RenderTest, PreviewOfAnImageTextureShowsTheImage) {
    const std::string path = ::testing::TempDir() + "core_preview_green.png";
    WriteRgbPng(path, 4, 4, 0, 255, 0);
    ApiNode* material = make(16);
    ApiNode* image = material->createInternal(30, Types::ImageTexture);
    ASSERT_TRUE(image->set(Attrs::Filename, path.c_str()));
    const uint32_t size = 32;
    std::vector<uint8_t> pixels = preview(material, size);
    ASSERT_TRUE(ok);
    const uint8_t* centre = at(pixels, size, size / 2 - 4, size / 2 - 4);
    EXPECT_GT(centre[1], 150);
    EXPECT_LT(centre[0], 20);
    // An unreadable file shows the missing-image magenta, so the user sees that it is missing.
    ASSERT_TRUE(image->set(Attrs::Filename, "/no/such/image.png"));
    pixels = preview(material, size);
    centre = at(pixels, size, size / 2 - 4, size / 2 - 4);
    EXPECT_GT(centre[0], 150);
    EXPECT_LT(centre[1], 20);
    EXPECT_GT(centre[2], 150);
    std::remove(path.c_str());
}

struct CloseCount {
    int calls = 0;
    static void Callback(void* userData) { ++static_cast<CloseCount*>(userData)->calls; }
};

class WindowTest : public CoreTest {};

TEST_F(WindowTest, OneHiddenWindowPerProcessAndTheUserClosingIt) {
    EXPECT_FALSE(Testing::WindowVisible());
    CloseCount first, second;
    ApiMainWindow* window = ApiMainWindow::fetchOrCreateInstance(&CloseCount::Callback, &first);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->xPosition(), 100);
    EXPECT_EQ(window->width(), 1280);
    EXPECT_EQ(window->height(), 800);
    EXPECT_EQ(ApiMainWindow::fetchOrCreateInstance(&CloseCount::Callback, &second), window);

    Testing::CloseWindowAsUser();           // hidden: nothing to close
    EXPECT_EQ(second.calls, 0);
    window->show();
    window->setTopLeftPosition(120, 80);
    window->setSize(1400, 900);
    int x, y, w, h;
    Testing::WindowExtent(x, y, w, h);
    EXPECT_EQ(x, 120);
    EXPECT_EQ(h, 900);
    Testing::CloseWindowAsUser();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(first.calls, 0);
    EXPECT_EQ(second.calls, 1);

    ApiNodeGraph* graph = ApiNodeGraph::create(GraphKind::Standard, project());
    window->setDefaultGraph(graph);
    EXPECT_EQ(window->defaultGraph(), graph);
    graph->destroy();
    EXPECT_EQ(window->defaultGraph(), nullptr);
}

TEST_F(WindowTest, LayoutRoundTripAndEditorsPerLoad) {
    ApiArray<ApiNodeGraphEditor*> builtIn = ApiProjectWorkspace::getNodeGraphEditors();
    ASSERT_EQ(builtIn.size(), 1u);
    ApiNodeGraphEditor* stale = builtIn[0];
    EXPECT_EQ(stale->width(), 800);
    EXPECT_EQ(stale->height(), 600);

    const std::string layout =
        "<?xml version=\"1.0\"?>\n<workspace><layoutGrid>"
        "<workPane><pluginId>80</pluginId></workPane>"
        "<workPane><pluginId>77</pluginId></workPane>"
        "<child><workPane pluginId=\"80\"/></child>"
        "</layoutGrid></workspace>";
    ASSERT_TRUE(ApiProjectWorkspace::loadLayout(layout.c_str()));
    ApiArray<ApiNodeGraphEditor*> editors = ApiProjectWorkspace::getNodeGraphEditors();
    ASSERT_EQ(editors.size(), 2u);
    EXPECT_NE(editors[0], stale);
    stale->setSize(10, 10);                         // harmless on a replaced editor
    ApiNodeGraph* graph = ApiNodeGraph::create(GraphKind::Standard, project());
    editors[1]->setContentGraph(graph);
    EXPECT_EQ(editors[1]->contentGraph(), graph);
    EXPECT_EQ(editors[0]->contentGraph(), nullptr);

    // Written back with one-blank indentation; a comment appended by the caller does not
    // come back, so saving and loading again is stable.
    const std::string saved = ApiProjectWorkspace::serializeLayout();
    EXPECT_NE(saved.find("\n <layoutGrid>"), std::string::npos);
    ASSERT_TRUE(ApiProjectWorkspace::loadLayout((saved + "<!-- Zarnik Window {1,2,3,4} -->\n").c_str()));
    EXPECT_EQ(std::string(ApiProjectWorkspace::serializeLayout()), saved);

    EXPECT_FALSE(ApiProjectWorkspace::loadLayout("<other/>"));
    EXPECT_FALSE(ApiProjectWorkspace::loadLayout("<workspace>"));
    EXPECT_FALSE(ApiProjectWorkspace::loadLayout(nullptr));
    EXPECT_EQ(std::string(ApiProjectWorkspace::serializeLayout()), saved);

    ApiProjectWorkspace::resetLayout();
    EXPECT_EQ(ApiProjectWorkspace::getNodeGraphEditors().size(), 1u);
}

// A plug-in may reset the layout in a loop for as long as the host runs: the editors of
// earlier layouts must not pile up, and one of them held since long ago answers as gone.
TEST_F(WindowTest, LayoutsLoadedInALoopDoNotPileUpEditors) {
    ApiNodeGraphEditor* first = ApiProjectWorkspace::getNodeGraphEditors()[0];
    ApiNodeGraph* graph = ApiNodeGraph::create(GraphKind::Standard, project());
    first->setContentGraph(graph);
    ApiProjectWorkspace::resetLayout();
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 20000; ++i) ApiProjectWorkspace::resetLayout();
    const size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + (size_t(1) << 20)) << "heap in use grew by " << (after - before) << " bytes";
    EXPECT_EQ(first->contentGraph(), nullptr);
    EXPECT_EQ(ApiProjectWorkspace::getNodeGraphEditors().size(), 1u);
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
