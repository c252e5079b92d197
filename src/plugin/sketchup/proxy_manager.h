#pragma once

// Geometry loaded from a file that stands in for a definition's streamed mesh: a Wavefront
// OBJ file, a scene file (.zcs) or a packaged scene (.zpak). Each file is loaded once and
// its node cached by exact path; definitions that name the same file share one node.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sketchup/held_node.h"
#include "zarnik.h"

namespace Zarnik {

class Proxy {
 public:
  Proxy(ApiNode* node, std::string path);
  // The node goes with the last holder (unless a pin has taken it over), and so does every
  // node that came into the scene with it and that nothing else uses.
  ~Proxy();
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  // The node while it lives. One the user destroyed in the engine is forgotten: `node`
  // becomes null for every holder.
  ApiNode* LiveNode();
  // The record had a node and the user destroyed it (whether or not a holder noticed yet).
  bool Vanished() const { return node_id_ != 0 && (!node || node->uniqueId() != node_id_); }
  // The file could not stand in again for a vanished node: every holder shows nothing, and
  // nobody reads the file again until a proxy is set anew.
  void GiveUp() {
    node = nullptr;
    node_id_ = 0;
  }
  // Records the nodes that `node` feeds on and that came into the scene with it (the copy
  // of a scene file's geometry), so that they leave with it.
  void AdoptInputTree();
  std::size_t TreeSize() const { return tree_.size(); }

  ApiNode* node;      // the geometry that stands in for the mesh; null when nothing loaded
  std::string path;   // the file it came from

 private:
  void DestroyTree();

  std::uint64_t node_id_;
  std::vector<HeldNode> tree_;  // graph-owned inputs of `node`, at any depth
};

namespace ProxyManager {

// Scene files are read into a root graph of this version.
constexpr int kSceneVersion = 3080500;

// The proxy for a file, chosen by the text after its last "." in any letter case (the
// whole path when it has no "."): obj, zcs (whose materials also join the material
// library) or zpak. Empty for other types and for files that yield no geometry.
std::shared_ptr<Proxy> CreateProxy(const std::string& path);

// The cached proxy of an OBJ file, or a new mesh node that loads it. Empty when the file
// gives no polygons; such a failure is not cached, so a repaired file can be tried again.
std::shared_ptr<Proxy> InitObjProxy(const std::string& path);

// The cached proxy of a scene file, or a copy of the geometry its first connected render
// target shows. With register_materials the scene's materials become the file's material
// set in the library. Empty when the file cannot be imported or shows no geometry.
std::shared_ptr<Proxy> InitZcsProxy(const std::string& path, bool register_materials);

// Forget the cache entry; the node goes once no definition holds the proxy any more.
bool DropProxy(const std::string& path);                  // always true
bool DropProxy(const ApiItem* node);                      // false for null
// The path of the cached proxy whose node this is; empty when there is none.
std::string FindProxy(const ApiItem* node);
void ClearProxies();

// Number of cached proxies.
size_t CachedCount();

// Registers "clear_proxies" on ZarnikExt (Ruby start-up).
void DefineRubyMethods();

}  // namespace ProxyManager
}  // namespace Zarnik
