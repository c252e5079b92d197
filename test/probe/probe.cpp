// ZarnikProbe: a test-only Ruby extension that looks inside the running engine and acts as
// its user. It links the same engine library as the extension, so after both are required
// it sees the very state the extension built.
//
// Nodes are named by handle: the item's unique id as an Integer, resolved afresh on every
// call, so a handle of a node that is gone (or of an item that is not a node) answers nil
// or false instead of touching freed memory.

#include <ruby.h>

#include <malloc.h>

#include <cstring>
#include <string>
#include <vector>

#include "probe_support.h"
#include "probe_values.h"

namespace ZarnikProbe {
namespace {

using namespace Zarnik;

// A number argument after its type check: inRange is false for a value that cannot name
// anything (negative, or too wide), which answers nil rather than raising.
struct NumberArg {
    bool inRange;
    uint64_t value;
};

NumberArg ReadHandle(VALUE v) {
    NumberArg arg{};
    arg.inRange = ToU64(v, "handle", arg.value);
    return arg;
}

NumberArg ReadId(VALUE v, const char* what) {
    uint32_t narrow = 0;
    NumberArg arg{};
    arg.inRange = ToU32(v, what, narrow);
    arg.value = narrow;
    return arg;
}

ApiNode* Resolve(const NumberArg& handle) { return handle.inRange ? NodeByHandle(handle.value) : nullptr; }

VALUE Utf8(const char* text) { return text ? rb_utf8_str_new_cstr(text) : Qnil; }
VALUE Bool(bool v) { return v ? Qtrue : Qfalse; }

// Runs fn on the live node behind the handle; nil when there is none. fn builds its answer
// with Ruby calls only and owns no C++ objects.
template <class Fn>
VALUE WithNode(const NumberArg& handle, Fn&& fn) {
    return Guard([&](int&) -> VALUE {
        ApiNode* node = Resolve(handle);
        return node ? fn(*node) : Qnil;
    });
}

// The graph a handle names, nil naming the project's root graph; null when there is none.
ApiNodeGraph* ResolveGraph(bool root, const NumberArg& handle) {
    if (!Testing::Started()) return nullptr;
    if (root) return &ApiProjectManager::rootNodeGraph();
    return handle.inRange ? GraphByHandle(handle.value) : nullptr;
}

VALUE HandleList(const std::vector<const ApiItem*>& items, int& state) {
    return Protect(
        [&]() -> VALUE {
            VALUE out = rb_ary_new_capa(static_cast<long>(items.size()));
            for (const ApiItem* item : items) rb_ary_push(out, HandleOf(item));
            return out;
        },
        state);
}

// --- nodes and graphs ---

VALUE Nodes(VALUE, VALUE type) {
    const NumberArg nodeType = ReadId(type, "node type");
    return Guard([&](int& state) -> VALUE {
        std::vector<const ApiItem*> found;
        if (nodeType.inRange && Testing::Started()) {
            // Type 0 lists every node, whatever its type.
            for (ApiNode* node : Testing::ProjectNodes(static_cast<NodeType>(nodeType.value))) found.push_back(node);
        }
        return HandleList(found, state);
    });
}

VALUE GraphNodes(VALUE, VALUE graph) {
    const bool root = NIL_P(graph);
    const NumberArg handle = root ? NumberArg{false, 0} : ReadHandle(graph);
    return Guard([&](int& state) -> VALUE {
        const ApiNodeGraph* owner = ResolveGraph(root, handle);
        if (!owner) return Qnil;
        ApiItemArray items;
        owner->getOwnedItems(items);
        std::vector<const ApiItem*> nodes;
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i]->isNode()) nodes.push_back(items[i]);
        return HandleList(nodes, state);
    });
}

VALUE NodeTypes(VALUE) {
    return Guard([](int&) -> VALUE {
        const ApiArray<NodeType> types = ApiInfo::nodeTypes();
        VALUE out = rb_ary_new_capa(static_cast<long>(types.size()));
        for (NodeType type : types) rb_ary_push(out, UINT2NUM(type));
        return out;
    });
}

// The user adds a node to a graph (nil: the project's root graph), its pins filled with
// their default values.
VALUE CreateNode(VALUE, VALUE type, VALUE graph) {
    const NumberArg nodeType = ReadId(type, "node type");
    const bool root = NIL_P(graph);
    const NumberArg handle = root ? NumberArg{false, 0} : ReadHandle(graph);
    return Guard([&](int&) -> VALUE {
        ApiNodeGraph* owner = ResolveGraph(root, handle);
        if (!owner || !nodeType.inRange) return Qnil;
        return HandleOf(ApiNode::create(static_cast<NodeType>(nodeType.value), *owner, true));
    });
}

