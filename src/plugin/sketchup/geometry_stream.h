#pragma once

// The geometry stream: a definition's triangles arrive from Ruby one number at a time (per
// corner a position, a normal with its smoothing surface and texture coordinates, then
// index lists and faces). The builder converts positions and normals from the host frame
// (inches, Z up) to the engine frame (metres, Y up), merges corners that share a position
// into one vertex and corners that also share a smoothing surface into one normal, and
// holds the result until "evaluate_stream" writes it into the target definition's mesh.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sketchup/index_table.h"
#include "sketchup/large_buffer.h"
#include "sketchup/position_key.h"
#include "sketchup/stream_worker.h"
#include "utils/matrix.h"
#include "zarnik.h"

namespace Zarnik {

// A run of triangles [first_triangle, end_triangle) covered by one host material.
struct Face {
  std::int32_t face_id;
  std::int32_t material_id;
  std::int32_t first_triangle;
  std::int32_t end_triangle;
};

// Apart from each other: two threads that write one cache line slow each other down.
constexpr std::size_t kCacheLine = 64;

// What one stream has collected, in engine form. While the stream is being filled, the
// first part is written on the caller's thread and the second on the merge thread.
struct GeometryStream {
  std::vector<Face> faces;
  std::string name;
  LargeVector<Vec3<float>> uvws;
  LargeVector<std::int32_t> uvw_indices;
  alignas(kCacheLine) LargeVector<Vec3<float>> normals;  // unique, not yet of unit length
  LargeVector<Vec3<float>> points;                      // unique positions, metres
  LargeVector<std::int32_t> normal_indices;
  LargeVector<std::int32_t> vertex_indices;  // three per triangle
};

class GeometryStreamBuilder {
 public:
  // Corners are merged in batches of `batch` calls; full batches go to a thread of the
  // builder's own unless `merge_thread` is false. Neither changes what is built.
  explicit GeometryStreamBuilder(std::size_t batch = kBatch, bool merge_thread = true);

  // Surfaces whose normals meet at a right angle at one corner are told apart by this.
  static constexpr std::int32_t kSurfaceStep = 100000;

  // The record, with every call made so far merged into it. Throws what a merge on the
  // merge thread failed with; the stream is then to be emptied.
  GeometryStream& Stream();

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

  // Empties everything but the name; the memory stays for the next stream.
  void Clear();
  // Clear, and gives the memory back as well, the merge thread included.
  void ReleaseMemory();
  // Gives the memory back only when it is room for more than `corners` corners.
  void ReleaseMemoryAbove(std::size_t corners);

  // Nothing has been streamed since the stream was last emptied (the name does not count).
  bool IsEmpty() const {
    return vertex_calls_ == 0 && normal_calls_ == 0 && vertex_index_calls_ == 0 && normal_index_calls_ == 0 &&
           stream_.uvws.empty() && stream_.faces.empty() && stream_.uvw_indices.empty();
  }

  std::size_t BatchSize() const { return batch_limit_; }
  std::size_t VertexCallCount() const { return vertex_calls_; }
  std::size_t NormalCallCount() const { return normal_calls_; }

 private:
  // Positions and normals are merged in batches rather than call by call: one tight loop
  // over a batch keeps the merge tables and the code in the caches (the interpreter between
  // two calls pushes them out), and it knows which table slots it will need next and asks
  // for them ahead. Full batches are merged on the merge thread while Ruby goes on calling;
  // what is left at the end is merged on the caller's thread. The order of the calls is
  // kept, so the result is the same as merging each call as it comes.
  struct PendingNormal {
    Vec3<float> normal;  // engine frame
    std::int32_t surface;
    std::size_t vertex_calls;  // AddVertex calls made before this one
  };
  // The index calls of a batch come after all of its vertex and normal calls: a vertex or
  // normal call after an index call starts a new batch. Each array has room for one batch;
  // the calls write straight into it (a record built aside and copied in would be stored
  // in parts and read back whole, which the processor cannot forward from its store queue).
  struct alignas(kCacheLine) PendingBatch {
    std::unique_ptr<Vec3<float>[]> vertices;  // engine frame, metres
    std::unique_ptr<PendingNormal[]> normals;
    std::unique_ptr<std::int32_t[]> vertex_numbers;  // checked, counting from 0
    std::unique_ptr<std::int32_t[]> normal_numbers;
    std::size_t vertex_count = 0;
    std::size_t normal_count = 0;
    std::size_t vertex_number_count = 0;
    std::size_t normal_number_count = 0;
    bool Empty() const {
      return vertex_count == 0 && normal_count == 0 && vertex_number_count == 0 && normal_number_count == 0;
    }
    void Clear() { vertex_count = normal_count = vertex_number_count = normal_number_count = 0; }
  };
  static constexpr std::size_t kBatch = 4096;
  static constexpr std::size_t kBatchSlots = 8;

