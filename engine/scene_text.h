// Scene text: the engine's file format for a root graph and everything in it, and the
// packaged form that wraps one scene text in a compressed archive. Written only against the
// public interface (include/), so it works on any root graph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace Engine {

// The version written into scene texts (and the one a free root graph is usually made with).
constexpr int32_t kSceneVersion = 3080500;

// Every item of the graph (nested graphs, nodes, pin-owned nodes, connections, names,
// positions, flags, attributes and pin values) as XML text. Deterministic: the same graph
// content always gives the same text, and importing a text then exporting it again gives
// the identical text.
std::string ExportSceneText(const ApiRootNodeGraph& graph);

// Replaces the graph's content by the scene of the text. Malformed or hostile text answers
// false without crashing; the graph is then left empty or as it was. version, when given,
// receives the version the text was written with.
bool ImportSceneText(ApiRootNodeGraph& graph, const char* data, size_t length, int32_t* version);

// Packaged scenes (file type zpak).
bool IsPackagedScene(const char* data, size_t length);
std::string PackScene(const std::string& sceneText);
// False for bytes that are not a well-formed package or that would unpack beyond a sane size.
bool UnpackScene(const char* data, size_t length, std::string& sceneText);

}  // namespace Engine
}  // namespace Zarnik
