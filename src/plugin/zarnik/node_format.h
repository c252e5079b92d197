#pragma once

// Readable text for render-engine items, for the debug log and for looking at a scene
// while developing. Nothing here changes the scene.

#include <cstdint>
#include <ostream>
#include <string>

#include "zarnik.h"

namespace Zarnik {

// "<pointer> <type name> "<name>" in <inputs from a graph>/<pins> out <destinations>" for a
// node, "<pointer> <type name> "<name>"" for a graph; null and unknown items are marked.
std::ostream& operator<<(std::ostream& out, const ApiItem* item);
std::ostream& operator<<(std::ostream& out, const ApiNode* node);
std::ostream& operator<<(std::ostream& out, const ApiNodeGraph* graph);

// The event type's name, e.g. "ITEM_DELETE"; an unknown type as its number.
std::ostream& operator<<(std::ostream& out, ApiChangeManager::ChangeEvent::Type type);
// The type, the changed item and, for some types, its owner and pin.
std::ostream& operator<<(std::ostream& out, const ApiChangeManager::ChangeEvent& event);

// "[x,y,z,w]".
std::ostream& operator<<(std::ostream& out, const int32_4& value);
std::ostream& operator<<(std::ostream& out, const float_4& value);

// "[<count>] [<first 20 elements>,...]", the ",..." only when elements were left out.
// Vectors are written as "[x,y]" lists, matrices as their three rows and "[0,0,0,1]".
std::ostream& operator<<(std::ostream& out, const ApiArray<bool>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_t>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_2>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_3>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_4>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<float>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<float_2>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<float_3>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<float_4>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<const char*>& values);
std::ostream& operator<<(std::ostream& out, const ApiArray<Matrix<float>>& values);
// "<count> [<first 20 bytes as numbers>,...]".
std::ostream& operator<<(std::ostream& out, const ApiArray<uint8_t>& values);

namespace NodeUtils {

// Order of a graph dump: graphs before nodes, then by type number, name and address;
// null last.
bool CompareItems(const ApiItem* a, const ApiItem* b);

// Number of destination nodes; 0 for null.
size_t CountOutputs(const ApiNode* node);

// The graph dump, one item per line, indented by four blanks per level: a graph lists
// its items that feed no other node, and each node lists its changed attributes and then
// the nodes in its pins below it. A dump goes at most kMaxQueryDepth levels down and
// writes at most kMaxDumpItems items; where it stops, a line "..." takes the place of
// what was left out.
constexpr size_t kMaxDumpItems = 20000;

// "<label> <- <name>: " and the graph or node text (label part only when label is set).
std::string FormatItem(const ApiItem* item, unsigned indent, const std::string& label, const std::string& value);
std::string FormatGraph(const ApiNodeGraph* graph, unsigned indent);
std::string FormatNode(const ApiNode* node, unsigned indent, const std::string& value);

// The node in its stream form and, down to max_depth (at most kMaxQueryDepth levels below
// depth), every node it feeds, each labelled "=> <pin name>:".
std::string FormatOutputNodes(const ApiNode* node, unsigned max_depth, unsigned depth, const std::string& label);

}  // namespace NodeUtils
}  // namespace Zarnik
