#include "probe_values.h"

#include "catalogue.h"
#include "probe_support.h"

namespace ZarnikProbe {
namespace {

using namespace Zarnik;

VALUE ToRuby(bool v) { return v ? Qtrue : Qfalse; }
VALUE ToRuby(int32_t v) { return INT2NUM(v); }
VALUE ToRuby(uint8_t v) { return INT2FIX(v); }
VALUE ToRuby(float v) { return DBL2NUM(v); }
VALUE ToRuby(const char* v) { return v ? rb_str_new_cstr(v) : Qnil; }
VALUE ToRuby(const int32_2& v) { return rb_ary_new_from_args(2, INT2NUM(v.x), INT2NUM(v.y)); }
VALUE ToRuby(const int32_3& v) { return rb_ary_new_from_args(3, INT2NUM(v.x), INT2NUM(v.y), INT2NUM(v.z)); }
VALUE ToRuby(const int32_4& v) {
    return rb_ary_new_from_args(4, INT2NUM(v.x), INT2NUM(v.y), INT2NUM(v.z), INT2NUM(v.w));
}
VALUE ToRuby(const float_2& v) { return rb_ary_new_from_args(2, DBL2NUM(v.x), DBL2NUM(v.y)); }
VALUE ToRuby(const float_3& v) { return rb_ary_new_from_args(3, DBL2NUM(v.x), DBL2NUM(v.y), DBL2NUM(v.z)); }
VALUE ToRuby(const float_4& v) {
    return rb_ary_new_from_args(4, DBL2NUM(v.x), DBL2NUM(v.y), DBL2NUM(v.z), DBL2NUM(v.w));
}
VALUE ToRuby(const Matrix<float>& m) {
    VALUE out = rb_ary_new_capa(12);
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) rb_ary_push(out, DBL2NUM(m.m[row][column]));
    return out;
}
template <typename T>
VALUE ToRuby(const ApiArray<T>& values) {
    VALUE out = rb_ary_new_capa(static_cast<long>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) rb_ary_push(out, ToRuby(values[i]));
    return out;
}

// Pins of four components have no reader of their own: their value is the one the value
// node in the pin holds, else the pin's default.
template <typename Vec4Type>
Vec4Type FourComponentValue(const ApiNode& node, PinId id, AttributeType valueKind, const Vec4Type& fallback,
                            Vec4Type (ApiItem::*read)(AttributeId) const) {
    const ApiNode* holder = node.inputNode(id);
    const AttributeId valueAttr = Engine::Attrs::Value;
    if (holder && holder->hasAttr(valueAttr) && !holder->attrIsArray(valueAttr) &&
        holder->attrType(valueAttr) == valueKind)
        return (holder->*read)(valueAttr);
    return fallback;
}

VALUE IntPinValue(const ApiNode& node, PinId id, const ApiNodePinInfo& info) {
    switch (info.intInfo.dimCount) {
    case 0:
    case 1: return ToRuby(node.getPinInt(id));
    case 2: return ToRuby(node.getPinInt2(id));
    case 3: return ToRuby(node.getPinInt3(id));
    default:
        return ToRuby(FourComponentValue(node, id, AttrKind::Int4, info.intInfo.defaultValue, &ApiItem::getInt4));
    }
}

VALUE FloatPinValue(const ApiNode& node, PinId id, const ApiNodePinInfo& info) {
    switch (info.floatInfo.dimCount) {
    case 0:
    case 1: return ToRuby(node.getPinFloat(id));
    case 2: return ToRuby(node.getPinFloat2(id));
    case 3: return ToRuby(node.getPinFloat3(id));
    default:
        return ToRuby(
            FourComponentValue(node, id, AttrKind::Float4, info.floatInfo.defaultValue, &ApiItem::getFloat4));
    }
}

template <typename Scalar, typename Array>
VALUE ScalarOrArray(const ApiItem& item, AttributeId id, bool isArray, Scalar (ApiItem::*one)(AttributeId) const,
                    Array (ApiItem::*many)(AttributeId) const) {
    return isArray ? ToRuby((item.*many)(id)) : ToRuby((item.*one)(id));
}

void RaiseUnlessNumber(VALUE element) {
    if (!RB_INTEGER_TYPE_P(element) && !RB_FLOAT_TYPE_P(element))
        rb_raise(rb_eTypeError, "pin value components must be numbers, not %s", rb_obj_classname(element));
}

void ParseArray(VALUE array, PinInput& input) {
    const long count = RARRAY_LEN(array);
    if (count != 2 && count != 3 && count != 4 && count != 12)
        rb_raise(rb_eTypeError, "a pin value Array holds 2, 3, 4 or 12 numbers, not %ld", count);
    bool anyFloat = false;
    for (long i = 0; i < count; ++i) {
        VALUE element = rb_ary_entry(array, i);
        RaiseUnlessNumber(element);
        anyFloat = anyFloat || RB_FLOAT_TYPE_P(element);
    }
    if (count == 12 || anyFloat) {
        for (long i = 0; i < count; ++i) input.floats[i] = static_cast<float>(NUM2DBL(rb_ary_entry(array, i)));
        static const PinInput::Kind kFloatKinds[] = {PinInput::Float2, PinInput::Float3, PinInput::Float4};
        input.kind = count == 12 ? PinInput::Transform : kFloatKinds[count - 2];
        return;
    }
    for (long i = 0; i < count; ++i) input.ints[i] = NUM2INT(rb_ary_entry(array, i));
    static const PinInput::Kind kIntKinds[] = {PinInput::Int2, PinInput::Int3, PinInput::Int4};
    input.kind = kIntKinds[count - 2];
}

}  // namespace

