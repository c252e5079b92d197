// Dynamic pins, attributes with their conversions, pin values and transforms.
#include <cmath>
#include <vector>

#include "block_cache.h"
#include "core_fixture.h"

namespace Zarnik {
namespace Engine {
namespace {

class ValuesTest : public CoreTest {
protected:
    static void setSlots(ApiNode* mesh, std::vector<const char*> names, bool evaluate = true) {
        ASSERT_TRUE(mesh->set(Attrs::MaterialNames, names.data(), names.size(), evaluate));
    }
};

TEST_F(ValuesTest, GroupInputsFollowTheInputCount) {
    ApiNode* group = make(Types::GeometryGroup);
    EXPECT_EQ(group->pinCount(), 0u);
    ASSERT_TRUE(group->set(Attrs::InputCount, 3));
    ASSERT_EQ(group->pinCount(), 3u);
    EXPECT_STREQ(group->pinNameIx(0), "input1");
    EXPECT_STREQ(group->pinNameIx(2), "input3");
    EXPECT_EQ(group->pinIdIx(1), 0u);
    EXPECT_EQ(group->pinTypeIx(1), PinKind::Geometry);
    uint32_t ix;
    ASSERT_TRUE(group->findPinByName("input2", ix));
    EXPECT_EQ(ix, 1u);

    ApiNode* mesh = make(Types::Mesh);
    ASSERT_TRUE(group->connectToIx(0, mesh));
    ApiNode* owned = group->createInternalIx(2, Types::Mesh);
    const uint64_t ownedId = owned->uniqueId();
    // Without evaluation the pins wait; evaluation keeps surviving connections.
    ASSERT_TRUE(group->set(Attrs::InputCount, 1, false));
    EXPECT_EQ(group->pinCount(), 3u);
    group->evaluate();
    ASSERT_EQ(group->pinCount(), 1u);
    EXPECT_EQ(group->connectedNodeIx(0), mesh);
    EXPECT_FALSE(alive(ownedId));
    // Clamped, never negative.
    ASSERT_TRUE(group->set(Attrs::InputCount, -5));
    EXPECT_EQ(group->pinCount(), 0u);
    ApiNodeArray nodes;
    mesh->destinationNodes(nodes);
    EXPECT_TRUE(nodes.empty());
}

TEST_F(ValuesTest, ManyGroupInputsConnectQuickly) {
    ApiNode* group = make(Types::GeometryGroup);
    ApiNode* target = make(Types::RenderTarget);
    ASSERT_TRUE(target->connectTo(111, group));
    const uint32_t count = 50000;
    ASSERT_TRUE(group->set(Attrs::InputCount, int32_t(count)));
    ApiNode* mesh = make(Types::Mesh);
    for (uint32_t i = 0; i < count; ++i) ASSERT_TRUE(group->connectToIx(i, mesh, true, false));
    EXPECT_EQ(group->connectedNodeIx(count - 1), mesh);
    mesh->destroy();
    EXPECT_EQ(group->connectedNodeIx(0), nullptr);
}

TEST_F(ValuesTest, OverridePinsFollowTheMeshSlotNames) {
    ApiNode* mesh = make(Types::Mesh);
    setSlots(mesh, {"mat_1", "mat_2"});
    EXPECT_EQ(mesh->pinCount(), 2u);
    EXPECT_STREQ(mesh->pinNameIx(1), "mat_2");
    EXPECT_EQ(mesh->pinTypeIx(1), PinKind::Material);

    ApiNode* override = make(Types::MaterialOverride);
    EXPECT_EQ(override->pinCount(), 1u);
    ASSERT_TRUE(override->connectTo(Pins::Geometry, mesh));
    ASSERT_EQ(override->pinCount(), 3u);
    EXPECT_EQ(override->pinIdIx(0), Pins::Geometry);
    EXPECT_STREQ(override->pinNameIx(2), "mat_2");

    ApiNode* red = make(17);
    ApiNode* blue = make(16);
    ASSERT_TRUE(override->connectToIx(1, red));
    ASSERT_TRUE(override->connectToIx(2, blue));
    // Re-streaming the mesh with fewer slots: arrays set without evaluation, then the
    // mesh is evaluated and its overrides follow.
    setSlots(mesh, {"mat_1"}, false);
    EXPECT_EQ(override->pinCount(), 3u);
    mesh->evaluate();
    ASSERT_EQ(override->pinCount(), 2u);
    EXPECT_EQ(override->connectedNodeIx(1), red);
    ApiNodeArray nodes;
    blue->destinationNodes(nodes);
    EXPECT_TRUE(nodes.empty());
    // Unplugging the mesh leaves only the geometry pin.
    ASSERT_TRUE(override->connectTo(Pins::Geometry, nullptr));
    EXPECT_EQ(override->pinCount(), 1u);
}

TEST_F(ValuesTest, LargeArraysOfDestroyedNodesServeTheNextOnes) {
    // A rebuilt mesh gets the storage of the one it replaces, with nothing of the old
    // values left in it, and what is kept stays bounded.
    BlockCache::Trim();
    ApiNode* old_mesh = make(Types::Mesh);
    std::vector<float_3> old_points(300000, float_3{5, 5, 5});
    ASSERT_TRUE(old_mesh->set(190, old_points.data(), old_points.size(), false));
    old_mesh->destroy();
    const std::size_t kept = BlockCache::KeptBytes();
    EXPECT_GE(kept, old_points.size() * sizeof(float_3));

    ApiNode* mesh = make(Types::Mesh);
    std::vector<float_3> points(290000);
    for (std::size_t i = 0; i < points.size(); ++i) points[i] = float_3{float(i), 1, 2};
    ASSERT_TRUE(mesh->set(190, points.data(), points.size(), false));
    EXPECT_LT(BlockCache::KeptBytes(), kept) << "the freed block was not reused";
    ApiArray<float_3> view = mesh->getFloat3Array(190);
    ASSERT_EQ(view.size(), points.size());
    for (std::size_t i = 0; i < points.size(); ++i) ASSERT_EQ(view[i], points[i]) << i;

    std::vector<ApiNode*> meshes;
    std::vector<float_3> big(2000000, float_3{1, 1, 1});  // 24 MB each
    for (int i = 0; i < 6; ++i) {
        meshes.push_back(make(Types::Mesh));
        ASSERT_TRUE(meshes.back()->set(190, big.data(), big.size(), false));
    }
    for (ApiNode* m : meshes) m->destroy();
    EXPECT_LE(BlockCache::KeptBytes(), std::size_t{128} << 20);
    BlockCache::Trim();
    EXPECT_EQ(BlockCache::KeptBytes(), 0u);
}

TEST_F(ValuesTest, AttributesConvertInsideTheirFamilyOnly) {
    ApiNode* mesh = make(Types::Mesh);
    EXPECT_TRUE(mesh->getBool(40));                       // catalogue default
    ASSERT_TRUE(mesh->set(40, int32_t(0)));                // int -> bool
    EXPECT_FALSE(mesh->getBool(40));
    ASSERT_TRUE(mesh->set(161, int32_3{7, 8, 9}));         // wider int -> int
    EXPECT_EQ(mesh->getInt(161), 7);
    EXPECT_EQ(mesh->getInt2(161), (int32_2{7, 0}));
    EXPECT_FALSE(mesh->set(161, 2.5f));                    // float -> int refused
    EXPECT_EQ(mesh->getInt(161), 7);
    EXPECT_FALSE(mesh->set(Attrs::Filename, 1.0f));
    EXPECT_FALSE(mesh->set(999, true));
    ASSERT_TRUE(mesh->set(Attrs::Filename, static_cast<const char*>(nullptr)));
    EXPECT_STREQ(mesh->getString(Attrs::Filename), "");

    // Arrays are owned copies; getters give views until the next change.
    std::vector<float_3> points(1000000, float_3{1, 2, 3});
    ASSERT_TRUE(mesh->set(190, points.data(), points.size(), false));
    points[0] = {9, 9, 9};
    ApiArray<float_3> view = mesh->getFloat3Array(190);
    ASSERT_EQ(view.size(), 1000000u);
    EXPECT_EQ(view[0], (float_3{1, 2, 3}));
    EXPECT_EQ(mesh->getFloat3(190), (float_3{1, 2, 3}));   // scalar read of an array
    EXPECT_TRUE(mesh->getIntArray(190).empty());           // wrong kind: empty
    EXPECT_FALSE(mesh->set(190, static_cast<const float_3*>(nullptr), 3));
    const char* names[] = {"a", nullptr, "c"};
    ASSERT_TRUE(mesh->set(Attrs::MaterialNames, names, 3));
    ApiArray<const char*> texts = mesh->getStringArray(Attrs::MaterialNames);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_STREQ(texts[1], "");
    EXPECT_STREQ(texts[2], "c");

    ApiNode* other = make(Types::Mesh);
    EXPECT_TRUE(other->copyAttrFrom(190, mesh));
    EXPECT_EQ(other->getFloat3Array(190).size(), 1000000u);
    EXPECT_FALSE(other->copyAttrFrom(190, make(Types::RgbTexture)));
    EXPECT_EQ(mesh->attrInfo(190)->type, AttrKind::Float3);
    EXPECT_EQ(mesh->attrInfo(12345), nullptr);
}

TEST_F(ValuesTest, PinValuesLandInPinOwnedValueNodes) {
    ApiNode* camera = make(Types::ThinLensCamera);
    ApiNode* shared = make(Types::FloatValue);
    ASSERT_TRUE(camera->connectTo(53, shared));
    ASSERT_TRUE(camera->setPinValue(53, 30.0f));
    ApiNode* holder = camera->connectedNode(53);
    ASSERT_NE(holder, shared);                              // graph-owned node only unplugged
    EXPECT_TRUE(holder->pinOwned());
    EXPECT_TRUE(alive(shared->uniqueId()));
    EXPECT_FLOAT_EQ(camera->getPinFloat(53), 30.f);
    EXPECT_EQ(camera->getPinFloat3(53), (float_3{30, 0, 0}));

    ASSERT_TRUE(camera->setPinValue(133, float_3{1, 2, 3}));
    EXPECT_EQ(camera->getPinFloat3(133), (float_3{1, 2, 3}));
    ASSERT_TRUE(camera->setPinValue(127, true));
    EXPECT_TRUE(camera->getPinBool(127));
    ASSERT_TRUE(camera->setPinValue(227, int32_t(2)));     // enum pin
    EXPECT_EQ(camera->getPinInt(227), 2);
    EXPECT_FALSE(camera->setPinValue(53, true));           // kinds must fit
    EXPECT_FALSE(camera->setPinValue(127, 1.0f));
    EXPECT_FALSE(camera->setPinValue(4711, 1.0f));
    EXPECT_EQ(camera->getPinFloat(4711), 0.f);

    // An empty pin reads its default; a texture pin takes colours and greys.
    ApiNode* material = make(17);
    ASSERT_TRUE(material->setPinValue(30, float_3{1, 0, 0}));
    EXPECT_EQ(material->connectedNode(30)->type(), Types::RgbTexture);
    ASSERT_TRUE(material->setPinValue(125, 0.5f));
    EXPECT_EQ(material->connectedNode(125)->type(), Types::FloatTexture);
    EXPECT_FALSE(material->setPinValue(30, float_2{1, 1}));
    ApiNode* film = make(Types::FilmSettings, false);
    EXPECT_EQ(film->getPinInt2(198), (int32_2{1024, 768}));
}

TEST_F(ValuesTest, TransformsComposeAndDecompose) {
    ApiNode* image = make(Types::ImageTexture);
    Matrix<float> m{};
    m.m[0][0] = 2;
    m.m[1][1] = 4;
    m.m[2][2] = 1;
    m.m[0][3] = 0.5f;
    m.m[1][3] = 1.5f;
    ASSERT_TRUE(image->setPinValue(243, m));
    EXPECT_EQ(image->getPinMatrix(243), m);
    ApiNode* transform = image->connectedNode(243);
    ASSERT_EQ(transform->type(), Types::TransformValue);
    EXPECT_EQ(transform->getFloat3(Attrs::Scale), (float_3{2, 4, 1}));
    EXPECT_EQ(transform->getFloat3(Attrs::Translation), (float_3{0.5f, 1.5f, 0}));

    // Writing the scale recomposes the matrix.
    ASSERT_TRUE(transform->set(Attrs::Scale, float_3{3, 5, 1}));
    Matrix<float> composed = image->getPinMatrix(243);
    EXPECT_FLOAT_EQ(composed.m[0][0], 3);
    EXPECT_FLOAT_EQ(composed.m[1][1], 5);
    EXPECT_FLOAT_EQ(composed.m[1][3], 1.5f);

    // A rotation survives the round trip through the components.
    ApiNode* rotated = make(29);
    ASSERT_TRUE(rotated->set(Attrs::Rotation, float_3{30, 20, 10}));
    Matrix<float> r = rotated->getMatrix(Attrs::Transform);
    ApiNode* copy = make(29);
    ASSERT_TRUE(copy->set(Attrs::Transform, r));
    const float_3 angles = copy->getFloat3(Attrs::Rotation);
    EXPECT_NEAR(angles.x, 30, 1e-3);
    EXPECT_NEAR(angles.y, 20, 1e-3);
    EXPECT_NEAR(angles.z, 10, 1e-3);
    EXPECT_EQ(make(Types::TransformValue)->getMatrix(Attrs::Transform), Matrix<float>::identity());
}

TEST_F(ValuesTest, DaylightReadsTheSunDirectionFromItsPlaceAndTime) {
    ApiNode* daylight = make(Types::Daylight);
    ApiNode* sun = daylight->connectedNode(Pins::SunDirection);
    ASSERT_NE(sun, nullptr);
    ASSERT_EQ(sun->type(), Types::SunDirection);
    // Noon at the equinox on the Greenwich meridian, at the equator: nearly overhead.
    ASSERT_TRUE(sun->setPinValue(Pins::Latitude, 0.0f));
    ASSERT_TRUE(sun->setPinValue(Pins::Longitude, 0.0f));
    ASSERT_TRUE(sun->setPinValue(Pins::Month, int32_t(3)));
    ASSERT_TRUE(sun->setPinValue(Pins::Day, int32_t(21)));
    ASSERT_TRUE(sun->setPinValue(Pins::Hour, 12.0f));
    ASSERT_TRUE(sun->setPinValue(Pins::GmtOffset, int32_t(0)));
    float_3 noon = daylight->getPinFloat3(Pins::SunDirection);
    EXPECT_NEAR(std::sqrt(noon.x * noon.x + noon.y * noon.y + noon.z * noon.z), 1.0, 1e-5);
    EXPECT_GT(noon.y, 0.99f);
    // Morning sun stands in the east, evening sun in the west; midnight below the horizon.
    ASSERT_TRUE(sun->setPinValue(Pins::Hour, 8.0f));
    EXPECT_GT(daylight->getPinFloat3(Pins::SunDirection).x, 0.5f);
    ASSERT_TRUE(sun->setPinValue(Pins::Hour, 16.0f));
    EXPECT_LT(daylight->getPinFloat3(Pins::SunDirection).x, -0.5f);
    ASSERT_TRUE(sun->setPinValue(Pins::Hour, 0.0f));
    EXPECT_LT(daylight->getPinFloat3(Pins::SunDirection).y, 0.f);
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
