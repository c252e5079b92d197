// Reading JSON that arrives from the plug-in's scripts or from stored model data.
//
// jsoncpp's own accessors throw on a value of the wrong kind (asking a string for a number,
// an array for a member). Settings and node descriptions are not trusted that far: here a
// value of the wrong kind, like a missing one, gives the caller's fallback.
#pragma once

#include <climits>
#include <cstring>
#include <exception>
#include <string>

#include <glog/logging.h>
#include <json/json.h>

#include "zarnik.h"

namespace Zarnik {
namespace JsonRead {

// The member `key` of an object; JSON null for a missing member or a value that is not
// an object.
inline const Json::Value& Member(const Json::Value& object, const char* key) {
  static const Json::Value kNull;
  if (!object.isObject()) return kNull;
  const Json::Value* found = object.find(key, key + std::strlen(key));
  return found ? *found : kNull;
}

inline double Number(const Json::Value& value, double fallback) {
  return value.isNumeric() ? value.asDouble() : fallback;
}

// Integers as they are; other numbers truncated when they fit 32 bits.
inline int Int(const Json::Value& value, int fallback) {
  if (value.isInt()) return value.asInt();
  if (value.isNumeric()) {
    const double d = value.asDouble();
    if (d >= static_cast<double>(INT_MIN) && d <= static_cast<double>(INT_MAX)) return static_cast<int>(d);
  }
  return fallback;
}

inline bool Bool(const Json::Value& value, bool fallback) {
  if (value.isBool()) return value.asBool();
  if (value.isNumeric()) return value.asDouble() != 0.0;
  return fallback;
}

inline std::string String(const Json::Value& value, const std::string& fallback) {
  return value.isString() ? value.asString() : fallback;
}

// Shorthands for a member of an object.
inline double Number(const Json::Value& object, const char* key, double fallback) {
  return Number(Member(object, key), fallback);
}
// Read as double, kept as single precision.
inline float Float(const Json::Value& object, const char* key, double fallback) {
  return static_cast<float>(Number(Member(object, key), fallback));
}
inline int Int(const Json::Value& object, const char* key, int fallback) {
  return Int(Member(object, key), fallback);
}
inline bool Bool(const Json::Value& object, const char* key, bool fallback) {
  return Bool(Member(object, key), fallback);
}
inline std::string String(const Json::Value& object, const char* key, const std::string& fallback) {
  return String(Member(object, key), fallback);
}

// {"x", "y", "z"} numbers; each missing or malformed component takes its fallback.
inline float_3 Float3(const Json::Value& vector, const float_3& fallback) {
  return {Float(vector, "x", fallback.x), Float(vector, "y", fallback.y), Float(vector, "z", fallback.z)};
}

// Parses one settings section. Text that does not parse (the reader throws on very deep
// nesting rather than failing) is logged and gives false.
inline bool ParseSection(const std::string& text, Json::Value& section) {
  bool parsed = false;
  try {
    Json::Reader reader;
    parsed = reader.parse(text, section, true);
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed) LOG(ERROR) << "Failed to parse string " << text;
  return parsed;
}

}  // namespace JsonRead
}  // namespace Zarnik
