#pragma once

// The Ruby face of the render manager and the render window: class methods of ZarnikExt.

#include "zarnik.h"

namespace Zarnik {
namespace ZarnikManagerExt {

// Defines (or reopens) class ZarnikExt and registers the render methods on it.
void Init();

// Host inches with Z up to engine metres with Y up: (x, y, z) -> (x, z, -y) / 39.3701.
Vec3<float> HostPointToEngine(float x, float y, float z);
// The same axis change without scaling, for directions.
Vec3<float> HostDirectionToEngine(float x, float y, float z);

// The allowed extensions for a kind of file panel ("obj;zcs;zpak", ...); null for a kind
// that has no panel.
const char* BrowseExtensions(int kind);

}  // namespace ZarnikManagerExt
}  // namespace Zarnik
