// ApiNode: creation, pins and connections.
#include "core.h"

namespace Zarnik {

using namespace Engine;

namespace {

const ApiNodeInfo& NoNodeInfo() {
    static const ApiNodeInfo info{0, "unknown", "", "", PinKind::Unknown};
    return info;
}

// The pin index of an id on a live node, or false.
bool PinOf(const ApiNode* self, PinId id, NodeImpl*& node, uint32_t& pinIx) {
    node = ResolveNode(self);
    return node && FindPinById(node, id, pinIx);
}

ApiNode* CreateInternalAt(ApiNode* self, bool byIndex, uint32_t key, NodeType type, bool configurePins, bool evaluate) {
    return Guarded(static_cast<ApiNode*>(nullptr), [&]() -> ApiNode* {
        NodeImpl* node = ResolveLiveNode(self);
        uint32_t pinIx = key;
        if (!node || (!byIndex && !FindPinById(node, key, pinIx))) return nullptr;
        return CreateInPin(node, pinIx, type, configurePins, evaluate);
    });
}

bool ConnectAt(ApiNode* self, bool byIndex, uint32_t key, ApiNode* source, bool evaluate) {
    return Guarded(false, [&]() {
        NodeImpl* node = ResolveLiveNode(self);
        uint32_t pinIx = key;
        if (!node || (!byIndex && !FindPinById(node, key, pinIx))) return false;
        NodeImpl* from = nullptr;
        if (source) {
            from = ResolveLiveNode(source);
            if (!from) return false;
        }
        return Connect(node, pinIx, from, evaluate);
    });
}

// True when the node sits (at any depth) inside a pin of ancestor.
bool InsidePinsOf(const NodeImpl* node, const NodeImpl* ancestor) {
    for (const NodeImpl* owner = node; owner; owner = owner->ownerNode)
        if (owner == ancestor) return true;
    return false;
}

ApiNode* CopyIntoPin(ApiNode* self, bool byIndex, uint32_t key, const ApiNode* source, bool evaluate) {
    return Guarded(static_cast<ApiNode*>(nullptr), [&]() -> ApiNode* {
        NodeImpl* node = ResolveLiveNode(self);
        NodeImpl* from = ResolveLiveNode(source);
        uint32_t pinIx = key;
        if (!node || !from || (!byIndex && !FindPinById(node, key, pinIx)) || pinIx >= node->pins.size()) return nullptr;
        // A node cannot hold a copy of a tree it is part of.
        if (InsidePinsOf(node, from)) return nullptr;
        CopyContext ctx;
        ctx.root = node->root;
        ctx.outside = OutsideInputs::LinkSameRootElsePin;
        const uint64_t nodeId = node->id;
        NodeImpl* copy = CopyNodeToPin(from, node, pinIx, ctx, 0);
        const uint64_t copyId = copy ? copy->id : 0;
        if (evaluate) {
            if (NodeImpl* still = NodeWithId(nodeId)) EvaluateNode(still);
        }
        return NodeWithId(copyId);
    });
}

NodeImpl* InputAt(const ApiNode* self, uint32_t pinIx) {
    NodeImpl* node = ResolveNode(self);
    return node && pinIx < node->pins.size() ? node->pins[pinIx].node : nullptr;
}

}  // namespace

ApiNode* ApiNode::create(NodeType type, ApiNodeGraph& owner, bool configurePins) {
    return Guarded(static_cast<ApiNode*>(nullptr), [&]() -> ApiNode* {
        GraphImpl* graph = ResolveLiveGraph(&owner);
        if (!graph) return nullptr;
        return CreateNode(type, graph, nullptr, 0, configurePins);
    });
}

NodeType ApiNode::type() const {
    return Guarded(NodeType(0), [&]() {
        NodeImpl* node = ResolveNode(this);
        return node ? node->nodeType : NodeType(0);
    });
}

const ApiNodeInfo& ApiNode::info() const {
    const ApiNodeInfo* info = Guarded(&NoNodeInfo(), [&]() {
        NodeImpl* node = ResolveNode(this);
        return node ? &node->desc->info : &NoNodeInfo();
    });
    return *info;
}

NodePinType ApiNode::outType() const { return info().outType; }

uint32_t ApiNode::pinCount() const {
    return Guarded(uint32_t(0), [&]() {
        NodeImpl* node = ResolveNode(this);
        return node ? uint32_t(node->pins.size()) : uint32_t(0);
    });
}

bool ApiNode::hasPin(PinId id) const {
    uint32_t pinIx;
    return findPin(id, pinIx);
}

bool ApiNode::findPin(PinId id, uint32_t& index) const {
    return Guarded(false, [&]() {
        NodeImpl* node;
        return PinOf(this, id, node, index);
    });
}

PinId ApiNode::pinIdIx(uint32_t index) const { return pinInfoIx(index).id; }

PinId ApiNode::pinId(const char* pinName) const {
    uint32_t pinIx;
    return findPinByName(pinName, pinIx) ? pinIdIx(pinIx) : PinId(0);
}

bool ApiNode::findPinByName(const char* pinName, uint32_t& index) const {
    return Guarded(false, [&]() {
        NodeImpl* node = ResolveNode(this);
        return node && FindPinByName(node, pinName, index);
    });
}

const char* ApiNode::pinName(PinId id) const {
    const char* name = pinInfo(id).name;
    return name ? name : "";
}

const char* ApiNode::pinNameIx(uint32_t index) const {
    const char* name = pinInfoIx(index).name;
    return name ? name : "";
}

const char* ApiNode::pinLabelIx(uint32_t index) const {
    const char* label = pinInfoIx(index).label;
    return label ? label : "";
}

NodePinType ApiNode::pinType(PinId id) const { return pinInfo(id).type; }

NodePinType ApiNode::pinTypeIx(uint32_t index) const { return pinInfoIx(index).type; }

const ApiNodePinInfo& ApiNode::pinInfo(PinId id) const {
    const ApiNodePinInfo* info = Guarded(&NoPinInfo(), [&]() {
        NodeImpl* node;
        uint32_t pinIx;
        return PinOf(this, id, node, pinIx) ? &PinInfoAt(node, pinIx) : &NoPinInfo();
    });
    return *info;
}

const ApiNodePinInfo& ApiNode::pinInfoIx(uint32_t index) const {
    const ApiNodePinInfo* info = Guarded(&NoPinInfo(), [&]() {
        NodeImpl* node = ResolveNode(this);
        return node ? &PinInfoAt(node, index) : &NoPinInfo();
    });
    return *info;
}

ApiNode* ApiNode::createInternal(PinId id, NodeType type, bool configurePins, bool evaluate) {
    return CreateInternalAt(this, false, id, type, configurePins, evaluate);
}

ApiNode* ApiNode::createInternalIx(uint32_t index, NodeType type, bool configurePins, bool evaluate) {
    return CreateInternalAt(this, true, index, type, configurePins, evaluate);
}

bool ApiNode::connectTo(PinId id, ApiNode* source, bool evaluate, bool doCycleCheck) {
    // Cycles are always refused: every recursive walk of the scene depends on it.
    return ConnectAt(this, false, id, source, evaluate);
}

bool ApiNode::connectToIx(uint32_t index, ApiNode* source, bool evaluate, bool doCycleCheck) {
    return ConnectAt(this, true, index, source, evaluate);
}

ApiNode* ApiNode::copyFrom(PinId id, const ApiNode* source, bool evaluate) {
    return CopyIntoPin(this, false, id, source, evaluate);
}

ApiNode* ApiNode::copyFromIx(uint32_t index, const ApiNode* source, bool evaluate) {
    return CopyIntoPin(this, true, index, source, evaluate);
}

ApiNode* ApiNode::connectedNode(PinId id) const {
    return Guarded(static_cast<ApiNode*>(nullptr), [&]() -> ApiNode* {
        NodeImpl* node;
        uint32_t pinIx;
        return PinOf(this, id, node, pinIx) ? node->pins[pinIx].node : nullptr;
    });
}

ApiNode* ApiNode::connectedNodeIx(uint32_t index) const {
    return Guarded(static_cast<ApiNode*>(nullptr), [&]() -> ApiNode* { return InputAt(this, index); });
}

ApiNode* ApiNode::inputNode(PinId id) const { return connectedNode(id); }

ApiNode* ApiNode::inputNodeIx(uint32_t index) const { return connectedNodeIx(index); }

bool ApiNode::isInputLinked(PinId id) const {
    return Guarded(false, [&]() {
        NodeImpl* node;
        uint32_t pinIx;
        return PinOf(this, id, node, pinIx) && node->pins[pinIx].node && !node->pins[pinIx].owned;
    });
}

void ApiNode::destinationNodes(ApiNodeArray& destinations, ApiStringArray& pinNames) const {
    GuardedVoid([&]() {
        destinations.clear();
        pinNames.clear();
        NodeImpl* node = ResolveNode(this);
        if (!node) return;
        for (const DestRef& ref : node->destinations) {
            destinations.push(ref.node);
            pinNames.push(PinInfoAt(ref.node, ref.pinIx).name);
        }
    });
}

void ApiNode::destinationNodes(ApiNodeArray& destinations) const {
    GuardedVoid([&]() {
        destinations.clear();
        NodeImpl* node = ResolveNode(this);
        if (!node) return;
        for (const DestRef& ref : node->destinations) destinations.push(ref.node);
    });
}

void ApiNode::configureEmptyPins() {
    GuardedVoid([&]() {
        if (NodeImpl* node = ResolveLiveNode(this)) ConfigureEmptyPins(node, 0);
    });
}

}  // namespace Zarnik
