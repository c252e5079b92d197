// The material sandbox: the graph in the render window where the model's materials are
// edited. Each material the geometry uses is copied in, a link node stands for the copy,
// and every user of the material is rewired to the link. Also turns single materials into
// scene text and back, and keeps texture file names in step with the texture tracker.

#include <glog/logging.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "application/logger.h"
#include "materials/mat_manager.h"
#include "materials/texture_tracker.h"
#include "sketchup/su_manager.h"
#include "utils/matrix.h"
#include "utils/paths.h"
#include "zarnik/node_json.h"
#include "zarnik/node_utils.h"
#include "zarnik/zarnik_manager.h"
#include "zarnik/zarnik_window.h"

namespace Zarnik {
namespace ZarnikWindow {

namespace {

constexpr NodeType kLinkType = 30007;
constexpr PinId kLinkInputPin = 82;
constexpr PinId kGeometryPin = 59;
constexpr NodeGraphType kPlainGraphType = 1;
constexpr AttributeId kFileNameAttr = 34;
constexpr AttributeId kReloadAttr = 124;
constexpr AttributeId kSandboxCreatedSetting = 35;
constexpr uint32_t kLinkUiFlags = 4;
constexpr int32_t kSceneVersion = 3080500;
constexpr int kMaxInputDepth = 20;
// Spacing of new material trees and of link nodes below their material.
constexpr float kTreeGap = 300.0f;
constexpr float kLinkGap = 100.0f;
constexpr float kSingleRecenterShare = 0.4f;

const char* const kSandboxName = "Zarnik Sandbox";
const char* const kLinkPrefix = "Link to ";

std::vector<MaterialInfo> materials;

using NodeSet = std::set<ApiNode*>;
using InputVisitor = std::function<bool(ApiNode* node, int depth)>;

struct ItemDeleter {
  void operator()(ApiItem* item) const { NodeUtils::DestroyItem(item); }
};
using TempGraph = std::unique_ptr<ApiNodeGraph, ItemDeleter>;
using TempRootGraph = std::unique_ptr<ApiRootNodeGraph, ItemDeleter>;

// Restores the recentring flag however the rebuild ends.
class RecenterSuspension {
 public:
  RecenterSuspension() : previous_(RecenterSuspended()) { SetSuspendRecenter(true); }
  ~RecenterSuspension() { SetSuspendRecenter(previous_); }
  RecenterSuspension(const RecenterSuspension&) = delete;
  RecenterSuspension& operator=(const RecenterSuspension&) = delete;

 private:
  bool previous_;
};

NodeSet FindMaterialNodes(const ApiNodeGraph* graph) {
  NodeSet found;
  if (!graph) return found;
  for (NodeType type : NodeUtils::MaterialTypes()) {
    ApiNodeArray nodes;
    graph->findNodes(type, nodes, false);
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i]) found.insert(nodes[i]);
    }
  }
  return found;
}

// Visits the nodes below `node` (not the node itself) level by level, each distinct node
// once at the shallowest depth that reaches it; a false answer from the visitor ends the
// descent below the node it was given. Shared inputs multiply the paths through a tree
// exponentially, never the distinct nodes.
void ForAllInputNodes(ApiNode* node, const InputVisitor& visitor) {
  if (!node) return;
  NodeSet seen{node};
  std::vector<ApiNode*> level{node};
  for (int depth = 1; depth <= kMaxInputDepth && !level.empty(); ++depth) {
    std::vector<ApiNode*> next;
    for (ApiNode* parent : level) {
      for (ApiNode* input : NodeUtils::AllInputNodes(parent)) {
        if (!input || !seen.insert(input).second) continue;
        if (visitor(input, depth) && depth < kMaxInputDepth) next.push_back(input);
      }
    }
    level = std::move(next);
  }
}

// Calls the action once on the node and on every node below it that has the attribute.
void ForAllWithAttribute(ApiNode* node, AttributeId attribute, const std::function<void(ApiNode*)>& action) {
  if (!node) return;
  NodeSet done;
  auto visit = [&](ApiNode* candidate) {
    if (candidate->hasAttr(attribute) && done.insert(candidate).second) action(candidate);
  };
  visit(node);
  ForAllInputNodes(node, [&](ApiNode* input, int) {
    visit(input);
    return true;
  });
}

