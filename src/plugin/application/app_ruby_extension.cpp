#include "application/app_ruby_extension.h"

#include <climits>

#include <glog/logging.h>

#include "application/app_manager.h"
#include "application/logger.h"
#include "application/ruby_bridge.h"

namespace Zarnik {
namespace AppManagerExt {

namespace {

// Whether a Ruby `log` call at this level writes a record. Levels map to glog verbosity
// level + 1, so level -1 always writes and level 0 waits for verbosity 1. After shut-down
// glog must not be touched at all.
bool VerboseLoggingOn(int level) {
  if (level == INT_MAX) return false;  // no verbosity reaches level + 1
  if (!google::IsGoogleLoggingInitialized()) return false;
  return VLOG_IS_ON(level + 1);
}

// Ruby arguments are converted first thing, before this frame owns anything, so that a
// conversion error raised by Ruby unwinds nothing of ours; C++ errors stop here.

VALUE RubyDebug(VALUE, VALUE message) {
  const char* text = StringValueCStr(message);
  try {
    DebugLog(text);
  } catch (...) {
  }
  return Qtrue;
}

VALUE RubyLog(VALUE, VALUE message, VALUE level) {
  const int verbosity = NUM2INT(level);
  if (!VerboseLoggingOn(verbosity)) return Qtrue;
  const char* text = StringValueCStr(message);
  try {
    LOG(INFO) << "Ruby: " << text;
  } catch (...) {
  }
  return Qtrue;
}

VALUE RubyShutdown(VALUE) {
  try {
    AppManager::StopServerLoop();
    AppManager::UninstallExceptionHandler();
  } catch (...) {
  }
  return Qtrue;
}

void DefineClass() {
  const VALUE klass = rb_define_class("ZarnikExt", rb_cObject);
  rb_define_singleton_method(klass, "debug", RubyDebug, 1);
  rb_define_singleton_method(klass, "log", RubyLog, 2);
  rb_define_singleton_method(klass, "shutdown", RubyShutdown, 0);
}

}  // namespace

bool Init() {
  LOG(INFO) << "Ruby extension init...";
  AppManager::InstallExceptionHandler();
  if (!Ruby::protect_call(DefineClass, nullptr)) {
    LOG(ERROR) << "Ruby extension init failed: ZarnikExt cannot be defined as a class";
    return false;
  }
  LOG(INFO) << "Ruby extension init complete";
  return true;
}

}  // namespace AppManagerExt
}  // namespace Zarnik
