// The stream builder against a plain model of the stream: positions keyed by their
// six-decimal text in ordered maps, every call handled the moment it arrives. Random call
// sequences (merges, creases, calls out of pairing, indices between corners, runs longer
// than one merge batch, streams emptied half-way) must give the same record, bit for bit,
// and the same answers, however the calls are batched and wherever the batches are merged.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sketchup/geometry_stream.h"
#include "utils/matrix.h"

namespace Zarnik {
namespace {

class ModelStream {
 public:
  void AddVertex(float x, float y, float z) {
    const Vec3<float> p{x / kInchesPerMeter, z / kInchesPerMeter, -y / kInchesPerMeter};
    vertices_.push_back(p);
    last_vertex_ = p;
    const std::string key = KeyOf(p);
    if (vertices_map_.count(key) == 0) {
      vertices_map_[key] = static_cast<int>(points.size());
      points.push_back(p);
    }
  }

  void AddNormal(float nx, float ny, float nz, int surface) {
    const Vec3<float> n{nx, nz, -ny};
    std::string key = KeyOf(last_vertex_) + std::to_string(surface);
    const auto found = normals_map_.find(key);
    if (found == normals_map_.end()) {
      normals_map_[key] = static_cast<int>(normals.size());
      normals.push_back(n);
    } else {
      const Vec3<float>& m = normals[static_cast<std::size_t>(found->second)];
      const float d = std::fabs(m.x * n.x + m.y * n.y + m.z * n.z);
      if (!(d > 0.01f)) {
        surface = static_cast<int>(static_cast<unsigned>(surface) + 100000u);
        key = KeyOf(last_vertex_) + std::to_string(surface);
        normals_map_[key] = static_cast<int>(normals.size());
        normals.push_back(n);
      }
    }
    surface_ids_.push_back(surface);
  }

  bool AddVertexIndex(int number) {
    if (number < 1 || static_cast<std::size_t>(number) > vertices_.size()) return false;
    vertex_indices.push_back(Lookup(vertices_map_, KeyOf(vertices_[number - 1])));
    return true;
  }

  bool AddNormalIndex(int number) {
    if (number < 1 || static_cast<std::size_t>(number) > vertices_.size() ||
        static_cast<std::size_t>(number) > surface_ids_.size()) {
      return false;
    }
    normal_indices.push_back(
        Lookup(normals_map_, KeyOf(vertices_[number - 1]) + std::to_string(surface_ids_[number - 1])));
    return true;
  }

  void Clear() {
    points.clear();
    normals.clear();
    vertex_indices.clear();
    normal_indices.clear();
    vertices_.clear();
    surface_ids_.clear();
    vertices_map_.clear();
    normals_map_.clear();
  }

  std::vector<Vec3<float>> points;
  std::vector<Vec3<float>> normals;
  std::vector<int> vertex_indices;
  std::vector<int> normal_indices;

 private:
  static std::string KeyOf(const Vec3<float>& p) {
    return std::to_string(p.x) + std::to_string(p.y) + std::to_string(p.z);
  }
  // A missing key reads as the first entry and is not added.
  static int Lookup(const std::map<std::string, int>& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? 0 : found->second;
  }