bool IsMaterialOrLink(const ApiNode* node) {
  if (!node) return false;
  const NodeType type = node->type();
  return type == kLinkType || NodeUtils::IsMaterialType(type);
}

// The sandbox's own items, to tell live record pointers from ones whose node the user has
// deleted in the editor.
std::set<const ApiItem*> SandboxItems() {
  std::set<const ApiItem*> items;
  ApiNodeGraph* graph = Sandbox();
  if (!graph) return items;
  ApiItemArray owned;
  graph->getOwnedItems(owned);
  items.insert(owned.items(), owned.items() + owned.size());
  return items;
}

std::string FileNameOf(const ApiNode* node) {
  const char* file = node->getString(kFileNameAttr);
  return file ? std::string(file) : std::string();
}

// "Link to <first name>", plus " etc" when the material reaches geometry of several names.
std::string LinkLabel(ApiNode* material) {
  std::set<std::string> names;
  for (ApiNode* user : NodeUtils::AllOutputNodes(material)) {
    ApiNode* geometry = user ? user->connectedNode(kGeometryPin) : nullptr;
    const char* name = geometry ? geometry->name() : nullptr;
    if (name && *name) names.insert(name);
  }
  if (names.empty()) return std::string();
  std::string label = kLinkPrefix + *names.begin();
  if (names.size() > 1) label += " etc";
  return label;
}

void RecordFile(ApiNode* node) {
  const std::string file = FileNameOf(node);
  if (!file.empty()) TextureTracker::AddTexture(file);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, Owner owner) {
  switch (owner) {
    case Owner::None:
      return out << "none";
    case Owner::Root:
      return out << "root";
    case Owner::Sandbox:
      return out << "sandbox";
    case Owner::Unknown:
      return out << "unknown";
  }
  return out << static_cast<int>(owner);
}

const std::vector<MaterialInfo>& Materials() { return materials; }

void DropSandboxLinks() {
  // The recorded links too: a sandbox the user deleted no longer lists its nodes, but the
  // registries may still hold them.
  std::set<ApiNode*> links;
  for (const MaterialInfo& entry : materials) {
    if (entry.link) links.insert(entry.link);
  }
  materials.clear();
  if (ApiNodeGraph* graph = Sandbox()) {
    ApiNodeArray found;
    graph->findNodes(kLinkType, found, false);
    for (size_t i = 0; i < found.size(); ++i) {
      if (found[i]) links.insert(found[i]);
    }
  }
  for (ApiNode* link : links) {
    MaterialManager::DiscardZarnikMaterial(link);
    SketchupManager::DiscardZarnikMaterial(link);
  }
}

void CreateSandbox() {
  ApiRootNodeGraph& root = ApiProjectManager::rootNodeGraph();
  if (ApiNodeGraph* existing = Sandbox()) {
    // The sandbox holds the user's edits, and geometry and host materials are wired to its
    // links: reopening the window keeps all of it and only brings in the materials the
    // geometry has started to use since. A sandbox the user deleted has nothing to keep.
    if (existing->graphOwner() == &root) {
      RecenterSuspension suspension;
      for (ApiNode* material : FindMaterialNodes(&root)) MoveToSandbox(material, 0, false);
      return;
    }
    DropSandboxLinks();
  }

  DebugLog("Creating sandbox");
  ApiNodeGraph* graph = ApiNodeGraph::create(kPlainGraphType, root);
  if (!graph) {
    LOG(ERROR) << "The material sandbox could not be created";
    return;
  }
  graph->setName(kSandboxName);

  ApiMainWindow* window = MainWindow();
  if (ApiNodeGraphEditor* editor = GetSandboxEditor()) editor->setContentGraph(graph);
  if (window) window->setDefaultGraph(graph);

  materials.clear();
  SetSandbox(std::shared_ptr<ApiNodeGraph>(graph, ItemDeleter()));
  ApiProjectManager::projectSettings().set(kSandboxCreatedSetting, true, true);
  ExtractMaterials();
}

bool ExtractMaterials() {
  materials.clear();
  const NodeSet nodes = FindMaterialNodes(&ApiProjectManager::rootNodeGraph());
  if (nodes.empty()) return false;
  RecenterSuspension suspension;
  for (ApiNode* node : nodes) MoveToSandbox(node, 0, false);
  return true;
}

