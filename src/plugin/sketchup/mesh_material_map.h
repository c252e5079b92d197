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
  // A top-level entry of the model: the position in the root's list of the instance whose
  // walk made a row. Rows made outside the walk (the loose geometry) have none.
  static constexpr std::uint32_t kNoEntry = 0xffffffffu;

  // Bound to a definition that is held by a shared pointer; for one that is not, the map
  // stays unbound and wires nothing. `material_id` is the instance material it stands for.
  explicit MeshMaterialMap(Definition& definition, std::int32_t material_id = -1);
  ~MeshMaterialMap();

  MeshMaterialMap(const MeshMaterialMap&) = delete;
  MeshMaterialMap& operator=(const MeshMaterialMap&) = delete;

  // A host transform (metres, host axes, row vectors) as the engine's 3 x 4 column-vector
  // matrix in Y-up axes.
  static Matrix<float> ToEngineMatrix(const Float4x4& m);

  // Rows of one top-level entry follow each other: the walk finishes an entry before it
  // starts the next, so each entry owns one run of rows in every map it reaches.
  void AddMatrix(const Float4x4& m, std::uint32_t entry = kNoEntry);
  // Forgets the placements; the nodes stay for the next cycle.
  void ClearMatrices();

  // A walk of one entry again, apart from the others: its rows are staged first, then
  // take the place of the entry's run, the rows of every other entry staying as they are.
  void StageMatrix(const Float4x4& m) { staged_.push_back(ToEngineMatrix(m)); }
  bool HasStaged() const { return !staged_.empty(); }
  // Answers whether the map's rows changed.
  bool ReplaceRun(std::uint32_t entry);
  // Whether the map holds rows of the entry, which a walk of it again must then replace.
  bool HasRun(std::uint32_t entry) const;
  bool RunsOrdered() const { return runs_ordered_; }
  std::int32_t material_id() const { return material_id_; }
  // The instance material's node (null for none); not owned.
  void SetMaterial(ApiNode* node) { material_ = node; }
  ApiNode* material() const { return material_; }
  // Creates the placement and override nodes when they do not exist yet, or again when
  // the user destroyed them in the engine.
  void Evaluate();
  // Puts the definition's mesh into the override node and a material on every slot: the
  // face's own host material where it has a node, else the instance material.
  void MapMaterial();
  // Wires and fills the placement node and answers it. With `keep_written_rows`, rows the
  // same placement node received last time and that have not changed since are not sent
  // again (with a million rows that copy is most of an apply after a small edit).
  ApiNode* GetGeometry(bool keep_written_rows = false);

  int count() const { return count_; }
  const std::vector<Matrix<float>>& matrices() const { return matrices_; }
  ApiNode* placement() const { return placement_.get(); }
  ApiNode* override_node() const { return override_.get(); }

 private:
  struct Run {
    std::uint32_t entry;
    std::uint32_t start;
    std::uint32_t count;
  };
  // The first run of an entry at or after `entry`.
  std::vector<Run>::iterator FindRun(std::uint32_t entry);

  int count_ = 0;
  std::vector<Matrix<float>> matrices_;
  std::vector<Run> runs_;  // by entry, as the rows lie
  std::vector<Matrix<float>> staged_;
  std::int32_t material_id_;
  // What the placement node last received: the node, and the object id the instance ids
  // counted from; rows_changed_ since then.
  std::uint64_t written_placement_ = 0;
  std::int32_t written_base_ = 0;
  bool ids_written_ = false;
  bool rows_changed_ = true;
  bool runs_ordered_ = true;
  std::weak_ptr<Definition> definition_;
  HeldNode placement_;  // created here, destroyed with the map
  HeldNode override_;   // created here, destroyed with the map
  ApiNode* material_ = nullptr;
};

}  // namespace Zarnik
