// Items of the engine's scene: nodes, node graphs and the arrays that list them.
//
// The library owns every item. Callers hold raw pointers and free items only through
// ApiItem::destroy. A node lives either in a graph (graph-owned) or inside one pin of
// another node (pin-owned, also called internal); a pin-owned node has no graph owner.
#pragma once

#include <string>
#include <vector>

#include "apitypes.h"

namespace Zarnik {

class ApiItem;
class ApiNode;
class ApiNodeGraph;
class ApiRootNodeGraph;

// An owning list of items, filled by the library.
class ApiItemArray {
public:
    size_t size() const { return mItems.size(); }
    bool empty() const { return mItems.empty(); }
    ApiItem* get(size_t i) const { return mItems[i]; }
    ApiItem* operator[](size_t i) const { return mItems[i]; }
    ApiItem* const* items() const { return mItems.data(); }
    void clear() { mItems.clear(); }
    void push(ApiItem* item) { mItems.push_back(item); }

private:
    std::vector<ApiItem*> mItems;
};

class ApiNodeArray {
public:
    size_t size() const { return mNodes.size(); }
    bool empty() const { return mNodes.empty(); }
    ApiNode* get(size_t i) const { return mNodes[i]; }
    ApiNode* operator[](size_t i) const { return mNodes[i]; }
    ApiNode* const* nodes() const { return mNodes.data(); }
    void clear() { mNodes.clear(); }
    void push(ApiNode* node) { mNodes.push_back(node); }

private:
    std::vector<ApiNode*> mNodes;
};

// An owning list of texts, filled by the library.
class ApiStringArray {
public:
    size_t size() const { return mStrings.size(); }
    bool empty() const { return mStrings.empty(); }
    const char* get(size_t i) const { return mStrings[i].c_str(); }
    const char* operator[](size_t i) const { return mStrings[i].c_str(); }
    void clear() { mStrings.clear(); }
    void push(const char* s) { mStrings.emplace_back(s ? s : ""); }

private:
    std::vector<std::string> mStrings;
};

// Description of one attribute: its id, value kind, whether it holds an array, and the
// default value (integer components for bool and int kinds, float components for float
// kinds, text for string and file-name kinds).
struct ApiAttributeInfo {
    AttributeId id;
    AttributeType type;
    bool isArray;
    const char* name;         // short name, e.g. "filename"
    const char* description;
    int32_t defaultInts[4];
    float defaultFloats[4];
    const char* defaultString;
};

// Typed descriptions of a pin's value.
struct ApiBoolPinInfo {
    bool defaultValue;
};
struct ApiFloatPinInfo {
    uint32_t dimCount;          // 1 to 4 components
    float_4 defaultValue;
    float_4 minValue, maxValue;
    float_4 sliderMinValue, sliderMaxValue;
};
struct ApiIntPinInfo {
    uint32_t dimCount;
    int32_4 defaultValue;
    int32_4 minValue, maxValue;
    int32_4 sliderMinValue, sliderMaxValue;
};
struct ApiEnumChoice {
    int32_t value;
    const char* label;
};
struct ApiEnumPinInfo {
    int32_t defaultValue;
    ApiArray<ApiEnumChoice> values;
};
struct ApiTransformPinInfo {
    uint32_t dimCount;          // 2 for texture transforms, 3 for placements
};
struct ApiStringPinInfo {
    const char* defaultValue;
};

// Description of one input pin. Dynamic pins (the inputs of a geometry group, the
// material inputs of meshes and material overrides) have the id 0 and a generated name.
struct ApiNodePinInfo {
    PinId id;
    NodePinType type;
    const char* name;           // unique among the node's pins, e.g. "diffuse"
    const char* label;          // text for a user interface, e.g. "Diffuse"
    const char* description;
    NodeType defaultNodeType;   // node created inside the pin when pins are configured; 0 for none
    ApiBoolPinInfo boolInfo;
    ApiFloatPinInfo floatInfo;
    ApiIntPinInfo intInfo;
    ApiEnumPinInfo enumInfo;
    ApiTransformPinInfo transformInfo;
    ApiStringPinInfo stringInfo;
};

// Description of a node type.
struct ApiNodeInfo {
    NodeType type;
    const char* typeName;       // e.g. "ZK_MAT_DIFFUSE"
    const char* defaultName;    // name of a freshly created node
    const char* description;
    NodePinType outType;        // what the node can be plugged into
};

class ApiItem {
public:
    // Identity and kind.
    bool isNode() const;
    bool isGraph() const;
    bool isRootGraph() const;
    ApiNode* toNode();
    const ApiNode* toNode() const;
    ApiNodeGraph* toGraph();
    const ApiNodeGraph* toGraph() const;
    // A number that identifies the item for the life of the process; never reused.
    uint64_t uniqueId() const;