ApiNode* MoveToSandbox(ApiNode* node, int id, bool force) {
  ApiNodeGraph* sandbox = Sandbox();
  if (!sandbox || !node || !NodeUtils::IsMaterialType(node->type()) || node->graphOwner() == sandbox) return nullptr;

  // Every connection, and per user the first pin through which it takes the material.
  std::vector<std::pair<ApiNode*, std::string>> connections;
  std::map<ApiNode*, std::string> destinations;
  {
    ApiNodeArray users;
    ApiStringArray pins;
    node->destinationNodes(users, pins);
    for (size_t i = 0; i < users.size() && i < pins.size(); ++i) {
      if (!users[i]) continue;
      connections.emplace_back(users[i], pins[i]);
      destinations.emplace(users[i], pins[i]);
    }
  }
  const size_t material_users =
      std::count_if(destinations.begin(), destinations.end(), [](const auto& d) { return IsMaterialOrLink(d.first); });
  if (material_users == destinations.size() && !force) return nullptr;

  const std::set<const ApiItem*> live = SandboxItems();
  const std::string name = node->name();
  size_t index = materials.size();
  for (size_t i = 0; i < materials.size(); ++i) {
    if (live.count(materials[i].material) && name == materials[i].material->name()) {
      index = i;
      break;
    }
  }
  const bool is_new = index == materials.size();

  const Box content = GetExtent(sandbox);
  Box tree;
  if (is_new) {
    TempGraph scratch(ApiNodeGraph::create(kPlainGraphType, ApiProjectManager::rootNodeGraph()));
    if (!scratch) return nullptr;
    ApiItem* laid_out = scratch->copyItemTree(node);
    if (!laid_out) return nullptr;
    scratch->unfold(false);
    tree = GetExtent(scratch.get());
    ApiItem* copy = sandbox->copyItemTree(laid_out);
    ApiNode* copy_node = copy ? copy->toNode() : nullptr;
    if (!copy_node) {
      LOG(ERROR) << "Material " << name << " could not be copied into the sandbox";
      if (copy) copy->destroy();
      return nullptr;
    }
    MaterialInfo entry;
    entry.material = copy_node;
    materials.push_back(std::move(entry));
  }
  MaterialInfo& entry = materials[index];
  entry.id = id;

  if (!entry.link || !live.count(entry.link)) {
    entry.link = ApiNode::create(kLinkType, *sandbox, true);
    if (!entry.link) {
      LOG(ERROR) << "No link node could be made for material " << name;
      return nullptr;
    }
    entry.link->setUIOperationFlags(kLinkUiFlags);
    if (is_new) {
      entry.link->setPosition(float_2{tree.x + 0.5f * tree.width, tree.y + tree.height + kLinkGap});
      tree.height += kLinkGap;
    } else {
      const float_2 at = entry.material->position();
      entry.link->setPosition(float_2{at.x, at.y + kLinkGap});
    }
  }
  ApiNode* link = entry.link;
  link->connectTo(kLinkInputPin, entry.material, true);

  if (!NodeUtils::HasBeenNamed(link)) {
    const std::string label = LinkLabel(node);
    if (!label.empty()) link->setName(label.c_str());
  }

  // By pin index: the material inputs of geometry are dynamic pins, which have no id.
  for (const auto& [user, pin] : connections) {
    uint32_t pin_index = 0;
    if (user->findPinByName(pin.c_str(), pin_index)) user->connectToIx(pin_index, link, true);
  }
  MaterialManager::ReplaceZarnikMaterial(node, link);
  SketchupManager::ReplaceZarnikMaterial(node, link);
  entry.destinations.insert(destinations.begin(), destinations.end());

  if (is_new) {
    const float_2 offset{content.x + content.width + kTreeGap - tree.x,
                         content.y + content.height - (tree.y + tree.height)};
    AdjustNodePosition(link, offset);
    ApiNodeGraphEditor* editor = RecenterSuspended() ? nullptr : GetSandboxEditor();
    if (editor) {
      const Box view = GetExtent(editor);
      if (materials.size() >= 2) {
        const float_2 left{tree.x + offset.x, tree.y + 0.5f * tree.height + offset.y};
        const float_2 bottom_right{tree.x + tree.width + offset.x, tree.y + tree.height + offset.y};
        const float_2 middle{(content.x + bottom_right.x) / 2, (content.y + bottom_right.y) / 2};
        sandbox->recenter(view.width / 2 + middle.x - left.x, view.height / 2 + middle.y - left.y);
      } else {
        sandbox->recenter(kSingleRecenterShare * view.width, kSingleRecenterShare * view.height);
      }
    }
  }
  return link;
}

