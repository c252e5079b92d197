#pragma once

// Generic operations on render-engine nodes shared by the scene, render, material and
// window modules. The engine owns every node; these helpers only ever act through its
// interface.

#include <vector>

#include "zarnik.h"

namespace Zarnik {
namespace NodeUtils {

// ---- Destruction -----------------------------------------------------------------------
//
// The extension destroys only nodes it created, and never one that the engine has since
// plugged into a pin of another node: such a node belongs to that pin and goes with it.

// Destroys a node that no pin owns and sets the pointer to null. A pin-owned node and the
// caller's pointer are left as they are; null does nothing.
void SafeDestroy(ApiNode*& node);

// Applies itself to every node plugged into the node's pins, then to the node itself as
// SafeDestroy does. Graph-owned inputs go too, even when other nodes also use them.
void SafeRecursiveDestroy(ApiNode*& node);

// Destroys any non-null item, without the pin check; fits as the deleter of a smart
// pointer to an item the caller owns outright (a free root graph, for instance).
void DestroyItem(ApiItem* item);

// ---- Material node types ---------------------------------------------------------------

// The node types that count as materials, in the order in which they are offered:
// 17, 16, 120, 19, 20, 18, 121.
std::vector<NodeType> MaterialTypes();

}  // namespace NodeUtils
}  // namespace Zarnik