    // Name.
    const char* name() const;
    void setName(const char* name);

    // Ownership: the graph that owns the item (null for pin-owned nodes and root graphs),
    // whether a pin owns it, and which node and pin index own it.
    ApiNodeGraph* graphOwner() const;
    bool pinOwned() const;
    ApiNode* pinOwnerNode() const;
    uint32_t pinOwnerIx() const;
    // The root graph this item belongs to (itself for a root graph).
    ApiRootNodeGraph* rootGraph() const;

    // Frees the item and everything it owns; destinations of a node lose it.
    // The project's root graph and the project settings cannot be destroyed.
    void destroy();

    // Place in a graph editor, selection and user-interface flags.
    float_2 position() const;
    void setPosition(float_2 position);
    void select();
    bool isSelected() const;
    uint32_t uiOperationFlags() const;
    void setUIOperationFlags(uint32_t flags);

    // Attributes, by id and by index. Setting a value with evaluate true runs evaluate().
    uint32_t attrCount() const;
    bool hasAttr(AttributeId id) const;
    AttributeId attrId(const char* name) const;            // 0 when there is none
    AttributeId attrIdIx(uint32_t index) const;
    const char* attrName(AttributeId id) const;
    const char* attrNameIx(uint32_t index) const;
    AttributeType attrType(AttributeId id) const;
    AttributeType attrTypeIx(uint32_t index) const;
    bool attrIsArray(AttributeId id) const;
    const ApiAttributeInfo* attrInfo(AttributeId id) const;     // null when absent
    const ApiAttributeInfo* attrInfoIx(uint32_t index) const;

    bool set(AttributeId id, bool value, bool evaluate = true);
    bool set(AttributeId id, int32_t value, bool evaluate = true);
    bool set(AttributeId id, int32_2 value, bool evaluate = true);
    bool set(AttributeId id, int32_3 value, bool evaluate = true);
    bool set(AttributeId id, int32_4 value, bool evaluate = true);
    bool set(AttributeId id, float value, bool evaluate = true);
    bool set(AttributeId id, float_2 value, bool evaluate = true);
    bool set(AttributeId id, float_3 value, bool evaluate = true);
    bool set(AttributeId id, float_4 value, bool evaluate = true);
    bool set(AttributeId id, const char* value, bool evaluate = true);
    bool set(AttributeId id, const Matrix<float>& value, bool evaluate = true);
    bool set(AttributeId id, const bool* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const int32_t* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const int32_2* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const int32_3* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const int32_4* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const float* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const float_2* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const float_3* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const float_4* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const char* const* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const uint8_t* values, size_t count, bool evaluate = true);
    bool set(AttributeId id, const Matrix<float>* values, size_t count, bool evaluate = true);

    bool setIx(uint32_t index, bool value, bool evaluate = true);
    bool setIx(uint32_t index, int32_t value, bool evaluate = true);
    bool setIx(uint32_t index, int32_2 value, bool evaluate = true);
    bool setIx(uint32_t index, int32_3 value, bool evaluate = true);
    bool setIx(uint32_t index, float value, bool evaluate = true);
    bool setIx(uint32_t index, float_2 value, bool evaluate = true);
    bool setIx(uint32_t index, float_3 value, bool evaluate = true);
    bool setIx(uint32_t index, float_4 value, bool evaluate = true);
    bool setIx(uint32_t index, const char* value, bool evaluate = true);
    bool setIx(uint32_t index, const Matrix<float>& value, bool evaluate = true);