void UpdateSandbox(ApiNode* node, int host_material_id) {
  if (ZarnikManager::GetRenderState() != ZarnikManager::Running) return;
  if (!CheckWindow()) return;
  if (AlreadyHaveId(host_material_id)) return;
  MoveToSandbox(node, host_material_id, true);
}

void AdjustNodePosition(ApiNode* node, Vec2<float> offset) {
  if (!node) return;
  auto shift = [&offset](ApiNode* target) {
    const float_2 at = target->position();
    target->setPosition(float_2{at.x + offset.x, at.y + offset.y});
  };
  shift(node);
  const ApiNodeGraph* graph = node->graphOwner();
  NodeSet moved{node};
  ForAllInputNodes(node, [&](ApiNode* input, int) {
    if (input->graphOwner() != graph || !moved.insert(input).second) return false;
    shift(input);
    return true;
  });
}

std::string SerializeMaterial(ApiNode* node) {
  if (node && node->type() == kLinkType) node = node->connectedNode(kLinkInputPin);
  if (!node) return std::string();
  TempRootGraph scene(ApiRootNodeGraph::create(kSceneVersion));
  if (!scene) return std::string();
  if (!scene->copyItemTree(node)) return std::string();
  const char* text = scene->exportToString(nullptr, true);
  return text ? std::string(text) : std::string();
}

ApiNode* DeserializeMaterial(const std::string& text, ApiNodeGraph* target) {
  if (text.empty() || !target) return nullptr;
  const std::string updated = Strings::UpdateZcsXml(text);
  TempRootGraph scene(ApiRootNodeGraph::create(kSceneVersion));
  if (!scene) return nullptr;
  if (!scene->import(updated.data(), updated.size(), nullptr, nullptr, nullptr, nullptr)) return nullptr;

  const NodeSet found = FindMaterialNodes(scene.get());
  ApiNode* material = nullptr;
  if (found.size() == 1) {
    material = *found.begin();
  } else {
    for (ApiNode* candidate : found) {
      if (NodeUtils::IsOrphanNode(candidate)) {
        material = candidate;
        break;
      }
    }
  }
  if (!material) return nullptr;
  ApiItem* copy = target->copyItemTree(material);
  return copy ? copy->toNode() : nullptr;
}

void RecordTextures(ApiNode* node) { ForAllWithAttribute(node, kFileNameAttr, RecordFile); }

void RecordAllTextures(ApiNodeGraph* graph) {
  if (!graph) return;
  ApiItemArray items;
  graph->getOwnedItems(items);
  for (size_t i = 0; i < items.size(); ++i) {
    ApiNode* node = items[i] ? items[i]->toNode() : nullptr;
    if (node) RecordTextures(node);
  }
}

void ReplaceTextures(ApiNode* node) {
  if (!node) return;
  ForAllWithAttribute(node, kFileNameAttr, [](ApiNode* texture) {
    const std::string file = FileNameOf(texture);
    const std::string current = TextureTracker::UpdateFile(file, texture->name());
    if (current == file) return;
    texture->set(kFileNameAttr, current.c_str(), false);
    texture->set(kReloadAttr, false, true);
  });
  node->evaluate();
}

bool AlreadyHaveId(int id) {
  if (id < 1) return false;
  return std::any_of(materials.begin(), materials.end(), [id](const MaterialInfo& m) { return m.id == id; });
}

Owner CheckOwner(ApiNode* node) {
  const ApiNodeGraph* graph = node ? node->graphOwner() : nullptr;
  if (!graph) return Owner::None;
  if (graph == &ApiProjectManager::rootNodeGraph()) return Owner::Root;
  if (graph == Sandbox()) return Owner::Sandbox;
  return Owner::Unknown;
}

}  // namespace ZarnikWindow
}  // namespace Zarnik
