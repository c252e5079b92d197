#pragma once

// JSON text in and out, in the styled form that the Ruby side stores and shows.

#include <string>

#include <json/json.h>

namespace Zarnik {
namespace Message {

// Indented text, one member per line, ending in a line feed.
std::string JsonToString(const Json::Value& value);

// The parsed value; JSON null (and one error record) when the text does not parse.
Json::Value StringToJson(const std::string& text);

}  // namespace Message
}  // namespace Zarnik
