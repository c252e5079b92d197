#include "obj_geometry.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
#include <utility>
#include <unordered_map>

#include "core.h"

namespace Zarnik {
namespace Engine {
namespace {

constexpr AttributeId kMaterialSlots = 114;
constexpr AttributeId kNormals = 80;
constexpr AttributeId kNormalIndices = 115;
constexpr AttributeId kUvws = 184;
constexpr AttributeId kUvwIndices = 119;
constexpr AttributeId kVertexIndices = 120;
constexpr AttributeId kVerticesPerPoly = 189;
constexpr AttributeId kVertices = 190;

// Name of the slot that polygons get before the file names any material.
constexpr const char* kUnnamedMaterial = "default";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// Splits a line into blank-separated words.
class Words {
public:
    explicit Words(std::string_view line) : mRest(line) {}

    bool next(std::string_view& word) {
        size_t start = 0;
        while (start < mRest.size() && IsBlank(mRest[start])) ++start;
        if (start == mRest.size()) return false;
        size_t end = start;
        while (end < mRest.size() && !IsBlank(mRest[end])) ++end;
        word = mRest.substr(start, end - start);
        mRest = mRest.substr(end);
        return true;
    }

    // Whatever follows the words read so far, without surrounding blanks.
    std::string_view rest() const {
        size_t start = 0, end = mRest.size();
        while (start < end && IsBlank(mRest[start])) ++start;
        while (end > start && IsBlank(mRest[end - 1])) --end;
        return mRest.substr(start, end - start);
    }

private:
    std::string_view mRest;
};

// Forms that from_chars leaves to strtod (hexadecimal ones) are read in the C locale, so
// that a host that set another locale still reads a point as the decimal mark.
bool ReadFloatAsStrtod(std::string_view word, float& out) {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(0));
    if (!cLocale || word.size() > 64) return false;
    const std::string text(word);
    char* end = nullptr;
    out = strtof_l(text.c_str(), &end, cLocale);
    return end == text.c_str() + text.size() && std::isfinite(out);
}

bool ReadFloat(std::string_view word, float& out) {
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    if (word.empty()) return false;
    const char* end = word.data() + word.size();
    const auto result = std::from_chars(word.data(), end, out);
    if (result.ec == std::errc() && result.ptr == end) return std::isfinite(out);
    return ReadFloatAsStrtod(word, out);
}

bool ReadIndex(std::string_view word, int64_t& out) {
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    if (word.empty()) return false;
    const char* end = word.data() + word.size();
    const auto result = std::from_chars(word.data(), end, out);
    return result.ec == std::errc() && result.ptr == end && out != 0;
}

// A corner's index as given: positive counts from the file's first element, negative back
// from the last one read so far. Positive ones are checked once the whole file is read,
// since files may name elements further down.
bool ResolveIndex(int64_t given, size_t countSoFar, int64_t& out) {
    if (given > 0) {
        if (given > int64_t(INT32_MAX)) return false;
        out = given - 1;
        return true;
    }
    out = int64_t(countSoFar) + given;
    return out >= 0;
}

// Warnings of one file, one per kind, each naming the first line it happened on.
class Warnings {
public:
    void add(const std::string& kind, size_t line, const std::string& message) {
        for (Entry& entry : mEntries) {
            if (entry.kind == kind) {
                ++entry.count;
                entry.line = std::min(entry.line, line);    // faces checked at the end come late
                return;
            }
        }
        mEntries.push_back(Entry{kind, line, message, 1});
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const Entry& entry : mEntries) {
            std::string text = "line " + std::to_string(entry.line) + ": " + entry.message;
            if (entry.count > 1) text += " (" + std::to_string(entry.count) + " times, first here)";
            out.push_back(std::move(text));
        }
        return out;
    }

private:
    struct Entry {
        std::string kind;
        size_t line;
        std::string message;
        size_t count;
    };
    std::vector<Entry> mEntries;
};

class Parser {
public:
    explicit Parser(ObjMesh& mesh) : mMesh(mesh) {}

    // False when the file cannot be read on: every later index would name the wrong element.
    bool line(std::string_view text, size_t number) {
        mLine = number;
        const size_t comment = text.find('#');
        if (comment != std::string_view::npos) text = text.substr(0, comment);
        Words words(text);
        std::string_view keyword;
        if (!words.next(keyword)) return true;
        if (keyword == "v") return vector(words, 3, mMesh.positions, "vertex");
        if (keyword == "vn") return vector(words, 3, mMesh.normals, "normal");
        if (keyword == "vt") return vector(words, 1, mMesh.uvws, "texture coordinate");
        if (keyword == "f") return face(words);
        if (keyword == "usemtl") return useMaterial(words.rest());
        return true;    // groups, objects, smoothing groups, lines and points carry no polygons
    }

