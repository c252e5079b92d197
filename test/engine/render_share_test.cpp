// The render snapshot holds the node graph's arrays instead of copies: what it shows must stay
// as it was taken while the host edits, rebuilds or copies the nodes, and what the getters
// handed out must stay valid while snapshots come and go.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core.h"
#include "core_fixture.h"
#include "render/renderer.h"
#include "render/scene.h"

namespace Zarnik {
namespace Engine {
namespace {

Matrix<float> Translation(float x, float y, float z) {
    Matrix<float> m = Matrix<float>::identity();
    m.m[0][3] = x;
    m.m[1][3] = y;
    m.m[2][3] = z;
    return m;
}

class RenderShareTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        const RenderSetup setup = makeRenderTarget(48, 32);
        target = setup.target;
        setup.camera->setPinValue(53, 60.0f);
        ApiNode* group = setup.group;
        group->set(Attrs::InputCount, int32_t(1));
        mesh = make(Types::Mesh);
        const char* names[] = {"slot"};
        mesh->set(Attrs::MaterialNames, names, 1);
        mesh->set(190, square, 4);
        mesh->set(120, corners, 6);
        placement = make(Types::Placement);
        placement->connectTo(Pins::Geometry, mesh);
        const Matrix<float> one = Matrix<float>::identity();
        placement->set(Attrs::Transforms, &one, 1);
        group->connectToIx(0, placement);
    }

    std::shared_ptr<Render::Scene> snapshot() {
        CallScope scope;
        return Render::TakeSnapshot(NodeWithId(target->uniqueId()));
    }

    // A square of 4 m facing the camera, two triangles.
    const float_3 square[4] = {{-2, -2, 0}, {2, -2, 0}, {2, 2, 0}, {-2, 2, 0}};
    const int32_t corners[6] = {0, 1, 2, 0, 2, 3};
    ApiNode* target = nullptr;
    ApiNode* mesh = nullptr;
    ApiNode* placement = nullptr;
};

TEST_F(RenderShareTest, EditsAfterASnapshotReachItOnlyThroughTheNextOne) {
    std::shared_ptr<Render::Scene> before = snapshot();
    ASSERT_TRUE(before);
    const uint64_t seen = Render::CastPrimaryRays(*before, nullptr);
    ASSERT_GT(seen, 0u);

    // Same sizes as before: storage of its own would be overwritten where it lies.
    const Matrix<float> away = Translation(500, 0, 0);
    ASSERT_TRUE(placement->set(Attrs::Transforms, &away, 1));
    const float_3 shrunk[4] = {{-0.1f, -0.1f, 0}, {0.1f, -0.1f, 0}, {0.1f, 0.1f, 0}, {-0.1f, 0.1f, 0}};
    ASSERT_TRUE(mesh->set(190, shrunk, 4));

    ASSERT_EQ(before->groups.size(), 1u);
    EXPECT_EQ(before->groups[0].transforms[0].m[0][3], 0.0f);
    EXPECT_EQ(before->meshes[0]->positions[0], -2.0f);
    EXPECT_EQ(Render::CastPrimaryRays(*before, nullptr), seen) << "the frame saw an edit it was not given";

    std::shared_ptr<Render::Scene> after = snapshot();
    ASSERT_TRUE(after);
    EXPECT_EQ(Render::CastPrimaryRays(*after, nullptr), 0u) << "the next snapshot missed the move";
    EXPECT_NE(after->meshes[0].get(), before->meshes[0].get());
    EXPECT_EQ(after->meshes[0]->positions[0], -0.1f);

    // Workers render the snapshot they were given: the edit shows after the update only.
    Matrix<float> back = Matrix<float>::identity();
    ASSERT_TRUE(placement->set(Attrs::Transforms, &back, 1));
    ASSERT_TRUE(mesh->set(190, square, 4));
    ApiRenderEngine::restartRendering();
    ASSERT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
    ASSERT_TRUE(placement->set(Attrs::Transforms, &away, 1));
    const uint64_t first = ApiRenderEngine::samplesDone();
    ASSERT_TRUE(ApiRenderEngine::waitForSamples(first + 1, 20000));
    uint32_t width = 0, height = 0;
    uint64_t samples = 0;
    std::vector<uint8_t> rgba(48 * 32 * 4);
    ASSERT_TRUE(ApiRenderEngine::copyImage(width, height, samples, rgba.data(), rgba.size()));
    const size_t middle = (size_t(16) * 48 + 24) * 4;
    const std::vector<uint8_t> shown(rgba.begin() + long(middle), rgba.begin() + long(middle) + 3);
    ApiChangeManager::update();
    ASSERT_TRUE(ApiRenderEngine::waitForSamples(1, 20000));
    ASSERT_TRUE(ApiRenderEngine::copyImage(width, height, samples, rgba.data(), rgba.size()));
    const std::vector<uint8_t> sky(rgba.begin() + long(middle), rgba.begin() + long(middle) + 3);
    EXPECT_NE(shown, sky) << "the square left the picture before the update";
    ApiRenderEngine::stopRendering();
}

TEST_F(RenderShareTest, UnchangedMeshesAreTakenOverAndGetterPointersOutliveSnapshotsAndCopies) {
    ApiArray<float_3> view = mesh->getFloat3Array(190);
    ASSERT_EQ(view.size(), 4u);
    std::shared_ptr<Render::Scene> first = snapshot();
    ASSERT_TRUE(first);

    // Only a placement moved: the mesh and its built structure are the last snapshot's.
    const Matrix<float> moved = Translation(0.5f, 0, 0);
    ASSERT_TRUE(placement->set(Attrs::Transforms, &moved, 1));
    std::shared_ptr<Render::Scene> second = snapshot();
    ASSERT_TRUE(second && first->prepare() && second->prepare());
    EXPECT_EQ(second->meshes[0].get(), first->meshes[0].get());
    EXPECT_EQ(second->groups[0].transforms[0].m[0][3], 0.5f);
    EXPECT_GT(Render::CastPrimaryRays(*second, nullptr), 0u);

    // The slot names alone changed: the mesh is read again.
    const char* names[] = {"one", "two"};
    ASSERT_TRUE(mesh->set(Attrs::MaterialNames, names, 2));
    std::shared_ptr<Render::Scene> third = snapshot();
    ASSERT_TRUE(third);
    EXPECT_NE(third->meshes[0].get(), first->meshes[0].get());
    EXPECT_EQ(third->meshes[0]->slotCount, 2u);

    // Snapshots that go away, a copy of the mesh and an edit of that copy leave the view as it was.
    first.reset();
    second.reset();
    third.reset();
    ApiNode* copy = static_cast<ApiNode*>(project().copyItemTree(mesh));
    ASSERT_TRUE(copy);
    const float_3 other[4] = {{9, 9, 9}, {8, 8, 8}, {7, 7, 7}, {6, 6, 6}};
    ASSERT_TRUE(copy->set(190, other, 4));
    EXPECT_EQ(mesh->getFloat3Array(190).data(), view.data());
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(view[i], square[i]) << i;
    EXPECT_EQ(copy->getFloat3Array(190)[0], other[0]);

    // A copy that still shares, then an edit of the original: the copy keeps the old points.
    ApiNode* second_copy = static_cast<ApiNode*>(project().copyItemTree(mesh));
    ASSERT_TRUE(second_copy);
    ASSERT_TRUE(mesh->set(190, other, 4));
    EXPECT_EQ(mesh->getFloat3Array(190)[3], other[3]);
    ApiArray<float_3> kept = second_copy->getFloat3Array(190);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(kept[i], square[i]) << i;
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
