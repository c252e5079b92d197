#pragma once

// The render engine's own window inside the host: opening and closing it, its pane layout
// and place on screen, and wiping the engine's scene back to a clean state. The material
// sandbox shown in the window's node-graph editor shares this module's state.

#include <memory>
#include <string>

#include "zarnik.h"

namespace Zarnik {
namespace ZarnikWindow {

// Opens the window, or shows it when it exists but is hidden. The mode is accepted for the
// Ruby side's sake and selects nothing.
void ShowWindow(int mode);
// Saves the layout with the window's place, releases the sandbox, hides and forgets the
// window, and stops rendering.
void CloseWindow();
// Given to the engine for the window's own close button: forgets the window and stops
// rendering; the layout is not saved and the sandbox stays.
void OnCloseWindow(void* user_data);
// True when the window exists, is visible and the sandbox exists; otherwise the window is
// forgotten and the answer is false.
bool CheckWindow();

// The live layout of the open window (no position comment); "" without a window.
std::string GetLayout();
// Stores a layout ("" means the built-in one) and applies it to the open window.
void SetLayout(const std::string& layout);
// Captures the live layout plus the window's place into the stored layout.
void SaveCurrentLayout();
// Applies the stored layout (or the built-in one) to the open window, and moves the window
// to the place its position comment records.
void UseCurrentLayout();
// Centres the sandbox graph in its editor.
void Recenter();
// Wipes the engine's scene: one fresh "Default View", no geometry, no foreign nodes.
void ResetScene();

// The built-in layout used while no other is stored.
const std::string& DefaultLayout();
// The layout applied when the window is next built ("" until one is set or saved).
const std::string& CurrentLayout();
// The "{x,y,width,height}" text of a layout's position comment, or "" when it has none.
std::string FindWindowPlacement(const std::string& layout);

// ---- State shared with the material sandbox --------------------------------------------

ApiMainWindow* MainWindow();
ApiNodeGraph* Sandbox();
// Replaces the sandbox graph; the previous one is destroyed once no owner holds it.
void SetSandbox(std::shared_ptr<ApiNodeGraph> graph);
// The editor that shows the sandbox while it is still one of the workspace's editors and
// the window exists; otherwise it is forgotten and the answer is null.
ApiNodeGraphEditor* GetSandboxEditor();
// While set, the sandbox view is not recentred (the sandbox is being rebuilt).
void SetSuspendRecenter(bool suspend);

}  // namespace ZarnikWindow
}  // namespace Zarnik
