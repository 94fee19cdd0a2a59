#pragma once
// Property values in the form the LTP layer stores them: the bytes of the value as they are on
// disk, little-endian, strings as UTF-16LE without a terminating NUL ([MS-PST] 2.3.3.3).

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "store/model.h"
#include "store/pst/node_content.h"

namespace quill::store::pst::ltp {

// Longest value of one property or table cell: a subnode's data tree gives its length in
// 32 bits (XBLOCK lcbTotal).
inline constexpr uint64_t kMaxValueSize = 0xFFFFFFFFu;

// A property of a property context or a cell of a table row: the full tag and the value bytes.
// Fixed-size values are exactly their type's size (PtypBoolean 1 byte, PtypInteger16 2,
// PtypInteger32 4, PtypInteger64 and PtypTime 8, PtypGuid 16); PtypObject is the 8-byte
// {nid, ulSize} pair.
struct Property {
    PropTag tag = 0;
    Bytes value;
    // A large variable-size value left where the message model holds it (see
    // BorrowedProperty); `value` is empty then.
    std::shared_ptr<const StreamSource> source = nullptr;

    uint64_t size() const { return source ? source->size() : value.size(); }
};

// UTF-8 to UTF-16LE bytes; invalid UTF-8 sequences become U+FFFD rather than losing the text.
Bytes Utf16le(std::string_view utf8);

// Size in bytes of a fixed-size property type, 0 for a variable-size (HNID-stored) one.
size_t FixedSizeOfType(uint16_t type);

// The value bytes of a value of the message model.
Bytes EncodeValue(uint16_t type, const PropValue& value);

Property MakeProperty(PropTag tag, const PropValue& value);
Property Int32Property(PropTag tag, int32_t value);
Property BoolProperty(PropTag tag, bool value);
Property StringProperty(PropTag tag, std::string_view utf8);
Property BinaryProperty(PropTag tag, Bytes value);

// Like MakeProperty, except that a binary or string value too large for a heap allocation
// (one that goes into a subnode anyway) is not copied or converted here: the property refers
// to `value`, and the node database writes it from there piece by piece, a string converted
// to UTF-16LE as it goes. `value` must outlive the property and every node built from it.
// An attachment of hundreds of megabytes is thus held once, by the message model.
// Counting the UTF-16 size of a long text takes a pass over it (a fifth of a second per
// gigabyte): `breather`, when given, is called between pieces of that pass.
using Breather = std::function<void()>;
Property BorrowedProperty(PropTag tag, const PropValue& value, const Breather& breather = {});
Property BorrowedBinaryProperty(PropTag tag, const Bytes& value);
Property BorrowedStringProperty(PropTag tag, const std::string& utf8,
                                const Breather& breather = {});
// A temporary (a std::string turned into a PropValue on the way in) would be gone before the
// value is written.
Property BorrowedProperty(PropTag tag, PropValue&& value, const Breather& breather = {}) = delete;
Property BorrowedBinaryProperty(PropTag tag, Bytes&& value) = delete;
Property BorrowedStringProperty(PropTag tag, std::string&& utf8,
                                const Breather& breather = {}) = delete;

}  // namespace quill::store::pst::ltp
