// The Ruby face of the entity registry: the geometry methods of ZarnikExt, ExtUtils and
// ExtEntity.

#include "sketchup/ruby_glue.h"
#include "sketchup/su_manager.h"
#include "sketchup/su_ruby_ext.h"
#include "utils/paths.h"

namespace Zarnik {
namespace SketchupManager {

namespace {

using SceneRuby::Bool;
using SceneRuby::Shield;

VALUE ApplyGeometry(VALUE) {
  Shield("ZarnikExt.apply_geometry", false, [] {
    ApplyGeometryLocal();
    return true;
  });
  return Qtrue;
}

VALUE ApplyRootGeometry(VALUE) {
  Shield("ZarnikExt.apply_root_geometry", false, [] {
    ApplyRootGeometryLocal();
    return true;
  });
  return Qtrue;
}

VALUE ClearEditListMethod(VALUE) {
  Shield("ZarnikExt.clear_edit_list", false, [] {
    ClearEditList();
    return true;
  });
  return Qtrue;
}

VALUE DefineModelEntityMethod(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  Shield("ZarnikExt.define_model_entity", false, [id] {
    DefineModelEntity(id);
    return true;
  });
  return Qtrue;
}

VALUE FlushGeometry(VALUE) { return Qtrue; }

VALUE FlushModelEntitiesMethod(VALUE) {
  FlushModelEntities();
  return Qtrue;
}

VALUE SetEditTransformMethod(VALUE, VALUE array) {
  // Read in full before anything is stored: a short or non-numeric array raises and
  // leaves the previous edit transform as it was.
  float elements[16];
  SceneRuby::ReadTransformElements(array, elements);
  SetEditTransform(SceneRuby::HostTransform(elements));
  return Qtrue;
}

VALUE GetDocumentsFolder(VALUE) {
  return SceneRuby::TextAnswer("ExtUtils.get_documents_folder", [] { return Strings::GetMyDocumentsPath(); });
}

VALUE Delete(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  return Bool(Shield("ExtEntity.delete", false, [id] { return DeleteEntity(id); }));
}

VALUE Present(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  return Bool(Shield("ExtEntity.present?", false, [id] { return IsEntityValid(id); }));
}

}  // namespace

void DefineUtilsClass() {
  const VALUE utils = rb_define_class("ExtUtils", rb_cObject);
  rb_define_singleton_method(utils, "get_documents_folder", GetDocumentsFolder, 0);
}

void DefineGeometryMethods() {
  const VALUE ext = rb_define_class("ZarnikExt", rb_cObject);
  rb_define_singleton_method(ext, "apply_geometry", ApplyGeometry, 0);
  rb_define_singleton_method(ext, "apply_root_geometry", ApplyRootGeometry, 0);
  rb_define_singleton_method(ext, "clear_edit_list", ClearEditListMethod, 0);
  rb_define_singleton_method(ext, "define_model_entity", DefineModelEntityMethod, 1);
  rb_define_singleton_method(ext, "flush_geometry", FlushGeometry, 0);
  rb_define_singleton_method(ext, "flush_model_entities", FlushModelEntitiesMethod, 0);
  rb_define_singleton_method(ext, "set_edit_transform", SetEditTransformMethod, 1);
}

void DefineEntityClass() {
  const VALUE entity = rb_define_class("ExtEntity", rb_cObject);
  rb_define_singleton_method(entity, "delete", Delete, 1);
  rb_define_singleton_method(entity, "present?", Present, 1);
}

}  // namespace SketchupManager
}  // namespace Zarnik
