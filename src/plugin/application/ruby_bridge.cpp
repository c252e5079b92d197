#include "application/ruby_bridge.h"

#include <exception>
#include <limits>

#include "application/logger.h"

namespace Zarnik {
namespace Ruby {

namespace {

struct CallContext {
  std::function<void()> call;
  std::function<void(VALUE)> rescue;
  std::string cpp_error;  // what() of a C++ exception thrown by either function
  bool cpp_failed = false;
};

// Trampolines run under rb_protect. No C++ exception may leave them (that would unwind
// through the interpreter's frames), and they own nothing that a Ruby exception could skip.
VALUE RunCall(VALUE data) {
  CallContext* context = reinterpret_cast<CallContext*>(data);
  try {
    context->call();
  } catch (const std::exception& error) {
    context->cpp_failed = true;
    context->cpp_error = error.what();
  } catch (...) {
    context->cpp_failed = true;
    context->cpp_error = "unknown";
  }
  return Qnil;
}

struct RescueContext {
  CallContext* call_context;
  VALUE exception;
};

VALUE RunRescue(VALUE data) {
  RescueContext* context = reinterpret_cast<RescueContext*>(data);
  try {
    context->call_context->rescue(context->exception);
  } catch (...) {
    // The handler only observes the failure; its own failure changes nothing.
  }
  return Qnil;
}

bool IsExceptionObject(VALUE value) {
  // rb_protect also stops non-local exits (throw to an outer catch), whose pending value
  // is an internal record rather than an object: only real objects are inspected.
  return RB_TYPE_P(value, T_OBJECT) && RTEST(rb_obj_is_kind_of(value, rb_eException));
}

template <typename T>
T ConvertProtected(T fallback, T (*convert)(VALUE), VALUE value) {
  T result = fallback;
  protect_call([&] { result = convert(value); }, nullptr);
  return result;
}

long NumToLong(VALUE value) { return rb_num2long(value); }
unsigned long NumToUlong(VALUE value) { return rb_num2ulong(value); }
long long NumToLongLong(VALUE value) { return rb_num2ll(value); }
unsigned long long NumToUlongLong(VALUE value) { return rb_num2ull(value); }
double NumToDouble(VALUE value) { return rb_num2dbl(value); }

template <typename T>
T SignedInRange(VALUE value, T fallback) {
  const long number = Convert<long>::from_ruby(value, 0);
  if (number < static_cast<long>(std::numeric_limits<T>::min()) ||
      number > static_cast<long>(std::numeric_limits<T>::max())) {
    return fallback;
  }
  return static_cast<T>(number);
}

template <typename T>
T UnsignedInRange(VALUE value, T fallback) {
  const unsigned long number = Convert<unsigned long>::from_ruby(value, 0);
  if (number > static_cast<unsigned long>(std::numeric_limits<T>::max())) return fallback;
  return static_cast<T>(number);
}

struct HashReadContext {
  std::map<std::string, std::string>* map;
  bool failed;
};

int CollectPair(VALUE key, VALUE value, VALUE data) {
  HashReadContext* context = reinterpret_cast<HashReadContext*>(data);
  try {
    context->map->emplace(Convert<std::string>::from_ruby(key, std::string()),
                          Convert<std::string>::from_ruby(value, std::string()));
    return ST_CONTINUE;
  } catch (...) {
    context->failed = true;
    return ST_STOP;
  }
}

}  // namespace

bool protect_call(const std::function<void()>& call, const std::function<void(VALUE)>& rescue) {
  CallContext context;
  context.call = call;
  context.rescue = rescue;

  int state = 0;
  rb_protect(RunCall, reinterpret_cast<VALUE>(&context), &state);

  if (state != 0) {
    VALUE exception = rb_errinfo();
    rb_set_errinfo(Qnil);
    const bool is_object = IsExceptionObject(exception);
    if (is_object && context.rescue) {
      RescueContext rescue_context{&context, exception};
      int rescue_state = 0;
      rb_protect(RunRescue, reinterpret_cast<VALUE>(&rescue_context), &rescue_state);
      if (rescue_state != 0) rb_set_errinfo(Qnil);
    }
    const std::string class_name =
        is_object ? std::string(rb_obj_classname(exception)) : std::string("non-local exit");
    DebugLog("Ruby exception [protect_call]: ", class_name);
    RB_GC_GUARD(exception);
    return false;
  }
  if (context.cpp_failed) {
    DebugLog("C++ exception [protect_call]: ", context.cpp_error);
    return false;
  }
  return true;
}

long Convert<long>::from_ruby(VALUE value, long fallback) {
  if (FIXNUM_P(value)) return FIX2LONG(value);
  return ConvertProtected<long>(fallback, NumToLong, value);
}

unsigned long Convert<unsigned long>::from_ruby(VALUE value, unsigned long fallback) {
  if (FIXNUM_P(value)) return static_cast<unsigned long>(FIX2LONG(value));
  return ConvertProtected<unsigned long>(fallback, NumToUlong, value);
}

long long Convert<long long>::from_ruby(VALUE value, long long fallback) {
  if (FIXNUM_P(value)) return FIX2LONG(value);
  return ConvertProtected<long long>(fallback, NumToLongLong, value);
}

unsigned long long Convert<unsigned long long>::from_ruby(VALUE value,
                                                          unsigned long long fallback) {
  return ConvertProtected<unsigned long long>(fallback, NumToUlongLong, value);
}

double Convert<double>::from_ruby(VALUE value, double fallback) {
  return ConvertProtected<double>(fallback, NumToDouble, value);
}

float Convert<float>::from_ruby(VALUE value, float fallback) {
  return static_cast<float>(
      ConvertProtected<double>(static_cast<double>(fallback), NumToDouble, value));
}

char Convert<char>::from_ruby(VALUE value, char fallback) {
  // Plain char is read as a signed byte whatever its signedness on this platform.
  const long number = Convert<long>::from_ruby(value, 0);
  if (number < -128 || number > 127) return fallback;
  return static_cast<char>(number);
}

signed char Convert<signed char>::from_ruby(VALUE value, signed char fallback) {
  return SignedInRange<signed char>(value, fallback);
}

unsigned char Convert<unsigned char>::from_ruby(VALUE value, unsigned char fallback) {
  return UnsignedInRange<unsigned char>(value, fallback);
}

short Convert<short>::from_ruby(VALUE value, short fallback) {
  return SignedInRange<short>(value, fallback);
}

unsigned short Convert<unsigned short>::from_ruby(VALUE value, unsigned short fallback) {
  return UnsignedInRange<unsigned short>(value, fallback);
}

int Convert<int>::from_ruby(VALUE value, int fallback) {
  return SignedInRange<int>(value, fallback);
}

unsigned int Convert<unsigned int>::from_ruby(VALUE value, unsigned int fallback) {
  return UnsignedInRange<unsigned int>(value, fallback);
}

bool Convert<bool>::from_ruby(VALUE value, bool fallback) {
  if (value == Qtrue) return true;
  if (value == Qfalse || value == Qnil || value == Qundef) return false;
  switch (rb_type(value)) {
    case T_FIXNUM:
    case T_BIGNUM:
      return Convert<long>::from_ruby(value, 0) != 0;
    case T_FLOAT:
      return Convert<double>::from_ruby(value, 0.0) != 0.0;
    case T_STRING:
    case T_SYMBOL:
      return !Convert<std::string>::from_ruby(value, std::string()).empty();
    case T_ARRAY:
      return RARRAY_LEN(value) > 0;
    case T_HASH:
      return RHASH_SIZE(value) > 0;
    default:
      return fallback;
  }
}

std::string Convert<std::string>::from_ruby(VALUE value, const std::string& fallback) {
  if (RB_TYPE_P(value, T_SYMBOL)) value = rb_sym2str(value);
  if (!RB_TYPE_P(value, T_STRING)) return fallback;
  std::string text(RSTRING_PTR(value), static_cast<std::size_t>(RSTRING_LEN(value)));
  RB_GC_GUARD(value);
  return text;
}

VALUE Convert<std::string>::to_ruby(const std::string& text) {
  return rb_utf8_str_new(text.data(), static_cast<long>(text.size()));
}

Convert<std::map<std::string, std::string>>::Map
Convert<std::map<std::string, std::string>>::from_ruby(VALUE value, const Map& fallback) {
  if (!RB_TYPE_P(value, T_HASH)) return fallback;
  Map map;
  HashReadContext context{&map, false};
  rb_hash_foreach(value, CollectPair, reinterpret_cast<VALUE>(&context));
  RB_GC_GUARD(value);
  if (context.failed) return fallback;
  return map;
}

VALUE Convert<std::map<std::string, std::string>>::to_ruby(const Map& map) {
  VALUE hash = rb_hash_new();
  for (const auto& entry : map) {
    rb_hash_aset(hash, Convert<std::string>::to_ruby(entry.first),
                 Convert<std::string>::to_ruby(entry.second));
  }
  return hash;
}

namespace detail {

bool ResolveMethodPath(const std::vector<std::string>& pieces, VALUE& receiver, ID& method) {
  VALUE current = rb_cObject;
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    const ID name = rb_intern2(pieces[i].data(), static_cast<long>(pieces[i].size()));
    const bool is_namespace = RB_TYPE_P(current, T_CLASS) || RB_TYPE_P(current, T_MODULE);
    if (!is_namespace || !rb_is_const_id(name) || !rb_const_defined(current, name)) {
      std::string missing = pieces[0];
      for (std::size_t j = 1; j <= i; ++j) missing += "::" + pieces[j];
      DebugLog("Ruby constant missing [call_class_method]:", missing);
      return false;
    }
    current = rb_const_get(current, name);
  }
  receiver = current;
  method = rb_intern2(pieces.back().data(), static_cast<long>(pieces.back().size()));
  return true;
}

}  // namespace detail

}  // namespace Ruby
}  // namespace Zarnik
