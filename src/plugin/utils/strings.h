#pragma once

// Small text and folder helpers shared by every module. Everything here works on byte
// strings with '/' as the separator; several functions also accept '\' so that paths
// written on Windows can still be taken apart.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Zarnik {
namespace Strings {

// ---- Folders -------------------------------------------------------------------------

// HOME when set and not empty, else the password-database home of the real user, else "".
std::string GetUserHome();

// Joins folder and name with exactly one separator. An empty name gives the folder; an
// empty folder, or a name that starts with a separator, gives the name.
template <typename CharT>
std::basic_string<CharT> MakePath(const std::basic_string<CharT>& folder,
                                  const std::basic_string<CharT>& name) {
  if (name.empty()) return folder;
  if (folder.empty() || name[0] == CharT('/') || name[0] == CharT('\\')) return name;
  const CharT last = folder.back();
  if (last == CharT('/') || last == CharT('\\')) return folder + name;
  return folder + CharT('/') + name;
}

// Byte-string form, so that mixed std::string / C-string arguments resolve here.
inline std::string MakePath(const std::string& folder, const std::string& name) {
  return MakePath<char>(folder, name);
}

// The folder that holds `path`: trailing '/' are dropped, then the path is cut at its
// last '/'. A path without '/' comes back unchanged.
std::string FolderFromFile(const std::string& path);

// Shortens a leading run of three or more separators ('/' or '\') to its last two, so
// that a doubled-up prefix such as "////server" becomes "//server".
template <typename CharT>
void CleanFilePath(std::basic_string<CharT>& path) {
  std::size_t run = 0;
  while (run < path.size() && (path[run] == CharT('/') || path[run] == CharT('\\'))) ++run;
  if (run >= 3) path.erase(0, run - 2);
}

// Creates `path` (mode 0777 less the umask); with `with_parent` the containing folder is
// created first when it cannot be opened (one level only). 0 on success, -1 on failure.
int MakeFolder(const std::string& path, bool with_parent);

// Full paths of the folder's entries, in file-system order, without "." and "..".
std::vector<std::string> DirectoryList(const std::string& folder);

// Temporary folders whose contents are deleted on clean-up and again at process exit.
void RegisterFolderForCleanup(const std::string& folder);
void CleanUpFolder(const std::string& folder);
void CleanUpAllFolders();

// Current UTC time as "YYYY-MM-DD HH:MM:SS.mmm" (23 characters).
std::string Timestamp();

// ---- Text ----------------------------------------------------------------------------

// Replaces every non-overlapping occurrence of `from`, left to right, without rescanning.
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to);

// Standard Base64 with '=' padding. The decoder is lenient: it skips whitespace, control
// and non-ASCII bytes and anything outside the alphabet, and also reads the URL-safe
// '-' and '_'.
void Base64Encode(const std::string& in, std::string& out);
void Base64Decode(const std::string& in, std::string& out);

// Double-quoted, escaped text for logs and diagnostics. Bquote escapes every byte of 128
// and above; Uquote keeps them so UTF-8 text stays readable. A null C string gives <null>.
std::string Bquote(const std::string& text);
std::string Bquote(const char* text);
std::string Uquote(const std::string& text);
std::string Uquote(const char* text);

// Splits at any of the separator characters; runs count as one and empty pieces are
// never produced. Empty separators mean tab, line feed, form feed, carriage return, blank.
std::vector<std::string> Split(const std::string& text, const std::string& separators);
std::vector<std::string> Split(const std::string& text, const char* separators);

// Case changes in the C locale. TitleCase starts a new word after every non-letter.
std::string TitleCase(std::string text);
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);

// Remove every byte found in `chars` from both ends, the start, or the end.
std::string Trim(const std::string& text, const std::string& chars);
std::string TrimLeft(const std::string& text, const std::string& chars);
std::string TrimRight(const std::string& text, const std::string& chars);

// strtoll / strtoull with the given base; 0 when nothing converts.
std::int64_t Str2int(const std::string& text, int base);
std::uint64_t Str2uint(const std::string& text, int base);

// Bytes as blank-separated lower-case hex pairs; <null> for a null pointer, <empty> for 0.
std::string Hexdump(const void* data, std::size_t size);

// 36-character random identifier (8-4-4-4-12 hex digits) from a process-wide generator;
// safe to call from any thread.
std::string RandomUuidString();

}  // namespace Strings
}  // namespace Zarnik
