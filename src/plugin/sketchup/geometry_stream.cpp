#include "sketchup/geometry_stream.h"

#include <glog/logging.h>

#include <algorithm>
#include <cmath>

#include "sketchup/ruby_glue.h"
#include "sketchup/su_manager.h"
#include "utils/matrix.h"
#include "utils/message.h"

namespace Zarnik {

namespace {

// Warm-up counts beyond this are hints gone wrong; the vectors still grow as needed.
constexpr std::int64_t kMaxWarmup = std::int64_t{1} << 24;
// Buffers bigger than this are given back when the stream empties.
constexpr std::size_t kKeptElements = std::size_t{1} << 16;

template <class T>
void Empty(std::vector<T>& values) {
  if (values.capacity() > kKeptElements) {
    std::vector<T>().swap(values);
  } else {
    values.clear();
  }
}

template <class T>
void Reserve(std::vector<T>& values, std::int64_t count) {
  values.reserve(static_cast<std::size_t>(std::clamp<std::int64_t>(count, 0, kMaxWarmup)));
}

std::int32_t RaiseSurface(std::int32_t surface) {
  // Wraps instead of overflowing for ids near the top of the range.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(surface) +
                                   static_cast<std::uint32_t>(GeometryStreamBuilder::kSurfaceStep));
}

}  // namespace

void GeometryStreamBuilder::Warmup(std::int64_t vertex_count, std::int64_t index_count) {
  Reserve(stream_.normals, vertex_count);
  Reserve(stream_.uvws, vertex_count);
  Reserve(stream_.points, vertex_count);
  Reserve(surface_ids_, vertex_count);
  Reserve(corner_entries_, vertex_count);
  Reserve(vertices_, vertex_count);
  Reserve(vertex_points_, vertex_count);
  Reserve(stream_.normal_indices, index_count);
  Reserve(stream_.uvw_indices, index_count);
  Reserve(stream_.vertex_indices, index_count);
}

void GeometryStreamBuilder::AddVertex(float x, float y, float z) {
  const Vec3<float> p{x / kInchesPerMeter, z / kInchesPerMeter, -y / kInchesPerMeter};
  vertices_.push_back(p);
  last_vertex_ = p;
  bool inserted = false;
  const std::int32_t next = static_cast<std::int32_t>(stream_.points.size());
  const std::int32_t point = *positions_.FindOrInsert(StreamKeys::PositionKey(p.x, p.y, p.z), next, inserted);
  if (inserted) stream_.points.push_back(p);
  vertex_points_.push_back(point);
}

void GeometryStreamBuilder::AddNormal(float nx, float ny, float nz, std::int32_t surface) {
  const Vec3<float> n{nx, nz, -ny};
  const StreamKeys::CornerKey position = StreamKeys::PositionKey(last_vertex_.x, last_vertex_.y, last_vertex_.z);
  const std::int32_t new_entry = static_cast<std::int32_t>(normal_entries_.size());
  const std::int32_t new_normal = static_cast<std::int32_t>(stream_.normals.size());

  bool inserted = false;
  std::int32_t entry = *normal_keys_.FindOrInsert(StreamKeys::NormalKey(position, surface), new_entry, inserted);
  if (inserted) {
    normal_entries_.push_back(new_normal);
    stream_.normals.push_back(n);
  } else {
    const Vec3<float>& m = stream_.normals[static_cast<std::size_t>(normal_entries_[static_cast<std::size_t>(entry)])];
    const float d = std::fabs(m.x * n.x + m.y * n.y + m.z * n.z);
    if (!(d > 0.01f)) {
      // At a right angle to the surface's normal here: a crease, so a surface of its own.
      surface = RaiseSurface(surface);
      entry = *normal_keys_.FindOrInsert(StreamKeys::NormalKey(position, surface), new_entry, inserted);
      if (inserted) {
        normal_entries_.push_back(new_normal);
      } else {
        normal_entries_[static_cast<std::size_t>(entry)] = new_normal;
      }
      stream_.normals.push_back(n);
    }
  }
  surface_ids_.push_back(surface);
  // The entry stands for this call's key only when the call followed its own vertex call;
  // otherwise the index lookup recomputes the key from the vertex it is given.
  corner_entries_.push_back(vertices_.size() == surface_ids_.size() ? entry : -1);
}

