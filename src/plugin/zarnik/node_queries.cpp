#include <cstring>
#include <mutex>
#include <regex>
#include <set>
#include <utility>

#include "application/logger.h"
#include "zarnik/node_format.h"
#include "zarnik/node_json.h"
#include "zarnik/node_utils.h"

namespace Zarnik {
namespace NodeUtils {

namespace {

constexpr NodeType kRenderTargetType = 56;
constexpr PinId kRenderTargetGeometryPin = 111;

bool IsTransformType(NodeType type) {
  return type == 27 || type == 28 || type == 29 || type == 66 || type == 67;
}

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// ---- Default test ----------------------------------------------------------------------
//
// The same comparison serves attributes addressed by id and by index; the two readers
// below only differ in which getters they call.

struct ReadById {
  const ApiItem* item;
  AttributeId id;
  bool Bool() const { return item->getBool(id); }
  int32_t Int() const { return item->getInt(id); }
  int32_2 Int2() const { return item->getInt2(id); }
  int32_3 Int3() const { return item->getInt3(id); }
  int32_4 Int4() const { return item->getInt4(id); }
  float Float() const { return item->getFloat(id); }
  float_2 Float2() const { return item->getFloat2(id); }
  float_3 Float3() const { return item->getFloat3(id); }
  float_4 Float4() const { return item->getFloat4(id); }
  const char* String() const { return item->getString(id); }
  Matrix<float> Mat() const { return item->getMatrix(id); }
  ApiArray<bool> BoolArray() const { return item->getBoolArray(id); }
  ApiArray<int32_t> IntArray() const { return item->getIntArray(id); }
  ApiArray<int32_2> Int2Array() const { return item->getInt2Array(id); }
  ApiArray<int32_3> Int3Array() const { return item->getInt3Array(id); }
  ApiArray<int32_4> Int4Array() const { return item->getInt4Array(id); }
  ApiArray<float> FloatArray() const { return item->getFloatArray(id); }
  ApiArray<float_2> Float2Array() const { return item->getFloat2Array(id); }
  ApiArray<float_3> Float3Array() const { return item->getFloat3Array(id); }
  ApiArray<float_4> Float4Array() const { return item->getFloat4Array(id); }
  ApiArray<const char*> StringArray() const { return item->getStringArray(id); }
  ApiArray<uint8_t> ByteArray() const { return item->getByteArray(id); }
  ApiArray<Matrix<float>> MatArray() const { return item->getMatrixArray(id); }
};

struct ReadByIndex {
  const ApiItem* item;
  uint32_t index;
  bool Bool() const { return item->getBoolIx(index); }
  int32_t Int() const { return item->getIntIx(index); }
  int32_2 Int2() const { return item->getInt2Ix(index); }
  int32_3 Int3() const { return item->getInt3Ix(index); }
  int32_4 Int4() const { return item->getInt4Ix(index); }
  float Float() const { return item->getFloatIx(index); }
  float_2 Float2() const { return item->getFloat2Ix(index); }
  float_3 Float3() const { return item->getFloat3Ix(index); }
  float_4 Float4() const { return item->getFloat4Ix(index); }
  const char* String() const { return item->getStringIx(index); }
  Matrix<float> Mat() const { return item->getMatrixIx(index); }
  ApiArray<bool> BoolArray() const { return item->getBoolArrayIx(index); }
  ApiArray<int32_t> IntArray() const { return item->getIntArrayIx(index); }
  ApiArray<int32_2> Int2Array() const { return item->getInt2ArrayIx(index); }
  ApiArray<int32_3> Int3Array() const { return item->getInt3ArrayIx(index); }
  ApiArray<int32_4> Int4Array() const { return item->getInt4ArrayIx(index); }
  ApiArray<float> FloatArray() const { return item->getFloatArrayIx(index); }
  ApiArray<float_2> Float2Array() const { return item->getFloat2ArrayIx(index); }
  ApiArray<float_3> Float3Array() const { return item->getFloat3ArrayIx(index); }
  ApiArray<float_4> Float4Array() const { return item->getFloat4ArrayIx(index); }
  ApiArray<const char*> StringArray() const { return item->getStringArrayIx(index); }
  ApiArray<uint8_t> ByteArray() const { return item->getByteArrayIx(index); }
  ApiArray<Matrix<float>> MatArray() const { return item->getMatrixArrayIx(index); }
};

// Comparisons of one value with the default of its description.
struct DefaultOf {
  const ApiAttributeInfo& info;

