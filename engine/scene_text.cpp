// Scene text: an XML document with one <scene> element holding the root graph's items in
// the order the graph lists them.
//
//   <scene version="3080500" name="root name">
//     <graph id="1" kind="1" name="..." x="0" y="0" flags="0">  ...items...  </graph>
//     <node id="2" type="17" name="..." x="10" y="-4.5" flags="0">
//       <attr id="185" kind="8">0.7 0.7 0.7</attr>             one per attribute, in index order
//       <attr id="190" kind="8" count="2">0 0 0 1 1 1</attr>    arrays carry their element count
//       <attr id="63" kind="10" count="1"><s v="mat_1"/></attr> texts sit in XML attributes
//       <attr id="120" kind="2" count="900" enc="base64">AAAA...</attr>   large number arrays:
//                                                  their 32-bit components, little-endian
//       <pin index="0"><node id="3" .../></pin>                  a node owned by the pin
//       <pin index="1" source="7"/>                              a graph-owned node plugged in
//     </node>
//   </scene>
//
// Ids number graphs and nodes in document order. Import reads and checks the whole document
// into a plain model first and only then touches the graph, so that a bad text leaves the
// graph as it was.
#include "scene_text.h"

#include <pugixml.hpp>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "catalogue.h"
#include "scene_text_numbers.h"

namespace Zarnik {
namespace Engine {
namespace {

using namespace SceneNumbers;

// Texts beyond any scene the engine could hold are refused outright; below that, a text is
// as large as its scene needs (a mesh of ten million triangles takes about a gigabyte).
constexpr uint64_t kMaxTextBytes = uint64_t(16) << 30;
// Deflate expands its input at most 1032 times: a package announcing more text than its
// compressed bytes can hold is refused before anything is made room for.
constexpr uint64_t kMaxInflation = 1032;
// Graphs and nodes (pin-owned ones included) nested deeper than this are refused.
constexpr size_t kMaxDepth = 512;
// A geometry group makes one pin per input, a count the text's length does not bound; the
// engine makes at most this many.
constexpr int32_t kMaxGroupInputs = 1000000;

// Scalar components per element of a numeric attribute kind; 0 for texts and bytes.
size_t ComponentCount(AttributeType kind) {
    switch (kind) {
        case AttrKind::Bool:
        case AttrKind::Int:
        case AttrKind::Float: return 1;
        case AttrKind::Int2:
        case AttrKind::Float2: return 2;
        case AttrKind::Int3:
        case AttrKind::Float3: return 3;
        case AttrKind::Int4:
        case AttrKind::Float4: return 4;
        case AttrKind::Matrix: return 12;
        default: return 0;
    }
}

bool IsIntKind(AttributeType kind) { return kind >= AttrKind::Bool && kind <= AttrKind::Int4; }
bool IsFloatKind(AttributeType kind) {
    return (kind >= AttrKind::Float && kind <= AttrKind::Float4) || kind == AttrKind::Matrix;
}
bool IsTextKind(AttributeType kind) { return kind == AttrKind::String || kind == AttrKind::Filename; }

// ---------------------------------------------------------------------------------------
// Export

class StringWriter : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) : mOut(out) {}
    void write(const void* data, size_t size) override { mOut.append(static_cast<const char*>(data), size); }

private:
    std::string& mOut;
};

class Exporter {
public:
    std::string run(const ApiRootNodeGraph& graph) {
        pugi::xml_node scene = mDoc.append_child("scene");
        scene.append_attribute("version") = kSceneVersion;
        scene.append_attribute("name") = Text(graph.name());
        writeItems(graph, scene, 1);
        resolveConnections();
        std::string out;
        StringWriter writer(out);
        mDoc.save(writer, "\t", pugi::format_indent, pugi::encoding_utf8);
        return out;
    }

private:
    struct PendingConnection {
        pugi::xml_node pin;
        const ApiNode* source;
    };

    static const char* Text(const char* s) { return s ? s : ""; }

    // Items nested deeper than a text may hold are left out (with the connections to them),
    // so that the text stays importable and writing it cannot exhaust the stack.
    void writeItems(const ApiNodeGraph& graph, pugi::xml_node parent, size_t depth) {
        if (depth > kMaxDepth) return;
        ApiItemArray items;
        graph.getOwnedItems(items);
        for (size_t i = 0; i < items.size(); ++i) {
            const ApiItem* item = items[i];
            if (!item) continue;
            if (item->isGraph())
                writeGraph(*item->toGraph(), parent, depth);
            else if (item->isNode())
                writeNode(*item->toNode(), parent, depth);
        }
    }

    void writeHeader(const ApiItem& item, pugi::xml_node el) {
        uint32_t id = mNextId++;
        mIds[&item] = id;
        el.append_attribute("id") = id;
    }

    void writePlacement(const ApiItem& item, pugi::xml_node el) {
        el.append_attribute("name") = Text(item.name());
        float_2 position = item.position();
        mText.clear();
        AppendFloat(mText, position.x);
        el.append_attribute("x") = mText.c_str();
        mText.clear();
        AppendFloat(mText, position.y);
        el.append_attribute("y") = mText.c_str();
        el.append_attribute("flags") = item.uiOperationFlags();
    }

    void writeGraph(const ApiNodeGraph& graph, pugi::xml_node parent, size_t depth) {
        pugi::xml_node el = parent.append_child("graph");
        writeHeader(graph, el);
        el.append_attribute("kind") = graph.type();
        writePlacement(graph, el);
        writeItems(graph, el, depth + 1);
    }

