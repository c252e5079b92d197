// Values held by pins: written into pin-owned value nodes, read back from whatever node
// is plugged in (value nodes, sun directions, transforms) or the pin's default.
#include <cmath>
#include <limits>

#include "core.h"
#include "geometry_math.h"

namespace Zarnik {

using namespace Engine;

namespace {

// The node type that holds a value of caller type T in a pin of the given kind, or 0.
template <typename T>
NodeType HolderFor(NodePinType kind) {
    constexpr ValueFamily family = ValueTraits<T>::family;
    if constexpr (std::is_same<T, bool>::value) {
        return kind == PinKind::Bool ? ValueNodeTypeFor(kind) : 0;
    } else if constexpr (family == ValueFamily::Integer) {
        return kind == PinKind::Int || kind == PinKind::Enum ? ValueNodeTypeFor(kind) : 0;
    } else if constexpr (family == ValueFamily::Real) {
        if (kind == PinKind::Float) return ValueNodeTypeFor(kind);
        if (kind == PinKind::Texture) {
            if (std::is_same<T, float>::value) return Types::FloatTexture;
            if (std::is_same<T, float_3>::value) return Types::RgbTexture;
        }
        return 0;
    } else if constexpr (family == ValueFamily::Matrix) {
        return kind == PinKind::Transform ? ValueNodeTypeFor(kind) : 0;
    } else {
        return 0;
    }
}

bool FindPinAt(NodeImpl* node, bool byIndex, uint32_t key, uint32_t& pinIx) {
    if (byIndex) {
        pinIx = key;
        return key < node->pins.size();
    }
    return FindPinById(node, key, pinIx);
}

// The pin-owned node of the wanted type in the pin, made when the pin holds anything else.
NodeImpl* HolderIn(NodeImpl* node, uint32_t pinIx, NodeType type) {
    const Pin& pin = node->pins[pinIx];
    if (pin.node && pin.owned && pin.node->nodeType == type) return pin.node;
    return CreateInPin(node, pinIx, type, true, false);
}

template <typename Store>
bool WriteIntoPin(const ApiNode* self, bool byIndex, uint32_t key, NodeType (*holderFor)(NodePinType),
                  AttributeId attr, bool evaluate, Store store) {
    return Guarded(false, [&]() {
        NodeImpl* node = ResolveLiveNode(self);
        uint32_t pinIx;
        if (!node || !FindPinAt(node, byIndex, key, pinIx)) return false;
        const NodeType type = holderFor(PinInfoAt(node, pinIx).type);
        if (type == 0) return false;
        const uint64_t nodeId = node->id;
        NodeImpl* holder = HolderIn(node, pinIx, type);
        if (!holder) return false;
        const int ix = AttrIndex(holder, attr);
        if (ix < 0) return false;
        bool changed;
        if (!store(holder->attrs[size_t(ix)], changed)) return false;
        const bool isMatrix = attr == Attrs::Transform;
        // A written matrix always brings the derived scale, rotation and translation along.
        AttributeChanged(holder, uint32_t(ix), changed, evaluate || isMatrix);
        if (evaluate) {
            if (NodeImpl* still = NodeWithId(nodeId)) EvaluateNode(still);
        }
        return true;
    });
}

template <typename T>
bool SetPinValueAt(const ApiNode* self, bool byIndex, uint32_t key, const T& value, bool evaluate) {
    const AttributeId attr = ValueTraits<T>::family == ValueFamily::Matrix ? AttributeId(Attrs::Transform)
                                                                          : AttributeId(Attrs::Value);
    return WriteIntoPin(self, byIndex, key, &HolderFor<T>, attr, evaluate,
                        [&](AttrValue& target, bool& changed) { return target.assign(&value, 1, changed); });
}

NodeType StringHolderFor(NodePinType kind) { return kind == PinKind::String ? ValueNodeTypeFor(kind) : 0; }

bool SetPinTextAt(const ApiNode* self, bool byIndex, uint32_t key, const char* value, bool evaluate) {
    return WriteIntoPin(self, byIndex, key, &StringHolderFor, Attrs::Value, evaluate,
                        [&](AttrValue& target, bool& changed) { return target.assignText(&value, 1, changed); });
}

// ---- reading --------------------------------------------------------------------------

struct PinReading {
    Components c;
    ValueFamily family = ValueFamily::None;
};

PinReading PinDefault(const ApiNodePinInfo& info) {
    PinReading r;
    switch (info.type) {
    case PinKind::Bool:
        r.c = Split(info.boolInfo.defaultValue);
        r.family = ValueFamily::Integer;
        break;
    case PinKind::Int:
        r.c = Split(info.intInfo.defaultValue);
        r.family = ValueFamily::Integer;
        break;
    case PinKind::Enum:
        r.c = Split(info.enumInfo.defaultValue);
        r.family = ValueFamily::Integer;
        break;
    case PinKind::Float:
    case PinKind::Texture:
        r.c = Split(info.floatInfo.defaultValue);
        r.family = ValueFamily::Real;
        break;
    default:
        break;
    }
    return r;
}

PinReading ReadPin(const NodeImpl* node, uint32_t pinIx, int depth);

float ReadPinFloat(const NodeImpl* node, PinId id, int depth) {
    uint32_t ix;
    if (!FindPinById(node, id, ix)) return 0.0f;
    PinReading r = ReadPin(node, ix, depth + 1);
    return r.family == ValueFamily::Integer ? float(r.c.ints[0]) : r.c.reals[0];
}

int ReadPinInt(const NodeImpl* node, PinId id, int depth) {
    uint32_t ix;
    if (!FindPinById(node, id, ix)) return 0;
    PinReading r = ReadPin(node, ix, depth + 1);
    if (r.family == ValueFamily::Real) {
        const float f = r.c.reals[0];
        return std::isfinite(f) && std::fabs(f) < 2e9f ? int(f) : 0;
    }
    return r.c.ints[0];
}

PinReading ReadPin(const NodeImpl* node, uint32_t pinIx, int depth) {
    const NodeImpl* input = node->pins[pinIx].node;
    if (input && depth < 8) {
        if (input->nodeType == Types::SunDirection) {
            const float_3 sun = SunDirection(
                ReadPinFloat(input, Pins::Latitude, depth), ReadPinFloat(input, Pins::Longitude, depth),
                ReadPinInt(input, Pins::Month, depth), ReadPinInt(input, Pins::Day, depth),
                ReadPinFloat(input, Pins::Hour, depth), ReadPinInt(input, Pins::GmtOffset, depth));
            PinReading r;
            r.c = Split(sun);
            r.family = ValueFamily::Real;
            return r;
        }
        const int ix = AttrIndex(input, Attrs::Value);
        PinReading r;
        if (ix >= 0 && input->attrs[size_t(ix)].components(0, r.c)) {
            r.family = FamilyOf(input->attrs[size_t(ix)].kind());
            return r;
        }
    }
    return PinDefault(PinInfoAt(node, pinIx));
}

template <typename T>
T ConvertReading(const PinReading& r) {
    Components c = r.c;
    constexpr ValueFamily want = ValueTraits<T>::family;
    if (want == ValueFamily::Real && r.family == ValueFamily::Integer) {
        for (int i = 0; i < 4; ++i) c.reals[i] = float(c.ints[i]);
    } else if (want == ValueFamily::Integer && r.family == ValueFamily::Real) {
        for (int i = 0; i < 4; ++i) {
            const float f = c.reals[i];
            c.ints[i] = std::isfinite(f) && std::fabs(f) < 2e9f ? int32_t(f) : 0;
        }
    } else if (r.family == ValueFamily::None) {
        return T{};
    }
    // Components beyond the width of the value read stay zero.
    return Join<T>(c);
}

template <typename T>
T GetPinAt(const ApiNode* self, bool byIndex, uint32_t key) {
    return Guarded(T{}, [&]() {
        NodeImpl* node = ResolveNode(self);
        uint32_t pinIx;
        if (!node || !FindPinAt(node, byIndex, key, pinIx)) return T{};
        return ConvertReading<T>(ReadPin(node, pinIx, 0));
    });
}

Matrix<float> GetPinMatrixAt(const ApiNode* self, bool byIndex, uint32_t key) {
    return Guarded(Matrix<float>::identity(), [&]() {
        Matrix<float> m = Matrix<float>::identity();
        NodeImpl* node = ResolveNode(self);
        uint32_t pinIx;
        if (!node || !FindPinAt(node, byIndex, key, pinIx)) return m;
        const NodeImpl* input = node->pins[pinIx].node;
        if (!input) return m;
        const int ix = AttrIndex(input, Attrs::Transform);
        if (ix >= 0) input->attrs[size_t(ix)].matrix(0, m);
        return m;
    });
}

const char* GetPinStringAt(const ApiNode* self, bool byIndex, uint32_t key) {
    return Guarded("", [&]() -> const char* {
        NodeImpl* node = ResolveNode(self);
        uint32_t pinIx;
        if (!node || !FindPinAt(node, byIndex, key, pinIx)) return "";
        if (const NodeImpl* input = node->pins[pinIx].node) {
            const int ix = AttrIndex(input, Attrs::Value);
            if (ix >= 0) {
                if (const char* text = input->attrs[size_t(ix)].text(0)) return text;
            }
        }
        const char* fallback = PinInfoAt(node, pinIx).stringInfo.defaultValue;
        return fallback ? fallback : "";
    });
}

}  // namespace

bool ApiNode::setPinValue(PinId id, bool value, bool evaluate) { return SetPinValueAt(this, false, id, value, evaluate); }
bool ApiNode::setPinValue(PinId id, int32_t value, bool evaluate) {
    return SetPinValueAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValue(PinId id, int32_2 value, bool evaluate) {
    return SetPinValueAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValue(PinId id, int32_3 value, bool evaluate) {
    return SetPinValueAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValue(PinId id, float value, bool evaluate) { return SetPinValueAt(this, false, id, value, evaluate); }
bool ApiNode::setPinValue(PinId id, float_2 value, bool evaluate) {
    return SetPinValueAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValue(PinId id, float_3 value, bool evaluate) {
    return SetPinValueAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValue(PinId id, float_4 value, bool evaluate) {
    return SetPinValueAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValue(PinId id, const Matrix<float>& value, bool evaluate) {
    return SetPinValueAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValue(PinId id, const char* value, bool evaluate) {
    return SetPinTextAt(this, false, id, value, evaluate);
}
bool ApiNode::setPinValueIx(uint32_t index, bool value, bool evaluate) {
    return SetPinValueAt(this, true, index, value, evaluate);
}
bool ApiNode::setPinValueIx(uint32_t index, int32_t value, bool evaluate) {
    return SetPinValueAt(this, true, index, value, evaluate);
}
bool ApiNode::setPinValueIx(uint32_t index, float value, bool evaluate) {
    return SetPinValueAt(this, true, index, value, evaluate);
}
bool ApiNode::setPinValueIx(uint32_t index, float_3 value, bool evaluate) {
    return SetPinValueAt(this, true, index, value, evaluate);
}

bool ApiNode::getPinBool(PinId id) const { return GetPinAt<bool>(this, false, id); }
int32_t ApiNode::getPinInt(PinId id) const { return GetPinAt<int32_t>(this, false, id); }
int32_2 ApiNode::getPinInt2(PinId id) const { return GetPinAt<int32_2>(this, false, id); }
int32_3 ApiNode::getPinInt3(PinId id) const { return GetPinAt<int32_3>(this, false, id); }
float ApiNode::getPinFloat(PinId id) const { return GetPinAt<float>(this, false, id); }
float_2 ApiNode::getPinFloat2(PinId id) const { return GetPinAt<float_2>(this, false, id); }
float_3 ApiNode::getPinFloat3(PinId id) const { return GetPinAt<float_3>(this, false, id); }
Matrix<float> ApiNode::getPinMatrix(PinId id) const { return GetPinMatrixAt(this, false, id); }
const char* ApiNode::getPinString(PinId id) const { return GetPinStringAt(this, false, id); }
bool ApiNode::getPinBoolIx(uint32_t index) const { return GetPinAt<bool>(this, true, index); }
int32_3 ApiNode::getPinInt3Ix(uint32_t index) const { return GetPinAt<int32_3>(this, true, index); }
float_3 ApiNode::getPinFloat3Ix(uint32_t index) const { return GetPinAt<float_3>(this, true, index); }
Matrix<float> ApiNode::getPinMatrixIx(uint32_t index) const { return GetPinMatrixAt(this, true, index); }
const char* ApiNode::getPinStringIx(uint32_t index) const { return GetPinStringAt(this, true, index); }

}  // namespace Zarnik
