#pragma once

// Shared pieces of the scene classes' Ruby methods.
//
// Every method has the same shape. Its Ruby arguments are converted first, with Ruby's own
// validating conversions, into plain values in a frame that owns nothing with a destructor;
// a TypeError or RangeError raised there reaches the caller before anything has changed.
// The work then runs in a separate frame behind Shield, which no C++ exception crosses.
// Lists of unknown length are read under rb_protect into C++ storage, and a Ruby error
// raised while reading them is re-raised only after that storage is gone.

#include "application/ruby_bridge.h"  // ruby.h with the extension's settings

#include <glog/logging.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "utils/matrix.h"

namespace Zarnik {
namespace SceneRuby {

// Runs fn and answers its result; a C++ exception is logged as a failure of `what` and
// answers `fallback`.
template <class R, class Fn>
R Shield(const char* what, R fallback, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const std::exception& e) {
    LOG(ERROR) << what << " failed: " << e.what();
  } catch (...) {
    LOG(ERROR) << what << " failed";
  }
  return fallback;
}

inline VALUE Bool(bool value) { return value ? Qtrue : Qfalse; }
// Only Ruby's true counts as set.
inline bool Flag(VALUE value) { return value == Qtrue; }

// The 16 numbers of a host transform, in the host's order. Raises TypeError for a value
// that is not an Array, and for an entry that is missing (an Array shorter than 16) or not
// numeric. Nothing but `out` is written, so a raise leaves the caller's state untouched.
void ReadTransformElements(VALUE array, float (&out)[16]);

// The elements as a host transform in metres: translation divided by the inch factor.
Float4x4 HostTransform(const float (&elements)[16]);

// Reads an Array of Integers (checked by the caller with Check_Type) into `out`. A Ruby
// error raised by an element's conversion is caught and left in `state` for the caller to
// re-raise once its C++ objects are gone; `out` is then incomplete. False on any failure.
bool ReadIntList(VALUE array, std::vector<std::int32_t>& out, int& state) noexcept;

// Reads the Arrays of exactly 16 numbers found in `list` as host transforms in metres;
// other elements are skipped, and anything but an Array yields no transforms. Errors as
// for ReadIntList.
bool ReadTransformList(VALUE list, std::vector<Float4x4>& out, int& state) noexcept;

// A String argument's bytes up to its first NUL. The caller has checked the type.
std::string TextOf(VALUE string);

// A new UTF-8 String made under rb_protect; on a Ruby error `state` is set and nil answered.
VALUE NewString(const std::string& text, int& state) noexcept;

template <class Fn>
VALUE TextAnswerFrame(const char* what, Fn& fn, int& state) noexcept {
  return NewString(Shield(what, std::string(), fn), state);
}

// The Ruby String of fn's text, "" when fn failed (logged as a failure of `what`). The text
// is gone before a Ruby error raised while making the String goes on to the caller.
template <class Fn>
VALUE TextAnswer(const char* what, Fn&& fn) {
  int state = 0;
  const VALUE answer = TextAnswerFrame(what, fn, state);
  if (state != 0) rb_jump_tag(state);
  return answer;
}

}  // namespace SceneRuby
}  // namespace Zarnik
