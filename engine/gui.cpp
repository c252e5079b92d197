// The engine's window and workspace, kept as state: there is no screen to draw on.
//
// Window and editor objects are never freed. An editor of a replaced layout, or a window
// from before an engine exit, stays valid memory, so a pointer the caller kept only reads
// and writes its own stale extent.
#include <deque>
#include <memory>
#include <pugixml.hpp>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "core.h"
#include "session.h"

namespace Zarnik {
namespace Engine {
namespace {

struct Extent {
    int x = 0, y = 0, width = 0, height = 0;
};

class WindowImpl final : public ApiMainWindow {
public:
    Extent extent{100, 100, 1280, 800};
    bool visible = false;
    CloseCallback callback = nullptr;
    void* userData = nullptr;
    uint64_t defaultGraphId = 0;
};

class EditorImpl final : public ApiNodeGraphEditor {
public:
    Extent extent{0, 0, 800, 600};
    uint64_t contentGraphId = 0;
};

const char* const kBuiltInLayout =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<workspace>\n"
    " <layoutGrid>\n"
    "  <gridType>3</gridType>\n"
    "  <isHorizontal>true</isHorizontal>\n"
    "  <children>\n"
    "   <child>\n"
    "    <relativeSize>0.25</relativeSize>\n"
    "    <childData>\n"
    "     <gridType>1</gridType>\n"
    "     <workPane>\n"
    "      <pluginId>79</pluginId>\n"
    "     </workPane>\n"
    "    </childData>\n"
    "   </child>\n"
    "   <child>\n"
    "    <relativeSize>0.5</relativeSize>\n"
    "    <childData>\n"
    "     <gridType>1</gridType>\n"
    "     <workPane>\n"
    "      <pluginId>80</pluginId>\n"
    "     </workPane>\n"
    "    </childData>\n"
    "   </child>\n"
    "   <child>\n"
    "    <relativeSize>0.25</relativeSize>\n"
    "    <childData>\n"
    "     <gridType>1</gridType>\n"
    "     <workPane>\n"
    "      <pluginId>78</pluginId>\n"
    "     </workPane>\n"
    "    </childData>\n"
    "   </child>\n"
    "  </children>\n"
    " </layoutGrid>\n"
    " <undockedPanes/>\n"
    "</workspace>\n";

constexpr const char* kNodeGraphEditorPane = "80";

struct Gui {
    WindowImpl* window = nullptr;                        // the live window, if any
    std::unique_ptr<pugi::xml_document> layout;
    std::vector<ApiNodeGraphEditor*> editors;            // of the current layout
    std::string serialized;
    std::unordered_map<const ApiGuiComponent*, Extent*> components;   // every live one
    std::unordered_set<const ApiNodeGraphEditor*> allEditors;
    // Editors of earlier layouts. A caller may still hold one; it is only compared against
    // the live sets above, so it answers as gone instead of touching freed memory. Only the
    // most recent are kept, or a host that loads layouts in a loop would grow without end.
    std::deque<EditorImpl*> retiredEditors;
    std::unordered_set<const ApiMainWindow*> allWindows;
};

Gui& State() {
    static Gui* state = new Gui();
    return *state;
}

std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

bool IsNodeGraphEditorPane(const pugi::xml_node& pane) {
    pugi::xml_attribute attribute = pane.attribute("pluginId");
    if (attribute) return Trimmed(attribute.value()) == kNodeGraphEditorPane;
    return Trimmed(pane.child("pluginId").text().get()) == kNodeGraphEditorPane;
}

void CollectEditorPanes(const pugi::xml_node& node, size_t& count) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        if (std::string(child.name()) == "workPane" && IsNodeGraphEditorPane(child)) ++count;
        CollectEditorPanes(child, count);
    }
}

constexpr size_t kRetiredEditors = 1024;

void RetireEditor(EditorImpl* editor) {
    Gui& gui = State();
    gui.components.erase(editor);
    gui.allEditors.erase(editor);
    gui.retiredEditors.push_back(editor);
    while (gui.retiredEditors.size() > kRetiredEditors) {
        delete gui.retiredEditors.front();
        gui.retiredEditors.pop_front();
    }
}

bool Load(const char* text) {
    if (!text) return false;
    std::unique_ptr<pugi::xml_document> doc(new pugi::xml_document());
    if (!doc->load_string(text, pugi::parse_default)) return false;
    if (std::string(doc->document_element().name()) != "workspace") return false;
    size_t paneCount = 0;
    CollectEditorPanes(doc->document_element(), paneCount);
    Gui& gui = State();
    gui.layout.swap(doc);
    for (ApiNodeGraphEditor* old : gui.editors) RetireEditor(static_cast<EditorImpl*>(old));
    gui.editors.clear();
    for (size_t i = 0; i < paneCount; ++i) {
        EditorImpl* editor = new EditorImpl();
        gui.components[editor] = &editor->extent;
        gui.allEditors.insert(editor);
        gui.editors.push_back(editor);
    }
    return true;
}

void EnsureLayout() {
    if (!State().layout) Load(kBuiltInLayout);
}

Extent* ExtentOf(const ApiGuiComponent* component) {
    auto it = State().components.find(component);
    return it == State().components.end() ? nullptr : it->second;
}

EditorImpl* EditorOf(const ApiNodeGraphEditor* editor) {
    if (!State().allEditors.count(editor)) return nullptr;
    return const_cast<EditorImpl*>(static_cast<const EditorImpl*>(editor));
}

WindowImpl* WindowOf(const ApiMainWindow* window) {
    if (!State().allWindows.count(window)) return nullptr;
    return const_cast<WindowImpl*>(static_cast<const WindowImpl*>(window));
}

ApiNodeGraph* GraphWithId(uint64_t id) {
    Item* item = ItemWithId(id);
    return item ? item->asGraph() : nullptr;
}

}  // namespace

