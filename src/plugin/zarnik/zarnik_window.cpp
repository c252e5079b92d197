#include "zarnik/zarnik_window.h"

#include <glog/logging.h>

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "application/logger.h"
#include "materials/mat_manager.h"
#include "materials/texture_tracker.h"
#include "sketchup/proxy_manager.h"
#include "sketchup/su_manager.h"
#include "utils/matrix.h"
#include "utils/strings.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace ZarnikWindow {

namespace {

constexpr NodeType kRenderTargetType = 56;
constexpr PinId kGeometryPin = 111;
// Share of the editor's size at which the sandbox graph's centre is placed.
constexpr float kRecenterShare = 0.4f;

const char* const kWindowCommentStart = "<!-- Zarnik Window ";
const char* const kWindowCommentEnd = " -->";

// The pane plug-in ids and toolbar item numbers are the engine's own; they pass through.
const char* const kDefaultLayoutXml =
    "<?xml version =\"1.0\" encoding=\"utf-8\"?>\n"
    "<workspace>\n"
    " <zarnikVersion>3060101</zarnikVersion>\n"
    " <layoutGrid>\n"
    "  <gridType>3</gridType>\n"
    "  <isHorizontal>true</isHorizontal>\n"
    "  <children>\n"
    "   <child>\n"
    "    <relativeSize>0.2</relativeSize>\n"
    "    <childData>\n"
    "     <gridType>1</gridType>\n"
    "     <workPane>\n"
    "      <pluginId>79</pluginId>\n"
    "      <toolbarPlacement>1</toolbarPlacement>\n"
    "      <toolbarItems>61 60 </toolbarItems>\n"
    "     </workPane>\n"
    "    </childData>\n"
    "   </child>\n"
    "   <child>\n"
    "    <relativeSize>0.5</relativeSize>\n"
    "    <childData>\n"
    "     <gridType>3</gridType>\n"
    "     <isHorizontal>false</isHorizontal>\n"
    "     <children>\n"
    "      <child>\n"
    "       <relativeSize>0.6</relativeSize>\n"
    "       <childData>\n"
    "        <gridType>1</gridType>\n"
    "        <workPane>\n"
    "         <pluginId>80</pluginId>\n"
    "         <toolbarPlacement>4</toolbarPlacement>\n"
    "         <toolbarItems>69 44 45 -1 -2 36 37 -2 -1 38 47 -1 34 -1 32 43 30 31 33 46 111 -1 73 74 -1 "
    "75 -1 39 40 41 42 -1 35 </toolbarItems>\n"
    "        </workPane>\n"
    "       </childData>\n"
    "      </child>\n"
    "      <child>\n"
    "       <relativeSize>0.4</relativeSize>\n"
    "       <childData>\n"
    "        <gridType>1</gridType>\n"
    "        <workPane>\n"
    "         <pluginId>77</pluginId>\n"
    "         <toolbarPlacement>1</toolbarPlacement>\n"
    "         <toolbarItems>62 -1 63 64 -1 112 113 </toolbarItems>\n"
    "        </workPane>\n"
    "       </childData>\n"
    "      </child>\n"
    "     </children>\n"
    "    </childData>\n"
    "   </child>\n"
    "   <child>\n"
    "    <relativeSize>0.3</relativeSize>\n"
    "    <childData>\n"
    "     <gridType>1</gridType>\n"
    "     <workPane>\n"
    "      <pluginId>78</pluginId>\n"
    "      <toolbarPlacement>1</toolbarPlacement>\n"
    "      <toolbarItems>48 59 </toolbarItems>\n"
    "     </workPane>\n"
    "    </childData>\n"
    "   </child>\n"
    "  </children>\n"
    " </layoutGrid>\n"
    " <undockedPanes/>\n"
    "</workspace>\n";

ApiMainWindow* main_window = nullptr;
std::string current_layout_xml;
bool suspend_recenter = false;
std::shared_ptr<ApiNodeGraph> sandbox;
ApiNodeGraphEditor* sandbox_editor = nullptr;

bool IsEditorOfWorkspace(const ApiNodeGraphEditor* editor) {
  if (!editor) return false;
  for (ApiNodeGraphEditor* candidate : ApiProjectWorkspace::getNodeGraphEditors()) {
    if (candidate == editor) return true;
  }
  return false;
}

// Runs a window operation that the engine calls back into; nothing may escape into the
// engine's frames.
template <class Fn>
void Shielded(const char* what, Fn&& fn) noexcept {
  try {
    fn();
  } catch (const std::exception& e) {
    LOG(ERROR) << what << " failed: " << e.what();
  } catch (...) {
    LOG(ERROR) << what << " failed";
  }
}

}  // namespace

