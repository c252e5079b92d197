#pragma once

// The extension's side of the Ruby interface: value conversions that never raise, and
// calls into Ruby that cannot unwind through the extension's frames.
//
// Registered class methods convert their own arguments with Ruby's validating conversions
// (NUM2INT, StringValueCStr, ...) at the very start, before any object with a destructor
// exists in their frame, so that a TypeError raised there passes straight to the caller.

// Ruby's headers otherwise replace snprintf by a macro, which breaks std::snprintf in every
// file that includes this one.
#ifndef RUBY_DONT_SUBST
#define RUBY_DONT_SUBST 1
#endif
#include <ruby.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "utils/strings.h"

namespace Zarnik {
namespace Ruby {

// Runs `call` so that nothing raised inside it escapes: any Ruby exception (the
// StandardError family and the rest alike) and any C++ exception is caught and written to
// the debug log. `rescue`, when given, sees the Ruby exception object. True when nothing
// was raised.
bool protect_call(const std::function<void()>& call, const std::function<void(VALUE)>& rescue);

template <typename T>
struct Convert;  // only the specialisations below exist

// 64-bit and floating types: the fallback when Ruby cannot convert (with a debug-log line).
template <> struct Convert<long> { static long from_ruby(VALUE value, long fallback); };
template <> struct Convert<unsigned long> {
  static unsigned long from_ruby(VALUE value, unsigned long fallback);
};
template <> struct Convert<long long> { static long long from_ruby(VALUE value, long long fallback); };
template <> struct Convert<unsigned long long> {
  static unsigned long long from_ruby(VALUE value, unsigned long long fallback);
};
template <> struct Convert<double> { static double from_ruby(VALUE value, double fallback); };
template <> struct Convert<float> { static float from_ruby(VALUE value, float fallback); };

// Narrow integers: read through long / unsigned long (0 when that fails), then the
// fallback when the number does not fit the type.
template <> struct Convert<char> { static char from_ruby(VALUE value, char fallback); };
template <> struct Convert<signed char> {
  static signed char from_ruby(VALUE value, signed char fallback);
};
template <> struct Convert<unsigned char> {
  static unsigned char from_ruby(VALUE value, unsigned char fallback);
};
template <> struct Convert<short> { static short from_ruby(VALUE value, short fallback); };
template <> struct Convert<unsigned short> {
  static unsigned short from_ruby(VALUE value, unsigned short fallback);
};
template <> struct Convert<int> { static int from_ruby(VALUE value, int fallback); };
template <> struct Convert<unsigned int> {
  static unsigned int from_ruby(VALUE value, unsigned int fallback);
};

// Truthiness by kind: numbers not zero, strings and symbols not empty, arrays and hashes
// not empty; false and nil are false; any other kind gives the fallback.
template <> struct Convert<bool> { static bool from_ruby(VALUE value, bool fallback); };

// A String's bytes as stored (NUL bytes kept) or a Symbol's name; the fallback otherwise.
template <> struct Convert<std::string> {
  static std::string from_ruby(VALUE value, const std::string& fallback);
  static VALUE to_ruby(const std::string& text);  // a new UTF-8 String
};

// A Hash of strings, in its iteration order; the first of two keys with the same text wins.
template <> struct Convert<std::map<std::string, std::string>> {
  using Map = std::map<std::string, std::string>;
  static Map from_ruby(VALUE value, const Map& fallback);
  static VALUE to_ruby(const Map& map);  // a new Hash of UTF-8 Strings
};

namespace detail {

// Resolves the constants of a method path ("A::B.method" split into its pieces) from
// Object and interns the method name. Must run inside protect_call. A constant that is
// missing, or that is not a class or module where another name follows, gives false (and a
// debug-log line) without raising.
bool ResolveMethodPath(const std::vector<std::string>& pieces, VALUE& receiver, ID& method);

}  // namespace detail

// Calls the Ruby class method named by `path` ("Outer::Inner.method"; runs of '.' and ':'
// count as one separator) with the converted arguments, and stores the converted answer in
// `result` (an empty R when the call failed or answered something else). True when the
// method was found and raised nothing; an empty path gives false and leaves `result` alone.
template <typename R, typename... Args>
bool call_class_method(const std::string& path, R& result, const Args&... args) {
  const std::vector<std::string> pieces = Strings::Split(path, ".:");
  if (pieces.empty()) return false;

  bool resolved = false;
  VALUE returned = Qnil;
  const bool clean = protect_call(
      [&] {
        VALUE receiver = Qnil;
        ID method = 0;
        resolved = detail::ResolveMethodPath(pieces, receiver, method);
        if (!resolved) return;
        VALUE argv = rb_ary_new_capa(static_cast<long>(sizeof...(Args)));
        (rb_ary_push(argv, Convert<Args>::to_ruby(args)), ...);
        returned = rb_funcallv(receiver, method, RARRAY_LENINT(argv), RARRAY_CONST_PTR(argv));
        RB_GC_GUARD(argv);
      },
      nullptr);
  result = Convert<R>::from_ruby(returned, R());
  RB_GC_GUARD(returned);
  return clean && resolved;
}

}  // namespace Ruby
}  // namespace Zarnik
