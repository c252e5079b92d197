#include "sketchup/su_material.h"

namespace Zarnik {

void SuMaterial::DiscardZarnikNode(ApiNode* node) {
  if (node && node_ == node) node_ = nullptr;
}

void SuMaterial::ReplaceZarnikNode(ApiNode* old_node, ApiNode* new_node) {
  if (node_ == old_node) node_ = new_node;
  if (!old_node || !new_node) return;
  const char* old_name = old_node->name();
  const char* new_name = new_node->name();
  if (old_name && new_name && *new_name && name_ == old_name) name_ = new_name;
}

}  // namespace Zarnik
