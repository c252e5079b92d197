// ApiRootNodeGraph: free root graphs, scene import and export.
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "core.h"
#include "scene_text.h"

namespace Zarnik {

using namespace Engine;

namespace {

constexpr std::streamoff kMaxSceneFile = std::streamoff(1) << 31;

GraphImpl* LiveRoot(const ApiRootNodeGraph* self) {
    GraphImpl* graph = ResolveLiveGraph(self);
    return graph && graph->kind == GraphKind::Root ? graph : nullptr;
}

bool ReadFile(const char* path, std::string& bytes) {
    if (!path || !*path) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxSceneFile) return false;
    in.seekg(0, std::ios::beg);
    bytes.resize(size_t(size));
    if (size > 0 && !in.read(&bytes[0], size)) return false;
    return true;
}

bool FileExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string FolderOf(const char* path) {
    if (!path) return "";
    const std::string text(path);
    const size_t slash = text.find_last_of("/\\");
    return slash == std::string::npos ? "" : text.substr(0, slash + 1);
}

// After an import: file names that are relative are looked up beside the scene (or in the
// asset folder); names of files that cannot be found are offered to the caller's callback.
class AssetResolver {
public:
    AssetResolver(std::string sceneFolder, std::string assetFolder, AssetMissingCallback callback, void* userData)
        : mSceneFolder(std::move(sceneFolder)),
          mAssetFolder(std::move(assetFolder)),
          mCallback(callback),
          mUserData(userData) {}

    void visitGraph(GraphImpl* graph, int depth) {
        std::vector<uint64_t> ids;
        for (Item* child : graph->owned) ids.push_back(child->id);
        for (uint64_t id : ids) {
            Item* item = ItemWithId(id);
            if (!item) continue;
            if (NodeImpl* node = item->asNode())
                visitNode(node, depth);
            else if (depth < kMaxTreeDepth)
                visitGraph(item->asGraph(), depth + 1);
        }
    }

private:
    void visitNode(NodeImpl* node, int depth) {
        const uint64_t id = node->id;
        for (uint32_t ix = 0; ix < node->attrs.size(); ++ix) {
            if (node->attrs[ix].kind() != AttrKind::Filename || node->attrs[ix].isArray()) continue;
            const char* current = node->attrs[ix].text(0);
            if (!current || !*current) continue;
            std::string replacement;
            if (!find(current, replacement)) continue;
            const char* text = replacement.c_str();
            bool changed;
            if (node->attrs[ix].assignText(&text, 1, changed)) AttributeChanged(node, ix, changed, false);
            // The callback may have changed the scene.
            node = NodeWithId(id);
            if (!node) return;
        }
        if (depth >= kMaxTreeDepth) return;
        std::vector<uint64_t> owned;
        for (const Pin& pin : node->pins)
            if (pin.owned && pin.node) owned.push_back(pin.node->id);
        for (uint64_t childId : owned)
            if (NodeImpl* child = NodeWithId(childId)) visitNode(child, depth + 1);
    }

    bool find(const std::string& path, std::string& replacement) {
        if (FileExists(path)) return false;
        const bool relative = path[0] != '/';
        for (const std::string* folder : {&mSceneFolder, &mAssetFolder}) {
            if (relative && !folder->empty() && FileExists(*folder + path)) {
                replacement = *folder + path;
                return true;
            }
        }
        if (!mCallback) return false;
        std::vector<char> buffer(4096, '\0');
        bool answered = false;
        try {
            answered = mCallback(mUserData, path.c_str(), buffer.data(), buffer.size());
        } catch (...) {
            answered = false;
        }
        buffer.back() = '\0';
        if (!answered || !buffer[0]) return false;
        replacement = buffer.data();
        return true;
    }

    std::string mSceneFolder, mAssetFolder;
    AssetMissingCallback mCallback;
    void* mUserData;
};

bool ImportBytes(GraphImpl* graph, const char* data, size_t length, int32_t* version, const std::string& sceneFolder,
                 const std::string& assetFolder, AssetMissingCallback callback, void* userData) {
    std::string unpacked;
    if (IsPackagedScene(data, length)) {
        if (!UnpackScene(data, length, unpacked)) return false;
        data = unpacked.data();
        length = unpacked.size();
    }
    const uint64_t id = graph->id;
    if (!ImportSceneText(*graph, data, length, version)) return false;
    // The import ran observers: look the graph up again.
    Item* still = ItemWithId(id);
    if (still && !still->dying && still->asGraph())
        AssetResolver(sceneFolder, assetFolder, callback, userData).visitGraph(still->asGraph(), 0);
    return true;
}

bool WriteFile(const char* path, const std::string& bytes) {
    if (!path || !*path) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}

}  // namespace

ApiRootNodeGraph* ApiRootNodeGraph::create(int32_t version) {
    return Guarded(static_cast<ApiRootNodeGraph*>(nullptr), [&]() -> ApiRootNodeGraph* {
        GraphImpl* graph = CreateGraph(GraphKind::Root, nullptr);
        graph->sceneVersion = version;
        return graph;
    });
}

int32_t ApiRootNodeGraph::version() const {
    return Guarded(int32_t(0), [&]() {
        GraphImpl* graph = ResolveGraph(this);
        return graph && graph->kind == GraphKind::Root ? graph->sceneVersion : int32_t(0);
    });
}

bool ApiRootNodeGraph::import(const char* path, const char* assetPath, AssetMissingCallback callback, void* userData) {
    return Guarded(false, [&]() {
        GraphImpl* graph = LiveRoot(this);
        std::string bytes;
        if (!graph || !ReadFile(path, bytes)) return false;
        std::string assets = assetPath ? assetPath : "";
        if (!assets.empty() && assets.back() != '/') assets += '/';
        return ImportBytes(graph, bytes.data(), bytes.size(), nullptr, FolderOf(path), assets, callback, userData);
    });
}

bool ApiRootNodeGraph::import(const char* data, size_t length, const char* referencePath, int32_t* version,
                              AssetMissingCallback callback, void* userData) {
    return Guarded(false, [&]() {
        GraphImpl* graph = LiveRoot(this);
        if (!graph || !data) return false;
        return ImportBytes(graph, data, length, version, FolderOf(referencePath), "", callback, userData);
    });
}

const char* ApiRootNodeGraph::exportToString(const char* assetPath, bool includeAll) {
    return Guarded("", [&]() -> const char* {
        GraphImpl* graph = LiveRoot(this);
        if (!graph) return "";
        std::string text = ExportSceneText(*graph);
        // The scene text may have run callbacks; the graph may be gone.
        graph = LiveRoot(this);
        if (!graph) return "";
        graph->exportText.swap(text);
        return graph->exportText.c_str();
    });
}

bool ApiRootNodeGraph::exportToFile(const char* path, bool packaged) {
    return Guarded(false, [&]() {
        GraphImpl* graph = LiveRoot(this);
        if (!graph || !path || !*path) return false;
        const std::string text = ExportSceneText(*graph);
        return WriteFile(path, packaged ? PackScene(text) : text);
    });
}

}  // namespace Zarnik
