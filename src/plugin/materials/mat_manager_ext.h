#pragma once

// The Ruby face of the material registry: the class ExtMaterials and its class methods.

namespace Zarnik {
namespace MaterialManagerExt {

// Defines the Ruby class ExtMaterials and registers its class methods.
void Init();

}  // namespace MaterialManagerExt
}  // namespace Zarnik