  std::vector<Vec3<float>> vertices_;
  Vec3<float> last_vertex_{0, 0, 0};
  std::vector<int> surface_ids_;
  std::map<std::string, int> vertices_map_;
  std::map<std::string, int> normals_map_;
};

bool SameBits(const std::vector<Vec3<float>>& model, const LargeVector<Vec3<float>>& built) {
  return model.size() == built.size() &&
         (model.empty() || std::memcmp(model.data(), built.data(), model.size() * sizeof(Vec3<float>)) == 0);
}

// Coordinates that merge and part in the interesting ways: ties at six decimals, signed
// zeros, values that round to zero, large and non-finite ones.
const std::vector<float>& Coordinates() {
  static const std::vector<float> values = {0.0f,         -0.0f,        1.0f,     -1.0f,    39.3701f,
                                            3.0f / 128.0f, 5.0f / 128.0f, 1e-9f,  -1e-9f,   1e-5f,
                                            -3.9e-5f,     1e9f,         -2.5e10f, 12.5f,    12.500001f,
                                            std::nanf(""), -std::nanf("1"), INFINITY, -INFINITY};
  return values;
}

struct Directions {
  float x, y, z;
};

const std::vector<Directions>& Normals() {
  // Includes pairs at right angles, which split a surface.
  static const std::vector<Directions> values = {{0, 0, 1}, {0, 0, 2}, {1, 0, 0},    {0, 1, 0},
                                                 {0, 0, -1}, {0.6f, 0, 0.8f}, {0, 0, 0}, {0.001f, 1, 0}};
  return values;
}

TEST(GeometryStreamModelTest, RandomCallSequencesBuildTheModelsRecord) {
  std::mt19937 random(20261208);
  // The builder as it ships, then with batches so small that almost every run of calls
  // spans several, merged on its thread or on the caller's: the record may not tell.
  struct Batching {
    std::size_t batch;
    bool merge_thread;
  };
  const Batching batchings[] = {{GeometryStreamBuilder().BatchSize(), true}, {3, true}, {64, true}, {3, false}};
  for (int round = 0; round < 60; ++round) {
    const Batching& batching = batchings[round / 15];
    GeometryStreamBuilder builder(batching.batch, batching.merge_thread);
    ModelStream model;
    // Small pools make merges frequent; round by round they grow, and so do the streams,
    // past the builder's merge batch.
    const int pool = 2 + round % 7;
    std::vector<Vec3<float>> positions;
    for (int i = 0; i < pool * 3; ++i) {
      const auto pick = [&] { return Coordinates()[random() % Coordinates().size()]; };
      positions.push_back(Vec3<float>{pick(), pick(), pick()});
    }
    const int calls = 200 + (round % 4) * 1500;
    int vertex_calls = 0;
    int normal_calls = 0;
    for (int call = 0; call < calls; ++call) {
      const unsigned what = random() % 100;
      if (what < 70) {
        // A corner as the host sends it: its vertex, then its normal.
        const Vec3<float>& p = positions[random() % positions.size()];
        const Directions& n = Normals()[random() % Normals().size()];
        const int surface = static_cast<int>(random() % 3);
        builder.AddVertex(p.x, p.y, p.z);
        model.AddVertex(p.x, p.y, p.z);
        builder.AddNormal(n.x, n.y, n.z, surface);
        model.AddNormal(n.x, n.y, n.z, surface);
        ++vertex_calls;
        ++normal_calls;
      } else if (what < 78) {
        const Vec3<float>& p = positions[random() % positions.size()];
        builder.AddVertex(p.x, p.y, p.z);
        model.AddVertex(p.x, p.y, p.z);
        ++vertex_calls;
      } else if (what < 84) {
        const Directions& n = Normals()[random() % Normals().size()];
        const int surface = static_cast<int>(random() % 3);
        builder.AddNormal(n.x, n.y, n.z, surface);
        model.AddNormal(n.x, n.y, n.z, surface);
        ++normal_calls;
      } else if (what < 92) {
        const int number = static_cast<int>(random() % static_cast<unsigned>(vertex_calls + 3)) - 1;
        ASSERT_EQ(builder.AddVertexIndex(number), model.AddVertexIndex(number)) << "round " << round;
      } else if (what < 99) {
        const int number = static_cast<int>(random() % static_cast<unsigned>(vertex_calls + 3)) - 1;
        ASSERT_EQ(builder.AddNormalIndex(number), model.AddNormalIndex(number)) << "round " << round;
      } else {
        // Emptied half-way; a normal before the next vertex belongs to the last position.
        builder.Clear();
        model.Clear();
        vertex_calls = 0;
        normal_calls = 0;
      }
    }
    EXPECT_EQ(builder.VertexCallCount(), static_cast<std::size_t>(vertex_calls));
    EXPECT_EQ(builder.NormalCallCount(), static_cast<std::size_t>(normal_calls));
    const GeometryStream& built = builder.Stream();
    EXPECT_TRUE(SameBits(model.points, built.points)) << "round " << round;
    EXPECT_TRUE(SameBits(model.normals, built.normals)) << "round " << round;
    EXPECT_EQ(model.vertex_indices, std::vector<int>(built.vertex_indices.begin(), built.vertex_indices.end()))
        << "round " << round;
    EXPECT_EQ(model.normal_indices, std::vector<int>(built.normal_indices.begin(), built.normal_indices.end()))
        << "round " << round;
  }
}

TEST(GeometryStreamModelTest, AStreamAfterALargeOneStartsClean) {
  // Memory is kept from stream to stream; nothing of the large stream may show in the next.
  GeometryStreamBuilder builder;
  for (int i = 0; i < 100000; ++i) {
    builder.AddVertex(static_cast<float>(i), 1, 2);
    builder.AddNormal(0, 0, 1, 1);
  }
  EXPECT_EQ(builder.Stream().points.size(), 100000u);
  builder.Clear();
  EXPECT_GE(builder.Stream().points.capacity(), 100000u) << "kept for the next stream";
  builder.AddVertex(7, 1, 2);  // a position the large stream had
  builder.AddNormal(0, 0, 1, 1);
  builder.AddVertex(7, 1, 2);
  builder.AddNormal(0, 0, 1, 1);
  EXPECT_TRUE(builder.AddVertexIndex(2));
  EXPECT_TRUE(builder.AddNormalIndex(2));
  EXPECT_FALSE(builder.AddVertexIndex(3));
  const GeometryStream& stream = builder.Stream();
  ASSERT_EQ(stream.points.size(), 1u);
  EXPECT_EQ(stream.points[0], (Vec3<float>{7 / kInchesPerMeter, 2 / kInchesPerMeter, -1 / kInchesPerMeter}));
  EXPECT_EQ(stream.normals.size(), 1u);
  EXPECT_EQ(std::vector<int>(stream.vertex_indices.begin(), stream.vertex_indices.end()), (std::vector<int>{0}));
  EXPECT_EQ(std::vector<int>(stream.normal_indices.begin(), stream.normal_indices.end()), (std::vector<int>{0}));

  // A small stream does not hold on to the large one's memory.
  builder.Clear();
  EXPECT_EQ(builder.Stream().points.capacity(), 0u);
  builder.AddVertex(1, 1, 1);
  builder.ReleaseMemory();
  EXPECT_EQ(builder.Stream().points.capacity(), 0u);
  EXPECT_FALSE(builder.AddVertexIndex(1));
}

}  // namespace
}  // namespace Zarnik
