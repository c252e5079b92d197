// Attribute values of one item: typed storage, conversions between the value kinds that
// may stand for each other, and read-only views for the array getters.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "block_cache.h"
#include "zarnik.h"

namespace Zarnik {
namespace Engine {

// Families of value kinds: values convert freely inside a family (different widths, and
// bool <-> int), never across families.
enum class ValueFamily { None, Integer, Real, Text, Matrix, Bytes };

ValueFamily FamilyOf(AttributeType kind);
// Components per element for the integer and real kinds (bool counts as one integer).
uint32_t WidthOf(AttributeType kind);
// Bytes per stored element for every kind except the text kinds.
size_t ElementSize(AttributeType kind);

// How a caller-side value type maps onto the kinds.
template <typename T>
struct ValueTraits;

#define ZK_VALUE_TRAITS(T, FAMILY, WIDTH, KIND)                       \
    template <>                                                       \
    struct ValueTraits<T> {                                           \
        static constexpr ValueFamily family = ValueFamily::FAMILY;    \
        static constexpr uint32_t width = WIDTH;                      \
        static constexpr AttributeType kind = AttrKind::KIND;         \
    };
ZK_VALUE_TRAITS(bool, Integer, 1, Bool)
ZK_VALUE_TRAITS(int32_t, Integer, 1, Int)
ZK_VALUE_TRAITS(int32_2, Integer, 2, Int2)
ZK_VALUE_TRAITS(int32_3, Integer, 3, Int3)
ZK_VALUE_TRAITS(int32_4, Integer, 4, Int4)
ZK_VALUE_TRAITS(float, Real, 1, Float)
ZK_VALUE_TRAITS(float_2, Real, 2, Float2)
ZK_VALUE_TRAITS(float_3, Real, 3, Float3)
ZK_VALUE_TRAITS(float_4, Real, 4, Float4)
ZK_VALUE_TRAITS(Matrix<float>, Matrix, 1, Matrix)
ZK_VALUE_TRAITS(uint8_t, Bytes, 1, Byte)
#undef ZK_VALUE_TRAITS

// Up to four components of one element, in the element's own family.
struct Components {
    int32_t ints[4] = {0, 0, 0, 0};
    float reals[4] = {0, 0, 0, 0};
};

inline Components Split(bool v) { Components c; c.ints[0] = v ? 1 : 0; return c; }
inline Components Split(int32_t v) { Components c; c.ints[0] = v; return c; }
inline Components Split(int32_2 v) { Components c; c.ints[0] = v.x; c.ints[1] = v.y; return c; }
inline Components Split(int32_3 v) {
    Components c; c.ints[0] = v.x; c.ints[1] = v.y; c.ints[2] = v.z; return c;
}
inline Components Split(int32_4 v) {
    Components c; c.ints[0] = v.x; c.ints[1] = v.y; c.ints[2] = v.z; c.ints[3] = v.w; return c;
}
inline Components Split(float v) { Components c; c.reals[0] = v; return c; }
inline Components Split(float_2 v) { Components c; c.reals[0] = v.x; c.reals[1] = v.y; return c; }
inline Components Split(float_3 v) {
    Components c; c.reals[0] = v.x; c.reals[1] = v.y; c.reals[2] = v.z; return c;
}
inline Components Split(float_4 v) {
    Components c; c.reals[0] = v.x; c.reals[1] = v.y; c.reals[2] = v.z; c.reals[3] = v.w; return c;
}

template <typename T>
T Join(const Components& c);
template <> inline bool Join<bool>(const Components& c) { return c.ints[0] != 0; }
template <> inline int32_t Join<int32_t>(const Components& c) { return c.ints[0]; }
template <> inline int32_2 Join<int32_2>(const Components& c) { return {c.ints[0], c.ints[1]}; }
template <> inline int32_3 Join<int32_3>(const Components& c) { return {c.ints[0], c.ints[1], c.ints[2]}; }
template <> inline int32_4 Join<int32_4>(const Components& c) {
    return {c.ints[0], c.ints[1], c.ints[2], c.ints[3]};
}
template <> inline float Join<float>(const Components& c) { return c.reals[0]; }
template <> inline float_2 Join<float_2>(const Components& c) { return {c.reals[0], c.reals[1]}; }
template <> inline float_3 Join<float_3>(const Components& c) { return {c.reals[0], c.reals[1], c.reals[2]}; }
template <> inline float_4 Join<float_4>(const Components& c) {
    return {c.reals[0], c.reals[1], c.reals[2], c.reals[3]};
}

// A number that no value held before: every change of a value takes a fresh one, and copies
// keep it, so two values with the same stamp hold the same elements.
uint64_t NextStamp();

// One attribute's value. Scalars are arrays of one element; the text kinds keep their
// strings (and the pointer list handed out by the array getter) beside the raw bytes.
//
// The raw bytes are shared with copies of the value (node copies, render snapshots) and
// written only while no copy sees them; a change of a shared value goes to a fresh block.
// So the pointer the array getter handed out stays valid until the next change of this
// value or its destruction, as it would with storage of its own.
class AttrValue {
public:
    AttrValue() = default;
    explicit AttrValue(const ApiAttributeInfo& info);
    // A copy's pointer list must name its own strings: the copied list would still point
    // into the original, which copies of node trees outlive.
    AttrValue(const AttrValue& other);
    AttrValue& operator=(const AttrValue& other);
    // A moved list of strings keeps every string where it was, so the views stay valid.
    AttrValue(AttrValue&&) noexcept = default;
    AttrValue& operator=(AttrValue&&) noexcept = default;