  // Owned by the caller's thread: the batch being filled and the counts of the calls.
  alignas(kCacheLine) const std::size_t batch_limit_;
  const bool merge_thread_;
  PendingBatch batches_[kBatchSlots];
  std::size_t filling_slot_ = 0;
  PendingBatch* filling_ = &batches_[0];
  // How many vertex and normal calls, and how many index calls of each kind, the filling
  // batch takes before MakeRoom: zero while the arrays are not yet made, and zero for
  // vertices and normals once the batch holds index calls.
  std::size_t vertex_room_ = 0;
  std::size_t index_room_ = 0;
  bool filling_has_indices_ = false;
  std::size_t vertex_calls_ = 0;
  std::size_t normal_calls_ = 0;
  std::size_t vertex_index_calls_ = 0;
  std::size_t normal_index_calls_ = 0;

  // Makes the batch arrays, or passes the filling batch on and starts another.
  void MakeRoom();
  // Passes the filling batch on and starts another.
  void HandOver();
  void SetRoom() {
    const bool made = batches_[0].vertices != nullptr;
    vertex_room_ = made && !filling_has_indices_ ? batch_limit_ : 0;
    index_room_ = made ? batch_limit_ : 0;
  }
  // The filling batch holds index calls now: the next vertex or normal call starts another.
  void NoteIndexCall() {
    filling_has_indices_ = true;
    vertex_room_ = 0;
  }
  // Waits until the merge thread is done; rethrows what it failed with.
  void Sync();

  // Everything below belongs to the merge thread from a hand-over until the next wait for
  // it, and to the caller's thread otherwise.

  // Gives back the memory of every buffer (emptied or about to be).
  void ReleaseBuffers();
  // Keeps the caller's counts above off the lines of what follows.
  alignas(kCacheLine) char merge_state_begins_ = 0;
  // Merges a batch, in call order, and empties it.
  void MergeBatch(PendingBatch& batch);
  // The same on the merge thread, which then lets go of the batch's cache lines.
  void MergeAndGiveUp(PendingBatch& batch);
  void MergeVertices(const Vec3<float>* vertices, std::size_t count, std::size_t from, std::size_t to);
  // A position's key and hash, worked out once: ahead of the merge, to ask for the table
  // slot, and then used by the merge itself.
  struct KeyedPosition {
    StreamKeys::PositionKey key;
    std::uint64_t hash;
    std::size_t index;  // the pending vertex it was worked out for
    bool known;         // false: the recent positions had it, so neither was worked out
  };
  // Ahead of the merge by fewer than kKeyedAhead pending vertices.
  static constexpr std::size_t kKeyedAhead = 16;
  KeyedPosition keyed_ahead_[kKeyedAhead] = {};
  // Asks for the memory that merging this position will read.
  void PrefetchPosition(const Vec3<float>& p, KeyedPosition& keyed) const;
  void MergeVertex(const Vec3<float>& p, const KeyedPosition* keyed);
  void MergeNormal(const Vec3<float>& n, std::int32_t surface);
  // The normal number that the index call for corner `k` (counting from 0) stores.
  std::int32_t NormalNumberOf(std::size_t k) const;

