#include "application/logger.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include <glog/logging.h>

#include "utils/strings.h"

namespace Zarnik {

namespace {

std::string DocumentsRoot() {
  std::string home = Strings::GetUserHome();
  Strings::CleanFilePath(home);
  return home + "/Documents/Zarnik";
}

std::string HexTag(char prefix, unsigned long long value, int min_digits) {
  char text[32] = {0};
  std::snprintf(text, sizeof(text), "%c%0*llx", prefix, min_digits, value);
  return text;
}

// State of the debug log, made once and never destroyed, so that lines written while the
// process is exiting still find it.
struct DebugLogState {
  std::string path = DocumentsRoot() + "/SketchUp/logs/debug-log.txt";
  std::string process_tag = HexTag('P', static_cast<unsigned long long>(getpid()), 8);
  std::mutex mutex;
};

DebugLogState& GetDebugLogState() {
  static DebugLogState* state = new DebugLogState();
  return *state;
}

}  // namespace

namespace Logger {

void Init() {
  // glog aborts the process on a second initialisation; when the extension is entered
  // again while it runs, the running set-up is kept.
  if (!google::IsGoogleLoggingInitialized()) google::InitGoogleLogging("ZarnikPlugin");

  const std::string root = DocumentsRoot();
  const std::string own = root + "/SketchUp";
  const std::string temp = own + "/temp";
  const std::string logs = own + "/logs";
  const std::string previews = temp + "/previews";
  const std::string textures = temp + "/textures";

  // A fresh account may have no Documents folder yet, so the root is made with its parent.
  Strings::MakeFolder(root, true);
  Strings::MakeFolder(own, false);
  Strings::MakeFolder(temp, false);
  Strings::MakeFolder(logs, false);
  Strings::MakeFolder(previews, false);
  Strings::RegisterFolderForCleanup(previews);
  Strings::MakeFolder(textures, false);
  Strings::RegisterFolderForCleanup(textures);

  google::SetLogDestination(google::GLOG_INFO, (logs + "/ZarnikSketchup").c_str());
  google::FlushLogFiles(google::GLOG_ERROR);

  FLAGS_v = 0;
  FLAGS_logbuflevel = -1;
}

const std::string& DebugLogPath() { return GetDebugLogState().path; }

}  // namespace Logger

void DebugLog(const std::string& message) {
  DebugLogState& state = GetDebugLogState();
  const std::string thread_tag =
      HexTag('T', static_cast<unsigned long long>(pthread_self()), 16);

  std::lock_guard<std::mutex> lock(state.mutex);
  std::FILE* file = std::fopen(state.path.c_str(), "a");
  if (!file) return;
  // Stamped once the line's turn has come: a stamp taken before waiting for the lock could
  // be older than the line written ahead of it.
  const std::string time = Strings::Timestamp();
  std::fprintf(file, "%s %s %s ", state.process_tag.c_str(), thread_tag.c_str(), time.c_str());
  std::fwrite(message.data(), 1, message.size(), file);
  std::fputc('\n', file);
  std::fclose(file);
}

void DebugLog(const char* message) { DebugLog(std::string(message ? message : "")); }

}  // namespace Zarnik
