// Change observers: masks, propagation to dependents, identity and re-entrant callbacks.
#include <functional>
#include <vector>

#include "core_fixture.h"

namespace Zarnik {
namespace Engine {
namespace {

typedef ApiChangeManager::ChangeEvent Event;

struct Recorder {
    std::vector<Event> events;
    std::function<void(const Event&)> action;

    static void Callback(const Event& event, void* userData) {
        Recorder* self = static_cast<Recorder*>(userData);
        self->events.push_back(event);
        if (self->action) self->action(event);
    }
    ApiChangeManager::Observer observer() { return {&Recorder::Callback, this}; }
    size_t count(uint32_t type) const {
        size_t n = 0;
        for (const Event& e : events) n += e.type == type;
        return n;
    }
};

class ObserverTest : public CoreTest {};

TEST_F(ObserverTest, MasksSelectEventsAndDependentsHearOfInputChanges) {
    ApiNode* material = make(17);
    ApiNode* colour = material->createInternal(30, Types::RgbTexture);
    ApiNode* shared = make(Types::FloatTexture);
    ApiNode* user = make(16);
    ASSERT_TRUE(material->connectTo(125, shared));
    ASSERT_TRUE(user->connectTo(125, shared));

    Recorder values, everything;
    ApiChangeManager::observeApiItem(*material, values.observer(), Event::ITEM_VALUE_CHANGED);
    ApiChangeManager::observeApiItem(*user, everything.observer(), ~0u);

    colour->set(Attrs::Value, float_3{1, 0, 0});            // reaches the pin owner
    ASSERT_EQ(values.events.size(), 1u);
    EXPECT_EQ(values.events[0].changedItem, colour);
    EXPECT_EQ(values.events[0].itemOwner, material);
    colour->set(Attrs::Value, float_3{1, 0, 0});            // unchanged: no event
    EXPECT_EQ(values.events.size(), 1u);

    shared->set(Attrs::Value, 0.25f);                        // reaches both destinations
    EXPECT_EQ(values.events.size(), 2u);
    EXPECT_EQ(everything.count(Event::ITEM_VALUE_CHANGED), 1u);
    material->setName("renamed");                           // masked out for values
    EXPECT_EQ(values.events.size(), 2u);

    user->setPosition({1, 2});
    user->setUIOperationFlags(4);
    ASSERT_TRUE(user->connectTo(30, shared));
    EXPECT_EQ(everything.count(Event::ITEM_MOVED), 1u);
    EXPECT_EQ(everything.count(Event::ITEM_UI_OPERATION_FLAG_CHANGED), 1u);
    ASSERT_EQ(everything.count(Event::CONNECTION_CHANGED), 1u);
    for (const Event& e : everything.events) {
        if (e.type == Event::CONNECTION_CHANGED) {
            EXPECT_EQ(uint32_t(e.pinIx), pinIndex(user, 30));
        }
    }
    EXPECT_EQ(everything.count(Event::DESTINATION_ADDED), 1u);   // the shared node feeds user
    ApiChangeManager::stopObserving();
}

TEST_F(ObserverTest, OneCallPerObserverAndTheThreeWaysToStop) {
    ApiNode* material = make(17);
    ApiNode* colour = material->createInternal(30, Types::RgbTexture);
    Recorder r;
    // Watching two items on the same path still gives one call.
    ApiChangeManager::observeApiItem(*material, r.observer(), Event::ITEM_VALUE_CHANGED);
    ApiChangeManager::observeApiItem(*colour, r.observer(), Event::ITEM_VALUE_CHANGED);
    colour->set(Attrs::Value, float_3{0, 1, 0});
    EXPECT_EQ(r.events.size(), 1u);

    // The same observer again replaces the mask.
    ApiChangeManager::observeApiItem(*colour, r.observer(), Event::ITEM_NAME_CHANGED);
    ApiChangeManager::stopObserving(*material, r.observer());
    colour->set(Attrs::Value, float_3{0, 0, 1});
    EXPECT_EQ(r.events.size(), 1u);
    colour->setName("c");
    EXPECT_EQ(r.events.size(), 2u);

    // A different user datum is a different observer.
    Recorder other;
    ApiChangeManager::Observer sameCallback{&Recorder::Callback, &other};
    ApiChangeManager::observeApiItem(*colour, sameCallback, Event::ITEM_NAME_CHANGED);
    ApiChangeManager::stopObserving(r.observer());
    colour->setName("d");
    EXPECT_EQ(r.events.size(), 2u);
    EXPECT_EQ(other.events.size(), 1u);
    ApiChangeManager::stopObserving();
    colour->setName("e");
    EXPECT_EQ(other.events.size(), 1u);
}

TEST_F(ObserverTest, DeletionIsReportedWhileTheItemStillExists) {
    ApiNode* material = make(17, false);
    ApiNode* colour = material->createInternal(30, Types::RgbTexture);
    Recorder r;
    std::vector<uint64_t> seen;
    r.action = [&](const Event& e) {
        if (e.type == Event::ITEM_DELETE) seen.push_back(e.changedItem->uniqueId());
    };
    ApiChangeManager::observeApiItem(*material, r.observer(), Event::ITEM_DELETE);
    const uint64_t colourId = colour->uniqueId(), materialId = material->uniqueId();
    material->destroy();
    ASSERT_EQ(seen.size(), 2u);          // the node and its pin-owned input
    EXPECT_NE(std::find(seen.begin(), seen.end(), colourId), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), materialId), seen.end());
    // Observations end with the item.
    make(17)->destroy();
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(ObserverTest, CallbacksMayChangeTheSceneAndStopObserving) {
    ApiNode* texture = make(Types::RgbTexture);
    ApiNode* first = make(17);
    ApiNode* second = make(16);
    ASSERT_TRUE(first->connectTo(30, texture));
    ASSERT_TRUE(second->connectTo(30, texture));
    Recorder a, b;
    // a destroys the second destination and stops b from hearing anything more.
    a.action = [&](const Event& e) {
        if (e.type != Event::ITEM_VALUE_CHANGED) return;
        ApiChangeManager::stopObserving(b.observer());
        second->destroy();
        texture->set(Attrs::Value, float_3{0.5f, 0.5f, 0.5f});   // nested change
    };
    ApiChangeManager::observeApiItem(*first, a.observer(), Event::ITEM_VALUE_CHANGED);
    ApiChangeManager::observeApiItem(*second, b.observer(), Event::ITEM_VALUE_CHANGED);
    texture->set(Attrs::Value, float_3{1, 1, 1});
    EXPECT_EQ(b.events.size(), 0u);
    EXPECT_EQ(a.events.size(), 2u);      // the change and the nested one
    EXPECT_EQ(first->connectedNode(30), texture);
    EXPECT_EQ(texture->getFloat3(Attrs::Value), (float_3{0.5f, 0.5f, 0.5f}));

    // A throwing callback does not unwind through the engine.
    Recorder thrower;
    thrower.action = [](const Event&) { throw 42; };
    ApiChangeManager::observeApiItem(*texture, thrower.observer(), Event::ITEM_NAME_CHANGED);
    texture->setName("x");
    EXPECT_STREQ(texture->name(), "x");

    // Destroying the watched item from its own deletion callback is harmless.
    Recorder self;
    self.action = [&](const Event& e) { e.changedItem->destroy(); };
    ApiChangeManager::observeApiItem(*first, self.observer(), Event::ITEM_DELETE);
    const uint64_t firstId = first->uniqueId();
    first->destroy();
    EXPECT_FALSE(alive(firstId));
    EXPECT_FALSE(self.events.empty());
    ApiChangeManager::update();
    EXPECT_EQ(ApiChangeManager::updateCount(), 1u);
}

TEST_F(ObserverTest, ExitInsideACallbackWaitsForTheOutermostCall) {
    ApiNode* node = make(17);
    Recorder r;
    r.action = [&](const Event&) {
        apiMode_Shared_exit(nullptr);
        EXPECT_TRUE(Testing::Started());
        node->setName("still usable");
    };
    ApiChangeManager::observeApiItem(*node, r.observer(), Event::ITEM_NAME_CHANGED);
    node->setName("go");
    EXPECT_FALSE(Testing::Started());
    ASSERT_TRUE(apiMode_Shared_start("ZKCORETS", false, nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace Engine
}  // namespace Zarnik
