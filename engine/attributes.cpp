#include "attributes.h"

#include <atomic>

namespace Zarnik {
namespace Engine {

uint64_t NextStamp() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

ValueFamily FamilyOf(AttributeType kind) {
    switch (kind) {
    case AttrKind::Bool:
    case AttrKind::Int:
    case AttrKind::Int2:
    case AttrKind::Int3:
    case AttrKind::Int4:
        return ValueFamily::Integer;
    case AttrKind::Float:
    case AttrKind::Float2:
    case AttrKind::Float3:
    case AttrKind::Float4:
        return ValueFamily::Real;
    case AttrKind::String:
    case AttrKind::Filename:
        return ValueFamily::Text;
    case AttrKind::Matrix:
        return ValueFamily::Matrix;
    case AttrKind::Byte:
        return ValueFamily::Bytes;
    default:
        return ValueFamily::None;
    }
}

uint32_t WidthOf(AttributeType kind) {
    switch (kind) {
    case AttrKind::Bool:
    case AttrKind::Int:
    case AttrKind::Float:
        return 1;
    case AttrKind::Int2:
    case AttrKind::Float2:
        return 2;
    case AttrKind::Int3:
    case AttrKind::Float3:
        return 3;
    case AttrKind::Int4:
    case AttrKind::Float4:
        return 4;
    default:
        return 0;
    }
}

size_t ElementSize(AttributeType kind) {
    switch (kind) {
    case AttrKind::Bool:
        return sizeof(bool);
    case AttrKind::Byte:
        return 1;
    case AttrKind::Matrix:
        return sizeof(Matrix<float>);
    default:
        break;
    }
    const ValueFamily family = FamilyOf(kind);
    if (family == ValueFamily::Integer) return WidthOf(kind) * sizeof(int32_t);
    if (family == ValueFamily::Real) return WidthOf(kind) * sizeof(float);
    return 0;
}

void StoreComponents(AttributeType kind, const Components& c, unsigned char* out) {
    if (kind == AttrKind::Bool) {
        const bool v = c.ints[0] != 0;
        std::memcpy(out, &v, sizeof v);
    } else if (FamilyOf(kind) == ValueFamily::Integer) {
        std::memcpy(out, c.ints, WidthOf(kind) * sizeof(int32_t));
    } else if (FamilyOf(kind) == ValueFamily::Real) {
        std::memcpy(out, c.reals, WidthOf(kind) * sizeof(float));
    }
}

Components LoadComponents(AttributeType kind, const unsigned char* in) {
    Components c;
    if (kind == AttrKind::Bool) {
        bool v;
        std::memcpy(&v, in, sizeof v);
        c.ints[0] = v ? 1 : 0;
    } else if (FamilyOf(kind) == ValueFamily::Integer) {
        std::memcpy(c.ints, in, WidthOf(kind) * sizeof(int32_t));
    } else if (FamilyOf(kind) == ValueFamily::Real) {
        std::memcpy(c.reals, in, WidthOf(kind) * sizeof(float));
    }
    return c;
}

Components DefaultComponents(const ApiAttributeInfo& info) {
    Components c;
    const uint32_t width = WidthOf(info.type);
    for (uint32_t i = 0; i < width && i < 4; ++i) {
        c.ints[i] = info.defaultInts[i];
        c.reals[i] = info.defaultFloats[i];
    }
    if (info.type == AttrKind::Bool) c.ints[0] = info.defaultInts[0] != 0 ? 1 : 0;
    return c;
}

AttrValue::AttrValue(const ApiAttributeInfo& info) : mKind(info.type), mIsArray(info.isArray), mStamp(NextStamp()) {
    // Arrays start empty; scalars hold the described default.
    if (mIsArray) return;
    switch (FamilyOf(mKind)) {
    case ValueFamily::Integer:
    case ValueFamily::Real:
        StoreComponents(mKind, DefaultComponents(info), mRaw.writable(ElementSize(mKind)));
        mCount = 1;
        break;
    case ValueFamily::Text:
        mTexts.emplace_back(info.defaultString ? info.defaultString : "");
        mCount = 1;
        rebuildViews();
        break;
    case ValueFamily::Matrix: {
        // The description's first three float components are the diagonal (1, 1, 1 for
        // an identity default); everything else is zero.
        Matrix<float> m{};
        for (int i = 0; i < 3; ++i) m.m[i][i] = info.defaultFloats[i];
        std::memcpy(mRaw.writable(sizeof m), &m, sizeof m);
        mCount = 1;
        break;
    }
    case ValueFamily::Bytes:
        *mRaw.writable(1) = static_cast<unsigned char>(info.defaultInts[0]);
        mCount = 1;
        break;
    default:
        break;
    }
}

AttrValue::AttrValue(const AttrValue& other)
    : mKind(other.mKind),
      mIsArray(other.mIsArray),
      mCount(other.mCount),
      mStamp(other.mStamp),
      mRaw(other.mRaw),
      mTexts(other.mTexts) {
    rebuildViews();
}

AttrValue& AttrValue::operator=(const AttrValue& other) {
    if (this == &other) return *this;
    AttrValue copy(other);
    *this = std::move(copy);
    return *this;
}

void AttrValue::rebuildViews() {
    mViews.clear();
    mViews.reserve(mTexts.size());
    for (const std::string& s : mTexts) mViews.push_back(s.c_str());
}

bool AttrValue::assignText(const char* const* values, size_t count, bool& changed) {
    changed = false;
    if (FamilyOf(mKind) != ValueFamily::Text) return false;
    if (count > 0 && !values) return false;
    if (!mIsArray && count != 1) {
        if (count == 0) return false;
        count = 1;
    }
    std::vector<std::string> texts;
    texts.reserve(count);
    for (size_t i = 0; i < count; ++i) texts.emplace_back(values[i] ? values[i] : "");
    changed = texts != mTexts;
    if (changed) {
        mTexts.swap(texts);
        mCount = count;
        mStamp = NextStamp();
        rebuildViews();
    }
    return true;
}

bool AttrValue::assignSame(const AttrValue& other, bool& changed) {
    changed = false;
    if (other.mKind != mKind) return false;
    changed = other.mRaw != mRaw || other.mTexts != mTexts || other.mCount != mCount;
    if (changed) {
        mRaw = other.mRaw;
        mTexts = other.mTexts;
        mCount = other.mCount;
        mStamp = other.mStamp;
        rebuildViews();
    }
    return true;
}

bool AttrValue::components(size_t i, Components& out) const {
    const ValueFamily family = FamilyOf(mKind);
    if (family != ValueFamily::Integer && family != ValueFamily::Real) return false;
    if (i >= mCount) return false;
    out = LoadComponents(mKind, mRaw.data() + i * ElementSize(mKind));
    return true;
}

const char* AttrValue::text(size_t i) const {
    if (FamilyOf(mKind) != ValueFamily::Text || i >= mTexts.size()) return nullptr;
    return mTexts[i].c_str();
}

bool AttrValue::matrix(size_t i, Matrix<float>& out) const {
    if (mKind != AttrKind::Matrix || i >= mCount) return false;
    std::memcpy(&out, mRaw.data() + i * sizeof(Matrix<float>), sizeof out);
    return true;
}

}  // namespace Engine
}  // namespace Zarnik