VALUE PinValue(const ApiNode& node, PinId id) {
    uint32_t index = 0;
    if (!node.findPin(id, index)) return Qnil;
    const ApiNodePinInfo& info = node.pinInfoIx(index);
    switch (node.pinTypeIx(index)) {
    case PinKind::Bool: return ToRuby(node.getPinBool(id));
    case PinKind::Int: return IntPinValue(node, id, info);
    case PinKind::Enum: return ToRuby(node.getPinInt(id));
    case PinKind::Float: return FloatPinValue(node, id, info);
    case PinKind::Transform: return ToRuby(node.getPinMatrix(id));
    case PinKind::String: return ToRuby(node.getPinString(id));
    default: return HandleOf(node.inputNode(id));
    }
}

VALUE AttributeValue(const ApiItem& item, AttributeId id) {
    if (!item.hasAttr(id)) return Qnil;
    const bool isArray = item.attrIsArray(id);
    switch (item.attrType(id)) {
    case AttrKind::Bool: return ScalarOrArray(item, id, isArray, &ApiItem::getBool, &ApiItem::getBoolArray);
    case AttrKind::Int: return ScalarOrArray(item, id, isArray, &ApiItem::getInt, &ApiItem::getIntArray);
    case AttrKind::Int2: return ScalarOrArray(item, id, isArray, &ApiItem::getInt2, &ApiItem::getInt2Array);
    case AttrKind::Int3: return ScalarOrArray(item, id, isArray, &ApiItem::getInt3, &ApiItem::getInt3Array);
    case AttrKind::Int4: return ScalarOrArray(item, id, isArray, &ApiItem::getInt4, &ApiItem::getInt4Array);
    case AttrKind::Float: return ScalarOrArray(item, id, isArray, &ApiItem::getFloat, &ApiItem::getFloatArray);
    case AttrKind::Float2: return ScalarOrArray(item, id, isArray, &ApiItem::getFloat2, &ApiItem::getFloat2Array);
    case AttrKind::Float3: return ScalarOrArray(item, id, isArray, &ApiItem::getFloat3, &ApiItem::getFloat3Array);
    case AttrKind::Float4: return ScalarOrArray(item, id, isArray, &ApiItem::getFloat4, &ApiItem::getFloat4Array);
    case AttrKind::String:
    case AttrKind::Filename:
        return ScalarOrArray(item, id, isArray, &ApiItem::getString, &ApiItem::getStringArray);
    case AttrKind::Byte: {
        // Bytes have an array reader only; a single byte is the one element it holds.
        const ApiArray<uint8_t> bytes = item.getByteArray(id);
        if (isArray) return ToRuby(bytes);
        return bytes.empty() ? Qnil : ToRuby(bytes[0]);
    }
    case AttrKind::Matrix: return ScalarOrArray(item, id, isArray, &ApiItem::getMatrix, &ApiItem::getMatrixArray);
    default: return Qnil;
    }
}

PinInput ParsePinInput(VALUE v) {
    PinInput input{};
    if (v == Qtrue || v == Qfalse) {
        input.kind = PinInput::Bool;
        input.boolValue = v == Qtrue;
    } else if (RB_INTEGER_TYPE_P(v)) {
        input.kind = PinInput::Int;
        input.ints[0] = NUM2INT(v);
    } else if (RB_FLOAT_TYPE_P(v)) {
        input.kind = PinInput::Float;
        input.floats[0] = static_cast<float>(RFLOAT_VALUE(v));
    } else if (RB_TYPE_P(v, T_STRING)) {
        input.kind = PinInput::String;
        input.text = StringValueCStr(v);
    } else if (RB_TYPE_P(v, T_ARRAY)) {
        ParseArray(v, input);
    } else {
        rb_raise(rb_eTypeError, "no pin takes a %s", rb_obj_classname(v));
    }
    return input;
}

bool ApplyPinInput(ApiNode& node, PinId id, const PinInput& in) {
    const int32_t* i = in.ints;
    const float* f = in.floats;
    switch (in.kind) {
    case PinInput::Bool: return node.setPinValue(id, in.boolValue);
    case PinInput::Int: return node.setPinValue(id, i[0]);
    case PinInput::Int2: return node.setPinValue(id, int32_2{i[0], i[1]});
    case PinInput::Int3: return node.setPinValue(id, int32_3{i[0], i[1], i[2]});
    case PinInput::Int4: return false;
    case PinInput::Float: return node.setPinValue(id, f[0]);
    case PinInput::Float2: return node.setPinValue(id, float_2{f[0], f[1]});
    case PinInput::Float3: return node.setPinValue(id, float_3{f[0], f[1], f[2]});
    case PinInput::Float4: return node.setPinValue(id, float_4{f[0], f[1], f[2], f[3]});
    case PinInput::Transform: {
        Matrix<float> m{};
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 4; ++column) m.m[row][column] = f[row * 4 + column];
        return node.setPinValue(id, m);
    }
    case PinInput::String: return node.setPinValue(id, in.text);
    }
    return false;
}

}  // namespace ZarnikProbe
