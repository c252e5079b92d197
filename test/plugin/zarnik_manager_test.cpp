#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "utils/matrix.h"
#include "zarnik.h"
#include "zarnik/zarnik_manager.h"
#include "zarnik/zarnik_manager_ext.h"
#include "zarnik/zarnik_window.h"

namespace Zarnik {
namespace {

constexpr NodeType kMesh = 1;
constexpr NodeType kGeometryGroup = 3;
constexpr NodeType kRenderTarget = 56;
constexpr PinId kCameraPin = 19;
constexpr PinId kGeometryPin = 111;
constexpr PinId kCameraPosition = 133;

// ---- Pure pieces --------------------------------------------------------------------------

TEST(WindowPlacementTest, FindsTheCommentOnItsOwnLine) {
  using ZarnikWindow::FindWindowPlacement;
  EXPECT_EQ(FindWindowPlacement("<workspace/>\n<!-- Zarnik Window {120,80,1400,900} -->\n"), "{120,80,1400,900}");
  EXPECT_EQ(FindWindowPlacement("<a/><!-- Zarnik Window {1,2,3,4} -->\r\n"), "{1,2,3,4}");
  EXPECT_EQ(FindWindowPlacement("<workspace/>\n"), "");
  EXPECT_EQ(FindWindowPlacement(""), "");
  // The capture needs at least one character and ends at the last " -->" of its line.
  EXPECT_EQ(FindWindowPlacement("<!-- Zarnik Window  -->"), "");
  EXPECT_EQ(FindWindowPlacement("<!-- Zarnik Window a --> b -->"), "a --> b");
  // A marker whose line has no end is passed over for a later, complete one.
  EXPECT_EQ(FindWindowPlacement("<!-- Zarnik Window {9}\n<!-- Zarnik Window {5,6,7,8} -->"), "{5,6,7,8}");
  // A huge unterminated line is searched without exhausting anything.
  const std::string long_line = "<!-- Zarnik Window " + std::string(4 << 20, '{');
  EXPECT_EQ(FindWindowPlacement(long_line), "");
}

// Each element on a line of its own, indented one blank per level below the root.
TEST(DefaultLayoutTest, IsAnIndentedWorkspaceDocument) {
  const std::string& layout = ZarnikWindow::DefaultLayout();
  std::istringstream lines(layout);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "<?xml version =\"1.0\" encoding=\"utf-8\"?>");

  int depth = 0;
  std::vector<std::string> plugin_ids, sizes, toolbars;
  while (std::getline(lines, line)) {
    const std::size_t indent = line.find_first_not_of(' ');
    ASSERT_NE(indent, std::string::npos);
    const std::string element = line.substr(indent);
    const bool closing = element.compare(0, 2, "</") == 0;
    const bool self_contained = !closing && (element.find("</") != std::string::npos ||
                                             element.compare(element.size() - 2, 2, "/>") == 0);
    if (closing) --depth;
    EXPECT_EQ(static_cast<int>(indent), depth) << line;
    if (!closing && !self_contained) ++depth;

    auto value_of = [&](const std::string& tag) {
      const std::string open = "<" + tag + ">";
      return element.compare(0, open.size(), open) == 0
                 ? element.substr(open.size(), element.size() - open.size() * 2 - 1)
                 : std::string("\x01");
    };
    if (value_of("pluginId") != "\x01") plugin_ids.push_back(value_of("pluginId"));
    if (value_of("relativeSize") != "\x01") sizes.push_back(value_of("relativeSize"));
    if (value_of("toolbarItems") != "\x01") toolbars.push_back(value_of("toolbarItems"));
  }
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(plugin_ids, (std::vector<std::string>{"79", "80", "77", "78"}));
  EXPECT_EQ(sizes, (std::vector<std::string>{"0.2", "0.5", "0.6", "0.4", "0.3"}));
  ASSERT_EQ(toolbars.size(), 4u);
  EXPECT_EQ(toolbars[0], "61 60 ");
  EXPECT_EQ(toolbars[2], "62 -1 63 64 -1 112 113 ");
  EXPECT_EQ(toolbars[3], "48 59 ");
  EXPECT_NE(layout.find(" <zarnikVersion>3060101</zarnikVersion>\n"), std::string::npos);
  EXPECT_NE(layout.find(" <undockedPanes/>\n</workspace>"), std::string::npos);
}

TEST(HostConversionTest, InchesZUpBecomeMetresYUp) {
  using ZarnikManagerExt::HostDirectionToEngine;
  using ZarnikManagerExt::HostPointToEngine;
  EXPECT_EQ(HostPointToEngine(39.3701f, 0, 0), (Vec3<float>{1, 0, 0}));
  EXPECT_EQ(HostPointToEngine(0, 39.3701f, 0), (Vec3<float>{0, 0, -1}));
  EXPECT_EQ(HostPointToEngine(0, 0, 78.7402f), (Vec3<float>{0, 2, 0}));
  // Directions turn but keep their length.
  EXPECT_EQ(HostDirectionToEngine(0, 0, 1), (Vec3<float>{0, 1, 0}));
  EXPECT_EQ(HostDirectionToEngine(3, 2, 0), (Vec3<float>{3, 0, -2}));
}

// ---- With the engine ----------------------------------------------------------------------

class RenderManagerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* error = nullptr;
    started_ = apiMode_Shared_start("ZARNIKSU", false, &error, nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    if (!started_) return;
    ZarnikWindow::CloseWindow();
    apiMode_Shared_exit(nullptr);
    started_ = false;
  }
  void SetUp() override {
    ASSERT_TRUE(started_);
    ZarnikWindow::ResetScene();
  }