    void writeNode(const ApiNode& node, pugi::xml_node parent, size_t depth) {
        pugi::xml_node el = parent.append_child("node");
        writeHeader(node, el);
        el.append_attribute("type") = node.type();
        writePlacement(node, el);
        for (uint32_t i = 0, n = node.attrCount(); i < n; ++i) writeAttribute(node, i, el);
        for (uint32_t i = 0, n = node.pinCount(); i < n; ++i) {
            const ApiNode* input = node.connectedNodeIx(i);
            if (!input) continue;
            if (input->pinOwned()) {
                // Only the pin that owns a node can hold it.
                if (input->pinOwnerNode() != &node || input->pinOwnerIx() != i || depth == kMaxDepth) continue;
                pugi::xml_node pin = el.append_child("pin");
                pin.append_attribute("index") = i;
                writeNode(*input, pin, depth + 1);
            } else {
                pugi::xml_node pin = el.append_child("pin");
                pin.append_attribute("index") = i;
                mConnections.push_back({pin, input});
            }
        }
    }

    void token() {
        if (!mText.empty()) mText += ' ';
    }
    void addInts(const int32_t* v, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            token();
            AppendInt(mText, v[i]);
        }
    }
    void addFloats(const float* v, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            token();
            AppendFloat(mText, v[i]);
        }
    }
    // Number arrays of this many bytes and more are written packed (in Base64) rather than
    // as decimal numbers; meshes are made of them.
    static constexpr size_t kPackedFromBytes = 1024;

    void pack(const std::vector<uint8_t>& bytes) {
        AppendBase64(mText, bytes.data(), bytes.size());
        mPacked = true;
    }

    template <typename T, typename Add>
    size_t addArray(const ApiArray<T>& values, Add add) {
        if constexpr (!std::is_same_v<T, bool>) {
            static_assert(sizeof(T) % 4 == 0, "numeric elements are made of 32-bit components");
            if (values.size() * sizeof(T) >= kPackedFromBytes) {
                mPackBuffer.clear();
                AppendWordsLE(mPackBuffer, values.data(), values.size() * sizeof(T) / 4);
                pack(mPackBuffer);
                return values.size();
            }
        }
        for (const T& v : values) add(v);
        return values.size();
    }

    void writeAttribute(const ApiNode& item, uint32_t index, pugi::xml_node parent) {
        const AttributeId id = item.attrIdIx(index);
        const AttributeType kind = item.attrTypeIx(index);
        const ApiAttributeInfo* info = item.attrInfoIx(index);
        const bool isArray = info && info->isArray;
        if (kind == AttrKind::Unknown || kind > AttrKind::Matrix) return;

        pugi::xml_node el = parent.append_child("attr");
        el.append_attribute("id") = id;
        el.append_attribute("kind") = kind;
        mText.clear();
        mPacked = false;
        size_t count = 1;
        auto i2 = [this](const int32_2& v) {
            const int32_t c[] = {v.x, v.y};
            addInts(c, 2);
        };
        auto i3 = [this](const int32_3& v) {
            const int32_t c[] = {v.x, v.y, v.z};
            addInts(c, 3);
        };
        auto i4 = [this](const int32_4& v) {
            const int32_t c[] = {v.x, v.y, v.z, v.w};
            addInts(c, 4);
        };
        auto f2 = [this](const float_2& v) {
            const float c[] = {v.x, v.y};
            addFloats(c, 2);
        };
        auto f3 = [this](const float_3& v) {
            const float c[] = {v.x, v.y, v.z};
            addFloats(c, 3);
        };
        auto f4 = [this](const float_4& v) {
            const float c[] = {v.x, v.y, v.z, v.w};
            addFloats(c, 4);
        };
        auto matrix = [this](const Matrix<float>& m) { addFloats(&m.m[0][0], 12); };
        auto boolean = [this](bool b) {
            token();
            mText += b ? '1' : '0';
        };
        auto integer = [this](int32_t v) { addInts(&v, 1); };
        auto real = [this](float v) { addFloats(&v, 1); };

        switch (kind) {
            case AttrKind::Bool:
                if (isArray) count = addArray(item.getBoolArray(id), boolean);
                else boolean(item.getBool(id));
                break;
            case AttrKind::Int:
                if (isArray) count = addArray(item.getIntArray(id), integer);
                else integer(item.getInt(id));
                break;
            case AttrKind::Int2:
                if (isArray) count = addArray(item.getInt2Array(id), i2);
                else i2(item.getInt2(id));
                break;
            case AttrKind::Int3:
                if (isArray) count = addArray(item.getInt3Array(id), i3);
                else i3(item.getInt3(id));
                break;
            case AttrKind::Int4:
                if (isArray) count = addArray(item.getInt4Array(id), i4);
                else i4(item.getInt4(id));
                break;
            case AttrKind::Float:
                if (isArray) count = addArray(item.getFloatArray(id), real);
                else real(item.getFloat(id));
                break;
            case AttrKind::Float2:
                if (isArray) count = addArray(item.getFloat2Array(id), f2);
                else f2(item.getFloat2(id));
                break;
            case AttrKind::Float3:
                if (isArray) count = addArray(item.getFloat3Array(id), f3);
                else f3(item.getFloat3(id));
                break;
            case AttrKind::Float4:
                if (isArray) count = addArray(item.getFloat4Array(id), f4);
                else f4(item.getFloat4(id));
                break;
            case AttrKind::Matrix:
                if (isArray) count = addArray(item.getMatrixArray(id), matrix);
                else matrix(item.getMatrix(id));
                break;
            case AttrKind::Byte: {
                // Byte values only exist as arrays.
                ApiArray<uint8_t> bytes = item.getByteArray(id);
                for (uint8_t b : bytes) AppendHexByte(mText, b);
                el.append_attribute("count") = static_cast<unsigned long long>(bytes.size());
                break;
            }
            case AttrKind::String:
            case AttrKind::Filename:
                if (isArray) {
                    ApiArray<const char*> strings = item.getStringArray(id);
                    el.append_attribute("count") = static_cast<unsigned long long>(strings.size());
                    for (const char* s : strings) el.append_child("s").append_attribute("v") = Text(s);
                } else {
                    el.append_attribute("value") = Text(item.getString(id));
                }
                break;
        }
        if (isArray && ComponentCount(kind) > 0) el.append_attribute("count") = static_cast<unsigned long long>(count);
        if (mPacked) el.append_attribute("enc") = "base64";
        if (!mText.empty()) el.append_child(pugi::node_pcdata).set_value(mText.c_str());
    }

    // Connections may point forward, so their ids are filled in once every item has one. A
    // source outside the exported tree (the project settings) cannot be written and is left out.
    void resolveConnections() {
        for (PendingConnection& c : mConnections) {
            auto it = mIds.find(c.source);
            if (it == mIds.end())
                c.pin.parent().remove_child(c.pin);
            else
                c.pin.append_attribute("source") = it->second;
        }
    }

    pugi::xml_document mDoc;
    std::unordered_map<const ApiItem*, uint32_t> mIds;
    std::vector<PendingConnection> mConnections;
    uint32_t mNextId = 1;
    std::string mText;
    bool mPacked = false;
    std::vector<uint8_t> mPackBuffer;
};

