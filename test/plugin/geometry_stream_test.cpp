// The stream builder on its own: unit and axis conversion, merging, index checks.

#include <gtest/gtest.h>

#include <vector>

#include "sketchup/geometry_stream.h"
#include "sketchup/mesh_material_map.h"
#include "utils/matrix.h"

namespace Zarnik {
namespace {

struct Corner {
  float x, y, z;     // host inches
  float nx, ny, nz;  // host frame
  int surface;
};

void StreamCorners(GeometryStreamBuilder& builder, const std::vector<Corner>& corners) {
  for (const Corner& c : corners) {
    builder.AddVertex(c.x, c.y, c.z);
    builder.AddNormal(c.nx, c.ny, c.nz, c.surface);
  }
}

template <class Vector>
std::vector<int> Ints(const Vector& values) {
  return std::vector<int>(values.begin(), values.end());
}

std::vector<int> NormalIndices(GeometryStreamBuilder& builder, int count) {
  for (int k = 1; k <= count; ++k) EXPECT_TRUE(builder.AddNormalIndex(k));
  return Ints(builder.Stream().normal_indices);
}

TEST(GeometryStreamTest, MergesPositionsInEngineUnitsAndAxes) {
  GeometryStreamBuilder builder;
  builder.AddVertex(1, 2, 3);
  builder.AddVertex(1, 2, 3);
  ASSERT_EQ(builder.Stream().points.size(), 1u);
  EXPECT_EQ(builder.VertexCallCount(), 2u);
  const Vec3<float> p = builder.Stream().points[0];
  EXPECT_EQ(p.x, 1.0f / kInchesPerMeter);
  EXPECT_EQ(p.y, 3.0f / kInchesPerMeter);
  EXPECT_EQ(p.z, -2.0f / kInchesPerMeter);
  EXPECT_NEAR(p.x, 0.0254f, 1e-6f);
  EXPECT_TRUE(builder.AddVertexIndex(1));
  EXPECT_TRUE(builder.AddVertexIndex(2));
  EXPECT_EQ(Ints(builder.Stream().vertex_indices), (std::vector<int>{0, 0}));

  // Host y = 0 becomes engine z = -0, which stays apart from +0; a tiny host y merges
  // with the negative zero, a tiny negative one with the positive zero.
  builder.AddVertex(0, 0, 0);
  builder.AddVertex(0, -0.0f, 0);
  builder.AddVertex(0, 1e-7f, 0);
  builder.AddVertex(0, -1e-7f, 0);
  for (int k = 3; k <= 6; ++k) EXPECT_TRUE(builder.AddVertexIndex(k));
  EXPECT_EQ(Ints(builder.Stream().vertex_indices), (std::vector<int>{0, 0, 1, 2, 1, 2}));
  // Micrometre resolution: a quarter of a micrometre apart still merges.
  builder.AddVertex(10.0f, 0, 0);
  builder.AddVertex(10.0f + 1e-5f, 0, 0);
  EXPECT_EQ(builder.Stream().points.size(), 4u);
}

// Several batches, positions coming back from far behind and right after each other, a
// crease every so often: what memory kept from an earlier stream must not change.
struct Built {
  std::vector<Vec3<float>> points;
  std::vector<int> vertex_indices, normal_indices;
};

Built StreamGrid(GeometryStreamBuilder& builder) {
  const int corners = 9000;
  for (int k = 0; k < corners; ++k) {
    const int cell = (k * 7919) % 1500;
    builder.AddVertex(static_cast<float>(cell % 40), static_cast<float>(cell / 40), k % 3 == 0 ? 0.0f : -0.0f);
    builder.AddNormal(0, k % 97 == 0 ? 1.0f : 0.0f, k % 97 == 0 ? 0.0f : 1.0f, 1 + k % 2);
  }
  for (int k = 1; k <= corners; ++k) {
    EXPECT_TRUE(builder.AddVertexIndex(k));
    EXPECT_TRUE(builder.AddNormalIndex(k));
  }
  const GeometryStream& stream = builder.Stream();
  return Built{std::vector<Vec3<float>>(stream.points.begin(), stream.points.end()), Ints(stream.vertex_indices),
               Ints(stream.normal_indices)};
}

TEST(GeometryStreamTest, KeptOrReturnedMemoryBuildsTheSameStream) {
  GeometryStreamBuilder fresh;
  const Built expected = StreamGrid(fresh);
  ASSERT_LT(expected.points.size(), 2000u);  // corners merged
  GeometryStreamBuilder reused;
  StreamGrid(reused);
  for (std::size_t cap : {std::size_t{1} << 19, std::size_t{16}, std::size_t{1} << 19}) {
    reused.ReleaseMemoryAbove(cap);
    EXPECT_TRUE(reused.IsEmpty());
    const Built again = StreamGrid(reused);
    ASSERT_EQ(again.points.size(), expected.points.size());
    for (std::size_t i = 0; i < again.points.size(); ++i) {
      EXPECT_EQ(again.points[i].x, expected.points[i].x);
      EXPECT_EQ(again.points[i].y, expected.points[i].y);
      EXPECT_EQ(again.points[i].z, expected.points[i].z);
    }
    EXPECT_EQ(again.vertex_indices, expected.vertex_indices);
    EXPECT_EQ(again.normal_indices, expected.normal_indices);
  }
}

TEST(GeometryStreamTest, NormalsMergePerSurfaceAndSplitAtRightAngles) {
  GeometryStreamBuilder same;
  StreamCorners(same, {{0, 0, 0, 0, 0, 1, 5}, {0, 0, 0, 0, 0.5f, 0.866f, 5}});
  EXPECT_EQ(same.Stream().normals.size(), 1u);
  EXPECT_EQ(NormalIndices(same, 2), (std::vector<int>{0, 0}));

  GeometryStreamBuilder crease;
  StreamCorners(crease, {{0, 0, 0, 0, 0, 1, 5}, {0, 0, 0, 1, 0, 0, 5}, {0, 0, 0, 1, 0, 0, 6}});
  ASSERT_EQ(crease.Stream().normals.size(), 3u);
  // Stored in the engine frame, (x, z, -y), not normalised.
  EXPECT_EQ(crease.Stream().normals[0], (Vec3<float>{0, 1, -0.0f}));
  EXPECT_EQ(NormalIndices(crease, 3), (std::vector<int>{0, 1, 2}));

  // A third right-angled normal lands on the raised surface again and takes its place for
  // every corner that uses it, the earlier one included.
  GeometryStreamBuilder third;
  StreamCorners(third, {{0, 0, 0, 0, 0, 1, 5}, {0, 0, 0, 1, 0, 0, 5}, {0, 0, 0, 0, 1, 0, 5}});
  EXPECT_EQ(third.Stream().normals.size(), 3u);
  EXPECT_EQ(NormalIndices(third, 3), (std::vector<int>{0, 2, 2}));

  // Another position is another normal even on the same surface.
  GeometryStreamBuilder apart;
  StreamCorners(apart, {{0, 0, 0, 0, 0, 1, 5}, {1, 0, 0, 0, 0, 1, 5}});
  EXPECT_EQ(apart.Stream().normals.size(), 2u);
}

TEST(GeometryStreamTest, NormalIndexFollowsTheVertexItIsGiven) {
  // A normal index is looked up by the position of the vertex with that number and the
  // surface of the normal call with that number, even when the calls did not pair up.
  GeometryStreamBuilder builder;
  builder.AddVertex(0, 0, 0);
  builder.AddVertex(0, 0, 0);
  builder.AddNormal(0, 0, 1, 3);  // registered at the origin
  builder.AddVertex(1, 0, 0);
  builder.AddNormal(0, 0, 1, 3);  // registered at (1, 0, 0) as normal 1
  ASSERT_EQ(builder.Stream().normals.size(), 2u);
  // Number 2 names the second vertex, at the origin, with surface 3: normal 0.
  EXPECT_EQ(NormalIndices(builder, 2), (std::vector<int>{0, 0}));

  // A normal before the first vertex of a stream belongs to the previous stream's last
  // position; a vertex there later shares it.
  GeometryStreamBuilder next;
  next.AddVertex(4, 5, 6);
  next.Clear();
  next.AddNormal(0, 0, 1, 1);
  next.AddVertex(4, 5, 6);
  next.AddNormal(0, 0.1f, 1, 1);
  next.AddVertex(7, 5, 6);
  next.AddNormal(0, 0, 1, 1);
  EXPECT_EQ(next.Stream().normals.size(), 2u);
  EXPECT_EQ(NormalIndices(next, 2), (std::vector<int>{0, 1}));
}

TEST(GeometryStreamTest, OutOfRangeNumbersAreRefusedWithoutChange) {
  GeometryStreamBuilder builder;
  EXPECT_FALSE(builder.AddVertexIndex(1));  // nothing streamed yet
  StreamCorners(builder, {{0, 0, 0, 0, 0, 1, 1}, {1, 0, 0, 0, 0, 1, 1}});
  builder.AddVertex(2, 0, 0);  // a third vertex without its normal
  for (int bad : {0, -1, 4, 1 << 30, -2147483647 - 1}) {
    EXPECT_FALSE(builder.AddVertexIndex(bad)) << bad;
    EXPECT_FALSE(builder.AddNormalIndex(bad)) << bad;
  }
  EXPECT_FALSE(builder.AddNormalIndex(3));  // has a vertex but no normal
  EXPECT_TRUE(builder.Stream().vertex_indices.empty());
  EXPECT_TRUE(builder.Stream().normal_indices.empty());
  EXPECT_TRUE(builder.AddVertexIndex(3));
  EXPECT_TRUE(builder.AddNormalIndex(2));

  // Emptying the stream starts the numbering again.
  builder.Clear();
  EXPECT_FALSE(builder.AddVertexIndex(1));
  EXPECT_TRUE(builder.Stream().points.empty());
  builder.AddVertex(5, 5, 5);
  EXPECT_TRUE(builder.AddVertexIndex(1));
  EXPECT_EQ(Ints(builder.Stream().vertex_indices), (std::vector<int>{0}));
}

TEST(GeometryStreamTest, TextureCoordinatesAreDividedAndKeptInOrder) {
  GeometryStreamBuilder builder;
  builder.AddUvw(2, 4, 2);
  builder.AddUvw(2, 4, 2);
  EXPECT_EQ(builder.Stream().uvws.size(), 2u);
  EXPECT_EQ(builder.Stream().uvws[0], (Vec3<float>{1, 2, 1}));
  builder.AddUvwIndex(2);
  builder.AddUvwIndex(7);  // unchecked: texture numbers are the host's own
  EXPECT_EQ(Ints(builder.Stream().uvw_indices), (std::vector<int>{1, 6}));
}

// ---- Placement transforms --------------------------------------------------------------

Vec3<float> Apply(const Matrix<float>& m, const Vec3<float>& p) {
  return {m.m[0][0] * p.x + m.m[0][1] * p.y + m.m[0][2] * p.z + m.m[0][3],
          m.m[1][0] * p.x + m.m[1][1] * p.y + m.m[1][2] * p.z + m.m[1][3],
          m.m[2][0] * p.x + m.m[2][1] * p.y + m.m[2][2] * p.z + m.m[2][3]};
}

Vec3<float> HostToEngine(const Vec3<float>& p) { return {p.x, p.z, -p.y}; }

TEST(PlacementTransformTest, RowsOfTheEngineMatrix) {
  const Matrix<float> identity = MeshMaterialMap::ToEngineMatrix(Float4x4());
  EXPECT_TRUE(identity == Matrix<float>::identity());

  Float4x4 moved;
  moved[12] = 1;
  moved[13] = 2;
  moved[14] = 3;
  const Matrix<float> translation = MeshMaterialMap::ToEngineMatrix(moved);
  EXPECT_EQ(translation.m[0][3], 1.0f);
  EXPECT_EQ(translation.m[1][3], 3.0f);
  EXPECT_EQ(translation.m[2][3], -2.0f);

  Float4x4 tall;
  tall[10] = 2;  // scale 2 along host Z is scale 2 along engine Y
  const Matrix<float> scale = MeshMaterialMap::ToEngineMatrix(tall);
  EXPECT_EQ(scale.m[1][1], 2.0f);
  EXPECT_EQ(scale.m[0][0], 1.0f);
  EXPECT_EQ(scale.m[2][2], 1.0f);
}

TEST(PlacementTransformTest, CommutesWithTheAxisChange) {
  // Transforming in the host frame and then changing axes is the same as changing axes
  // and applying the engine matrix, for any affine transform.
  Float4x4 m;
  m.RotateZ(30).RotateX(-70).Scale(1.5f, 0.5f, 2.0f);
  m[12] = 0.3f;
  m[13] = -1.2f;
  m[14] = 2.5f;
  const Matrix<float> engine = MeshMaterialMap::ToEngineMatrix(m);
  for (const Vec3<float>& p : {Vec3<float>{1, 0, 0}, Vec3<float>{0, 1, 0}, Vec3<float>{0, 0, 1},
                               Vec3<float>{0.7f, -2.0f, 3.5f}}) {
    const Vec3<float> host{p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12], p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
                           p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
    const Vec3<float> expected = HostToEngine(host);
    const Vec3<float> actual = Apply(engine, HostToEngine(p));
    EXPECT_NEAR(actual.x, expected.x, 1e-5f);
    EXPECT_NEAR(actual.y, expected.y, 1e-5f);
    EXPECT_NEAR(actual.z, expected.z, 1e-5f);
  }
}

}  // namespace
}  // namespace Zarnik