// The user deletes an item (a node or a nested graph). Answers whether it is gone; the
// engine keeps the items it never lets go of.
VALUE Destroy(VALUE, VALUE h) {
    const NumberArg handle = ReadHandle(h);
    return Guard([&](int&) -> VALUE {
        if (!handle.inRange || !Testing::Started()) return Qfalse;
        ApiItem* item = Testing::ItemById(handle.value);
        if (!item || item->isRootGraph()) return Qfalse;
        item->destroy();
        return Bool(Testing::ItemById(handle.value) == nullptr);
    });
}

VALUE GraphOwner(VALUE, VALUE h) {
    return WithNode(ReadHandle(h), [](ApiNode& node) { return HandleOf(node.graphOwner()); });
}

VALUE TypeOfNode(VALUE, VALUE h) {
    return WithNode(ReadHandle(h), [](ApiNode& node) { return UINT2NUM(node.type()); });
}

VALUE NodeName(VALUE, VALUE h) {
    return WithNode(ReadHandle(h), [](ApiNode& node) { return Utf8(node.name()); });
}

VALUE GraphName(VALUE, VALUE h) {
    return WithNode(ReadHandle(h), [](ApiNode& node) {
        const ApiNodeGraph* owner = node.graphOwner();
        return owner ? Utf8(owner->name()) : Qnil;
    });
}

VALUE PinOwned(VALUE, VALUE h) {
    return WithNode(ReadHandle(h), [](ApiNode& node) { return Bool(node.pinOwned()); });
}

VALUE NodeHandleValid(VALUE, VALUE h) {
    const NumberArg handle = ReadHandle(h);
    return Guard([&](int&) -> VALUE { return Bool(Resolve(handle) != nullptr); });
}

VALUE Destinations(VALUE, VALUE h) {
    const NumberArg handle = ReadHandle(h);
    return Guard([&](int& state) -> VALUE {
        ApiNode* node = Resolve(handle);
        if (!node) return Qnil;
        ApiNodeArray destinations;
        ApiStringArray pinNames;
        node->destinationNodes(destinations, pinNames);
        return Protect(
            [&]() -> VALUE {
                VALUE out = rb_ary_new_capa(static_cast<long>(destinations.size()));
                for (size_t i = 0; i < destinations.size(); ++i) {
                    VALUE pinName = i < pinNames.size() ? Utf8(pinNames[i]) : Qnil;
                    rb_ary_push(out, rb_ary_new_from_args(2, HandleOf(destinations[i]), pinName));
                }
                return out;
            },
            state);
    });
}

// --- pins and attributes ---

VALUE PinCount(VALUE, VALUE h) {
    return WithNode(ReadHandle(h), [](ApiNode& node) { return UINT2NUM(node.pinCount()); });
}

VALUE Input(VALUE, VALUE h, VALUE pin) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg id = ReadId(pin, "pin id");
    return WithNode(handle, [&](ApiNode& node) {
        return id.inRange && node.hasPin(id.value) ? HandleOf(node.inputNode(id.value)) : Qnil;
    });
}

VALUE InputIx(VALUE, VALUE h, VALUE index) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg ix = ReadId(index, "pin index");
    return WithNode(handle, [&](ApiNode& node) {
        return ix.inRange && ix.value < node.pinCount() ? HandleOf(node.inputNodeIx(ix.value)) : Qnil;
    });
}

VALUE PinIdIx(VALUE, VALUE h, VALUE index) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg ix = ReadId(index, "pin index");
    return WithNode(handle, [&](ApiNode& node) {
        return ix.inRange && ix.value < node.pinCount() ? UINT2NUM(node.pinIdIx(ix.value)) : Qnil;
    });
}

VALUE PinNameIx(VALUE, VALUE h, VALUE index) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg ix = ReadId(index, "pin index");
    return WithNode(handle, [&](ApiNode& node) {
        return ix.inRange && ix.value < node.pinCount() ? Utf8(node.pinNameIx(ix.value)) : Qnil;
    });
}

VALUE PinValueOf(VALUE, VALUE h, VALUE pin) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg id = ReadId(pin, "pin id");
    return WithNode(handle, [&](ApiNode& node) { return id.inRange ? PinValue(node, id.value) : Qnil; });
}