  bool Is(bool value) const { return value == (info.defaultInts[0] != 0); }
  bool Is(int32_t value) const { return value == info.defaultInts[0]; }
  bool Is(const int32_2& v) const { return v.x == info.defaultInts[0] && v.y == info.defaultInts[1]; }
  bool Is(const int32_3& v) const { return Is(int32_2{v.x, v.y}) && v.z == info.defaultInts[2]; }
  bool Is(const int32_4& v) const { return Is(int32_3{v.x, v.y, v.z}) && v.w == info.defaultInts[3]; }
  bool Is(float value) const { return value == info.defaultFloats[0]; }
  bool Is(const float_2& v) const { return v.x == info.defaultFloats[0] && v.y == info.defaultFloats[1]; }
  bool Is(const float_3& v) const { return Is(float_2{v.x, v.y}) && v.z == info.defaultFloats[2]; }
  bool Is(const float_4& v) const { return Is(float_3{v.x, v.y, v.z}) && v.w == info.defaultFloats[3]; }
  bool Is(const char* text) const { return std::strcmp(OrEmpty(text), OrEmpty(info.defaultString)) == 0; }
  // A matrix description keeps only the diagonal of its default in the float components
  // (1, 1, 1 for a transform that starts as the identity; 0, 0, 0 for the zero matrix).
  bool Is(const Matrix<float>& matrix) const {
    for (int row = 0; row < 3; ++row)
      for (int column = 0; column < 4; ++column) {
        const float expected = row == column ? info.defaultFloats[row] : 0.0f;
        if (matrix.m[row][column] != expected) return false;
      }
    return true;
  }

