// A Ruby extension whose methods take the arities of the geometry stream's per-corner calls
// and do nothing: the baseline that shows what the Ruby call itself costs, so that the
// stream benchmark can tell the extension's own work apart from the interpreter's.
#include <ruby.h>

namespace {

VALUE NoopVertex(VALUE, VALUE, VALUE, VALUE) { return Qtrue; }
VALUE NoopNormal(VALUE, VALUE, VALUE, VALUE, VALUE) { return Qtrue; }
VALUE NoopUvw(VALUE, VALUE, VALUE, VALUE) { return Qtrue; }
VALUE NoopIndex(VALUE, VALUE) { return Qtrue; }

}  // namespace

extern "C" __attribute__((visibility("default"))) void Init_noop_ext() {
  VALUE klass = rb_define_class("ZarnikBenchNoop", rb_cObject);
  rb_define_singleton_method(klass, "add_vertex", NoopVertex, 3);
  rb_define_singleton_method(klass, "add_normal", NoopNormal, 4);
  rb_define_singleton_method(klass, "add_uvw", NoopUvw, 3);
  rb_define_singleton_method(klass, "add_vertex_index", NoopIndex, 1);
  rb_define_singleton_method(klass, "add_normal_index", NoopIndex, 1);
  rb_define_singleton_method(klass, "add_uvw_index", NoopIndex, 1);
}