// ---------------------------------------------------------------------------------------
// The checked model of a scene text

struct AttrValue {
    AttributeId id = 0;
    AttributeType kind = AttrKind::Unknown;
    bool isArray = false;
    size_t count = 0;                   // elements (1 for a scalar)
    std::vector<int32_t> ints;          // bool and int kinds, all components in a row
    std::vector<float> floats;          // float kinds and matrices
    std::vector<std::string> strings;   // string and file-name kinds
    std::vector<uint8_t> bytes;
};

struct ItemHeader {
    uint32_t id = 0;
    bool hasName = false;
    std::string name;
    bool hasPosition = false;
    float_2 position{0.f, 0.f};
    bool hasFlags = false;
    uint32_t flags = 0;
};

struct NodeSpec;

struct PinSpec {
    uint32_t index = 0;
    uint32_t source = 0;                // id of a graph-owned node, or 0
    std::unique_ptr<NodeSpec> owned;    // the node the pin owns, or null
};

struct NodeSpec {
    ItemHeader header;
    NodeType type = 0;
    const NodeTypeDesc* desc = nullptr;
    bool pinOwned = false;
    size_t order = 0;                   // position among all nodes of the document
    std::vector<AttrValue> attrs;
    std::vector<PinSpec> pins;          // ascending index
};

struct GraphSpec;

struct ItemSpec {
    std::unique_ptr<GraphSpec> graph;
    std::unique_ptr<NodeSpec> node;
};

struct GraphSpec {
    ItemHeader header;
    NodeGraphType kind = GraphKind::Unknown;
    std::vector<ItemSpec> items;
};

struct SceneSpec {
    int32_t version = 0;
    bool hasName = false;
    std::string name;
    std::vector<ItemSpec> items;
};

const AttrValue* FindAttr(const NodeSpec& node, AttributeId id) {
    for (const AttrValue& a : node.attrs)
        if (a.id == id) return &a;
    return nullptr;
}

size_t MaterialNameCount(const NodeSpec& node) {
    const AttrValue* names = FindAttr(node, Attrs::MaterialNames);
    return names && names->isArray && IsTextKind(names->kind) ? names->strings.size() : 0;
}

// ---------------------------------------------------------------------------------------
// Reading and checking

// True when every XML attribute of el is one of the allowed names, each at most once.
bool OnlyAttributes(pugi::xml_node el, std::initializer_list<const char*> allowed) {
    uint32_t seen = 0;
    for (pugi::xml_attribute a : el.attributes()) {
        uint32_t bit = 1;
        bool known = false;
        for (const char* name : allowed) {
            if (std::strcmp(a.name(), name) == 0) {
                if (seen & bit) return false;
                seen |= bit;
                known = true;
                break;
            }
            bit <<= 1;
        }
        if (!known) return false;
    }
    return true;
}

bool IsText(pugi::xml_node n) { return n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata; }

template <typename Int>
bool ReadInt(pugi::xml_node el, const char* name, Int& value) {
    pugi::xml_attribute a = el.attribute(name);
    return a && ParseInt(a.value(), value);
}

class SceneReader {
public:
    bool read(const pugi::xml_document& doc, SceneSpec& scene) {
        pugi::xml_node root;
        int elements = 0;
        for (pugi::xml_node child : doc.children()) {
            if (child.type() == pugi::node_element) {
                root = child;
                ++elements;
            } else if (IsText(child)) {
                return false;
            }
        }
        if (elements != 1 || std::strcmp(root.name(), "scene") != 0) return false;
        if (!OnlyAttributes(root, {"version", "name"}) || !ReadInt(root, "version", scene.version)) return false;
        if (pugi::xml_attribute name = root.attribute("name")) {
            scene.hasName = true;
            scene.name = name.value();
        }
        return readItems(root, scene.items, 0) && checkConnections() && checkPinIndices() && checkCycles();
    }

private:
    struct Entry {
        NodeSpec* node;   // null for a graph
    };

