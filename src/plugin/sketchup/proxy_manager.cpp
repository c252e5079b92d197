#include "sketchup/proxy_manager.h"

#include <glog/logging.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>

#include "materials/loaders/zcs_loader.h"
#include "materials/mat_manager.h"
#include "utils/paths.h"
#include "zarnik/node_utils.h"

namespace Zarnik {

namespace {

constexpr NodeType kMeshType = 1;
constexpr AttributeId kFileName = 34;
constexpr AttributeId kReload = 124;
constexpr AttributeId kVerticesPerPoly = 189;

using ProxyTable = std::map<std::string, std::shared_ptr<Proxy>>;  // byte-wise path order

// Never destroyed: at process exit the engine may already be gone, and proxies must not
// reach for it then.
ProxyTable& Proxies() {
  static ProxyTable* proxies = new ProxyTable();
  return *proxies;
}

// A cached proxy whose node the user destroyed is dropped, so that the file is read again.
std::shared_ptr<Proxy> Cached(const std::string& path) {
  const auto found = Proxies().find(path);
  if (found == Proxies().end()) return nullptr;
  if (found->second && found->second->LiveNode()) return found->second;
  std::shared_ptr<Proxy> released = std::move(found->second);
  Proxies().erase(found);
  return nullptr;
}

// The node itself for a graph-owned node, else the node whose pin owns it, up the chain.
ApiNode* OutermostOwner(ApiNode* node) {
  for (unsigned depth = 0; node && node->pinOwned() && depth < NodeUtils::kMaxQueryDepth; ++depth) {
    node = node->pinOwnerNode();
  }
  return node;
}

std::string FileTypeOf(const std::string& path) {
  const auto dot = path.rfind('.');
  std::string type = dot == std::string::npos ? path : path.substr(dot + 1);
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type;
}

// A free root graph, destroyed on every way out of the scope that holds it.
using TemporaryGraph = std::unique_ptr<ApiRootNodeGraph, void (*)(ApiItem*)>;

TemporaryGraph ImportScene(const std::string& path) {
  TemporaryGraph graph(ApiRootNodeGraph::create(ProxyManager::kSceneVersion), &NodeUtils::DestroyItem);
  if (!graph) {
    LOG(ERROR) << "Proxy: no graph to import " << path << " into";
  } else {
    // Read here rather than by the engine, so that only a regular file of sane size is read.
    std::string bytes;
    if (!Strings::ReadRegularFile(path, bytes, Strings::kMaxSceneFileBytes) ||
        !graph->import(bytes.data(), bytes.size(), path.c_str(), nullptr, nullptr, nullptr)) {
      LOG(ERROR) << "Proxy: cannot import " << path;
      graph.reset();
    }
  }
  return graph;
}

// Sandbox graphs that arrive with a copy would hide their nodes from the scene; their
// content is moved into the root graph instead.
void UngroupNewSandboxes(const std::set<ApiItem*>& before) {
  ApiRootNodeGraph& root = ApiProjectManager::rootNodeGraph();
  for (ApiItem* item : NodeUtils::GetOwnedItems(&root, NodeUtils::IsSandbox)) {
    if (before.count(item) != 0) continue;
    if (ApiNodeGraph* graph = item->toGraph()) graph->ungroup(nullptr, false);
  }
}

}  // namespace

Proxy::Proxy(ApiNode* node, std::string path)
    : node(node), path(std::move(path)), node_id_(node ? node->uniqueId() : 0) {}

Proxy::~Proxy() {
  if (LiveNode()) NodeUtils::SafeDestroy(node);
  DestroyTree();
}

ApiNode* Proxy::LiveNode() {
  if (node && node->uniqueId() != node_id_) node = nullptr;
  return node;
}

// A scene file's tree beyond this many nodes is left to the engine rather than walked on the
// host's thread.
constexpr std::size_t kMaxTreeNodes = 100000;

void Proxy::AdoptInputTree() {
  tree_.clear();
  ApiNode* top = LiveNode();
  if (!top) return;
  // Pin-owned inputs go with the node that owns them, but their own inputs may be graph
  // nodes of the copy, so the walk passes through them.
  std::unordered_set<ApiNode*> seen{top};
  std::vector<ApiNode*> pending{top};
  while (!pending.empty() && seen.size() < kMaxTreeNodes) {
    ApiNode* current = pending.back();
    pending.pop_back();
    const std::uint32_t pins = current->pinCount();
    for (std::uint32_t i = 0; i < pins; ++i) {
      ApiNode* input = current->connectedNodeIx(i);
      if (!input || !seen.insert(input).second) continue;
      if (!input->pinOwned()) tree_.emplace_back(input);
      pending.push_back(input);
    }
  }
}

void Proxy::DestroyTree() {
  // What is still there of the tree, and still in no pin's keeping.
  std::unordered_set<ApiNode*> leaving;
  for (HeldNode& held : tree_) {
    ApiNode* live = held.get();
    if (live && !live->pinOwned()) leaving.insert(live);
  }
  // A node that feeds anything outside the leaving set stays (the user wired it into
  // something of their own), and so does everything it feeds on in turn.
  bool kept_one = true;
  while (kept_one && !leaving.empty()) {
    kept_one = false;
    for (auto it = leaving.begin(); it != leaving.end();) {
      ApiNodeArray destinations;
      (*it)->destinationNodes(destinations);
      bool used_outside = false;
      for (std::size_t i = 0; i < destinations.size() && !used_outside; ++i) {
        used_outside = leaving.count(OutermostOwner(destinations[i])) == 0;
      }
      if (used_outside) {
        it = leaving.erase(it);
        kept_one = true;
      } else {
        ++it;
      }
    }
  }
  for (HeldNode& held : tree_) {
    if (leaving.count(held.get()) != 0) held.Destroy();
  }
  tree_.clear();
}

namespace ProxyManager {

std::shared_ptr<Proxy> CreateProxy(const std::string& path) {
  const std::string type = FileTypeOf(path);
  if (type == "obj") return InitObjProxy(path);
  if (type == "zcs") return InitZcsProxy(path, true);
  if (type == "zpak") return InitZcsProxy(path, false);
  LOG(ERROR) << "Proxy: unsupported file type: " << path;
  return nullptr;
}

std::shared_ptr<Proxy> InitObjProxy(const std::string& path) {
  if (std::shared_ptr<Proxy> cached = Cached(path)) return cached;
  // The engine reads the file itself; a FIFO or device named here would stall it.
  if (!Strings::IsReadableRegularFile(path, Strings::kMaxFileBytes)) {
    LOG(ERROR) << "Proxy: not a readable file: " << path;
    return nullptr;
  }
  ApiNode* mesh = ApiNode::create(kMeshType, ApiProjectManager::rootNodeGraph(), true);
  if (!mesh) {
    LOG(ERROR) << "Proxy: cannot create a mesh for " << path;
    return nullptr;
  }
  mesh->set(kFileName, path.c_str(), false);
  mesh->set(kReload, false, false);
  mesh->evaluate();
  // A proxy without polygons would only hide the definition behind nothing.
  if (mesh->getIntArray(kVerticesPerPoly).empty()) {
    LOG(ERROR) << "Proxy: no geometry in " << path;
    NodeUtils::SafeDestroy(mesh);
    return nullptr;
  }
  auto proxy = std::make_shared<Proxy>(mesh, path);
  Proxies()[path] = proxy;
  return proxy;
}

std::shared_ptr<Proxy> InitZcsProxy(const std::string& path, bool register_materials) {
  if (std::shared_ptr<Proxy> cached = Cached(path)) return cached;
  // Only a regular file is read: a pipe waits for a writer that may never come, a device
  // can be read without end; either would hang the host.
  if (!Strings::IsReadableRegularFile(path, Strings::kMaxSceneFileBytes)) {
    LOG(ERROR) << "Proxy: not a readable file: " << path;
    return nullptr;
  }
  TemporaryGraph scene = ImportScene(path);
  if (!scene) return nullptr;

  ApiItemArray items;
  scene->getOwnedItems(items);
  ApiNode* main_mesh = NodeUtils::FindMainMesh(items);
  if (!main_mesh) {
    LOG(ERROR) << "Proxy: no render target shows geometry in " << path;
    return nullptr;
  }

  ApiRootNodeGraph& root = ApiProjectManager::rootNodeGraph();
  const std::set<ApiItem*> sandboxes = NodeUtils::GetOwnedItems(&root, NodeUtils::IsSandbox);
  ApiItem* copy = root.copyItemTree(main_mesh);
  ApiNode* node = copy ? copy->toNode() : nullptr;
  if (!node) {
    LOG(ERROR) << "Proxy: cannot copy the geometry of " << path;
    if (copy) copy->destroy();
    return nullptr;
  }
  auto proxy = std::make_shared<Proxy>(node, path);
  proxy->AdoptInputTree();
  UngroupNewSandboxes(sandboxes);

  if (register_materials) {
    MaterialManager::GetZcsLoader()->AddExisting(path, NodeUtils::FindAllMaterials(items));
  }
  Proxies()[path] = proxy;
  return proxy;
}

bool DropProxy(const std::string& path) {
  const auto found = Proxies().find(path);
  if (found == Proxies().end()) return true;
  // Released after the entry is gone, so that the cache is consistent while the node goes.
  std::shared_ptr<Proxy> released = std::move(found->second);
  Proxies().erase(found);
  return true;
}

bool DropProxy(const ApiItem* node) {
  if (!node) return false;
  ProxyTable& proxies = Proxies();
  for (auto it = proxies.begin(); it != proxies.end(); ++it) {
    if (it->second && it->second->LiveNode() && static_cast<const ApiItem*>(it->second->node) == node) {
      std::shared_ptr<Proxy> released = std::move(it->second);
      proxies.erase(it);
      break;
    }
  }
  return true;
}

std::string FindProxy(const ApiItem* node) {
  if (!node) return std::string();
  for (const auto& entry : Proxies()) {
    if (entry.second && entry.second->LiveNode() && static_cast<const ApiItem*>(entry.second->node) == node) {
      return entry.second->path;
    }
  }
  return std::string();
}

void ClearProxies() {
  // Proxies are released outside the table: a node's destruction may call back into code
  // that looks at the cache.
  ProxyTable released;
  released.swap(Proxies());
}

size_t CachedCount() { return Proxies().size(); }

}  // namespace ProxyManager
}  // namespace Zarnik
