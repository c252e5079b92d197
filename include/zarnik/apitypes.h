// Value types and numbering shared by every part of the render-engine interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zarnik {

// Node types, pin ids, attribute ids and their kinds are plain 32-bit numbers.
// Their meaning is given by the engine's catalogue (ApiInfo).
typedef uint32_t NodeType;
typedef uint32_t NodeGraphType;
typedef uint32_t PinId;
typedef uint32_t AttributeId;
typedef uint32_t AttributeType;
typedef uint32_t NodePinType;
typedef int32_t RenderPriority;
typedef int32_t PreviewType;

// Value kinds of attributes (AttributeType).
namespace AttrKind {
enum : AttributeType {
    Unknown = 0,
    Bool = 1,
    Int = 2,
    Int2 = 3,
    Int3 = 4,
    Int4 = 5,
    Float = 6,
    Float2 = 7,
    Float3 = 8,
    Float4 = 9,
    String = 10,
    Filename = 11,
    Byte = 12,
    Matrix = 13,
};
}

// Kinds of pins (NodePinType). The value kinds 1 to 4, 16 and 23 are filled with
// pin-owned value nodes when a node's pins are configured.
namespace PinKind {
enum : NodePinType {
    Unknown = 0,
    Bool = 1,
    Float = 2,
    Int = 3,
    Transform = 4,
    Texture = 5,
    Emission = 6,
    Material = 7,
    Camera = 8,
    Environment = 9,
    Imager = 10,
    Kernel = 11,
    Geometry = 12,
    Medium = 13,
    Projection = 14,
    FilmSettings = 15,
    Enum = 16,
    Postprocessing = 17,
    RenderTarget = 18,
    Displacement = 19,
    String = 23,
};
}

// Graph kinds (NodeGraphType).
namespace GraphKind {
enum : NodeGraphType {
    Unknown = 0,
    Standard = 1,
    Root = 2,
};
}

template <typename T>
struct Vec2 {
    T x, y;
};
template <typename T>
struct Vec3 {
    T x, y, z;
};
template <typename T>
struct Vec4 {
    T x, y, z, w;
};

template <typename T>
inline bool operator==(const Vec2<T>& a, const Vec2<T>& b) { return a.x == b.x && a.y == b.y; }
template <typename T>
inline bool operator==(const Vec3<T>& a, const Vec3<T>& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
template <typename T>
inline bool operator==(const Vec4<T>& a, const Vec4<T>& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w;
}
template <typename T>
inline bool operator!=(const Vec2<T>& a, const Vec2<T>& b) { return !(a == b); }
template <typename T>
inline bool operator!=(const Vec3<T>& a, const Vec3<T>& b) { return !(a == b); }
template <typename T>
inline bool operator!=(const Vec4<T>& a, const Vec4<T>& b) { return !(a == b); }

typedef Vec2<int32_t> int32_2;
typedef Vec3<int32_t> int32_3;
typedef Vec4<int32_t> int32_4;
typedef Vec2<float> float_2;
typedef Vec3<float> float_3;
typedef Vec4<float> float_4;

// A 3 x 4 affine transform acting on column vectors: m[row][column], translation in column 3.
template <typename T>
struct Matrix {
    T m[3][4];

    static Matrix identity() {
        Matrix r{};
        r.m[0][0] = r.m[1][1] = r.m[2][2] = T(1);
        return r;
    }
};

template <typename T>
inline bool operator==(const Matrix<T>& a, const Matrix<T>& b) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (a.m[r][c] != b.m[r][c]) return false;
    return true;
}

// A read-only view of engine-owned elements (attribute arrays, catalogue lists).
// It stays valid until the owner changes or is destroyed.
template <typename T>
class ApiArray {
public:
    ApiArray() : mData(nullptr), mSize(0) {}
    ApiArray(const T* data, size_t size) : mData(data), mSize(size) {}
    const T* data() const { return mData; }
    size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    const T& operator[](size_t i) const { return mData[i]; }
    const T* begin() const { return mData; }
    const T* end() const { return mData + mSize; }

private:
    const T* mData;
    size_t mSize;
};

}  // namespace Zarnik
