#pragma once

// Transform and rectangle value types shared by the scene, the window and the sandbox.
//
// Units and axes: the host measures in inches with Z up, the render engine in metres with
// Y up. Lengths are divided by kInchesPerMeter (the single-precision 39.3701, which is
// not quite 1 / 0.0254), and a host point (x, y, z) is (x, z, -y) in the engine's frame.

#include <string>

namespace Zarnik {

class ApiGuiComponent;
class ApiNodeGraph;

constexpr float kInchesPerMeter = 39.3701f;

// A 4 x 4 single-precision transform stored row by row (element k is row k / 4, column
// k % 4). It acts on row vectors, p' = p * M, so the translation sits in elements 12 to 14:
// exactly the order of the host's 16-number transformation arrays.
class Float4x4 {
 public:
  Float4x4();  // identity
  explicit Float4x4(const float (&elements)[16]);

  float& operator[](int k) { return m[k]; }
  float operator[](int k) const { return m[k]; }
  float& at(int row, int column) { return m[row * 4 + column]; }
  float at(int row, int column) const { return m[row * 4 + column]; }

  // this * b, ordinary row-by-column product.
  Float4x4 operator*(const Float4x4& b) const;

  // The operations below change the matrix in place and return it.
  Float4x4& Transpose();
  // Inverse by cofactors; a matrix whose determinant is at most 1e-5 in magnitude becomes
  // the identity rather than an inverse made of huge, meaningless numbers.
  Float4x4& Invert();
  // Re-expresses a host-frame transform in the engine frame: M <- A * M * transpose(A),
  // A mapping (x, y, z) to (x, z, -y).
  Float4x4& SwapYZ();
  // Divide or multiply the translation by kInchesPerMeter; rotation and scale stay.
  Float4x4& InchesToMeters();
  Float4x4& MetersToInches();
  // M <- T * M with T translating by (tx, ty, tz) in its last column.
  Float4x4& Translate(float tx, float ty, float tz);
  // Rows 0 to 2 multiplied by the factors.
  Float4x4& Scale(float s);
  Float4x4& Scale(float sx, float sy, float sz);
  // M <- R * M, R the rotation by `angle` degrees about the (not normalised) axis.
  Float4x4& Rotate(float angle, float x, float y, float z);
  Float4x4& RotateX(float angle);
  Float4x4& RotateY(float angle);
  Float4x4& RotateZ(float angle);

  float GetDeterminant() const;
  static float Cofactor(float a, float b, float c, float d, float e, float f, float g, float h, float i);

  float m[16];
};

bool operator==(const Float4x4& a, const Float4x4& b);
inline bool operator!=(const Float4x4& a, const Float4x4& b) { return !(a == b); }

// A rectangle: top-left corner and size. Text form "{x,y,width,height}" with %g numbers.
struct Box {
  Box() = default;
  Box(float x_, float y_, float width_, float height_) : x(x_), y(y_), width(width_), height(height_) {}
  // Takes the first four numbers found in `text`, in order; missing ones are 0. Any
  // character outside "0123456789Ee.+-" separates numbers, so the braces of Str() and
  // stray words are simply skipped.
  explicit Box(const std::string& text);

  std::string Str() const;

  float x = 0.0f;
  float y = 0.0f;
  float width = 0.0f;
  float height = 0.0f;
};

bool operator==(const Box& a, const Box& b);
inline bool operator!=(const Box& a, const Box& b) { return !(a == b); }

// Position and size of a window part; all zeros for null.
Box GetExtent(ApiGuiComponent* component);
// Moves, then resizes; values are truncated toward zero and held inside the int range
// (a NaN counts as 0). Null is ignored.
void SetExtent(ApiGuiComponent* component, const Box& box);
// Bounding rectangle of the positions of the graph's own items; all zeros for a null or
// empty graph.
Box GetExtent(ApiNodeGraph* graph);

}  // namespace Zarnik
