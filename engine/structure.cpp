// Creating, connecting and destroying items.
#include <unordered_set>

#include "core.h"

namespace Zarnik {
namespace Engine {
namespace {

constexpr int kMaxConfigureDepth = 16;

NodeImpl* CreateNodeAt(NodeType type, GraphImpl* graph, NodeImpl* pinOwner, uint32_t pinIx, bool configurePins,
                       int depth) {
    const NodeTypeDesc* desc = FindNodeType(type);
    if (!desc) return nullptr;
    std::unique_ptr<NodeImpl> node(new NodeImpl());
    node->nodeType = type;
    node->desc = desc;
    node->nameText = desc->info.defaultName ? desc->info.defaultName : "";
    node->attrs.reserve(desc->attrs.size());
    for (const ApiAttributeInfo& info : desc->attrs) node->attrs.emplace_back(info);
    node->pins.resize(desc->pins.size());
    if (graph) {
        node->ownerGraph = graph;
        node->root = graph->root;
        graph->owned.push_back(node.get());
        node->ownedPos = std::prev(graph->owned.end());
    } else if (pinOwner) {
        node->ownerNode = pinOwner;
        node->ownerPinIx = pinIx;
        node->root = pinOwner->root;
    }
    NodeImpl* created = node.release();
    Register(created);
    QueueEvent(EventType::ITEM_ADDED, created, pinOwner ? int32_t(pinIx) : -1);
    InitTransform(created);
    SyncDynamicPins(created);
    if (configurePins && depth < kMaxConfigureDepth) ConfigureEmptyPins(created, depth);
    return created;
}

// Breadth of the cycle test: a connection source -> destination closes a cycle when the
// destination is among the source's inputs. Searching down from the source and up from
// the destination at the same time ends as soon as either side runs dry, so the cost is
// bounded by the smaller side (a geometry group with many inputs is cheap to plug into a
// render target, a mesh cheap to plug into a group).
bool SearchBothWays(NodeImpl* destination, NodeImpl* source) {
    std::vector<NodeImpl*> down{source}, up{destination};
    std::unordered_set<NodeImpl*> downSeen{source}, upSeen{destination};
    while (!down.empty() && !up.empty()) {
        NodeImpl* lower = down.back();
        down.pop_back();
        for (const Pin& pin : lower->pins) {
            if (!pin.node) continue;
            if (pin.node == destination) return true;
            if (downSeen.insert(pin.node).second) down.push_back(pin.node);
        }
        NodeImpl* upper = up.back();
        up.pop_back();
        for (const DestRef& ref : upper->destinations) {
            if (ref.node == source) return true;
            if (upSeen.insert(ref.node).second) up.push_back(ref.node);
        }
    }
    return false;
}

}  // namespace

NodeImpl* CreateNode(NodeType type, GraphImpl* graph, NodeImpl* pinOwner, uint32_t pinIx, bool configurePins) {
    return CreateNodeAt(type, graph, pinOwner, pinIx, configurePins, 0);
}

void ConfigureEmptyPins(NodeImpl* node, int depth) {
    const uint32_t staticCount = StaticPinCount(node);
    for (uint32_t ix = 0; ix < staticCount && ix < node->pins.size(); ++ix) {
        const ApiNodePinInfo& info = node->desc->pins[ix];
        if (node->pins[ix].node || info.defaultNodeType == 0) continue;
        NodeImpl* child = CreateNodeAt(info.defaultNodeType, nullptr, node, ix, true, depth + 1);
        if (!child) continue;
        WritePinDefault(child, info);
        AttachPin(node, ix, child, true);
        QueueEvent(EventType::CONNECTION_CHANGED, node, int32_t(ix));
    }
}

GraphImpl* CreateGraph(NodeGraphType kind, GraphImpl* owner) {
    std::unique_ptr<GraphImpl> graph(new GraphImpl());
    graph->kind = kind;
    graph->nameText = kind == GraphKind::Root ? "Scene" : "Graph";
    GraphImpl* created = graph.release();
    if (owner) {
        created->ownerGraph = owner;
        created->root = owner->root;
        owner->owned.push_back(created);
        created->ownedPos = std::prev(owner->owned.end());
    } else {
        created->root = created;
    }
    Register(created);
    QueueEvent(EventType::ITEM_ADDED, created);
    return created;
}

void AttachPin(NodeImpl* node, uint32_t pinIx, NodeImpl* source, bool owned) {
    Pin& pin = node->pins[pinIx];
    pin.node = source;
    pin.owned = owned;
    source->destinations.push_back(DestRef{node, pinIx});
    pin.destPos = std::prev(source->destinations.end());
    if (owned) {
        source->ownerNode = node;
        source->ownerPinIx = pinIx;
    }
}

NodeImpl* DetachPin(NodeImpl* node, uint32_t pinIx) {
    Pin& pin = node->pins[pinIx];
    NodeImpl* source = pin.node;
    if (!source) return nullptr;
    source->destinations.erase(pin.destPos);
    const bool owned = pin.owned;
    pin.node = nullptr;
    pin.owned = false;
    if (!owned) return nullptr;
    source->ownerNode = nullptr;
    return source;
}

bool WouldCycle(NodeImpl* destination, NodeImpl* source) {
    if (destination == source) return true;
    // A cycle needs a path from the source down to the destination: a source with nothing in its
    // pins, or a destination that feeds nothing, cannot close one. These are the common cases
    // (materials and meshes plugged into overrides), and they skip the search's allocations.
    if (destination->destinations.empty()) return false;
    bool sourceHasInputs = false;
    for (const Pin& pin : source->pins) {
        if (pin.node) {
            sourceHasInputs = true;
            break;
        }
    }
    if (!sourceHasInputs) return false;
    return SearchBothWays(destination, source);
}

bool Connect(NodeImpl* destination, uint32_t pinIx, NodeImpl* source, bool evaluate) {
    if (pinIx >= destination->pins.size()) return false;
    Pin& pin = destination->pins[pinIx];
    if (source) {
        if (source->dying || source->ownerNode || source->root != destination->root) return false;
        // A source that the pin already holds is part of the graph as it stands: no new cycle.
        const bool alreadyHeld = pin.node == source && !pin.owned;
        if (!alreadyHeld && WouldCycle(destination, source)) return false;
    }
    const uint64_t destinationId = destination->id;
    if (pin.node != source || pin.owned) {
        NodeImpl* replaced = DetachPin(destination, pinIx);
        if (source) AttachPin(destination, pinIx, source, false);
        QueueEvent(EventType::CONNECTION_CHANGED, destination, int32_t(pinIx));
        if (source) QueueEvent(EventType::DESTINATION_ADDED, source, int32_t(pinIx));
        if (replaced) DestroyItem(replaced);
    }
    if (evaluate) {
        // Observers of the replaced node may have changed the scene meanwhile.
        if (NodeImpl* still = NodeWithId(destinationId)) EvaluateNode(still);
    }
    return true;
}

NodeImpl* CreateInPin(NodeImpl* destination, uint32_t pinIx, NodeType type, bool configurePins, bool evaluate) {
    if (pinIx >= destination->pins.size() || !FindNodeType(type)) return nullptr;
    const uint64_t destinationId = destination->id;
    NodeImpl* replaced = DetachPin(destination, pinIx);
    NodeImpl* created = CreateNodeAt(type, nullptr, destination, pinIx, configurePins, 0);
    if (created) {
        AttachPin(destination, pinIx, created, true);
        QueueEvent(EventType::CONNECTION_CHANGED, destination, int32_t(pinIx));
    }
    const uint64_t createdId = created ? created->id : 0;
    if (replaced) DestroyItem(replaced);
    if (evaluate) {
        if (NodeImpl* still = NodeWithId(destinationId)) EvaluateNode(still);
    }
    return NodeWithId(createdId);
}

void DestroyItem(Item* item) {
    if (!item || item->dying || IsProtected(item)) return;

    // Everything that goes with the item: its pin-owned nodes and, for a graph, all it holds.
    // Items already being destroyed by an outer call are left to that call.
    std::vector<Item*> doomed;
    std::vector<Item*> pending{item};
    while (!pending.empty()) {
        Item* current = pending.back();
        pending.pop_back();
        if (current->dying) continue;
        current->dying = true;
        doomed.push_back(current);
        if (NodeImpl* node = current->asNode()) {
            for (const Pin& pin : node->pins)
                if (pin.owned && pin.node && !pin.node->dying) pending.push_back(pin.node);
        } else {
            for (Item* child : current->asGraph()->owned)
                if (!child->dying) pending.push_back(child);
        }
    }

    // Observers hear of the deletion while the items still exist.
    if (AnyObservers()) {
        for (Item* current : doomed) {
            int32_t pinIx = current->ownerNode ? int32_t(current->ownerPinIx) : -1;
            QueueEvent(EventType::ITEM_DELETE, current, pinIx);
        }
        DeliverQueuedEvents();
    }

    std::unordered_set<Item*> inSet(doomed.begin(), doomed.end());
    for (Item* current : doomed) {
        if (NodeImpl* node = current->asNode()) {
            for (Pin& pin : node->pins) {
                NodeImpl* source = pin.node;
                if (!source) continue;
                if (!inSet.count(source)) {
                    source->destinations.erase(pin.destPos);
                    if (pin.owned) source->ownerNode = nullptr;
                }
                pin.node = nullptr;
                pin.owned = false;
            }
            for (const DestRef& ref : node->destinations) {
                if (inSet.count(ref.node)) continue;
                Pin& pin = ref.node->pins[ref.pinIx];
                pin.node = nullptr;
                pin.owned = false;
                QueueEvent(EventType::CONNECTION_CHANGED, ref.node, int32_t(ref.pinIx));
            }
            node->destinations.clear();
            node->ownerNode = nullptr;
        } else {
            GraphImpl* graph = current->asGraph();
            for (Item* child : graph->owned)
                if (!inSet.count(child)) child->ownerGraph = nullptr;
        }
        if (current->ownerGraph && !inSet.count(current->ownerGraph)) {
            current->ownerGraph->owned.erase(current->ownedPos);
        }
        current->ownerGraph = nullptr;
        DropObservations(current);
        Unregister(current);
    }
    for (Item* current : doomed) Retire(current);
}

void FreeAllItems() {
    std::vector<Item*> items = AllItems();
    for (Item* item : items) {
        item->observations.clear();
        Unregister(item);
    }
    for (Item* item : items) Retire(item);
}

}  // namespace Engine
}  // namespace Zarnik
