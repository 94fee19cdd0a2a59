#include "store/model.h"

#include <stdexcept>

namespace quill::store {

bool ValueFitsType(uint16_t type, const PropValue& value) {
    switch (type) {
        case PT_LONG:
            return std::holds_alternative<int32_t>(value);
        case PT_I8:
            return std::holds_alternative<int64_t>(value);
        case PT_BOOLEAN:
            return std::holds_alternative<bool>(value);
        case PT_SYSTIME:
            return std::holds_alternative<FileTime>(value);
        case PT_UNICODE:
            return std::holds_alternative<std::string>(value);
        case PT_BINARY:
            return std::holds_alternative<Bytes>(value);
        case PT_MV_UNICODE:
            return std::holds_alternative<MultiString>(value);
        default:
            return false;
    }
}

void PropertyBag::set(PropTag tag, PropValue value) {
    if (!ValueFitsType(PropTypeOf(tag), value))
        throw std::invalid_argument("property value does not fit the type of its tag");
    tagged_[tag] = std::move(value);
}

const PropValue* PropertyBag::find(PropTag tag) const {
    auto it = tagged_.find(tag);
    return it == tagged_.end() ? nullptr : &it->second;
}

template <typename T>
static std::optional<T> get(const PropertyBag& bag, PropTag tag) {
    const PropValue* v = bag.find(tag);
    if (v == nullptr || !std::holds_alternative<T>(*v)) return std::nullopt;
    return std::get<T>(*v);
}

std::optional<std::string> PropertyBag::string(PropTag tag) const {
    return get<std::string>(*this, tag);
}
std::optional<int32_t> PropertyBag::int32(PropTag tag) const {
    return get<int32_t>(*this, tag);
}
std::optional<bool> PropertyBag::boolean(PropTag tag) const {
    return get<bool>(*this, tag);
}
std::optional<FileTime> PropertyBag::time(PropTag tag) const {
    return get<FileTime>(*this, tag);
}

const Bytes* PropertyBag::binary(PropTag tag) const {
    const PropValue* v = find(tag);
    return v != nullptr ? std::get_if<Bytes>(v) : nullptr;
}

void PropertyBag::setNamed(const NamedProperty& name, uint16_t type, PropValue value) {
    if (!ValueFitsType(type, value))
        throw std::invalid_argument("named property value does not fit its type");
    for (auto& nv : named_) {
        if (nv.name == name) {
            nv.type = type;
            nv.value = std::move(value);
            return;
        }
    }
    named_.push_back(NamedValue{name, type, std::move(value)});
}

const NamedValue* PropertyBag::findNamed(const NamedProperty& name) const {
    for (const auto& nv : named_)
        if (nv.name == name) return &nv;
    return nullptr;
}

}  // namespace quill::store
