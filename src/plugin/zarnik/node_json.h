// Render-engine nodes as JSON: single attributes and pin descriptions, whole node trees
// written out, rebuilt, or used to update a tree that already exists.
//
// Node JSON may come from the plug-in's scripts or from stored model data, so every
// reader here accepts any JSON: members of the wrong kind count as missing, unknown node
// types build nothing, and trees nested deeper than kMaxNodeDepth are cut off there.
#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

#include "zarnik.h"

namespace Zarnik {

// Describes input pin `pin_index` of `node`: always "name"; with details also "label",
// "node_ids" (node types that fit the pin) and, by pin kind, "type", "dim", ranges or
// enum choices.
Json::Value GetPinInfo(ApiNode* node, uint32_t pin_index, bool details);

namespace NodeUtils {

// Deepest level of nested nodes that is written, built or updated.
constexpr int kMaxNodeDepth = 64;
// Node JSON is a tree, so a node shared by several pins is written once per use; stacked
// shared nodes multiply that. A write that would hold more nodes than this is refused.
constexpr size_t kMaxWrittenNodes = 100000;

// {"type": kind, "name": name, <name>: value} for attribute `attr_index` of `node`.
Json::Value GetAttribute(ApiNode* node, uint32_t attr_index);
// Sets one attribute from an object made by GetAttribute, without evaluating the node
// (file names are the exception: they also clear the reload flag and evaluate).
void SetAttribute(const Json::Value& attribute, ApiNode* node);

// An image texture (types 34, 35, 36) that has its transform input connected.
bool IsImage(ApiNode* node);
bool IsMaterialType(NodeType type);

// The node with its attributes and everything plugged into its pins; null for a node
// without attributes and pins. Link nodes (types above 30000) are written as the node
// behind them, at the top as in pins.
Json::Value NodeToStr(ApiNode* node, bool details);
// The same, but false (with one error record naming the node) when the tree is too large to
// write whole: callers keep what they stored rather than store a cut tree.
bool TryNodeToStr(ApiNode* node, bool details, Json::Value& out);
// Builds a new node tree; `parent` and `pin` place a pin-owned child below depth 0.
// Null when the JSON names no node type the engine knows.
ApiNode* StrToNode(const Json::Value& json, int depth, ApiNode* parent, PinId pin);
// Updates `node` (plugged into `pin` of `parent`) from node JSON: -1 nothing done, 0 values
// updated, 1 some node was replaced or unplugged.
int UpdateNode(const Json::Value& json, ApiNode* node, PinId pin, ApiNode* parent, bool inside_owned);
// Gives a texture just plugged into a material the transform of the material's other
// image textures; true when a transform was copied.
bool TryToCorrectNewNodeScale(ApiNode* new_node, ApiNode* parent);

// First non-empty value of a string attribute called `name`, depth first, each node once;
// "" when none.
std::string FindStringParam(ApiNode* node, const std::string& name);
// First node of the tree that has a string attribute called `name`; null when none.
ApiNode* FindStringParamOwner(ApiNode* node, const std::string& name);

}  // namespace NodeUtils
}  // namespace Zarnik
