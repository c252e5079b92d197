#include "materials/texture_tracker.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <sstream>
#include <vector>

#include <glog/logging.h>

#include "utils/paths.h"
#include "utils/strings.h"

namespace Zarnik {

std::mutex TextureTracker::mutex;
std::map<std::string, TextureTracker::Bytes> TextureTracker::texfile_map;
std::map<std::string, std::string> TextureTracker::filename_map;
std::map<std::string, TextureTracker::Bytes> TextureTracker::copies;
std::set<std::string> TextureTracker::new_names;

namespace {

// Files written into the working textures folder; they go when the extension unloads.
class TempFiles {
 public:
  ~TempFiles() {
    for (const std::string& path : files_) std::remove(path.c_str());
  }
  void Add(const std::string& path) { files_.push_back(path); }

 private:
  std::list<std::string> files_;
};

std::string FileNameOf(const std::string& path) { return Strings::SplitPath(path).second; }

bool HasPathCharacters(const std::string& text) { return text.find_first_of("./\\") != std::string::npos; }

// Texture names come from model data and scene files; only a plain file name may be
// written, so that nothing lands outside the working textures folder.
bool IsWritableFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('\0') == std::string::npos;
}

bool SameBytes(const TextureTracker::Bytes& a, const TextureTracker::Bytes& b) {
  return a == b || (a && b && *a == *b);
}

TempFiles& WrittenFiles() {
  static TempFiles temp_textures;
  return temp_textures;
}

}  // namespace

bool TextureTracker::AddTexture(const std::string& path) {
  if (path.empty()) return false;
  auto bytes = std::make_shared<std::string>();
  const bool read = Strings::LoadFileContent(path, *bytes);
  std::lock_guard<std::mutex> lock(mutex);
  if (read) {
    if (bytes->empty()) return false;
    DoInsert(path, bytes);
    return true;
  }
  // A working copy that vanished from disk (or the file a texture was registered from) is
  // still stored from what the tracker holds: the model must not lose the texture.
  Bytes known;
  const auto tracked = texfile_map.find(path);
  if (tracked != texfile_map.end()) {
    known = tracked->second;
  } else {
    const auto copy = copies.find(path);
    if (copy != copies.end()) known = copy->second;
  }
  if (!known || known->empty()) return false;
  DoInsert(path, known);
  return true;
}

bool TextureTracker::AddTexture(const std::string& name, const std::string& bytes) {
  if (name.empty() || bytes.empty()) return false;
  std::lock_guard<std::mutex> lock(mutex);
  DoInsert(name, std::make_shared<const std::string>(bytes));
  return true;
}

void TextureTracker::DoInsert(const std::string& key, const Bytes& bytes) {
  if (key.empty() || !bytes || bytes->empty()) return;
  // The copy a key was given stays its own: CopyFor brings it up to date or gives the new
  // bytes a copy of their own.
  texfile_map[key] = bytes;
  new_names.insert(key);
  const std::string file_name = FileNameOf(key);
  if (file_name.empty() || file_name == key) return;
  texfile_map[file_name] = bytes;
  new_names.insert(file_name);
}

std::string TextureTracker::UpdateFile(const std::string& path, const std::string& name) {
  if (path.empty() && name.empty()) return std::string();
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> candidates;
  if (HasPathCharacters(path)) candidates.push_back(path);
  if (HasPathCharacters(name)) candidates.push_back(name);

  // Exact registrations first: only they tell two textures of one file name apart.
  for (const std::string& candidate : candidates) {
    const auto tracked = texfile_map.find(candidate);
    if (tracked == texfile_map.end()) continue;
    const std::string written = CopyFor(tracked->first, tracked->second);
    return written.empty() ? path : written;
  }
  // A node that shows one of our copies already keeps it.
  for (const std::string& candidate : candidates) {
    if (copies.count(candidate) != 0) return candidate;
  }
  // Paths written elsewhere (another machine, an earlier version's working folder) are
  // known by their file name only.
  for (const std::string& candidate : candidates) {
    const auto tracked = texfile_map.find(FileNameOf(candidate));
    if (tracked == texfile_map.end()) continue;
    const std::string written = CopyFor(tracked->first, tracked->second);
    return written.empty() ? path : written;
  }
  return path;
}

