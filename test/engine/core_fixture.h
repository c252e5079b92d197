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
    static uint32_t pinIndex(const ApiNode* node, PinId id) {
        uint32_t ix = ~0u;
        node->findPin(id, ix);
        return ix;
    }
};

}  // namespace Engine
}  // namespace Zarnik