const std::string& DefaultLayout() {
  static const std::string layout(kDefaultLayoutXml);
  return layout;
}

const std::string& CurrentLayout() { return current_layout_xml; }

// The comment is matched as "<!-- Zarnik Window (.+) -->" would match it within one line:
// the capture runs from the marker to the last " -->" of that line. It is found by plain
// searching rather than a regular expression, whose backtracking matcher recurses once per
// character and could exhaust the stack on a long line of stored text.
std::string FindWindowPlacement(const std::string& layout) {
  const std::string start(kWindowCommentStart);
  const std::string end(kWindowCommentEnd);
  std::size_t from = 0;
  while ((from = layout.find(start, from)) != std::string::npos) {
    const std::size_t capture = from + start.size();
    std::size_t line_end = layout.find_first_of("\r\n", capture);
    if (line_end == std::string::npos) line_end = layout.size();
    const std::string rest = layout.substr(capture, line_end - capture);
    const std::size_t close = rest.rfind(end);
    if (close != std::string::npos && close > 0) return rest.substr(0, close);
    from += 1;
  }
  return std::string();
}

ApiMainWindow* MainWindow() { return main_window; }

ApiNodeGraph* Sandbox() { return sandbox.get(); }

void SetSandbox(std::shared_ptr<ApiNodeGraph> graph) { sandbox = std::move(graph); }

void SetSuspendRecenter(bool suspend) { suspend_recenter = suspend; }

bool RecenterSuspended() { return suspend_recenter; }

ApiNodeGraphEditor* GetSandboxEditor() {
  if (main_window && IsEditorOfWorkspace(sandbox_editor)) return sandbox_editor;
  sandbox_editor = nullptr;
  return nullptr;
}

void ShowWindow(int /*mode*/) {
  if (main_window) {
    if (!main_window->isVisible()) main_window->show();
    return;
  }

  ZarnikManager::UpdateWatch(false);
  main_window = ApiMainWindow::fetchOrCreateInstance(OnCloseWindow, nullptr);
  if (!main_window) {
    LOG(ERROR) << "The render window could not be created";
    ZarnikManager::UpdateWatch(true);
    return;
  }
  CreateSandbox();
  if (sandbox) main_window->setDefaultGraph(sandbox.get());
  UseCurrentLayout();

  const ApiArray<ApiNodeGraphEditor*> editors = ApiProjectWorkspace::getNodeGraphEditors();
  if (!editors.empty()) {
    sandbox_editor = editors[0];
    if (sandbox) sandbox_editor->setContentGraph(sandbox.get());
  }

  ZarnikManager::SetRenderState(ZarnikManager::Running);
  main_window->show();
  ZarnikManager::UpdateWatch(true);
  Recenter();
}

void CloseWindow() {
  SaveCurrentLayout();
  // The registries must not keep link nodes that go with the sandbox.
  DropSandboxLinks();
  sandbox.reset();
  if (main_window) {
    main_window->hide();
    main_window = nullptr;
  }
  ZarnikManager::SetRenderState(ZarnikManager::Stopped);
}

