#pragma once

// The scene classes that the render manager's Ruby start-up registers beside its own:
// ExtEntity, ExtDefinition and ExtInstance (class methods only).

namespace Zarnik {
namespace SketchupManager {

void DefineEntityClass();
void DefineDefinitionClass();
void DefineInstanceClass();

// Registered by SketchupManager::Init itself: ExtUtils and the geometry methods of
// ZarnikExt.
void DefineUtilsClass();
void DefineGeometryMethods();

}  // namespace SketchupManager
}  // namespace Zarnik
