#include "utils/matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "zarnik.h"

namespace Zarnik {
namespace {

Float4x4 Diagonal(float a, float b, float c, float d) {
  return Float4x4({a, 0, 0, 0, 0, b, 0, 0, 0, 0, c, 0, 0, 0, 0, d});
}

// A transform with rotation, non-uniform scale, shear and translation all present.
const Float4x4 kGeneral({2.0f, 0.5f, -1.0f, 0.0f, 0.25f, 3.0f, 0.75f, 0.0f, -0.5f, 1.0f, 1.5f, 0.0f, 10.0f, -20.0f,
                         30.0f, 1.0f});

void ExpectNear(const Float4x4& actual, const Float4x4& expected, float tolerance) {
  for (int k = 0; k < 16; ++k) EXPECT_NEAR(actual[k], expected[k], tolerance) << "element " << k;
}

// p * M for a point with w = 1, the way the host's transforms act.
Vec3<float> Apply(const Float4x4& m, Vec3<float> p) {
  float out[3];
  for (int c = 0; c < 3; ++c) out[c] = p.x * m.at(0, c) + p.y * m.at(1, c) + p.z * m.at(2, c) + m.at(3, c);
  return {out[0], out[1], out[2]};
}

TEST(Float4x4Test, ProductComposesLeftFirst) {
  Float4x4 translate;
  translate[12] = 1;
  translate[13] = 2;
  translate[14] = 3;
  EXPECT_EQ(kGeneral * Float4x4(), kGeneral);
  EXPECT_EQ(Apply(Diagonal(2, 2, 2, 1) * translate, {1, 1, 1}), (Vec3<float>{3, 4, 5}));
  EXPECT_EQ(Apply(translate * Diagonal(2, 2, 2, 1), {1, 1, 1}), (Vec3<float>{4, 6, 8}));
}

TEST(Float4x4Test, DeterminantAndInverse) {
  EXPECT_FLOAT_EQ(Diagonal(2, 3, 4, 5).GetDeterminant(), 120.0f);
  EXPECT_FLOAT_EQ(Float4x4({0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}).GetDeterminant(), -1.0f);
  EXPECT_FLOAT_EQ(Float4x4::Cofactor(1, 2, 3, 4, 5, 6, 7, 8, 10), -3.0f);
  // Both an affine transform and a full matrix (last column used) exercise every cofactor sign.
  for (const Float4x4& m : {kGeneral, Float4x4({4, 7, 2, 3, 0, 5, 1, 8, 6, 2, 9, 1, 3, 3, 4, 7})}) {
    Float4x4 inverse = m;
    inverse.Invert();
    ExpectNear(m * inverse, Float4x4(), 1e-5f);
    ExpectNear(inverse * m, Float4x4(), 1e-5f);
  }

  // Nearly singular matrices become the identity instead of a huge inverse.
  Float4x4 tiny = Diagonal(1e-6f, 1, 1, 1);
  tiny[12] = 5;
  EXPECT_EQ(tiny.Invert(), Float4x4());
  Float4x4 singular = kGeneral;
  for (int c = 0; c < 4; ++c) singular.at(1, c) = 2 * singular.at(0, c);
  EXPECT_EQ(singular.Invert(), Float4x4());
  Float4x4 small = Diagonal(2e-5f, 1, 1, 1);
  small.Invert();
  EXPECT_NEAR(small[0], 50000.0f, 1.0f);
}

TEST(Float4x4Test, SwapYZAgreesWithConvertingPoints) {
  Float4x4 translation;
  translation[12] = 1;
  translation[13] = 2;
  translation[14] = 3;
  translation.SwapYZ();
  EXPECT_EQ(Apply(translation, {0, 0, 0}), (Vec3<float>{1, 3, -2}));

  // Transforming in the host frame and then converting equals converting first and then
  // transforming by the swapped matrix.
  auto to_engine = [](Vec3<float> p) { return Vec3<float>{p.x, p.z, -p.y}; };
  Float4x4 swapped = kGeneral;
  swapped.SwapYZ();
  const Vec3<float> p = {1.5f, -2.0f, 4.0f};
  const Vec3<float> expected = to_engine(Apply(kGeneral, p));
  const Vec3<float> actual = Apply(swapped, to_engine(p));
  EXPECT_NEAR(actual.x, expected.x, 1e-4f);
  EXPECT_NEAR(actual.y, expected.y, 1e-4f);
  EXPECT_NEAR(actual.z, expected.z, 1e-4f);
}

TEST(Float4x4Test, UnitConversionTouchesOnlyTheTranslation) {
  Float4x4 m = Diagonal(2, 2, 2, 1);
  m[12] = 39.3701f;
  m[14] = -78.7402f;
  m.InchesToMeters();
  EXPECT_FLOAT_EQ(m[12], 1.0f);
  EXPECT_EQ(m[13], 0.0f);
  EXPECT_FLOAT_EQ(m[14], -2.0f);
  m[12] = m[13] = m[14] = 0;
  EXPECT_EQ(m, Diagonal(2, 2, 2, 1));
  Float4x4 inch;
  inch[12] = 1.0f;
  EXPECT_EQ(inch.InchesToMeters()[12], 1.0f / 39.3701f);  // not 0.0254
  EXPECT_FLOAT_EQ(inch.MetersToInches()[12], 1.0f);
}

TEST(Float4x4Test, AxisRotationsAreTheGeneralRotationInDegrees) {
  const float axes[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (int axis = 0; axis < 3; ++axis) {
    Float4x4 general = kGeneral;
    general.Rotate(37.0f, axes[axis][0], axes[axis][1], axes[axis][2]);
    Float4x4 specific = kGeneral;
    axis == 0 ? specific.RotateX(37.0f) : axis == 1 ? specific.RotateY(37.0f) : specific.RotateZ(37.0f);
    ExpectNear(specific, general, 1e-5f);
  }
  Float4x4 quarter;
  quarter.RotateZ(90.0f);
  EXPECT_NEAR(quarter[1], -1.0f, 1e-6f);
  EXPECT_NEAR(quarter[4], 1.0f, 1e-6f);
}

TEST(BoxTest, ParsesNumbersOutOfText) {
  const Box parsed("{1.5e2,-3,+4,5,6}");
  EXPECT_EQ(parsed, Box(150, -3, 4, 5));
  EXPECT_EQ(parsed.Str(), "{150,-3,4,5}");
  EXPECT_EQ(Box(Box(0.5f, -1e-3f, 1e7f, 2.25f).Str()), Box(0.5f, -1e-3f, 1e7f, 2.25f));
  EXPECT_EQ(Box("1 and 2"), Box(1, 2, 0, 0));
  EXPECT_EQ(Box("x=10; y=20 w:30/h:40 px"), Box(10, 20, 30, 40));
  EXPECT_EQ(Box(""), Box());
  EXPECT_EQ(Box("{}-"), Box());
}

// ---- Extents of window parts and graphs ---------------------------------------------------

class ExtentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { started_ = apiMode_Shared_start("ZARNIKSU", false, nullptr, nullptr, nullptr); }
  static void TearDownTestSuite() {
    if (started_) apiMode_Shared_exit(nullptr);
  }
  void SetUp() override { ASSERT_TRUE(started_); }
  static bool started_;
};
bool ExtentTest::started_ = false;

TEST_F(ExtentTest, GraphExtentBoundsItsItems) {
  EXPECT_EQ(GetExtent(static_cast<ApiNodeGraph*>(nullptr)), Box());
  ApiNodeGraph* graph = ApiNodeGraph::create(GraphKind::Standard, ApiProjectManager::rootNodeGraph());
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(GetExtent(graph), Box());
  auto add_node_at = [graph](float x, float y) {
    ApiNode* node = ApiNode::create(17, *graph, false);
    ASSERT_NE(node, nullptr);
    node->setPosition({x, y});
  };
  add_node_at(5, 7);
  EXPECT_EQ(GetExtent(graph), Box(5, 7, 0, 0));
  add_node_at(-3, 20);
  add_node_at(8, -1);
  EXPECT_EQ(GetExtent(graph), Box(-3, -1, 11, 21));
  graph->destroy();
}

TEST_F(ExtentTest, WindowExtentTruncatesAndHoldsOutOfRangeValues) {
  EXPECT_EQ(GetExtent(static_cast<ApiGuiComponent*>(nullptr)), Box());
  SetExtent(nullptr, Box(1, 2, 3, 4));
  ApiMainWindow* window = ApiMainWindow::fetchOrCreateInstance(nullptr, nullptr);
  if (window == nullptr) GTEST_SKIP() << "the engine makes no window in this mode";
  SetExtent(window, Box(10.9f, -20.9f, 640.5f, 480.0f));
  EXPECT_EQ(GetExtent(window), Box(10, -20, 640, 480));
  // Stored layout text can hold anything; the conversion must stay defined.
  SetExtent(window, Box(std::numeric_limits<float>::quiet_NaN(), 1e30f, 100, 100));
  EXPECT_EQ(GetExtent(window).x, 0.0f);
  EXPECT_GT(GetExtent(window).y, 0.0f) << "a huge value must not wrap around to a negative one";
}

}  // namespace
}  // namespace Zarnik
