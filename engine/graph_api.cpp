// ApiNodeGraph: creation, listing, copying, ungrouping, layout and clearing.
#include <algorithm>
#include <unordered_set>

#include "core.h"

namespace Zarnik {

using namespace Engine;

namespace {

constexpr float kColumnStep = 200.0f;
constexpr float kRowStep = 100.0f;

bool IsWithin(const GraphImpl* graph, const GraphImpl* ancestor) {
    for (const GraphImpl* g = graph; g; g = g->ownerGraph)
        if (g == ancestor) return true;
    return false;
}

void CollectNodes(const GraphImpl* graph, NodeType type, bool recurse, ApiNodeArray& nodes, int depth) {
    for (Item* child : graph->owned) {
        if (NodeImpl* node = child->asNode()) {
            if (node->nodeType == type) nodes.push(node);
        } else if (recurse && depth < kMaxTreeDepth) {
            CollectNodes(child->asGraph(), type, recurse, nodes, depth + 1);
        }
    }
}

void MoveItem(Item* item, float_2 position) {
    if (item->place == position) return;
    item->place = position;
    QueueEvent(EventType::ITEM_MOVED, item);
}

// Tree layout: every graph-owned node of the graph that feeds no other node of the graph
// starts a tree; its inputs stand one column to the left, leaves one row apart, and each
// node on the row of its first input.
class TreeLayout {
public:
    explicit TreeLayout(GraphImpl* graph) : mGraph(graph) {}

    void run() {
        std::vector<NodeImpl*> roots;
        std::vector<GraphImpl*> graphs;
        for (Item* child : mGraph->owned) {
            if (NodeImpl* node = child->asNode()) {
                if (!feedsGraph(node)) roots.push_back(node);
            } else {
                graphs.push_back(child->asGraph());
            }
        }
        for (NodeImpl* root : roots) place(root, 0.0f, 0);
        // Nodes only reachable through a cycle-free but unusual path (none expected) and
        // nested graphs go below the trees.
        for (Item* child : mGraph->owned) {
            NodeImpl* node = child->asNode();
            if (node && !mPlaced.count(node)) place(node, 0.0f, 0);
        }
        for (GraphImpl* graph : graphs) {
            MoveItem(graph, float_2{0.0f, mNextRow});
            mNextRow += kRowStep;
        }
    }

private:
    // The graph-owned node that holds a node, looking through pin ownership.
    static NodeImpl* Holder(NodeImpl* node) {
        while (node && node->ownerNode) node = node->ownerNode;
        return node;
    }

    bool feedsGraph(NodeImpl* node) const {
        for (const DestRef& ref : node->destinations) {
            NodeImpl* holder = Holder(ref.node);
            if (holder && holder != node && holder->ownerGraph == mGraph) return true;
        }
        return false;
    }

    void inputsOf(NodeImpl* node, std::vector<NodeImpl*>& inputs, int depth) {
        for (const Pin& pin : node->pins) {
            if (!pin.node) continue;
            if (pin.owned) {
                if (depth < kMaxTreeDepth) inputsOf(pin.node, inputs, depth + 1);
            } else if (pin.node->ownerGraph == mGraph && !mPlaced.count(pin.node)) {
                if (std::find(inputs.begin(), inputs.end(), pin.node) == inputs.end()) inputs.push_back(pin.node);
            }
        }
    }

    float place(NodeImpl* node, float x, int depth) {
        mPlaced.insert(node);
        std::vector<NodeImpl*> inputs;
        if (depth < kMaxTreeDepth) inputsOf(node, inputs, 0);
        float row = -1.0f;
        bool first = true;
        for (NodeImpl* input : inputs) {
            if (mPlaced.count(input)) continue;
            const float inputRow = place(input, x - kColumnStep, depth + 1);
            if (first) row = inputRow;
            first = false;
        }
        if (first) {
            row = mNextRow;
            mNextRow += kRowStep;
        }
        MoveItem(node, float_2{x, row});
        return row;
    }

