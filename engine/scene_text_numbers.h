// Text forms of the numbers in scene texts. Floats are written in their shortest form that
// reads back to the same bits (so -0 and infinities survive), NaNs as "nan:" followed by
// their eight hex digits so that the payload survives too. Nothing here depends on the
// locale, and the parsers accept a token only when all of it is a well-formed number.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace Zarnik {
namespace Engine {
namespace SceneNumbers {

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline void AppendHexByte(std::string& out, uint8_t byte) {
    static const char kDigits[] = "0123456789abcdef";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
}

inline void AppendFloat(std::string& out, float value) {
    if (std::isnan(value)) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        out += "nan:";
        for (int shift = 24; shift >= 0; shift -= 8) AppendHexByte(out, static_cast<uint8_t>(bits >> shift));
        return;
    }
    char buffer[32];
    std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

template <typename Int>
void AppendInt(std::string& out, Int value) {
    char buffer[24];
    std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

inline bool ParseFloat(const char* begin, const char* end, float& value) {
    static const char kNan[] = "nan:";
    if (end - begin == 12 && std::memcmp(begin, kNan, 4) == 0) {
        uint32_t bits = 0;
        for (const char* c = begin + 4; c < end; ++c) {
            int digit = HexDigit(*c);
            if (digit < 0) return false;
            bits = bits << 4 | static_cast<uint32_t>(digit);
        }
        std::memcpy(&value, &bits, sizeof value);
        return std::isnan(value);
    }
    if (begin == end) return false;
    std::from_chars_result r = std::from_chars(begin, end, value);
    // A NaN without its bits is not a form this format writes.
    return r.ec == std::errc() && r.ptr == end && !std::isnan(value);
}

template <typename Int>
bool ParseInt(const char* begin, const char* end, Int& value) {
    if (begin == end) return false;
    std::from_chars_result r = std::from_chars(begin, end, value);
    return r.ec == std::errc() && r.ptr == end;
}

template <typename Int>
bool ParseInt(const char* text, Int& value) {
    return text && ParseInt(text, text + std::strlen(text), value);
}

inline bool ParseFloat(const char* text, float& value) {
    return text && ParseFloat(text, text + std::strlen(text), value);
}

// Splits text at blanks, tabs and line ends; calls take(begin, end) for each token and stops
// at the first false answer.
template <typename Take>
bool ForEachToken(const char* text, Take take) {
    const char* c = text;
    for (;;) {
        while (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') ++c;
        if (!*c) return true;
        const char* start = c;
        while (*c && *c != ' ' && *c != '\t' && *c != '\n' && *c != '\r') ++c;
        if (!take(start, c)) return false;
    }
}

}  // namespace SceneNumbers
}  // namespace Engine
}  // namespace Zarnik