std::string TextureTracker::CopyFor(const std::string& key, const Bytes& bytes) {
  const auto write = [&key](const std::string& written_path, const Bytes& content) {
    if (Strings::SaveFileContent(written_path, *content)) {
      WrittenFiles().Add(written_path);
      return true;
    }
    // Handing out a path to a missing or partial file would only move the failure to the
    // renderer; the texture keeps the path it came with instead.
    LOG(ERROR) << "Texture " << Strings::Uquote(key) << " could not be written to " << Strings::Uquote(written_path);
    std::remove(written_path.c_str());
    return false;
  };

  const auto owned = filename_map.find(key);
  const auto owned_copy = owned == filename_map.end() ? copies.end() : copies.find(owned->second);
  // Equal bytes registered anew replace the ones a copy keeps, so that the old ones can go.
  if (owned_copy != copies.end() && SameBytes(owned_copy->second, bytes)) {
    owned_copy->second = bytes;
    return owned_copy->first;
  }

  const std::string file_name = FileNameOf(key);
  if (!IsWritableFileName(file_name)) {
    LOG(ERROR) << "Texture not written, unusable file name " << Strings::Uquote(file_name);
    return std::string();
  }
  // Copies are named wood.jpg, wood-2.jpg, wood-3.jpg ... after the texture's file name, the
  // extension last, since it tells which image kinds carry alpha. One that holds these very
  // bytes already is used as it is.
  const std::string folder = Strings::GetWorkingTexturesPath();
  const auto stem_and_extension = Strings::SplitFile(file_name);
  std::string free_path;
  for (std::size_t number = 1; free_path.empty(); ++number) {
    const std::string written_path =
        folder + (number == 1 ? file_name
                              : stem_and_extension.first + "-" + std::to_string(number) + stem_and_extension.second);
    const auto copy = copies.find(written_path);
    if (copy == copies.end()) {
      free_path = written_path;
    } else if (SameBytes(copy->second, bytes)) {
      copy->second = bytes;
      filename_map[key] = written_path;
      return written_path;
    }
  }

  // New bytes for a key that had a copy. The copy is brought up to date (nodes that show it
  // follow) only when no registration still holds what it has; otherwise it belongs to
  // another texture as well, and the new bytes get a copy of their own.
  if (owned_copy != copies.end()) {
    const Bytes& old_bytes = owned_copy->second;
    const bool still_held = std::any_of(texfile_map.begin(), texfile_map.end(),
                                        [&old_bytes](const auto& entry) { return SameBytes(entry.second, old_bytes); });
    if (!still_held) {
      if (!write(owned_copy->first, bytes)) return std::string();
      owned_copy->second = bytes;
      return owned_copy->first;
    }
  }

  if (!write(free_path, bytes)) return std::string();
  copies[free_path] = bytes;
  filename_map[key] = free_path;
  return free_path;
}

void TextureTracker::Bookmark() {
  std::lock_guard<std::mutex> lock(mutex);
  new_names.clear();
}

void TextureTracker::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  filename_map.clear();
  copies.clear();
  texfile_map.clear();
  new_names.clear();
}

void TextureTracker::ForEachTexture(const Visitor& visitor) {
  if (!visitor) return;
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& entry : texfile_map) visitor(entry.first, entry.second);
}

void TextureTracker::ForEachNewTexture(const Visitor& visitor) {
  if (!visitor) return;
  std::lock_guard<std::mutex> lock(mutex);
  for (const std::string& key : new_names) {
    const auto tracked = texfile_map.find(key);
    if (tracked != texfile_map.end()) visitor(key, tracked->second);
  }
}

std::string TextureTracker::Report() {
  // Taken like every other operation: reading the maps while another thread changes them
  // could walk freed tree nodes.
  std::lock_guard<std::mutex> lock(mutex);
  std::ostringstream text;
  text << "TextureTracker\n";
  text << "... ... filename_map\n";
  for (const auto& entry : filename_map) {
    text << "... ... ... " << Strings::Uquote(entry.first) << " => " << Strings::Uquote(entry.second) << "\n";
  }
  text << "... ... copies\n";
  for (const auto& entry : copies) {
    text << "... ... ... " << Strings::Uquote(entry.first) << " => " << static_cast<const void*>(entry.second.get())
         << "\n";
  }
  text << "... ... texfile_map\n";
  for (const auto& entry : texfile_map) {
    text << "... ... ... " << Strings::Uquote(entry.first) << " => " << static_cast<const void*>(entry.second.get())
         << " [" << entry.second->size() << "]\n";
  }
  text << "... ... new_names\n";
  for (const std::string& key : new_names) text << "... ... ... " << Strings::Uquote(key) << "\n";
  return text.str();
}

}  // namespace Zarnik
