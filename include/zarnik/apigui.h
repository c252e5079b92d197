// The engine's own window, its workspace and node-graph editors.
#pragma once

#include "apinodes.h"

namespace Zarnik {

class ApiGuiComponent {
public:
    int xPosition() const;
    int yPosition() const;
    int width() const;
    int height() const;
    void setTopLeftPosition(int x, int y);
    void setSize(int width, int height);

protected:
    ApiGuiComponent() = default;
    ~ApiGuiComponent() = default;
    ApiGuiComponent(const ApiGuiComponent&) = delete;
    ApiGuiComponent& operator=(const ApiGuiComponent&) = delete;
};

class ApiNodeGraphEditor : public ApiGuiComponent {
public:
    void setContentGraph(ApiNodeGraph* graph);
    ApiNodeGraph* contentGraph() const;

protected:
    ApiNodeGraphEditor() = default;
    ~ApiNodeGraphEditor() = default;
};

class ApiMainWindow : public ApiGuiComponent {
public:
    // Called when the user closes the window.
    typedef void (*CloseCallback)(void* userData);

    // The one window of the process; created hidden on first use.
    static ApiMainWindow* fetchOrCreateInstance(CloseCallback callback, void* userData);

    void show();
    void hide();
    bool isVisible() const;
    void setDefaultGraph(ApiNodeGraph* graph);
    ApiNodeGraph* defaultGraph() const;

protected:
    ApiMainWindow() = default;
    ~ApiMainWindow() = default;
};

class ApiProjectWorkspace {
public:
    // Every node-graph editor of the current layout, in layout order.
    static ApiArray<ApiNodeGraphEditor*> getNodeGraphEditors();
    // The current layout as workspace XML; library-owned text valid until the next call.
    static const char* serializeLayout();
    // Replaces the layout; false (layout unchanged) for text that is not a workspace.
    static bool loadLayout(const char* layoutXml);
    // Restores the built-in layout.
    static void resetLayout();
};

}  // namespace Zarnik
