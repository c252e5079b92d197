#pragma once

// Texture files that travel inside the host model. Their bytes are kept in memory under
// the path they came with and under its bare file name; a texture is written to the
// working textures folder the first time a material asks for it, and every file written
// is deleted again when the extension is unloaded.
//
// Working copies are named after the texture's file name. Two different textures of the
// same name (wood.jpg from two folders) get a copy each, the later one numbered
// (wood-2.jpg), so that neither material shows or stores the other's texture.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace Zarnik {

class TextureTracker {
 public:
  using Bytes = std::shared_ptr<const std::string>;
  // Visitors run with the tracker locked and must not call back into it.
  using Visitor = std::function<void(const std::string& key, const Bytes& bytes)>;

  // Registers the file's bytes under its path. When the file cannot be read but the tracker
  // holds bytes for that very path (it was registered under it, or it is one of the working
  // copies), those are registered again. False for an empty path, an empty file, or an
  // unreadable file the tracker knows nothing of.
  static bool AddTexture(const std::string& path);
  // Registers the bytes under the name. False when either is empty.
  static bool AddTexture(const std::string& name, const std::string& bytes);

  // The path a texture node should use: the written copy of a tracked texture (written now
  // if needed), else `path` unchanged. A candidate registered under its very path wins over
  // one known only by its file name, which is what texts stored by earlier versions (and
  // paths from another machine) are found by.
  static std::string UpdateFile(const std::string& path, const std::string& name);

  static void Bookmark();
  // Forgets every texture; files already written stay until unload.
  static void Clear();
  static void ForEachTexture(const Visitor& visitor);
  // Keys registered since the last bookmark. Keys that share one registration get the very
  // same Bytes object, so callers can group them.
  static void ForEachNewTexture(const Visitor& visitor);
  static std::string Report();

 private:
  static void DoInsert(const std::string& key, const Bytes& bytes);
  // The working copy for the bytes registered under `key`, written when needed; "" when it
  // cannot be written.
  static std::string CopyFor(const std::string& key, const Bytes& bytes);

  static std::mutex mutex;
  static std::map<std::string, Bytes> texfile_map;
  // Key -> working copy last handed out for the bytes registered under it.
  static std::map<std::string, std::string> filename_map;
  // Working copy path -> the bytes it holds.
  static std::map<std::string, Bytes> copies;
  static std::set<std::string> new_names;
};

}  // namespace Zarnik
