// Mesh nodes that name a Wavefront OBJ file in their file-name attribute take their
// geometry from that file when they are evaluated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zarnik.h"

namespace Zarnik {
namespace Engine {

class NodeImpl;

// A polygon mesh in the engine's own array form, indices counted from 0.
struct ObjMesh {
    std::vector<int32_t> verticesPerPoly;
    std::vector<float_3> positions;
    std::vector<int32_t> positionIndices;
    std::vector<float_3> normals;          // empty unless every corner names a normal
    std::vector<int32_t> normalIndices;
    std::vector<float_3> uvws;             // empty unless every corner names a coordinate
    std::vector<int32_t> uvwIndices;
    std::vector<int32_t> polyMaterials;    // one slot per polygon
    std::vector<std::string> materialNames;
    // What was skipped, one entry per kind: "line N: what (K times)" with its first line.
    std::vector<std::string> warnings;
};

// Limits that keep a hostile or broken file from taking the process down with it.
constexpr size_t kMaxObjFileBytes = size_t(256) << 20;
constexpr size_t kMaxObjPolygonCorners = 4096;
constexpr size_t kMaxObjMaterials = 65536;

// Parses OBJ text as common readers do: a face that cannot be used (fewer than three
// corners, an index that names nothing, too many corners) is skipped, a texture coordinate
// or normal index that names nothing is read as a zero coordinate or drops the normals, and
// each kind of trouble leaves one warning. False only when every later index would be
// wrong (an unreadable vertex, normal or texture coordinate) or the text is too large; the
// mesh is then empty but for its warnings. A mesh left without polygons is empty.
bool ParseObj(const char* data, size_t size, ObjMesh& mesh);
// Reads and parses a file; false (mesh empty) when it cannot be read or is malformed.
bool ReadObjFile(const std::string& path, ObjMesh& mesh);
// Whether the path ends in ".obj", in any letter case.
bool IsObjPath(const char* path);

// Run when a node is evaluated: a mesh whose file name is an OBJ file loads it into its
// geometry attributes when it has not loaded that file yet or its reload flag is set
// (the flag is cleared by the load). A mesh that loaded a file and no longer names one
// drops the loaded geometry. Other nodes are left alone. Warnings and failures are written
// to standard error, naming the file and line.
void LoadMeshFileIfDue(NodeImpl* node);

}  // namespace Engine
}  // namespace Zarnik
