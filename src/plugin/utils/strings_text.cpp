#include "utils/strings.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include <unistd.h>

namespace Zarnik {
namespace Strings {

namespace {

// Case tests and changes in the C locale, independent of whatever locale the host set.
bool IsAsciiLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

const char kHexDigits[] = "0123456789abcdef";

void AppendHexByte(std::string& out, unsigned char byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0f];
}

std::string Quote(const std::string& text, bool keep_high_bytes) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case 0: out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 31 || c == 127 || (c >= 128 && !keep_high_bytes)) {
          out += "\\x";
          AppendHexByte(out, c);
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

// Value of a Base64 digit, or -1 for a byte outside the alphabet. Both the standard and
// the URL-safe forms of digits 62 and 63 are read.
int Base64Digit(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}

}  // namespace

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (text.empty() || from.empty()) return text;
  std::string out;
  std::size_t start = 0;
  for (std::size_t hit = text.find(from); hit != std::string::npos; hit = text.find(from, start)) {
    out.append(text, start, hit - start);
    out += to;
    start = hit + from.size();
  }
  out.append(text, start, std::string::npos);
  return out;
}

void Base64Encode(const std::string& in, std::string& out) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.clear();
  out.reserve((in.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned long bits = (static_cast<unsigned char>(in[i]) << 16) |
                               (static_cast<unsigned char>(in[i + 1]) << 8) |
                               static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[(bits >> 18) & 63];
    out += kAlphabet[(bits >> 12) & 63];
    out += kAlphabet[(bits >> 6) & 63];
    out += kAlphabet[bits & 63];
  }
  const std::size_t rest = in.size() - i;
  if (rest == 0) return;
  unsigned long bits = static_cast<unsigned long>(static_cast<unsigned char>(in[i])) << 16;
  if (rest == 2) bits |= static_cast<unsigned long>(static_cast<unsigned char>(in[i + 1])) << 8;
  out += kAlphabet[(bits >> 18) & 63];
  out += kAlphabet[(bits >> 12) & 63];
  out += rest == 2 ? kAlphabet[(bits >> 6) & 63] : '=';
  out += '=';
}

void Base64Decode(const std::string& in, std::string& out) {
  out.clear();
  out.reserve(in.size() / 4 * 3 + 2);
  unsigned long bits = 0;
  int digits = 0;
  int marks = 0;             // padding marks seen so far, over all groups
  int marks_in_group = 0;    // padding marks in the group being read
  for (const char ch : in) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 33 || c >= 127) continue;
    int value;
    if (c == '=') {
      value = 0;
      ++marks;
      ++marks_in_group;
    } else {
      value = Base64Digit(c);
      if (value < 0) continue;
    }
    bits = (bits << 6) | static_cast<unsigned long>(value);
    if (++digits < 4) continue;

    const int bytes = marks >= 3 ? 0 : 3 - marks;
    if (bytes > 0) out += static_cast<char>((bits >> 16) & 0xff);
    if (bytes > 1) out += static_cast<char>((bits >> 8) & 0xff);
    if (bytes > 2) out += static_cast<char>(bits & 0xff);
    bits = 0;
    digits = 0;
    marks_in_group = 0;
  }
  // A trailing group of two or three digits stands for one or two bytes, as if it had been
  // padded; padding marks inside it cut it further. A lone digit carries no whole byte.
  if (digits >= 2) {
    bits <<= 6 * (4 - digits);
    const int bytes = digits - 1 - marks_in_group;
    if (bytes > 0) out += static_cast<char>((bits >> 16) & 0xff);
    if (bytes > 1) out += static_cast<char>((bits >> 8) & 0xff);
  }
}

std::string Bquote(const std::string& text) { return Quote(text, false); }
std::string Bquote(const char* text) { return text ? Quote(text, false) : "<null>"; }
std::string Uquote(const std::string& text) { return Quote(text, true); }
std::string Uquote(const char* text) { return text ? Quote(text, true) : "<null>"; }

std::vector<std::string> Split(const std::string& text, const std::string& separators) {
  const std::string& seps = separators.empty() ? std::string("\t\n\f\r ") : separators;
  std::vector<std::string> pieces;
  std::size_t start = text.find_first_not_of(seps);
  while (start != std::string::npos) {
    const std::size_t end = text.find_first_of(seps, start);
    pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = text.find_first_not_of(seps, end);
  }
  return pieces;
}

std::vector<std::string> Split(const std::string& text, const char* separators) {
  return Split(text, std::string(separators ? separators : ""));
}

std::string TitleCase(std::string text) {
  bool after_letter = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char original = text[i];
    text[i] = (i > 0 && after_letter) ? AsciiLower(original) : AsciiUpper(original);
    after_letter = IsAsciiLetter(static_cast<unsigned char>(original));
  }
  return text;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = AsciiUpper(c);
  return text;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

std::string TrimLeft(const std::string& text, const std::string& chars) {
  if (chars.empty()) return text;
  const std::size_t first = text.find_first_not_of(chars);
  return first == std::string::npos ? std::string() : text.substr(first);
}

std::string TrimRight(const std::string& text, const std::string& chars) {
  if (chars.empty()) return text;
  const std::size_t last = text.find_last_not_of(chars);
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string Trim(const std::string& text, const std::string& chars) {
  return TrimLeft(TrimRight(text, chars), chars);
}

std::int64_t Str2int(const std::string& text, int base) {
  return static_cast<std::int64_t>(std::strtoll(text.c_str(), nullptr, base));
}

std::uint64_t Str2uint(const std::string& text, int base) {
  return static_cast<std::uint64_t>(std::strtoull(text.c_str(), nullptr, base));
}

std::string Hexdump(const void* data, std::size_t size) {
  if (!data) return "<null>";
  if (size == 0) return "<empty>";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) out += ' ';
    AppendHexByte(out, bytes[i]);
  }
  return out;
}

namespace {

// One generator for the whole process, seeded once from the system's entropy source.
class GlobalRng128 {
 public:
  GlobalRng128() : engine_(Seed()) {}

  void Draw(std::uint32_t (&values)[4]) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint32_t& value : values) value = static_cast<std::uint32_t>(engine_());
  }

 private:
  static std::uint32_t Seed() {
    try {
      std::random_device device("/dev/urandom");
      return device();
    } catch (...) {
      // Without an entropy source the identifiers must still differ between processes.
      const auto ticks = static_cast<std::uint64_t>(
          std::chrono::steady_clock::now().time_since_epoch().count());
      return static_cast<std::uint32_t>(ticks ^ (static_cast<std::uint64_t>(getpid()) << 16));
    }
  }

  std::mutex mutex_;
  std::mt19937 engine_;
};

}  // namespace

std::string RandomUuidString() {
  static GlobalRng128 rng;
  std::uint32_t d[4];
  rng.Draw(d);
  char text[40] = {0};
  std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%04x-%04x%08x", d[0], d[1] & 0xffffu,
                d[1] >> 16, d[2] & 0xffffu, d[2] >> 16, d[3]);
  return text;
}

}  // namespace Strings
}  // namespace Zarnik
