#include "utils/matrix.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "zarnik.h"

namespace Zarnik {
namespace {

constexpr float kDegreesToRadians = 0.017453294f;
constexpr float kSingularDeterminant = 1e-5f;

// Determinant of the 3 x 3 matrix left when row `skip_row` and column `skip_column` are
// struck out.
float Minor(const float* m, int skip_row, int skip_column) {
  float e[9];
  int n = 0;
  for (int r = 0; r < 4; ++r) {
    if (r == skip_row) continue;
    for (int c = 0; c < 4; ++c) {
      if (c == skip_column) continue;
      e[n++] = m[r * 4 + c];
    }
  }
  return Float4x4::Cofactor(e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7], e[8]);
}

// Replaces rows a and b by (ca * row a + cb * row b) and (da * row a + db * row b), both
// computed from the rows as they were.
void MixRows(float* m, int a, int b, float ca, float cb, float da, float db) {
  for (int c = 0; c < 4; ++c) {
    const float row_a = m[a * 4 + c];
    const float row_b = m[b * 4 + c];
    m[a * 4 + c] = ca * row_a + cb * row_b;
    m[b * 4 + c] = da * row_a + db * row_b;
  }
}

// Truncates toward zero. Layout text can hold any number, and converting a float outside
// the int range (or a NaN) is undefined, so those are pinned to the nearest int first.
int ToInt(float value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483648.0f) return INT_MAX;
  if (value <= -2147483648.0f) return INT_MIN;
  return static_cast<int>(value);
}

bool IsNumberCharacter(char c) { return c != '\0' && std::strchr("0123456789Ee.+-", c) != nullptr; }

}  // namespace

Float4x4::Float4x4() : m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1} {}

Float4x4::Float4x4(const float (&elements)[16]) { std::memcpy(m, elements, sizeof m); }

Float4x4 Float4x4::operator*(const Float4x4& b) const {
  Float4x4 product;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      float sum = 0.0f;
      for (int k = 0; k < 4; ++k) sum += at(r, k) * b.at(k, c);
      product.at(r, c) = sum;
    }
  }
  return product;
}

Float4x4& Float4x4::Transpose() {
  for (int r = 0; r < 4; ++r) {
    for (int c = r + 1; c < 4; ++c) std::swap(m[r * 4 + c], m[c * 4 + r]);
  }
  return *this;
}

float Float4x4::Cofactor(float a, float b, float c, float d, float e, float f, float g, float h, float i) {
  return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

float Float4x4::GetDeterminant() const {
  return m[0] * Minor(m, 0, 0) - m[1] * Minor(m, 0, 1) + m[2] * Minor(m, 0, 2) - m[3] * Minor(m, 0, 3);
}

Float4x4& Float4x4::Invert() {
  const float determinant = GetDeterminant();
  if (std::fabs(determinant) <= kSingularDeterminant) {
    *this = Float4x4();
    return *this;
  }
  Float4x4 inverse;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      const float sign = ((r + c) % 2 == 0) ? 1.0f : -1.0f;
      // The adjugate is the transposed cofactor matrix.
      inverse.at(c, r) = sign * Minor(m, r, c) / determinant;
    }
  }
  *this = inverse;
  return *this;
}

Float4x4& Float4x4::SwapYZ() {
  const Float4x4 axes({1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1});
  Float4x4 axes_transposed = axes;
  axes_transposed.Transpose();
  *this = axes * *this * axes_transposed;
  return *this;
}

Float4x4& Float4x4::InchesToMeters() {
  for (int k = 12; k < 15; ++k) m[k] /= kInchesPerMeter;
  return *this;
}

Float4x4& Float4x4::MetersToInches() {
  for (int k = 12; k < 15; ++k) m[k] *= kInchesPerMeter;
  return *this;
}

Float4x4& Float4x4::Translate(float tx, float ty, float tz) {
  const float t[3] = {tx, ty, tz};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) at(r, c) += t[r] * at(3, c);
  }
  return *this;
}

Float4x4& Float4x4::Scale(float s) { return Scale(s, s, s); }

