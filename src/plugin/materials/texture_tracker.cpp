#include "materials/texture_tracker.h"

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

}  // namespace

bool TextureTracker::AddTexture(const std::string& path) {
  if (path.empty()) return false;
  auto bytes = std::make_shared<std::string>();
  if (!Strings::LoadFileContent(path, *bytes) || bytes->empty()) return false;
  std::lock_guard<std::mutex> lock(mutex);
  DoInsert(path, bytes);
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
  texfile_map[key] = bytes;
  filename_map.erase(key);
  new_names.insert(key);
  const std::string file_name = FileNameOf(key);
  if (file_name.empty() || file_name == key) return;
  texfile_map[file_name] = bytes;
  filename_map.erase(file_name);
  new_names.insert(file_name);
}

std::string TextureTracker::UpdateFile(const std::string& path, const std::string& name) {
  if (path.empty() && name.empty()) return std::string();
  static TempFiles temp_textures;

  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> candidates;
  if (HasPathCharacters(path)) candidates.push_back(path);
  if (HasPathCharacters(name)) candidates.push_back(name);

  for (const std::string& candidate : candidates) {
    const auto written = filename_map.find(FileNameOf(candidate));
    if (written != filename_map.end()) return written->second;
  }

  std::string file_name;
  Bytes bytes;
  for (const std::string& candidate : candidates) {
    const auto tracked = texfile_map.find(FileNameOf(candidate));
    if (tracked == texfile_map.end()) continue;
    file_name = tracked->first;
    bytes = tracked->second;
    break;
  }
  if (!bytes) return path;
  if (!IsWritableFileName(file_name)) {
    LOG(ERROR) << "Texture not written, unusable file name " << Strings::Uquote(file_name);
    return path;
  }

  const std::string written_path = Strings::GetWorkingTexturesPath() + file_name;
  if (!Strings::SaveFileContent(written_path, *bytes)) {
    // Handing out a path to a missing or partial file would only move the failure to the
    // renderer; the texture keeps the path it came with instead.
    LOG(ERROR) << "Texture could not be written to " << Strings::Uquote(written_path);
    std::remove(written_path.c_str());
    return path;
  }
  temp_textures.Add(written_path);

  for (const std::string& candidate : candidates) {
    if (candidate != written_path) filename_map[candidate] = written_path;
    const std::string candidate_name = FileNameOf(candidate);
    if (candidate_name != written_path) filename_map[candidate_name] = written_path;
  }
  return written_path;
}

void TextureTracker::Bookmark() {
  std::lock_guard<std::mutex> lock(mutex);
  new_names.clear();
}

void TextureTracker::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  filename_map.clear();
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
