#include "sketchup/ruby_glue.h"

#include <cstring>

namespace Zarnik {
namespace SceneRuby {

namespace {

struct IntListRead {
  VALUE array;
  std::vector<std::int32_t>* out;
};

// Runs under rb_protect: nothing here may throw, so the storage was reserved beforehand
// and only the first `capacity` entries are taken even if a conversion grows the array.
VALUE ReadIntsProtected(VALUE data) {
  IntListRead* read = reinterpret_cast<IntListRead*>(data);
  const long length = static_cast<long>(read->out->capacity());
  for (long i = 0; i < length && i < RARRAY_LEN(read->array); ++i) {
    read->out->push_back(NUM2INT(rb_ary_entry(read->array, i)));
  }
  return Qnil;
}

struct TransformElements {
  float m[16];
};

struct TransformListRead {
  VALUE list;
  TransformElements* elements;
  long capacity;
  long count;
};

VALUE ReadTransformsProtected(VALUE data) {
  TransformListRead* read = reinterpret_cast<TransformListRead*>(data);
  for (long i = 0; i < RARRAY_LEN(read->list) && read->count < read->capacity; ++i) {
    const VALUE entry = rb_ary_entry(read->list, i);
    if (!RB_TYPE_P(entry, T_ARRAY) || RARRAY_LEN(entry) != 16) continue;
    ReadTransformElements(entry, read->elements[read->count].m);
    ++read->count;
  }
  return Qnil;
}

VALUE NewUtf8(VALUE data) {
  const std::string* text = reinterpret_cast<const std::string*>(data);
  return rb_utf8_str_new(text->data(), static_cast<long>(text->size()));
}

}  // namespace

void ReadTransformElements(VALUE array, float (&out)[16]) {
  Check_Type(array, T_ARRAY);
  for (long k = 0; k < 16; ++k) out[k] = static_cast<float>(NUM2DBL(rb_ary_entry(array, k)));
}

Float4x4 HostTransform(const float (&elements)[16]) {
  Float4x4 transform(elements);
  transform.InchesToMeters();
  return transform;
}

bool ReadIntList(VALUE array, std::vector<std::int32_t>& out, int& state) noexcept {
  state = 0;
  out.clear();
  try {
    out.reserve(static_cast<std::size_t>(RARRAY_LEN(array)));
  } catch (...) {
    LOG(ERROR) << "No memory for a list of " << RARRAY_LEN(array) << " ids";
    return false;
  }
  IntListRead read{array, &out};
  rb_protect(ReadIntsProtected, reinterpret_cast<VALUE>(&read), &state);
  return state == 0;
}

bool ReadTransformList(VALUE list, std::vector<Float4x4>& out, int& state) noexcept {
  state = 0;
  out.clear();
  if (!RB_TYPE_P(list, T_ARRAY) || RARRAY_LEN(list) == 0) return true;
  try {
    std::vector<TransformElements> elements(static_cast<std::size_t>(RARRAY_LEN(list)));
    TransformListRead read{list, elements.data(), static_cast<long>(elements.size()), 0};
    rb_protect(ReadTransformsProtected, reinterpret_cast<VALUE>(&read), &state);
    if (state != 0) return false;
    out.reserve(static_cast<std::size_t>(read.count));
    for (long i = 0; i < read.count; ++i) out.push_back(HostTransform(elements[static_cast<std::size_t>(i)].m));
    return true;
  } catch (...) {
    LOG(ERROR) << "No memory for a list of " << RARRAY_LEN(list) << " transforms";
    return false;
  }
}

std::string TextOf(VALUE string) {
  const char* bytes = RSTRING_PTR(string);
  return std::string(bytes, strnlen(bytes, static_cast<std::size_t>(RSTRING_LEN(string))));
}

VALUE NewString(const std::string& text, int& state) noexcept {
  state = 0;
  return rb_protect(NewUtf8, reinterpret_cast<VALUE>(&text), &state);
}

}  // namespace SceneRuby
}  // namespace Zarnik
