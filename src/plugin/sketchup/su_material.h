#pragma once

// A host material as the scene sees it: registered by its host id, with the engine
// material node that renders it (null until one exists). Faces and instances that name the
// material take this node.
//
// A host material is either converted (the extension builds its own node from the host's
// colour, texture, texture scale and opacity) or linked to a scene material (id 20000 or
// more) that the user edits in the engine; a linked material uses the scene material's
// node and pushes only its colour and texture scale into it. The stored JSON form of a
// linked scene material always keeps texture scale (1, 1): the host's scale lives on the
// live node only.

#include <cstdint>
#include <string>

#include "zarnik.h"

namespace Zarnik {

class SuMaterial {
 public:
  // Node types, pins and attributes the conversion works with.
  static constexpr NodeType kSpecularMaterialType = 18;  // takes its colour at pin 145
  static constexpr PinId kColorPin = 30;
  static constexpr PinId kSpecularColorPin = 145;
  static constexpr PinId kOpacityPin = 125;
  static constexpr PinId kConvertedFlagPin = 218;
  static constexpr PinId kTextureTransformPin = 243;
  static constexpr NodeType kFloatTexture = 31;
  static constexpr NodeType kRgbTexture = 33;
  static constexpr NodeType kImageTexture = 34;
  static constexpr NodeType kAlphaImageTexture = 35;
  static constexpr AttributeId kValueAttr = 185;
  static constexpr AttributeId kFileNameAttr = 34;
  static constexpr AttributeId kReloadAttr = 124;
  static constexpr AttributeId kTransformScaleAttr = 139;
  static constexpr AttributeId kTransformTranslationAttr = 172;

  explicit SuMaterial(std::int32_t id) : id_(id) {}
  // Puts a linked node's texture scale back to (1, 1) and removes the host material's link.
  ~SuMaterial();

  SuMaterial(const SuMaterial&) = delete;
  SuMaterial& operator=(const SuMaterial&) = delete;

  std::int32_t id() const { return id_; }
  const std::string& name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  ApiNode* node() const { return node_; }
  void SetNode(ApiNode* node) { node_ = node; }

  bool has_texture() const { return has_texture_; }
  NodeType opacity_node_type() const { return opacity_node_type_; }
  float_2 scale() const { return scale_; }
  // The texture file path; "null" stands for no texture.
  const std::string& texture() const { return texture_; }
  void SetTexture(const std::string& texture) { texture_ = texture; }
  std::int32_t linked_id() const { return linked_id_; }
  void SetLinkedId(std::int32_t id) { linked_id_ = id; }
  std::int32_t texture_mode() const { return texture_mode_; }
  void SetTextureMode(std::int32_t mode) { texture_mode_ = mode; }
  float opacity() const { return opacity_; }
  void SetOpacity(float opacity) { opacity_ = opacity; }
  float_3 color() const { return color_; }

  // True when the link table holds a scene material for this host material.
  bool HasActualZarnikMaterial() const;

  // Builds or refreshes the converted node from the host's name, texture path (empty when
  // untextured), linear colour and texture scale, then removes any link.
  void AssignSuMaterial(const std::string& name, const std::string& texture, float_3 color, float_2 scale);
  // Uses the scene material `zarnik_id`. False when the registry has no node for it; the
  // caller converts then.
  bool AssignZarnikMaterial(std::int32_t zarnik_id, float_2 scale, float_3 color);
  // Pushes the colour into the RGB node of a linked material. True when it changed.
  bool TryToUpdateColor(float_3 color);
  // Rescales every texture transform below a linked node. True when it changed.
  bool TryToUpdateScale(float_2 scale);
  // Returns the linked node to scale (1, 1) and stores that form. True when stored.
  bool RevertOldZarnikMaterial();
  // Stores the linked node's neutral form while the live node keeps the host's scale.
  void PrepareNewZarnikMaterial();
  // Makes the material of a serialized text form (empty: nothing) this material's node;
  // texture nodes the text leaves without a file take those of the current node.
  void ReconstructSuMaterial(const std::string& text);
  // Gives texture nodes of `new_node` that carry no file name the attributes of the
  // matching texture nodes of `old_node`, when both are materials of one type.
  static void FillMaterialBlanks(ApiNode* old_node, ApiNode* new_node);

  // The node is going away: forget it if it is this material's node.
  void DiscardZarnikNode(ApiNode* node);
  // `new_node` takes the place of `old_node`. The name follows the node's name too when it
  // was the old node's name and the new node has one.
  void ReplaceZarnikNode(ApiNode* old_node, ApiNode* new_node);
  // Textures stay where they are; only the destination folder is made.
  static void MigrateTextures(const std::string& from, const std::string& to);

 private:
  PinId ColorPin() const;
  bool LinkIsLive() const;
  // Writes the current scale to the transform nodes below the node; see TryToUpdateScale.
  bool RescaleTransforms(float_2 scale);
  void StoreNeutralForm();

  ApiNode* node_ = nullptr;  // owned by the engine
  bool has_texture_ = false;
  NodeType opacity_node_type_ = 0;
  float_2 scale_{1.f, 1.f};
  std::string name_ = "default";
  std::string texture_ = "null";
  const std::int32_t id_;
  std::int32_t linked_id_ = -1;
  std::int32_t texture_mode_ = 0;
  float opacity_ = 1.f;
  float_3 color_{1.f, 1.f, 1.f};
  // The node this material converted into, kept while a scene material is linked so that
  // converting again never paints over the scene material's node.
  ApiNode* converted_node_ = nullptr;
  bool node_is_linked_ = false;  // node_ is a scene material's node, not converted_node_
};

}  // namespace Zarnik
