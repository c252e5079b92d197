#include "sketchup/instance.h"

#include <utility>

#include "sketchup/ruby_glue.h"
#include "sketchup/su_manager.h"
#include "sketchup/su_ruby_ext.h"

namespace Zarnik {

void Instance::UpdateTransform() {
  if (edit_mode && edit_transform != Float4x4()) transform = transform * edit_transform;
  edit_transform = Float4x4();
}

const Float4x4* Instance::Placements(std::size_t& count) const {
  if (!transforms.empty()) {
    count = transforms.size();
    return transforms.data();
  }
  count = 1;
  return &transform;
}

namespace SketchupManager {

namespace {

using SceneRuby::Bool;
using SceneRuby::Flag;

// The arguments of "add" and "update" once Ruby has converted them.
struct InstanceArgs {
  std::int32_t id;
  std::int32_t definition_id;
  std::int32_t material_id;
  float transform[16];
};

InstanceArgs ReadInstanceArgs(VALUE id, VALUE definition_id, VALUE material_id, VALUE transform) {
  InstanceArgs args;
  args.id = NUM2INT(id);
  args.definition_id = NUM2INT(definition_id);
  args.material_id = NUM2INT(material_id);
  SceneRuby::ReadTransformElements(transform, args.transform);
  return args;
}

// Stores a new instance under its id, replacing whatever entity had it. The transform list
// is read first, so a Ruby error there (left in `state`) stores nothing.
bool StoreNewInstance(const InstanceArgs& args, VALUE transform_list, bool edit, int& state) noexcept {
  std::vector<Float4x4> transforms;
  if (!SceneRuby::ReadTransformList(transform_list, transforms, state)) return false;
  return SceneRuby::Shield("ExtInstance.add", false, [&] {
    std::shared_ptr<Instance> instance = std::make_shared<Instance>(args.id);
    instance->definition_id = args.definition_id;
    instance->material_id = args.material_id;
    instance->transform = SceneRuby::HostTransform(args.transform);
    if (edit) {
      instance->edit_transform = GetEditTransform();
      instance->edit_mode = true;
      AddEditInstance(instance);
    }
    instance->transforms = std::move(transforms);
    SetEntity(args.id, instance);
    return true;
  });
}

// Brings a stored instance in line with the host; true when anything changed.
bool UpdateInstance(Instance& instance, const InstanceArgs& args, bool visible) {
  bool changed = false;
  bool placed_elsewhere = false;  // what it places, or an edit transform: beyond its own rows
  if (instance.material_id != args.material_id) {
    instance.material_id = args.material_id;
    changed = true;
  }
  if (instance.definition_id != args.definition_id) {
    instance.definition_id = args.definition_id;
    changed = placed_elsewhere = true;
  }
  const Float4x4 transform = SceneRuby::HostTransform(args.transform);
  if (transform != instance.transform) {
    instance.transform = transform;
    changed = true;
  }
  if (instance.edit_mode) {
    const Float4x4 edit_transform = GetEditTransform();
    if (edit_transform != instance.edit_transform) {
      instance.edit_transform = edit_transform;
      changed = placed_elsewhere = true;
    }
  }
  if (instance.visible != visible) {
    instance.visible = visible;
    changed = true;
  }
  if (placed_elsewhere) {
    NoteStructureChange();
  } else if (changed) {
    NoteInstanceChange(instance);
  }
  return changed;
}

VALUE Add(VALUE, VALUE id, VALUE definition_id, VALUE material_id, VALUE transform, VALUE transforms, VALUE edit) {
  const InstanceArgs args = ReadInstanceArgs(id, definition_id, material_id, transform);
  int state = 0;
  StoreNewInstance(args, transforms, Flag(edit), state);
  if (state != 0) rb_jump_tag(state);
  return Qtrue;
}

// True when the instance was added or changed; false when nothing changed or the id names
// another kind of entity. `state` carries a Ruby error raised while reading the list.
bool UpdateOrAdd(const InstanceArgs& args, VALUE transforms, bool visible, int& state) noexcept {
  std::shared_ptr<Entity> entity = SceneRuby::Shield("ExtInstance.update", std::shared_ptr<Entity>(),
                                                      [&] { return GetEntity(args.id); });
  if (!entity) return StoreNewInstance(args, transforms, false, state);
  if (!entity->IsInstance()) return false;
  return SceneRuby::Shield("ExtInstance.update", false,
                           [&] { return UpdateInstance(static_cast<Instance&>(*entity), args, visible); });
}

VALUE Update(VALUE, VALUE id, VALUE definition_id, VALUE material_id, VALUE transform, VALUE transforms,
             VALUE visible) {
  const InstanceArgs args = ReadInstanceArgs(id, definition_id, material_id, transform);
  int state = 0;
  const bool answer = UpdateOrAdd(args, transforms, Flag(visible), state);
  if (state != 0) rb_jump_tag(state);
  return Bool(answer);
}

VALUE SetEditMode(VALUE, VALUE id_value, VALUE flag) {
  const std::int32_t id = NUM2INT(id_value);
  const bool edit = Flag(flag);
  return Bool(SceneRuby::Shield("ExtInstance.set_edit_mode", false, [&] {
    std::shared_ptr<Instance> instance = GetInstance(id);
    if (!instance) return false;
    NoteStructureChange();
    instance->edit_mode = edit;
    if (edit) AddEditInstance(instance);
    return true;
  }));
}

VALUE SetVisibility(VALUE, VALUE id_value, VALUE flag) {
  const std::int32_t id = NUM2INT(id_value);
  const bool visible = Flag(flag);
  return Bool(SceneRuby::Shield("ExtInstance.set_visibility", false, [&] {
    std::shared_ptr<Instance> instance = GetInstance(id);
    if (!instance || instance->visible == visible) return false;
    instance->visible = visible;
    NoteInstanceChange(*instance);
    return true;
  }));
}

}  // namespace

void DefineInstanceClass() {
  const VALUE instance = rb_define_class("ExtInstance", rb_cObject);
  rb_define_singleton_method(instance, "add", Add, 6);
  rb_define_singleton_method(instance, "set_edit_mode", SetEditMode, 2);
  rb_define_singleton_method(instance, "set_visibility", SetVisibility, 2);
  rb_define_singleton_method(instance, "update", Update, 6);
}

}  // namespace SketchupManager
}  // namespace Zarnik