    bool readItems(pugi::xml_node parent, std::vector<ItemSpec>& items, size_t depth) {
        for (pugi::xml_node child : parent.children()) {
            if (child.type() != pugi::node_element) return false;
            ItemSpec item;
            if (std::strcmp(child.name(), "graph") == 0) {
                item.graph.reset(new GraphSpec);
                if (!readGraph(child, *item.graph, depth + 1)) return false;
            } else if (std::strcmp(child.name(), "node") == 0) {
                item.node.reset(new NodeSpec);
                if (!readNode(child, *item.node, depth + 1, false)) return false;
            } else {
                return false;
            }
            items.push_back(std::move(item));
        }
        return true;
    }

    bool readHeader(pugi::xml_node el, ItemHeader& h, NodeSpec* node) {
        if (!ReadInt(el, "id", h.id) || h.id == 0) return false;
        if (!mItems.emplace(h.id, Entry{node}).second) return false;
        if (pugi::xml_attribute name = el.attribute("name")) {
            h.hasName = true;
            h.name = name.value();
        }
        pugi::xml_attribute x = el.attribute("x"), y = el.attribute("y");
        if (x && !ParseFloat(x.value(), h.position.x)) return false;
        if (y && !ParseFloat(y.value(), h.position.y)) return false;
        h.hasPosition = x || y;
        if (el.attribute("flags")) {
            if (!ReadInt(el, "flags", h.flags)) return false;
            h.hasFlags = true;
        }
        return true;
    }

    bool readGraph(pugi::xml_node el, GraphSpec& graph, size_t depth) {
        if (depth > kMaxDepth) return false;
        if (!OnlyAttributes(el, {"id", "kind", "name", "x", "y", "flags"})) return false;
        if (!readHeader(el, graph.header, nullptr)) return false;
        if (!ReadInt(el, "kind", graph.kind) || graph.kind != GraphKind::Standard) return false;
        return readItems(el, graph.items, depth);
    }

    bool readNode(pugi::xml_node el, NodeSpec& node, size_t depth, bool pinOwned) {
        if (depth > kMaxDepth) return false;
        if (!OnlyAttributes(el, {"id", "type", "name", "x", "y", "flags"})) return false;
        if (!readHeader(el, node.header, &node)) return false;
        if (!ReadInt(el, "type", node.type) || !(node.desc = FindNodeType(node.type))) return false;
        node.pinOwned = pinOwned;
        node.order = mNodes.size();
        mNodes.push_back(&node);

        for (pugi::xml_node child : el.children()) {
            if (child.type() != pugi::node_element) return false;
            if (std::strcmp(child.name(), "attr") == 0) {
                AttrValue value;
                if (!readAttr(child, *node.desc, value) || FindAttr(node, value.id)) return false;
                node.attrs.push_back(std::move(value));
            } else if (std::strcmp(child.name(), "pin") == 0) {
                PinSpec pin;
                if (!readPin(child, pin, depth)) return false;
                node.pins.push_back(std::move(pin));
            } else {
                return false;
            }
        }
        std::sort(node.pins.begin(), node.pins.end(),
                  [](const PinSpec& a, const PinSpec& b) { return a.index < b.index; });
        for (size_t i = 1; i < node.pins.size(); ++i)
            if (node.pins[i].index == node.pins[i - 1].index) return false;

        if (node.desc->dynamicPins == DynamicPins::GroupInputs) {
            const AttrValue* count = FindAttr(node, Attrs::InputCount);
            if (count && (count->kind != AttrKind::Int || count->isArray || count->ints[0] < 0 ||
                          count->ints[0] > kMaxGroupInputs))
                return false;
        }
        return true;
    }

    bool readPin(pugi::xml_node el, PinSpec& pin, size_t depth) {
        if (!OnlyAttributes(el, {"index", "source"}) || !ReadInt(el, "index", pin.index)) return false;
        if (el.attribute("source") && (!ReadInt(el, "source", pin.source) || pin.source == 0)) return false;
        for (pugi::xml_node child : el.children()) {
            if (child.type() != pugi::node_element || std::strcmp(child.name(), "node") != 0 || pin.owned)
                return false;
            pin.owned.reset(new NodeSpec);
            if (!readNode(child, *pin.owned, depth + 1, true)) return false;
        }
        return (pin.source != 0) != (pin.owned != nullptr);
    }