    void finish() {
        dropFacesWithMissingVertices();
        if (mAllHaveNormals && !mMesh.positionIndices.empty()) {
            const size_t line = firstLineOutOfRange(mMesh.normalIndices, mMesh.normals.size());
            if (line != 0) {
                mWarnings.add("normal", line, "face naming a normal that does not exist: the file's normals dropped");
                mAllHaveNormals = false;
            }
        }
        if (!mAllHaveNormals || mMesh.positionIndices.empty()) {
            mMesh.normals.clear();
            mMesh.normalIndices.clear();
        }
        if (mAllHaveUvws && !mMesh.positionIndices.empty()) {
            pointMissingUvwsAtZero();
        } else {
            mMesh.uvws.clear();
            mMesh.uvwIndices.clear();
        }
        std::vector<std::string> warnings = mWarnings.lines();
        if (mMesh.verticesPerPoly.empty()) mMesh = ObjMesh();
        mMesh.warnings = std::move(warnings);
    }

    void failed() {
        std::vector<std::string> warnings = mWarnings.lines();
        mMesh = ObjMesh();
        mMesh.warnings = std::move(warnings);
    }

private:
    void warn(const char* kind, const std::string& message) { mWarnings.add(kind, mLine, message); }

    // Needs at least `required` numbers; missing ones up to three are 0, extra ones (a
    // weight, vertex colours) are ignored.
    bool vector(Words& words, int required, std::vector<float_3>& out, const char* what) {
        float values[3] = {0.0f, 0.0f, 0.0f};
        std::string_view word;
        for (int i = 0; i < 3 && words.next(word); ++i) {
            if (!ReadFloat(word, values[i])) {
                warn("number", std::string("unreadable ") + what + ": the file is refused");
                return false;
            }
            if (i + 1 == required) required = 0;
        }
        if (required != 0) {
            warn("number", std::string(what) + " with too few numbers: the file is refused");
            return false;
        }
        out.push_back(float_3{values[0], values[1], values[2]});
        return true;
    }

    // A face that cannot be used is taken back whole and the file read on.
    bool face(Words& words) {
        const size_t positions = mMesh.positionIndices.size(), uvws = mMesh.uvwIndices.size(),
                     normals = mMesh.normalIndices.size();
        const bool allUvws = mAllHaveUvws, allNormals = mAllHaveNormals;
        std::string_view corner;
        size_t corners = 0;
        const char* trouble = nullptr;
        while (!trouble && words.next(corner)) {
            if (++corners > kMaxObjPolygonCorners) trouble = "face with too many corners skipped";
            else if (!faceCorner(corner)) trouble = "face naming a vertex that does not exist skipped";
        }
        if (!trouble && corners < 3) trouble = "face with fewer than three corners skipped";
        if (!trouble && mSlot < 0 && !slotFor(kUnnamedMaterial)) trouble = "too many materials: face skipped";
        if (trouble) {
            warn(trouble, trouble);
            mMesh.positionIndices.resize(positions);
            mMesh.uvwIndices.resize(uvws);
            mMesh.normalIndices.resize(normals);
            mAllHaveUvws = allUvws;
            mAllHaveNormals = allNormals;
            return true;
        }
        mMesh.verticesPerPoly.push_back(int32_t(corners));
        mMesh.polyMaterials.push_back(mSlot);
        mPolyLines.push_back(mLine);
        return true;
    }

    // "p", "p/t", "p//n" or "p/t/n".
    bool faceCorner(std::string_view corner) {
        std::string_view parts[3];
        size_t count = 0;
        while (count < 3) {
            const size_t slash = corner.find('/');
            parts[count++] = corner.substr(0, slash);
            if (slash == std::string_view::npos) break;
            corner.remove_prefix(slash + 1);
            if (count == 3) return false;    // a fourth part
        }
        int64_t given = 0, index = 0;
        if (!ReadIndex(parts[0], given) || !ResolveIndex(given, mMesh.positions.size(), index)) return false;
        mMesh.positionIndices.push_back(int32_t(index));

        if (count >= 2 && !parts[1].empty()) {
            mMesh.uvwIndices.push_back(optionalIndex(parts[1], mMesh.uvws.size()));
        } else {
            mAllHaveUvws = false;
        }
        if (count == 3 && !parts[2].empty()) {
            mMesh.normalIndices.push_back(optionalIndex(parts[2], mMesh.normals.size()));
        } else {
            mAllHaveNormals = false;
        }
        return true;
    }

