#include "sketchup/geometry_stream.h"

#include <glog/logging.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "sketchup/su_manager.h"
#include "utils/matrix.h"
#include "utils/message.h"

namespace Zarnik {

namespace {

// Warm-up counts beyond this are hints gone wrong; the vectors still grow as needed.
constexpr std::int64_t kMaxWarmup = std::int64_t{1} << 24;
// Buffers bigger than this are given back when the stream empties.
constexpr std::size_t kKeptElements = std::size_t{1} << 16;

template <class Vector>
void Empty(Vector& values) {
  if (values.capacity() > kKeptElements) {
    Vector().swap(values);
  } else {
    values.clear();
  }
}

template <class Vector>
void Reserve(Vector& values, std::int64_t count) {
  values.reserve(static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, kMaxWarmup)));
}

std::int32_t RaiseSurface(std::int32_t surface) {
  // Wraps instead of overflowing for ids near the top of the range.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(surface) +
                                   static_cast<std::uint32_t>(GeometryStreamBuilder::kSurfaceStep));
}

}  // namespace

void GeometryStreamBuilder::Warmup(std::int64_t vertex_count, std::int64_t index_count) {
  // Large blocks are mapped lazily, so generous room costs address space, not memory, and
  // spares the copies of growing arrays. Unique points and normals cannot outnumber the
  // corners.
  Reserve(stream_.uvws, vertex_count);
  Reserve(stream_.points, vertex_count);
  Reserve(stream_.normals, vertex_count);
  Reserve(vertex_points_, vertex_count);
  Reserve(corner_entries_, vertex_count);
  Reserve(point_normals_, vertex_count);
  Reserve(entry_keys_, vertex_count);
  Reserve(entry_normals_, vertex_count);
  Reserve(stream_.normal_indices, index_count);
  Reserve(stream_.uvw_indices, index_count);
  Reserve(stream_.vertex_indices, index_count);
}

GeometryStreamBuilder::GeometryStreamBuilder() : recent_(kRecentPositions, RecentPosition{{0, 0, 0}, -1}) {}

std::int32_t GeometryStreamBuilder::FilePoint(const Vec3<float>& p) {
  const StreamKeys::PositionKey key = StreamKeys::KeyOfPosition(p.x, p.y, p.z);
  const LargeVector<Vec3<float>>& points = stream_.points;
  const auto same = [&](std::int32_t point) {
    // The same bits are the same key; other bits may still print alike.
    const Vec3<float>& q = points[static_cast<std::size_t>(point)];
    const bool same_bits = StreamKeys::FloatBits(q.x) == StreamKeys::FloatBits(p.x) &&
                           StreamKeys::FloatBits(q.y) == StreamKeys::FloatBits(p.y) &&
                           StreamKeys::FloatBits(q.z) == StreamKeys::FloatBits(p.z);
    return same_bits || StreamKeys::KeyOfPosition(q.x, q.y, q.z) == key;
  };
  bool inserted = false;
  const std::int32_t point =
      positions_.FindOrInsert(StreamKeys::HashOf(key), static_cast<std::int32_t>(points.size()), same, inserted);
  if (inserted) {
    stream_.points.push_back(p);
    point_normals_.push_back(PointNormal{0, -1});
    if (stale_position_used_ && stale_point_ < 0 && key == stale_key_) stale_point_ = point;
  }
  return point;
}

void GeometryStreamBuilder::AddVertex(float x, float y, float z) {
  const Vec3<float> p{x / kInchesPerMeter, z / kInchesPerMeter, -y / kInchesPerMeter};
  last_vertex_ = p;
  const std::uint32_t bits[3] = {StreamKeys::FloatBits(p.x), StreamKeys::FloatBits(p.y), StreamKeys::FloatBits(p.z)};
  const std::uint64_t hash = StreamKeys::Mix(bits[0] ^ (static_cast<std::uint64_t>(bits[1]) << 32)) ^ bits[2];
  RecentPosition& recent = recent_[StreamKeys::Mix(hash) >> 52];
  std::int32_t point;
  if (recent.point >= 0 && recent.bits[0] == bits[0] && recent.bits[1] == bits[1] && recent.bits[2] == bits[2]) {
    point = recent.point;
  } else {
    point = FilePoint(p);
    recent = RecentPosition{{bits[0], bits[1], bits[2]}, point};
  }
  vertex_points_.push_back(point);
  last_point_ = point;
}

std::int32_t GeometryStreamBuilder::NewNormalEntry(std::uint64_t key) {
  const std::int32_t entry = static_cast<std::int32_t>(entry_keys_.size());
  entry_keys_.push_back(key);
  entry_normals_.push_back(-1);
  return entry;
}

std::int32_t GeometryStreamBuilder::FindNormalEntry(std::int32_t point, std::int32_t surface) const {
  const std::int32_t position = point >= 0 ? PositionOfPoint(point) : kStalePosition;
  if (position >= 0) {
    const PointNormal& first = point_normals_[static_cast<std::size_t>(point)];
    if (first.entry >= 0 && first.surface == surface) return first.entry;
  }
  const std::uint64_t key = NormalKey(position, surface);
  return normal_keys_.Find(StreamKeys::HashOf(key),
                           [&](std::int32_t entry) { return entry_keys_[static_cast<std::size_t>(entry)] == key; });
}

