#include "zarnik/node_json.h"

#include <glog/logging.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "zarnik/json_read.h"
#include "zarnik/node_utils.h"

namespace Zarnik {
namespace {

// Engine texts may be null; jsoncpp refuses a null C string.
std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

Json::Value IntVector(int32_t x, int32_t y, int32_t z, uint32_t dim) {
  Json::Value v(Json::objectValue);
  v["x"] = x;
  if (dim >= 2) v["y"] = y;
  if (dim >= 3) v["z"] = z;
  return v;
}

Json::Value FloatVector(float x, float y, float z, uint32_t dim) {
  Json::Value v(Json::objectValue);
  v["x"] = static_cast<double>(x);
  if (dim >= 2) v["y"] = static_cast<double>(y);
  if (dim >= 3) v["z"] = static_cast<double>(z);
  return v;
}

void PutFloatRanges(Json::Value& info, const ApiFloatPinInfo& pin) {
  const uint32_t dim = pin.dimCount;
  info["dim"] = static_cast<Json::Int>(dim);
  info["min"] = FloatVector(pin.minValue.x, pin.minValue.y, pin.minValue.z, dim);
  info["max"] = FloatVector(pin.maxValue.x, pin.maxValue.y, pin.maxValue.z, dim);
  info["sld_min"] = FloatVector(pin.sliderMinValue.x, pin.sliderMinValue.y, pin.sliderMinValue.z, dim);
  info["sld_max"] = FloatVector(pin.sliderMaxValue.x, pin.sliderMaxValue.y, pin.sliderMaxValue.z, dim);
}

void PutIntRanges(Json::Value& info, const ApiIntPinInfo& pin) {
  const uint32_t dim = pin.dimCount;
  info["dim"] = static_cast<Json::Int>(dim);
  info["min"] = IntVector(pin.minValue.x, pin.minValue.y, pin.minValue.z, dim);
  info["max"] = IntVector(pin.maxValue.x, pin.maxValue.y, pin.maxValue.z, dim);
  info["sld_min"] = IntVector(pin.sliderMinValue.x, pin.sliderMinValue.y, pin.sliderMinValue.z, dim);
  info["sld_max"] = IntVector(pin.sliderMaxValue.x, pin.sliderMaxValue.y, pin.sliderMaxValue.z, dim);
}

}  // namespace

Json::Value GetPinInfo(ApiNode* node, uint32_t pin_index, bool details) {
  Json::Value info(Json::objectValue);
  info["name"] = Text(node ? node->pinNameIx(pin_index) : nullptr);
  if (!details || !node) return info;

  const ApiNodePinInfo& pin = node->pinInfoIx(pin_index);
  const NodePinType pin_type = node->pinTypeIx(pin_index);
  info["label"] = Text(node->pinLabelIx(pin_index));

  const ApiArray<NodeType> fitting = ApiInfo::nodeTypesForPinType(pin_type);
  if (fitting.empty()) {
    info["node_ids"] = Json::Value(Json::nullValue);
  } else {
    Json::Value ids(Json::arrayValue);
    for (NodeType type : fitting) ids.append(static_cast<Json::Int>(type));
    info["node_ids"] = ids;
  }

  switch (pin_type) {
    case PinKind::Bool:
      info["type"] = "bool";
      info["dim"] = 1;
      break;
    case PinKind::Float:
      info["type"] = "float";
      PutFloatRanges(info, pin.floatInfo);
      break;
    case PinKind::Int:
      info["type"] = "int";
      PutIntRanges(info, pin.intInfo);
      break;
    case PinKind::Transform:
      info["type"] = "transform";
      info["dim"] = static_cast<Json::Int>(pin.transformInfo.dimCount);
      break;
    case PinKind::Texture:
      info["type"] = "texture";
      break;
    case PinKind::Enum: {
      info["type"] = "enum";
      const ApiArray<ApiEnumChoice>& choices = pin.enumInfo.values;
      if (choices.empty()) {
        info["values"] = Json::Value(Json::nullValue);
      } else {
        Json::Value values(Json::arrayValue);
        for (const ApiEnumChoice& choice : choices) {
          Json::Value entry(Json::objectValue);
          entry["label"] = Text(choice.label);
          entry["value"] = choice.value;
          values.append(entry);
        }
        info["values"] = values;
      }
      break;
    }
    default:
      break;
  }
  return info;
}

namespace NodeUtils {
namespace {

using JsonRead::Member;

// Engine-internal helper nodes (link nodes and the like, numbered above 30000) stand for
// the node in their first pin and never appear in node JSON themselves.
constexpr NodeType kLastPlainNodeType = 30000;

ApiNode* LookThroughHelpers(ApiNode* node) {
  for (int hops = 0; node && node->type() > kLastPlainNodeType; ++hops) {
    if (hops >= kMaxNodeDepth || node->pinCount() == 0) return nullptr;
    node = node->connectedNodeIx(0);
  }
  return node;
}

Json::Value EmptyPinEntry(ApiNode* owner) {
  Json::Value entry(Json::objectValue);
  entry["name"] = Text(owner->name());
  entry["type"] = 0;
  return entry;
}

// Counts the nodes one write has put out, so that a shared tree cannot grow it without end.
struct WriteBudget {
  size_t written = 0;
  bool exceeded = false;
};

Json::Value WriteNode(ApiNode* node, bool details, int depth, WriteBudget& budget) {
  if (!node || budget.exceeded) return Json::Value(Json::nullValue);
  if (++budget.written > kMaxWrittenNodes) {
    budget.exceeded = true;
    return Json::Value(Json::nullValue);
  }
  Json::Value out(Json::objectValue);
  out["name"] = Text(node->name());
  out["type"] = static_cast<Json::Int>(node->type());
  out["pin_owned"] = node->pinOwned();

  const uint32_t attr_count = node->attrCount();
  if (attr_count > 0) {
    Json::Value params(Json::arrayValue);
    for (uint32_t i = 0; i < attr_count; ++i) params.append(GetAttribute(node, i));
    out["params"] = std::move(params);
  }

  // Subtrees are moved, not copied, into their parents: a copy per level would make the
  // write quadratic in the depth.
  const uint32_t pin_count = node->pinCount();
  if (pin_count > 0) {
    Json::Value nodes(Json::arrayValue);
    for (uint32_t i = 0; i < pin_count && !budget.exceeded; ++i) {
      Json::Value entry;
      ApiNode* plugged = LookThroughHelpers(node->connectedNodeIx(i));
      if (plugged && depth < kMaxNodeDepth) entry = WriteNode(plugged, details, depth + 1, budget);
      if (entry.isNull()) entry = EmptyPinEntry(node);
      entry["info"] = GetPinInfo(node, i, details);
      nodes.append(std::move(entry));
    }
    out["nodes"] = std::move(nodes);
  }

  if (budget.exceeded || (attr_count == 0 && pin_count == 0)) return Json::Value(Json::nullValue);
  return out;
}

// Applies a "params" array; the node is evaluated once for the whole batch.
void ApplyParams(const Json::Value& params, ApiNode* node) {
  if (!params.isArray()) return;
  for (const Json::Value& attribute : params) SetAttribute(attribute, node);
  node->evaluate();
}

// The pin of `node` named by a pin entry's "info"; false when the entry names none.
bool EntryPin(const Json::Value& entry, ApiNode* node, uint32_t& index) {
  const std::string pin_name = JsonRead::String(Member(entry, "info"), "name", "");
  return !pin_name.empty() && node->findPinByName(pin_name.c_str(), index);
}

// The node type a node JSON names: -1 when it names none, 0 for an empty pin.
int JsonNodeType(const Json::Value& json) { return JsonRead::Int(json, "type", -1); }

bool KnownNodeType(int type) { return type > 0 && ApiInfo::nodeInfo(static_cast<NodeType>(type)) != nullptr; }

// A replaced graph-owned node goes only when nothing else uses it any more: another
// render target or material may still have it in one of its pins.
void DestroyIfUnused(ApiNode* node) {
  if (!node || node->pinOwned()) return;
  ApiNodeArray destinations;
  node->destinationNodes(destinations);
  if (destinations.empty()) SafeDestroy(node);
}

ApiNode* BuildNode(const Json::Value& json, int depth, ApiNode* parent, const uint32_t* pin_index) {
  if (json.isNull() || depth > kMaxNodeDepth) return nullptr;
  const int type = JsonNodeType(json);
  const bool pin_owned = JsonRead::Bool(json, "pin_owned", false);
  if (!KnownNodeType(type)) return nullptr;

  ApiNode* node = nullptr;
  if (pin_owned && depth > 0 && parent && pin_index) {
    node = parent->createInternalIx(*pin_index, static_cast<NodeType>(type), true, true);
  } else {
    node = ApiNode::create(static_cast<NodeType>(type), ApiProjectManager::rootNodeGraph(), true);
  }
  if (!node) return nullptr;

  const std::string name = JsonRead::String(json, "name", "");
  if (!name.empty()) node->setName(name.c_str());
  ApplyParams(Member(json, "params"), node);

  const Json::Value& nodes = Member(json, "nodes");
  if (!nodes.isArray()) return node;
  for (const Json::Value& entry : nodes) {
    uint32_t index = 0;
    if (entry.isNull() || !EntryPin(entry, node, index)) continue;
    ApiNode* child = BuildNode(entry, depth + 1, node, &index);
    if (!child || child->pinOwned()) continue;
    // A child the pin refuses would be left behind as a stray node in the scene.
    if (!node->connectToIx(index, child, true, false)) SafeDestroy(child);
  }
  return node;
}

int UpdateTree(const Json::Value& json, ApiNode* node, const uint32_t* pin_index, ApiNode* parent,
               bool inside_owned, int depth) {
  if (json.isNull() || depth > kMaxNodeDepth) return -1;
  const int type = JsonNodeType(json);
  if (type == 0) return -1;

  if (node && type > 0 && node->type() == static_cast<NodeType>(type)) {
    const std::string name = JsonRead::String(json, "name", "");
    if (!name.empty()) node->setName(name.c_str());
    ApplyParams(Member(json, "params"), node);

    const Json::Value& nodes = Member(json, "nodes");
    if (!nodes.isArray()) return 0;
    const bool children_inside_owned = node->pinOwned() || inside_owned;
    int result = 0;
    for (const Json::Value& entry : nodes) {
      uint32_t index = 0;
      if (entry.isNull() || !EntryPin(entry, node, index)) continue;
      ApiNode* plugged = node->connectedNodeIx(index);
      if (UpdateTree(entry, plugged, &index, node, children_inside_owned, depth + 1) == 1) result = 1;
    }
    return result;
  }

  if (!node && type == -1) return 0;
  if (!pin_index || !parent) return -1;
  const bool keep = !node || node->pinOwned() || inside_owned;

  if (type == -1) {
    parent->connectToIx(*pin_index, nullptr, true, false);
    if (!keep) DestroyIfUnused(node);
    return 1;
  }

  // A type the engine cannot make leaves the pin as it is rather than emptying it.
  if (!KnownNodeType(type)) return -1;
  ApiNode* fresh = nullptr;
  if (keep) {
    fresh = parent->createInternalIx(*pin_index, static_cast<NodeType>(type), true, true);
    if (!fresh) return -1;
  } else {
    fresh = ApiNode::create(static_cast<NodeType>(type), ApiProjectManager::rootNodeGraph(), true);
    if (!fresh) return -1;
    if (!parent->connectToIx(*pin_index, fresh, true, false)) {
      SafeDestroy(fresh);
      return -1;
    }
    DestroyIfUnused(node);
  }
  TryToCorrectNewNodeScale(fresh, parent);
  return 1;
}

bool IsStringAttr(ApiNode* node, uint32_t index, const std::string& name) {
  const AttributeType type = node->attrTypeIx(index);
  if (type != AttrKind::String && type != AttrKind::Filename) return false;
  const char* attr_name = node->attrNameIx(index);
  return attr_name && name == attr_name;
}

// Walks the tree below `node` depth first in pin order, entering each distinct node once,
// until `stop` answers true for a node. Shared inputs make the number of paths grow
// exponentially with the depth; the number of distinct nodes does not.
template <typename Stop>
ApiNode* FindInTree(ApiNode* node, Stop stop) {
  std::set<ApiNode*> seen;
  std::vector<std::pair<ApiNode*, int>> pending;
  if (node) pending.emplace_back(node, 0);
  while (!pending.empty()) {
    const auto [current, depth] = pending.back();
    pending.pop_back();
    if (!seen.insert(current).second) continue;
    if (stop(current)) return current;
    if (depth >= kMaxNodeDepth) continue;
    for (uint32_t i = current->pinCount(); i-- > 0;) {
      ApiNode* input = current->connectedNodeIx(i);
      if (input && !seen.count(input)) pending.emplace_back(input, depth + 1);
    }
  }
  return nullptr;
}

std::string FindString(ApiNode* node, const std::string& name) {
  std::string found;
  FindInTree(node, [&](ApiNode* current) {
    const uint32_t attr_count = current->attrCount();
    for (uint32_t i = 0; i < attr_count; ++i) {
      if (!IsStringAttr(current, i, name)) continue;
      const char* value = current->getStringIx(i);
      if (value && *value) {
        found = value;
        return true;
      }
    }
    return false;
  });
  return found;
}

ApiNode* FindStringOwner(ApiNode* node, const std::string& name) {
  return FindInTree(node, [&](ApiNode* current) {
    const uint32_t attr_count = current->attrCount();
    for (uint32_t i = 0; i < attr_count; ++i) {
      if (IsStringAttr(current, i, name)) return true;
    }
    return false;
  });
}

bool IsImageType(NodeType type) { return type == 34 || type == 35 || type == 36; }

constexpr NodeType kImageHolderType = 80;     // wraps an image texture in its pin 240
constexpr NodeType kTwoTextureParent = 38;    // holds two textures in pins 238 and 239
constexpr AttributeId kTransformMatrix = 171;
constexpr PinId kTextureTransformPin = 243;
constexpr PinId kInnerTexturePin = 240;

// The image texture whose transform a texture newly plugged into `parent` should copy.
ApiNode* ReferenceImage(ApiNode* fresh, ApiNode* parent) {
  if (parent->type() == kTwoTextureParent) {
    ApiNode* a = parent->connectedNode(238);
    ApiNode* b = parent->connectedNode(239);
    if (a == fresh && b != fresh && IsImage(b)) return b;
    if (b == fresh && a != fresh && IsImage(a)) return a;
    return nullptr;
  }
  for (PinId pin : {30u, 18u, 119u, 222u, 145u, 245u}) {
    ApiNode* candidate = parent->connectedNode(pin);
    if (candidate && candidate != fresh && IsImage(candidate)) return candidate;
  }
  if (ApiNode* holder = parent->connectedNode(34)) {
    ApiNode* candidate = holder->connectedNode(kInnerTexturePin);
    if (candidate && candidate != fresh && IsImage(candidate)) return candidate;
  }
  return nullptr;
}

}  // namespace

Json::Value GetAttribute(ApiNode* node, uint32_t attr_index) {
  Json::Value out(Json::objectValue);
  if (!node || attr_index >= node->attrCount()) return out;
  const AttributeType type = node->attrTypeIx(attr_index);
  const AttributeId id = node->attrIdIx(attr_index);
  const std::string name = Text(node->attrNameIx(attr_index));
  out["type"] = static_cast<Json::Int>(type);
  out["name"] = name;

  switch (type) {
    case AttrKind::Bool:
      out[name] = node->getBool(id);
      break;
    case AttrKind::Int:
      out[name] = node->getInt(id);
      break;
    case AttrKind::Int2: {
      const int32_2 v = node->getInt2(id);
      out[name] = IntVector(v.x, v.y, 0, 2);
      break;
    }
    case AttrKind::Int3: {
      const int32_3 v = node->getInt3(id);
      out[name] = IntVector(v.x, v.y, v.z, 3);
      break;
    }
    case AttrKind::Float:
      out[name] = static_cast<double>(node->getFloat(id));
      break;
    case AttrKind::Float2: {
      const float_2 v = node->getFloat2(id);
      out[name] = FloatVector(v.x, v.y, 0.0f, 2);
      break;
    }
    case AttrKind::Float3: {
      const float_3 v = node->getFloat3(id);
      out[name] = FloatVector(v.x, v.y, v.z, 3);
      break;
    }
    case AttrKind::Float4: {
      const float_4 v = node->getFloat4(id);
      Json::Value value = FloatVector(v.x, v.y, v.z, 3);
      value["w"] = static_cast<double>(v.w);
      out[name] = value;
      break;
    }
    case AttrKind::Filename:
      out[name] = Text(node->getString(id));
      break;
    default:
      break;
  }
  return out;
}

void SetAttribute(const Json::Value& attribute, ApiNode* node) {
  if (!node || attribute.isNull()) return;
  int type = JsonRead::Int(attribute, "type", -1);
  if (type == 0) return;
  const std::string name = JsonRead::String(attribute, "name", "");
  if (name.empty()) return;
  // An attribute called "type" has its value written over the kind; it holds an integer.
  if (name == "type") type = AttrKind::Int;
  const AttributeId id = node->attrId(name.c_str());
  if (id == 0) return;

  const Json::Value& value = Member(attribute, name.c_str());
  using JsonRead::Float;
  using JsonRead::Int;
  switch (type) {
    case AttrKind::Bool:
      node->set(id, JsonRead::Bool(value, false), false);
      break;
    case AttrKind::Int:
      node->set(id, static_cast<int32_t>(Int(value, 0)), false);
      break;
    case AttrKind::Int2:
      node->set(id, int32_2{Int(value, "x", 0), Int(value, "y", 0)}, false);
      break;
    case AttrKind::Int3:
      node->set(id, int32_3{Int(value, "x", 0), Int(value, "y", 0), Int(value, "z", 0)}, false);
      break;
    case AttrKind::Float:
      node->set(id, static_cast<float>(JsonRead::Number(value, 0.0)), false);
      break;
    case AttrKind::Float2:
      node->set(id, float_2{Float(value, "x", 0.0), Float(value, "y", 0.0)}, false);
      break;
    case AttrKind::Float3:
      node->set(id, float_3{Float(value, "x", 0.0), Float(value, "y", 0.0), Float(value, "z", 0.0)}, false);
      break;
    case AttrKind::Float4:
      node->set(id,
                float_4{Float(value, "x", 0.0), Float(value, "y", 0.0), Float(value, "z", 0.0),
                        Float(value, "w", 0.0)},
                false);
      break;
    case AttrKind::Filename: {
      const std::string text = JsonRead::String(value, "");
      if (text.empty()) break;
      node->set(id, text.c_str(), false);
      // A new file name only takes effect once the engine is told to load it again.
      node->set(AttributeId(124), false, true);
      break;
    }
    default:
      break;
  }
}

bool IsImage(ApiNode* node) {
  return node && IsImageType(node->type()) && node->connectedNode(kTextureTransformPin) != nullptr;
}

bool IsMaterialType(NodeType type) {
  static const std::vector<NodeType> material_types = MaterialTypes();
  return std::find(material_types.begin(), material_types.end(), type) != material_types.end();
}

bool TryNodeToStr(ApiNode* node, bool details, Json::Value& out) {
  ApiNode* written = LookThroughHelpers(node);
  WriteBudget budget;
  out = WriteNode(written, details, 0, budget);
  if (!budget.exceeded) return true;
  out = Json::Value(Json::nullValue);
  LOG(ERROR) << "Node " << Text(written->name()) << " has more than " << kMaxWrittenNodes
             << " nodes in its input tree and is not written";
  return false;
}

Json::Value NodeToStr(ApiNode* node, bool details) {
  Json::Value out;
  TryNodeToStr(node, details, out);
  return out;
}

ApiNode* StrToNode(const Json::Value& json, int depth, ApiNode* parent, PinId pin) {
  uint32_t index = 0;
  const bool has_pin = parent && pin != 0 && parent->findPin(pin, index);
  return BuildNode(json, depth, parent, has_pin ? &index : nullptr);
}

int UpdateNode(const Json::Value& json, ApiNode* node, PinId pin, ApiNode* parent, bool inside_owned) {
  uint32_t index = 0;
  const bool has_pin = parent && pin != 0 && parent->findPin(pin, index);
  return UpdateTree(json, node, has_pin ? &index : nullptr, parent, inside_owned, 0);
}

bool TryToCorrectNewNodeScale(ApiNode* new_node, ApiNode* parent) {
  if (!new_node || !parent) return false;
  if (!IsImage(new_node) && new_node->type() != kImageHolderType) return false;
  if (!IsMaterialType(parent->type())) return false;

  ApiNode* reference = ReferenceImage(new_node, parent);
  if (!reference) return false;

  ApiNode* target = new_node;
  if (new_node->type() == kImageHolderType) {
    target = new_node->connectedNode(kInnerTexturePin);
    if (!target) target = new_node->createInternal(kInnerTexturePin, 34, true, true);
    if (!target) return false;
  }

  ApiNode* from = reference->connectedNode(kTextureTransformPin);
  ApiNode* to = target->connectedNode(kTextureTransformPin);
  if (!from || !to) return false;
  to->set(kTransformMatrix, from->getMatrix(kTransformMatrix), true);
  return true;
}

std::string FindStringParam(ApiNode* node, const std::string& name) { return FindString(node, name); }

ApiNode* FindStringParamOwner(ApiNode* node, const std::string& name) { return FindStringOwner(node, name); }

}  // namespace NodeUtils
}  // namespace Zarnik