    bool readAttr(pugi::xml_node el, const NodeTypeDesc& desc, AttrValue& value) {
        if (!OnlyAttributes(el, {"id", "kind", "count", "value", "enc"})) return false;
        if (!ReadInt(el, "id", value.id) || !ReadInt(el, "kind", value.kind)) return false;
        const ApiAttributeInfo* info = nullptr;
        for (const ApiAttributeInfo& a : desc.attrs)
            if (a.id == value.id) info = &a;
        if (!info || info->type != value.kind) return false;
        value.isArray = info->isArray;

        const bool hasCount = el.attribute("count");
        const bool listed = value.isArray || value.kind == AttrKind::Byte;
        if (hasCount != listed) return false;
        uint64_t count = 1;
        if (hasCount && !ReadInt(el, "count", count)) return false;

        pugi::xml_attribute encoding = el.attribute("enc");
        if (IsTextKind(value.kind)) return !encoding && readTexts(el, value, count);

        // Numbers and bytes: one run of text, no elements.
        const char* text = "";
        int runs = 0;
        for (pugi::xml_node child : el.children()) {
            if (!IsText(child) || ++runs > 1) return false;
            text = child.value();
        }
        if (el.attribute("value")) return false;
        if (encoding) {
            if (std::strcmp(encoding.value(), "base64") != 0 || !value.isArray || value.kind == AttrKind::Bool ||
                value.kind == AttrKind::Byte)
                return false;
            return readPacked(text, value, count);
        }
        if (value.kind == AttrKind::Byte) return readBytes(text, value, count);

        const size_t components = ComponentCount(value.kind);
        bool ok;
        if (IsIntKind(value.kind)) {
            const bool isBool = value.kind == AttrKind::Bool;
            ok = ForEachToken(text, [&](const char* b, const char* e) {
                int32_t v;
                if (!ParseInt(b, e, v) || (isBool && v != 0 && v != 1)) return false;
                value.ints.push_back(v);
                return true;
            });
            ok = ok && value.ints.size() % components == 0 && value.ints.size() / components == count;
        } else if (IsFloatKind(value.kind)) {
            ok = ForEachToken(text, [&](const char* b, const char* e) {
                float v;
                if (!ParseFloat(b, e, v)) return false;
                value.floats.push_back(v);
                return true;
            });
            ok = ok && value.floats.size() % components == 0 && value.floats.size() / components == count;
        } else {
            ok = false;
        }
        value.count = static_cast<size_t>(count);
        return ok;
    }

    static bool readTexts(pugi::xml_node el, AttrValue& value, uint64_t count) {
        if (!value.isArray) {
            pugi::xml_attribute v = el.attribute("value");
            if (!v || el.first_child()) return false;
            value.strings.emplace_back(v.value());
            value.count = 1;
            return true;
        }
        if (el.attribute("value")) return false;
        for (pugi::xml_node child : el.children()) {
            if (child.type() != pugi::node_element || std::strcmp(child.name(), "s") != 0 ||
                !OnlyAttributes(child, {"v"}) || !child.attribute("v") || child.first_child())
                return false;
            value.strings.emplace_back(child.attribute("v").value());
        }
        value.count = value.strings.size();
        return value.strings.size() == count;
    }

    // The 32-bit components of the numbers, little-endian. The count must match what the
    // text holds, so that no count can ask for more than the text gave.
    static bool readPacked(const char* text, AttrValue& value, uint64_t count) {
        std::vector<uint8_t> raw;
        if (!DecodeBase64(text, raw)) return false;
        const size_t components = ComponentCount(value.kind);
        const size_t words = raw.size() / 4;
        if (components == 0 || raw.size() % 4 != 0 || words % components != 0 || words / components != count)
            return false;
        if (IsIntKind(value.kind)) {
            value.ints.resize(words);
            for (size_t i = 0; i < words; ++i) value.ints[i] = static_cast<int32_t>(LoadWordLE(&raw[i * 4]));
        } else {
            value.floats.resize(words);
            for (size_t i = 0; i < words; ++i) {
                const uint32_t bits = LoadWordLE(&raw[i * 4]);
                std::memcpy(&value.floats[i], &bits, sizeof bits);
            }
        }
        value.count = static_cast<size_t>(count);
        return true;
    }

