// ApiItem: identity, names, ownership, placement, selection and destruction.
#include "core.h"

namespace Zarnik {

using namespace Engine;

bool ApiItem::isNode() const {
    return Guarded(false, [&]() { return ResolveNode(this) != nullptr; });
}

bool ApiItem::isGraph() const {
    return Guarded(false, [&]() { return ResolveGraph(this) != nullptr; });
}

bool ApiItem::isRootGraph() const {
    return Guarded(false, [&]() {
        GraphImpl* graph = ResolveGraph(this);
        return graph && graph->kind == GraphKind::Root;
    });
}

ApiNode* ApiItem::toNode() {
    return Guarded(static_cast<ApiNode*>(nullptr), [&]() -> ApiNode* { return ResolveNode(this); });
}

const ApiNode* ApiItem::toNode() const {
    return Guarded(static_cast<const ApiNode*>(nullptr), [&]() -> const ApiNode* { return ResolveNode(this); });
}

ApiNodeGraph* ApiItem::toGraph() {
    return Guarded(static_cast<ApiNodeGraph*>(nullptr), [&]() -> ApiNodeGraph* { return ResolveGraph(this); });
}

const ApiNodeGraph* ApiItem::toGraph() const {
    return Guarded(static_cast<const ApiNodeGraph*>(nullptr),
                   [&]() -> const ApiNodeGraph* { return ResolveGraph(this); });
}

uint64_t ApiItem::uniqueId() const {
    return Guarded(uint64_t(0), [&]() {
        Item* item = Resolve(this);
        return item ? item->id : uint64_t(0);
    });
}

const char* ApiItem::name() const {
    return Guarded("", [&]() -> const char* {
        Item* item = Resolve(this);
        return item ? item->nameText.c_str() : "";
    });
}

void ApiItem::setName(const char* name) {
    GuardedVoid([&]() {
        Item* item = Resolve(this);
        if (!item) return;
        std::string text = name ? name : "";
        if (text == item->nameText) return;
        item->nameText.swap(text);
        QueueEvent(EventType::ITEM_NAME_CHANGED, item);
    });
}

ApiNodeGraph* ApiItem::graphOwner() const {
    return Guarded(static_cast<ApiNodeGraph*>(nullptr), [&]() -> ApiNodeGraph* {
        Item* item = Resolve(this);
        return item ? item->ownerGraph : nullptr;
    });
}

bool ApiItem::pinOwned() const {
    return Guarded(false, [&]() {
        Item* item = Resolve(this);
        return item && item->ownerNode;
    });
}

ApiNode* ApiItem::pinOwnerNode() const {
    return Guarded(static_cast<ApiNode*>(nullptr), [&]() -> ApiNode* {
        Item* item = Resolve(this);
        return item ? item->ownerNode : nullptr;
    });
}

uint32_t ApiItem::pinOwnerIx() const {
    return Guarded(uint32_t(0), [&]() {
        Item* item = Resolve(this);
        return item && item->ownerNode ? item->ownerPinIx : uint32_t(0);
    });
}

ApiRootNodeGraph* ApiItem::rootGraph() const {
    return Guarded(static_cast<ApiRootNodeGraph*>(nullptr), [&]() -> ApiRootNodeGraph* {
        Item* item = Resolve(this);
        return item ? item->root : nullptr;
    });
}

void ApiItem::destroy() {
    GuardedVoid([&]() { DestroyItem(Resolve(this)); });
}

float_2 ApiItem::position() const {
    return Guarded(float_2{0.0f, 0.0f}, [&]() {
        Item* item = Resolve(this);
        return item ? item->place : float_2{0.0f, 0.0f};
    });
}

void ApiItem::setPosition(float_2 position) {
    GuardedVoid([&]() {
        Item* item = Resolve(this);
        if (!item || item->place == position) return;
        item->place = position;
        QueueEvent(EventType::ITEM_MOVED, item);
    });
}

void ApiItem::select() {
    // One item per root graph is selected, as a user selects one item at a time.
    GuardedVoid([&]() {
        Item* item = Resolve(this);
        if (item && item->root) item->root->selectedId = item->id;
    });
}

bool ApiItem::isSelected() const {
    return Guarded(false, [&]() {
        Item* item = Resolve(this);
        return item && item->root && item->root->selectedId == item->id;
    });
}

uint32_t ApiItem::uiOperationFlags() const {
    return Guarded(uint32_t(0), [&]() {
        Item* item = Resolve(this);
        return item ? item->uiFlags : uint32_t(0);
    });
}

void ApiItem::setUIOperationFlags(uint32_t flags) {
    GuardedVoid([&]() {
        Item* item = Resolve(this);
        if (!item || item->uiFlags == flags) return;
        item->uiFlags = flags;
        QueueEvent(EventType::ITEM_UI_OPERATION_FLAG_CHANGED, item);
    });
}

void ApiItem::evaluate() {
    GuardedVoid([&]() {
        if (NodeImpl* node = ResolveNode(this)) EvaluateNode(node);
    });
}

}  // namespace Zarnik