VALUE SetPinValue(VALUE, VALUE h, VALUE pin, VALUE value) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg id = ReadId(pin, "pin id");
    const PinInput input = ParsePinInput(value);
    VALUE answer = Guard([&](int&) -> VALUE {
        ApiNode* node = Resolve(handle);
        return Bool(node && id.inRange && ApplyPinInput(*node, id.value, input));
    });
    RB_GC_GUARD(value);
    return answer;
}

// The user plugs a node (nil: nothing) into a pin, by pin index, as the graph editor would.
VALUE ConnectIx(VALUE, VALUE h, VALUE pin_index, VALUE source) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg index = ReadId(pin_index, "pin index");
    const bool unplug = NIL_P(source);
    const NumberArg source_handle = unplug ? NumberArg{true, 0} : ReadHandle(source);
    return Guard([&](int&) -> VALUE {
        ApiNode* node = Resolve(handle);
        ApiNode* input = unplug ? nullptr : Resolve(source_handle);
        if (!node || !index.inRange || (!unplug && !input)) return Qfalse;
        return Bool(node->connectToIx(static_cast<uint32_t>(index.value), input, true, true));
    });
}

VALUE Attr(VALUE, VALUE h, VALUE attr) {
    const NumberArg handle = ReadHandle(h);
    const NumberArg id = ReadId(attr, "attribute id");
    return WithNode(handle, [&](ApiNode& node) { return id.inRange ? AttributeValue(node, id.value) : Qnil; });
}

VALUE AttrIds(VALUE, VALUE h) {
    return WithNode(ReadHandle(h), [](ApiNode& node) {
        const uint32_t count = node.attrCount();
        VALUE out = rb_ary_new_capa(count);
        for (uint32_t i = 0; i < count; ++i) rb_ary_push(out, UINT2NUM(node.attrIdIx(i)));
        return out;
    });
}

// --- rendering, window and project ---

VALUE RenderTarget(VALUE) {
    return Guard([](int&) -> VALUE {
        return Testing::Started() ? HandleOf(ApiRenderEngine::getRenderTargetNode()) : Qnil;
    });
}

VALUE RenderState(VALUE) {
    return Guard([](int& state) -> VALUE {
        if (!Testing::Started()) return Qnil;
        const std::string name = Testing::RenderState();
        return Protect([&]() -> VALUE { return Utf8(name.c_str()); }, state);
    });
}

VALUE RestartCount(VALUE) {
    return Guard([](int&) -> VALUE {
        return Testing::Started() ? ULL2NUM(ApiRenderEngine::restartCount()) : Qnil;
    });
}

// Saves the current picture as a PNG file; false when there is none, when it cannot be
// written, or for a path with a NUL byte (no file could have that name).
VALUE RenderImage(VALUE, VALUE path) {
    RequireString(path, "path");
    if (std::memchr(RSTRING_PTR(path), 0, size_t(RSTRING_LEN(path)))) return Qfalse;
    const char* text = StringValueCStr(path);
    VALUE answer = Guard([&](int&) -> VALUE { return Bool(Testing::Started() && ApiRenderEngine::saveImage(text)); });
    RB_GC_GUARD(path);
    return answer;
}

VALUE SamplesDone(VALUE) {
    return Guard([](int&) -> VALUE { return Testing::Started() ? ULL2NUM(ApiRenderEngine::samplesDone()) : Qnil; });
}

// Bytes the C allocator has handed out and not had back, in every arena. Unlike resident
// memory it does not move with pages the allocator keeps or returns, so a growth check can
// tell a climb from the allocator's own swings.
VALUE HeapInUse(VALUE) {
    const struct ::mallinfo2 info = ::mallinfo2();
    return SIZET2NUM(info.uordblks + info.hblkhd);
}

// Waits (Ruby's lock held: the workers never need it) until the picture has the samples.
VALUE WaitForSamples(VALUE, VALUE samples, VALUE timeoutMs) {
    uint64_t count = 0;
    uint32_t timeout = 0;
    const bool countOk = ToU64(samples, "samples", count);
    const bool timeoutOk = ToU32(timeoutMs, "timeout", timeout);
    return Guard([&](int&) -> VALUE {
        return Bool(countOk && timeoutOk && Testing::Started() && ApiRenderEngine::waitForSamples(count, timeout));
    });
}

VALUE UpdateCount(VALUE) {
    return Guard([](int&) -> VALUE {
        return Testing::Started() ? ULL2NUM(ApiChangeManager::updateCount()) : Qnil;
    });
}

VALUE WindowVisible(VALUE) {
    return Guard([](int&) -> VALUE { return Bool(Testing::WindowVisible()); });
}