    // A texture coordinate or normal index that names nothing is kept as -1; the whole
    // file decides what becomes of it.
    static int32_t optionalIndex(std::string_view text, size_t countSoFar) {
        int64_t given = 0, index = 0;
        if (!ReadIndex(text, given) || !ResolveIndex(given, countSoFar, index)) return -1;
        return int32_t(index);
    }

    bool useMaterial(std::string_view name) {
        if (!slotFor(name.empty() ? kUnnamedMaterial : name)) warn("materials", "too many materials: slot kept");
        return true;
    }

    bool slotFor(std::string_view name) {
        const auto found = mSlots.find(std::string(name));
        if (found != mSlots.end()) {
            mSlot = found->second;
            return true;
        }
        if (mMesh.materialNames.size() >= kMaxObjMaterials) return false;
        mSlot = int32_t(mMesh.materialNames.size());
        mMesh.materialNames.emplace_back(name);
        mSlots.emplace(mMesh.materialNames.back(), mSlot);
        return true;
    }

    // Positive indices may name vertices further down, so they are checked once the whole
    // file is read; faces whose vertices never came are taken out with their corners.
    void dropFacesWithMissingVertices() {
        const size_t count = mMesh.positions.size();
        const bool uvwsAligned = mAllHaveUvws, normalsAligned = mAllHaveNormals;
        size_t read = 0, written = 0, polysKept = 0;
        for (size_t poly = 0; poly < mMesh.verticesPerPoly.size(); ++poly) {
            const size_t corners = size_t(mMesh.verticesPerPoly[poly]);
            bool usable = true;
            for (size_t i = read; i < read + corners; ++i) {
                const int32_t index = mMesh.positionIndices[i];
                if (index < 0 || size_t(index) >= count) usable = false;
            }
            if (!usable) {
                const char* message = "face naming a vertex that does not exist skipped";
                mWarnings.add(message, mPolyLines[poly], message);
            } else {
                for (size_t i = 0; i < corners; ++i) {
                    mMesh.positionIndices[written + i] = mMesh.positionIndices[read + i];
                    if (uvwsAligned) mMesh.uvwIndices[written + i] = mMesh.uvwIndices[read + i];
                    if (normalsAligned) mMesh.normalIndices[written + i] = mMesh.normalIndices[read + i];
                }
                mMesh.verticesPerPoly[polysKept] = mMesh.verticesPerPoly[poly];
                mMesh.polyMaterials[polysKept] = mMesh.polyMaterials[poly];
                mPolyLines[polysKept] = mPolyLines[poly];
                written += corners;
                ++polysKept;
            }
            read += corners;
        }
        mMesh.verticesPerPoly.resize(polysKept);
        mMesh.polyMaterials.resize(polysKept);
        mPolyLines.resize(polysKept);
        mMesh.positionIndices.resize(written);
        if (uvwsAligned) mMesh.uvwIndices.resize(written);
        if (normalsAligned) mMesh.normalIndices.resize(written);
    }

    // Corners whose texture coordinate never came share an added coordinate (0, 0, 0).
    void pointMissingUvwsAtZero() {
        const size_t count = mMesh.uvws.size();
        const size_t line = firstLineOutOfRange(mMesh.uvwIndices, count);
        if (line == 0) return;
        bool added = false;
        for (int32_t& index : mMesh.uvwIndices) {
            if (index >= 0 && size_t(index) < count) continue;
            if (!added) {
                mMesh.uvws.push_back(float_3{0.0f, 0.0f, 0.0f});
                added = true;
                mWarnings.add("uvw", line, "face naming a texture coordinate that does not exist: read as 0");
            }
            index = int32_t(count);
        }
    }

    // The line of the first polygon with a corner index outside [0, count), or 0.
    size_t firstLineOutOfRange(const std::vector<int32_t>& indices, size_t count) const {
        size_t corner = 0;
        for (size_t poly = 0; poly < mMesh.verticesPerPoly.size(); ++poly) {
            for (int32_t i = 0; i < mMesh.verticesPerPoly[poly]; ++i, ++corner) {
                const int32_t index = indices[corner];
                if (index < 0 || size_t(index) >= count) return mPolyLines[poly];
            }
        }
        return 0;
    }

