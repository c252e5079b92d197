#pragma once

// A host material as the scene sees it: registered by its host id, with the engine
// material node that renders it (null until one exists). Faces and instances that name the
// material take this node.

#include <cstdint>
#include <string>

#include "zarnik.h"

namespace Zarnik {

class SuMaterial {
 public:
  explicit SuMaterial(std::int32_t id) : id_(id) {}

  SuMaterial(const SuMaterial&) = delete;
  SuMaterial& operator=(const SuMaterial&) = delete;

  std::int32_t id() const { return id_; }
  const std::string& name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  ApiNode* node() const { return node_; }
  void SetNode(ApiNode* node) { node_ = node; }

  // The node is going away: forget it if it is this material's node.
  void DiscardZarnikNode(ApiNode* node);
  // `new_node` takes the place of `old_node`. The name follows the node's name too when it
  // was the old node's name and the new node has one.
  void ReplaceZarnikNode(ApiNode* old_node, ApiNode* new_node);

 private:
  const std::int32_t id_;
  std::string name_ = "default";
  ApiNode* node_ = nullptr;  // owned by the engine
};

}  // namespace Zarnik
