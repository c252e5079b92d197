#pragma once

// Library materials: the materials found in render-engine scene files, grouped in one set
// per file and given ids from 10000 upward. A set keeps its ids when its file is loaded
// again, so that whatever refers to them stays valid.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

namespace Zarnik {

class ZcsMaterialSet {
 public:
  // The loader's set for the path, or a new one with the next category number, stored in
  // the loader under the path.
  static std::shared_ptr<ZcsMaterialSet> Create(const std::string& name, const std::string& path);
  // A set from its text form; it replaces any set the loader holds for its path, and the
  // category counter moves past its category.
  static std::shared_ptr<ZcsMaterialSet> FromString(const Json::Value& json);

  // Appends one material under the loader's next library id.
  void AddMaterial(const Json::Value& json);
  // Stores the array's node forms under the set's ids in order, taking new ids only for
  // materials beyond the ones the set already had, and drops ids that are left over.
  void AddMaterials(const Json::Value& materials);
  // Removes the set's materials from the registry; the ids stay for reuse.
  void Clean();
  Json::Value ToString() const;

  std::string name;
  std::string path;
  std::vector<int32_t> indices;
  int category = -1;
};

class ZcsMaterialLoader {
 public:
  static constexpr int kFirstLibraryId = 10000;
  static constexpr int kSceneVersion = 3080500;

  ZcsMaterialLoader();
  ~ZcsMaterialLoader();
  ZcsMaterialLoader(const ZcsMaterialLoader&) = delete;
  ZcsMaterialLoader& operator=(const ZcsMaterialLoader&) = delete;

  // Imports the scene file and keeps its materials as the file's set. Waits while another
  // thread loads; a load started from inside a load on the same thread is refused (false)
  // instead of waiting for itself. True when the load ran.
  bool Load(const std::string& path);
  // Waits until no other thread is loading.
  void Sync();
  void LoadLocal(const std::string& path);
  // Makes `materials` (an array of node forms) the set of `path`; null does nothing.
  void AddExisting(const std::string& path, const Json::Value& materials);
  // Forgets every set and the library materials' UI records; ids start at 10000 again.
  void Clear();

  int TakeNextLibraryId();
  int NextLibraryId() const { return next_library_id_; }
  std::shared_ptr<ZcsMaterialSet> FindSet(const std::string& path) const;
  void StoreSet(const std::string& path, std::shared_ptr<ZcsMaterialSet> set);
  const std::map<std::string, std::shared_ptr<ZcsMaterialSet>>& Sets() const { return sets_; }

 private:
  // True when another thread holds the busy flag; false once it is free or held by us.
  bool BusyElsewhere() const;

  int next_library_id_ = kFirstLibraryId;
  std::atomic<bool> busy_{false};
  std::atomic<std::thread::id> busy_owner_{std::thread::id()};
  Json::Value json_;
  std::map<std::string, std::shared_ptr<ZcsMaterialSet>> sets_;
};

}  // namespace Zarnik