void OnCloseWindow(void* /*user_data*/) {
  Shielded("Closing the render window", [] {
    main_window = nullptr;
    ZarnikManager::SetRenderState(ZarnikManager::Stopped);
  });
}

bool CheckWindow() {
  if (main_window && main_window->isVisible() && sandbox) return true;
  main_window = nullptr;
  return false;
}

std::string GetLayout() {
  if (!main_window) return std::string();
  const char* layout = ApiProjectWorkspace::serializeLayout();
  return layout ? std::string(layout) : std::string();
}

void SetLayout(const std::string& layout) {
  current_layout_xml = layout;
  UseCurrentLayout();
}

void SaveCurrentLayout() {
  if (!main_window) return;
  std::string layout = GetLayout();
  if (!layout.empty() && layout.back() != '\n') layout += '\n';
  layout += kWindowCommentStart;
  layout += GetExtent(main_window).Str();
  layout += kWindowCommentEnd;
  layout += '\n';
  current_layout_xml = std::move(layout);
}

void UseCurrentLayout() {
  if (!main_window) return;
  if (current_layout_xml.empty()) current_layout_xml = DefaultLayout();
  if (!ApiProjectWorkspace::loadLayout(current_layout_xml.c_str())) {
    LOG(ERROR) << "The render window's layout could not be loaded";
  }
  const std::string placement = FindWindowPlacement(current_layout_xml);
  if (!placement.empty()) SetExtent(main_window, Box(placement));
}

void Recenter() {
  if (!main_window) return;
  ApiNodeGraphEditor* editor = GetSandboxEditor();
  if (!editor || !sandbox || suspend_recenter) return;
  const Box extent = GetExtent(editor);
  sandbox->recenter(kRecenterShare * extent.width, kRecenterShare * extent.height);
}

void ResetScene() {
  ZarnikManager::CreateRenderTarget();
  // Dropping the host geometry also makes the render manager forget its geometry group,
  // which goes with the other nodes below.
  SketchupManager::FlushGeometryLocal();
  MaterialManager::CleanMaterials();

  ApiRootNodeGraph& root = ApiProjectManager::rootNodeGraph();
  {
    ApiItemArray items;
    root.getOwnedItems(items);
    for (std::size_t i = 0; i < items.size(); ++i) {
      ApiItem* item = items[i];
      ApiNode* node = item ? item->toNode() : nullptr;
      if (!node || node->type() != kRenderTargetType) continue;
      if (ZarnikManager::IsRenderTarget(node)) {
        node->connectTo(kGeometryPin, nullptr, true, false);
        node->configureEmptyPins();
      } else {
        node->destroy();
      }
    }
  }
  {
    // Everything else that is a node goes, except proxy nodes: their records own them.
    ApiItemArray items;
    root.getOwnedItems(items);
    for (std::size_t i = 0; i < items.size(); ++i) {
      ApiItem* item = items[i];
      ApiNode* node = item ? item->toNode() : nullptr;
      if (!node || ZarnikManager::IsRenderTarget(node) || !ProxyManager::FindProxy(node).empty()) continue;
      node->destroy();
    }
  }
  {
    // Proxy nodes go through the cache, so that no record is left with a dead node.
    ApiItemArray items;
    root.getOwnedItems(items);
    std::vector<std::string> proxy_paths;
    for (std::size_t i = 0; i < items.size(); ++i) {
      ApiItem* item = items[i];
      ApiNode* node = item ? item->toNode() : nullptr;
      if (!node || ZarnikManager::IsRenderTarget(node)) continue;
      std::string path = ProxyManager::FindProxy(node);
      if (!path.empty()) proxy_paths.push_back(std::move(path));
    }
    for (const std::string& path : proxy_paths) ProxyManager::DropProxy(path);
  }

  DropSandboxLinks();
  TextureTracker::Clear();
  if (sandbox) sandbox->clear();
  Strings::CleanUpAllFolders();
}

}  // namespace ZarnikWindow
}  // namespace Zarnik
