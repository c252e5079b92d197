// The engine's inner model: the concrete items behind the interface classes, the registry
// of live items, the guard every entry point runs under, and the change-event queue.
//
// Every interface object handed out is one of the two concrete classes below. Entry points
// never trust `this` or a pointer argument: they look it up in the registry first, so a
// stale pointer from the caller answers the failure value instead of touching freed memory.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "attributes.h"
#include "catalogue.h"
#include "zarnik.h"

namespace Zarnik {
namespace Engine {

class NodeImpl;
class GraphImpl;

struct Observation {
    ApiChangeManager::Observer observer;
    uint32_t mask;
};

inline bool SameObserver(const ApiChangeManager::Observer& a, const ApiChangeManager::Observer& b) {
    return a.callback == b.callback && a.userData == b.userData;
}

class Item {
public:
    virtual ~Item() = default;
    virtual ApiItem* api() = 0;

    bool holdsNode() const { return mIsNode; }
    NodeImpl* asNode();
    GraphImpl* asGraph();

    uint64_t id = 0;
    std::string nameText;
    float_2 place{0.0f, 0.0f};
    uint32_t uiFlags = 0;
    GraphImpl* ownerGraph = nullptr;       // owning graph, null for pin-owned nodes and root graphs
    NodeImpl* ownerNode = nullptr;         // owning node for pin-owned nodes
    uint32_t ownerPinIx = 0;
    GraphImpl* root = nullptr;             // the root graph the item belongs to
    std::list<Item*>::iterator ownedPos;   // position in ownerGraph->owned
    std::vector<AttrValue> attrs;          // aligned with the type's attribute descriptions
    std::vector<Observation> observations;
    bool dying = false;                    // being destroyed: refuses new structure

protected:
    explicit Item(bool isNode) : mIsNode(isNode) {}

private:
    bool mIsNode;
};

// Where a node is plugged: destination node and pin index.
struct DestRef {
    NodeImpl* node;
    uint32_t pinIx;
};

struct DynamicPin {
    std::string nameText;
    ApiNodePinInfo info;
};

struct Pin {
    NodeImpl* node = nullptr;                    // what is plugged in
    bool owned = false;                          // node belongs to this pin
    std::list<DestRef>::iterator destPos;        // this connection in node->destinations
    std::unique_ptr<DynamicPin> dynamic;         // null for static pins
};

enum class TransformSource { None, Components, Matrix };

class NodeImpl final : public ApiNode, public Item {
public:
    NodeImpl() : Item(true) {}
    ApiItem* api() override { return static_cast<ApiNode*>(this); }

    NodeType nodeType = 0;
    const NodeTypeDesc* desc = nullptr;
    std::vector<Pin> pins;
    std::list<DestRef> destinations;     // in connection order
    TransformSource pendingTransform = TransformSource::None;
};

class GraphImpl final : public ApiRootNodeGraph, public Item {
public:
    GraphImpl() : Item(false) {}
    ApiItem* api() override { return static_cast<ApiNodeGraph*>(this); }