std::int32_t GeometryStreamBuilder::FileNormal(std::int32_t point, std::int32_t surface, bool& inserted) {
  const std::int32_t position = point >= 0 ? PositionOfPoint(point) : kStalePosition;
  const std::uint64_t key = NormalKey(position, surface);
  if (position >= 0) {
    PointNormal& first = point_normals_[static_cast<std::size_t>(point)];
    if (first.entry >= 0 && first.surface == surface) {
      inserted = false;
      return first.entry;
    }
    if (first.entry < 0) {
      first = PointNormal{surface, NewNormalEntry(key)};
      inserted = true;
      return first.entry;
    }
  }
  const std::int32_t entry = normal_keys_.FindOrInsert(
      StreamKeys::HashOf(key), static_cast<std::int32_t>(entry_keys_.size()),
      [&](std::int32_t e) { return entry_keys_[static_cast<std::size_t>(e)] == key; }, inserted);
  if (inserted) NewNormalEntry(key);
  return entry;
}

void GeometryStreamBuilder::AddNormal(float nx, float ny, float nz, std::int32_t surface) {
  const Vec3<float> n{nx, nz, -ny};
  if (last_point_ < 0 && !stale_position_used_) {
    stale_key_ = StreamKeys::KeyOfPosition(last_vertex_.x, last_vertex_.y, last_vertex_.z);
    stale_position_used_ = true;
  }
  const std::int32_t new_normal = static_cast<std::int32_t>(stream_.normals.size());

  bool inserted = false;
  std::int32_t entry = FileNormal(last_point_, surface, inserted);
  if (inserted) {
    entry_normals_[static_cast<std::size_t>(entry)] = new_normal;
    stream_.normals.push_back(n);
  } else {
    const Vec3<float>& m = stream_.normals[static_cast<std::size_t>(entry_normals_[static_cast<std::size_t>(entry)])];
    const float d = std::fabs(m.x * n.x + m.y * n.y + m.z * n.z);
    if (!(d > 0.01f)) {
      // At a right angle to the surface's normal here: a crease, so a surface of its own.
      surface = RaiseSurface(surface);
      entry = FileNormal(last_point_, surface, inserted);
      entry_normals_[static_cast<std::size_t>(entry)] = new_normal;
      stream_.normals.push_back(n);
    }
  }
  const std::size_t call = normal_calls_;
  // The entry stands for this call's key only when the call followed its own vertex call;
  // otherwise the index lookup files the key from the vertex it is given.
  const bool paired = vertex_points_.size() == call + 1;
  if (!paired) unpaired_surfaces_.emplace_back(call, surface);
  corner_entries_.push_back(paired ? entry : -1);
  ++normal_calls_;
}

void GeometryStreamBuilder::AddUvw(float u, float v, float w) { stream_.uvws.push_back(Vec3<float>{u / w, v / w, 1.0f}); }

bool GeometryStreamBuilder::AddVertexIndex(std::int32_t number) {
  if (number < 1 || static_cast<std::size_t>(number) > vertex_points_.size()) return false;
  stream_.vertex_indices.push_back(vertex_points_[static_cast<std::size_t>(number) - 1]);
  return true;
}

bool GeometryStreamBuilder::AddNormalIndex(std::int32_t number) {
  if (number < 1 || static_cast<std::size_t>(number) > vertex_points_.size() ||
      static_cast<std::size_t>(number) > normal_calls_) {
    return false;
  }
  const std::size_t k = static_cast<std::size_t>(number) - 1;
  std::int32_t entry = corner_entries_[k];
  if (entry < 0) {
    const auto unpaired = std::lower_bound(unpaired_surfaces_.begin(), unpaired_surfaces_.end(),
                                           std::make_pair(k, std::numeric_limits<std::int32_t>::min()));
    entry = FindNormalEntry(vertex_points_[k], unpaired->second);
  }
  // A key that names no normal reads the first one, as a lookup of a missing key would.
  stream_.normal_indices.push_back(entry >= 0 ? entry_normals_[static_cast<std::size_t>(entry)] : 0);
  return true;
}

void GeometryStreamBuilder::AddUvwIndex(std::int32_t number) {
  stream_.uvw_indices.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(number) - 1u));
}

void GeometryStreamBuilder::Clear() {
  Empty(stream_.faces);
  Empty(stream_.normals);
  Empty(stream_.uvws);
  Empty(stream_.points);
  Empty(stream_.normal_indices);
  Empty(stream_.uvw_indices);
  Empty(stream_.vertex_indices);
  Empty(vertex_points_);
  normal_calls_ = 0;
  Empty(corner_entries_);
  Empty(unpaired_surfaces_);
  Empty(entry_keys_);
  Empty(entry_normals_);
  Empty(point_normals_);
  for (RecentPosition& recent : recent_) recent.point = -1;
  positions_.Clear();
  normal_keys_.Clear();
  last_point_ = -1;
  stale_position_used_ = false;
  stale_point_ = -1;
}

namespace SketchupManager {

namespace {

GeometryStreamBuilder stream_builder;
std::int32_t active_entity_id = kRootId;

}  // namespace

GeometryStreamBuilder& StreamBuilder() { return stream_builder; }
const GeometryStream& Geometry() { return stream_builder.Stream(); }
void ClearGeometryStream() { stream_builder.Clear(); }
std::int32_t ActiveEntityId() { return active_entity_id; }
void SetActiveEntityId(std::int32_t id) { active_entity_id = id; }

bool EvaluateStream(const std::string& settings) {
  bool built = false;
  std::shared_ptr<Definition> definition = GetDefinition(active_entity_id);
  // A definition that shows a proxy ignores streams and keeps what it has.
  if (definition && !definition->HasProxy()) {
    definition->ClearGeometry();
    if (stream_builder.VertexCallCount() > 0 && definition->Evaluate()) {
      if (!settings.empty()) definition->SetGeometrySettings(Message::StringToJson(settings));
      definition->EvaluateFromStream(stream_builder.Stream());
      if (definition->id == kRootId) definition->AddInstance(Float4x4(), kNoId);
      built = true;
    }
  }
  stream_builder.Clear();
  return built;
}

}  // namespace SketchupManager
}  // namespace Zarnik
