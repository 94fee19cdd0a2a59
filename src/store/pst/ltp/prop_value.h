#pragma once
// Property values in the form the LTP layer stores them: the bytes of the value as they are on
// disk, little-endian, strings as UTF-16LE without a terminating NUL ([MS-PST] 2.3.3.3).

#include <cstddef>
#include <string>
#include <string_view>

#include "store/model.h"

namespace quill::store::pst::ltp {

// A property of a property context or a cell of a table row: the full tag and the value bytes.
// Fixed-size values are exactly their type's size (PtypBoolean 1 byte, PtypInteger16 2,
// PtypInteger32 4, PtypInteger64 and PtypTime 8, PtypGuid 16); PtypObject is the 8-byte
// {nid, ulSize} pair.
struct Property {
    PropTag tag = 0;
    Bytes value;
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

}  // namespace quill::store::pst::ltp
