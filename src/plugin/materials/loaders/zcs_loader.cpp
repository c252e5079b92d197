#include "materials/loaders/zcs_loader.h"

#include <chrono>
#include <climits>
#include <memory>
#include <string>

#include <glog/logging.h>

#include "materials/mat_manager.h"
#include "utils/paths.h"
#include "zarnik.h"
#include "zarnik/node_json.h"
#include "zarnik/node_utils.h"

namespace Zarnik {

namespace {

constexpr std::chrono::milliseconds kBusyPoll(50);

// Stores the node form and the node built from it under the id.
void StoreLibraryMaterial(int id, const Json::Value& json) {
  MaterialManager::SetMaterial(id, json);
  MaterialManager::SetMaterial(id, NodeUtils::StrToNode(json, 0, nullptr, 0));
}

std::string SetNameOf(const std::string& path) {
  const auto separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// The loader may be released at process exit, after logging was shut down.
bool LoggingOn() { return google::IsGoogleLoggingInitialized(); }

}  // namespace

// ---- ZcsMaterialSet ----------------------------------------------------------------------

std::shared_ptr<ZcsMaterialSet> ZcsMaterialSet::Create(const std::string& name, const std::string& path) {
  const auto loader = MaterialManager::GetZcsLoader();
  if (auto existing = loader->FindSet(path)) return existing;
  auto set = std::make_shared<ZcsMaterialSet>();
  set->name = name;
  set->path = path;
  set->category = MaterialManager::GetNextCategory();
  MaterialManager::SetNextCategory(set->category + 1);
  loader->StoreSet(path, set);
  return set;
}

std::shared_ptr<ZcsMaterialSet> ZcsMaterialSet::FromString(const Json::Value& json) {
  auto set = std::make_shared<ZcsMaterialSet>();
  if (json.isObject()) {
    const Json::Value& name = json["name"];
    const Json::Value& path = json["path"];
    const Json::Value& category = json["category"];
    const Json::Value& indices = json["indices"];
    if (name.isString()) set->name = name.asString();
    if (path.isString()) set->path = path.asString();
    if (category.isInt()) set->category = category.asInt();
    if (indices.isArray()) {
      for (const Json::Value& index : indices) {
        if (index.isInt()) set->indices.push_back(index.asInt());
      }
    }
  }
  MaterialManager::GetZcsLoader()->StoreSet(set->path, set);
  // A category of INT_MAX cannot be passed; the counter then stays where it is.
  if (set->category < INT_MAX && MaterialManager::GetNextCategory() <= set->category) {
    MaterialManager::SetNextCategory(set->category + 1);
  }
  return set;
}

void ZcsMaterialSet::AddMaterial(const Json::Value& json) {
  const int id = MaterialManager::GetZcsLoader()->TakeNextLibraryId();
  StoreLibraryMaterial(id, json);
  indices.push_back(id);
}

void ZcsMaterialSet::AddMaterials(const Json::Value& materials) {
  if (!materials.isArray()) return;
  const auto loader = MaterialManager::GetZcsLoader();
  const size_t count = materials.size();
  for (Json::ArrayIndex i = 0; i < count; ++i) {
    int id;
    if (i < indices.size()) {
      id = indices[i];
    } else {
      id = loader->TakeNextLibraryId();
      indices.push_back(id);
    }
    StoreLibraryMaterial(id, materials[i]);
  }
  if (indices.size() > count) indices.resize(count);
}

void ZcsMaterialSet::Clean() {
  for (const int id : indices) MaterialManager::EraseMaterial(id);
}

Json::Value ZcsMaterialSet::ToString() const {
  Json::Value json(Json::objectValue);
  json["name"] = name;
  json["path"] = path;
  json["category"] = category;
  Json::Value ids(Json::arrayValue);
  for (const int id : indices) ids.append(id);
  json["indices"] = ids;
  return json;
}

// ---- ZcsMaterialLoader -------------------------------------------------------------------

ZcsMaterialLoader::ZcsMaterialLoader() {
  LOG(INFO) << "Creating ZcsMaterialLoader...";
  LOG(INFO) << "ZcsMaterialLoader Created";
}

ZcsMaterialLoader::~ZcsMaterialLoader() {
  if (LoggingOn()) LOG(INFO) << "ZcsMaterialLoader Destroyed";
}

bool ZcsMaterialLoader::BusyElsewhere() const {
  return busy_.load() && busy_owner_.load() != std::this_thread::get_id();
}

bool ZcsMaterialLoader::Load(const std::string& path) {
  const std::thread::id self = std::this_thread::get_id();
  bool expected = false;
  while (!busy_.compare_exchange_strong(expected, true)) {
    // A load that starts a load would otherwise wait for itself for ever.
    if (busy_owner_.load() == self) {
      LOG(ERROR) << "Scene file load refused while a load is running: " << path;
      return false;
    }
    expected = false;
    std::this_thread::sleep_for(kBusyPoll);
  }
  busy_owner_.store(self);

  struct BusyRelease {
    ZcsMaterialLoader* loader;
    ~BusyRelease() {
      loader->busy_owner_.store(std::thread::id());
      loader->busy_.store(false);
    }
  } release{this};

  LoadLocal(path);
  return true;
}

void ZcsMaterialLoader::Sync() {
  while (BusyElsewhere()) std::this_thread::sleep_for(kBusyPoll);
}

void ZcsMaterialLoader::LoadLocal(const std::string& path) {
  std::unique_ptr<ApiRootNodeGraph, void (*)(ApiRootNodeGraph*)> graph(
      ApiRootNodeGraph::create(kSceneVersion), [](ApiRootNodeGraph* g) { NodeUtils::DestroyItem(g); });
  if (!graph) {
    LOG(ERROR) << "No graph for loading the scene file " << path;
    return;
  }
  // Read here rather than by the engine, so that only a regular file of sane size is read.
  std::string bytes;
  if (!Strings::ReadRegularFile(path, bytes, Strings::kMaxSceneFileBytes) ||
      !graph->import(bytes.data(), bytes.size(), path.c_str(), nullptr, nullptr, nullptr)) {
    LOG(ERROR) << "The scene file could not be imported: " << path;
    return;
  }
  ApiItemArray items;
  graph->getOwnedItems(items);
  AddExisting(path, NodeUtils::FindAllMaterials(items));
}

void ZcsMaterialLoader::AddExisting(const std::string& path, const Json::Value& materials) {
  if (materials.isNull()) return;
  const auto set = ZcsMaterialSet::Create(SetNameOf(path), path);
  set->Clean();
  set->AddMaterials(materials);
}

void ZcsMaterialLoader::Clear() {
  json_ = Json::Value();
  for (int id = kFirstLibraryId; id < next_library_id_; ++id) MaterialManager::SetUiMaterial(id, nullptr);
  next_library_id_ = kFirstLibraryId;
  sets_.clear();
}

int ZcsMaterialLoader::TakeNextLibraryId() { return next_library_id_++; }

std::shared_ptr<ZcsMaterialSet> ZcsMaterialLoader::FindSet(const std::string& path) const {
  const auto found = sets_.find(path);
  return found == sets_.end() ? nullptr : found->second;
}

void ZcsMaterialLoader::StoreSet(const std::string& path, std::shared_ptr<ZcsMaterialSet> set) {
  sets_[path] = std::move(set);
}

}  // namespace Zarnik