    ObjMesh& mMesh;
    Warnings mWarnings;
    std::map<std::string, int32_t> mSlots;
    std::vector<size_t> mPolyLines;
    size_t mLine = 0;
    int32_t mSlot = -1;
    bool mAllHaveNormals = true;
    bool mAllHaveUvws = true;
};

// Text in UTF-16 with a byte-order mark, as UTF-8; false when it is not.
bool FromUtf16(std::string& text) {
    if (text.size() < 2) return false;
    const bool little = text[0] == '\xFF' && text[1] == '\xFE';
    const bool big = text[0] == '\xFE' && text[1] == '\xFF';
    if (!little && !big) return false;
    std::string out;
    out.reserve(text.size() / 2);
    auto unit = [&](size_t at) {
        const unsigned char a = static_cast<unsigned char>(text[at]), b = static_cast<unsigned char>(text[at + 1]);
        return little ? uint32_t(a | b << 8) : uint32_t(b | a << 8);
    };
    for (size_t at = 2; at + 1 < text.size(); at += 2) {
        uint32_t code = unit(at);
        if (code >= 0xD800 && code < 0xDC00 && at + 3 < text.size()) {
            const uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (code >= 0xD800 && code < 0xE000) code = 0xFFFD;    // a lone surrogate
        if (code < 0x80) {
            out.push_back(char(code));
        } else if (code < 0x800) {
            out.push_back(char(0xC0 | code >> 6));
            out.push_back(char(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(char(0xE0 | code >> 12));
            out.push_back(char(0x80 | (code >> 6 & 0x3F)));
            out.push_back(char(0x80 | (code & 0x3F)));
        } else {
            out.push_back(char(0xF0 | code >> 18));
            out.push_back(char(0x80 | (code >> 12 & 0x3F)));
            out.push_back(char(0x80 | (code >> 6 & 0x3F)));
            out.push_back(char(0x80 | (code & 0x3F)));
        }
    }
    text.swap(out);
    return true;
}

// Zero bytes near the start: a binary file, or UTF-16 that lost its mark.
bool LooksBinary(const std::string& text) {
    return std::memchr(text.data(), '\0', std::min<size_t>(text.size(), 4096)) != nullptr;
}

// A scene file can name a FIFO or a device as a mesh's file: opening that without O_NONBLOCK
// waits for a writer, possibly forever. The flag is dropped once the file is known to be regular.
bool ReadWholeFile(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    const int flags = ::fcntl(fd, F_GETFL);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags == -1 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(::fdopen(fd, "rb"), &std::fclose);
    if (!file) {
        ::close(fd);
        return false;
    }
    if (info.st_size < 0 || uint64_t(info.st_size) > kMaxObjFileBytes) return false;
    text.resize(size_t(info.st_size));
    const size_t got = text.empty() ? 0 : std::fread(&text[0], 1, text.size(), file.get());
    if (got != text.size()) return false;
    // A file that grew since it was measured is cut at the size it had.
    return true;
}

template <typename T>
void Store(NodeImpl* node, AttributeId id, const std::vector<T>& values) {
    const int ix = AttrIndex(node, id);
    if (ix < 0) return;
    bool changed = false;
    if (node->attrs[size_t(ix)].assign(values.data(), values.size(), changed))
        AttributeChanged(node, uint32_t(ix), changed, false);
}

void StoreNames(NodeImpl* node, const std::vector<std::string>& names) {
    const int ix = AttrIndex(node, Attrs::MaterialNames);
    if (ix < 0) return;
    std::vector<const char*> views;
    views.reserve(names.size());
    for (const std::string& name : names) views.push_back(name.c_str());
    bool changed = false;
    if (node->attrs[size_t(ix)].assignText(views.data(), views.size(), changed))
        AttributeChanged(node, uint32_t(ix), changed, false);
}

void StoreMesh(NodeImpl* node, const ObjMesh& mesh) {
    Store(node, kVerticesPerPoly, mesh.verticesPerPoly);
    Store(node, kVertices, mesh.positions);
    Store(node, kVertexIndices, mesh.positionIndices);
    Store(node, kNormals, mesh.normals);
    Store(node, kNormalIndices, mesh.normalIndices);
    Store(node, kUvws, mesh.uvws);
    Store(node, kUvwIndices, mesh.uvwIndices);
    Store(node, kMaterialSlots, mesh.polyMaterials);
    StoreNames(node, mesh.materialNames);
}

const char* TextAttr(const NodeImpl* node, AttributeId id) {
    const int ix = AttrIndex(node, id);
    return ix < 0 ? nullptr : node->attrs[size_t(ix)].text(0);
}

bool BoolAttr(const NodeImpl* node, AttributeId id) {
    const int ix = AttrIndex(node, id);
    Components value;
    return ix >= 0 && node->attrs[size_t(ix)].components(0, value) && value.ints[0] != 0;
}

void ClearReload(NodeImpl* node) {
    const int ix = AttrIndex(node, Attrs::Reload);
    if (ix < 0) return;
    const bool off = false;
    bool changed = false;
    if (node->attrs[size_t(ix)].assign(&off, 1, changed)) AttributeChanged(node, uint32_t(ix), changed, false);
}

// The file each mesh last loaded, by item id. Ids are never reused, so an entry of a
// destroyed node can do no harm; they are swept out now and then to bound the table.
// Only touched under the engine's lock.
std::unordered_map<uint64_t, std::string>& LoadedFiles() {
    static std::unordered_map<uint64_t, std::string> loaded;
    return loaded;
}

void SweepLoadedFiles() {
    auto& loaded = LoadedFiles();
    static size_t sweepAt = 1024;
    if (loaded.size() < sweepAt) return;
    for (auto it = loaded.begin(); it != loaded.end();) {
        it = NodeWithId(it->first) ? std::next(it) : loaded.erase(it);
    }
    sweepAt = std::max<size_t>(1024, loaded.size() * 2);
}

}  // namespace

bool ParseObj(const char* data, size_t size, ObjMesh& mesh) {
    mesh = ObjMesh();
    if (size > kMaxObjFileBytes || (size > 0 && !data)) return false;
    Parser parser(mesh);
    std::string_view text(data ? data : "", size);
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);    // UTF-8 byte-order mark
    size_t start = 0, number = 0;
    std::string joined;    // a line continued with trailing backslashes
    size_t joinedFrom = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\\') {
            if (joined.empty()) joinedFrom = number;
            joined.append(line.data(), line.size() - 1).push_back(' ');
            continue;
        }
        bool ok;
        if (!joined.empty()) {
            joined.append(line.data(), line.size());
            ok = parser.line(joined, joinedFrom);
            joined.clear();
        } else {
            ok = parser.line(line, number);
        }
        if (!ok) {
            parser.failed();
            return false;
        }
    }
    if (!joined.empty() && !parser.line(joined, joinedFrom)) {
        parser.failed();
        return false;
    }
    parser.finish();
    return true;
}

