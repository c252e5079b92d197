#include "materials/mat_manager_ext.h"

#include "application/ruby_bridge.h"  // ruby.h with the extension's settings

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "materials/editor/scene_editor.h"
#include "materials/host_material_ext.h"
#include "materials/mat_manager.h"
#include "materials/texture_tracker.h"
#include "sketchup/ruby_glue.h"
#include "sketchup/su_manager.h"
#include "sketchup/su_material.h"
#include "utils/paths.h"
#include "utils/strings.h"
#include "zarnik/node_json.h"
#include "zarnik/zarnik_window.h"

namespace Zarnik {
namespace MaterialManagerExt {

// The preview of a host material's scene material; "" without a UI record or a file. With
// `rebuild` the preview is rendered again first, at a texture scale that shows the texture.
std::string PreviewPath(int host_id, bool rebuild);

// ---- Path hash ------------------------------------------------------------------------------
//
// The Ruby side keys stored texture records by this number, so it must stay the very value
// that the platform's standard string hash gave when those records were written: the 64-bit
// CityHash variant of the libc++ standard library, byte for byte.

std::uint64_t PathHash(const char* s, std::size_t size);

namespace {

constexpr std::uint64_t kK0 = 0xc3a5c85c97cb3127ULL;
constexpr std::uint64_t kK1 = 0xb492b66fbe98f273ULL;
constexpr std::uint64_t kK2 = 0x9ae16a3b2f90404fULL;
constexpr std::uint64_t kK3 = 0xc949d7c7509e6557ULL;

template <class T>
T LoadWord(const char* p) {
  T value;
  __builtin_memcpy(&value, p, sizeof(value));  // ruby.h redefines memcpy
  return value;
}

std::uint64_t Rotate(std::uint64_t value, int shift) {
  return shift == 0 ? value : ((value >> shift) | (value << (64 - shift)));
}

std::uint64_t RotateByAtLeast1(std::uint64_t value, int shift) { return (value >> shift) | (value << (64 - shift)); }

std::uint64_t ShiftMix(std::uint64_t value) { return value ^ (value >> 47); }

std::uint64_t HashLen16(std::uint64_t u, std::uint64_t v) {
  const std::uint64_t mul = 0x9ddfea08eb382d69ULL;
  std::uint64_t a = (u ^ v) * mul;
  a ^= (a >> 47);
  std::uint64_t b = (v ^ a) * mul;
  b ^= (b >> 47);
  b *= mul;
  return b;
}

std::uint64_t HashLen0To16(const char* s, std::uint64_t len) {
  if (len > 8) {
    const std::uint64_t a = LoadWord<std::uint64_t>(s);
    const std::uint64_t b = LoadWord<std::uint64_t>(s + len - 8);
    return HashLen16(a, RotateByAtLeast1(b + len, static_cast<int>(len))) ^ b;
  }
  if (len >= 4) {
    const std::uint32_t a = LoadWord<std::uint32_t>(s);
    const std::uint32_t b = LoadWord<std::uint32_t>(s + len - 4);
    // The shift happens in 32 bits, as in the library.
    return HashLen16(len + static_cast<std::uint32_t>(a << 3), b);
  }
  if (len > 0) {
    const unsigned char a = static_cast<unsigned char>(s[0]);
    const unsigned char b = static_cast<unsigned char>(s[len >> 1]);
    const unsigned char c = static_cast<unsigned char>(s[len - 1]);
    const std::uint32_t y = static_cast<std::uint32_t>(a) + (static_cast<std::uint32_t>(b) << 8);
    const std::uint32_t z = static_cast<std::uint32_t>(len) + (static_cast<std::uint32_t>(c) << 2);
    return ShiftMix(y * kK2 ^ z * kK3) * kK2;
  }
  return kK2;
}

std::uint64_t HashLen17To32(const char* s, std::uint64_t len) {
  const std::uint64_t a = LoadWord<std::uint64_t>(s) * kK1;
  const std::uint64_t b = LoadWord<std::uint64_t>(s + 8);
  const std::uint64_t c = LoadWord<std::uint64_t>(s + len - 8) * kK2;
  const std::uint64_t d = LoadWord<std::uint64_t>(s + len - 16) * kK0;
  return HashLen16(Rotate(a - b, 43) + Rotate(c, 30) + d, a + Rotate(b ^ kK3, 20) - c + len);
}

struct HashPair {
  std::uint64_t first;
  std::uint64_t second;
};

HashPair WeakHashLen32WithSeeds(std::uint64_t w, std::uint64_t x, std::uint64_t y, std::uint64_t z, std::uint64_t a,
                                std::uint64_t b) {
  a += w;
  b = Rotate(b + a + z, 21);
  const std::uint64_t c = a;
  a += x;
  a += y;
  b += Rotate(a, 44);
  return HashPair{a + z, b + c};
}

HashPair WeakHashLen32WithSeeds(const char* s, std::uint64_t a, std::uint64_t b) {
  return WeakHashLen32WithSeeds(LoadWord<std::uint64_t>(s), LoadWord<std::uint64_t>(s + 8),
                                LoadWord<std::uint64_t>(s + 16), LoadWord<std::uint64_t>(s + 24), a, b);
}

std::uint64_t HashLen33To64(const char* s, std::uint64_t len) {
  std::uint64_t z = LoadWord<std::uint64_t>(s + 24);
  std::uint64_t a = LoadWord<std::uint64_t>(s) + (len + LoadWord<std::uint64_t>(s + len - 16)) * kK0;
  std::uint64_t b = Rotate(a + z, 52);
  std::uint64_t c = Rotate(a, 37);
  a += LoadWord<std::uint64_t>(s + 8);
  c += Rotate(a, 7);
  a += LoadWord<std::uint64_t>(s + 16);
  const std::uint64_t vf = a + z;
  const std::uint64_t vs = b + Rotate(a, 31) + c;
  a = LoadWord<std::uint64_t>(s + 16) + LoadWord<std::uint64_t>(s + len - 32);
  z += LoadWord<std::uint64_t>(s + len - 8);
  b = Rotate(a + z, 52);
  c = Rotate(a, 37);
  a += LoadWord<std::uint64_t>(s + len - 24);
  c += Rotate(a, 7);
  a += LoadWord<std::uint64_t>(s + len - 16);
  const std::uint64_t wf = a + z;
  const std::uint64_t ws = b + Rotate(a, 31) + c;
  const std::uint64_t r = ShiftMix((vf + ws) * kK2 + (wf + vs) * kK0);
  return ShiftMix(r * kK0 + vs) * kK2;
}

}  // namespace

std::uint64_t PathHash(const char* s, std::size_t size) {
  std::uint64_t len = size;
  if (len <= 32) return len <= 16 ? HashLen0To16(s, len) : HashLen17To32(s, len);
  if (len <= 64) return HashLen33To64(s, len);

  // Longer texts: the end is hashed first, then 64-byte chunks from the start, keeping
  // 56 bytes of state.
  std::uint64_t x = LoadWord<std::uint64_t>(s + len - 40);
  std::uint64_t y = LoadWord<std::uint64_t>(s + len - 16) + LoadWord<std::uint64_t>(s + len - 56);
  std::uint64_t z = HashLen16(LoadWord<std::uint64_t>(s + len - 48) + len, LoadWord<std::uint64_t>(s + len - 24));
  HashPair v = WeakHashLen32WithSeeds(s + len - 64, len, z);
  HashPair w = WeakHashLen32WithSeeds(s + len - 32, y + kK1, x);
  x = x * kK1 + LoadWord<std::uint64_t>(s);

  len = (len - 1) & ~static_cast<std::uint64_t>(63);
  do {
    x = Rotate(x + y + v.first + LoadWord<std::uint64_t>(s + 8), 37) * kK1;
    y = Rotate(y + v.second + LoadWord<std::uint64_t>(s + 48), 42) * kK1;
    x ^= w.second;
    y += v.first + LoadWord<std::uint64_t>(s + 40);
    z = Rotate(z + w.first, 33) * kK1;
    v = WeakHashLen32WithSeeds(s, v.second * kK1, x + w.first);
    w = WeakHashLen32WithSeeds(s + 32, z + w.second, y + LoadWord<std::uint64_t>(s + 16));
    std::swap(z, x);
    s += 64;
    len -= 64;
  } while (len != 0);
  return HashLen16(HashLen16(v.first, w.first) + ShiftMix(y) * kK1 + z, HashLen16(v.second, w.second) + x);
}

namespace {

using SceneRuby::Bool;
using SceneRuby::Shield;

constexpr int kLastNewMaterialKind = 4;

// The parts of a host material: the record, and for a linked one the scene material's UI
// record and node. Converted host materials yield no UI record and no node.
struct MaterialParts {
  std::shared_ptr<SuMaterial> host;
  std::shared_ptr<UiMat> ui;
  ApiNode* node = nullptr;
};

MaterialParts GetMaterialParts(std::int32_t host_id) {
  MaterialParts parts;
  if (!SketchupManager::IsMaterialValid(host_id)) return parts;
  parts.host = SketchupManager::GetMaterial(host_id);
  if (parts.host && parts.host->linked_id() != -1) {
    parts.ui = MaterialManager::GetUiMaterial(parts.host->linked_id());
    parts.node = MaterialManager::GetMaterialNode(parts.host->linked_id());
  }
  return parts;
}

// The first texture scale among the node's inputs that says something: the scale
// attribute of the transform in pin 243 of an input, unless it is zero in x or y or all
// ones.
bool FirstUsableScale(ApiNode* node, float_3& scale) {
  if (!node) return false;
  const std::uint32_t pins = node->pinCount();
  for (std::uint32_t i = 0; i < pins; ++i) {
    ApiNode* input = node->connectedNodeIx(i);
    if (!input || !input->hasPin(SuMaterial::kTextureTransformPin)) continue;
    ApiNode* transform = input->connectedNode(SuMaterial::kTextureTransformPin);
    if (!transform) continue;
    const float_3 s = transform->getFloat3(SuMaterial::kTransformScaleAttr);
    if (s.x == 0.f || s.y == 0.f || (s.x == 1.f && s.y == 1.f && s.z == 1.f)) continue;
    scale = s;
    return true;
  }
  return false;
}

// The leading decimal number of an id text (leading blanks and a sign allowed), when it
// has one that fits an int.
bool LeadingId(const std::string& text, int& id) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  id = static_cast<int>(value);
  return true;
}

std::string Bytes(VALUE string) { return std::string(RSTRING_PTR(string), static_cast<std::size_t>(RSTRING_LEN(string))); }

// ---- Building Ruby answers ----------------------------------------------------------------
//
// Ruby values are made under rb_protect; a Ruby error is handed back in `state` and raised
// by the registered function once the C++ objects that fed the answer are gone.

struct StringListBuild {
  const std::vector<const std::string*>* items;  // null entries become nil
};

VALUE BuildStringList(VALUE data) {
  const auto* build = reinterpret_cast<const StringListBuild*>(data);
  VALUE list = rb_ary_new_capa(static_cast<long>(build->items->size()));
  for (const std::string* item : *build->items) {
    rb_ary_push(list, item ? rb_utf8_str_new(item->data(), static_cast<long>(item->size())) : Qnil);
  }
  return list;
}

VALUE NewStringList(const std::vector<const std::string*>& items, int& state) noexcept {
  StringListBuild build{&items};
  return rb_protect(BuildStringList, reinterpret_cast<VALUE>(&build), &state);
}

// ---- clean_scene_materials, get_active_material_id, get_material_name ---------------------

VALUE CleanSceneMaterials(VALUE) {
  Shield("ExtMaterials.clean_scene_materials", false, [] {
    MaterialManager::CleanMaterials();
    return true;
  });
  return Qtrue;
}

VALUE GetActiveMaterialId(VALUE) {
  const int id = Shield("ExtMaterials.get_active_material_id", -1,
                        [] { return MaterialManager::GetSceneEditor()->GetActiveMaterialId(); });
  return INT2NUM(id);
}

VALUE GetMaterialName(VALUE, VALUE id_value) {
  const int id = NUM2INT(id_value);
  return SceneRuby::TextAnswer("ExtMaterials.get_material_name", [id] {
    std::shared_ptr<UiMat> record = MaterialManager::GetUiMaterial(id);
    return record ? record->name : std::string();
  });
}

// ---- create_new_material ---------------------------------------------------------------------

struct NewMaterialArguments {
  int kind;
  bool has_parameters;
  VALUE name;
  double color[3];
  VALUE texture;
  double scale_x;
  double scale_y;
};

int CreateMaterial(const NewMaterialArguments& args) noexcept {
  return Shield("ExtMaterials.create_new_material", -1, [&args] {
    if (args.kind < 0 || args.kind > kLastNewMaterialKind) return -1;
    std::string name;
    std::string texture;
    float color[3] = {-1.f, -1.f, -1.f};  // no colour
    float_2 scale{1.f, 1.f};
    if (args.has_parameters) {
      name = Bytes(args.name);
      texture = Strings::MakeCanonical(Bytes(args.texture));
      for (int c = 0; c < 3; ++c) color[c] = HostMaterialExt::LinearColor(args.color[c]);
      scale = float_2{static_cast<float>(args.scale_x), static_cast<float>(args.scale_y)};
    }
    return MaterialManager::GetSceneEditor()->AddNewMaterial(args.kind, name, texture, color[0], color[1], color[2],
                                                             scale.x, scale.y);
  });
}

VALUE CreateNewMaterial(VALUE, VALUE kind_value, VALUE parameters) {
  NewMaterialArguments args{};
  args.kind = NUM2INT(kind_value);
  args.has_parameters = !NIL_P(parameters);
  args.name = Qnil;
  args.texture = Qnil;
  if (args.has_parameters) {
    Check_Type(parameters, T_ARRAY);
    args.name = rb_ary_entry(parameters, 1);
    StringValueCStr(args.name);
    VALUE color = rb_ary_entry(parameters, 2);
    Check_Type(color, T_ARRAY);
    for (long c = 0; c < 3; ++c) args.color[c] = NUM2DBL(rb_ary_entry(color, c));
    args.texture = rb_ary_entry(parameters, 3);
    StringValueCStr(args.texture);
    args.scale_x = NUM2DBL(rb_ary_entry(parameters, 4));
    args.scale_y = NUM2DBL(rb_ary_entry(parameters, 5));
    NUM2DBL(rb_ary_entry(parameters, 6));  // the opacity: checked like the rest, not used
  }
  const int id = CreateMaterial(args);
  RB_GC_GUARD(parameters);
  RB_GC_GUARD(args.name);
  RB_GC_GUARD(args.texture);
  return INT2NUM(id);
}

}  // namespace

// ---- get_material_preview, get_texture_scale --------------------------------------------------

std::string PreviewPath(int host_id, bool rebuild) {
  MaterialParts parts = GetMaterialParts(host_id);
  if (!parts.ui) return std::string();
  if (rebuild) {
    // The preview shows the texture at a readable size, whatever the host's scale.
    const float_2 live_scale = parts.host->scale();
    float_3 found{};
    float_2 preview_scale{1.f, 1.f};
    if (FirstUsableScale(parts.node, found)) preview_scale = float_2{10.f / found.x, 10.f / found.y};
    parts.host->TryToUpdateScale(preview_scale);
    parts.ui->BuildPreviewTexture(true);
    parts.host->TryToUpdateScale(live_scale);
  }
  std::string path;
  {
    std::lock_guard<std::mutex> lock(parts.ui->mutex);
    path = parts.ui->texture_path;
  }
  return !path.empty() && Strings::FileExists(path) ? path : std::string();
}

namespace {

VALUE GetMaterialPreview(VALUE, VALUE id_value, VALUE rebuild_value) {
  const int host_id = NUM2INT(id_value);
  const bool rebuild = SceneRuby::Flag(rebuild_value);
  return SceneRuby::TextAnswer("ExtMaterials.get_material_preview",
                               [=] { return PreviewPath(host_id, rebuild); });
}

VALUE GetTextureScale(VALUE, VALUE id_value) {
  const int host_id = NUM2INT(id_value);
  float_3 scale{};
  const bool found = Shield("ExtMaterials.get_texture_scale", false,
                            [host_id, &scale] { return FirstUsableScale(GetMaterialParts(host_id).node, scale); });
  if (!found) return Qnil;
  return rb_assoc_new(DBL2NUM(scale.x), DBL2NUM(scale.y));
}

// ---- get_path_hash ------------------------------------------------------------------------------

VALUE GetPathHash(VALUE, VALUE text) {
  StringValue(text);
  const std::uint64_t hash = PathHash(RSTRING_PTR(text), static_cast<std::size_t>(RSTRING_LEN(text)));
  RB_GC_GUARD(text);
  return ULL2NUM(hash);
}

// ---- serialize_material ---------------------------------------------------------------------------

// The text form first, then per texture group its first name (in byte order) with the
// Base64 content and every further name of the group with nil.
bool SerializeEntries(int host_id, std::vector<std::string>& texts, std::vector<bool>& is_nil) {
  std::shared_ptr<SuMaterial> host = SketchupManager::GetMaterial(host_id);
  if (!host || !host->node()) return false;
  const std::string text = ZarnikWindow::SerializeMaterial(host->node());
  if (text.empty()) return false;

  std::map<const std::string*, std::pair<TextureTracker::Bytes, std::vector<std::string>>> groups;
  TextureTracker::Bookmark();
  ZarnikWindow::RecordTextures(host->node());
  TextureTracker::ForEachNewTexture([&groups](const std::string& name, const TextureTracker::Bytes& bytes) {
    if (!bytes) return;
    auto& group = groups[bytes.get()];
    group.first = bytes;
    group.second.push_back(name);
  });
  TextureTracker::Bookmark();

  texts.push_back(text);
  is_nil.push_back(false);
  for (auto& entry : groups) {
    std::vector<std::string>& names = entry.second.second;
    std::sort(names.begin(), names.end());
    std::string encoded;
    Strings::Base64Encode(*entry.second.first, encoded);
    texts.push_back(names.front());
    is_nil.push_back(false);
    texts.push_back(std::move(encoded));
    is_nil.push_back(false);
    for (std::size_t i = 1; i < names.size(); ++i) {
      texts.push_back(names[i]);
      is_nil.push_back(false);
      texts.emplace_back();
      is_nil.push_back(true);
    }
  }
  return true;
}

VALUE AnswerSerialized(int host_id, int& state) noexcept {
  std::vector<std::string> texts;
  std::vector<bool> is_nil;
  std::vector<const std::string*> items;
  const bool done = Shield("ExtMaterials.serialize_material", false, [&] {
    if (!SerializeEntries(host_id, texts, is_nil)) return false;
    items.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) items.push_back(is_nil[i] ? nullptr : &texts[i]);
    return true;
  });
  if (!done) return Qnil;
  return NewStringList(items, state);
}

VALUE SerializeMaterial(VALUE, VALUE id_value) {
  const int host_id = NUM2INT(id_value);
  int state = 0;
  const VALUE answer = AnswerSerialized(host_id, state);
  if (state != 0) rb_jump_tag(state);
  return answer;
}

// ---- set_scene_material, set_scene_materials -------------------------------------------------------

bool StoreSceneMaterial(const std::string& id_text, const std::string& json_text) {
  int id = 0;
  if (!LeadingId(id_text, id) || id < MaterialManager::kSceneStartSlot) return false;
  Json::Value json;
  try {
    Json::Reader reader;
    if (!reader.parse(json_text, json, true)) return false;
  } catch (const std::exception&) {
    return false;  // nested deeper than the reader follows: as unreadable as any bad text
  }
  ApiNode* node = NodeUtils::StrToNode(json, 0, nullptr, 0);
  MaterialManager::SetMaterial(id, node);
  MaterialManager::SetMaterial(id, json);
  MaterialManager::GetSceneEditor()->UpdateFreeSlot(id);
  return true;
}

VALUE SetSceneMaterial(VALUE, VALUE id_text, VALUE json_text) {
  StringValue(id_text);
  StringValue(json_text);
  const bool stored = Shield("ExtMaterials.set_scene_material", false,
                             [id_text, json_text] { return StoreSceneMaterial(Bytes(id_text), Bytes(json_text)); });
  RB_GC_GUARD(id_text);
  RB_GC_GUARD(json_text);
  return Bool(stored);
}

VALUE SetSceneMaterials(VALUE, VALUE text) {
  StringValue(text);
  Shield("ExtMaterials.set_scene_materials", false, [text] {
    MaterialManager::SetMaterialsFromStr(Bytes(text));
    return true;
  });
  RB_GC_GUARD(text);
  return Qtrue;
}

}  // namespace

void Init() {
  const VALUE ext = rb_define_class("ExtMaterials", rb_cObject);
  rb_define_singleton_method(ext, "clean_scene_materials", CleanSceneMaterials, 0);
  rb_define_singleton_method(ext, "create_new_material", CreateNewMaterial, 2);
  rb_define_singleton_method(ext, "get_active_material_id", GetActiveMaterialId, 0);
  rb_define_singleton_method(ext, "get_material_name", GetMaterialName, 1);
  rb_define_singleton_method(ext, "get_material_preview", GetMaterialPreview, 2);
  rb_define_singleton_method(ext, "get_path_hash", GetPathHash, 1);
  rb_define_singleton_method(ext, "get_texture_scale", GetTextureScale, 1);
  rb_define_singleton_method(ext, "serialize_material", SerializeMaterial, 1);
  rb_define_singleton_method(ext, "set_scene_material", SetSceneMaterial, 2);
  rb_define_singleton_method(ext, "set_scene_materials", SetSceneMaterials, 1);
}

}  // namespace MaterialManagerExt
}  // namespace Zarnik
