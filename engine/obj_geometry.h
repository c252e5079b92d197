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
};

// Limits that keep a hostile or broken file from taking the process down with it.
constexpr size_t kMaxObjFileBytes = size_t(256) << 20;
constexpr size_t kMaxObjPolygonCorners = 4096;
constexpr size_t kMaxObjMaterials = 65536;

// Parses OBJ text. False for malformed text (an unreadable number, an index that names
// nothing, a polygon with fewer than three corners, a limit exceeded); mesh is then empty.
bool ParseObj(const char* data, size_t size, ObjMesh& mesh);
// Reads and parses a file; false (mesh empty) when it cannot be read or is malformed.
bool ReadObjFile(const std::string& path, ObjMesh& mesh);
// Whether the path ends in ".obj", in any letter case.
bool IsObjPath(const char* path);

// Run when a node is evaluated: a mesh whose file name is an OBJ file loads it into its
// geometry attributes when it has not loaded that file yet or its reload flag is set
// (the flag is cleared by the load). A mesh that loaded a file and no longer names one
// drops the loaded geometry. Other nodes are left alone.
void LoadMeshFileIfDue(NodeImpl* node);

}  // namespace Engine
}  // namespace Zarnik