  // Normals are filed by (position, surface). A position is named by its point, since two
  // positions with the same key are the same point. The one exception: a normal that
  // arrives before the first vertex of a stream belongs to the latest position of the
  // previous stream, which is no point of this one; it is named kStalePosition, and so is
  // the point that later turns out to have that position.
  static constexpr std::int32_t kStalePosition = -2;

  std::int32_t PositionOfPoint(std::int32_t point) const {
    return point == stale_point_ ? kStalePosition : point;
  }
  static std::uint64_t NormalKey(std::int32_t position, std::int32_t surface) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(position)) << 32) | static_cast<std::uint32_t>(surface);
  }
  // The normal entry filed for (the position of `point`, surface); -1 when there is none.
  // A point of -1 stands for the stale position.
  std::int32_t FindNormalEntry(std::int32_t point, std::int32_t surface) const;
  // The same, filing a new entry when there is none.
  std::int32_t FileNormal(std::int32_t point, std::int32_t surface, bool& inserted);
  std::int32_t NewNormalEntry(std::uint64_t key);
  // The point with this position's key, made when there is none.
  std::int32_t FilePoint(const Vec3<float>& p, const StreamKeys::PositionKey& key, std::uint64_t hash);

  // Positions seen lately, by their exact bits. The same bits make the same key, so a
  // position that comes again soon (as the corners around a shared vertex do) needs
  // neither a key nor a table lookup.
  // An entry counts only while its generation is the stream's: emptying the stream moves
  // the generation on instead of wiping the table.
  struct RecentPosition {
    std::uint32_t bits[3];
    std::int32_t point;
    std::uint32_t generation;
  };
  static constexpr std::size_t kRecentPositions = 4096;
  std::vector<RecentPosition> recent_;
  std::uint32_t generation_ = 1;
  void ForgetRecentPositions();

  // Per point: the first (surface, entry) filed there. Most points lie on one smoothing
  // surface, so most normals need neither a key nor a table.
  struct PointNormal {
    std::int32_t surface;
    std::int32_t entry;  // -1: none yet
  };
  LargeVector<PointNormal> point_normals_;

  // The caller's thread writes the name, faces, texture coordinates and their indices; the
  // merge thread the rest.
  GeometryStream stream_;

  // Per AddVertex call: the point it merged into.
  LargeVector<std::int32_t> vertex_points_;
  Vec3<float> last_vertex_{0.0f, 0.0f, 0.0f};
  std::int32_t last_point_ = -1;  // -1 until the stream's first vertex
  bool stale_position_used_ = false;
  StreamKeys::PositionKey stale_key_{};
  std::int32_t stale_point_ = -1;

  // Per AddNormal call: the normal entry its key landed in when the call followed its own
  // vertex call, else -1; the (possibly raised) surface of such a call is kept aside, by
  // call number, for the index lookup.
  std::size_t merged_normal_calls_ = 0;
  LargeVector<std::int32_t> corner_entries_;
  std::vector<std::pair<std::size_t, std::int32_t>> unpaired_surfaces_;

  IndexTable positions_;  // position key -> point
  // Normal key -> entry for the keys that no point record holds; entry -> normal. An
  // entry's normal can be replaced later (a right-angled normal under the raised surface),
  // which every corner that landed in the entry then sees.
  IndexTable normal_keys_;
  LargeVector<std::uint64_t> entry_keys_;
  LargeVector<std::int32_t> entry_normals_;

  // Last, so that its thread ends before anything it works on goes.
  StreamWorker worker_;
};

// Three quotients in one four-lane division whose every lane is set. Left to itself the
// compiler packs two of the three divisions into such a division and fills the other two
// lanes from whatever the stack holds; a denormal there (the low half of a pointer, say)
// costs a microcode assist of a hundred cycles and more, on every call.
inline Vec3<float> Quotients(float a, float b, float c, float divisor_ab, float divisor_c) {
  typedef float Lanes __attribute__((vector_size(16)));
  const Lanes quotient = Lanes{a, b, c, 0.0f} / Lanes{divisor_ab, divisor_ab, divisor_c, 1.0f};
  return Vec3<float>{quotient[0], quotient[1], quotient[2]};
}

