#pragma once

// What the engine receives for one (definition, instance material) pair: every world
// transform under which the definition is placed with that material, shown through a
// material-override node (the definition's mesh with a material on each slot) repeated by
// a placement node at every transform.

#include <cstdint>
#include <memory>
#include <vector>

#include "sketchup/held_node.h"
#include "utils/matrix.h"
#include "zarnik.h"

namespace Zarnik {

class Definition;

class MeshMaterialMap {
 public:
  // Bound to a definition that is held by a shared pointer; for one that is not, the map
  // stays unbound and wires nothing.
  explicit MeshMaterialMap(Definition& definition);
  ~MeshMaterialMap();

  MeshMaterialMap(const MeshMaterialMap&) = delete;
  MeshMaterialMap& operator=(const MeshMaterialMap&) = delete;

  // A host transform (metres, host axes, row vectors) as the engine's 3 x 4 column-vector
  // matrix in Y-up axes.
  static Matrix<float> ToEngineMatrix(const Float4x4& m);

  void AddMatrix(const Float4x4& m);
  // Forgets the placements; the nodes stay for the next cycle.
  void ClearMatrices();
  // The instance material's node (null for none); not owned.
  void SetMaterial(ApiNode* node) { material_ = node; }
  ApiNode* material() const { return material_; }
  // Creates the placement and override nodes when they do not exist yet, or again when
  // the user destroyed them in the engine.
  void Evaluate();
  // Puts the definition's mesh into the override node and a material on every slot: the
  // face's own host material where it has a node, else the instance material.
  void MapMaterial();
  // Wires and fills the placement node and answers it.
  ApiNode* GetGeometry();

  int count() const { return count_; }
  const std::vector<Matrix<float>>& matrices() const { return matrices_; }
  ApiNode* placement() const { return placement_.get(); }
  ApiNode* override_node() const { return override_.get(); }

 private:
  int count_ = 0;
  std::vector<Matrix<float>> matrices_;
  std::weak_ptr<Definition> definition_;
  HeldNode placement_;  // created here, destroyed with the map
  HeldNode override_;   // created here, destroyed with the map
  ApiNode* material_ = nullptr;
};

}  // namespace Zarnik