    // Getters answer the attribute's default (or an empty array) when the id is absent
    // or holds another kind. Scalar getters of an array attribute read its first element.
    bool getBool(AttributeId id) const;
    int32_t getInt(AttributeId id) const;
    int32_2 getInt2(AttributeId id) const;
    int32_3 getInt3(AttributeId id) const;
    int32_4 getInt4(AttributeId id) const;
    float getFloat(AttributeId id) const;
    float_2 getFloat2(AttributeId id) const;
    float_3 getFloat3(AttributeId id) const;
    float_4 getFloat4(AttributeId id) const;
    const char* getString(AttributeId id) const;
    Matrix<float> getMatrix(AttributeId id) const;

    ApiArray<bool> getBoolArray(AttributeId id) const;
    ApiArray<int32_t> getIntArray(AttributeId id) const;
    ApiArray<int32_2> getInt2Array(AttributeId id) const;
    ApiArray<int32_3> getInt3Array(AttributeId id) const;
    ApiArray<int32_4> getInt4Array(AttributeId id) const;
    ApiArray<float> getFloatArray(AttributeId id) const;
    ApiArray<float_2> getFloat2Array(AttributeId id) const;
    ApiArray<float_3> getFloat3Array(AttributeId id) const;
    ApiArray<float_4> getFloat4Array(AttributeId id) const;
    ApiArray<const char*> getStringArray(AttributeId id) const;
    ApiArray<uint8_t> getByteArray(AttributeId id) const;
    ApiArray<Matrix<float>> getMatrixArray(AttributeId id) const;

    bool getBoolIx(uint32_t index) const;
    int32_t getIntIx(uint32_t index) const;
    int32_2 getInt2Ix(uint32_t index) const;
    int32_3 getInt3Ix(uint32_t index) const;
    int32_4 getInt4Ix(uint32_t index) const;
    float getFloatIx(uint32_t index) const;
    float_2 getFloat2Ix(uint32_t index) const;
    float_3 getFloat3Ix(uint32_t index) const;
    float_4 getFloat4Ix(uint32_t index) const;
    const char* getStringIx(uint32_t index) const;
    Matrix<float> getMatrixIx(uint32_t index) const;
    ApiArray<bool> getBoolArrayIx(uint32_t index) const;
    ApiArray<int32_t> getIntArrayIx(uint32_t index) const;
    ApiArray<int32_2> getInt2ArrayIx(uint32_t index) const;
    ApiArray<int32_3> getInt3ArrayIx(uint32_t index) const;
    ApiArray<int32_4> getInt4ArrayIx(uint32_t index) const;
    ApiArray<float> getFloatArrayIx(uint32_t index) const;
    ApiArray<float_2> getFloat2ArrayIx(uint32_t index) const;
    ApiArray<float_3> getFloat3ArrayIx(uint32_t index) const;
    ApiArray<float_4> getFloat4ArrayIx(uint32_t index) const;
    ApiArray<const char*> getStringArrayIx(uint32_t index) const;
    ApiArray<uint8_t> getByteArrayIx(uint32_t index) const;
    ApiArray<Matrix<float>> getMatrixArrayIx(uint32_t index) const;

    // Copies the value of one attribute from another item that has it.
    bool copyAttrFrom(AttributeId id, const ApiItem* source, bool evaluate = true);

    // Brings derived state up to date after attribute changes (dynamic pins, composed
    // transforms) and tells observers and destinations.
    void evaluate();

protected:
    ApiItem() = default;
    ~ApiItem() = default;
    ApiItem(const ApiItem&) = delete;
    ApiItem& operator=(const ApiItem&) = delete;
};

class ApiNode : public ApiItem {
public:
    // Creates a node of the given type in a graph. With configurePins, every pin that has a
    // default node type gets a pin-owned node of that type holding the pin's default value.
    // Answers null for an unknown type or a graph that cannot own nodes.
    static ApiNode* create(NodeType type, ApiNodeGraph& owner, bool configurePins = true);

