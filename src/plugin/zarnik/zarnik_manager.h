#pragma once

// The render manager: what the render engine renders and whether it is rendering. It owns
// one render target per host scene page, the geometry group through which the host's
// geometry reaches every render target, and the render state with its lock.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "zarnik.h"

namespace Zarnik {
namespace ZarnikManager {

// ---- Render state --------------------------------------------------------------------

enum StateType : std::int32_t { Stopped = 0, Paused = 1, Running = 2 };

// "Stopped", "Paused", "Running"; any other value as its number.
std::ostream& operator<<(std::ostream& out, StateType state);

// Moves the render engine to the requested state. The engine is told under the state lock,
// so the recorded state and the engine's own never disagree. Requests that make no sense
// from the current state (pausing a stopped render, unknown values) change nothing.
void SetRenderState(StateType requested);

StateType GetRenderState();

// Hands the current render target and all pending node changes to the engine and makes it
// render (a stopped or paused render runs again). False, with nothing else changed, when
// the engine refuses the render target.
bool UpdateAndRestart();

// ---- Life cycle ------------------------------------------------------------------------

// Makes the "Default View" render target, writes the setters' defaults into it and
// registers the Ruby interface. Always true.
bool Init();
void Cleanup();

// ---- Render targets and geometry -------------------------------------------------------

// Page name -> render target, ordered by byte-wise name comparison.
using RenderTargetMap = std::map<std::string, ApiNode*>;

// Replaces every render target by one fresh "Default View" with the setters' defaults.
void CreateRenderTarget();
// The current page's render target, else the one with the smallest page name, else null.
ApiNode* RenderTarget();
const RenderTargetMap& RenderTargets();
// The render target stored for a page; null when the page has none.
ApiNode* FindRenderTarget(const std::string& page);
// Makes `page` current with `node` as its render target; answers the node that was stored
// for the page before (null when none). The caller disposes of that one.
ApiNode* AdoptRenderTarget(const std::string& page, ApiNode* node);
const std::string& CurrentPage();

// Creates the geometry group and plugs it into every render target, once there is a
// render target and no group yet (or the user destroyed the one there was).
void InitGeometryGroup();
// Null when there is none, and once the user destroyed it.
ApiNode* GeometryGroup();
// Forgets the geometry group without destroying it (the host geometry was discarded).
void FlushGeometryGroup();

// On: selects the current render target in the engine's user interface and watches its
// daylight. Off: stops watching.
void UpdateWatch(bool watch);

// ---- Settings and the host camera ------------------------------------------------------

// Positions in engine metres, Y up. Always true.
bool SetCameraPos(const Vec3<float>& pos, const Vec3<float>& target, const Vec3<float>& up);
// Vertical field of view in degrees, or the orthographic view height in metres. Always true.
bool SetCameraView(float value, bool orthographic);
// The host viewport in pixels. Always true.
bool SetViewExtents(int width, int height);

// Applies the scene-settings document: every section goes to its setter, then the engine
// restarts. Text that is not a JSON object changes nothing.
void SetSceneSettings(const char* json);

// A host scene page as an export would see it.
struct Page {
  std::string name;
};
// Whole-scene export is not offered; kept for the Ruby side's sake. Always true.
bool ExportScene(const std::string& path, const std::vector<Page>& pages);

// ---- Render-target text ----------------------------------------------------------------

// A page's render target with its settings nodes but no geometry, as engine scene text.
// A page without a render target exports the engine's current one.
std::string GetRenderTargetXml(const std::string& page);
// Makes a page current. "Default View", and any page seen for the first time, is built from
// the text; a page seen before switches to its stored render target. Text that does not
// hold a render target changes nothing.
void SetRenderTargetXml(const std::string& page, const std::string& xml);
// True for the render target of any page.
bool IsRenderTarget(ApiItem* item);

}  // namespace ZarnikManager
}  // namespace Zarnik