bool ReadObjFile(const std::string& path, ObjMesh& mesh) {
    mesh = ObjMesh();
    std::string text;
    if (!ReadWholeFile(path, text)) {
        mesh.warnings.push_back("cannot be read as an OBJ file");
        return false;
    }
    if (!FromUtf16(text) && LooksBinary(text)) {
        mesh.warnings.push_back("not a text file (or UTF-16 without a byte-order mark)");
        return false;
    }
    return ParseObj(text.data(), text.size(), mesh);
}

bool IsObjPath(const char* path) {
    if (!path) return false;
    const std::string_view text(path);
    if (text.size() < 4) return false;
    const std::string_view tail = text.substr(text.size() - 4);
    return tail[0] == '.' && (tail[1] | 0x20) == 'o' && (tail[2] | 0x20) == 'b' && (tail[3] | 0x20) == 'j';
}

void LoadMeshFileIfDue(NodeImpl* node) {
    if (!node || node->nodeType != Types::Mesh) return;
    auto& loaded = LoadedFiles();
    const char* file = TextAttr(node, Attrs::Filename);
    const auto previous = loaded.find(node->id);
    if (!IsObjPath(file)) {
        if (previous != loaded.end()) {
            StoreMesh(node, ObjMesh());
            loaded.erase(previous);
        }
        return;
    }
    const bool reload = BoolAttr(node, Attrs::Reload);
    if (!reload && previous != loaded.end() && previous->second == file) return;

    ObjMesh mesh;
    ReadObjFile(file, mesh);    // a file that cannot be used leaves the mesh empty
    for (const std::string& warning : mesh.warnings) std::fprintf(stderr, "zarnik: %s: %s\n", file, warning.c_str());
    StoreMesh(node, mesh);
    if (reload) ClearReload(node);
    SweepLoadedFiles();
    LoadedFiles()[node->id] = file;
}

}  // namespace Engine
}  // namespace Zarnik