  static ApiRootNodeGraph& Root() { return ApiProjectManager::rootNodeGraph(); }

  static std::vector<ApiNode*> RootNodes(NodeType type) {
    ApiNodeArray found;
    Root().findNodes(type, found);
    return std::vector<ApiNode*>(found.nodes(), found.nodes() + found.size());
  }

  static bool Alive(uint64_t id) {
    for (ApiNode* node : RootNodes(kRenderTarget))
      if (node->uniqueId() == id) return true;
    return false;
  }

  // A free graph holding the scene text, or empty when it does not import.
  static std::shared_ptr<ApiRootNodeGraph> Import(const std::string& text) {
    std::shared_ptr<ApiRootNodeGraph> graph(ApiRootNodeGraph::create(3080500), [](ApiRootNodeGraph* g) {
      if (g) g->destroy();
    });
    int32_t version = 0;
    if (!graph || !graph->import(text.data(), text.size(), nullptr, &version)) return nullptr;
    return graph;
  }

  static bool started_;
};
bool RenderManagerTest::started_ = false;

TEST_F(RenderManagerTest, GeometryGroupReachesEveryRenderTarget) {
  ApiNode* default_view = ZarnikManager::RenderTarget();
  ASSERT_NE(default_view, nullptr);
  EXPECT_STREQ(default_view->name(), "Default View");
  EXPECT_EQ(default_view->uiOperationFlags(), 4u);
  EXPECT_EQ(ApiRenderEngine::getRenderTargetNode(), default_view);

  ApiNode* other = ApiNode::create(kRenderTarget, Root(), true);
  EXPECT_EQ(ZarnikManager::AdoptRenderTarget("A page", other), nullptr);
  EXPECT_EQ(ZarnikManager::RenderTarget(), other);

  ZarnikManager::InitGeometryGroup();
  ApiNode* group = ZarnikManager::GeometryGroup();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->type(), kGeometryGroup);
  EXPECT_EQ(default_view->connectedNode(kGeometryPin), group);
  EXPECT_EQ(other->connectedNode(kGeometryPin), group);
  ZarnikManager::InitGeometryGroup();
  EXPECT_EQ(ZarnikManager::GeometryGroup(), group);
  EXPECT_EQ(RootNodes(kGeometryGroup).size(), 1u);
}

TEST_F(RenderManagerTest, ResetKeepsOneDefaultViewAndDropsForeignNodes) {
  ZarnikManager::InitGeometryGroup();
  ApiNode::create(kMesh, Root(), true);
  ApiNode::create(kRenderTarget, Root(), true);
  ApiNodeGraph* nested = ApiNodeGraph::create(GraphKind::Standard, Root());
  ASSERT_NE(nested, nullptr);

  ZarnikWindow::ResetScene();

  const std::vector<ApiNode*> targets = RootNodes(kRenderTarget);
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(targets[0], ZarnikManager::RenderTarget());
  EXPECT_STREQ(targets[0]->name(), "Default View");
  EXPECT_EQ(ZarnikManager::RenderTargets().size(), 1u);
  EXPECT_TRUE(RootNodes(kMesh).empty());
  EXPECT_TRUE(RootNodes(kGeometryGroup).empty());
  EXPECT_EQ(ZarnikManager::GeometryGroup(), nullptr) << "the group went with the scene";
  ApiItemArray items;
  Root().getOwnedItems(items);
  bool nested_kept = false;
  for (std::size_t i = 0; i < items.size(); ++i) nested_kept = nested_kept || items[i] == nested;
  EXPECT_TRUE(nested_kept) << "graphs are not nodes and stay";
}

