// Shared set-up for the engine core tests: a started engine and a few helpers.
#pragma once

#include <gtest/gtest.h>

#include "catalogue.h"
#include "testing.h"
#include "zarnik.h"

namespace Zarnik {
namespace Engine {

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* error = nullptr;
        ASSERT_TRUE(apiMode_Shared_start("ZKCORETS", false, &error, nullptr, nullptr)) << (error ? error : "");
    }
    void TearDown() override { apiMode_Shared_exit(nullptr); }

    static ApiRootNodeGraph& project() { return ApiProjectManager::rootNodeGraph(); }
    static ApiNode* make(NodeType type, bool configure = true) { return ApiNode::create(type, project(), configure); }
    static bool alive(uint64_t id) { return Testing::ItemById(id) != nullptr; }
    // What the renderer tests start from: a render target with a film of the given size, its
    // camera at (0, 0, 10) looking at the origin with +y up, and an empty geometry group.
    struct RenderSetup {
        ApiNode* target;
        ApiNode* camera;
        ApiNode* group;
    };
    static RenderSetup makeRenderTarget(int32_t width, int32_t height) {
        RenderSetup setup;
        setup.target = make(Types::RenderTarget);
        EXPECT_TRUE(ApiRenderEngine::setRenderTargetNode(setup.target));
        setup.target->connectedNode(311)->setPinValue(198, int32_2{width, height});
        setup.camera = setup.target->connectedNode(19);
        setup.camera->setPinValue(133, float_3{0, 0, 10});
        setup.camera->setPinValue(235, float_3{0, 0, 0});
        setup.camera->setPinValue(248, float_3{0, 1, 0});
        setup.group = make(Types::GeometryGroup);
        setup.target->connectTo(111, setup.group);
        return setup;
    }
    static uint32_t pinIndex(const ApiNode* node, PinId id) {
        uint32_t ix = ~0u;
        node->findPin(id, ix);
        return ix;
    }
};

}  // namespace Engine
}  // namespace Zarnik
