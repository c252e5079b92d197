#include "sketchup/geometry_stream.h"

#include <glog/logging.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

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
// Room for this many corners is kept whatever the streams that follow.
constexpr std::size_t kKeptCorners = std::size_t{1} << 16;
// Room kept between export passes: enough for a detailed component (some 40 MiB at most,
// and only the pages its streams touched), not the whole of an exceptional one.
constexpr std::size_t kKeptBetweenPasses = std::size_t{1} << 19;

template <class Vector>
void Release(Vector& values) {
  Vector().swap(values);
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

// The merge thread reads a batch that the caller's thread wrote, and the caller's thread
// writes the same arrays again a few batches later. Lines the merge thread has read stay
// in its processor's cache meanwhile, and the caller's writes then wait for them to be
// handed back one by one: on a virtual machine whose processors sit far apart that made
// the per-corner calls half as slow again. So the merge thread lets go of every line of a
// batch once it is merged, where the processor has a weakly ordered flush for it.
bool CanEvictLines() {
#if defined(__x86_64__)
  static const bool supported = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & (1u << 23)) != 0;
  }();
  return supported;
#else
  return false;
#endif
}

template <class T>
void EvictLines(const T* items, std::size_t count) {
#if defined(__x86_64__)
  if (count == 0 || !CanEvictLines()) return;
  const char* line = reinterpret_cast<const char*>(items);
  const char* const end = reinterpret_cast<const char*>(items + count);
  for (; line < end; line += kCacheLine) __asm__ volatile("clflushopt %0" : : "m"(*line) : "memory");
#else
  static_cast<void>(items);
  static_cast<void>(count);
#endif
}

}  // namespace