VALUE WindowExtent(VALUE) {
    return Guard([](int&) -> VALUE {
        int x = 0, y = 0, width = 0, height = 0;
        Testing::WindowExtent(x, y, width, height);
        return rb_ary_new_from_args(4, INT2NUM(x), INT2NUM(y), INT2NUM(width), INT2NUM(height));
    });
}

VALUE CloseWindow(VALUE) {
    return Guard([](int&) -> VALUE {
        if (!Testing::Started()) return Qfalse;
        Testing::CloseWindowAsUser();
        return Qtrue;
    });
}

VALUE ExportRoot(VALUE) {
    return Guard([](int&) -> VALUE {
        if (!Testing::Started()) return Qnil;
        return Utf8(ApiProjectManager::rootNodeGraph().exportToString(nullptr, true));
    });
}

VALUE EngineStarted(VALUE) {
    return Guard([](int&) -> VALUE { return Bool(Testing::Started()); });
}

}  // namespace
}  // namespace ZarnikProbe

extern "C" __attribute__((visibility("default"))) void Init_zarnik_probe() {
    using namespace ZarnikProbe;
    VALUE probe = rb_define_class("ZarnikProbe", rb_cObject);
    struct Method {
        const char* name;
        VALUE (*function)(ANYARGS);
        int arity;
    };
    const Method methods[] = {
        {"nodes", RUBY_METHOD_FUNC(Nodes), 1},
        {"node_types", RUBY_METHOD_FUNC(NodeTypes), 0},
        {"create_node", RUBY_METHOD_FUNC(CreateNode), 2},
        {"destroy", RUBY_METHOD_FUNC(Destroy), 1},
        {"graph_nodes", RUBY_METHOD_FUNC(GraphNodes), 1},
        {"graph_owner", RUBY_METHOD_FUNC(GraphOwner), 1},
        {"node_type", RUBY_METHOD_FUNC(TypeOfNode), 1},
        {"node_name", RUBY_METHOD_FUNC(NodeName), 1},
        {"graph_name", RUBY_METHOD_FUNC(GraphName), 1},
        {"pin_owned?", RUBY_METHOD_FUNC(PinOwned), 1},
        {"node_handle_valid?", RUBY_METHOD_FUNC(NodeHandleValid), 1},
        {"destinations", RUBY_METHOD_FUNC(Destinations), 1},
        {"pin_count", RUBY_METHOD_FUNC(PinCount), 1},
        {"input", RUBY_METHOD_FUNC(Input), 2},
        {"input_ix", RUBY_METHOD_FUNC(InputIx), 2},
        {"pin_id_ix", RUBY_METHOD_FUNC(PinIdIx), 2},
        {"pin_name_ix", RUBY_METHOD_FUNC(PinNameIx), 2},
        {"pin_value", RUBY_METHOD_FUNC(PinValueOf), 2},
        {"set_pin_value", RUBY_METHOD_FUNC(SetPinValue), 3},
        {"connect_ix", RUBY_METHOD_FUNC(ConnectIx), 3},
        {"attr", RUBY_METHOD_FUNC(Attr), 2},
        {"attr_ids", RUBY_METHOD_FUNC(AttrIds), 1},
        {"render_target", RUBY_METHOD_FUNC(RenderTarget), 0},
        {"render_state", RUBY_METHOD_FUNC(RenderState), 0},
        {"restart_count", RUBY_METHOD_FUNC(RestartCount), 0},
        {"update_count", RUBY_METHOD_FUNC(UpdateCount), 0},
        {"render_image", RUBY_METHOD_FUNC(RenderImage), 1},
        {"samples_done", RUBY_METHOD_FUNC(SamplesDone), 0},
        {"wait_for_samples", RUBY_METHOD_FUNC(WaitForSamples), 2},
        {"heap_in_use", RUBY_METHOD_FUNC(HeapInUse), 0},
        {"window_visible?", RUBY_METHOD_FUNC(WindowVisible), 0},
        {"window_extent", RUBY_METHOD_FUNC(WindowExtent), 0},
        {"close_window", RUBY_METHOD_FUNC(CloseWindow), 0},
        {"export_root", RUBY_METHOD_FUNC(ExportRoot), 0},
        {"engine_started?", RUBY_METHOD_FUNC(EngineStarted), 0},
    };
    // The parentheses call the plain function: the header's C++ overloads want the arity
    // as a compile-time constant.
    for (const Method& m : methods) (rb_define_singleton_method)(probe, m.name, m.function, m.arity);
}
