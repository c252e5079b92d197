// Pins of a node (static and dynamic), evaluation, transform bookkeeping and attribute
// lookup.
#include <cstring>
#include <string>

#include "core.h"
#include "geometry_math.h"
#include "obj_geometry.h"

namespace Zarnik {
namespace Engine {
namespace {

constexpr int32_t kMaxGroupInputs = 1000000;

std::vector<std::string> SlotNames(const NodeImpl* source) {
    std::vector<std::string> names;
    if (!source) return names;
    const int ix = AttrIndex(source, Attrs::MaterialNames);
    if (ix < 0) return names;
    const AttrValue& value = source->attrs[size_t(ix)];
    names.reserve(value.count());
    for (size_t i = 0; i < value.count(); ++i) {
        const char* text = value.text(i);
        names.emplace_back(text ? text : "");
    }
    return names;
}

int32_t GroupInputCount(const NodeImpl* node) {
    const int ix = AttrIndex(node, Attrs::InputCount);
    Components c;
    if (ix < 0 || !node->attrs[size_t(ix)].components(0, c)) return 0;
    if (FamilyOf(node->attrs[size_t(ix)].kind()) == ValueFamily::Real) {
        const float f = c.reals[0];
        if (!(f > 0)) return 0;
        return f > float(kMaxGroupInputs) ? kMaxGroupInputs : int32_t(f);
    }
    return c.ints[0] < 0 ? 0 : (c.ints[0] > kMaxGroupInputs ? kMaxGroupInputs : c.ints[0]);
}

NodeImpl* GeometrySource(const NodeImpl* node) {
    uint32_t ix;
    if (!FindPinById(node, Pins::Geometry, ix)) return nullptr;
    return node->pins[ix].node;
}

std::unique_ptr<DynamicPin> MakeDynamicPin(DynamicPins kind, const std::string& name) {
    std::unique_ptr<DynamicPin> pin(new DynamicPin());
    pin->nameText = name;
    pin->info = DynamicPinInfo(kind, pin->nameText.c_str());
    return pin;
}

float_3 ReadFloat3(const NodeImpl* node, AttributeId id) {
    const int ix = AttrIndex(node, id);
    Components c;
    if (ix < 0 || !node->attrs[size_t(ix)].components(0, c)) return {0, 0, 0};
    return {c.reals[0], c.reals[1], c.reals[2]};
}

void WriteFloat3(NodeImpl* node, AttributeId id, float_3 value) {
    const int ix = AttrIndex(node, id);
    bool changed;
    if (ix >= 0) node->attrs[size_t(ix)].assign(&value, 1, changed);
}

void RecomposeTransform(NodeImpl* node) {
    const TransformSource source = node->pendingTransform;
    node->pendingTransform = TransformSource::None;
    if (source == TransformSource::None || !IsTransformNode(node)) return;
    const int matrixIx = AttrIndex(node, Attrs::Transform);
    bool changed;
    if (source == TransformSource::Components) {
        Matrix<float> m = ComposeTransform(ReadFloat3(node, Attrs::Scale), ReadFloat3(node, Attrs::Rotation),
                                           ReadFloat3(node, Attrs::Translation));
        node->attrs[size_t(matrixIx)].assign(&m, 1, changed);
    } else {
        Matrix<float> m;
        if (!node->attrs[size_t(matrixIx)].matrix(0, m)) return;
        float_3 scale, rotation, translation;
        DecomposeTransform(m, scale, rotation, translation);
        WriteFloat3(node, Attrs::Scale, scale);
        WriteFloat3(node, Attrs::Rotation, rotation);
        WriteFloat3(node, Attrs::Translation, translation);
    }
}

}  // namespace

uint32_t StaticPinCount(const NodeImpl* node) { return uint32_t(node->desc->pins.size()); }

const ApiNodePinInfo& PinInfoAt(const NodeImpl* node, uint32_t pinIx) {
    if (pinIx >= node->pins.size()) return NoPinInfo();
    const Pin& pin = node->pins[pinIx];
    if (pin.dynamic) return pin.dynamic->info;
    return node->desc->pins[pinIx];
}

bool FindPinById(const NodeImpl* node, PinId id, uint32_t& pinIx) {
    // Dynamic pins all carry id 0, which names no pin: they are reached by index or name.
    if (id == 0) return false;
    const uint32_t staticCount = StaticPinCount(node);
    for (uint32_t ix = 0; ix < staticCount; ++ix) {
        if (node->desc->pins[ix].id == id) {
            pinIx = ix;
            return true;
        }
    }
    return false;
}

bool FindPinByName(const NodeImpl* node, const char* name, uint32_t& pinIx) {
    if (!name) return false;
    for (uint32_t ix = 0; ix < node->pins.size(); ++ix) {
        const char* pinName = PinInfoAt(node, ix).name;
        if (pinName && std::strcmp(pinName, name) == 0) {
            pinIx = ix;
            return true;
        }
    }
    return false;
}

bool SyncDynamicPins(NodeImpl* node) {
    const DynamicPins kind = node->desc->dynamicPins;
    if (kind == DynamicPins::None) return false;
    const uint32_t staticCount = StaticPinCount(node);
    const size_t current = node->pins.size() - staticCount;
    bool changed = false;

    size_t wanted;
    std::vector<std::string> names;
    if (kind == DynamicPins::GroupInputs) {
        wanted = size_t(GroupInputCount(node));
    } else {
        names = SlotNames(kind == DynamicPins::OwnMaterialSlots ? node : GeometrySource(node));
        wanted = names.size();
    }

    std::vector<NodeImpl*> released;
    for (size_t i = current; i > wanted; --i) {
        if (NodeImpl* owned = DetachPin(node, uint32_t(staticCount + i - 1))) released.push_back(owned);
    }
    if (wanted != current) {
        changed = true;
        if (wanted < current) {
            node->pins.resize(staticCount + wanted);
        } else {
            node->pins.reserve(staticCount + wanted);
            for (size_t i = current; i < wanted; ++i) {
                Pin pin;
                pin.dynamic = MakeDynamicPin(
                    kind, kind == DynamicPins::GroupInputs ? "input" + std::to_string(i + 1) : names[i]);
                node->pins.push_back(std::move(pin));
            }
        }
    }
    if (kind != DynamicPins::GroupInputs) {
        for (size_t i = 0; i < wanted && i < current; ++i) {
            Pin& pin = node->pins[staticCount + i];
            if (pin.dynamic->nameText == names[i]) continue;
            pin.dynamic = MakeDynamicPin(kind, names[i]);
            changed = true;
        }
    }
    for (NodeImpl* owned : released) DestroyItem(owned);
    return changed;
}

void EvaluateNode(NodeImpl* node) {
    const uint64_t id = node->id;
    LoadMeshFileIfDue(node);
    const bool changed = SyncDynamicPins(node);
    node = NodeWithId(id);
    if (!node) return;
    RecomposeTransform(node);
    if (changed) QueueEvent(EventType::PINS_CHANGED, node);

    // Material overrides take their slots from the mesh on their geometry pin.
    if (node->desc->dynamicPins != DynamicPins::OwnMaterialSlots) return;
    std::vector<std::pair<uint64_t, uint32_t>> users;
    for (const DestRef& ref : node->destinations) users.emplace_back(ref.node->id, ref.pinIx);
    for (const auto& user : users) {
        NodeImpl* overrideNode = NodeWithId(user.first);
        if (!overrideNode || overrideNode->desc->dynamicPins != DynamicPins::GeometryPinSlots) continue;
        uint32_t geometryIx;
        if (!FindPinById(overrideNode, Pins::Geometry, geometryIx) || geometryIx != user.second) continue;
        if (SyncDynamicPins(overrideNode)) {
            if (NodeImpl* still = NodeWithId(user.first)) QueueEvent(EventType::PINS_CHANGED, still);
        }
    }
}

bool IsTransformNode(const NodeImpl* node) {
    switch (node->nodeType) {
    case 27:
    case 29:
    case 66:
    case Types::TransformValue:
        break;
    default:
        return false;
    }
    const int ix = AttrIndex(node, Attrs::Transform);
    return ix >= 0 && node->attrs[size_t(ix)].kind() == AttrKind::Matrix;
}

void InitTransform(NodeImpl* node) {
    if (!IsTransformNode(node)) return;
    const float_3 scale = ReadFloat3(node, Attrs::Scale);
    if (AttrIndex(node, Attrs::Scale) >= 0 && scale.x != 0 && scale.y != 0 && scale.z != 0) {
        node->pendingTransform = TransformSource::Components;
        RecomposeTransform(node);
    } else {
        SetIdentityTransform(node);
    }
}

void SetIdentityTransform(NodeImpl* node) {
    const int ix = AttrIndex(node, Attrs::Transform);
    if (ix < 0) return;
    const Matrix<float> identity = Matrix<float>::identity();
    bool changed;
    if (!node->attrs[size_t(ix)].assign(&identity, 1, changed)) return;
    node->pendingTransform = TransformSource::Matrix;
    RecomposeTransform(node);
}

void WritePinDefault(NodeImpl* valueNode, const ApiNodePinInfo& pin) {
    if (pin.type == PinKind::Transform) {
        SetIdentityTransform(valueNode);
        return;
    }
    const int ix = AttrIndex(valueNode, Attrs::Value);
    if (ix < 0) return;
    AttrValue& value = valueNode->attrs[size_t(ix)];
    bool changed;
    switch (pin.type) {
    case PinKind::Bool:
        value.assign(&pin.boolInfo.defaultValue, 1, changed);
        break;
    case PinKind::Int:
        value.assign(&pin.intInfo.defaultValue, 1, changed);
        break;
    case PinKind::Enum:
        value.assign(&pin.enumInfo.defaultValue, 1, changed);
        break;
    case PinKind::Float:
        value.assign(&pin.floatInfo.defaultValue, 1, changed);
        break;
    case PinKind::Texture:
        if (pin.floatInfo.dimCount > 0) value.assign(&pin.floatInfo.defaultValue, 1, changed);
        break;
    case PinKind::String: {
        const char* text = pin.stringInfo.defaultValue ? pin.stringInfo.defaultValue : "";
        value.assignText(&text, 1, changed);
        break;
    }
    default:
        break;
    }
}

int AttrIndex(const Item* item, AttributeId id) {
    if (!item->holdsNode()) return -1;
    const std::vector<ApiAttributeInfo>& attrs = static_cast<const NodeImpl*>(item)->desc->attrs;
    for (size_t i = 0; i < attrs.size(); ++i)
        if (attrs[i].id == id) return int(i);
    return -1;
}

const ApiAttributeInfo* AttrInfoAt(const Item* item, uint32_t index) {
    if (!item->holdsNode()) return nullptr;
    const std::vector<ApiAttributeInfo>& attrs = static_cast<const NodeImpl*>(item)->desc->attrs;
    return index < attrs.size() ? &attrs[index] : nullptr;
}

void AttributeChanged(Item* item, uint32_t index, bool changed, bool evaluate) {
    NodeImpl* node = item->asNode();
    if (!node) return;
    if (changed) {
        if (IsTransformNode(node)) {
            const AttributeId id = node->desc->attrs[index].id;
            if (id == Attrs::Transform)
                node->pendingTransform = TransformSource::Matrix;
            else if (id == Attrs::Scale || id == Attrs::Rotation || id == Attrs::Translation)
                node->pendingTransform = TransformSource::Components;
        }
        QueueEvent(EventType::ITEM_VALUE_CHANGED, node);
    }
    if (evaluate) EvaluateNode(node);
}

}  // namespace Engine
}  // namespace Zarnik
