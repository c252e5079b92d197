#include "zarnik/zarnik_manager_ext.h"

#include <ruby.h>

#include <glog/logging.h>

#include <cstring>
#include <exception>
#include <string>

#include "materials/host_material_ext.h"
#include "sketchup/proxy_manager.h"
#include "sketchup/su_ruby_ext.h"
#include "utils/matrix.h"
#include "utils/paths.h"
#include "zarnik/zarnik_manager.h"
#include "zarnik/zarnik_window.h"

// Every method below has the same shape. Its Ruby arguments are converted first, with
// Ruby's own validating conversions, into plain values held in a frame that owns nothing
// with a destructor; a TypeError or RangeError raised there goes straight to the caller and
// nothing has changed yet. The work then runs behind a barrier that no C++ exception
// crosses, and a String answer is made under rb_protect so that a Ruby error raised while
// making it is re-raised only after the C++ text it was made from is gone.

namespace Zarnik {
namespace ZarnikManagerExt {

namespace {

template <class Fn>
void Run(const char* method, Fn&& fn) noexcept {
  try {
    fn();
  } catch (const std::exception& e) {
    LOG(ERROR) << "ZarnikExt." << method << " failed: " << e.what();
  } catch (...) {
    LOG(ERROR) << "ZarnikExt." << method << " failed";
  }
}

VALUE NewUtf8String(VALUE text) {
  const std::string* bytes = reinterpret_cast<const std::string*>(text);
  return rb_utf8_str_new(bytes->data(), static_cast<long>(bytes->size()));
}

template <class Fn>
VALUE MakeString(const char* method, Fn& fn, int& state) noexcept {
  std::string text;
  Run(method, [&] { text = fn(); });
  return rb_protect(NewUtf8String, reinterpret_cast<VALUE>(&text), &state);
}

// The String made from fn's answer ("" when fn failed).
template <class Fn>
VALUE StringAnswer(const char* method, Fn&& fn) {
  int state = 0;
  const VALUE result = MakeString(method, fn, state);
  if (state != 0) rb_jump_tag(state);
  return result;
}

// A String argument read as C text: its bytes up to the first NUL. The caller has checked
// the type and keeps the value alive.
std::string TextOf(VALUE string) {
  const char* bytes = RSTRING_PTR(string);
  return std::string(bytes, strnlen(bytes, static_cast<std::size_t>(RSTRING_LEN(string))));
}

struct HostVector {
  float x, y, z;
};

// An Array read at indices 0 to 2, each a Numeric taken as double and then as float.
HostVector ToHostVector(VALUE array) {
  Check_Type(array, T_ARRAY);
  HostVector v;
  v.x = static_cast<float>(NUM2DBL(rb_ary_entry(array, 0)));
  v.y = static_cast<float>(NUM2DBL(rb_ary_entry(array, 1)));
  v.z = static_cast<float>(NUM2DBL(rb_ary_entry(array, 2)));
  return v;
}

// ---- Methods ----------------------------------------------------------------------------

VALUE BlockUpdates(VALUE, VALUE flag) {
  const bool pause = flag == Qtrue;
  Run("block_updates", [pause] {
    ZarnikManager::SetRenderState(pause ? ZarnikManager::Paused : ZarnikManager::Running);
  });
  return Qtrue;
}

VALUE BlockUpdatesQ(VALUE) {
  bool running = false;
  Run("block_updates?", [&running] { running = ZarnikManager::GetRenderState() == ZarnikManager::Running; });
  return running ? Qfalse : Qtrue;
}

VALUE BrowseFile(VALUE, VALUE message_value, VALUE kind_value) {
  const char* message = StringValueCStr(message_value);
  const int kind = NUM2INT(kind_value);
  const char* extensions = BrowseExtensions(kind);
  if (!extensions) return Qnil;
  const VALUE answer = StringAnswer("browse_file", [message, extensions] {
    return Strings::OpenFileBrowser(message, extensions, false);
  });
  RB_GC_GUARD(message_value);
  return answer;
}

VALUE BuildScene(VALUE) { return Qtrue; }

VALUE CheckWindowQ(VALUE) {
  bool open = false;
  Run("check_window?", [&open] { open = ZarnikWindow::CheckWindow(); });
  return open ? Qtrue : Qfalse;
}

VALUE ExportScene(VALUE, VALUE, VALUE) {
  Run("export_scene", [] { ZarnikManager::ExportScene(std::string(), {}); });
  return Qtrue;
}

VALUE GetLayoutXml(VALUE) {
  return StringAnswer("get_layout_xml", [] { return ZarnikWindow::GetLayout(); });
}

VALUE GetRenderTargetXml(VALUE, VALUE page_value) {
  const char* page = StringValueCStr(page_value);
  const VALUE xml = StringAnswer("get_render_target_xml", [page] { return ZarnikManager::GetRenderTargetXml(page); });
  RB_GC_GUARD(page_value);
  return xml;
}

VALUE ResetLayout(VALUE) {
  Run("reset_layout", [] { ZarnikWindow::SetLayout(std::string()); });
  return Qtrue;
}

VALUE ResetScene(VALUE) {
  Run("reset_scene", [] { ZarnikWindow::ResetScene(); });
  return Qtrue;
}

VALUE SetCameraPos(VALUE, VALUE pos_value, VALUE target_value, VALUE up_value) {
  const HostVector pos = ToHostVector(pos_value);
  const HostVector target = ToHostVector(target_value);
  const HostVector up = ToHostVector(up_value);
  Run("set_camera_pos", [&] {
    ZarnikManager::SetCameraPos(HostPointToEngine(pos.x, pos.y, pos.z), HostPointToEngine(target.x, target.y, target.z),
                                HostDirectionToEngine(up.x, up.y, up.z));
  });
  return Qtrue;
}

VALUE SetCameraView(VALUE, VALUE value, VALUE orthographic_value) {
  const float given = static_cast<float>(NUM2DBL(value));
  const bool orthographic = orthographic_value == Qtrue;
  // An orthographic view arrives as a height in inches, a perspective one as degrees.
  const float view = orthographic ? given / kInchesPerMeter : given;
  Run("set_camera_view", [view, orthographic] { ZarnikManager::SetCameraView(view, orthographic); });
  return Qtrue;
}

VALUE SetLayoutXml(VALUE, VALUE layout_value) {
  Check_Type(layout_value, T_STRING);
  Run("set_layout_xml", [layout_value] { ZarnikWindow::SetLayout(TextOf(layout_value)); });
  RB_GC_GUARD(layout_value);
  return Qtrue;
}

VALUE SetRenderTargetXml(VALUE, VALUE page_value, VALUE xml_value) {
  const char* page = StringValueCStr(page_value);
  Check_Type(xml_value, T_STRING);
  Run("set_render_target_xml", [page, xml_value] { ZarnikManager::SetRenderTargetXml(page, TextOf(xml_value)); });
  RB_GC_GUARD(page_value);
  RB_GC_GUARD(xml_value);
  return Qtrue;
}

VALUE SetSceneParams(VALUE, VALUE json_value) {
  Check_Type(json_value, T_STRING);
  Run("set_scene_params", [json_value] { ZarnikManager::SetSceneSettings(TextOf(json_value).c_str()); });
  RB_GC_GUARD(json_value);
  return Qtrue;
}

VALUE SetViewExtents(VALUE, VALUE width_value, VALUE height_value) {
  const int width = NUM2INT(width_value);
  const int height = NUM2INT(height_value);
  Run("set_view_extents", [width, height] { ZarnikManager::SetViewExtents(width, height); });
  return Qtrue;
}

VALUE ShowWindow(VALUE, VALUE mode_value) {
  const int mode = NIL_P(mode_value) ? 0 : NUM2INT(mode_value);
  Run("show_window", [mode] { ZarnikWindow::ShowWindow(mode); });
  return Qtrue;
}

VALUE UpdateAndRestart(VALUE) {
  Run("update_and_restart", [] { ZarnikManager::UpdateAndRestart(); });
  return Qtrue;
}

}  // namespace

Vec3<float> HostPointToEngine(float x, float y, float z) {
  return Vec3<float>{x / kInchesPerMeter, z / kInchesPerMeter, -y / kInchesPerMeter};
}

Vec3<float> HostDirectionToEngine(float x, float y, float z) { return Vec3<float>{x, z, -y}; }

const char* BrowseExtensions(int kind) {
  switch (kind) {
    case 0:
      return "obj;zcs;zpak";
    case 1:
      return "bmp;cut;dds;exr;gif;hdr;ico;ies;j2k;jng;jp2;jpeg;jpg;jpg;lbm;mng;pbm;pbm;pcd;pcx;pfm;pgm;pic;pict;png;"
             "ppm;psd;ras;raw;sgi;targa;tga;tif;tiff;wbmp;xbm;xpm";
    case 2:
      return "zcs";
    default:
      return nullptr;
  }
}

void Init() {
  const VALUE ext = rb_define_class("ZarnikExt", rb_cObject);
  rb_define_singleton_method(ext, "block_updates", BlockUpdates, 1);
  rb_define_singleton_method(ext, "block_updates?", BlockUpdatesQ, 0);
  rb_define_singleton_method(ext, "browse_file", BrowseFile, 2);
  rb_define_singleton_method(ext, "build_scene", BuildScene, 0);
  rb_define_singleton_method(ext, "check_window?", CheckWindowQ, 0);
  rb_define_singleton_method(ext, "export_scene", ExportScene, 2);
  rb_define_singleton_method(ext, "get_layout_xml", GetLayoutXml, 0);
  rb_define_singleton_method(ext, "get_render_target_xml", GetRenderTargetXml, 1);
  rb_define_singleton_method(ext, "reset_layout", ResetLayout, 0);
  rb_define_singleton_method(ext, "reset_scene", ResetScene, 0);
  rb_define_singleton_method(ext, "set_camera_pos", SetCameraPos, 3);
  rb_define_singleton_method(ext, "set_camera_view", SetCameraView, 2);
  rb_define_singleton_method(ext, "set_layout_xml", SetLayoutXml, 1);
  rb_define_singleton_method(ext, "set_render_target_xml", SetRenderTargetXml, 2);
  rb_define_singleton_method(ext, "set_scene_params", SetSceneParams, 1);
  rb_define_singleton_method(ext, "set_view_extents", SetViewExtents, 2);
  rb_define_singleton_method(ext, "show_window", ShowWindow, 1);
  rb_define_singleton_method(ext, "update_and_restart", UpdateAndRestart, 0);

  // The scene and material modules register their classes here as they arrive:
  // ExtDefinition, ExtEntity, ExtInstance and ExtMaterial, and "clear_proxies" on ZarnikExt.
  HostMaterialExt::Init();
  SketchupManager::DefineEntityClass();
  SketchupManager::DefineDefinitionClass();
  SketchupManager::DefineInstanceClass();
  ProxyManager::DefineRubyMethods();
}

}  // namespace ZarnikManagerExt
}  // namespace Zarnik
