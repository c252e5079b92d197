#pragma once

// Generic operations on render-engine nodes shared by the scene, render, material and
// window modules. The engine owns every node; these helpers only ever act through its
// interface.

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

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

// ---- Graph queries ---------------------------------------------------------------------
//
// Walks through the inputs stop kMaxQueryDepth levels below the starting node and enter
// each distinct node once, so that neither a deep chain nor a small graph whose shared
// nodes multiply the paths can exhaust the stack or the time.

constexpr unsigned kMaxQueryDepth = 64;

// The node in the geometry pin of the first render target among items that has one
// plugged in; null when none has.
ApiNode* FindMainMesh(const ApiItemArray& items);

// JSON forms (with details) of every material among items and of every material plugged
// directly into a pin of one of them, ordered by node address; a null value when there
// are none.
Json::Value FindAllMaterials(const ApiItemArray& items);

// Enters node and every transform node among its inputs, depth first, in found.
void FindAllTransformNodes(ApiNode* node, std::map<ApiNode*, bool>& found);

// The nodes in the node's pins; an empty pin adds a null entry.
std::set<ApiNode*> AllInputNodes(ApiNode* node);
// The nodes that have node in one of their pins.
std::set<ApiNode*> AllOutputNodes(ApiNode* node);

// True for null and for a node that feeds no other node.
bool IsOrphanNode(const ApiNode* node);
// True when the node's name is not the default name of its type; false for null.
bool HasBeenNamed(const ApiNode* node);
// True for a graph whose name starts with the material sandbox prefix, in any case.
bool IsSandbox(const ApiItem* item);

// The items that graph owns and keep accepts. An empty keep accepts every item.
std::set<ApiItem*> GetOwnedItems(const ApiNodeGraph* graph, std::function<bool(const ApiItem*)> keep);

// Whether the attribute still holds the default of its description. A single-element
// array compares its element, a longer array is never default; false for null items and
// absent attributes.
bool AttrIsDefaultByID(const ApiItem* item, AttributeId id);
bool AttrIsDefaultByIndex(const ApiItem* item, unsigned index);

// Appends, depth first and once each, every node plugged into a pin called pin_name
// anywhere below node (within the depth limit above).
void FindAllPinNodes(ApiNode* node, const std::string& pin_name, std::vector<ApiNode*>& found);

// The number of inputs plugged in from a graph (rather than owned by their pin).
size_t VisibleInputs(const ApiNode* node);

// Starts (watch true) or ends logging the deletion of item to the debug log.
void WatchForDelete(const ApiItem* item, bool watch);

}  // namespace NodeUtils
}  // namespace Zarnik
