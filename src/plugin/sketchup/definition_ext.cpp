// The Ruby face of definitions: class ExtDefinition.

#include <string>
#include <utility>
#include <vector>

#include "sketchup/definition.h"
#include "sketchup/ruby_glue.h"
#include "sketchup/su_manager.h"
#include "sketchup/su_ruby_ext.h"

namespace Zarnik {
namespace SketchupManager {

namespace {

using SceneRuby::Bool;
using SceneRuby::Flag;
using SceneRuby::Shield;

struct IdLists {
  std::vector<std::int32_t> other_ids;
  std::vector<std::int32_t> entity_ids;
};

bool ReadIdLists(VALUE other_ids, VALUE entity_ids, IdLists& lists, int& state) noexcept {
  return SceneRuby::ReadIntList(other_ids, lists.other_ids, state) &&
         SceneRuby::ReadIntList(entity_ids, lists.entity_ids, state);
}

bool AddDefinition(std::int32_t id, VALUE other_ids, VALUE entity_ids, int& state) noexcept {
  IdLists lists;
  if (!ReadIdLists(other_ids, entity_ids, lists, state)) return false;
  return Shield("ExtDefinition.add", false, [&] {
    if (IsEntityValid(id)) return false;
    std::shared_ptr<Definition> definition = std::make_shared<Definition>(id);
    definition->other_ids = std::move(lists.other_ids);
    definition->entity_ids = std::move(lists.entity_ids);
    SetDefinition(id, definition);
    SetEntity(id, definition);
    return true;
  });
}

bool UpdateDefinition(std::int32_t id, VALUE other_ids, VALUE entity_ids, int& state) noexcept {
  IdLists lists;
  if (!ReadIdLists(other_ids, entity_ids, lists, state)) return false;
  return Shield("ExtDefinition.update", false, [&] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition) return false;
    // The host lists change length whenever entities come or go; a mere reordering does
    // not call for a new apply.
    const bool changed = definition->other_ids.size() != lists.other_ids.size() ||
                         definition->entity_ids.size() != lists.entity_ids.size();
    // A new order alone still places the children in a new order.
    if (definition->entity_ids != lists.entity_ids) NoteStructureChange();
    definition->other_ids = std::move(lists.other_ids);
    definition->entity_ids = std::move(lists.entity_ids);
    return changed;
  });
}

VALUE Add(VALUE, VALUE id_value, VALUE other_ids, VALUE entity_ids) {
  const std::int32_t id = NUM2INT(id_value);
  Check_Type(other_ids, T_ARRAY);
  Check_Type(entity_ids, T_ARRAY);
  int state = 0;
  const bool added = AddDefinition(id, other_ids, entity_ids, state);
  if (state != 0) rb_jump_tag(state);
  return Bool(added);
}

VALUE Update(VALUE, VALUE id_value, VALUE other_ids, VALUE entity_ids) {
  const std::int32_t id = NUM2INT(id_value);
  Check_Type(other_ids, T_ARRAY);
  Check_Type(entity_ids, T_ARRAY);
  int state = 0;
  const bool changed = UpdateDefinition(id, other_ids, entity_ids, state);
  if (state != 0) rb_jump_tag(state);
  return Bool(changed);
}

VALUE GetNumEntities(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  return INT2NUM(Shield("ExtDefinition.get_num_entities", 0, [id] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    return definition ? definition->num_entities : 0;
  }));
}

VALUE SetNumEntities(VALUE, VALUE id_value, VALUE count_value) {
  const std::int32_t id = NUM2INT(id_value);
  const int count = NUM2INT(count_value);
  return Bool(Shield("ExtDefinition.set_num_entities", false, [&] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition) return false;
    definition->num_entities = count;
    return true;
  }));
}

VALUE SetEditMode(VALUE, VALUE id_value, VALUE flag) {
  const std::int32_t id = NUM2INT(id_value);
  const bool edit = Flag(flag);
  return Bool(Shield("ExtDefinition.set_edit_mode", false, [&] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition || definition->HasProxy()) return false;
    definition->edit_mode = edit;
    return true;
  }));
}