    NodeType type() const;
    const ApiNodeInfo& info() const;
    NodePinType outType() const;

    // Pins. Index-based calls take 0 .. pinCount() - 1; id-based calls find the first pin
    // with that id. Unknown pins answer 0, null, false or the empty description.
    uint32_t pinCount() const;
    bool hasPin(PinId id) const;
    bool findPin(PinId id, uint32_t& index) const;
    PinId pinIdIx(uint32_t index) const;
    PinId pinId(const char* pinName) const;       // 0 when no pin has that name
    bool findPinByName(const char* pinName, uint32_t& index) const;
    const char* pinName(PinId id) const;
    const char* pinNameIx(uint32_t index) const;
    const char* pinLabelIx(uint32_t index) const;
    NodePinType pinType(PinId id) const;
    NodePinType pinTypeIx(uint32_t index) const;
    const ApiNodePinInfo& pinInfo(PinId id) const;
    const ApiNodePinInfo& pinInfoIx(uint32_t index) const;

    // Creates a pin-owned node in a pin, replacing (and destroying, if pin-owned) what was there.
    ApiNode* createInternal(PinId id, NodeType type, bool configurePins = true, bool evaluate = true);
    ApiNode* createInternalIx(uint32_t index, NodeType type, bool configurePins = true, bool evaluate = true);

    // Connects a graph-owned node to a pin; null unlinks. A pin-owned node that was in the
    // pin is destroyed. Refused (false) for a missing pin, a node that another pin owns, a
    // node of another root graph, or a connection that would make a cycle.
    bool connectTo(PinId id, ApiNode* source, bool evaluate = true, bool doCycleCheck = true);
    bool connectToIx(uint32_t index, ApiNode* source, bool evaluate = true, bool doCycleCheck = true);

    // Puts a copy of source (with its input tree) into the pin as a pin-owned node.
    ApiNode* copyFrom(PinId id, const ApiNode* source, bool evaluate = true);
    ApiNode* copyFromIx(uint32_t index, const ApiNode* source, bool evaluate = true);

    // The node plugged into a pin (graph-owned or pin-owned); null when the pin is empty.
    ApiNode* connectedNode(PinId id) const;
    ApiNode* connectedNodeIx(uint32_t index) const;
    ApiNode* inputNode(PinId id) const;
    ApiNode* inputNodeIx(uint32_t index) const;
    bool isInputLinked(PinId id) const;       // a graph-owned node is plugged in

    // Every node that has this node in one of its pins, with the name of that pin, in the
    // order the connections were made. A node plugged into several pins of one destination
    // is listed once per pin.
    void destinationNodes(ApiNodeArray& destinations, ApiStringArray& pinNames) const;
    void destinationNodes(ApiNodeArray& destinations) const;

    // Sets the value a pin holds: written into the pin-owned value node (created first when
    // the pin is empty or holds a graph-owned node). False for a missing pin or a kind that
    // does not fit the pin.
    bool setPinValue(PinId id, bool value, bool evaluate = true);
    bool setPinValue(PinId id, int32_t value, bool evaluate = true);
    bool setPinValue(PinId id, int32_2 value, bool evaluate = true);
    bool setPinValue(PinId id, int32_3 value, bool evaluate = true);
    bool setPinValue(PinId id, float value, bool evaluate = true);
    bool setPinValue(PinId id, float_2 value, bool evaluate = true);
    bool setPinValue(PinId id, float_3 value, bool evaluate = true);
    bool setPinValue(PinId id, float_4 value, bool evaluate = true);
    bool setPinValue(PinId id, const Matrix<float>& value, bool evaluate = true);
    bool setPinValue(PinId id, const char* value, bool evaluate = true);
    bool setPinValueIx(uint32_t index, bool value, bool evaluate = true);
    bool setPinValueIx(uint32_t index, int32_t value, bool evaluate = true);
    bool setPinValueIx(uint32_t index, float value, bool evaluate = true);
    bool setPinValueIx(uint32_t index, float_3 value, bool evaluate = true);

