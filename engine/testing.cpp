// Hooks through which tests look inside the engine.
#include "testing.h"

#include "core.h"
#include "session.h"

namespace Zarnik {
namespace Testing {

using namespace Engine;

ApiItem* ItemById(uint64_t uniqueId) {
    return Guarded(static_cast<ApiItem*>(nullptr), [&]() -> ApiItem* {
        Item* item = ItemWithId(uniqueId);
        return item ? item->api() : nullptr;
    });
}

std::vector<ApiNode*> ProjectNodes(NodeType type) {
    return Guarded(std::vector<ApiNode*>(), [&]() {
        std::vector<ApiNode*> nodes;
        GraphImpl* project = ExistingProjectRoot();
        if (!project) return nodes;
        for (Item* item : AllItems()) {
            NodeImpl* node = item->asNode();
            // The settings node belongs to the project but to neither its graph nor a pin.
            if (!node || node->root != project || (!node->ownerGraph && !node->ownerNode)) continue;
            if (type == 0 || node->nodeType == type) nodes.push_back(node);
        }
        return nodes;
    });
}

std::string RenderState() {
    return Guarded(std::string("stopped"), []() { return RenderStateName(); });
}

void CloseWindowAsUser() {
    GuardedVoid([]() { Engine::CloseWindowAsUser(); });
}

bool WindowVisible() {
    return Guarded(false, []() {
        bool visible;
        int x, y, width, height;
        WindowState(visible, x, y, width, height);
        return visible;
    });
}

void WindowExtent(int& x, int& y, int& width, int& height) {
    x = y = width = height = 0;
    GuardedVoid([&]() {
        bool visible;
        WindowState(visible, x, y, width, height);
    });
}

bool Started() {
    return Guarded(false, []() { return EngineStarted(); });
}

}  // namespace Testing
}  // namespace Zarnik
