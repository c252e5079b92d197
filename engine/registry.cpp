// The registry of live items, the project, engine start and exit, and the call guard.
//
// The state lives on the heap and is never freed: extension modules may still release
// engine items from their own static destructors at unload, after this library's statics
// would otherwise be gone.
#include <cctype>
#include <deque>
#include <map>

#include "block_cache.h"
#include "core.h"
#include "scene_text.h"
#include "session.h"

namespace Zarnik {
namespace Engine {
namespace {

struct Registry {
    std::recursive_mutex mutex;
    std::unordered_map<const ApiItem*, Item*> byInterface;
    std::map<uint64_t, Item*> byId;
    uint64_t nextId = 1;
    GraphImpl* projectRoot = nullptr;
    NodeImpl* projectSettings = nullptr;
    bool started = false;
    int callDepth = 0;
    bool exitPending = false;
    ApiErrorCallback errorCallback = nullptr;
    void* errorUserData = nullptr;
    std::deque<Item*> retired;
};

constexpr size_t kRetiredItems = 8192;

Registry& State() {
    static Registry* state = new Registry();
    return *state;
}

void CreateProject() {
    Registry& s = State();
    if (s.projectRoot) return;
    GraphImpl* root = CreateGraph(GraphKind::Root, nullptr);
    root->sceneVersion = kSceneVersion;
    root->nameText = "Project";
    s.projectRoot = root;
    NodeImpl* settings = CreateNode(Types::ProjectSettings, nullptr, nullptr, 0, true);
    if (settings) {
        settings->root = root;
        s.projectSettings = settings;
    }
}

void ExitNow() {
    Registry& s = State();
    DropAllObservations();
    FreeAllItems();
    BlockCache::Trim();
    s.projectRoot = nullptr;
    s.projectSettings = nullptr;
    s.started = false;
    ResetSession();
}

}  // namespace

std::recursive_mutex& EngineMutex() { return State().mutex; }

CallScope::CallScope() : mLock(State().mutex) { ++State().callDepth; }

CallScope::~CallScope() {
    Registry& s = State();
    if (--s.callDepth == 0 && s.exitPending) {
        s.exitPending = false;
        try {
            ExitNow();
        } catch (...) {
        }
    }
}

void FinishCall() { DeliverQueuedEvents(); }

Item* Resolve(const ApiItem* item) {
    if (!item) return nullptr;
    Registry& s = State();
    auto it = s.byInterface.find(item);
    return it == s.byInterface.end() ? nullptr : it->second;
}

NodeImpl* ResolveNode(const ApiItem* item) {
    Item* found = Resolve(item);
    return found ? found->asNode() : nullptr;
}

GraphImpl* ResolveGraph(const ApiItem* item) {
    Item* found = Resolve(item);
    return found ? found->asGraph() : nullptr;
}

NodeImpl* ResolveLiveNode(const ApiItem* item) {
    NodeImpl* node = ResolveNode(item);
    return node && !node->dying ? node : nullptr;
}

GraphImpl* ResolveLiveGraph(const ApiItem* item) {
    GraphImpl* graph = ResolveGraph(item);
    return graph && !graph->dying ? graph : nullptr;
}

Item* ItemWithId(uint64_t id) {
    Registry& s = State();
    auto it = s.byId.find(id);
    return it == s.byId.end() ? nullptr : it->second;
}

NodeImpl* NodeWithId(uint64_t id) {
    Item* item = ItemWithId(id);
    return item ? item->asNode() : nullptr;
}

void Register(Item* item) {
    Registry& s = State();
    item->id = s.nextId++;
    s.byInterface[item->api()] = item;
    s.byId[item->id] = item;
}

void Unregister(Item* item) {
    Registry& s = State();
    s.byInterface.erase(item->api());
    s.byId.erase(item->id);
}

void Retire(Item* item) {
    // Keep the shell, drop what it holds.
    item->nameText = std::string();
    std::vector<AttrValue>().swap(item->attrs);
    std::vector<Observation>().swap(item->observations);
    if (NodeImpl* node = item->asNode()) {
        std::vector<Pin>().swap(node->pins);
        node->destinations.clear();
    } else {
        GraphImpl* graph = item->asGraph();
        graph->owned.clear();
        graph->exportText = std::string();
    }
    std::deque<Item*>& retired = State().retired;
    retired.push_back(item);
    while (retired.size() > kRetiredItems) {
        delete retired.front();
        retired.pop_front();
    }
}

std::vector<Item*> AllItems() {
    std::vector<Item*> items;
    items.reserve(State().byId.size());
    for (auto& entry : State().byId) items.push_back(entry.second);
    return items;
}

GraphImpl* ProjectRoot() {
    CreateProject();
    return State().projectRoot;
}

NodeImpl* ProjectSettingsNode() {
    CreateProject();
    return State().projectSettings;
}

GraphImpl* ExistingProjectRoot() { return State().projectRoot; }

void SetErrorCallback(ApiErrorCallback callback, void* userData) {
    State().errorCallback = callback;
    State().errorUserData = userData;
}

bool EngineStarted() { return State().started; }

void ResetSession() {
    SetErrorCallback(nullptr, nullptr);
    ResetRenderState();
    ResetWindow();
}

bool IsProtected(const Item* item) {
    const Registry& s = State();
    return item && (item == s.projectRoot || item == s.projectSettings);
}

}  // namespace Engine

using namespace Engine;

bool apiMode_Shared_start(const char* productId, bool allowGui, const char** errorText, ApiErrorCallback callback,
                          void* userData) {
    if (errorText) *errorText = nullptr;
    const char* failure = "engine failure";
    bool ok = Guarded(false, [&]() {
        bool valid = productId != nullptr;
        for (int i = 0; valid && i < 8; ++i) valid = productId[i] >= 'A' && productId[i] <= 'Z';
        if (!valid || productId[8] != '\0') {
            failure = "invalid product identifier";
            return false;
        }
        Registry& s = State();
        if (s.started) {
            failure = "engine already started";
            return false;
        }
        CreateProject();
        if (!s.projectRoot || !s.projectSettings) {
            failure = "engine catalogue incomplete";
            return false;
        }
        s.started = true;
        SetErrorCallback(callback, userData);
        return true;
    });
    if (!ok && errorText) *errorText = failure;
    return ok;
}

void apiMode_Shared_exit(const char** errorText) {
    if (errorText) *errorText = nullptr;
    GuardedVoid([]() {
        Registry& s = State();
        // Inside an observer callback the caller's frames still hold items: exit when
        // the outermost call returns.
        if (s.callDepth > 1) {
            s.exitPending = true;
            return;
        }
        ExitNow();
    });
}

// The project is made on first use, even before the engine is started, so that the
// references are always valid; a later start keeps it. Should it not be made (no memory,
// no settings type in the catalogue), an inert stand-in that was never registered is
// handed out instead: every call on it answers the failure value.
ApiRootNodeGraph& ApiProjectManager::rootNodeGraph() {
    static GraphImpl* inert = new GraphImpl();
    GraphImpl* root = Guarded(static_cast<GraphImpl*>(nullptr), []() { return ProjectRoot(); });
    return root ? *root : *inert;
}

ApiNode& ApiProjectManager::projectSettings() {
    static NodeImpl* inert = new NodeImpl();
    NodeImpl* settings = Guarded(static_cast<NodeImpl*>(nullptr), []() { return ProjectSettingsNode(); });
    return settings ? *settings : *inert;
}

}  // namespace Zarnik
