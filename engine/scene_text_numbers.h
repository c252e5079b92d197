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
#include <utility>
#include <vector>

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

// Large arrays are written as Base64 (standard alphabet, '=' padding) of their bytes: about
// a third of the length of their decimal forms, and faster to read.
inline void AppendBase64(std::string& out, const uint8_t* data, size_t size) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.reserve(out.size() + (size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t bits = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        const char group[4] = {kAlphabet[bits >> 18], kAlphabet[(bits >> 12) & 63], kAlphabet[(bits >> 6) & 63],
                               kAlphabet[bits & 63]};
        out.append(group, 4);
    }
    if (i == size) return;
    const bool two = size - i == 2;
    const uint32_t bits = uint32_t(data[i]) << 16 | (two ? uint32_t(data[i + 1]) << 8 : 0);
    const char group[4] = {kAlphabet[bits >> 18], kAlphabet[(bits >> 12) & 63], two ? kAlphabet[(bits >> 6) & 63] : '=',
                           '='};
    out.append(group, 4);
}

inline int Base64Digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict but for blanks and line ends, which are skipped: padding only ends the last group,
// and anything outside the alphabet refuses the whole text.
inline bool DecodeBase64(const char* text, std::vector<uint8_t>& out) {
    out.clear();
    uint32_t bits = 0;
    int digits = 0, padding = 0;
    bool ended = false;
    for (const char* c = text; *c; ++c) {
        if (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') continue;
        if (ended) return false;
        int digit;
        if (*c == '=') {
            if (digits < 2) return false;
            digit = 0;
            ++padding;
        } else {
            if (padding > 0 || (digit = Base64Digit(*c)) < 0) return false;
        }
        bits = bits << 6 | uint32_t(digit);
        if (++digits < 4) continue;
        out.push_back(uint8_t(bits >> 16));
        if (padding < 2) out.push_back(uint8_t(bits >> 8));
        if (padding < 1) out.push_back(uint8_t(bits));
        ended = padding > 0;
        bits = 0;
        digits = 0;
    }
    return digits == 0;
}

inline bool LittleEndianHost() {
    const uint32_t one = 1;
    uint8_t first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// The 32-bit words of `words` as little-endian bytes, appended to `out`.
inline void AppendWordsLE(std::vector<uint8_t>& out, const void* words, size_t count) {
    const size_t at = out.size();
    out.resize(at + count * 4);
    std::memcpy(out.data() + at, words, count * 4);
    if (LittleEndianHost()) return;
    for (size_t i = at; i < out.size(); i += 4) {
        std::swap(out[i], out[i + 3]);
        std::swap(out[i + 1], out[i + 2]);
    }
}

inline uint32_t LoadWordLE(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

}  // namespace SceneNumbers
}  // namespace Engine
}  // namespace Zarnik
