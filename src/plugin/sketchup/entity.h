#pragma once

// The host model as the Ruby side describes it: a tree of entities numbered by the Ruby
// side. Definitions own geometry and list the entities placed inside them; instances place
// a definition under a transform and an optional material.

#include <cstdint>
#include <memory>

namespace Zarnik {

class Entity : public std::enable_shared_from_this<Entity> {
 public:
  enum Type : std::int32_t { kDefinition = 1, kInstance = 2 };

  Entity(std::int32_t id_, std::int32_t type_) : id(id_), type(type_) {}
  virtual ~Entity() = default;

  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  bool IsDefinition() const { return type == kDefinition; }
  bool IsInstance() const { return type == kInstance; }

  const std::int32_t id;    // unique among entities; -2 is the model itself
  const std::int32_t type;
};

// Entity ids with a fixed meaning.
constexpr std::int32_t kRootId = -2;
constexpr std::int32_t kNoId = -1;  // no material, no definition

}  // namespace Zarnik
