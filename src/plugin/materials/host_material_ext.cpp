#include "materials/host_material_ext.h"

#include "application/ruby_bridge.h"  // ruby.h with the extension's settings

#include <cmath>
#include <memory>

#include <glog/logging.h>

#include "materials/texture_tracker.h"
#include "sketchup/ruby_glue.h"
#include "sketchup/su_manager.h"
#include "sketchup/su_material.h"
#include "utils/paths.h"
#include "utils/strings.h"
#include "zarnik/node_utils.h"
#include "zarnik/zarnik_window.h"

namespace Zarnik {
namespace HostMaterialExt {

namespace {

constexpr NodeType kInitialDefaultMaterial = 16;
constexpr char kModelFileMethod[] = "SKP file";
constexpr char kFolderMethod[] = "Local folder";
constexpr std::size_t kTypePrefixLength = 7;  // "ZK_MAT_"

NodeType default_material = kInitialDefaultMaterial;
int texture_method = kTexturesInModel;
// Made on first use, once HOME is known, and never destroyed, so a late reader during
// process exit still finds a string.
std::string& Folder() {
  static std::string& folder = *new std::string(Strings::GetCustomTexturesPath());
  return folder;
}

}  // namespace

NodeType DefaultMaterial() { return default_material; }
int TextureMethod() { return texture_method; }
const std::string& TextureFolder() { return Folder(); }

std::string MaterialTypeName(NodeType type) {
  const char* engine_name = ApiInfo::getNodeTypeName(type);
  const std::string name = engine_name ? engine_name : "";
  if (name.size() <= kTypePrefixLength) return std::string();
  return Strings::TitleCase(name.substr(kTypePrefixLength));
}

bool SetDefaultMaterial(const std::string& display_name) {
  for (NodeType type : NodeUtils::MaterialTypes()) {
    if (MaterialTypeName(type) == display_name) {
      default_material = type;
      return true;
    }
  }
  return false;
}

bool SetTextureMethod(const std::string& method) {
  if (method == kModelFileMethod) {
    if (texture_method == kTexturesInFolder) Strings::MakeFolder(Strings::GetWorkingTexturesPath(), true);
    texture_method = kTexturesInModel;
    return true;
  }
  if (method == kFolderMethod) {
    if (texture_method == kTexturesInModel) Strings::MakeFolder(Folder(), true);
    texture_method = kTexturesInFolder;
    return true;
  }
  return false;
}

bool SetTextureFolder(const std::string& folder) {
  if (folder.empty()) return false;
  Folder() = folder;
  return true;
}

float LinearColor(double channel) {
  return std::pow(static_cast<float>(channel) / 255.f, 2.2f);
}

bool UpdateHostMaterial(const HostMaterialUpdate& update) {
  std::string texture = Strings::MakeCanonical(update.texture);

  std::string first_name;
  for (std::size_t i = 0; i < update.texture_names.size(); ++i) {
    const std::string& name = update.texture_names[i];
    if (first_name.empty()) first_name = name;
    if (i >= update.texture_contents.size() || update.texture_contents[i].empty()) continue;
    std::string bytes;
    Strings::Base64Decode(update.texture_contents[i], bytes);
    if (!TextureTracker::AddTexture(name, bytes)) {
      LOG(ERROR) << "Texture \"" << name << "\" of host material " << update.id << " was not registered";
    }
  }
  texture = TextureTracker::UpdateFile(texture, first_name);

  if (update.id == -1) return false;

  std::shared_ptr<SuMaterial> material = SketchupManager::GetMaterial(update.id);
  if (!material) material = std::make_shared<SuMaterial>(update.id);

  bool linked = false;
  if (update.link_id != -1) {
    linked = material->AssignZarnikMaterial(update.link_id, update.scale, update.color);
    // Only a material that is really linked keeps the texture here: a converted one must
    // still see the path as new to make its image node.
    if (linked) {
      material->SetName(update.name);
      if (!texture.empty()) material->SetTexture(texture);
    }
  }
  if (!linked) {
    material->RevertOldZarnikMaterial();
    material->SetLinkedId(-1);
    material->SetOpacity(update.opacity);
    material->SetName(update.name);
    material->SetTextureMode(update.texture_mode);
    material->AssignSuMaterial(update.name, texture, update.color, update.scale);
    material->ReconstructSuMaterial(update.serialized);
  }

  ZarnikWindow::ReplaceTextures(material->node());
  SketchupManager::SetMaterial(update.id, material);
  ZarnikWindow::UpdateSandbox(material->node(), update.id);
  return true;
}

// ---- Ruby methods ------------------------------------------------------------------------
//
// Arguments are checked and converted in the registered function, whose frame owns nothing
// with a destructor; the work runs in a noexcept helper behind SceneRuby::Shield.

namespace {

using SceneRuby::Bool;
using SceneRuby::Shield;

constexpr long kUpdateEntries = 12;

// The update array as checked Ruby values and plain numbers.
struct UpdateArguments {
  int id;
  VALUE name;
  double color[3];
  VALUE texture;
  double scale_x;
  double scale_y;
  double opacity;
  int texture_mode;
  int link_id;
  VALUE serialized;
  VALUE texture_names;     // a fresh Array of Strings
  VALUE texture_contents;  // a fresh Array of Strings
};

// An entry past the end reads as nil, whose conversion raises the TypeError.
VALUE Entry(VALUE list, long index) { return index < RARRAY_LEN(list) ? rb_ary_entry(list, index) : Qnil; }

// A path-like text: a String without NUL bytes (ArgumentError otherwise).
VALUE CheckedText(VALUE value) {
  StringValueCStr(value);
  return value;
}

VALUE CheckedBytes(VALUE value) {
  StringValue(value);
  return value;
}

// Checks every element, converting as Ruby does, into a new Array that no caller can
// change behind our back.
VALUE CheckedStringList(VALUE value, bool path_like) {
  Check_Type(value, T_ARRAY);
  VALUE out = rb_ary_new();
  for (long i = 0; i < RARRAY_LEN(value); ++i) {
    VALUE element = rb_ary_entry(value, i);
    rb_ary_push(out, path_like ? CheckedText(element) : CheckedBytes(element));
  }
  return out;
}

std::string Bytes(VALUE string) { return std::string(RSTRING_PTR(string), static_cast<std::size_t>(RSTRING_LEN(string))); }

std::vector<std::string> ByteList(VALUE list) {
  std::vector<std::string> out;
  const long count = RARRAY_LEN(list);
  out.reserve(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i) out.push_back(Bytes(RARRAY_AREF(list, i)));
  return out;
}

bool ApplyUpdate(const UpdateArguments& args) noexcept {
  return Shield("ExtMaterial.update", false, [&args] {
    HostMaterialUpdate update;
    update.id = args.id;
    update.name = Bytes(args.name);
    update.color = float_3{LinearColor(args.color[0]), LinearColor(args.color[1]), LinearColor(args.color[2])};
    update.texture = Bytes(args.texture);
    update.scale = float_2{static_cast<float>(args.scale_x), static_cast<float>(args.scale_y)};
    update.opacity = static_cast<float>(args.opacity);
    update.texture_mode = args.texture_mode;
    update.link_id = args.link_id;
    update.serialized = Bytes(args.serialized);
    update.texture_names = ByteList(args.texture_names);
    update.texture_contents = ByteList(args.texture_contents);
    return UpdateHostMaterial(update);
  });
}

VALUE Update(VALUE, VALUE list) {
  Check_Type(list, T_ARRAY);
  UpdateArguments args;
  args.id = NUM2INT(Entry(list, 0));
  args.name = CheckedText(Entry(list, 1));
  VALUE color = Entry(list, 2);
  Check_Type(color, T_ARRAY);
  for (long c = 0; c < 3; ++c) args.color[c] = NUM2DBL(Entry(color, c));
  args.texture = CheckedText(Entry(list, 3));
  args.scale_x = NUM2DBL(Entry(list, 4));
  args.scale_y = NUM2DBL(Entry(list, 5));
  args.opacity = NUM2DBL(Entry(list, 6));
  args.texture_mode = NUM2INT(Entry(list, 7));
  args.link_id = NUM2INT(Entry(list, 8));
  args.serialized = CheckedBytes(Entry(list, 9));
  args.texture_names = CheckedStringList(Entry(list, 10), true);
  args.texture_contents = CheckedStringList(Entry(list, kUpdateEntries - 1), false);
  const bool updated = ApplyUpdate(args);
  RB_GC_GUARD(list);
  RB_GC_GUARD(args.name);
  RB_GC_GUARD(args.texture);
  RB_GC_GUARD(args.serialized);
  RB_GC_GUARD(args.texture_names);
  RB_GC_GUARD(args.texture_contents);
  return Bool(updated);
}

VALUE GetDefaultMaterial(VALUE) {
  return SceneRuby::TextAnswer("ExtMaterial.get_default_material",
                               [] { return MaterialTypeName(default_material); });
}

VALUE GetTextureMethod(VALUE) {
  return rb_str_new_cstr(texture_method == kTexturesInFolder ? kFolderMethod : kModelFileMethod);
}

VALUE GetTextureFolder(VALUE) {
  return SceneRuby::TextAnswer("ExtMaterial.get_texture_folder", [] { return Folder(); });
}

VALUE Present(VALUE, VALUE id_value) {
  const std::int32_t id = NUM2INT(id_value);
  return Bool(Shield("ExtMaterial.present?", false, [id] { return SketchupManager::IsMaterialValid(id); }));
}

VALUE SetDefaultMaterialMethod(VALUE, VALUE name) {
  StringValue(name);
  const bool done = Shield("ExtMaterial.set_default_material", false, [name] { return SetDefaultMaterial(Bytes(name)); });
  RB_GC_GUARD(name);
  return Bool(done);
}

VALUE SetTextureMethodMethod(VALUE, VALUE method) {
  StringValue(method);
  const bool done = Shield("ExtMaterial.set_texture_method", false, [method] { return SetTextureMethod(Bytes(method)); });
  RB_GC_GUARD(method);
  return Bool(done);
}

VALUE SetTextureFolderMethod(VALUE, VALUE folder) {
  StringValueCStr(folder);
  const bool done = Shield("ExtMaterial.set_texture_folder", false, [folder] { return SetTextureFolder(Bytes(folder)); });
  RB_GC_GUARD(folder);
  return Bool(done);
}

}  // namespace

void Init() {
  const VALUE ext = rb_define_class("ExtMaterial", rb_cObject);
  rb_define_singleton_method(ext, "get_default_material", GetDefaultMaterial, 0);
  rb_define_singleton_method(ext, "get_texture_method", GetTextureMethod, 0);
  rb_define_singleton_method(ext, "get_texture_folder", GetTextureFolder, 0);
  rb_define_singleton_method(ext, "present?", Present, 1);
  rb_define_singleton_method(ext, "set_default_material", SetDefaultMaterialMethod, 1);
  rb_define_singleton_method(ext, "set_texture_method", SetTextureMethodMethod, 1);
  rb_define_singleton_method(ext, "set_texture_folder", SetTextureFolderMethod, 1);
  rb_define_singleton_method(ext, "update", Update, 1);
}

}  // namespace HostMaterialExt
}  // namespace Zarnik