VALUE SetMaterialMethod(VALUE, VALUE id_value, VALUE face_value, VALUE material_value, VALUE update_flag) {
  const std::int32_t id = NUM2INT(id_value);
  const std::int32_t face_id = NUM2INT(face_value);
  const std::int32_t material_id = NUM2INT(material_value);
  const bool update = Flag(update_flag);
  return Bool(Shield("ExtDefinition.set_material", false, [&] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition || definition->HasProxy() || !definition->HasFace(face_id)) return false;
    definition->SetMaterial(GetMaterial(material_id), face_id);
    if (update && definition->GetMesh()) {
      definition->TryToRebuildFaceMaterials();
      definition->RebuildMeshMaterialMaps();
    }
    return true;
  }));
}

VALUE GetMaterialId(VALUE, VALUE id_value, VALUE item_value, VALUE instance_flag) {
  const std::int32_t id = NUM2INT(id_value);
  const std::int32_t item = NUM2INT(item_value);
  const bool of_instance = Flag(instance_flag);
  return INT2NUM(Shield("ExtDefinition.get_material_id", kNoId, [&] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition || definition->HasProxy()) return kNoId;
    std::shared_ptr<SuMaterial> material;
    if (of_instance) {
      std::shared_ptr<Instance> instance = GetInstance(item);
      if (instance) material = GetMaterial(instance->material_id);
    } else {
      material = definition->GetMaterial(item);
    }
    return material ? material->id() : kNoId;
  }));
}

VALUE UpdateAllMaterials(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  return Bool(Shield("ExtDefinition.update_all_materials", false, [id] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition || definition->HasProxy()) return false;
    definition->MarkMaterialsDirty();
    definition->UpdateMaterials();
    return true;
  }));
}

// False when the file gives no usable proxy; the definition keeps what it showed.
VALUE SetProxyMethod(VALUE, VALUE id_value, VALUE path_value) {
  const std::int32_t id = NUM2INT(id_value);
  Check_Type(path_value, T_STRING);
  return Bool(Shield("ExtDefinition.set_proxy", false, [&] {
    const std::string path = SceneRuby::TextOf(path_value);
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition || path.empty()) return false;
    if (definition->HasUsableProxy() && definition->proxy()->path == path) return false;
    return definition->SetProxy(path);
  }));
}

VALUE UpdateProxyMethod(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  return Bool(Shield("ExtDefinition.update_proxy", false, [id] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition) return false;
    definition->UpdateProxy();
    return true;
  }));
}

// The mesh is not rebuilt here: the Ruby side streams the geometry again.
VALUE ClearProxyMethod(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  return Bool(Shield("ExtDefinition.clear_proxy", false, [id] {
    std::shared_ptr<Definition> definition = GetDefinition(id);
    if (!definition) return false;
    definition->ClearProxy();
    return true;
  }));
}

}  // namespace

void DefineDefinitionClass() {
  const VALUE definition = rb_define_class("ExtDefinition", rb_cObject);
  rb_define_singleton_method(definition, "add", Add, 3);
  rb_define_singleton_method(definition, "update", Update, 3);
  rb_define_singleton_method(definition, "get_num_entities", GetNumEntities, 1);
  rb_define_singleton_method(definition, "set_num_entities", SetNumEntities, 2);
  rb_define_singleton_method(definition, "set_edit_mode", SetEditMode, 2);
  rb_define_singleton_method(definition, "set_material", SetMaterialMethod, 4);
  rb_define_singleton_method(definition, "get_material_id", GetMaterialId, 3);
  rb_define_singleton_method(definition, "update_all_materials", UpdateAllMaterials, 1);
  rb_define_singleton_method(definition, "set_proxy", SetProxyMethod, 2);
  rb_define_singleton_method(definition, "update_proxy", UpdateProxyMethod, 1);
  rb_define_singleton_method(definition, "clear_proxy", ClearProxyMethod, 1);
}

}  // namespace SketchupManager
}  // namespace Zarnik