TEST_F(RenderManagerTest, ExportedRenderTargetCarriesNoGeometry) {
  ZarnikManager::InitGeometryGroup();
  ApiNode* mesh = ApiNode::create(kMesh, Root(), true);
  ApiNode* group = ZarnikManager::GeometryGroup();
  ASSERT_NE(group, nullptr);
  group->set(113, int32_t(1));
  ASSERT_TRUE(group->connectToIx(0, mesh, true, false));

  const std::string xml = ZarnikManager::GetRenderTargetXml("Default View");
  const auto graph = Import(xml);
  ASSERT_NE(graph, nullptr) << xml;
  ApiItemArray items;
  graph->getOwnedItems(items);
  ASSERT_EQ(items.size(), 1u);
  ApiNode* target = items[0]->toNode();
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(target->type(), kRenderTarget);
  EXPECT_EQ(target->connectedNode(kGeometryPin), nullptr);
  ApiNode* camera = target->connectedNode(kCameraPin);
  ASSERT_NE(camera, nullptr);
  EXPECT_TRUE(camera->pinOwned());

  // A page without a render target exports the engine's current one.
  EXPECT_EQ(ZarnikManager::GetRenderTargetXml("No such page"), xml);
}

TEST_F(RenderManagerTest, ImportedRenderTargetKeepsTheHostGeometryOnly) {
  ZarnikManager::InitGeometryGroup();
  ApiNode* group = ZarnikManager::GeometryGroup();

  // Stored text whose render target carries a mesh of its own in the geometry pin.
  auto stored = Import(ZarnikManager::GetRenderTargetXml("Default View"));
  ASSERT_NE(stored, nullptr);
  ApiNodeArray found;
  stored->findNodes(kRenderTarget, found);
  ASSERT_EQ(found.size(), 1u);
  ApiNode* stored_mesh = ApiNode::create(kMesh, *stored, true);
  ASSERT_TRUE(found[0]->connectTo(kGeometryPin, stored_mesh, true, false));
  const std::string xml = stored->exportToString(nullptr, true);

  const uint64_t old_default = ZarnikManager::RenderTarget()->uniqueId();
  ZarnikManager::SetRenderTargetXml("Page 2", xml);
  ApiNode* page2 = ZarnikManager::FindRenderTarget("Page 2");
  ASSERT_NE(page2, nullptr);
  EXPECT_EQ(ZarnikManager::CurrentPage(), "Page 2");
  EXPECT_STREQ(page2->name(), "Page 2");
  EXPECT_EQ(page2->uiOperationFlags(), 4u);
  EXPECT_EQ(page2->connectedNode(kGeometryPin), group);
  EXPECT_TRUE(RootNodes(kMesh).empty()) << "the stored mesh is not carried over";
  EXPECT_TRUE(Alive(old_default));

  // "Default View" is read afresh and its old render target goes; the engine never keeps
  // rendering a destroyed node.
  ZarnikManager::SetRenderTargetXml("Default View", xml);
  ApiNode* default_view = ZarnikManager::FindRenderTarget("Default View");
  ASSERT_NE(default_view, nullptr);
  EXPECT_NE(default_view->uniqueId(), old_default);
  EXPECT_FALSE(Alive(old_default));
  EXPECT_EQ(default_view->connectedNode(kGeometryPin), group);
  EXPECT_EQ(RootNodes(kRenderTarget).size(), 2u);
  EXPECT_EQ(ApiRenderEngine::getRenderTargetNode(), default_view);
}

TEST_F(RenderManagerTest, ClosingAndShowingTheWindowRestoresItsPlace) {
  EXPECT_EQ(ZarnikWindow::GetLayout(), "");
  ZarnikWindow::ShowWindow(0);
  ApiMainWindow* window = ZarnikWindow::MainWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(ZarnikManager::GetRenderState(), ZarnikManager::Running);

  SetExtent(window, Box(100, 50, 1200, 800));
  ZarnikWindow::CloseWindow();
  EXPECT_EQ(ZarnikWindow::MainWindow(), nullptr);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(ZarnikManager::GetRenderState(), ZarnikManager::Stopped);
  EXPECT_EQ(ZarnikWindow::FindWindowPlacement(ZarnikWindow::CurrentLayout()), "{100,50,1200,800}");
  EXPECT_EQ(ZarnikWindow::GetLayout(), "");

  // Moved while closed; showing it again puts it back where it was.
  SetExtent(window, Box(5, 5, 640, 480));
  ZarnikWindow::ShowWindow(0);
  EXPECT_EQ(ZarnikWindow::MainWindow(), window);
  EXPECT_EQ(GetExtent(window), Box(100, 50, 1200, 800));

  // The built-in layout loads, and the window stays where it is.
  ZarnikWindow::SetLayout("");
  EXPECT_EQ(ZarnikWindow::CurrentLayout(), ZarnikWindow::DefaultLayout());
  EXPECT_TRUE(ApiProjectWorkspace::loadLayout(ZarnikWindow::DefaultLayout().c_str()));
  EXPECT_EQ(GetExtent(window), Box(100, 50, 1200, 800));
  ZarnikWindow::CloseWindow();
}

}  // namespace
}  // namespace Zarnik
