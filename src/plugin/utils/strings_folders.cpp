#include "utils/strings.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace Zarnik {
namespace Strings {

std::string GetUserHome() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;

  std::vector<char> buffer(1024, '\0');
  for (;;) {
    struct passwd entry;
    struct passwd* found = nullptr;
    const int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE) {
      buffer.assign(buffer.size() * 2, '\0');
      continue;
    }
    if (error != 0 || !found || !found->pw_dir) return std::string();
    return found->pw_dir;
  }
}

std::string FolderFromFile(const std::string& path) {
  std::string folder = path;
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  if (folder.empty()) return folder;
  const std::size_t slash = folder.rfind('/');
  if (slash == std::string::npos) return folder;
  return folder.substr(0, slash);
}

int MakeFolder(const std::string& path, bool with_parent) {
  if (with_parent) {
    const std::string parent = FolderFromFile(path);
    if (!parent.empty() && parent != path) {
      if (DIR* dir = opendir(parent.c_str())) {
        closedir(dir);
      } else {
        mkdir(parent.c_str(), 0777);
      }
    }
  }
  return mkdir(path.c_str(), 0777) == 0 ? 0 : -1;
}

std::vector<std::string> DirectoryList(const std::string& folder) {
  std::vector<std::string> entries;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return entries;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back(MakePath(folder, name));
  }
  closedir(dir);
  return entries;
}

namespace {

// Folders whose files are throw-away (previews, texture copies). The group empties them
// once more when the process ends, so nothing is left behind even without a clean shut-down.
class TempFolderGroup {
 public:
  ~TempFolderGroup() { CleanUpAll(); }

  void Register(const std::string& folder) { folders_.push_back(folder); }

  void CleanUpAll() const {
    for (const std::string& folder : folders_) CleanUpFolder(folder);
  }

 private:
  std::vector<std::string> folders_;
};

TempFolderGroup& GetTempFolders() {
  static TempFolderGroup group;
  return group;
}

}  // namespace

void RegisterFolderForCleanup(const std::string& folder) { GetTempFolders().Register(folder); }

void CleanUpFolder(const std::string& folder) {
  // remove() deletes files and empty folders alike; a folder with content stays.
  for (const std::string& entry : DirectoryList(folder)) std::remove(entry.c_str());
}

void CleanUpAllFolders() { GetTempFolders().CleanUpAll(); }

std::string Timestamp() {
  using namespace std::chrono;
  const system_clock::time_point now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const long long millis =
      duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;

  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char date[20] = {0};
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &utc);

  char result[32] = {0};
  std::snprintf(result, sizeof(result), "%s.%03lld", date, millis < 0 ? millis + 1000 : millis);
  return result;
}

}  // namespace Strings
}  // namespace Zarnik
