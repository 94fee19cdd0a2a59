#include "store/pst/ltp/prop_value.h"

#include "store/pst/ltp/le.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/utf16.h"

namespace quill::store::pst::ltp {

Bytes Utf16le(std::string_view utf8) {
    return store::Utf16le(utf8);
}

size_t FixedSizeOfType(uint16_t type) {
    switch (type) {
        case PT_BOOLEAN:
            return 1;
        case PT_SHORT:
            return 2;
        case PT_LONG:
        case 0x0004:  // PtypFloating32
        case 0x000A:  // PtypErrorCode
            return 4;
        case 0x0005:  // PtypFloating64
        case 0x0006:  // PtypCurrency
        case 0x0007:  // PtypFloatingTime
        case PT_I8:
        case PT_SYSTIME:
            return 8;
        case PT_CLSID:
            return 16;
        case PT_OBJECT:
            return 8;  // {nid, ulSize}
        default:
            return 0;
    }
}

Bytes EncodeValue(uint16_t type, const PropValue& value) {
    if (!ValueFitsType(type, value))
        throw LtpError("value does not fit property type " + std::to_string(type));
    Bytes out;
    switch (type) {
        case PT_LONG:
            AppendU32(out, static_cast<uint32_t>(std::get<int32_t>(value)));
            break;
        case PT_I8:
            AppendU64(out, static_cast<uint64_t>(std::get<int64_t>(value)));
            break;
        case PT_BOOLEAN:
            out.push_back(std::get<bool>(value) ? 1 : 0);
            break;
        case PT_SYSTIME:
            AppendU64(out, std::get<FileTime>(value).ticks);
            break;
        case PT_UNICODE:
            out = Utf16le(std::get<std::string>(value));
            break;
        case PT_BINARY:
            out = std::get<Bytes>(value);
            break;
        case PT_MV_UNICODE: {
            // ulCount, rgulDataOffsets[ulCount], then the items ([MS-PST] 2.3.3.4.2).
            const MultiString& items = std::get<MultiString>(value);
            std::vector<Bytes> encoded;
            for (const std::string& s : items) encoded.push_back(Utf16le(s));
            AppendU32(out, static_cast<uint32_t>(items.size()));
            uint32_t offset = static_cast<uint32_t>(4 + 4 * items.size());
            for (const Bytes& e : encoded) {
                AppendU32(out, offset);
                offset += static_cast<uint32_t>(e.size());
            }
            for (const Bytes& e : encoded) out.insert(out.end(), e.begin(), e.end());
            break;
        }
        default:
            throw LtpError("property type " + std::to_string(type) + " is not supported");
    }
    return out;
}

Property MakeProperty(PropTag tag, const PropValue& value) {
    return Property{tag, EncodeValue(PropTypeOf(tag), value)};
}
Property Int32Property(PropTag tag, int32_t value) {
    return MakeProperty(tag, value);
}
Property BoolProperty(PropTag tag, bool value) {
    return MakeProperty(tag, value);
}
Property StringProperty(PropTag tag, std::string_view utf8) {
    return Property{tag, Utf16le(utf8)};
}
Property BinaryProperty(PropTag tag, Bytes value) {
    return Property{tag, std::move(value)};
}

}  // namespace quill::store::pst::ltp
