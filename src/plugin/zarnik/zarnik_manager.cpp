#include "zarnik/zarnik_manager.h"

#include <glog/logging.h>
#include <json/json.h>

#include <exception>
#include <mutex>

#include "utils/message.h"
#include "zarnik/node_utils.h"
#include "zarnik/setters/camera.h"
#include "zarnik/setters/environment.h"
#include "zarnik/setters/imager.h"
#include "zarnik/setters/kernel.h"
#include "zarnik/setters/postproc.h"
#include "zarnik/setters/quality.h"
#include "zarnik/zarnik_manager_ext.h"

namespace Zarnik {
namespace ZarnikManager {

namespace {

constexpr NodeType kRenderTargetType = 56;
constexpr NodeType kGeometryGroupType = 3;
constexpr PinId kGeometryPin = 111;
// Marks the render targets this module made, for the engine's user interface.
constexpr uint32_t kRenderTargetUiFlags = 4;
const char* const kDefaultPage = "Default View";

// ---- Render state --------------------------------------------------------------------

std::mutex state_mutex;
StateType current_state = Running;  // the engine renders as soon as it is started

// ---- Render targets ------------------------------------------------------------------

RenderTargetMap render_targets;
std::string current_page;
ApiNode* geometry_group = nullptr;
// The group's unique id: once the user destroys the group, its address may come to name
// another node, so the id tells whether the handle still holds the group.
std::uint64_t geometry_group_id = 0;

// Forgets a group that the user destroyed in the engine.
void ForgetVanishedGroup() {
  if (geometry_group && geometry_group->uniqueId() != geometry_group_id) {
    LOG(ERROR) << "The geometry group was destroyed in the engine; a new one is made";
    geometry_group = nullptr;
    geometry_group_id = 0;
  }
}

// Every setter writes its defaults into the current render target.
void InitSetters() {
  CameraSetter::Init();
  QualitySetter::Init();
  ImagerSetter::Init();
  PostprocSetter::Init();
  KernelSetter::Init();
  EnvironmentSetter::Init();
  CameraSetter::UpdateFov();
}

// Parses the settings document; false (with `root` unspecified) for text that is not a
// JSON object. A document nested too deeply for the parser counts as malformed too.
bool ParseSettings(const char* json, Json::Value& root) {
  if (!json) return false;
  try {
    Json::Reader reader;
    if (!reader.parse(json, root, true)) return false;
  } catch (const std::exception&) {
    return false;
  }
  // Null stands for an empty document: every section then gets its defaults.
  return root.isObject() || root.isNull();
}

}  // namespace

std::ostream& operator<<(std::ostream& out, StateType state) {
  switch (state) {
    case Stopped: return out << "Stopped";
    case Paused: return out << "Paused";
    case Running: return out << "Running";
  }
  return out << static_cast<std::int32_t>(state);
}

void SetRenderState(StateType requested) {
  std::lock_guard<std::mutex> lock(state_mutex);
  switch (requested) {
    case Running:
      if (current_state == Paused) {
        ApiRenderEngine::continueRendering();
      } else if (current_state == Stopped) {
        ApiRenderEngine::restartRendering();
      }
      current_state = Running;
      break;
    case Paused:
      if (current_state == Running) {
        ApiRenderEngine::pauseRendering();
        current_state = Paused;
      }
      break;
    case Stopped:
      if (current_state != Stopped) {
        ApiRenderEngine::stopRendering();
        current_state = Stopped;
      }
      break;
  }
}

StateType GetRenderState() {
  std::lock_guard<std::mutex> lock(state_mutex);
  return current_state;
}

bool UpdateAndRestart() {
  if (!ApiRenderEngine::setRenderTargetNode(RenderTarget())) return false;
  ApiChangeManager::update();

  std::lock_guard<std::mutex> lock(state_mutex);
  if (current_state == Stopped) {
    ApiRenderEngine::restartRendering();
  } else if (current_state == Paused) {
    ApiRenderEngine::continueRendering();
  }
  current_state = Running;
  return true;
}

bool Init() {
  LOG(INFO) << "Creating ZarnikManager...";
  CreateRenderTarget();
  InitSetters();
  ZarnikManagerExt::Init();
  LOG(INFO) << "ZarnikManager Created";
  return true;
}

void Cleanup() { LOG(INFO) << "ZarnikManager Destroyed"; }

void CreateRenderTarget() {
  EnvironmentSetter::WatchEnvironment(nullptr, current_page);
  for (auto& entry : render_targets) NodeUtils::SafeDestroy(entry.second);
  render_targets.clear();

  ApiNode* target = ApiNode::create(kRenderTargetType, ApiProjectManager::rootNodeGraph(), true);
  current_page = kDefaultPage;
  if (!target) {
    LOG(ERROR) << "The render target could not be created";
    return;
  }
  target->setUIOperationFlags(kRenderTargetUiFlags);
  target->setName(kDefaultPage);
  ApiRenderEngine::setRenderTargetNode(target);
  render_targets[current_page] = target;

  InitSetters();
  target->select();
  EnvironmentSetter::WatchEnvironment(target, current_page);
}

ApiNode* RenderTarget() {
  const auto current = render_targets.find(current_page);
  if (current != render_targets.end()) return current->second;
  return render_targets.empty() ? nullptr : render_targets.begin()->second;
}

const RenderTargetMap& RenderTargets() { return render_targets; }

ApiNode* FindRenderTarget(const std::string& page) {
  const auto found = render_targets.find(page);
  return found == render_targets.end() ? nullptr : found->second;
}

ApiNode* AdoptRenderTarget(const std::string& page, ApiNode* node) {
  current_page = page;
  ApiNode*& slot = render_targets[page];
  ApiNode* before = slot;
  slot = node;
  return before;
}

const std::string& CurrentPage() { return current_page; }

void InitGeometryGroup() {
  ForgetVanishedGroup();
  if (render_targets.empty() || geometry_group) return;
  geometry_group = ApiNode::create(kGeometryGroupType, ApiProjectManager::rootNodeGraph(), true);
  geometry_group_id = geometry_group ? geometry_group->uniqueId() : 0;
  if (!geometry_group) {
    LOG(ERROR) << "The geometry group could not be created";
    return;
  }
  for (auto& entry : render_targets) {
    if (entry.second) entry.second->connectTo(kGeometryPin, geometry_group, true, false);
  }
}

ApiNode* GeometryGroup() {
  ForgetVanishedGroup();
  return geometry_group;
}

void FlushGeometryGroup() {
  geometry_group = nullptr;
  geometry_group_id = 0;
}

void UpdateWatch(bool watch) {
  if (!watch) {
    EnvironmentSetter::WatchEnvironment(nullptr, current_page);
    return;
  }
  ApiNode* target = RenderTarget();
  if (target) target->select();
  EnvironmentSetter::WatchEnvironment(target, current_page);
}

bool SetCameraPos(const Vec3<float>& pos, const Vec3<float>& target, const Vec3<float>& up) {
  CameraSetter::SetPosition(pos, target, up);
  return true;
}

bool SetCameraView(float value, bool orthographic) {
  CameraSetter::SetView(value, orthographic);
  return true;
}

bool SetViewExtents(int width, int height) {
  QualitySetter::SetSketchupExtents(width, height);
  return true;
}

void SetSceneSettings(const char* json) {
  Json::Value root;
  if (!ParseSettings(json, root)) {
    LOG(ERROR) << "Failed to read scene setting from .skp file";
    return;
  }
  // A missing section reaches its setter as the text "null", which means its defaults.
  const std::string quality = Message::JsonToString(root["quality"]);
  const std::string kernel = Message::JsonToString(root["kernel"]);
  const std::string camera = Message::JsonToString(root["camera"]);
  const std::string imager = Message::JsonToString(root["imager"]);
  const std::string postproc = Message::JsonToString(root["postproc"]);
  const std::string environment = Message::JsonToString(root["environment"]);

  EnvironmentSetter::SetDefaults();
  EnvironmentSetter::Set(environment);
  CameraSetter::Set(camera);
  ImagerSetter::Set(imager);
  PostprocSetter::Set(postproc);
  KernelSetter::Set(kernel);
  QualitySetter::Set(quality);
  UpdateAndRestart();
}

bool ExportScene(const std::string& /*path*/, const std::vector<Page>& /*pages*/) { return true; }

}  // namespace ZarnikManager
}  // namespace Zarnik