    NodeGraphType kind = GraphKind::Standard;
    int32_t sceneVersion = 0;
    std::list<Item*> owned;
    uint64_t selectedId = 0;           // root graphs: the one selected item among theirs
    std::string exportText;            // root graphs: text of the last export
};

inline NodeImpl* Item::asNode() { return mIsNode ? static_cast<NodeImpl*>(this) : nullptr; }
inline GraphImpl* Item::asGraph() { return mIsNode ? nullptr : static_cast<GraphImpl*>(this); }

// ---- registry -------------------------------------------------------------------------

// The live item behind an interface pointer, or null.
Item* Resolve(const ApiItem* item);
NodeImpl* ResolveNode(const ApiItem* item);
GraphImpl* ResolveGraph(const ApiItem* item);
// The same, refusing items that are being destroyed (for calls that add structure).
NodeImpl* ResolveLiveNode(const ApiItem* item);
GraphImpl* ResolveLiveGraph(const ApiItem* item);
Item* ItemWithId(uint64_t id);
NodeImpl* NodeWithId(uint64_t id);

void Register(Item* item);          // gives the item its unique id
void Unregister(Item* item);
// Frees an unregistered item. Its memory is held back for a while so that a stale pointer
// a caller kept does not soon name a new item at the same address.
void Retire(Item* item);
// Every live item, in creation order.
std::vector<Item*> AllItems();

// The project (created on first use).
GraphImpl* ProjectRoot();
NodeImpl* ProjectSettingsNode();
bool IsProtected(const Item* item);   // the project root graph and settings
GraphImpl* ExistingProjectRoot();      // null when no project exists

// ---- guard ----------------------------------------------------------------------------

std::recursive_mutex& EngineMutex();

// Depth bookkeeping of entry points: the outermost one delivers queued events and runs a
// deferred engine exit.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    std::lock_guard<std::recursive_mutex> mLock;
};

void FinishCall();      // delivers events queued by the call

// Runs an entry point: one thread at a time, events delivered before returning, and no
// C++ exception leaves the library (the failure value is answered instead).
template <typename R, typename F>
R Guarded(R failure, F&& body) {
    try {
        CallScope scope;
        R result = body();
        FinishCall();
        return result;
    } catch (...) {
        return failure;
    }
}

template <typename F>
void GuardedVoid(F&& body) {
    try {
        CallScope scope;
        body();
        FinishCall();
    } catch (...) {
    }
}

// ---- events ---------------------------------------------------------------------------

typedef ApiChangeManager::ChangeEvent::Type EventType;

// Queues an event for delivery at the end of the current entry point; the owner is the
// item's graph or pin owner.
void QueueEvent(EventType type, Item* changed, int32_t pinIx = -1);
// Delivers everything queued so far (used before an item is freed).
void DeliverQueuedEvents();
bool AnyObservers();
// Forgets every observation of an item that is going away.
void DropObservations(Item* item);
void DropAllObservations();

// ---- structure (structure.cpp) ---------------------------------------------------------

NodeImpl* CreateNode(NodeType type, GraphImpl* graph, NodeImpl* pinOwner, uint32_t pinIx, bool configurePins);
GraphImpl* CreateGraph(NodeGraphType kind, GraphImpl* owner);
// Empties a pin: unplugs its node; a node the pin owned is returned, detached, for the
// caller to destroy once the pin is consistent again.
NodeImpl* DetachPin(NodeImpl* node, uint32_t pinIx);
// Plugs a node in an empty pin (no checks).
void AttachPin(NodeImpl* node, uint32_t pinIx, NodeImpl* source, bool owned);
bool WouldCycle(NodeImpl* destination, NodeImpl* source);
// Connects a graph-owned node (or null) after every check; false when refused.
bool Connect(NodeImpl* destination, uint32_t pinIx, NodeImpl* source, bool evaluate);
NodeImpl* CreateInPin(NodeImpl* destination, uint32_t pinIx, NodeType type, bool configurePins, bool evaluate);
void DestroyItem(Item* item);
// Frees every item without events (engine exit).
void FreeAllItems();

// Pins.
uint32_t StaticPinCount(const NodeImpl* node);
const ApiNodePinInfo& PinInfoAt(const NodeImpl* node, uint32_t pinIx);
bool FindPinById(const NodeImpl* node, PinId id, uint32_t& pinIx);
bool FindPinByName(const NodeImpl* node, const char* name, uint32_t& pinIx);
// Re-syncs dynamic pins; true when the pin list changed.
bool SyncDynamicPins(NodeImpl* node);
void EvaluateNode(NodeImpl* node);
void ConfigureEmptyPins(NodeImpl* node, int depth);

// Attributes.
int AttrIndex(const Item* item, AttributeId id);
const ApiAttributeInfo* AttrInfoAt(const Item* item, uint32_t index);
// Called after an attribute changed: transform bookkeeping, event, evaluation.
void AttributeChanged(Item* item, uint32_t index, bool changed, bool evaluate);

// Copies.
enum class OutsideInputs {
    CopyIntoGraph,             // graph-owned inputs become new nodes of the target graph
    LinkSameRootElseGraph,     // same root graph: connect the original; else copy into the graph
    LinkSameRootElsePin,       // same root graph: connect the original; else copy into the pin
};
struct CopyContext {
    GraphImpl* graph = nullptr;             // where graph-owned copies go
    GraphImpl* root = nullptr;              // the root graph the copies belong to
    OutsideInputs outside = OutsideInputs::CopyIntoGraph;
    std::unordered_map<NodeImpl*, NodeImpl*> copies;    // graph-owned originals -> copies
    size_t budget = 2000000;                // bounds the work on pathological input trees
};
// Copies a node as a graph-owned node of ctx.graph (memoised) or into a pin.
NodeImpl* CopyNodeToGraph(NodeImpl* source, CopyContext& ctx, int depth);
NodeImpl* CopyNodeToPin(NodeImpl* source, NodeImpl* destination, uint32_t pinIx, CopyContext& ctx, int depth);
// Copies nodes and graphs into a graph, keeping the connections among them; copies[i] is
// the copy of items[i] (null when it could not be made).
void CopyItemsInto(const std::vector<Item*>& items, GraphImpl* target, CopyContext& ctx, std::vector<Item*>& copies);

// Value nodes.
void WritePinDefault(NodeImpl* valueNode, const ApiNodePinInfo& pin);
// Transform nodes: a new node composes its matrix from its default components.
void InitTransform(NodeImpl* node);
void SetIdentityTransform(NodeImpl* node);
bool IsTransformNode(const NodeImpl* node);

constexpr int kMaxTreeDepth = 1000;

}  // namespace Engine
}  // namespace Zarnik