void GeometryStreamBuilder::Warmup(std::int64_t vertex_count, std::int64_t index_count) {
  Sync();
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

GeometryStreamBuilder::GeometryStreamBuilder(std::size_t batch, bool merge_thread)
    : batch_limit_(std::max<std::size_t>(batch, 1)),
      merge_thread_(merge_thread),
      recent_(kRecentPositions, RecentPosition{{0, 0, 0}, -1, 0}),
      worker_(kBatchSlots, [this](std::size_t slot) { MergeAndGiveUp(batches_[slot]); }) {}

void GeometryStreamBuilder::MergeAndGiveUp(PendingBatch& batch) {
  const std::size_t vertices = batch.vertex_count, normals = batch.normal_count;
  const std::size_t vertex_numbers = batch.vertex_number_count, normal_numbers = batch.normal_number_count;
  MergeBatch(batch);
  EvictLines(batch.vertices.get(), vertices);
  EvictLines(batch.normals.get(), normals);
  EvictLines(batch.vertex_numbers.get(), vertex_numbers);
  EvictLines(batch.normal_numbers.get(), normal_numbers);
}

GeometryStream& GeometryStreamBuilder::Stream() {
  Sync();
  // What is left is merged here: for a small stream, waking the merge thread would cost
  // more than the merge.
  if (!filling_->Empty()) MergeBatch(*filling_);
  filling_has_indices_ = false;
  SetRoom();
  return stream_;
}

void GeometryStreamBuilder::Sync() {
  if (std::exception_ptr failure = worker_.Wait()) std::rethrow_exception(failure);
}

void GeometryStreamBuilder::MakeRoom() {
  if (batches_[0].vertices) {
    HandOver();
    return;
  }
  // The first call of the builder's life, or the first since its memory went back.
  for (PendingBatch& batch : batches_) {
    batch.vertices = std::make_unique<Vec3<float>[]>(batch_limit_);
    batch.normals = std::make_unique<PendingNormal[]>(batch_limit_);
    batch.vertex_numbers = std::make_unique<std::int32_t[]>(batch_limit_);
    batch.normal_numbers = std::make_unique<std::int32_t[]>(batch_limit_);
  }
  SetRoom();
}

void GeometryStreamBuilder::HandOver() {
  std::size_t next = filling_slot_;
  // A part batch (a vertex or normal call after index calls) is merged here once the
  // thread is done: it is seldom worth a wake-up.
  const bool full = filling_->vertex_count >= batch_limit_ || filling_->normal_count >= batch_limit_ ||
                    filling_->vertex_number_count >= batch_limit_ || filling_->normal_number_count >= batch_limit_;
  if (merge_thread_ && full && worker_.HandOver(filling_slot_, next)) {
    filling_slot_ = next;
    filling_ = &batches_[next];
    filling_->Clear();
  } else {
    Sync();
    MergeBatch(*filling_);
  }
  filling_has_indices_ = false;
  SetRoom();
}

std::int32_t GeometryStreamBuilder::FilePoint(const Vec3<float>& p, const StreamKeys::PositionKey& key,
                                             std::uint64_t hash) {
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
      positions_.FindOrInsert(hash, static_cast<std::int32_t>(points.size()), same, inserted);
  if (inserted) {
    stream_.points.push_back(p);
    point_normals_.push_back(PointNormal{0, -1});
    if (stale_position_used_ && stale_point_ < 0 && key == stale_key_) stale_point_ = point;
  }
  return point;
}

namespace {

std::uint64_t HashOfBits(const std::uint32_t (&bits)[3]) {
  return StreamKeys::Mix(bits[0] ^ (static_cast<std::uint64_t>(bits[1]) << 32)) ^ bits[2];
}

}  // namespace

void GeometryStreamBuilder::PrefetchPosition(const Vec3<float>& p, KeyedPosition& keyed) const {
  const std::uint32_t bits[3] = {StreamKeys::FloatBits(p.x), StreamKeys::FloatBits(p.y), StreamKeys::FloatBits(p.z)};
  const RecentPosition& recent = recent_[StreamKeys::Mix(HashOfBits(bits)) >> 52];
  if (recent.generation == generation_ && recent.bits[0] == bits[0] && recent.bits[1] == bits[1] &&
      recent.bits[2] == bits[2]) {
    keyed.known = false;
    return;
  }
  keyed.key = StreamKeys::KeyOfPosition(p.x, p.y, p.z);
  keyed.hash = StreamKeys::HashOf(keyed.key);
  keyed.known = true;
  positions_.Prefetch(keyed.hash);
}

void GeometryStreamBuilder::MergeVertex(const Vec3<float>& p, const KeyedPosition* keyed) {
  last_vertex_ = p;
  const std::uint32_t bits[3] = {StreamKeys::FloatBits(p.x), StreamKeys::FloatBits(p.y), StreamKeys::FloatBits(p.z)};
  RecentPosition& recent = recent_[StreamKeys::Mix(HashOfBits(bits)) >> 52];
  std::int32_t point;
  if (recent.generation == generation_ && recent.bits[0] == bits[0] && recent.bits[1] == bits[1] &&
      recent.bits[2] == bits[2]) {
    point = recent.point;
  } else {
    if (keyed && keyed->known) {
      point = FilePoint(p, keyed->key, keyed->hash);
    } else {
      // The recent position seen ahead has been overwritten since, or nothing was seen ahead.
      const StreamKeys::PositionKey key = StreamKeys::KeyOfPosition(p.x, p.y, p.z);
      point = FilePoint(p, key, StreamKeys::HashOf(key));
    }
    recent = RecentPosition{{bits[0], bits[1], bits[2]}, point, generation_};
  }
  vertex_points_.push_back(point);
  last_point_ = point;
}

void GeometryStreamBuilder::MergeVertices(const Vec3<float>* vertices, std::size_t count, std::size_t from,
                                          std::size_t to) {
  // Far enough ahead for a slot to arrive from memory, near enough to stay in the cache.
  constexpr std::size_t kAhead = 8;
  static_assert(kAhead < kKeyedAhead, "a key worked out ahead is used before its place is taken");
  for (std::size_t i = from; i < to; ++i) {
    const std::size_t next = i + kAhead;
    if (next < count) {
      KeyedPosition& keyed = keyed_ahead_[next % kKeyedAhead];
      keyed.index = next;
      PrefetchPosition(vertices[next], keyed);
    }
    const KeyedPosition& mine = keyed_ahead_[i % kKeyedAhead];
    MergeVertex(vertices[i], mine.index == i ? &mine : nullptr);
  }
}

void GeometryStreamBuilder::MergeBatch(PendingBatch& batch) {
  // Keys worked out for an earlier batch name other vertices.
  for (KeyedPosition& keyed : keyed_ahead_) keyed.index = static_cast<std::size_t>(-1);
  const std::size_t merged = vertex_points_.size();
  std::size_t next = 0;
  const Vec3<float>* vertices = batch.vertices.get();
  for (std::size_t i = 0; i < batch.normal_count; ++i) {
    const PendingNormal& pending = batch.normals[i];
    const std::size_t before = pending.vertex_calls - merged;
    MergeVertices(vertices, batch.vertex_count, next, before);
    next = std::max(next, before);
    MergeNormal(pending.normal, pending.surface);
  }
  MergeVertices(vertices, batch.vertex_count, next, batch.vertex_count);
  // The index calls came after every corner of the batch, and their numbers were checked
  // against the calls made by then.
  for (std::size_t i = 0; i < batch.vertex_number_count; ++i) {
    stream_.vertex_indices.push_back(vertex_points_[static_cast<std::size_t>(batch.vertex_numbers[i])]);
  }
  for (std::size_t i = 0; i < batch.normal_number_count; ++i) {
    stream_.normal_indices.push_back(NormalNumberOf(static_cast<std::size_t>(batch.normal_numbers[i])));
  }
  batch.Clear();
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

void GeometryStreamBuilder::MergeNormal(const Vec3<float>& n, std::int32_t surface) {
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
  const std::size_t call = merged_normal_calls_;
  // The entry stands for this call's key only when the call followed its own vertex call;
  // otherwise the index lookup files the key from the vertex it is given.
  const bool paired = vertex_points_.size() == call + 1;
  if (!paired) unpaired_surfaces_.emplace_back(call, surface);
  corner_entries_.push_back(paired ? entry : -1);
  ++merged_normal_calls_;
}

std::int32_t GeometryStreamBuilder::NormalNumberOf(std::size_t k) const {
  std::int32_t entry = corner_entries_[k];
  if (entry < 0) {
    const auto unpaired = std::lower_bound(unpaired_surfaces_.begin(), unpaired_surfaces_.end(),
                                           std::make_pair(k, std::numeric_limits<std::int32_t>::min()));
    entry = FindNormalEntry(vertex_points_[k], unpaired->second);
  }
  // A key that names no normal reads the first one, as a lookup of a missing key would.
  return entry >= 0 ? entry_normals_[static_cast<std::size_t>(entry)] : 0;
}

void GeometryStreamBuilder::Clear() {
  // Whatever the merge thread failed with goes with the stream.
  static_cast<void>(worker_.Wait());
  // A normal streamed before the next stream's first vertex belongs to this position.
  if (filling_->vertex_count > 0) last_vertex_ = filling_->vertices[filling_->vertex_count - 1];
  // Capacity is kept: the next stream of the pass reuses memory the system has already
  // handed over, which costs far less than fresh pages. Only a stream much smaller than
  // what is kept gives it back, so that one large mesh does not hold its memory through a
  // long run of small ones.
  const std::size_t corners = std::max(VertexCallCount(), stream_.vertex_indices.size());
  if (vertex_points_.capacity() > kKeptCorners && corners * 4 < vertex_points_.capacity()) {
    ReleaseBuffers();
  }
  for (PendingBatch& batch : batches_) batch.Clear();
  filling_has_indices_ = false;
  SetRoom();
  vertex_calls_ = 0;
  normal_calls_ = 0;
  vertex_index_calls_ = 0;
  normal_index_calls_ = 0;
  stream_.faces.clear();
  stream_.normals.clear();
  stream_.uvws.clear();
  stream_.points.clear();
  stream_.normal_indices.clear();
  stream_.uvw_indices.clear();
  stream_.vertex_indices.clear();
  vertex_points_.clear();
  merged_normal_calls_ = 0;
  corner_entries_.clear();
  unpaired_surfaces_.clear();
  entry_keys_.clear();
  entry_normals_.clear();
  point_normals_.clear();
  ForgetRecentPositions();
  positions_.Clear();
  normal_keys_.Clear();
  last_point_ = -1;
  stale_position_used_ = false;
  stale_point_ = -1;
}

void GeometryStreamBuilder::ForgetRecentPositions() {
  if (++generation_ != 0) return;
  // The stamp went round: old entries could pass for new ones.
  for (RecentPosition& recent : recent_) recent.generation = 0;
  generation_ = 1;
}

void GeometryStreamBuilder::ReleaseMemory() {
  Clear();
  ReleaseBuffers();
  worker_.Stop();
}

void GeometryStreamBuilder::ReleaseMemoryAbove(std::size_t corners) {
  Clear();
  const std::size_t held = std::max({vertex_points_.capacity(), stream_.vertex_indices.capacity(),
                                     stream_.normal_indices.capacity(), stream_.uvw_indices.capacity(),
                                     stream_.uvws.capacity(), corner_entries_.capacity()});
  if (held > corners) ReleaseBuffers();
}

void GeometryStreamBuilder::ReleaseBuffers() {
  Release(stream_.faces);
  Release(stream_.normals);
  Release(stream_.uvws);
  Release(stream_.points);
  Release(stream_.normal_indices);
  Release(stream_.uvw_indices);
  Release(stream_.vertex_indices);
  Release(vertex_points_);
  Release(corner_entries_);
  Release(unpaired_surfaces_);
  Release(entry_keys_);
  Release(entry_normals_);
  Release(point_normals_);
  for (PendingBatch& batch : batches_) batch = PendingBatch();
  SetRoom();
  positions_.Release();
  normal_keys_.Release();
}

namespace SketchupManager {

GeometryStreamBuilder stream_builder;

namespace {

std::int32_t active_entity_id = kRootId;

}  // namespace

const GeometryStream& Geometry() { return stream_builder.Stream(); }
void ClearGeometryStream() { stream_builder.Clear(); }
void ReleaseStreamMemory() { stream_builder.ReleaseMemory(); }
void TrimStreamMemory() { stream_builder.ReleaseMemoryAbove(kKeptBetweenPasses); }
std::int32_t ActiveEntityId() { return active_entity_id; }
void SetActiveEntityId(std::int32_t id) { active_entity_id = id; }

bool EvaluateStream(const std::string& settings) {
  bool built = false;
  // A merge that failed on the merge thread fails the call before the definition loses
  // what it shows.
  static_cast<void>(stream_builder.Stream());
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