void GeometryStreamBuilder::AddUvw(float u, float v, float w) { stream_.uvws.push_back(Vec3<float>{u / w, v / w, 1.0f}); }

bool GeometryStreamBuilder::AddVertexIndex(std::int32_t number) {
  if (number < 1 || static_cast<std::size_t>(number) > vertices_.size()) return false;
  stream_.vertex_indices.push_back(vertex_points_[static_cast<std::size_t>(number) - 1]);
  return true;
}

bool GeometryStreamBuilder::AddNormalIndex(std::int32_t number) {
  if (number < 1 || static_cast<std::size_t>(number) > vertices_.size() ||
      static_cast<std::size_t>(number) > surface_ids_.size()) {
    return false;
  }
  const std::int32_t entry = corner_entries_[static_cast<std::size_t>(number) - 1];
  const std::int32_t normal =
      entry >= 0 ? normal_entries_[static_cast<std::size_t>(entry)] : LookUpNormal(static_cast<std::size_t>(number));
  stream_.normal_indices.push_back(normal);
  return true;
}

std::int32_t GeometryStreamBuilder::LookUpNormal(std::size_t number) const {
  const Vec3<float>& p = vertices_[number - 1];
  const StreamKeys::CornerKey key = StreamKeys::NormalKey(StreamKeys::PositionKey(p.x, p.y, p.z), surface_ids_[number - 1]);
  const std::int32_t* entry = normal_keys_.Find(key);
  return entry ? normal_entries_[static_cast<std::size_t>(*entry)] : 0;
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
  Empty(vertices_);
  Empty(vertex_points_);
  Empty(surface_ids_);
  Empty(corner_entries_);
  Empty(normal_entries_);
  positions_.Clear();
  normal_keys_.Clear();
}

namespace SketchupManager {

namespace {

GeometryStreamBuilder stream_builder;
std::int32_t active_entity_id = kRootId;

// A stream that failed half-way (out of memory) cannot be trusted: it starts over.
template <class Fn>
bool StreamStep(const char* method, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::exception& e) {
    LOG(ERROR) << "ExtStream." << method << " failed, the stream is emptied: " << e.what();
  } catch (...) {
    LOG(ERROR) << "ExtStream." << method << " failed, the stream is emptied";
  }
  stream_builder.Clear();
  return false;
}

}  // namespace

GeometryStreamBuilder& StreamBuilder() { return stream_builder; }
const GeometryStream& Geometry() { return stream_builder.Stream(); }
void ClearGeometryStream() { stream_builder.Clear(); }
std::int32_t ActiveEntityId() { return active_entity_id; }
void SetActiveEntityId(std::int32_t id) { active_entity_id = id; }

