// Plumbing shared by the probe's Ruby methods: argument checks, handles, and the guard that
// keeps Ruby exceptions and C++ exceptions on their own sides.
//
// Every probe method follows one shape: convert and check its Ruby arguments first, in a
// frame that owns no C++ objects (so a TypeError may unwind freely), then run the engine
// side inside Guard. A body that owns C++ objects (vectors, strings, item arrays) builds its
// Ruby answer through Protect, so a Ruby error raised while building never skips their
// destructors: it is held, the body returns, and Guard re-raises it once they are gone.
#pragma once

#include <ruby.h>

#include <cstdint>
#include <type_traits>

#include "testing.h"

namespace ZarnikProbe {

// Raises TypeError unless v is an Integer.
void RequireInteger(VALUE v, const char* what);
// Raises TypeError unless v is a String.
void RequireString(VALUE v, const char* what);

// Converts an Integer to an unsigned number of the given width. Raises TypeError for a
// non-Integer; answers false (nothing to find) for a negative or too large value.
bool ToU64(VALUE v, const char* what, uint64_t& out);
bool ToU32(VALUE v, const char* what, uint32_t& out);

// The live node behind a handle, or null when the engine is not running, the item is gone
// or the item is not a node.
Zarnik::ApiNode* NodeByHandle(uint64_t handle);
// The live graph behind a handle, or null.
Zarnik::ApiNodeGraph* GraphByHandle(uint64_t handle);
// An item's handle as a Ruby Integer; nil for null.
VALUE HandleOf(const Zarnik::ApiItem* item);

// Runs fn inside rb_protect; a Ruby error leaves Qnil and its tag in state.
template <class Fn>
VALUE Protect(Fn&& fn, int& state) {
    using FnType = std::remove_reference_t<Fn>;
    auto trampoline = [](VALUE data) -> VALUE { return (*reinterpret_cast<FnType*>(data))(); };
    return rb_protect(trampoline, reinterpret_cast<VALUE>(&fn), &state);
}

// Raises the error of a failed engine call (a C++ exception that the body caught).
[[noreturn]] void RaiseEngineFailure();

// Runs body(state) and turns its outcome into a Ruby answer: a C++ exception becomes a
// RuntimeError and a Ruby error held in state is raised again, both only after the body's
// frames are gone. The body must not let a Ruby error escape while it owns C++ objects.
template <class Body>
VALUE Guard(Body&& body) {
    int state = 0;
    bool failed = false;
    VALUE result = Qnil;
    try {
        result = body(state);
    } catch (...) {
        failed = true;
    }
    if (state != 0) rb_jump_tag(state);
    if (failed) RaiseEngineFailure();
    return result;
}

}  // namespace ZarnikProbe
