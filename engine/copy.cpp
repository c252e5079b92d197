// Copying nodes with their input trees, and graphs with their items.
//
// Copies are built without running observers: only new items are touched and empty pins
// filled, so nothing the copy reads can change underneath it.
#include "core.h"

namespace Zarnik {
namespace Engine {
namespace {

struct InputSnapshot {
    NodeImpl* node;
    bool owned;
};

std::vector<InputSnapshot> SnapshotInputs(const NodeImpl* source) {
    std::vector<InputSnapshot> inputs;
    inputs.reserve(source->pins.size());
    for (const Pin& pin : source->pins) inputs.push_back(InputSnapshot{pin.node, pin.owned});
    return inputs;
}

NodeImpl* NewShell(const NodeImpl* source, GraphImpl* graph, NodeImpl* pinOwner, uint32_t pinIx) {
    NodeImpl* copy = CreateNode(source->nodeType, graph, pinOwner, pinIx, false);
    if (!copy) return nullptr;
    copy->nameText = source->nameText;
    copy->place = source->place;
    copy->uiFlags = source->uiFlags;
    copy->attrs = source->attrs;
    copy->pendingTransform = source->pendingTransform;
    SyncDynamicPins(copy);
    return copy;
}

void CopyInput(const InputSnapshot& input, NodeImpl* copy, uint32_t pinIx, CopyContext& ctx, int depth) {
    if (!input.node || pinIx >= copy->pins.size() || copy->pins[pinIx].node) return;
    if (input.owned) {
        CopyNodeToPin(input.node, copy, pinIx, ctx, depth + 1);
        return;
    }
    auto known = ctx.copies.find(input.node);
    if (known != ctx.copies.end()) {
        Connect(copy, pinIx, known->second, false);
        return;
    }
    const bool sameRoot = input.node->root == ctx.root;
    switch (ctx.outside) {
    case OutsideInputs::CopyIntoGraph:
        if (NodeImpl* c = CopyNodeToGraph(input.node, ctx, depth + 1)) Connect(copy, pinIx, c, false);
        break;
    case OutsideInputs::LinkSameRootElseGraph:
        if (sameRoot) {
            Connect(copy, pinIx, input.node, false);
        } else if (NodeImpl* c = CopyNodeToGraph(input.node, ctx, depth + 1)) {
            Connect(copy, pinIx, c, false);
        }
        break;
    case OutsideInputs::LinkSameRootElsePin:
        if (sameRoot)
            Connect(copy, pinIx, input.node, false);
        else
            CopyNodeToPin(input.node, copy, pinIx, ctx, depth + 1);
        break;
    }
}

// Fills the copy's pins from the source's inputs: static pins first, so that a copy whose
// pins follow its geometry input has them before its dynamic inputs are copied.
void CopyInputs(const std::vector<InputSnapshot>& inputs, NodeImpl* copy, CopyContext& ctx, int depth) {
    const uint32_t staticCount = StaticPinCount(copy);
    for (uint32_t ix = 0; ix < staticCount && ix < inputs.size(); ++ix) CopyInput(inputs[ix], copy, ix, ctx, depth);
    if (copy->desc->dynamicPins == DynamicPins::GeometryPinSlots) SyncDynamicPins(copy);
    for (uint32_t ix = staticCount; ix < inputs.size(); ++ix) CopyInput(inputs[ix], copy, ix, ctx, depth);
}

bool Affordable(CopyContext& ctx, int depth) {
    if (depth > kMaxTreeDepth || ctx.budget == 0) return false;
    --ctx.budget;
    return true;
}

struct Shell {
    NodeImpl* source;
    NodeImpl* copy;
    std::vector<InputSnapshot> inputs;
};

void MakeGraphShells(GraphImpl* source, GraphImpl* target, CopyContext& ctx, std::vector<Shell>& shells, int depth) {
    std::vector<Item*> children(source->owned.begin(), source->owned.end());
    for (Item* child : children) {
        if (!Affordable(ctx, depth)) return;
        if (NodeImpl* node = child->asNode()) {
            NodeImpl* copy = NewShell(node, target, nullptr, 0);
            if (!copy) continue;
            ctx.copies[node] = copy;
            shells.push_back(Shell{node, copy, SnapshotInputs(node)});
        } else {
            GraphImpl* nested = child->asGraph();
            GraphImpl* copy = CreateGraph(GraphKind::Standard, target);
            copy->nameText = nested->nameText;
            copy->place = nested->place;
            copy->uiFlags = nested->uiFlags;
            MakeGraphShells(nested, copy, ctx, shells, depth + 1);
        }
    }
}

}  // namespace

NodeImpl* CopyNodeToGraph(NodeImpl* source, CopyContext& ctx, int depth) {
    auto known = ctx.copies.find(source);
    if (known != ctx.copies.end()) return known->second;
    if (!ctx.graph || !Affordable(ctx, depth)) return nullptr;
    NodeImpl* copy = NewShell(source, ctx.graph, nullptr, 0);
    if (!copy) return nullptr;
    ctx.copies[source] = copy;
    CopyInputs(SnapshotInputs(source), copy, ctx, depth);
    return copy;
}

NodeImpl* CopyNodeToPin(NodeImpl* source, NodeImpl* destination, uint32_t pinIx, CopyContext& ctx, int depth) {
    if (pinIx >= destination->pins.size() || !Affordable(ctx, depth)) return nullptr;
    std::vector<InputSnapshot> inputs = SnapshotInputs(source);
    NodeImpl* replaced = DetachPin(destination, pinIx);
    // Plugged in before its inputs are filled, so that connections made while filling them
    // are tested for cycles through the destination.
    NodeImpl* copy = NewShell(source, nullptr, destination, pinIx);
    if (copy) {
        AttachPin(destination, pinIx, copy, true);
        QueueEvent(EventType::CONNECTION_CHANGED, destination, int32_t(pinIx));
    }
    const uint64_t copyId = copy ? copy->id : 0;
    if (copy) CopyInputs(inputs, copy, ctx, depth);
    if (replaced) DestroyItem(replaced);
    return NodeWithId(copyId);
}

void CopyItemsInto(const std::vector<Item*>& items, GraphImpl* target, CopyContext& ctx, std::vector<Item*>& copies) {
    // Every item gets its shell first, so that connections between any two of them are
    // made between their copies.
    GraphImpl* previous = ctx.graph;
    ctx.graph = target;
    std::vector<Shell> shells;
    for (Item* item : items) {
        Item* copy = nullptr;
        if (!item || !Affordable(ctx, 0)) {
        } else if (NodeImpl* node = item->asNode()) {
            auto known = ctx.copies.find(node);
            if (known != ctx.copies.end()) {
                copy = known->second;
            } else if (NodeImpl* shell = NewShell(node, target, nullptr, 0)) {
                ctx.copies[node] = shell;
                shells.push_back(Shell{node, shell, SnapshotInputs(node)});
                copy = shell;
            }
        } else {
            GraphImpl* graph = item->asGraph();
            GraphImpl* shell = CreateGraph(GraphKind::Standard, target);
            shell->nameText = graph->nameText;
            shell->place = graph->place;
            shell->uiFlags = graph->uiFlags;
            MakeGraphShells(graph, shell, ctx, shells, 1);
            copy = shell;
        }
        copies.push_back(copy);
    }
    for (Shell& shell : shells) CopyInputs(shell.inputs, shell.copy, ctx, 0);
    ctx.graph = previous;
}

}  // namespace Engine
}  // namespace Zarnik
