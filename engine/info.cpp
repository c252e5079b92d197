// ApiInfo: the catalogue as callers see it.
#include "core.h"

namespace Zarnik {

using namespace Engine;

const ApiNodeInfo* ApiInfo::nodeInfo(NodeType type) {
    const NodeTypeDesc* desc = FindNodeType(type);
    return desc ? &desc->info : nullptr;
}

const char* ApiInfo::getNodeTypeName(NodeType type) { return NodeTypeName(type); }

const char* ApiInfo::getGraphTypeName(NodeGraphType type) { return GraphTypeName(type); }

const char* ApiInfo::getPinIdName(PinId id) { return PinIdName(id); }

const char* ApiInfo::getAttributeIdName(AttributeId id) { return AttributeIdName(id); }

const char* ApiInfo::getPinTypeName(NodePinType type) { return PinTypeName(type); }

const char* ApiInfo::getAttributeTypeName(AttributeType type) { return AttributeTypeName(type); }

ApiArray<NodeType> ApiInfo::nodeTypesForPinType(NodePinType type) {
    const std::vector<NodeType>& types = NodeTypesForPinType(type);
    return ApiArray<NodeType>(types.data(), types.size());
}

ApiArray<NodeType> ApiInfo::nodeTypes() {
    const std::vector<NodeType>& types = AllNodeTypes();
    return ApiArray<NodeType>(types.data(), types.size());
}

}  // namespace Zarnik
