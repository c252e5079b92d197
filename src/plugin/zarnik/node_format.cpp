#include "zarnik/node_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include "utils/strings.h"
#include "zarnik/node_utils.h"

namespace Zarnik {

namespace {

constexpr size_t kShownElements = 20;
// Indents deeper than this are written as this deep: a dump is read by people, and a
// caller's stray level must not ask for gigabytes of blanks.
constexpr unsigned kMaxIndent = 1024;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

std::string Blanks(unsigned indent) { return std::string(size_t(std::min(indent, kMaxIndent)) * 4, ' '); }

template <typename T>
void WriteVector(std::ostream& out, const Vec2<T>& v) {
  out << '[' << v.x << ',' << v.y << ']';
}
template <typename T>
void WriteVector(std::ostream& out, const Vec3<T>& v) {
  out << '[' << v.x << ',' << v.y << ',' << v.z << ']';
}
template <typename T>
void WriteVector(std::ostream& out, const Vec4<T>& v) {
  out << '[' << v.x << ',' << v.y << ',' << v.z << ',' << v.w << ']';
}

void WriteMatrix(std::ostream& out, const Matrix<float>& matrix) {
  out << '[';
  for (int row = 0; row < 3; ++row) {
    if (row > 0) out << ',';
    WriteVector(out, float_4{matrix.m[row][0], matrix.m[row][1], matrix.m[row][2], matrix.m[row][3]});
  }
  out << ",[0,0,0,1]]";
}

void WriteElement(std::ostream& out, bool value) { out << (value ? 1 : 0); }
void WriteElement(std::ostream& out, int32_t value) { out << value; }
void WriteElement(std::ostream& out, float value) { out << value; }
void WriteElement(std::ostream& out, const char* value) { out << OrEmpty(value); }
void WriteElement(std::ostream& out, uint8_t value) { out << unsigned(value); }
void WriteElement(std::ostream& out, const Matrix<float>& value) { WriteMatrix(out, value); }
template <typename T>
void WriteElement(std::ostream& out, const Vec2<T>& value) {
  WriteVector(out, value);
}
template <typename T>
void WriteElement(std::ostream& out, const Vec3<T>& value) {
  WriteVector(out, value);
}
template <typename T>
void WriteElement(std::ostream& out, const Vec4<T>& value) {
  WriteVector(out, value);
}

template <typename T>
void WriteElements(std::ostream& out, const ApiArray<T>& values) {
  out << '[';
  const size_t shown = std::min(values.size(), kShownElements);
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out << ',';
    WriteElement(out, values[i]);
  }
  if (values.size() > kShownElements) out << ",...";
  out << ']';
}

template <typename T>
std::ostream& WriteArray(std::ostream& out, const ApiArray<T>& values) {
  out << '[' << values.size() << "] ";
  WriteElements(out, values);
  return out;
}

const char* EventTypeName(ApiChangeManager::ChangeEvent::Type type) {
  using Event = ApiChangeManager::ChangeEvent;
  switch (type) {
    case Event::ITEM_ADDED: return "ITEM_ADDED";
    case Event::ITEM_DELETE: return "ITEM_DELETE";
    case Event::CONNECTION_CHANGED: return "CONNECTION_CHANGED";
    case Event::DESTINATION_ADDED: return "DESTINATION_ADDED";
    case Event::PINS_CHANGED: return "PINS_CHANGED";
    case Event::ITEM_VALUE_CHANGED: return "ITEM_VALUE_CHANGED";
    case Event::ITEM_NAME_CHANGED: return "ITEM_NAME_CHANGED";
    case Event::ITEM_MOVED: return "ITEM_MOVED";
    case Event::LINKER_ORDER_CHANGED: return "LINKER_ORDER_CHANGED";
    case Event::ITEM_UI_OPERATION_FLAG_CHANGED: return "ITEM_UI_OPERATION_FLAG_CHANGED";
  }
  return nullptr;
}

// "<index> <pin id name> <pin type name>" of a node's pin.
void WritePin(std::ostream& out, const ApiNode* node, int32_t pin_index) {
  const uint32_t index = static_cast<uint32_t>(pin_index);
  out << pin_index << ' ' << OrEmpty(ApiInfo::getPinIdName(node->pinIdIx(index))) << ' '
      << OrEmpty(ApiInfo::getPinTypeName(node->pinTypeIx(index)));
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ApiItem* item) {
  if (item == nullptr) return out << static_cast<const void*>(item) << " [null ApiItem*]";
  if (item->isNode()) return out << item->toNode();
  if (item->isGraph()) return out << item->toGraph();
  return out << static_cast<const void*>(item) << " [unknown ApiItem*]";
}

std::ostream& operator<<(std::ostream& out, const ApiNode* node) {
  out << static_cast<const void*>(node) << ' ';
  if (node == nullptr) return out << "[null ApiNode*]";
  return out << OrEmpty(ApiInfo::getNodeTypeName(node->type())) << ' ' << Strings::Uquote(node->name()) << " in "
             << NodeUtils::VisibleInputs(node) << '/' << node->pinCount() << " out " << NodeUtils::CountOutputs(node);
}

std::ostream& operator<<(std::ostream& out, const ApiNodeGraph* graph) {
  out << static_cast<const void*>(graph) << ' ';
  if (graph == nullptr) return out << "[null ApiNodeGraph*]";
  return out << OrEmpty(ApiInfo::getGraphTypeName(graph->type())) << ' ' << Strings::Uquote(graph->name());
}

std::ostream& operator<<(std::ostream& out, ApiChangeManager::ChangeEvent::Type type) {
  if (const char* name = EventTypeName(type)) return out << name;
  return out << static_cast<uint32_t>(type);
}

std::ostream& operator<<(std::ostream& out, const ApiChangeManager::ChangeEvent& event) {
  using Event = ApiChangeManager::ChangeEvent;
  out << event.type << ": " << static_cast<const ApiItem*>(event.changedItem);
  const ApiItem* owner = event.itemOwner;
  switch (event.type) {
    case Event::ITEM_ADDED:
    case Event::ITEM_DELETE:
      out << " (owner " << owner;
      if (owner != nullptr && owner->isNode()) {
        out << ", pin ";
        WritePin(out, owner->toNode(), event.pinIx);
      }
      out << ')';
      break;
    case Event::CONNECTION_CHANGED:
      if (event.changedItem != nullptr && event.changedItem->isNode()) {
        out << "(pin ";
        WritePin(out, event.changedItem->toNode(), event.pinIx);
      }
      break;
    case Event::LINKER_ORDER_CHANGED:
      out << " (owner " << owner << ')';
      break;
    default:
      break;
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const int32_4& value) {
  WriteVector(out, value);
  return out;
}
std::ostream& operator<<(std::ostream& out, const float_4& value) {
  WriteVector(out, value);
  return out;
}

std::ostream& operator<<(std::ostream& out, const ApiArray<bool>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_t>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_2>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_3>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<int32_4>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<float>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<float_2>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<float_3>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<float_4>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<const char*>& values) { return WriteArray(out, values); }
std::ostream& operator<<(std::ostream& out, const ApiArray<Matrix<float>>& values) {
  return WriteArray(out, values);
}
std::ostream& operator<<(std::ostream& out, const ApiArray<uint8_t>& values) {
  out << values.size() << ' ';
  WriteElements(out, values);
  return out;
}

namespace NodeUtils {

namespace {

int KindRank(const ApiItem* item) {
  if (item == nullptr) return 3;
  if (item->isGraph()) return 0;
  if (item->isNode()) return 1;
  return 2;
}

uint32_t TypeNumber(const ApiItem* item) {
  if (item->isGraph()) return item->toGraph()->type();
  if (item->isNode()) return item->toNode()->type();
  return 0;
}

// The value of attribute `index` as the dump shows it.
void WriteAttributeValue(std::ostream& out, const ApiItem* item, uint32_t index) {
  const ApiAttributeInfo* info = item->attrInfoIx(index);
  if (info == nullptr) return;
  const bool array = info->isArray;
  switch (info->type) {
    case AttrKind::Bool:
      if (array) out << item->getBoolArrayIx(index);
      else WriteElement(out, item->getBoolIx(index));
      break;
    case AttrKind::Int:
      if (array) out << item->getIntArrayIx(index);
      else out << item->getIntIx(index);
      break;
    case AttrKind::Int2:
      if (array) out << item->getInt2ArrayIx(index);
      else WriteVector(out, item->getInt2Ix(index));
      break;
    case AttrKind::Int3:
      if (array) out << item->getInt3ArrayIx(index);
      else WriteVector(out, item->getInt3Ix(index));
      break;
    case AttrKind::Int4:
      if (array) out << item->getInt4ArrayIx(index);
      else out << item->getInt4Ix(index);
      break;
    case AttrKind::Float:
      if (array) out << item->getFloatArrayIx(index);
      else out << item->getFloatIx(index);
      break;
    case AttrKind::Float2:
      if (array) out << item->getFloat2ArrayIx(index);
      else WriteVector(out, item->getFloat2Ix(index));
      break;
    case AttrKind::Float3:
      if (array) out << item->getFloat3ArrayIx(index);
      else WriteVector(out, item->getFloat3Ix(index));
      break;
    case AttrKind::Float4:
      if (array) out << item->getFloat4ArrayIx(index);
      else out << item->getFloat4Ix(index);
      break;
    case AttrKind::String:
    case AttrKind::Filename:
      if (array) out << item->getStringArrayIx(index);
      else out << OrEmpty(item->getStringIx(index));
      break;
    case AttrKind::Byte:
      out << item->getByteArrayIx(index);
      break;
    case AttrKind::Matrix:
      if (array) out << item->getMatrixArrayIx(index);
      else WriteMatrix(out, item->getMatrixIx(index));
      break;
    default:
      break;
  }
}

// One, two or three components, as many as it takes to show the last one that is set.
template <typename T>
std::string ShortVector(const Vec3<T>& v) {
  std::ostringstream text;
  auto is_set = [](T component) { return component != 0 || std::isnan(static_cast<double>(component)); };
  if (is_set(v.z)) WriteVector(text, v);
  else if (is_set(v.y)) WriteVector(text, Vec2<T>{v.x, v.y});
  else text << v.x;
  return text.str();
}

// The value a pin holds, shown beside the node plugged into it.
std::string PinValueText(const ApiNode* node, uint32_t index) {
  switch (node->pinTypeIx(index)) {
    case PinKind::Bool: return node->getPinBoolIx(index) ? "true" : "false";
    case PinKind::Float: return ShortVector(node->getPinFloat3Ix(index));
    case PinKind::Int:
    case PinKind::Enum: return ShortVector(node->getPinInt3Ix(index));
    case PinKind::Transform: {
      std::ostringstream text;
      WriteMatrix(text, node->getPinMatrixIx(index));
      return text.str();
    }
    case PinKind::String: return OrEmpty(node->getPinStringIx(index));
    default: return std::string();
  }
}

// One dump in progress: where it started, and how much it may still write.
class Dump {
 public:
  explicit Dump(unsigned base_indent) : base_indent_(base_indent) {}

  std::string Text() const { return out_.str(); }

  void Item(const ApiItem* item, unsigned indent, const std::string& label, const std::string& value) {
    if (finished_) return;
    if (items_left_ == 0 || indent - base_indent_ > kMaxQueryDepth) {
      out_ << Blanks(indent) << "...\n";
      if (items_left_ == 0) finished_ = true;
      return;
    }
    --items_left_;
    out_ << Blanks(indent);
    if (!label.empty()) out_ << label << " <- ";
    if (item == nullptr) {
      out_ << "nullptr\n";
      return;
    }
    out_ << OrEmpty(item->name()) << ": ";
    if (item->isGraph()) Graph(item->toGraph(), indent);
    else if (item->isNode()) Node(item->toNode(), indent, value);
    else out_ << "unknown type\n";
  }

  void Graph(const ApiNodeGraph* graph, unsigned indent) {
    if (graph == nullptr) {
      out_ << "nullptr\n";
      return;
    }
    out_ << OrEmpty(ApiInfo::getGraphTypeName(graph->type())) << '\n';
    ApiItemArray owned;
    graph->getOwnedItems(owned);
    std::vector<const ApiItem*> items(owned.items(), owned.items() + owned.size());
    std::sort(items.begin(), items.end(), CompareItems);
    for (const ApiItem* item : items) {
      if (finished_) return;
      // Nodes that feed others appear below the nodes they feed.
      if (item != nullptr && item->isNode() && CountOutputs(item->toNode()) > 0) continue;
      Item(item, indent + 1, std::string(), std::string());
    }
  }

  void Node(const ApiNode* node, unsigned indent, const std::string& value) {
    if (node == nullptr) {
      out_ << "nullptr\n";
      return;
    }
    out_ << OrEmpty(ApiInfo::getNodeTypeName(node->type()));
    if (!value.empty()) out_ << " = " << value;
    out_ << '\n';
    for (uint32_t index = 0; index < node->attrCount(); ++index) {
      if (AttrIsDefaultByIndex(node, index)) continue;
      out_ << Blanks(indent + 1) << OrEmpty(ApiInfo::getAttributeIdName(node->attrIdIx(index))) << ": "
           << OrEmpty(ApiInfo::getAttributeTypeName(node->attrTypeIx(index))) << " = ";
      WriteAttributeValue(out_, node, index);
      out_ << '\n';
    }
    for (uint32_t index = 0; index < node->pinCount(); ++index) {
      if (finished_) return;
      const ApiNode* input = node->connectedNodeIx(index);
      if (input == nullptr) continue;
      const std::string label = std::string(OrEmpty(ApiInfo::getPinIdName(node->pinIdIx(index)))) + ": " +
                                OrEmpty(ApiInfo::getPinTypeName(node->pinTypeIx(index)));
      Item(input, indent + 1, label, PinValueText(node, index));
    }
  }

  void Outputs(const ApiNode* node, uint64_t max_depth, unsigned depth, const std::string& label) {
    if (finished_) return;
    if (items_left_ == 0) {
      out_ << Blanks(depth) << "...\n";
      finished_ = true;
      return;
    }
    --items_left_;
    out_ << Blanks(depth) << label << node << '\n';
    if (node == nullptr || depth >= max_depth) return;
    ApiNodeArray destinations;
    ApiStringArray pin_names;
    node->destinationNodes(destinations, pin_names);
    for (size_t i = 0; i < destinations.size(); ++i) {
      const char* pin_name = i < pin_names.size() ? pin_names[i] : "";
      Outputs(destinations[i], max_depth, depth + 1, std::string("=> ") + OrEmpty(pin_name) + ":");
    }
  }

 private:
  std::ostringstream out_;
  const unsigned base_indent_;
  size_t items_left_ = kMaxDumpItems;
  bool finished_ = false;
};

}  // namespace

bool CompareItems(const ApiItem* a, const ApiItem* b) {
  const int rank_a = KindRank(a);
  const int rank_b = KindRank(b);
  if (rank_a != rank_b) return rank_a < rank_b;
  if (a == nullptr) return false;  // both null
  const uint32_t type_a = TypeNumber(a);
  const uint32_t type_b = TypeNumber(b);
  if (type_a != type_b) return type_a < type_b;
  const int names = std::strcmp(OrEmpty(a->name()), OrEmpty(b->name()));
  if (names != 0) return names < 0;
  return std::less<const ApiItem*>()(a, b);
}

size_t CountOutputs(const ApiNode* node) {
  if (node == nullptr) return 0;
  ApiNodeArray destinations;
  node->destinationNodes(destinations);
  return destinations.size();
}

std::string FormatItem(const ApiItem* item, unsigned indent, const std::string& label, const std::string& value) {
  Dump dump(indent);
  dump.Item(item, indent, label, value);
  return dump.Text();
}

std::string FormatGraph(const ApiNodeGraph* graph, unsigned indent) {
  Dump dump(indent);
  dump.Graph(graph, indent);
  return dump.Text();
}

std::string FormatNode(const ApiNode* node, unsigned indent, const std::string& value) {
  Dump dump(indent);
  dump.Node(node, indent, value);
  return dump.Text();
}

std::string FormatOutputNodes(const ApiNode* node, unsigned max_depth, unsigned depth, const std::string& label) {
  Dump dump(depth);
  const uint64_t limit = std::min<uint64_t>(max_depth, uint64_t(depth) + kMaxQueryDepth);
  dump.Outputs(node, limit, depth, label);
  return dump.Text();
}

}  // namespace NodeUtils
}  // namespace Zarnik
