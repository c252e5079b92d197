// Engine values as Ruby values and back: what a pin holds, what an attribute holds, and the
// value a test types into a pin.
#pragma once

#include <ruby.h>

#include <cstdint>

#include "zarnik.h"

namespace ZarnikProbe {

// A pin's value by the pin's kind: true/false, Integer, Float, Arrays for vectors, 12
// Floats for a transform, String; for pins that hold nodes, the plugged node's handle or
// nil. nil for a pin the node does not have. Builds with Ruby calls only.
VALUE PinValue(const Zarnik::ApiNode& node, Zarnik::PinId id);

// An attribute's value by its kind and array flag; nil when the item has no such attribute
// or its kind holds no readable value.
VALUE AttributeValue(const Zarnik::ApiItem& item, Zarnik::AttributeId id);

// A value typed into a pin, already taken out of Ruby.
struct PinInput {
    enum Kind { Bool, Int, Int2, Int3, Int4, Float, Float2, Float3, Float4, Transform, String } kind;
    bool boolValue;
    int32_t ints[4];
    float floats[12];
    const char* text;      // points into the Ruby String passed to ParsePinInput
};

// Takes a Ruby value apart: true/false, Integer, Float, an Array of 2, 3 or 4 numbers (float
// components when any is a Float), an Array of 12 numbers (a transform, rows of 4), String.
// Raises TypeError for anything else, RangeError for an Integer beyond 32 bits and
// ArgumentError for a String holding a NUL byte. The caller keeps v alive while the input
// is in use.
PinInput ParsePinInput(VALUE v);

// Sets the pin as the user would: evaluated, so observers hear of it. Answers the engine's
// verdict; false for a kind the engine has no setter for.
bool ApplyPinInput(Zarnik::ApiNode& node, Zarnik::PinId id, const PinInput& input);

}  // namespace ZarnikProbe
