#pragma once

// Where the extension's files live under the user's home folder, small file-system helpers,
// the search for texture files that moved, and the file panels the user answers.

#include <cstddef>
#include <string>
#include <utility>

#include "utils/strings.h"

namespace Zarnik {
namespace Strings {

// ---- Fixed locations (computed afresh on every call) -----------------------------------

std::string GetMyDocumentsPath();       // HOME/Documents
std::string GetZarnikAssetsPath();      // HOME/Documents/Zarnik/SketchUp/temp/
std::string GetPreviewTexturesPath();   // .../temp/previews/
std::string GetWorkingTexturesPath();   // .../temp/textures/
std::string GetCustomTexturesPath();    // HOME/Documents/Zarnik/SketchUp/Textures/

// Folder of the running executable (inside the host: the host's own folder); "" when the
// system cannot tell.
std::string GetExtensionPath();

// ---- Taking paths apart ----------------------------------------------------------------

// The text after the last ':', '/' or '\'; the whole input when it holds none of them.
template <typename CharT>
std::basic_string<CharT> UnqualifyName(const std::basic_string<CharT>& path) {
  const CharT separators[] = {CharT(':'), CharT('/'), CharT('\\'), CharT(0)};
  const auto pos = path.find_last_of(separators);
  if (pos == std::basic_string<CharT>::npos) return path;
  return path.substr(pos + 1);
}

inline std::string UnqualifyName(const char* path) {
  return path ? UnqualifyName(std::string(path)) : std::string();
}

// (folder with its trailing separator, name), split at the last '/' or '\';
// ("", path) when there is none.
std::pair<std::string, std::string> SplitPath(const std::string& path);

// (stem, extension with its dot) of the name part of `path`. A leading dot does not start
// an extension, so ".hidden" gives (".hidden", "").
std::pair<std::string, std::string> SplitFile(const std::string& path);

// Absolute path with links, "." and ".." resolved; the input when that fails.
std::string MakeCanonical(const std::string& path);

// ---- Files -----------------------------------------------------------------------------

// Every file the extension reads on a path it was given goes through the two functions
// below: only regular files are opened (without waiting, so a FIFO or a device named by a
// texture, proxy or library path cannot stall the host), and only up to a size.

// Largest texture or other user file read into memory.
constexpr std::size_t kMaxFileBytes = std::size_t(1) << 30;
// Largest scene file (proxies, material libraries) read into memory: what the engine reads.
constexpr std::size_t kMaxSceneFileBytes = std::size_t(1) << 31;

// Reads a regular file of at most `max_bytes` into `content` (emptied first). False, with
// `content` empty, for anything else: no such file, no permission, a folder, FIFO, device or
// socket, a larger file, or a failed read.
bool ReadRegularFile(const std::string& path, std::string& content, std::size_t max_bytes);

// Whether the path names a regular file of at most `max_bytes` that can be opened for
// reading. For files that something else reads after this check.
bool IsReadableRegularFile(const std::string& path, std::size_t max_bytes);

// True for a regular file that can be opened for reading.
bool FileExists(const std::string& path);

// ReadRegularFile with the limit for user files.
bool LoadFileContent(const std::string& path, std::string& content);

// Creates or truncates the file and writes every byte. False when the file cannot be
// created or not every byte reached it.
bool SaveFileContent(const std::string& path, const std::string& content);

// ---- Textures that moved ---------------------------------------------------------------

// Looks for the file named by the last component of `path`: in the folder of the user's
// last pick, then among the preview textures, then by asking the user. Answers the path
// found or chosen, or `path` itself when the user cancels.
std::string TryToFindResource(const std::string& path);

// Points every element text of render-engine XML that names a file inside some
// .../Zarnik/SketchUp/temp/<word>textures/ folder (either separator, any letter case) at
// this user's working-textures folder, keeping only the file name. The engine's own scene
// text keeps text values in the attributes "value" and "v" of its elements; those are
// rewritten the same way (with the folder escaped for the attribute).
std::string UpdateZcsXml(const std::string& xml);

// Folder of the file the user last picked for a missing resource; searched first and
// offered first next time. Empty until the first successful pick.
const std::string& LastSuccessfulFolder();
void SetLastSuccessfulFolder(const std::string& folder);

// ---- File panels -----------------------------------------------------------------------

// Modal panels. `filter` lists the allowed extensions separated by ',' or ';' (empty:
// any file). Answer: the chosen path, or "" when the user cancels. The open panel starts
// in the last successful folder (or the preview textures) when `use_last_folder` is set.
std::string OpenFileBrowser(const std::string& prompt, const std::string& filter, bool use_last_folder);
std::string SaveFileBrowser(const std::string& prompt, const std::string& filter);

}  // namespace Strings
}  // namespace Zarnik
