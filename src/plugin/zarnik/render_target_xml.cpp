// Export and import of a page's render target as engine scene text, so that the Ruby side
// can keep each page's render settings inside the host model.

#include <glog/logging.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "utils/paths.h"
#include "zarnik/node_utils.h"
#include "zarnik/setters/camera.h"
#include "zarnik/setters/environment.h"
#include "zarnik/setters/imager.h"
#include "zarnik/setters/kernel.h"
#include "zarnik/setters/postproc.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace ZarnikManager {

namespace {

constexpr NodeType kRenderTargetType = 56;
constexpr PinId kGeometryPin = 111;
constexpr uint32_t kRenderTargetUiFlags = 4;
// The engine version written into the scene text of a render target.
constexpr int32_t kSceneVersion = 3080500;
const char* const kDefaultPage = "Default View";

using SceneGraph = std::shared_ptr<ApiRootNodeGraph>;

// A free root graph that is destroyed on every way out of its user; empty when the engine
// cannot make one.
SceneGraph NewSceneGraph() {
  ApiRootNodeGraph* graph = ApiRootNodeGraph::create(kSceneVersion);
  if (!graph) return SceneGraph();
  return SceneGraph(graph, [](ApiRootNodeGraph* g) { NodeUtils::DestroyItem(g); });
}

ApiNode* FirstRenderTarget(const ApiNodeGraph& graph) {
  ApiNodeArray targets;
  graph.findNodes(kRenderTargetType, targets);
  return targets.empty() ? nullptr : targets[0];
}

// Geometry and materials belong to the host model, not to a page's render settings: such
// nodes found in an imported render target's pins are never carried over.
const std::set<NodeType>& IrrelevantNodes() {
  static const std::set<NodeType> types = {3, 1, 5, 17, 16, 120, 2, 19, 20, 18, 121};
  return types;
}

// The setters that follow an imported render target, by the pin of the node they configure.
using SetNodeFunction = void (*)(ApiNode*);
const std::map<PinId, SetNodeFunction>& RenderSetters() {
  static const std::map<PinId, SetNodeFunction> setters = {
      {19, CameraSetter::SetNode},   {43, EnvironmentSetter::SetNode}, {78, ImagerSetter::SetNode},
      {89, KernelSetter::SetNode},   {136, PostprocSetter::SetNode},
  };
  return setters;
}

// Builds a new project render target from the pins of an imported one. The geometry input
// is taken from the render target that was current, never from the text.
ApiNode* BuildFromImport(const ApiNode& imported, ApiNode* previous) {
  ApiRootNodeGraph& project = ApiProjectManager::rootNodeGraph();
  ApiNode* target = ApiNode::create(kRenderTargetType, project, true);
  if (!target) return nullptr;
  target->setUIOperationFlags(kRenderTargetUiFlags);

  const uint32_t pin_count = imported.pinCount();
  for (uint32_t i = 0; i < pin_count; ++i) {
    const ApiNode* source = imported.connectedNodeIx(i);
    if (!source) continue;
    if (IrrelevantNodes().count(source->type())) continue;
    if (imported.pinIdIx(i) == kGeometryPin) {
      ApiNode* geometry = previous ? previous->connectedNodeIx(i) : nullptr;
      if (geometry) target->connectToIx(i, geometry, false, false);
      continue;
    }
    if (source->pinOwned()) {
      target->copyFromIx(i, source, false);
    } else {
      ApiItem* copy = project.copyItemTree(source);
      ApiNode* copied_node = copy ? copy->toNode() : nullptr;
      if (copied_node) target->connectToIx(i, copied_node, false, false);
    }
  }

  // A render target without the host's geometry would render an empty scene; the text
  // never carries geometry, so the shared geometry group is plugged in here.
  ApiNode* group = GeometryGroup();
  if (group && !target->connectedNode(kGeometryPin)) target->connectTo(kGeometryPin, group, false, false);
  return target;
}

}  // namespace

bool IsRenderTarget(ApiItem* item) {
  if (!item) return false;
  for (const auto& entry : RenderTargets()) {
    if (entry.second == item) return true;
  }
  return false;
}

std::string GetRenderTargetXml(const std::string& page) {
  ApiNode* source = FindRenderTarget(page);
  if (!source) source = ApiRenderEngine::getRenderTargetNode();
  if (!source) return std::string();

  const SceneGraph graph = NewSceneGraph();
  if (!graph) return std::string();
  graph->copyItemTree(source);
  ApiNode* copy = FirstRenderTarget(*graph);
  if (!copy) return std::string();
  copy->connectTo(kGeometryPin, nullptr, true, false);
  copy->configureEmptyPins();

  // Only the render target and the nodes its pins own stay; graph-owned inputs (the
  // geometry among them) go.
  ApiItemArray items;
  graph->getOwnedItems(items);
  for (std::size_t i = 0; i < items.size(); ++i) {
    ApiItem* item = items[i];
    const ApiNode* node = item ? item->toNode() : nullptr;
    if (node && node->type() == kRenderTargetType) continue;
    if (item) item->destroy();
  }

  const char* text = graph->exportToString(nullptr, true);
  return text ? std::string(text) : std::string();
}

void SetRenderTargetXml(const std::string& page, const std::string& xml) {
  ApiNode* previous = ApiRenderEngine::getRenderTargetNode();

  ApiNode* target = nullptr;
  ApiNode* stored = FindRenderTarget(page);
  if (page != kDefaultPage && stored) {
    // A page seen before keeps its render target; "Default View" is always read afresh.
    ApiRenderEngine::setRenderTargetNode(stored);
    target = stored;
  } else {
    const std::string text = Strings::UpdateZcsXml(xml);
    const SceneGraph graph = NewSceneGraph();
    if (!graph) return;
    int32_t version = 0;
    if (!graph->import(text.data(), text.size(), nullptr, &version, nullptr, nullptr)) {
      LOG(ERROR) << "Failed to import the render target of page " << page;
      return;
    }
    const ApiNode* imported = FirstRenderTarget(*graph);
    if (!imported) {
      LOG(ERROR) << "No render target in the stored settings of page " << page;
      return;
    }
    target = BuildFromImport(*imported, previous);
    if (!target) return;
  }

  target->setName(page.c_str());
  EnvironmentSetter::WatchEnvironment(nullptr, page);
  ApiNode* replaced = AdoptRenderTarget(page, target);

  for (const auto& setter : RenderSetters()) {
    ApiNode* node = target->connectedNode(setter.first);
    if (node) setter.second(node);
  }

  target->evaluate();
  target->select();
  EnvironmentSetter::WatchEnvironment(target, page);

  if (replaced && replaced != target) {
    // The engine must not be left rendering a node that is about to go.
    if (ApiRenderEngine::getRenderTargetNode() == replaced) ApiRenderEngine::setRenderTargetNode(target);
    NodeUtils::SafeDestroy(replaced);
  }
}

}  // namespace ZarnikManager
}  // namespace Zarnik
