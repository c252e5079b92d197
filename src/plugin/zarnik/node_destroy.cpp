#include "zarnik/node_utils.h"

namespace Zarnik {
namespace NodeUtils {

void SafeDestroy(ApiNode*& node) {
  if (node == nullptr || node->pinOwned()) return;
  node->destroy();
  node = nullptr;
}

void SafeRecursiveDestroy(ApiNode*& node) {
  if (node == nullptr) return;
  // Each pin is asked afresh: destroying one input may already have emptied other pins
  // that held the same node.
  for (uint32_t index = 0; index < node->pinCount(); ++index) {
    ApiNode* input = node->connectedNodeIx(index);
    SafeRecursiveDestroy(input);
  }
  SafeDestroy(node);
}

void DestroyItem(ApiItem* item) {
  if (item != nullptr) item->destroy();
}

std::vector<NodeType> MaterialTypes() {
  static const std::vector<NodeType> material_types = {17, 16, 120, 19, 20, 18, 121};
  return material_types;
}

}  // namespace NodeUtils
}  // namespace Zarnik