// A batch array was last read by the merge thread, whose processor's cache may still
// hold its lines; a write there waits for them to be handed back, which between two
// processors far apart costs about as much as the rest of the call. Each call therefore
// asks for the line that a call a few steps later will write, as a line to be written.
template <class T>
inline void PrepareToWrite(const T* items, std::size_t next) {
  constexpr std::size_t kLinesAhead = 4;
  const char* line = reinterpret_cast<const char*>(items + next) + kLinesAhead * kCacheLine;
#if defined(__x86_64__)
  __asm__ volatile("prefetchw %0" : : "m"(*line));
#else
  __builtin_prefetch(line, 1);
#endif
}

// The per-corner calls are defined here, so that the Ruby methods, which Ruby calls
// millions of times for a large mesh, compile into one function each.

inline void GeometryStreamBuilder::AddVertex(float x, float y, float z) {
  if (filling_->vertex_count >= vertex_room_) MakeRoom();
  PrepareToWrite(filling_->vertices.get(), filling_->vertex_count);
  filling_->vertices[filling_->vertex_count++] = Quotients(x, z, -y, kInchesPerMeter, kInchesPerMeter);
  ++vertex_calls_;
}

inline void GeometryStreamBuilder::AddNormal(float nx, float ny, float nz, std::int32_t surface) {
  if (filling_->normal_count >= vertex_room_) MakeRoom();
  PrepareToWrite(filling_->normals.get(), filling_->normal_count);
  PendingNormal& pending = filling_->normals[filling_->normal_count++];
  pending.normal = Vec3<float>{nx, nz, -ny};
  pending.surface = surface;
  pending.vertex_calls = vertex_calls_;
  ++normal_calls_;
}

inline bool GeometryStreamBuilder::AddVertexIndex(std::int32_t number) {
  if (number < 1 || static_cast<std::size_t>(number) > vertex_calls_) return false;
  if (filling_->vertex_number_count >= index_room_) MakeRoom();
  PrepareToWrite(filling_->vertex_numbers.get(), filling_->vertex_number_count);
  filling_->vertex_numbers[filling_->vertex_number_count++] = number - 1;
  ++vertex_index_calls_;
  NoteIndexCall();
  return true;
}

inline bool GeometryStreamBuilder::AddNormalIndex(std::int32_t number) {
  if (number < 1 || static_cast<std::size_t>(number) > vertex_calls_ ||
      static_cast<std::size_t>(number) > normal_calls_) {
    return false;
  }
  if (filling_->normal_number_count >= index_room_) MakeRoom();
  PrepareToWrite(filling_->normal_numbers.get(), filling_->normal_number_count);
  filling_->normal_numbers[filling_->normal_number_count++] = number - 1;
  ++normal_index_calls_;
  NoteIndexCall();
  return true;
}

inline void GeometryStreamBuilder::AddUvw(float u, float v, float w) {
  stream_.uvws.push_back(Quotients(u, v, 1.0f, w, 1.0f));
}

inline void GeometryStreamBuilder::AddUvwIndex(std::int32_t number) {
  stream_.uvw_indices.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(number) - 1u));
}

namespace SketchupManager {

// The stream that Ruby fills; `Geometry()` is the record the target definition reads.
// Inline, as the per-corner methods reach it millions of times.
extern GeometryStreamBuilder stream_builder;
inline GeometryStreamBuilder& StreamBuilder() { return stream_builder; }
const GeometryStream& Geometry();
// Empties the stream and its merge tables; the name stays. The memory is kept for the next
// stream of the export pass.
void ClearGeometryStream();
// Gives the stream's memory back: the geometry is flushed or the stream failed.
void ReleaseStreamMemory();
// The export pass is over: keeps the memory of a stream of moderate size, so that the next
// export does not ask the system for every page again, and gives back anything larger.
void TrimStreamMemory();

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