    static bool readBytes(const char* text, AttrValue& value, uint64_t count) {
        int high = -1;
        for (const char* c = text; *c; ++c) {
            if (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') continue;
            int digit = HexDigit(*c);
            if (digit < 0) return false;
            if (high < 0) {
                high = digit;
            } else {
                value.bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
                high = -1;
            }
        }
        value.count = value.bytes.size();
        return high < 0 && value.bytes.size() == count;
    }

    NodeSpec* graphOwnedNode(uint32_t id) const {
        auto it = mItems.find(id);
        if (it == mItems.end() || !it->second.node || it->second.node->pinOwned) return nullptr;
        return it->second.node;
    }

    // Every connection names a graph-owned node of the document: a pin-owned node belongs to
    // its pin alone.
    bool checkConnections() const {
        for (const NodeSpec* node : mNodes)
            for (const PinSpec& pin : node->pins)
                if (pin.source && !graphOwnedNode(pin.source)) return false;
        return true;
    }

    // The pins a node will have once its attributes are set and its inputs connected.
    size_t pinCount(const NodeSpec& node) const {
        const NodeTypeDesc& desc = *node.desc;
        size_t count = desc.pins.size();
        switch (desc.dynamicPins) {
            case DynamicPins::None: break;
            case DynamicPins::GroupInputs: {
                const AttrValue* inputs = FindAttr(node, Attrs::InputCount);
                count += inputs ? static_cast<size_t>(inputs->ints[0]) : 0;
                break;
            }
            case DynamicPins::OwnMaterialSlots: count += MaterialNameCount(node); break;
            case DynamicPins::GeometryPinSlots:
                for (uint32_t i = 0; i < desc.pins.size(); ++i) {
                    if (desc.pins[i].id != Pins::Geometry) continue;
                    for (const PinSpec& pin : node.pins) {
                        if (pin.index != i) continue;
                        const NodeSpec* geometry = pin.owned ? pin.owned.get() : graphOwnedNode(pin.source);
                        if (geometry) count += MaterialNameCount(*geometry);
                    }
                    break;
                }
                break;
        }
        return count;
    }

    bool checkPinIndices() const {
        for (const NodeSpec* node : mNodes)
            if (!node->pins.empty() && node->pins.back().index >= pinCount(*node)) return false;
        return true;
    }

    // The engine refuses connections that close a loop; finding them here keeps the graph
    // untouched.
    bool checkCycles() const {
        enum : uint8_t { Unvisited, Open, Done };
        std::vector<uint8_t> state(mNodes.size(), Unvisited);
        struct Frame {
            const NodeSpec* node;
            size_t nextPin;
        };
        std::vector<Frame> stack;
        for (const NodeSpec* start : mNodes) {
            if (state[start->order] != Unvisited) continue;
            state[start->order] = Open;
            stack.push_back({start, 0});
            while (!stack.empty()) {
                Frame& top = stack.back();
                if (top.nextPin == top.node->pins.size()) {
                    state[top.node->order] = Done;
                    stack.pop_back();
                    continue;
                }
                const PinSpec& pin = top.node->pins[top.nextPin++];
                const NodeSpec* input = pin.owned ? pin.owned.get() : graphOwnedNode(pin.source);
                if (state[input->order] == Open) return false;
                if (state[input->order] == Unvisited) {
                    state[input->order] = Open;
                    stack.push_back({input, 0});
                }
            }
        }
        return true;
    }

    std::unordered_map<uint32_t, Entry> mItems;
    std::vector<NodeSpec*> mNodes;
};

// ---------------------------------------------------------------------------------------
// Building

template <typename T>
const T* DataOf(const std::vector<T>& v) {
    static const T empty{};
    return v.empty() ? &empty : v.data();
}

// Regroups components read in a row into vectors of the engine's element type.
template <typename Vec, typename T>
std::vector<Vec> Group(const std::vector<T>& flat, size_t components) {
    std::vector<Vec> out(flat.size() / components);
    for (size_t i = 0; i < out.size(); ++i) std::memcpy(&out[i], &flat[i * components], sizeof(Vec));
    return out;
}

bool SetAttr(ApiItem& item, const AttrValue& v) {
    const AttributeId id = v.id;
    const size_t n = v.count;
    switch (v.kind) {
        case AttrKind::Bool: {
            if (!v.isArray) return item.set(id, v.ints[0] != 0, false);
            std::unique_ptr<bool[]> flags(new bool[n + 1]);
            for (size_t i = 0; i < n; ++i) flags[i] = v.ints[i] != 0;
            return item.set(id, static_cast<const bool*>(flags.get()), n, false);
        }
        case AttrKind::Int:
            return v.isArray ? item.set(id, DataOf(v.ints), n, false) : item.set(id, v.ints[0], false);
        case AttrKind::Int2:
            return v.isArray ? item.set(id, DataOf(Group<int32_2>(v.ints, 2)), n, false)
                             : item.set(id, int32_2{v.ints[0], v.ints[1]}, false);
        case AttrKind::Int3:
            return v.isArray ? item.set(id, DataOf(Group<int32_3>(v.ints, 3)), n, false)
                             : item.set(id, int32_3{v.ints[0], v.ints[1], v.ints[2]}, false);
        case AttrKind::Int4:
            return v.isArray ? item.set(id, DataOf(Group<int32_4>(v.ints, 4)), n, false)
                             : item.set(id, int32_4{v.ints[0], v.ints[1], v.ints[2], v.ints[3]}, false);
        case AttrKind::Float:
            return v.isArray ? item.set(id, DataOf(v.floats), n, false) : item.set(id, v.floats[0], false);
        case AttrKind::Float2:
            return v.isArray ? item.set(id, DataOf(Group<float_2>(v.floats, 2)), n, false)
                             : item.set(id, float_2{v.floats[0], v.floats[1]}, false);
        case AttrKind::Float3:
            return v.isArray ? item.set(id, DataOf(Group<float_3>(v.floats, 3)), n, false)
                             : item.set(id, float_3{v.floats[0], v.floats[1], v.floats[2]}, false);
        case AttrKind::Float4:
            return v.isArray ? item.set(id, DataOf(Group<float_4>(v.floats, 4)), n, false)
                             : item.set(id, float_4{v.floats[0], v.floats[1], v.floats[2], v.floats[3]}, false);
        case AttrKind::Matrix: {
            std::vector<Matrix<float>> matrices(v.floats.size() / 12);
            for (size_t i = 0; i < matrices.size(); ++i)
                std::memcpy(matrices[i].m, &v.floats[i * 12], sizeof matrices[i].m);
            return v.isArray ? item.set(id, DataOf(matrices), n, false) : item.set(id, matrices[0], false);
        }
        case AttrKind::String:
        case AttrKind::Filename: {
            if (!v.isArray) return item.set(id, v.strings[0].c_str(), false);
            std::vector<const char*> texts;
            texts.reserve(n);
            for (const std::string& s : v.strings) texts.push_back(s.c_str());
            return item.set(id, DataOf(texts), n, false);
        }
        case AttrKind::Byte: return item.set(id, DataOf(v.bytes), n, false);
        default: return false;
    }
}

template <typename T>
bool SameBits(const ApiArray<T>& actual, const void* expected, size_t count) {
    return actual.size() == count && (count == 0 || std::memcmp(actual.data(), expected, count * sizeof(T)) == 0);
}

template <typename T>
bool SameBits(const T& actual, const void* expected) {
    return std::memcmp(&actual, expected, sizeof(T)) == 0;
}

// Whether the item holds exactly the value of the text, bit for bit.
bool AttrMatches(const ApiItem& item, const AttrValue& v) {
    const AttributeId id = v.id;
    const size_t n = v.count;
    const void* ints = DataOf(v.ints);
    const void* floats = DataOf(v.floats);
    switch (v.kind) {
        case AttrKind::Bool: {
            if (!v.isArray) return item.getBool(id) == (v.ints[0] != 0);
            ApiArray<bool> flags = item.getBoolArray(id);
            if (flags.size() != n) return false;
            for (size_t i = 0; i < n; ++i)
                if (flags[i] != (v.ints[i] != 0)) return false;
            return true;
        }
        case AttrKind::Int: return v.isArray ? SameBits(item.getIntArray(id), ints, n) : SameBits(item.getInt(id), ints);
        case AttrKind::Int2:
            return v.isArray ? SameBits(item.getInt2Array(id), ints, n) : SameBits(item.getInt2(id), ints);
        case AttrKind::Int3:
            return v.isArray ? SameBits(item.getInt3Array(id), ints, n) : SameBits(item.getInt3(id), ints);
        case AttrKind::Int4:
            return v.isArray ? SameBits(item.getInt4Array(id), ints, n) : SameBits(item.getInt4(id), ints);
        case AttrKind::Float:
            return v.isArray ? SameBits(item.getFloatArray(id), floats, n) : SameBits(item.getFloat(id), floats);
        case AttrKind::Float2:
            return v.isArray ? SameBits(item.getFloat2Array(id), floats, n) : SameBits(item.getFloat2(id), floats);
        case AttrKind::Float3:
            return v.isArray ? SameBits(item.getFloat3Array(id), floats, n) : SameBits(item.getFloat3(id), floats);
        case AttrKind::Float4:
            return v.isArray ? SameBits(item.getFloat4Array(id), floats, n) : SameBits(item.getFloat4(id), floats);
        case AttrKind::Matrix:
            return v.isArray ? SameBits(item.getMatrixArray(id), floats, n) : SameBits(item.getMatrix(id), floats);
        case AttrKind::String:
        case AttrKind::Filename: {
            if (!v.isArray) return v.strings[0] == item.getString(id);
            ApiArray<const char*> texts = item.getStringArray(id);
            if (texts.size() != n) return false;
            for (size_t i = 0; i < n; ++i)
                if (!texts[i] || v.strings[i] != texts[i]) return false;
            return true;
        }
        case AttrKind::Byte: return SameBits(item.getByteArray(id), DataOf(v.bytes), n);
        default: return false;
    }
}

class SceneBuilder {
public:
    explicit SceneBuilder(ApiRootNodeGraph& root) : mRoot(root) {}

