#pragma once

// The render engine's own window inside the host: opening and closing it, its pane layout
// and place on screen, and wiping the engine's scene back to a clean state. The material
// sandbox shown in the window's node-graph editor shares this module's state.

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

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
bool RecenterSuspended();

// ---- Material sandbox ------------------------------------------------------------------

// Where a node lives.
enum class Owner { None = 0, Root = 1, Sandbox = 2, Unknown = 3 };
// Prints "none", "root", "sandbox" or "unknown"; other values print as their number.
std::ostream& operator<<(std::ostream& out, Owner owner);

// One material moved into the sandbox (one per distinct material name).
struct MaterialInfo {
  ApiNode* material = nullptr;  // its copy inside the sandbox
  ApiNode* link = nullptr;      // the link node standing for it; null until made
  std::map<ApiNode*, std::string> destinations;  // former users, with their pin names
  int id = 0;                   // host material id given with the move, or 0
};

// Builds (or rebuilds) the sandbox and moves the model's materials into it. An existing
// sandbox is kept when the root graph has no materials to move.
void CreateSandbox();
// Moves every material node of the root graph into the sandbox; false when there is none.
bool ExtractMaterials();
// Moves one material into the sandbox behind a link node and rewires its users to the
// link. Returns the link node, or null when nothing was done. Without force, a material
// used only by materials or link nodes (or by nothing) stays where it is.
ApiNode* MoveToSandbox(ApiNode* node, int id, bool force);
// After a host material update: moves the material into the sandbox while rendering,
// unless its host material id is already recorded there.
void UpdateSandbox(ApiNode* node, int host_material_id);
// Moves a node and the nodes of its graph that feed it by the offset.
void AdjustNodePosition(ApiNode* node, Vec2<float> offset);
// Text form of one material (a link node stands for the material behind it); "" for null.
std::string SerializeMaterial(ApiNode* node);
// Builds the material of a text form inside the target graph; null on failure.
ApiNode* DeserializeMaterial(const std::string& text, ApiNodeGraph* target);
// Registers with the texture tracker every texture file at or below the node.
void RecordTextures(ApiNode* node);
// The same for every node owned by the graph.
void RecordAllTextures(ApiNodeGraph* graph);
// Points texture nodes at or below the node at the tracker's current files.
void ReplaceTextures(ApiNode* node);
// True when id >= 1 and a sandbox material carries it.
bool AlreadyHaveId(int id);
// Where the node lives: none, the root graph, the sandbox or elsewhere.
Owner CheckOwner(ApiNode* node);
// The sandbox's material records, in order of arrival.
const std::vector<MaterialInfo>& Materials();
// Before the sandbox's nodes go: forgets the material records and drops every link node
// of the sandbox from the material registry and the host materials.
void DropSandboxLinks();

}  // namespace ZarnikWindow
}  // namespace Zarnik
