#pragma once

// The geometry stream: a definition's triangles arrive from Ruby one number at a time (per
// corner a position, a normal with its smoothing surface and texture coordinates, then
// index lists and faces). The builder converts positions and normals from the host frame
// (inches, Z up) to the engine frame (metres, Y up), merges corners that share a position
// into one vertex and corners that also share a smoothing surface into one normal, and
// holds the result until "evaluate_stream" writes it into the target definition's mesh.

#include <cstdint>
#include <string>
#include <vector>

#include "sketchup/corner_table.h"
#include "zarnik.h"

namespace Zarnik {

// A run of triangles [first_triangle, end_triangle) covered by one host material.
struct Face {
  std::int32_t face_id;
  std::int32_t material_id;
  std::int32_t first_triangle;
  std::int32_t end_triangle;
};

// What one stream has collected, in engine form.
struct GeometryStream {
  std::vector<Face> faces;
  std::string name;
  std::vector<Vec3<float>> normals;  // unique, not yet of unit length
  std::vector<Vec3<float>> uvws;
  std::vector<Vec3<float>> points;   // unique positions, metres
  std::vector<std::int32_t> normal_indices;
  std::vector<std::int32_t> uvw_indices;
  std::vector<std::int32_t> vertex_indices;  // three per triangle
};

class GeometryStreamBuilder {
 public:
  // Surfaces whose normals meet at a right angle at one corner are told apart by this.
  static constexpr std::int32_t kSurfaceStep = 100000;

  const GeometryStream& Stream() const { return stream_; }
  GeometryStream& Stream() { return stream_; }

  void SetName(const std::string& name) { stream_.name = name; }
  // Capacity hints; absurd counts are capped rather than honoured.
  void Warmup(std::int64_t vertex_count, std::int64_t index_count);

  // A corner's position in host inches.
  void AddVertex(float x, float y, float z);
  // The normal of the latest corner, in the host frame, with its smoothing surface.
  void AddNormal(float nx, float ny, float nz, std::int32_t surface);
  // Stored as (u / w, v / w, 1).
  void AddUvw(float u, float v, float w);
  // Vertex numbers count from 1 over the AddVertex calls since the stream was emptied.
  // A number outside that range (or, for normals, beyond the AddNormal calls) is refused
  // with false and leaves the stream as it was.
  bool AddVertexIndex(std::int32_t number);
  bool AddNormalIndex(std::int32_t number);
  // Stored minus one, unchecked: texture coordinates are not merged, so the host's
  // numbering is kept as it is.
  void AddUvwIndex(std::int32_t number);
  void AddFace(const Face& face) { stream_.faces.push_back(face); }

  // Empties everything but the name.
  void Clear();

  std::size_t VertexCallCount() const { return vertices_.size(); }
  std::size_t NormalCallCount() const { return surface_ids_.size(); }

 private:
  // The normal index for the key of vertex call `number` (1-based) and its surface, as the
  // normal table holds it now; 0 when the table has no such key.
  std::int32_t LookUpNormal(std::size_t number) const;

  GeometryStream stream_;

  // Per AddVertex call: the converted position and the unique point it merged into.
  std::vector<Vec3<float>> vertices_;
  std::vector<std::int32_t> vertex_points_;
  Vec3<float> last_vertex_{0.0f, 0.0f, 0.0f};

  // Per AddNormal call: the (possibly raised) surface and, when the call followed its own
  // vertex call, the normal-table entry its key landed in (-1 otherwise).
  std::vector<std::int32_t> surface_ids_;
  std::vector<std::int32_t> corner_entries_;

  CornerTable positions_;  // position key -> index into points
  // Position-and-surface key -> entry; entry -> index into normals. An entry's normal can
  // be replaced later (a right-angled normal under the raised surface), which every corner
  // that landed in the entry then sees.
  CornerTable normal_keys_;
  std::vector<std::int32_t> normal_entries_;
};

namespace SketchupManager {

// The stream that Ruby fills; `Geometry()` is the record the target definition reads.
GeometryStreamBuilder& StreamBuilder();
const GeometryStream& Geometry();
// Empties the stream and its merge tables; the name stays.
void ClearGeometryStream();

// The definition that the next "evaluate_stream" fills.
std::int32_t ActiveEntityId();
void SetActiveEntityId(std::int32_t id);

// Builds the active definition's mesh from the stream (with the geometry settings when the
// text is not empty) and empties the stream in any case. True when a mesh was built.
bool EvaluateStream(const std::string& settings);

// Registers class ExtStream and its methods.
void DefineStreamClass();

}  // namespace SketchupManager
}  // namespace Zarnik