    bool build(const SceneSpec& scene) {
        mRoot.clear();
        if (!createItems(mRoot, scene.items)) return false;
        // Pins are filled only once every graph-owned node exists with its attributes, so
        // that connections may point forward and dynamic pins can appear.
        for (const auto& entry : mOrder)
            if (!fillPins(*entry.second, *entry.first)) return false;
        if (scene.hasName) mRoot.setName(scene.name.c_str());
        return true;
    }

private:
    static void applyHeader(ApiItem& item, const ItemHeader& h) {
        if (h.hasName) item.setName(h.name.c_str());
        if (h.hasPosition) item.setPosition(h.position);
        if (h.hasFlags) item.setUIOperationFlags(h.flags);
    }

    static bool applyNode(ApiNode& node, const NodeSpec& spec) {
        applyHeader(node, spec.header);
        for (const AttrValue& value : spec.attrs)
            if (!SetAttr(node, value)) return false;
        node.evaluate();
        // Evaluation derives some attributes from others (a transform's matrix from its
        // components, or the components from the matrix, whichever was written last).
        // Values that came out different are written again so that the text's values
        // stand; a couple of rounds settle every such pair.
        for (int round = 0; round < 3; ++round) {
            bool rewritten = false;
            for (const AttrValue& value : spec.attrs) {
                if (AttrMatches(node, value)) continue;
                if (!SetAttr(node, value)) return false;
                rewritten = true;
            }
            if (!rewritten) break;
            node.evaluate();
        }
        return true;
    }

    bool createItems(ApiNodeGraph& graph, const std::vector<ItemSpec>& items) {
        for (const ItemSpec& item : items) {
            if (item.graph) {
                ApiNodeGraph* nested = ApiNodeGraph::create(item.graph->kind, graph);
                if (!nested) return false;
                applyHeader(*nested, item.graph->header);
                if (!createItems(*nested, item.graph->items)) return false;
            } else {
                ApiNode* node = ApiNode::create(item.node->type, graph, false);
                if (!node || !applyNode(*node, *item.node)) return false;
                mNodes[item.node->header.id] = node;
                mOrder.emplace_back(item.node.get(), node);
            }
        }
        return true;
    }

    // Pins in index order: a group's inputs appear when its count is evaluated, an override's
    // material inputs when its geometry input is in place and the override evaluated.
    bool fillPins(ApiNode& node, const NodeSpec& spec) {
        for (const PinSpec& pin : spec.pins) {
            if (pin.index >= node.pinCount()) {
                node.evaluate();
                if (pin.index >= node.pinCount()) return false;
            }
            if (pin.owned) {
                ApiNode* child = node.createInternalIx(pin.index, pin.owned->type, false, false);
                if (!child || !applyNode(*child, *pin.owned) || !fillPins(*child, *pin.owned)) return false;
            } else {
                auto it = mNodes.find(pin.source);
                if (it == mNodes.end() || !node.connectToIx(pin.index, it->second, false, true)) return false;
            }
        }
        node.evaluate();
        return true;
    }

