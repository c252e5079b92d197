#include "utils/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "utils/file_panel.h"

namespace Zarnik {
namespace Strings {
namespace {

// Folder of the file the user last picked for a missing resource. Ruby thread only.
std::string last_successful;

const char kZarnikTempFolder[] = "/Documents/Zarnik/SketchUp/temp/";

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens a regular file for reading, or nothing. Opening without O_NONBLOCK would wait for
// a writer when the path names a FIFO, possibly forever; the flag is dropped again once the
// file is known to be regular, where it has no meaning anyway.
Descriptor OpenRegularFile(const std::string& path, std::size_t max_bytes, struct stat& info) {
  // A path with a NUL in it would name some other, shorter path.
  if (path.empty() || path.find('\0') != std::string::npos) return Descriptor(-1);
  Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) return file;
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<std::uintmax_t>(info.st_size) > max_bytes) {
    return Descriptor(-1);
  }
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags != -1) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  return file;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsWordCharacter(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 128 && (std::isalnum(byte) || c == '_');
}

bool EqualsIgnoringCase(const std::string& text, std::size_t begin, std::size_t end, const char* word) {
  std::size_t i = begin;
  for (; *word != '\0'; ++word, ++i) {
    if (i >= end) return false;
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(*word)))
      return false;
  }
  return i == end;
}

// Whether the element text text[begin, end) (holding no '<' or '>') is a path of the form
//   <one or more characters> SEP zarnik SEP sketchup SEP temp SEP <word chars>textures SEP <name>
// with SEP either '/' or '\', letters in any case. On success `name_begin` is where the file
// name starts. Written out by hand rather than as a regular expression because the
// library's backtracking matcher recurses once per character and runs out of stack on long
// element texts.
bool IsWorkingTexturePath(const std::string& text, std::size_t begin, std::size_t end, std::size_t& name_begin) {
  // The last five separators bound the fixed components; none of them contains one.
  std::size_t separators[5];
  std::size_t found = 0;
  for (std::size_t i = end; i > begin && found < 5; --i) {
    if (IsSeparator(text[i - 1])) separators[found++] = i - 1;
  }
  if (found < 5) return false;
  const std::size_t name_separator = separators[0];
  const std::size_t textures_separator = separators[1];
  const std::size_t temp_separator = separators[2];
  const std::size_t sketchup_separator = separators[3];
  const std::size_t zarnik_separator = separators[4];

  if (zarnik_separator == begin) return false;  // something must come before it
  if (name_separator + 1 == end) return false;  // the file name must not be empty
  if (!EqualsIgnoringCase(text, zarnik_separator + 1, sketchup_separator, "zarnik")) return false;
  if (!EqualsIgnoringCase(text, sketchup_separator + 1, temp_separator, "sketchup")) return false;
  if (!EqualsIgnoringCase(text, temp_separator + 1, textures_separator, "temp")) return false;

  static const char kTextures[] = "textures";
  const std::size_t suffix_length = sizeof kTextures - 1;
  const std::size_t folder_begin = textures_separator + 1;
  if (name_separator - folder_begin < suffix_length) return false;
  const std::size_t suffix_begin = name_separator - suffix_length;
  if (!EqualsIgnoringCase(text, suffix_begin, name_separator, kTextures)) return false;
  for (std::size_t i = folder_begin; i < suffix_begin; ++i) {
    if (!IsWordCharacter(text[i])) return false;
  }
  name_begin = name_separator + 1;
  return true;
}

}  // namespace

std::string GetMyDocumentsPath() { return GetUserHome() + "/Documents"; }

std::string GetZarnikAssetsPath() { return GetUserHome() + kZarnikTempFolder; }

std::string GetPreviewTexturesPath() { return GetZarnikAssetsPath() + "previews/"; }

std::string GetWorkingTexturesPath() { return GetZarnikAssetsPath() + "textures/"; }

std::string GetCustomTexturesPath() { return GetUserHome() + "/Documents/Zarnik/SketchUp/Textures/"; }

