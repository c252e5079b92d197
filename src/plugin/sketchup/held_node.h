#pragma once

// A node the extension made and keeps for later. The user can destroy any node in the
// engine's window; the engine then answers failure for the old handle, but it hands the
// freed address to a new node after a while, so a bare pointer could come to name some
// other node. A held node is therefore known by its unique id as well (never reused), and a
// handle whose id no longer answers counts as vanished.

#include <cstdint>

#include "zarnik.h"
#include "zarnik/node_utils.h"

namespace Zarnik {

class HeldNode {
 public:
  HeldNode() = default;
  explicit HeldNode(ApiNode* node) { Reset(node); }

  // The node while it lives; null when none is held or it vanished.
  ApiNode* get() const { return node_ && node_->uniqueId() == id_ ? node_ : nullptr; }
  explicit operator bool() const { return get() != nullptr; }
  // A node is held, alive or not; for hot paths that checked liveness shortly before.
  bool held() const { return node_ != nullptr; }
  // A node was held and the engine no longer knows it.
  bool Vanished() const { return node_ && node_->uniqueId() != id_; }
  // Drops the handle of a vanished node; answers whether it did.
  bool ForgetVanished() {
    if (!Vanished()) return false;
    Reset();
    return true;
  }

  void Reset(ApiNode* node = nullptr) {
    node_ = node;
    id_ = node ? node->uniqueId() : 0;
    if (id_ == 0) node_ = nullptr;
  }

  // Destroys the node unless a pin has taken it over (it then goes with that pin and stays
  // held); a vanished node is only forgotten.
  void Destroy() {
    if (ForgetVanished() || !node_) return;
    NodeUtils::SafeDestroy(node_);
    if (!node_) id_ = 0;
  }

 private:
  ApiNode* node_ = nullptr;
  std::uint64_t id_ = 0;
};

}  // namespace Zarnik
