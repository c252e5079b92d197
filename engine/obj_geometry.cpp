#include "obj_geometry.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
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

bool ReadFloat(std::string_view word, float& out) {
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    if (word.empty()) return false;
    const char* end = word.data() + word.size();
    const auto result = std::from_chars(word.data(), end, out);
    return result.ec == std::errc() && result.ptr == end && std::isfinite(out);
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

class Parser {
public:
    explicit Parser(ObjMesh& mesh) : mMesh(mesh) {}

    bool line(std::string_view text) {
        const size_t comment = text.find('#');
        if (comment != std::string_view::npos) text = text.substr(0, comment);
        Words words(text);
        std::string_view keyword;
        if (!words.next(keyword)) return true;
        if (keyword == "v") return vector(words, 3, mMesh.positions);
        if (keyword == "vn") return vector(words, 3, mMesh.normals);
        if (keyword == "vt") return vector(words, 1, mMesh.uvws);
        if (keyword == "f") return face(words);
        if (keyword == "usemtl") return useMaterial(words.rest());
        return true;    // groups, objects, smoothing groups, lines and points carry no polygons
    }

    bool finish() {
        if (!inRange(mMesh.positionIndices, mMesh.positions.size())) return false;
        if (mAllHaveNormals && !mMesh.positionIndices.empty()) {
            if (!inRange(mMesh.normalIndices, mMesh.normals.size())) return false;
        } else {
            mMesh.normals.clear();
            mMesh.normalIndices.clear();
        }
        if (mAllHaveUvws && !mMesh.positionIndices.empty()) {
            if (!inRange(mMesh.uvwIndices, mMesh.uvws.size())) return false;
        } else {
            mMesh.uvws.clear();
            mMesh.uvwIndices.clear();
        }
        return true;
    }

private:
    // Needs at least `required` numbers; missing ones up to three are 0, extra ones (a
    // weight, vertex colours) are ignored.
    bool vector(Words& words, int required, std::vector<float_3>& out) {
        float values[3] = {0.0f, 0.0f, 0.0f};
        std::string_view word;
        for (int i = 0; i < 3 && words.next(word); ++i) {
            if (!ReadFloat(word, values[i])) return false;
            if (i + 1 == required) required = 0;
        }
        if (required != 0) return false;
        out.push_back(float_3{values[0], values[1], values[2]});
        return true;
    }

    bool face(Words& words) {
        std::string_view corner;
        size_t corners = 0;
        while (words.next(corner)) {
            if (++corners > kMaxObjPolygonCorners) return false;
            if (!faceCorner(corner)) return false;
        }
        if (corners < 3) return false;
        mMesh.verticesPerPoly.push_back(int32_t(corners));
        if (mSlot < 0 && !slotFor(kUnnamedMaterial)) return false;
        mMesh.polyMaterials.push_back(mSlot);
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
            if (!ReadIndex(parts[1], given) || !ResolveIndex(given, mMesh.uvws.size(), index)) return false;
            mMesh.uvwIndices.push_back(int32_t(index));
        } else {
            mAllHaveUvws = false;
        }
        if (count == 3 && !parts[2].empty()) {
            if (!ReadIndex(parts[2], given) || !ResolveIndex(given, mMesh.normals.size(), index)) return false;
            mMesh.normalIndices.push_back(int32_t(index));
        } else {
            mAllHaveNormals = false;
        }
        return true;
    }

    bool useMaterial(std::string_view name) { return slotFor(name.empty() ? kUnnamedMaterial : name); }

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

    static bool inRange(const std::vector<int32_t>& indices, size_t count) {
        for (int32_t index : indices) {
            if (index < 0 || size_t(index) >= count) return false;
        }
        return true;
    }

    ObjMesh& mMesh;
    std::map<std::string, int32_t> mSlots;
    int32_t mSlot = -1;
    bool mAllHaveNormals = true;
    bool mAllHaveUvws = true;
};

bool ReadWholeFile(const std::string& path, std::string& text) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return false;
    struct stat info;
    if (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return false;
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
    const std::string_view text(data ? data : "", size);
    size_t start = 0;
    bool ok = true;
    while (ok && start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        ok = parser.line(text.substr(start, end - start));
        start = end + 1;
    }
    if (ok) ok = parser.finish();
    if (!ok) mesh = ObjMesh();
    return ok;
}

bool ReadObjFile(const std::string& path, ObjMesh& mesh) {
    mesh = ObjMesh();
    std::string text;
    if (!ReadWholeFile(path, text)) return false;
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
    StoreMesh(node, mesh);
    if (reload) ClearReload(node);
    SweepLoadedFiles();
    LoadedFiles()[node->id] = file;
}

}  // namespace Engine
}  // namespace Zarnik
