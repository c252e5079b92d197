#include "zarnik/setters/kernel.h"

#include <glog/logging.h>

#include "utils/message.h"
#include "zarnik/json_read.h"
#include "zarnik/setters/camera.h"
#include "zarnik/zarnik_manager.h"

namespace Zarnik {
namespace KernelSetter {
namespace {

using JsonRead::Bool;
using JsonRead::Float;
using JsonRead::Int;

constexpr PinId kKernelPin = 89;

enum KernelType : int { kDirectLight = 0, kPathTracing = 1, kPmc = 2, kInfoChannel = 3 };

constexpr NodeType kDirectLightNode = 24;
constexpr NodeType kPathTracingNode = 25;
constexpr NodeType kPmcNode = 23;
constexpr NodeType kInfoChannelNode = 26;

// Kernel pins.
enum : PinId {
  kAlphaChannel = 2,
  kAlphaShadows = 3,
  kAoDistance = 7,
  kBump = 18,
  kCausticBlur = 22,
  kCoherentRatio = 25,
  kDlDiffuseDepth = 29,
  kDirectLightImportance = 32,
  kDistributedTracing = 36,
  kExplorationStrength = 44,
  kFilterSize = 50,
  kGiClamp = 60,
  kGiMode = 61,
  kGlossyDepth = 66,
  kHighlightBackfaces = 72,
  kInfoChannelType = 81,
  kDiffuseDepth = 104,
  kSpecularDepth = 105,
  kMaxRejects = 107,
  kMaxSpeed = 109,
  kParallelism = 128,
  kPathTermPower = 129,
  kRayEpsilon = 144,
  kDlSpecularDepth = 221,
  kStaticNoise = 223,
  kUvSet = 249,
  kUvMax = 250,
  kZDepthMax = 257,
};

ApiNode* kernel_ = nullptr;
bool auto_dl_epsilon_ = true;
bool auto_pt_epsilon_ = true;
bool auto_pmc_epsilon_ = true;
bool auto_info_epsilon_ = true;

// The kernel of `type` in the render target's kernel pin, created when the pin holds none
// or another kind.
ApiNode* KernelOfType(NodeType type) {
  ApiNode* render_target = ZarnikManager::RenderTarget();
  if (!render_target) return kernel_ = nullptr;
  kernel_ = render_target->inputNode(kKernelPin);
  if (kernel_ && kernel_->type() == type) return kernel_;
  kernel_ = render_target->createInternal(kKernelPin, type, true, true);
  if (!kernel_) LOG(ERROR) << "Could not create a kernel of type " << type;
  return kernel_;
}

// The pointer follows the render target's kernel pin: a kernel replaced meanwhile has been
// freed with its pin.
ApiNode* CurrentKernel() {
  ApiNode* render_target = ZarnikManager::RenderTarget();
  kernel_ = render_target ? render_target->inputNode(kKernelPin) : nullptr;
  return kernel_;
}

int KernelTypeOfNode(const ApiNode* node) {
  switch (node->type()) {
    case kDirectLightNode:
      return kDirectLight;
    case kPathTracingNode:
      return kPathTracing;
    case kPmcNode:
      return kPmc;
    case kInfoChannelNode:
      return kInfoChannel;
    default:
      return -1;
  }
}

void SetFloat(ApiNode* node, PinId pin, const Json::Value& section, const char* key, double fallback) {
  node->setPinValue(pin, Float(section, key, fallback));
}
void SetInt(ApiNode* node, PinId pin, const Json::Value& section, const char* key, int fallback) {
  node->setPinValue(pin, static_cast<int32_t>(Int(section, key, fallback)));
}
void SetBool(ApiNode* node, PinId pin, const Json::Value& section, const char* key, bool fallback) {
  node->setPinValue(pin, Bool(section, key, fallback));
}

}  // namespace

void Init() {
  Json::Value doc = GetDirectLightDefaults();
  doc["cmd"] = 34;
  Set(Message::JsonToString(doc));
}

Json::Value GetDirectLightDefaults() {
  Json::Value doc(Json::objectValue);
  doc["kernelType"] = kDirectLight;
  doc["dlSpecularDepth"] = 5;
  doc["dlGlossyDepth"] = 2;
  doc["dlDiffuseDepth"] = 2;
  doc["dlAODist"] = 3.0;
  doc["dlGIMode"] = 3;
  doc["dlFilterSize"] = 1.2;
  doc["dlRayEpsilon"] = 0.0001;
  doc["dlCoherentRatio"] = 0.0;
  doc["dlPathTermPower"] = 0.3;
  doc["dlAutoEpsilon"] = true;
  doc["dlAlphaChannel"] = false;
  doc["dlAlphaShadows"] = true;
  doc["dlStaticNoise"] = false;
  return doc;
}

void Set(const std::string& json) {
  Json::Value section;
  if (!JsonRead::ParseSection(json, section)) return;
  const int kernel_type = Int(section, "kernelType", kDirectLight);
  switch (kernel_type) {
    case kDirectLight:
      SetDirectLight(section);
      break;
    case kPathTracing:
      SetPathTracing(section);
      break;
    case kPmc:
      SetPmc(section);
      break;
    case kInfoChannel:
      SetInfoChannel(section);
      break;
    default:
      LOG(ERROR) << "Error: Undefined Kernel Type";
      return;
  }

  if (!AutoRayEpsilon(kernel_type)) return;
  ApiNode* render_target = ZarnikManager::RenderTarget();
  const float epsilon = CameraSetter::GetRayEpsilon(render_target);
  if (!(epsilon > 0.0f) || !render_target) return;
  if (ApiNode* kernel = render_target->inputNode(kKernelPin)) kernel->setPinValue(kRayEpsilon, epsilon);
}

void SetDirectLight(const Json::Value& section) {
  ApiNode* kernel = KernelOfType(kDirectLightNode);
  auto_dl_epsilon_ = Bool(section, "dlAutoEpsilon", true);
  if (!kernel) return;
  SetInt(kernel, kDlSpecularDepth, section, "dlSpecularDepth", 5);
  SetInt(kernel, kGlossyDepth, section, "dlGlossyDepth", 2);
  SetInt(kernel, kDlDiffuseDepth, section, "dlDiffuseDepth", 2);
  SetFloat(kernel, kAoDistance, section, "dlAODist", 3.0);
  SetInt(kernel, kGiMode, section, "dlGIMode", 3);
  SetFloat(kernel, kFilterSize, section, "dlFilterSize", 1.2);
  SetFloat(kernel, kCoherentRatio, section, "dlCoherentRatio", 0.0);
  SetFloat(kernel, kPathTermPower, section, "dlPathTermPower", 0.3);
  if (!auto_dl_epsilon_) SetFloat(kernel, kRayEpsilon, section, "dlRayEpsilon", 0.0001);
  SetBool(kernel, kAlphaShadows, section, "dlAlphaShadows", true);
  SetBool(kernel, kAlphaChannel, section, "dlAlphaChannel", false);
  SetBool(kernel, kStaticNoise, section, "dlStaticNoise", false);
}

void SetPathTracing(const Json::Value& section) {
  ApiNode* kernel = KernelOfType(kPathTracingNode);
  auto_pt_epsilon_ = Bool(section, "ptAutoEpsilon", true);
  if (!kernel) return;
  SetInt(kernel, kDiffuseDepth, section, "ptDiffuseDepth", 8);
  SetInt(kernel, kSpecularDepth, section, "ptSpecularDepth", 24);
  SetFloat(kernel, kCausticBlur, section, "ptCausticBlur", 0.0);
  SetFloat(kernel, kFilterSize, section, "ptFilterSize", 1.2);
  SetFloat(kernel, kGiClamp, section, "ptGIClamp", 1000000.0);
  SetFloat(kernel, kCoherentRatio, section, "ptCoherentRatio", 0.0);
  SetFloat(kernel, kPathTermPower, section, "ptPathTermPower", 0.3);
  if (!auto_pt_epsilon_) SetFloat(kernel, kRayEpsilon, section, "ptRayEpsilon", 0.0001);
  SetBool(kernel, kAlphaShadows, section, "ptAlphaShadows", true);
  SetBool(kernel, kAlphaChannel, section, "ptAlphaChannel", false);
  SetBool(kernel, kStaticNoise, section, "ptStaticNoise", false);
}

void SetPmc(const Json::Value& section) {
  ApiNode* kernel = KernelOfType(kPmcNode);
  auto_pmc_epsilon_ = Bool(section, "pmcAutoEpsilon", true);
  if (!kernel) return;
  SetInt(kernel, kDiffuseDepth, section, "pmcDiffuseDepth", 8);
  SetInt(kernel, kSpecularDepth, section, "pmcSpecularDepth", 24);
  SetFloat(kernel, kExplorationStrength, section, "pmcExplorationStrength", 0.7f);
  SetFloat(kernel, kCausticBlur, section, "pmcCausticBlur", 0.0);
  SetFloat(kernel, kDirectLightImportance, section, "pmcDirectLightImportance", 0.1f);
  SetInt(kernel, kMaxRejects, section, "pmcMaxRejects", 500);
  SetInt(kernel, kParallelism, section, "pmcParallelism", 4);
  SetFloat(kernel, kFilterSize, section, "pmcFilterSize", 1.2);
  SetFloat(kernel, kGiClamp, section, "pmcGIClamp", 1000000.0);
  SetFloat(kernel, kPathTermPower, section, "pmcPathTermPower", 0.3);
  if (!auto_pmc_epsilon_) SetFloat(kernel, kRayEpsilon, section, "pmcRayEpsilon", 0.0001);
  SetBool(kernel, kAlphaShadows, section, "pmcAlphaShadows", true);
  SetBool(kernel, kAlphaChannel, section, "pmcAlphaChannel", false);
}

void SetInfoChannel(const Json::Value& section) {
  ApiNode* kernel = KernelOfType(kInfoChannelNode);
  auto_info_epsilon_ = Bool(section, "infoAutoEpsilon", true);
  if (!kernel) return;
  SetInt(kernel, kInfoChannelType, section, "infoChannelType", 0);
  SetBool(kernel, kDistributedTracing, section, "infoDistributedTracing", true);
  if (!auto_info_epsilon_) SetFloat(kernel, kRayEpsilon, section, "infoRayEpsilon", 0.0001);
  SetFloat(kernel, kFilterSize, section, "infoFilterSize", 1.2);
  SetBool(kernel, kAlphaChannel, section, "infoAlphaChannel", false);
  SetFloat(kernel, kZDepthMax, section, "infoZDepthMax", 5.0);
  SetFloat(kernel, kUvMax, section, "infoUvMax", 1.0);
  SetInt(kernel, kUvSet, section, "infoUvSet", 1);
  SetFloat(kernel, kMaxSpeed, section, "infoMaxSpeed", 1.0);
  SetBool(kernel, kBump, section, "infoBump", false);
  SetBool(kernel, kHighlightBackfaces, section, "infoHightlightBackfaces", false);
  SetFloat(kernel, kAoDistance, section, "infoAoDistance", 3.0);
  SetBool(kernel, kAlphaShadows, section, "infoAlphaShadows", true);
}

void SetNode(ApiNode* node) { kernel_ = node; }

bool AutoRayEpsilon() {
  ApiNode* kernel = CurrentKernel();
  return kernel ? AutoRayEpsilon(KernelTypeOfNode(kernel)) : false;
}

bool AutoRayEpsilon(ApiNode* node) {
  if (!node || !CurrentKernel()) return false;
  return AutoRayEpsilon(KernelTypeOfNode(node));
}

bool AutoRayEpsilon(int kernel_type) {
  switch (kernel_type) {
    case kDirectLight:
      return auto_dl_epsilon_;
    case kPathTracing:
      return auto_pt_epsilon_;
    case kPmc:
      return auto_pmc_epsilon_;
    case kInfoChannel:
      return auto_info_epsilon_;
    default:
      return false;
  }
}

}  // namespace KernelSetter
}  // namespace Zarnik