Float4x4& Float4x4::Scale(float sx, float sy, float sz) {
  const float s[3] = {sx, sy, sz};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) at(r, c) *= s[r];
  }
  return *this;
}

Float4x4& Float4x4::Rotate(float angle, float x, float y, float z) {
  const float radians = angle * kDegreesToRadians;
  const float c = std::cos(radians);
  const float s = std::sin(radians);
  const float t = 1.0f - c;
  const Float4x4 rotation({x * x * t + c, x * y * t - z * s, x * z * t + y * s, 0,  //
                           x * y * t + z * s, y * y * t + c, y * z * t - x * s, 0,  //
                           x * z * t - y * s, y * z * t + x * s, z * z * t + c, 0,  //
                           0, 0, 0, 1});
  *this = rotation * *this;
  return *this;
}

Float4x4& Float4x4::RotateX(float angle) {
  const float radians = angle * kDegreesToRadians;
  const float c = std::cos(radians);
  const float s = std::sin(radians);
  MixRows(m, 1, 2, c, -s, s, c);
  return *this;
}

Float4x4& Float4x4::RotateY(float angle) {
  const float radians = angle * kDegreesToRadians;
  const float c = std::cos(radians);
  const float s = std::sin(radians);
  MixRows(m, 0, 2, c, s, -s, c);
  return *this;
}

Float4x4& Float4x4::RotateZ(float angle) {
  const float radians = angle * kDegreesToRadians;
  const float c = std::cos(radians);
  const float s = std::sin(radians);
  MixRows(m, 0, 1, c, -s, s, c);
  return *this;
}

bool operator==(const Float4x4& a, const Float4x4& b) {
  for (int k = 0; k < 16; ++k) {
    if (a.m[k] != b.m[k]) return false;
  }
  return true;
}

Box::Box(const std::string& text) {
  float values[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  int taken = 0;
  std::size_t pos = 0;
  while (pos < text.size() && taken < 4) {
    std::size_t start = pos;
    while (start < text.size() && !IsNumberCharacter(text[start])) ++start;
    if (start == text.size()) break;
    std::size_t end = start;
    while (end < text.size() && IsNumberCharacter(text[end])) ++end;
    // strtof reads from the start and stops where the number ends, whatever follows.
    values[taken++] = std::strtof(text.c_str() + start, nullptr);
    pos = end;
  }
  x = values[0];
  y = values[1];
  width = values[2];
  height = values[3];
}

std::string Box::Str() const {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "{%g,%g,%g,%g}", static_cast<double>(x), static_cast<double>(y),
                static_cast<double>(width), static_cast<double>(height));
  return buffer;
}

bool operator==(const Box& a, const Box& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

Box GetExtent(ApiGuiComponent* component) {
  if (component == nullptr) return Box();
  return Box(static_cast<float>(component->xPosition()), static_cast<float>(component->yPosition()),
             static_cast<float>(component->width()), static_cast<float>(component->height()));
}

void SetExtent(ApiGuiComponent* component, const Box& box) {
  if (component == nullptr) return;
  component->setTopLeftPosition(ToInt(box.x), ToInt(box.y));
  component->setSize(ToInt(box.width), ToInt(box.height));
}

Box GetExtent(ApiNodeGraph* graph) {
  if (graph == nullptr) return Box();
  ApiItemArray items;
  graph->getOwnedItems(items);
  if (items.empty()) return Box();
  float min_x = FLT_MAX, min_y = FLT_MAX;
  float max_x = -FLT_MAX, max_y = -FLT_MAX;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] == nullptr) continue;
    const float_2 position = items[i]->position();
    if (position.x < min_x) min_x = position.x;
    if (position.y < min_y) min_y = position.y;
    if (position.x > max_x) max_x = position.x;
    if (position.y > max_y) max_y = position.y;
  }
  if (min_x > max_x || min_y > max_y) return Box();
  return Box(min_x, min_y, max_x - min_x, max_y - min_y);
}

}  // namespace Zarnik
