#pragma once

// Host materials as the Ruby side sends them (the Ruby class ExtMaterial), and the settings
// that govern new converted materials and texture files.

#include <cstdint>
#include <string>
#include <vector>

#include "zarnik.h"

namespace Zarnik {
namespace HostMaterialExt {

// Values of the texture method.
constexpr int kTexturesInModel = 0;   // "SKP file": textures travel inside the host model
constexpr int kTexturesInFolder = 1;  // "Local folder": textures live in a folder on disk

// Defines the Ruby class ExtMaterial and registers its class methods.
void Init();

// Node type of the material made for a converted host material.
NodeType DefaultMaterial();
int TextureMethod();
const std::string& TextureFolder();

// The display name of a node type: the engine's type name without its 7-character prefix,
// in title case ("ZK_MAT_DIFFUSE" -> "Diffuse").
std::string MaterialTypeName(NodeType type);

// False, with nothing changed, for a name that is no material type's display name.
bool SetDefaultMaterial(const std::string& display_name);
// "SKP file" or "Local folder"; false for anything else.
bool SetTextureMethod(const std::string& method);
// False for an empty path.
bool SetTextureFolder(const std::string& folder);

// One host material as the Ruby side describes it. The colour is already linear.
struct HostMaterialUpdate {
  std::int32_t id = -1;
  std::string name;
  float_3 color{1.f, 1.f, 1.f};
  std::string texture;
  float_2 scale{1.f, 1.f};
  float opacity = 1.f;
  std::int32_t texture_mode = 0;
  std::int32_t link_id = -1;
  std::string serialized;
  std::vector<std::string> texture_names;
  std::vector<std::string> texture_contents;  // Base64, one per name; "" registers nothing
};

// Registers the texture files, then converts or links the host material and registers it.
// False when the id is -1 (the textures are registered all the same).
bool UpdateHostMaterial(const HostMaterialUpdate& update);

// A host colour channel of 0 to 255 as a linear value, in single precision.
float LinearColor(double channel);

}  // namespace HostMaterialExt
}  // namespace Zarnik