std::string GetExtensionPath() {
  std::vector<char> buffer(1024);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    // A full buffer may mean the path was cut short: grow and ask again.
    if (static_cast<std::size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(length));
      path = path.substr(0, path.find('\0'));
      return FolderFromFile(path);
    }
    if (buffer.size() >= (std::size_t(1) << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t pos = path.find_last_of("/\\");
  if (pos == std::string::npos) return {std::string(), path};
  return {path.substr(0, pos + 1), path.substr(pos + 1)};
}

std::pair<std::string, std::string> SplitFile(const std::string& path) {
  const std::string name = SplitPath(path).second;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {name, std::string()};
  return {name.substr(0, dot), name.substr(dot)};
}

std::string MakeCanonical(const std::string& path) {
  std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return path;
  return std::string(resolved.get());
}

bool FileExists(const std::string& path) {
  return IsReadableRegularFile(path, std::numeric_limits<std::size_t>::max());
}

bool LoadFileContent(const std::string& path, std::string& content) {
  return ReadRegularFile(path, content, kMaxFileBytes);
}

bool ReadRegularFile(const std::string& path, std::string& content, std::size_t max_bytes) {
  content.clear();
  struct stat info;
  Descriptor file = OpenRegularFile(path, max_bytes, info);
  if (!file.valid()) return false;
  content.reserve(static_cast<std::size_t>(info.st_size));
  // The file may grow while it is read; the limit holds for what is read, not for what
  // fstat saw.
  std::vector<char> block(65536);
  for (;;) {
    const ssize_t count = ::read(file.get(), block.data(), block.size());
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      content.clear();  // a failed read must not pass for a short file
      return false;
    }
    if (static_cast<std::size_t>(count) > max_bytes - content.size()) {
      content.clear();
      return false;
    }
    content.append(block.data(), static_cast<std::size_t>(count));
  }
}

bool IsReadableRegularFile(const std::string& path, std::size_t max_bytes) {
  struct stat info;
  return OpenRegularFile(path, max_bytes, info).valid();
}

