#pragma once

// The two logs of the extension: glog for life-cycle records and errors, and a plain debug
// log of our own that keeps working after glog has been shut down.

#include <sstream>
#include <string>

namespace Zarnik {

namespace Logger {

// Creates the folder tree under HOME/Documents/Zarnik and points glog's INFO log into its
// logs folder. Safe to call again: glog is only initialised when it is not running.
void Init();

}  // namespace Logger

// Appends one line "P<pid> T<thread> <UTC time> <message>" to the debug log. Any thread may
// call it; lines never interleave. A line that cannot be written is dropped silently.
void DebugLog(const std::string& message);
void DebugLog(const char* message);

// Writes its arguments with operator<<, separated by single blanks, as one line.
template <typename First, typename... Rest>
void DebugLog(const First& first, const Rest&... rest) {
  std::ostringstream text;
  text << first;
  ((text << ' ' << rest), ...);
  DebugLog(text.str());
}

namespace Logger {

// Where DebugLog writes (HOME/Documents/Zarnik/SketchUp/logs/debug-log.txt), fixed on first use.
const std::string& DebugLogPath();

}  // namespace Logger

}  // namespace Zarnik