void ResetWindow() {
    Gui& gui = State();
    gui.window = nullptr;
    Load(kBuiltInLayout);
}

bool WindowState(bool& visible, int& x, int& y, int& width, int& height) {
    WindowImpl* window = State().window;
    visible = window && window->visible;
    x = y = width = height = 0;
    if (!window) return false;
    x = window->extent.x;
    y = window->extent.y;
    width = window->extent.width;
    height = window->extent.height;
    return true;
}

void CloseWindowAsUser() {
    WindowImpl* window = State().window;
    if (!window || !window->visible) return;
    window->visible = false;
    if (window->callback) {
        try {
            window->callback(window->userData);
        } catch (...) {
        }
    }
}

}  // namespace Engine

using namespace Engine;

// ---- components -----------------------------------------------------------------------

int ApiGuiComponent::xPosition() const {
    return Guarded(0, [&]() { return ExtentOf(this) ? ExtentOf(this)->x : 0; });
}

int ApiGuiComponent::yPosition() const {
    return Guarded(0, [&]() { return ExtentOf(this) ? ExtentOf(this)->y : 0; });
}

int ApiGuiComponent::width() const {
    return Guarded(0, [&]() { return ExtentOf(this) ? ExtentOf(this)->width : 0; });
}

int ApiGuiComponent::height() const {
    return Guarded(0, [&]() { return ExtentOf(this) ? ExtentOf(this)->height : 0; });
}

void ApiGuiComponent::setTopLeftPosition(int x, int y) {
    GuardedVoid([&]() {
        if (Extent* extent = ExtentOf(this)) {
            extent->x = x;
            extent->y = y;
        }
    });
}

void ApiGuiComponent::setSize(int width, int height) {
    GuardedVoid([&]() {
        Extent* extent = ExtentOf(this);
        if (!extent || width < 0 || height < 0) return;
        extent->width = width;
        extent->height = height;
    });
}

// ---- editors --------------------------------------------------------------------------

void ApiNodeGraphEditor::setContentGraph(ApiNodeGraph* graph) {
    GuardedVoid([&]() {
        EditorImpl* editor = EditorOf(this);
        if (!editor) return;
        GraphImpl* content = graph ? ResolveGraph(graph) : nullptr;
        editor->contentGraphId = content ? content->id : 0;
    });
}

ApiNodeGraph* ApiNodeGraphEditor::contentGraph() const {
    return Guarded(static_cast<ApiNodeGraph*>(nullptr), [&]() -> ApiNodeGraph* {
        EditorImpl* editor = EditorOf(this);
        return editor ? GraphWithId(editor->contentGraphId) : nullptr;
    });
}

// ---- window ---------------------------------------------------------------------------

ApiMainWindow* ApiMainWindow::fetchOrCreateInstance(CloseCallback callback, void* userData) {
    return Guarded(static_cast<ApiMainWindow*>(nullptr), [&]() -> ApiMainWindow* {
        Gui& gui = Engine::State();
        if (!gui.window) {
            WindowImpl* window = new WindowImpl();
            gui.components[window] = &window->extent;
            gui.allWindows.insert(window);
            gui.window = window;
            EnsureLayout();
        }
        gui.window->callback = callback;
        gui.window->userData = userData;
        return gui.window;
    });
}

void ApiMainWindow::show() {
    GuardedVoid([&]() {
        if (WindowImpl* window = WindowOf(this)) window->visible = true;
    });
}

void ApiMainWindow::hide() {
    GuardedVoid([&]() {
        if (WindowImpl* window = WindowOf(this)) window->visible = false;
    });
}

bool ApiMainWindow::isVisible() const {
    return Guarded(false, [&]() {
        WindowImpl* window = WindowOf(this);
        return window && window == Engine::State().window && window->visible;
    });
}

void ApiMainWindow::setDefaultGraph(ApiNodeGraph* graph) {
    GuardedVoid([&]() {
        WindowImpl* window = WindowOf(this);
        if (!window) return;
        GraphImpl* content = graph ? ResolveGraph(graph) : nullptr;
        window->defaultGraphId = content ? content->id : 0;
    });
}

ApiNodeGraph* ApiMainWindow::defaultGraph() const {
    return Guarded(static_cast<ApiNodeGraph*>(nullptr), [&]() -> ApiNodeGraph* {
        WindowImpl* window = WindowOf(this);
        return window ? GraphWithId(window->defaultGraphId) : nullptr;
    });
}

// ---- workspace ------------------------------------------------------------------------

ApiArray<ApiNodeGraphEditor*> ApiProjectWorkspace::getNodeGraphEditors() {
    return Guarded(ApiArray<ApiNodeGraphEditor*>(), []() {
        EnsureLayout();
        const std::vector<ApiNodeGraphEditor*>& editors = Engine::State().editors;
        return ApiArray<ApiNodeGraphEditor*>(editors.data(), editors.size());
    });
}

const char* ApiProjectWorkspace::serializeLayout() {
    return Guarded("", []() -> const char* {
        EnsureLayout();
        Gui& gui = Engine::State();
        std::ostringstream out;
        if (gui.layout) gui.layout->save(out, " ", pugi::format_default, pugi::encoding_utf8);
        gui.serialized = out.str();
        return gui.serialized.c_str();
    });
}

bool ApiProjectWorkspace::loadLayout(const char* layoutXml) {
    return Guarded(false, [&]() { return Load(layoutXml); });
}

void ApiProjectWorkspace::resetLayout() {
    GuardedVoid([]() { Load(kBuiltInLayout); });
}

}  // namespace Zarnik