    // Reads the value a pin evaluates to: from the node in it (a value node's value, a sun
    // direction node's direction), else the pin's default.
    bool getPinBool(PinId id) const;
    int32_t getPinInt(PinId id) const;
    int32_2 getPinInt2(PinId id) const;
    int32_3 getPinInt3(PinId id) const;
    float getPinFloat(PinId id) const;
    float_2 getPinFloat2(PinId id) const;
    float_3 getPinFloat3(PinId id) const;
    Matrix<float> getPinMatrix(PinId id) const;
    const char* getPinString(PinId id) const;
    bool getPinBoolIx(uint32_t index) const;
    int32_3 getPinInt3Ix(uint32_t index) const;
    float_3 getPinFloat3Ix(uint32_t index) const;
    Matrix<float> getPinMatrixIx(uint32_t index) const;
    const char* getPinStringIx(uint32_t index) const;

    // Gives every empty pin that has a default node type a pin-owned node of that type.
    void configureEmptyPins();

protected:
    ApiNode() = default;
    ~ApiNode() = default;
};

class ApiNodeGraph : public ApiItem {
public:
    // Creates a nested graph owned by another graph.
    static ApiNodeGraph* create(NodeGraphType type, ApiNodeGraph& owner);

    NodeGraphType type() const;

    // The graph's own items (nodes and nested graphs, not pin-owned nodes), in creation order.
    void getOwnedItems(ApiItemArray& items) const;
    // Nodes of one type directly in the graph, or also in nested graphs when recurse is true.
    void findNodes(NodeType type, ApiNodeArray& nodes, bool recurse = false) const;

    // Copies an item with everything it depends on into this graph: a node with its whole
    // input tree (graph-owned inputs become items of this graph, pin-owned inputs are copied
    // into the copy's pins), or a graph with all its items. Answers the copy of the item.
    ApiItem* copyItemTree(const ApiItem* root);
    // Copies several items, keeping the connections among them.
    void copyFrom(const ApiItem* const* items, size_t count, ApiItemArray* copies = nullptr);

    // Moves every item of this graph into its owner and destroys this graph.
    void ungroup(ApiItemArray* ungroupedItems = nullptr, bool unpackAll = false);
    // Lays the graph's nodes out as trees, inputs to the left of their destinations.
    void unfold(bool recursive = false);
    // Moves all items so that the centre of their bounding box lies at (x, y).
    void recenter(float x, float y);
    // Destroys every item of the graph.
    void clear();

protected:
    ApiNodeGraph() = default;
    ~ApiNodeGraph() = default;
};

// Called by import for a file that a scene refers to and that cannot be found; answers
// true when it filled newPath (of newPathSize bytes) with a replacement.
typedef bool (*AssetMissingCallback)(void* userData, const char* missingPath, char* newPath, size_t newPathSize);

class ApiRootNodeGraph : public ApiNodeGraph {
public:
    // A free root graph, owned by the caller, who frees it with destroy().
    static ApiRootNodeGraph* create(int32_t version);

    int32_t version() const;

    // Replaces the graph's content by the scene of a file (scene text or packaged scene).
    bool import(const char* path, const char* assetPath = nullptr, AssetMissingCallback callback = nullptr,
                void* userData = nullptr);
    // Replaces the graph's content by the scene held in memory (scene text, or a packaged
    // scene's bytes). version receives the version the text was written with.
    bool import(const char* data, size_t length, const char* referencePath, int32_t* version,
                AssetMissingCallback callback = nullptr, void* userData = nullptr);

    // The graph as scene text. The text is owned by the graph and lives until the next
    // export or until the graph is destroyed.
    const char* exportToString(const char* assetPath = nullptr, bool includeAll = true);
    bool exportToFile(const char* path, bool packaged = false);

protected:
    ApiRootNodeGraph() = default;
    ~ApiRootNodeGraph() = default;
};

}  // namespace Zarnik