  template <typename T>
  bool IsArray(const ApiArray<T>& values) const {
    if (values.empty()) return true;
    return values.size() == 1 && Is(values[0]);
  }
};

template <typename Reader>
bool IsDefault(const ApiAttributeInfo* info, const Reader& read) {
  if (info == nullptr) return false;
  const DefaultOf fits{*info};
  const bool array = info->isArray;
  switch (info->type) {
    case AttrKind::Bool: return array ? fits.IsArray(read.BoolArray()) : fits.Is(read.Bool());
    case AttrKind::Int: return array ? fits.IsArray(read.IntArray()) : fits.Is(read.Int());
    case AttrKind::Int2: return array ? fits.IsArray(read.Int2Array()) : fits.Is(read.Int2());
    case AttrKind::Int3: return array ? fits.IsArray(read.Int3Array()) : fits.Is(read.Int3());
    case AttrKind::Int4: return array ? fits.IsArray(read.Int4Array()) : fits.Is(read.Int4());
    case AttrKind::Float: return array ? fits.IsArray(read.FloatArray()) : fits.Is(read.Float());
    case AttrKind::Float2: return array ? fits.IsArray(read.Float2Array()) : fits.Is(read.Float2());
    case AttrKind::Float3: return array ? fits.IsArray(read.Float3Array()) : fits.Is(read.Float3());
    case AttrKind::Float4: return array ? fits.IsArray(read.Float4Array()) : fits.Is(read.Float4());
    case AttrKind::String:
    case AttrKind::Filename: return array ? fits.IsArray(read.StringArray()) : fits.Is(read.String());
    case AttrKind::Byte: {
      const ApiArray<uint8_t> bytes = read.ByteArray();
      return bytes.empty() || (bytes.size() == 1 && bytes[0] == 0);
    }
    case AttrKind::Matrix: return array ? fits.IsArray(read.MatArray()) : fits.Is(read.Mat());
    default: return false;
  }
}

// ---- Delete watch ----------------------------------------------------------------------

std::mutex& WatchMutex() {
  static std::mutex mutex;
  return mutex;
}

// Runs inside the engine's delete call, often under a Ruby method: nothing may escape.
void LogDeletion(const ApiChangeManager::ChangeEvent& event, void* /*user_data*/) {
  try {
    DebugLog("Destroying", static_cast<const ApiItem*>(event.changedItem));
  } catch (...) {
  }
}

const ApiChangeManager::Observer kDeleteWatcher{&LogDeletion, nullptr};

// Walks the inputs below node depth first, entering each distinct node once and going at
// most kMaxQueryDepth levels down: shared inputs multiply the paths through a tree
// exponentially, but not its distinct nodes.
void CollectPinNodes(ApiNode* node, const std::string& pin_name, std::vector<ApiNode*>& found) {
  std::set<ApiNode*> seen;
  std::set<ApiNode*> reported;
  std::vector<std::pair<ApiNode*, unsigned>> pending;
  if (node != nullptr) pending.emplace_back(node, 0);
  while (!pending.empty()) {
    const auto [current, depth] = pending.back();
    pending.pop_back();
    if (!seen.insert(current).second || depth >= kMaxQueryDepth) continue;
    const uint32_t pins = current->pinCount();
    for (uint32_t index = 0; index < pins; ++index) {
      ApiNode* input = current->connectedNodeIx(index);
      if (input && pin_name == OrEmpty(current->pinNameIx(index)) && reported.insert(input).second) {
        found.push_back(input);
      }
    }
    for (uint32_t index = pins; index-- > 0;) {
      ApiNode* input = current->connectedNodeIx(index);
      if (input && seen.count(input) == 0) pending.emplace_back(input, depth + 1);
    }
  }
}

}  // namespace

ApiNode* FindMainMesh(const ApiItemArray& items) {
  for (size_t i = 0; i < items.size(); ++i) {
    ApiItem* item = items[i];
    if (item == nullptr || !item->isNode()) continue;
    ApiNode* node = item->toNode();
    if (node->type() != kRenderTargetType) continue;
    if (ApiNode* mesh = node->connectedNode(kRenderTargetGeometryPin)) return mesh;
  }
  return nullptr;
}

Json::Value FindAllMaterials(const ApiItemArray& items) {
  std::set<ApiNode*> materials;
  for (size_t i = 0; i < items.size(); ++i) {
    ApiItem* item = items[i];
    if (item == nullptr || !item->isNode()) continue;
    ApiNode* node = item->toNode();
    if (IsMaterialType(node->type())) materials.insert(node);
    for (uint32_t pin = 0; pin < node->pinCount(); ++pin) {
      ApiNode* input = node->connectedNodeIx(pin);
      if (input != nullptr && IsMaterialType(input->type())) materials.insert(input);
    }
  }
  Json::Value result;
  for (ApiNode* material : materials) {
    Json::Value json;
    if (TryNodeToStr(material, true, json) && !json.isNull()) result.append(std::move(json));
  }
  return result;
}

void FindAllTransformNodes(ApiNode* node, std::map<ApiNode*, bool>& found) {
  // The answer is a set, so each node is looked at once however many paths reach it;
  // an explicit stack keeps deep chains off the call stack.
  std::set<ApiNode*> seen;
  std::vector<ApiNode*> pending;
  if (node != nullptr) pending.push_back(node);
  while (!pending.empty()) {
    ApiNode* current = pending.back();
    pending.pop_back();
    if (!seen.insert(current).second) continue;
    if (IsTransformType(current->type())) found[current] = true;
    for (uint32_t index = current->pinCount(); index-- > 0;) {
      ApiNode* input = current->connectedNodeIx(index);
      if (input != nullptr && seen.count(input) == 0) pending.push_back(input);
    }
  }
}

std::set<ApiNode*> AllInputNodes(ApiNode* node) {
  std::set<ApiNode*> inputs;
  if (node == nullptr) return inputs;
  for (uint32_t index = 0; index < node->pinCount(); ++index) inputs.insert(node->connectedNodeIx(index));
  return inputs;
}

std::set<ApiNode*> AllOutputNodes(ApiNode* node) {
  std::set<ApiNode*> outputs;
  if (node == nullptr) return outputs;
  ApiNodeArray destinations;
  node->destinationNodes(destinations);
  for (size_t i = 0; i < destinations.size(); ++i) outputs.insert(destinations[i]);
  return outputs;
}

bool IsOrphanNode(const ApiNode* node) {
  if (node == nullptr) return true;
  ApiNodeArray destinations;
  node->destinationNodes(destinations);
  return destinations.empty();
}

bool HasBeenNamed(const ApiNode* node) {
  if (node == nullptr) return false;
  return std::strcmp(OrEmpty(node->name()), OrEmpty(node->info().defaultName)) != 0;
}

bool IsSandbox(const ApiItem* item) {
  if (item == nullptr || !item->isGraph()) return false;
  static const std::regex sandbox_name("^zarnik sandbox", std::regex::ECMAScript | std::regex::icase);
  try {
    return std::regex_search(OrEmpty(item->name()), sandbox_name);
  } catch (const std::exception&) {
    return false;  // the matcher gave up on an unusual name; such a name is no sandbox's
  }
}

std::set<ApiItem*> GetOwnedItems(const ApiNodeGraph* graph, std::function<bool(const ApiItem*)> keep) {
  std::set<ApiItem*> kept;
  if (graph == nullptr) return kept;
  ApiItemArray items;
  graph->getOwnedItems(items);
  for (size_t i = 0; i < items.size(); ++i) {
    ApiItem* item = items[i];
    if (!keep || keep(item)) kept.insert(item);
  }
  return kept;
}

bool AttrIsDefaultByID(const ApiItem* item, AttributeId id) {
  if (item == nullptr) return false;
  return IsDefault(item->attrInfo(id), ReadById{item, id});
}

bool AttrIsDefaultByIndex(const ApiItem* item, unsigned index) {
  if (item == nullptr || index >= item->attrCount()) return false;
  return IsDefault(item->attrInfoIx(index), ReadByIndex{item, index});
}

void FindAllPinNodes(ApiNode* node, const std::string& pin_name, std::vector<ApiNode*>& found) {
  CollectPinNodes(node, pin_name, found);
}

size_t VisibleInputs(const ApiNode* node) {
  if (node == nullptr) return 0;
  size_t count = 0;
  for (uint32_t index = 0; index < node->pinCount(); ++index) {
    const ApiNode* input = node->connectedNodeIx(index);
    if (input != nullptr && input->graphOwner() != nullptr) ++count;
  }
  return count;
}

void WatchForDelete(const ApiItem* item, bool watch) {
  if (item == nullptr) return;
  std::lock_guard<std::mutex> lock(WatchMutex());
  if (watch) {
    ApiChangeManager::observeApiItem(*item, kDeleteWatcher, ApiChangeManager::ChangeEvent::ITEM_DELETE);
  } else {
    ApiChangeManager::stopObserving(*item, kDeleteWatcher);
  }
}

}  // namespace NodeUtils
}  // namespace Zarnik
