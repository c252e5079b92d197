#include "probe_support.h"

namespace ZarnikProbe {

void RequireInteger(VALUE v, const char* what) {
    if (!RB_INTEGER_TYPE_P(v)) rb_raise(rb_eTypeError, "%s must be an Integer, not %s", what, rb_obj_classname(v));
}

void RequireString(VALUE v, const char* what) {
    if (!RB_TYPE_P(v, T_STRING)) rb_raise(rb_eTypeError, "%s must be a String, not %s", what, rb_obj_classname(v));
}

bool ToU64(VALUE v, const char* what, uint64_t& out) {
    RequireInteger(v, what);
    uint64_t magnitude = 0;
    // Packs the absolute value; the answer is the sign, or +-2 when it does not fit. It never
    // raises for an Integer.
    const int sign = rb_integer_pack(v, &magnitude, 1, sizeof(magnitude), 0,
                                     INTEGER_PACK_LSWORD_FIRST | INTEGER_PACK_NATIVE_BYTE_ORDER);
    if (sign < 0 || sign > 1) return false;
    out = magnitude;
    return true;
}

bool ToU32(VALUE v, const char* what, uint32_t& out) {
    uint64_t wide = 0;
    if (!ToU64(v, what, wide) || wide > UINT32_MAX) return false;
    out = static_cast<uint32_t>(wide);
    return true;
}

Zarnik::ApiNode* NodeByHandle(uint64_t handle) {
    if (!Zarnik::Testing::Started()) return nullptr;
    Zarnik::ApiItem* item = Zarnik::Testing::ItemById(handle);
    return item && item->isNode() ? item->toNode() : nullptr;
}

Zarnik::ApiNodeGraph* GraphByHandle(uint64_t handle) {
    if (!Zarnik::Testing::Started()) return nullptr;
    Zarnik::ApiItem* item = Zarnik::Testing::ItemById(handle);
    return item && item->isGraph() ? item->toGraph() : nullptr;
}

VALUE HandleOf(const Zarnik::ApiItem* item) {
    return item ? ULL2NUM(item->uniqueId()) : Qnil;
}

void RaiseEngineFailure() {
    rb_raise(rb_eRuntimeError, "the engine failed to answer the probe");
}

}  // namespace ZarnikProbe