bool EvaluateStream(const std::string& settings) {
  bool built = false;
  std::shared_ptr<Definition> definition = GetDefinition(active_entity_id);
  if (definition) {
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

// ---- Ruby methods of ExtStream --------------------------------------------------------------

namespace {

using SceneRuby::Bool;

VALUE SetGeometryStream(VALUE, VALUE id_value, VALUE name_value) {
  const std::int32_t id = NUM2INT(id_value);
  Check_Type(name_value, T_STRING);
  StreamStep("set_geometry_stream", [&] {
    stream_builder.SetName(SceneRuby::TextOf(name_value));
    active_entity_id = id;
    if (id == kRootId) EnsureRoot();
    return true;
  });
  RB_GC_GUARD(name_value);
  return Qtrue;
}

VALUE WarmupStream(VALUE, VALUE vertex_count_value, VALUE index_count_value) {
  const std::int64_t vertex_count = NUM2INT(vertex_count_value);
  const std::int64_t index_count = NUM2INT(index_count_value);
  StreamStep("warmup_stream", [&] {
    stream_builder.Warmup(vertex_count, index_count);
    return true;
  });
  return Qtrue;
}

VALUE AddVertex(VALUE, VALUE x, VALUE y, VALUE z) {
  const float fx = static_cast<float>(NUM2DBL(x));
  const float fy = static_cast<float>(NUM2DBL(y));
  const float fz = static_cast<float>(NUM2DBL(z));
  StreamStep("add_vertex", [&] {
    stream_builder.AddVertex(fx, fy, fz);
    return true;
  });
  return Qtrue;
}

VALUE AddNormal(VALUE, VALUE x, VALUE y, VALUE z, VALUE surface_value) {
  const float nx = static_cast<float>(NUM2DBL(x));
  const float ny = static_cast<float>(NUM2DBL(y));
  const float nz = static_cast<float>(NUM2DBL(z));
  const std::int32_t surface = NUM2INT(surface_value);
  StreamStep("add_normal", [&] {
    stream_builder.AddNormal(nx, ny, nz, surface);
    return true;
  });
  return Qtrue;
}

VALUE AddUvw(VALUE, VALUE u, VALUE v, VALUE w) {
  const float fu = static_cast<float>(NUM2DBL(u));
  const float fv = static_cast<float>(NUM2DBL(v));
  const float fw = static_cast<float>(NUM2DBL(w));
  StreamStep("add_uvw", [&] {
    stream_builder.AddUvw(fu, fv, fw);
    return true;
  });
  return Qtrue;
}

VALUE AddVertexIndex(VALUE, VALUE number_value) {
  const std::int32_t number = NUM2INT(number_value);
  return Bool(StreamStep("add_vertex_index", [number] { return stream_builder.AddVertexIndex(number); }));
}

VALUE AddNormalIndex(VALUE, VALUE number_value) {
  const std::int32_t number = NUM2INT(number_value);
  return Bool(StreamStep("add_normal_index", [number] { return stream_builder.AddNormalIndex(number); }));
}

VALUE AddUvwIndex(VALUE, VALUE number_value) {
  const std::int32_t number = NUM2INT(number_value);
  StreamStep("add_uvw_index", [number] {
    stream_builder.AddUvwIndex(number);
    return true;
  });
  return Qtrue;
}

VALUE AddFace(VALUE, VALUE face_id, VALUE material_id, VALUE first_triangle, VALUE end_triangle) {
  const Face face{NUM2INT(face_id), NUM2INT(material_id), NUM2INT(first_triangle), NUM2INT(end_triangle)};
  StreamStep("add_face", [&face] {
    stream_builder.AddFace(face);
    return true;
  });
  return Qtrue;
}

VALUE EvaluateStreamMethod(VALUE, VALUE settings_value) {
  Check_Type(settings_value, T_STRING);
  const bool built = StreamStep("evaluate_stream", [settings_value] {
    return EvaluateStream(SceneRuby::TextOf(settings_value));
  });
  RB_GC_GUARD(settings_value);
  return Bool(built);
}

}  // namespace

void DefineStreamClass() {
  const VALUE stream = rb_define_class("ExtStream", rb_cObject);
  rb_define_singleton_method(stream, "set_geometry_stream", SetGeometryStream, 2);
  rb_define_singleton_method(stream, "warmup_stream", WarmupStream, 2);
  rb_define_singleton_method(stream, "add_vertex", AddVertex, 3);
  rb_define_singleton_method(stream, "add_normal", AddNormal, 4);
  rb_define_singleton_method(stream, "add_uvw", AddUvw, 3);
  rb_define_singleton_method(stream, "add_vertex_index", AddVertexIndex, 1);
  rb_define_singleton_method(stream, "add_normal_index", AddNormalIndex, 1);
  rb_define_singleton_method(stream, "add_uvw_index", AddUvwIndex, 1);
  rb_define_singleton_method(stream, "add_face", AddFace, 4);
  rb_define_singleton_method(stream, "evaluate_stream", EvaluateStreamMethod, 1);
}

}  // namespace SketchupManager
}  // namespace Zarnik