    GraphImpl* mGraph;
    std::unordered_set<NodeImpl*> mPlaced;
    float mNextRow = 0.0f;
};

void Unfold(GraphImpl* graph, bool recursive, int depth) {
    TreeLayout(graph).run();
    if (!recursive || depth >= kMaxTreeDepth) return;
    for (Item* child : graph->owned)
        if (GraphImpl* nested = child->asGraph()) Unfold(nested, true, depth + 1);
}

void MoveChildren(GraphImpl* from, GraphImpl* to, bool unpackAll, std::vector<uint64_t>& moved,
                  std::vector<uint64_t>& emptied, int depth) {
    std::vector<Item*> children(from->owned.begin(), from->owned.end());
    for (Item* child : children) {
        from->owned.erase(child->ownedPos);
        to->owned.push_back(child);
        child->ownedPos = std::prev(to->owned.end());
        child->ownerGraph = to;
        GraphImpl* nested = child->asGraph();
        if (unpackAll && nested && depth < kMaxTreeDepth) {
            MoveChildren(nested, to, true, moved, emptied, depth + 1);
            emptied.push_back(nested->id);
        } else {
            moved.push_back(child->id);
            QueueEvent(EventType::ITEM_ADDED, child);
        }
    }
}

}  // namespace

ApiNodeGraph* ApiNodeGraph::create(NodeGraphType type, ApiNodeGraph& owner) {
    return Guarded(static_cast<ApiNodeGraph*>(nullptr), [&]() -> ApiNodeGraph* {
        GraphImpl* graph = ResolveLiveGraph(&owner);
        if (!graph || type != GraphKind::Standard) return nullptr;
        return CreateGraph(GraphKind::Standard, graph);
    });
}

NodeGraphType ApiNodeGraph::type() const {
    return Guarded(NodeGraphType(GraphKind::Unknown), [&]() {
        GraphImpl* graph = ResolveGraph(this);
        return graph ? graph->kind : NodeGraphType(GraphKind::Unknown);
    });
}

void ApiNodeGraph::getOwnedItems(ApiItemArray& items) const {
    GuardedVoid([&]() {
        items.clear();
        GraphImpl* graph = ResolveGraph(this);
        if (!graph) return;
        for (Item* child : graph->owned) items.push(child->api());
    });
}

void ApiNodeGraph::findNodes(NodeType type, ApiNodeArray& nodes, bool recurse) const {
    GuardedVoid([&]() {
        nodes.clear();
        if (GraphImpl* graph = ResolveGraph(this)) CollectNodes(graph, type, recurse, nodes, 0);
    });
}

ApiItem* ApiNodeGraph::copyItemTree(const ApiItem* root) {
    return Guarded(static_cast<ApiItem*>(nullptr), [&]() -> ApiItem* {
        GraphImpl* target = ResolveLiveGraph(this);
        Item* source = Resolve(root);
        if (!target || !source || source->dying) return nullptr;
        CopyContext ctx;
        ctx.graph = target;
        ctx.root = target->root;
        ctx.outside = OutsideInputs::CopyIntoGraph;
        if (NodeImpl* node = source->asNode()) {
            NodeImpl* copy = CopyNodeToGraph(node, ctx, 0);
            return copy ? copy->api() : nullptr;
        }
        // A graph cannot hold a copy of itself.
        if (IsWithin(target, source->asGraph())) return nullptr;
        std::vector<Item*> copies;
        CopyItemsInto({source}, target, ctx, copies);
        return copies.empty() || !copies[0] ? nullptr : copies[0]->api();
    });
}

void ApiNodeGraph::copyFrom(const ApiItem* const* items, size_t count, ApiItemArray* copies) {
    GuardedVoid([&]() {
        if (copies) copies->clear();
        GraphImpl* target = ResolveLiveGraph(this);
        if (!target || (!items && count > 0)) return;
        std::vector<Item*> sources;
        sources.reserve(std::min<size_t>(count, 1u << 20));
        for (size_t i = 0; i < count; ++i) {
            Item* source = Resolve(items[i]);
            if (source && (source->dying || (!source->holdsNode() && IsWithin(target, source->asGraph()))))
                source = nullptr;
            sources.push_back(source);
        }
        CopyContext ctx;
        ctx.graph = target;
        ctx.root = target->root;
        ctx.outside = OutsideInputs::LinkSameRootElseGraph;
        std::vector<Item*> made;
        CopyItemsInto(sources, target, ctx, made);
        if (copies) {
            for (Item* copy : made) copies->push(copy ? copy->api() : nullptr);
        }
    });
}

void ApiNodeGraph::ungroup(ApiItemArray* ungroupedItems, bool unpackAll) {
    GuardedVoid([&]() {
        if (ungroupedItems) ungroupedItems->clear();
        GraphImpl* graph = ResolveLiveGraph(this);
        if (!graph || !graph->ownerGraph || graph->ownerGraph->dying) return;
        std::vector<uint64_t> moved, emptied;
        MoveChildren(graph, graph->ownerGraph, unpackAll, moved, emptied, 0);
        emptied.push_back(graph->id);
        for (uint64_t id : emptied) DestroyItem(ItemWithId(id));
        if (!ungroupedItems) return;
        for (uint64_t id : moved)
            if (Item* item = ItemWithId(id)) ungroupedItems->push(item->api());
    });
}

void ApiNodeGraph::unfold(bool recursive) {
    GuardedVoid([&]() {
        if (GraphImpl* graph = ResolveLiveGraph(this)) Unfold(graph, recursive, 0);
    });
}

void ApiNodeGraph::recenter(float x, float y) {
    GuardedVoid([&]() {
        GraphImpl* graph = ResolveLiveGraph(this);
        if (!graph || graph->owned.empty()) return;
        float minX = graph->owned.front()->place.x, maxX = minX;
        float minY = graph->owned.front()->place.y, maxY = minY;
        for (Item* child : graph->owned) {
            minX = std::min(minX, child->place.x);
            maxX = std::max(maxX, child->place.x);
            minY = std::min(minY, child->place.y);
            maxY = std::max(maxY, child->place.y);
        }
        const float dx = x - (minX + maxX) * 0.5f, dy = y - (minY + maxY) * 0.5f;
        for (Item* child : graph->owned)
            MoveItem(child, float_2{child->place.x + dx, child->place.y + dy});
    });
}

void ApiNodeGraph::clear() {
    GuardedVoid([&]() {
        GraphImpl* graph = ResolveLiveGraph(this);
        if (!graph) return;
        std::vector<uint64_t> ids;
        for (Item* child : graph->owned) ids.push_back(child->id);
        for (uint64_t id : ids) DestroyItem(ItemWithId(id));
    });
}

}  // namespace Zarnik
