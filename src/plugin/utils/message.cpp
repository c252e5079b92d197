#include "utils/message.h"

#include <exception>

#include <glog/logging.h>

namespace Zarnik {
namespace Message {

std::string JsonToString(const Json::Value& value) {
  Json::StyledWriter writer;
  return writer.write(value);
}

Json::Value StringToJson(const std::string& text) {
  Json::Value value;
  bool parsed = false;
  try {
    Json::Reader reader;
    parsed = reader.parse(text, value, true);
  } catch (const std::exception&) {
    // The reader throws instead of failing on input nested too deeply; that is bad input
    // like any other.
    parsed = false;
  }
  if (!parsed) {
    LOG(ERROR) << "Failed to parse string: " << text;
    return Json::Value();
  }
  return value;
}

}  // namespace Message
}  // namespace Zarnik
