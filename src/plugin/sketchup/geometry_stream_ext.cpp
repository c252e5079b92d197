// The Ruby face of the geometry stream: class ExtStream.

#include "sketchup/geometry_stream.h"
#include "sketchup/ruby_glue.h"
#include "sketchup/stream_numbers.h"
#include "sketchup/su_manager.h"

namespace Zarnik {
namespace SketchupManager {

namespace {

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
  ReleaseStreamMemory();
  return false;
}

using SceneRuby::Bool;
using StreamNumbers::ToFloat;
using StreamNumbers::ToInt;

VALUE SetGeometryStream(VALUE, VALUE id_value, VALUE name_value) {
  const std::int32_t id = NUM2INT(id_value);
  Check_Type(name_value, T_STRING);
  StreamStep("set_geometry_stream", [&] {
    StreamBuilder().SetName(SceneRuby::TextOf(name_value));
    SetActiveEntityId(id);
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
    StreamBuilder().Warmup(vertex_count, index_count);
    return true;
  });
  return Qtrue;
}

// The per-corner methods convert every argument (Ruby raises here, before any change) and
// then store, which can fail only for want of memory.
VALUE AddVertex(VALUE, VALUE x, VALUE y, VALUE z) {
  const float fx = ToFloat(x), fy = ToFloat(y), fz = ToFloat(z);
  StreamStep("add_vertex", [&] {
    StreamBuilder().AddVertex(fx, fy, fz);
    return true;
  });
  return Qtrue;
}

VALUE AddNormal(VALUE, VALUE x, VALUE y, VALUE z, VALUE surface_value) {
  const float nx = ToFloat(x), ny = ToFloat(y), nz = ToFloat(z);
  const std::int32_t surface = ToInt(surface_value);
  StreamStep("add_normal", [&] {
    StreamBuilder().AddNormal(nx, ny, nz, surface);
    return true;
  });
  return Qtrue;
}

VALUE AddUvw(VALUE, VALUE u, VALUE v, VALUE w) {
  const float fu = ToFloat(u), fv = ToFloat(v), fw = ToFloat(w);
  StreamStep("add_uvw", [&] {
    StreamBuilder().AddUvw(fu, fv, fw);
    return true;
  });
  return Qtrue;
}

VALUE AddVertexIndex(VALUE, VALUE number_value) {
  const std::int32_t number = ToInt(number_value);
  return Bool(StreamStep("add_vertex_index", [number] { return StreamBuilder().AddVertexIndex(number); }));
}

VALUE AddNormalIndex(VALUE, VALUE number_value) {
  const std::int32_t number = ToInt(number_value);
  return Bool(StreamStep("add_normal_index", [number] { return StreamBuilder().AddNormalIndex(number); }));
}

VALUE AddUvwIndex(VALUE, VALUE number_value) {
  const std::int32_t number = ToInt(number_value);
  StreamStep("add_uvw_index", [number] {
    StreamBuilder().AddUvwIndex(number);
    return true;
  });
  return Qtrue;
}

VALUE AddFace(VALUE, VALUE face_id, VALUE material_id, VALUE first_triangle, VALUE end_triangle) {
  const Face face{NUM2INT(face_id), NUM2INT(material_id), NUM2INT(first_triangle), NUM2INT(end_triangle)};
  StreamStep("add_face", [&face] {
    StreamBuilder().AddFace(face);
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
  if (!StreamNumbers::VerifyImmediateFloats()) {
    LOG(WARNING) << "ExtStream reads Floats through Ruby: their immediate form is not the expected one";
  }
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