    ApiRootNodeGraph& mRoot;
    std::unordered_map<uint32_t, ApiNode*> mNodes;
    std::vector<std::pair<const NodeSpec*, ApiNode*>> mOrder;
};

// ---------------------------------------------------------------------------------------
// Packages: magic, format version, text size, CRC-32 of the text, then the zlib stream.

const char kPackMagic[8] = {'Z', 'P', 'A', 'K', '\r', '\n', '\x1a', '\n'};
constexpr uint32_t kPackVersion = 1;
constexpr size_t kPackHeaderSize = 24;
// zlib counts input and output in 32-bit units; feed it in slices well below that.
constexpr size_t kZlibSlice = size_t(1) << 30;

void PutLE(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

uint64_t GetLE(const char* data, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(data[i]);
    return value;
}

uint32_t Crc32(const char* data, size_t length) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (length > 0) {
        uInt slice = static_cast<uInt>(std::min(length, kZlibSlice));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), slice);
        data += slice;
        length -= slice;
    }
    return static_cast<uint32_t>(crc);
}

}  // namespace

std::string ExportSceneText(const ApiRootNodeGraph& graph) {
    try {
        return Exporter().run(graph);
    } catch (...) {
        return std::string();
    }
}

bool ImportSceneText(ApiRootNodeGraph& graph, const char* data, size_t length, int32_t* version) {
    if (!data || length == 0) return false;
    if (IsPackagedScene(data, length)) {
        std::string text;
        if (!UnpackScene(data, length, text) || IsPackagedScene(text.data(), text.size())) return false;
        return ImportSceneText(graph, text.data(), text.size(), version);
    }
    if (length > kMaxTextBytes) return false;

    SceneSpec scene;
    try {
        pugi::xml_document doc;
        if (!doc.load_buffer(data, length, pugi::parse_default, pugi::encoding_utf8)) return false;
        if (!SceneReader().read(doc, scene)) return false;
    } catch (...) {
        return false;
    }

    bool built;
    try {
        built = SceneBuilder(graph).build(scene);
    } catch (...) {
        built = false;
    }
    if (!built) {
        graph.clear();
        return false;
    }
    if (version) *version = scene.version;
    return true;
}

bool IsPackagedScene(const char* data, size_t length) {
    return data && length >= sizeof kPackMagic && std::memcmp(data, kPackMagic, sizeof kPackMagic) == 0;
}

std::string PackScene(const std::string& sceneText) {
    // A text that could never be unpacked again is not packed at all.
    if (sceneText.size() > kMaxTextBytes) return std::string();
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) return std::string();
    std::string out(kPackMagic, sizeof kPackMagic);
    PutLE(out, kPackVersion, 4);
    PutLE(out, sceneText.size(), 8);
    PutLE(out, Crc32(sceneText.data(), sceneText.size()), 4);
    const size_t bound = deflateBound(&stream, static_cast<uLong>(sceneText.size()));
    out.resize(kPackHeaderSize + bound);
    // Fed and drained in slices: texts may be larger than zlib's 32-bit counts.
    const char* in = sceneText.data();
    size_t inLeft = sceneText.size();
    size_t produced = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.avail_in == 0 && inLeft > 0) {
            const size_t slice = std::min(inLeft, kZlibSlice);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
            stream.avail_in = static_cast<uInt>(slice);
            in += slice;
            inLeft -= slice;
        }
        const size_t room = std::min(bound - produced, kZlibSlice);
        stream.next_out = reinterpret_cast<Bytef*>(&out[kPackHeaderSize + produced]);
        stream.avail_out = static_cast<uInt>(room);
        status = deflate(&stream, inLeft == 0 ? Z_FINISH : Z_NO_FLUSH);
        produced += room - stream.avail_out;
    }
    deflateEnd(&stream);
    if (status != Z_STREAM_END) return std::string();
    out.resize(kPackHeaderSize + produced);
    return out;
}

bool UnpackScene(const char* data, size_t length, std::string& sceneText) {
    if (!IsPackagedScene(data, length) || length < kPackHeaderSize) return false;
    if (GetLE(data + 8, 4) != kPackVersion) return false;
    const uint64_t size = GetLE(data + 12, 8);
    const uint32_t crc = static_cast<uint32_t>(GetLE(data + 20, 4));
    if (size > kMaxTextBytes || size > (length - kPackHeaderSize) * kMaxInflation) return false;

    // The output grows with what really comes out, never beyond the size the header
    // announces (plus one byte, to notice a stream that is longer than announced).
    const size_t limit = static_cast<size_t>(size) + 1;
    const char* in = data + kPackHeaderSize;
    size_t inLeft = length - kPackHeaderSize;
    std::string out;
    out.resize(std::min(limit, std::max<size_t>(size_t(64) << 10, inLeft * 4)));
    size_t produced = 0;

    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.avail_in == 0 && inLeft > 0) {
            size_t slice = std::min(inLeft, kZlibSlice);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
            stream.avail_in = static_cast<uInt>(slice);
            in += slice;
            inLeft -= slice;
        }
        if (produced == out.size()) {
            if (out.size() == limit) break;
            out.resize(std::min(limit, out.size() * 2));
        }
        const size_t room = std::min(out.size() - produced, kZlibSlice);
        stream.next_out = reinterpret_cast<Bytef*>(&out[produced]);
        stream.avail_out = static_cast<uInt>(room);
        status = inflate(&stream, Z_NO_FLUSH);
        produced += room - stream.avail_out;
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0 && inLeft == 0;
    inflateEnd(&stream);
    if (!complete || produced != size) return false;
    out.resize(produced);
    if (Crc32(out.data(), out.size()) != crc) return false;
    sceneText.swap(out);
    return true;
}

}  // namespace Engine
}  // namespace Zarnik
