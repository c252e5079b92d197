// Change observers: subscriptions per item, the event queue and delivery.
//
// Changes queue their events; the entry point that made them delivers the queue before it
// returns, so observers run synchronously on the caller's thread but never in the middle
// of a structural change. Deletions are the exception: they are delivered while the
// doomed items still exist (see DestroyItem).
#include <deque>
#include <unordered_set>

#include "core.h"
#include "session.h"

namespace Zarnik {
namespace Engine {
namespace {

struct QueuedEvent {
    EventType type;
    uint64_t changed;
    uint64_t owner;
    int32_t pinIx;
};

struct Observers {
    std::deque<QueuedEvent> queue;
    std::unordered_set<Item*> observed;
    size_t count = 0;
    size_t perBit[32] = {};       // observations whose mask has the bit
    uint64_t updates = 0;
};

Observers& State() {
    static Observers* state = new Observers();
    return *state;
}

int BitOf(uint32_t type) { return type && !(type & (type - 1)) ? __builtin_ctz(type) : -1; }

void CountMask(uint32_t mask, int delta) {
    Observers& s = State();
    for (int bit = 0; bit < 32; ++bit)
        if (mask & (1u << bit)) s.perBit[bit] = size_t(long(s.perBit[bit]) + delta);
}

void Forget(Item* item, size_t index) {
    CountMask(item->observations[index].mask, -1);
    item->observations.erase(item->observations.begin() + long(index));
    --State().count;
}

Item* OwnerOf(const Item* item) {
    if (item->ownerGraph) return item->ownerGraph;
    return item->ownerNode;
}

bool StillObserves(Item* watched, const ApiChangeManager::Observer& observer, uint32_t bit) {
    for (const Observation& o : watched->observations)
        if (SameObserver(o.observer, observer)) return (o.mask & bit) != 0;
    return false;
}

void Deliver(const QueuedEvent& event) {
    Item* changed = ItemWithId(event.changed);
    const int bit = BitOf(event.type);
    if (!changed || bit < 0 || State().perBit[bit] == 0) return;
    // The walk ends once every observation that wants this kind of event was met.
    const size_t wanted = State().perBit[bit];
    size_t met = 0;

    // Everyone watching the item or something that depends on it, each observer once.
    struct Recipient {
        ApiChangeManager::Observer observer;
        uint64_t watched;
    };
    std::vector<Recipient> recipients;
    std::unordered_set<Item*> visited{changed};
    // Breadth first, destinations in connection order: nearer dependents hear first.
    std::vector<Item*> pending{changed};
    for (size_t next = 0; next < pending.size() && met < wanted; ++next) {
        Item* current = pending[next];
        for (const Observation& o : current->observations) {
            if (!(o.mask & event.type)) continue;
            ++met;
            bool known = false;
            for (const Recipient& r : recipients) known = known || SameObserver(r.observer, o.observer);
            if (!known) recipients.push_back(Recipient{o.observer, current->id});
        }
        if (NodeImpl* node = current->asNode()) {
            for (const DestRef& ref : node->destinations)
                if (visited.insert(ref.node).second) pending.push_back(ref.node);
        }
    }

    for (const Recipient& r : recipients) {
        // Earlier callbacks may have ended this observation or removed the item.
        changed = ItemWithId(event.changed);
        if (!changed) return;
        Item* watched = ItemWithId(r.watched);
        if (!watched || !StillObserves(watched, r.observer, event.type)) continue;
        Item* owner = event.owner ? ItemWithId(event.owner) : nullptr;
        ApiChangeManager::ChangeEvent e{event.type, changed->api(), owner ? owner->api() : nullptr, event.pinIx};
        try {
            r.observer.callback(e, r.observer.userData);
        } catch (...) {
        }
    }
}

}  // namespace

void QueueEvent(EventType type, Item* changed, int32_t pinIx) {
    const int bit = BitOf(type);
    if (!changed || bit < 0 || State().perBit[bit] == 0) return;
    Item* owner = OwnerOf(changed);
    State().queue.push_back(QueuedEvent{type, changed->id, owner ? owner->id : 0, pinIx});
}

void DeliverQueuedEvents() {
    std::deque<QueuedEvent>& queue = State().queue;
    while (!queue.empty()) {
        QueuedEvent event = queue.front();
        queue.pop_front();
        Deliver(event);
    }
}

bool AnyObservers() { return State().count != 0; }

void DropObservations(Item* item) {
    Observers& s = State();
    for (const Observation& o : item->observations) CountMask(o.mask, -1);
    s.count -= item->observations.size();
    item->observations.clear();
    s.observed.erase(item);
}

void DropAllObservations() {
    Observers& s = State();
    for (Item* item : s.observed) item->observations.clear();
    s.observed.clear();
    s.count = 0;
    for (size_t& n : s.perBit) n = 0;
    s.queue.clear();
    s.updates = 0;
}

}  // namespace Engine

using namespace Engine;

void ApiChangeManager::observeApiItem(const ApiItem& item, const Observer& observer, uint32_t eventMask) {
    GuardedVoid([&]() {
        Item* target = Resolve(&item);
        if (!target || target->dying || !observer.callback) return;
        for (Observation& o : target->observations) {
            if (SameObserver(o.observer, observer)) {
                CountMask(o.mask, -1);
                CountMask(eventMask, +1);
                o.mask = eventMask;
                return;
            }
        }
        target->observations.push_back(Observation{observer, eventMask});
        CountMask(eventMask, +1);
        Engine::State().observed.insert(target);
        ++Engine::State().count;
    });
}

void ApiChangeManager::stopObserving(const ApiItem& item, const Observer& observer) {
    GuardedVoid([&]() {
        Item* target = Resolve(&item);
        if (!target) return;
        std::vector<Observation>& list = target->observations;
        for (size_t i = 0; i < list.size(); ++i) {
            if (!SameObserver(list[i].observer, observer)) continue;
            Forget(target, i);
            break;
        }
        if (list.empty()) Engine::State().observed.erase(target);
    });
}

void ApiChangeManager::stopObserving(const Observer& observer) {
    GuardedVoid([&]() {
        Observers& s = Engine::State();
        std::vector<Item*> emptied;
        for (Item* target : s.observed) {
            std::vector<Observation>& list = target->observations;
            for (size_t i = 0; i < list.size(); ++i) {
                if (!SameObserver(list[i].observer, observer)) continue;
                Forget(target, i);
                break;
            }
            if (list.empty()) emptied.push_back(target);
        }
        for (Item* target : emptied) s.observed.erase(target);
    });
}

void ApiChangeManager::stopObserving() {
    GuardedVoid([]() {
        Observers& s = Engine::State();
        for (Item* item : s.observed) item->observations.clear();
        s.observed.clear();
        s.count = 0;
        for (size_t& n : s.perBit) n = 0;
    });
}

void ApiChangeManager::update() {
    GuardedVoid([]() {
        ++Engine::State().updates;
        TakeInChanges();
    });
}

uint64_t ApiChangeManager::updateCount() {
    return Guarded(uint64_t(0), []() { return Engine::State().updates; });
}

}  // namespace Zarnik