    AttributeType kind() const { return mKind; }
    bool isArray() const { return mIsArray; }
    size_t count() const { return mCount; }

    // Replaces the value by count caller elements; false (nothing changed) when the
    // family does not fit. changed tells whether the stored value differs afterwards.
    template <typename T>
    bool assign(const T* values, size_t count, bool& changed);
    bool assignText(const char* const* values, size_t count, bool& changed);
    bool assignSame(const AttrValue& other, bool& changed);     // same kind only

    // Element i read into components; false when the family differs or i is out of range.
    bool components(size_t i, Components& out) const;
    const char* text(size_t i) const;
    bool matrix(size_t i, Matrix<float>& out) const;

    const void* rawData() const { return mRaw.data(); }
    // The bytes themselves, for a reader that keeps them beyond the engine's lock.
    const SharedBytes& bytes() const { return mRaw; }
    uint64_t stamp() const { return mStamp; }
    const char* const* textViews() const { return mViews.data(); }

private:
    void rebuildViews();

    AttributeType mKind = AttrKind::Unknown;
    bool mIsArray = false;
    size_t mCount = 0;
    uint64_t mStamp = 0;
    SharedBytes mRaw;
    std::vector<std::string> mTexts;
    std::vector<const char*> mViews;
};

// The default of an attribute description as components.
Components DefaultComponents(const ApiAttributeInfo& info);

// Writes one element of family Integer/Real into raw storage of the given kind.
void StoreComponents(AttributeType kind, const Components& c, unsigned char* out);
Components LoadComponents(AttributeType kind, const unsigned char* in);

template <typename T>
bool AttrValue::assign(const T* values, size_t count, bool& changed) {
    changed = false;
    const ValueFamily family = ValueTraits<T>::family;
    if (family != FamilyOf(mKind)) return false;
    if (count > 0 && !values) return false;
    if (!mIsArray && count != 1) {
        if (count == 0) return false;
        count = 1;     // a scalar takes the first element
    }
    const size_t elem = ElementSize(mKind);
    if (elem == 0 || count > (size_t(1) << 40) / elem) return false;
    const size_t bytes = count * elem;
    if constexpr (std::is_trivially_copyable_v<T>) {
        // The caller's type is the stored kind: its bytes are the value (mesh arrays take
        // this road, so it must not convert element by element).
        if (ValueTraits<T>::kind == mKind && mKind != AttrKind::Bool && sizeof(T) == elem) {
            changed = count != mCount || !mRaw.equals(values, bytes);
            if (!changed) return true;
            unsigned char* out = mRaw.writable(bytes);
            if (bytes > 0) std::memcpy(out, values, bytes);
            mCount = count;
            mStamp = NextStamp();
            return true;
        }
    }
    SharedBytes raw(bytes);
    unsigned char* out = raw.writable(bytes);
    for (size_t i = 0; i < count; ++i) {
        unsigned char* dst = out + i * elem;
        if constexpr (ValueTraits<T>::family == ValueFamily::Integer ||
                      ValueTraits<T>::family == ValueFamily::Real) {
            StoreComponents(mKind, Split(values[i]), dst);
        } else {
            std::memcpy(dst, &values[i], elem);
        }
    }
    changed = count != mCount || raw != mRaw;
    if (changed) {
        mRaw.swap(raw);
        mCount = count;
        mStamp = NextStamp();
    }
    return true;
}

}  // namespace Engine
}  // namespace Zarnik