bool SaveFileContent(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  // A full disk may only show when the buffered bytes are flushed on close.
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

const std::string& LastSuccessfulFolder() { return last_successful; }

void SetLastSuccessfulFolder(const std::string& folder) { last_successful = folder; }

std::string TryToFindResource(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

  // Before the user has picked anything there is no folder to search; "/" + name would
  // look in the file-system root instead.
  if (!last_successful.empty()) {
    const std::string candidate = last_successful + "/" + name;
    if (FileExists(candidate)) return candidate;
  }
  const std::string preview = GetPreviewTexturesPath() + name;
  if (FileExists(preview)) return preview;

  const std::string answer = OpenFileBrowser("Please select missing file: " + UnqualifyName(name), std::string(), true);
  if (answer.empty()) return path;
  const std::size_t answer_slash = answer.rfind('/');
  if (answer_slash != std::string::npos) last_successful = answer.substr(0, answer_slash);
  return answer;
}

namespace {

// The text as it must stand inside a quoted XML attribute value.
std::string EscapeForAttribute(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether the attribute value that opens with the quote at `quote`, inside the tag that
// starts at `tag`, belongs to an attribute in which the engine's scene text keeps a text
// value: "value" for a single text, "v" for each text of a list.
bool IsTextValueAttribute(const std::string& xml, std::size_t tag, std::size_t quote) {
  std::size_t end = quote;
  while (end > tag && IsXmlSpace(xml[end - 1])) --end;
  if (end == tag || xml[end - 1] != '=') return false;
  --end;
  while (end > tag && IsXmlSpace(xml[end - 1])) --end;
  std::size_t begin = end;
  while (begin > tag && !IsXmlSpace(xml[begin - 1]) && xml[begin - 1] != '"' && xml[begin - 1] != '\'') --begin;
  // The element's own name is no attribute.
  if (begin == tag || !IsXmlSpace(xml[begin - 1])) return false;
  return xml.compare(begin, end - begin, "value") == 0 || xml.compare(begin, end - begin, "v") == 0;
}

// Markup starting at `open` ('<') whose insides are not attributes: comments, character
// data, processing instructions, declarations. Answers true with `after` just past its end
// (npos when it never ends), or false for an element tag.
bool SkipSpecialMarkup(const std::string& xml, std::size_t open, std::size_t& after) {
  static const char* const kKinds[][2] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}};
  for (const auto& kind : kKinds) {
    const std::string start = kind[0], end = kind[1];
    if (xml.compare(open, start.size(), start) != 0) continue;
    const std::size_t close = xml.find(end, open + start.size());
    after = close == std::string::npos ? close : close + end.size();
    return true;
  }
  return false;
}

// The engine's scene text keeps every text value in an attribute ("value", or "v" for each
// text of a list), which the element-text rule never sees. Those that name a file in some
// temporary textures folder are pointed at this user's.
std::string RewriteTextValueAttributes(const std::string& xml) {
  const std::string working = EscapeForAttribute(GetWorkingTexturesPath());
  std::string result;
  std::size_t copied = 0;
  std::size_t open = xml.find('<');
  while (open != std::string::npos) {
    std::size_t after = 0;
    if (SkipSpecialMarkup(xml, open, after)) {
      open = after == std::string::npos ? after : xml.find('<', after);
      continue;
    }
    // A well-formed value holds no '<': one that runs past the next is left as it is.
    const std::size_t next_open = xml.find('<', open + 1);
    std::size_t i = open + 1;
    while (i < xml.size() && xml[i] != '>' && xml[i] != '<') {
      const char quote = xml[i];
      if (quote != '"' && quote != '\'') {
        ++i;
        continue;
      }
      const std::size_t close = xml.find(quote, i + 1);
      if (close == std::string::npos) {
        i = xml.size();
        break;
      }
      std::size_t name_begin = 0;
      if (close > i + 1 && close < next_open && IsTextValueAttribute(xml, open, i) &&
          IsWorkingTexturePath(xml, i + 1, close, name_begin)) {
        result.append(xml, copied, i + 1 - copied);
        result += working;
        result.append(xml, name_begin, close - name_begin);
        copied = close;
      }
      i = close + 1;
    }
    if (i >= xml.size()) break;
    open = xml[i] == '<' ? i : xml.find('<', i + 1);
  }
  if (copied == 0) return xml;
  result.append(xml, copied, std::string::npos);
  return result;
}

// Element texts: every text between '>' and '<' that is such a path.
std::string RewriteElementTexts(const std::string& xml) {
  // The folder is inserted as plain text, so '$', '\' or '&' in the user's home folder
  // reach the output unchanged.
  const std::string working = GetWorkingTexturesPath();
  std::string result;
  result.reserve(xml.size());
  std::size_t copied = 0;
  std::size_t open = xml.find('>');
  while (open != std::string::npos) {
    const std::size_t text_begin = open + 1;
    const std::size_t close = xml.find_first_of("<>", text_begin);
    if (close == std::string::npos) break;
    std::size_t name_begin = 0;
    if (xml[close] == '<' && close > text_begin && IsWorkingTexturePath(xml, text_begin, close, name_begin)) {
      result.append(xml, copied, text_begin - copied);
      result += working;
      result.append(xml, name_begin, close - name_begin);
      copied = close;
    }
    open = xml[close] == '>' ? close : xml.find('>', close + 1);
  }
  result.append(xml, copied, std::string::npos);
  return result;
}

}  // namespace

std::string UpdateZcsXml(const std::string& xml) { return RewriteTextValueAttributes(RewriteElementTexts(xml)); }

std::string OpenFileBrowser(const std::string& prompt, const std::string& filter, bool use_last_folder) {
  FilePanel::Request request;
  request.kind = FilePanel::Kind::Open;
  request.prompt = prompt;
  request.extensions = Split(filter, std::string(",;"));
  if (use_last_folder) request.start_folder = last_successful.empty() ? GetPreviewTexturesPath() : last_successful;
  return FilePanel::Run(request);
}

std::string SaveFileBrowser(const std::string& prompt, const std::string& filter) {
  FilePanel::Request request;
  request.kind = FilePanel::Kind::Save;
  request.prompt = prompt;
  request.extensions = Split(filter, std::string(",;"));
  return FilePanel::Run(request);
}

}  // namespace Strings
}  // namespace Zarnik
