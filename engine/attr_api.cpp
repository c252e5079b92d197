// ApiItem attributes: description lookups, typed setters and getters.
#include <cstring>

#include "core.h"

namespace Zarnik {

using namespace Engine;

namespace {

template <typename T>
bool StoreAt(Item* item, uint32_t index, const T* values, size_t count, bool evaluate) {
    if (index >= item->attrs.size()) return false;
    bool changed;
    if (!item->attrs[index].assign(values, count, changed)) return false;
    AttributeChanged(item, index, changed, evaluate);
    return true;
}

bool StoreTextAt(Item* item, uint32_t index, const char* const* values, size_t count, bool evaluate) {
    if (index >= item->attrs.size()) return false;
    bool changed;
    if (!item->attrs[index].assignText(values, count, changed)) return false;
    AttributeChanged(item, index, changed, evaluate);
    return true;
}

int IndexOf(const ApiItem* self, AttributeId id, Item*& item) {
    item = Resolve(self);
    return item ? AttrIndex(item, id) : -1;
}

template <typename T>
bool SetById(const ApiItem* self, AttributeId id, const T* values, size_t count, bool evaluate) {
    return Guarded(false, [&]() {
        Item* item;
        const int ix = IndexOf(self, id, item);
        return ix >= 0 && StoreAt(item, uint32_t(ix), values, count, evaluate);
    });
}

bool SetTextById(const ApiItem* self, AttributeId id, const char* const* values, size_t count, bool evaluate) {
    return Guarded(false, [&]() {
        Item* item;
        const int ix = IndexOf(self, id, item);
        return ix >= 0 && StoreTextAt(item, uint32_t(ix), values, count, evaluate);
    });
}

template <typename T>
bool SetByIndex(const ApiItem* self, uint32_t index, const T* values, size_t count, bool evaluate) {
    return Guarded(false, [&]() {
        Item* item = Resolve(self);
        return item && StoreAt(item, index, values, count, evaluate);
    });
}

// Reads element 0 as T, converting widths inside the value's family; a value of another
// family answers the described default.
template <typename T>
T ReadAt(const Item* item, int index) {
    if (index < 0) return T{};
    const AttrValue& value = item->attrs[size_t(index)];
    Components c;
    if (FamilyOf(value.kind()) == ValueTraits<T>::family && value.components(0, c)) return Join<T>(c);
    const ApiAttributeInfo* info = AttrInfoAt(item, uint32_t(index));
    if (info && FamilyOf(info->type) == ValueTraits<T>::family) return Join<T>(DefaultComponents(*info));
    return T{};
}

const char* ReadTextAt(const Item* item, int index) {
    if (index < 0) return "";
    const char* text = item->attrs[size_t(index)].text(0);
    if (text) return text;
    const ApiAttributeInfo* info = AttrInfoAt(item, uint32_t(index));
    return info && info->defaultString && FamilyOf(info->type) == ValueFamily::Text ? info->defaultString : "";
}

Matrix<float> ReadMatrixAt(const Item* item, int index) {
    Matrix<float> m = Matrix<float>::identity();
    if (index >= 0) item->attrs[size_t(index)].matrix(0, m);
    return m;
}

template <typename T>
ApiArray<T> ViewAt(const Item* item, int index) {
    if (index < 0) return ApiArray<T>();
    const AttrValue& value = item->attrs[size_t(index)];
    if (value.kind() != ValueTraits<T>::kind || value.count() == 0) return ApiArray<T>();
    return ApiArray<T>(static_cast<const T*>(value.rawData()), value.count());
}

ApiArray<const char*> TextViewAt(const Item* item, int index) {
    if (index < 0) return ApiArray<const char*>();
    const AttrValue& value = item->attrs[size_t(index)];
    if (FamilyOf(value.kind()) != ValueFamily::Text || value.count() == 0) return ApiArray<const char*>();
    return ApiArray<const char*>(value.textViews(), value.count());
}

template <typename T>
T GetById(const ApiItem* self, AttributeId id) {
    return Guarded(T{}, [&]() {
        Item* item;
        const int ix = IndexOf(self, id, item);
        return item ? ReadAt<T>(item, ix) : T{};
    });
}

template <typename T>
T GetByIndex(const ApiItem* self, uint32_t index) {
    return Guarded(T{}, [&]() {
        Item* item = Resolve(self);
        return item && index < item->attrs.size() ? ReadAt<T>(item, int(index)) : T{};
    });
}

template <typename T>
ApiArray<T> ArrayById(const ApiItem* self, AttributeId id) {
    return Guarded(ApiArray<T>(), [&]() {
        Item* item;
        const int ix = IndexOf(self, id, item);
        return item ? ViewAt<T>(item, ix) : ApiArray<T>();
    });
}

template <typename T>
ApiArray<T> ArrayByIndex(const ApiItem* self, uint32_t index) {
    return Guarded(ApiArray<T>(), [&]() {
        Item* item = Resolve(self);
        return item && index < item->attrs.size() ? ViewAt<T>(item, int(index)) : ApiArray<T>();
    });
}

}  // namespace

// ---- descriptions ---------------------------------------------------------------------

uint32_t ApiItem::attrCount() const {
    return Guarded(uint32_t(0), [&]() {
        Item* item = Resolve(this);
        return item ? uint32_t(item->attrs.size()) : uint32_t(0);
    });
}

bool ApiItem::hasAttr(AttributeId id) const {
    return Guarded(false, [&]() {
        Item* item;
        return IndexOf(this, id, item) >= 0;
    });
}

AttributeId ApiItem::attrId(const char* name) const {
    return Guarded(AttributeId(0), [&]() -> AttributeId {
        Item* item = Resolve(this);
        if (!item || !name) return 0;
        for (uint32_t i = 0; i < item->attrs.size(); ++i) {
            const ApiAttributeInfo* info = AttrInfoAt(item, i);
            if (info && info->name && std::strcmp(info->name, name) == 0) return info->id;
        }
        return 0;
    });
}

AttributeId ApiItem::attrIdIx(uint32_t index) const {
    const ApiAttributeInfo* info = attrInfoIx(index);
    return info ? info->id : 0;
}

const char* ApiItem::attrName(AttributeId id) const {
    const ApiAttributeInfo* info = attrInfo(id);
    return info && info->name ? info->name : "";
}

const char* ApiItem::attrNameIx(uint32_t index) const {
    const ApiAttributeInfo* info = attrInfoIx(index);
    return info && info->name ? info->name : "";
}

AttributeType ApiItem::attrType(AttributeId id) const {
    const ApiAttributeInfo* info = attrInfo(id);
    return info ? info->type : AttributeType(AttrKind::Unknown);
}

AttributeType ApiItem::attrTypeIx(uint32_t index) const {
    const ApiAttributeInfo* info = attrInfoIx(index);
    return info ? info->type : AttributeType(AttrKind::Unknown);
}

bool ApiItem::attrIsArray(AttributeId id) const {
    const ApiAttributeInfo* info = attrInfo(id);
    return info && info->isArray;
}

const ApiAttributeInfo* ApiItem::attrInfo(AttributeId id) const {
    return Guarded(static_cast<const ApiAttributeInfo*>(nullptr), [&]() -> const ApiAttributeInfo* {
        Item* item;
        const int ix = IndexOf(this, id, item);
        return ix >= 0 ? AttrInfoAt(item, uint32_t(ix)) : nullptr;
    });
}

const ApiAttributeInfo* ApiItem::attrInfoIx(uint32_t index) const {
    return Guarded(static_cast<const ApiAttributeInfo*>(nullptr), [&]() -> const ApiAttributeInfo* {
        Item* item = Resolve(this);
        return item ? AttrInfoAt(item, index) : nullptr;
    });
}

// ---- setters --------------------------------------------------------------------------

bool ApiItem::set(AttributeId id, bool value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, int32_t value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, int32_2 value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, int32_3 value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, int32_4 value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, float value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, float_2 value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, float_3 value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, float_4 value, bool evaluate) { return SetById(this, id, &value, 1, evaluate); }
bool ApiItem::set(AttributeId id, const char* value, bool evaluate) {
    return SetTextById(this, id, &value, 1, evaluate);
}
bool ApiItem::set(AttributeId id, const Matrix<float>& value, bool evaluate) {
    return SetById(this, id, &value, 1, evaluate);
}

bool ApiItem::set(AttributeId id, const bool* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const int32_t* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const int32_2* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const int32_3* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const int32_4* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const float* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const float_2* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const float_3* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const float_4* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const char* const* values, size_t count, bool evaluate) {
    return SetTextById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const uint8_t* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}
bool ApiItem::set(AttributeId id, const Matrix<float>* values, size_t count, bool evaluate) {
    return SetById(this, id, values, count, evaluate);
}

bool ApiItem::setIx(uint32_t index, bool value, bool evaluate) { return SetByIndex(this, index, &value, 1, evaluate); }
bool ApiItem::setIx(uint32_t index, int32_t value, bool evaluate) {
    return SetByIndex(this, index, &value, 1, evaluate);
}
bool ApiItem::setIx(uint32_t index, int32_2 value, bool evaluate) {
    return SetByIndex(this, index, &value, 1, evaluate);
}
bool ApiItem::setIx(uint32_t index, int32_3 value, bool evaluate) {
    return SetByIndex(this, index, &value, 1, evaluate);
}
bool ApiItem::setIx(uint32_t index, float value, bool evaluate) { return SetByIndex(this, index, &value, 1, evaluate); }
bool ApiItem::setIx(uint32_t index, float_2 value, bool evaluate) {
    return SetByIndex(this, index, &value, 1, evaluate);
}
bool ApiItem::setIx(uint32_t index, float_3 value, bool evaluate) {
    return SetByIndex(this, index, &value, 1, evaluate);
}
bool ApiItem::setIx(uint32_t index, float_4 value, bool evaluate) {
    return SetByIndex(this, index, &value, 1, evaluate);
}
bool ApiItem::setIx(uint32_t index, const char* value, bool evaluate) {
    return Guarded(false, [&]() {
        Item* item = Resolve(this);
        return item && StoreTextAt(item, index, &value, 1, evaluate);
    });
}
bool ApiItem::setIx(uint32_t index, const Matrix<float>& value, bool evaluate) {
    return SetByIndex(this, index, &value, 1, evaluate);
}

// ---- getters --------------------------------------------------------------------------

bool ApiItem::getBool(AttributeId id) const { return GetById<bool>(this, id); }
int32_t ApiItem::getInt(AttributeId id) const { return GetById<int32_t>(this, id); }
int32_2 ApiItem::getInt2(AttributeId id) const { return GetById<int32_2>(this, id); }
int32_3 ApiItem::getInt3(AttributeId id) const { return GetById<int32_3>(this, id); }
int32_4 ApiItem::getInt4(AttributeId id) const { return GetById<int32_4>(this, id); }
float ApiItem::getFloat(AttributeId id) const { return GetById<float>(this, id); }
float_2 ApiItem::getFloat2(AttributeId id) const { return GetById<float_2>(this, id); }
float_3 ApiItem::getFloat3(AttributeId id) const { return GetById<float_3>(this, id); }
float_4 ApiItem::getFloat4(AttributeId id) const { return GetById<float_4>(this, id); }

const char* ApiItem::getString(AttributeId id) const {
    return Guarded("", [&]() -> const char* {
        Item* item;
        const int ix = IndexOf(this, id, item);
        return item ? ReadTextAt(item, ix) : "";
    });
}

Matrix<float> ApiItem::getMatrix(AttributeId id) const {
    return Guarded(Matrix<float>::identity(), [&]() {
        Item* item;
        const int ix = IndexOf(this, id, item);
        return item ? ReadMatrixAt(item, ix) : Matrix<float>::identity();
    });
}

ApiArray<bool> ApiItem::getBoolArray(AttributeId id) const { return ArrayById<bool>(this, id); }
ApiArray<int32_t> ApiItem::getIntArray(AttributeId id) const { return ArrayById<int32_t>(this, id); }
ApiArray<int32_2> ApiItem::getInt2Array(AttributeId id) const { return ArrayById<int32_2>(this, id); }
ApiArray<int32_3> ApiItem::getInt3Array(AttributeId id) const { return ArrayById<int32_3>(this, id); }
ApiArray<int32_4> ApiItem::getInt4Array(AttributeId id) const { return ArrayById<int32_4>(this, id); }
ApiArray<float> ApiItem::getFloatArray(AttributeId id) const { return ArrayById<float>(this, id); }
ApiArray<float_2> ApiItem::getFloat2Array(AttributeId id) const { return ArrayById<float_2>(this, id); }
ApiArray<float_3> ApiItem::getFloat3Array(AttributeId id) const { return ArrayById<float_3>(this, id); }
ApiArray<float_4> ApiItem::getFloat4Array(AttributeId id) const { return ArrayById<float_4>(this, id); }
ApiArray<uint8_t> ApiItem::getByteArray(AttributeId id) const { return ArrayById<uint8_t>(this, id); }
ApiArray<Matrix<float>> ApiItem::getMatrixArray(AttributeId id) const { return ArrayById<Matrix<float>>(this, id); }

ApiArray<const char*> ApiItem::getStringArray(AttributeId id) const {
    return Guarded(ApiArray<const char*>(), [&]() {
        Item* item;
        const int ix = IndexOf(this, id, item);
        return item ? TextViewAt(item, ix) : ApiArray<const char*>();
    });
}

bool ApiItem::getBoolIx(uint32_t index) const { return GetByIndex<bool>(this, index); }
int32_t ApiItem::getIntIx(uint32_t index) const { return GetByIndex<int32_t>(this, index); }
int32_2 ApiItem::getInt2Ix(uint32_t index) const { return GetByIndex<int32_2>(this, index); }
int32_3 ApiItem::getInt3Ix(uint32_t index) const { return GetByIndex<int32_3>(this, index); }
int32_4 ApiItem::getInt4Ix(uint32_t index) const { return GetByIndex<int32_4>(this, index); }
float ApiItem::getFloatIx(uint32_t index) const { return GetByIndex<float>(this, index); }
float_2 ApiItem::getFloat2Ix(uint32_t index) const { return GetByIndex<float_2>(this, index); }
float_3 ApiItem::getFloat3Ix(uint32_t index) const { return GetByIndex<float_3>(this, index); }
float_4 ApiItem::getFloat4Ix(uint32_t index) const { return GetByIndex<float_4>(this, index); }

const char* ApiItem::getStringIx(uint32_t index) const {
    return Guarded("", [&]() -> const char* {
        Item* item = Resolve(this);
        return item && index < item->attrs.size() ? ReadTextAt(item, int(index)) : "";
    });
}

Matrix<float> ApiItem::getMatrixIx(uint32_t index) const {
    return Guarded(Matrix<float>::identity(), [&]() {
        Item* item = Resolve(this);
        return item && index < item->attrs.size() ? ReadMatrixAt(item, int(index)) : Matrix<float>::identity();
    });
}

ApiArray<bool> ApiItem::getBoolArrayIx(uint32_t index) const { return ArrayByIndex<bool>(this, index); }
ApiArray<int32_t> ApiItem::getIntArrayIx(uint32_t index) const { return ArrayByIndex<int32_t>(this, index); }
ApiArray<int32_2> ApiItem::getInt2ArrayIx(uint32_t index) const { return ArrayByIndex<int32_2>(this, index); }
ApiArray<int32_3> ApiItem::getInt3ArrayIx(uint32_t index) const { return ArrayByIndex<int32_3>(this, index); }
ApiArray<int32_4> ApiItem::getInt4ArrayIx(uint32_t index) const { return ArrayByIndex<int32_4>(this, index); }
ApiArray<float> ApiItem::getFloatArrayIx(uint32_t index) const { return ArrayByIndex<float>(this, index); }
ApiArray<float_2> ApiItem::getFloat2ArrayIx(uint32_t index) const { return ArrayByIndex<float_2>(this, index); }
ApiArray<float_3> ApiItem::getFloat3ArrayIx(uint32_t index) const { return ArrayByIndex<float_3>(this, index); }
ApiArray<float_4> ApiItem::getFloat4ArrayIx(uint32_t index) const { return ArrayByIndex<float_4>(this, index); }
ApiArray<uint8_t> ApiItem::getByteArrayIx(uint32_t index) const { return ArrayByIndex<uint8_t>(this, index); }
ApiArray<Matrix<float>> ApiItem::getMatrixArrayIx(uint32_t index) const {
    return ArrayByIndex<Matrix<float>>(this, index);
}

ApiArray<const char*> ApiItem::getStringArrayIx(uint32_t index) const {
    return Guarded(ApiArray<const char*>(), [&]() {
        Item* item = Resolve(this);
        return item && index < item->attrs.size() ? TextViewAt(item, int(index)) : ApiArray<const char*>();
    });
}

bool ApiItem::copyAttrFrom(AttributeId id, const ApiItem* source, bool evaluate) {
    return Guarded(false, [&]() {
        Item* item;
        const int ix = IndexOf(this, id, item);
        Item* from = Resolve(source);
        if (ix < 0 || !from) return false;
        const int sourceIx = AttrIndex(from, id);
        if (sourceIx < 0) return false;
        bool changed;
        if (!item->attrs[size_t(ix)].assignSame(from->attrs[size_t(sourceIx)], changed)) return false;
        AttributeChanged(item, uint32_t(ix), changed, evaluate);
        return true;
    });
}

}  // namespace Zarnik
