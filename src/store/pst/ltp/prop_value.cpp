#include "store/pst/ltp/prop_value.h"

#include "store/pst/ltp/heap.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/pst_base.h"
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

namespace {

// Bytes held elsewhere, handed out as they are: the node database cuts them into blocks.
class BytesSource : public StreamSource {
  public:
    explicit BytesSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    void produce(const Sink& sink) const override { sink(bytes_); }

  private:
    std::span<const uint8_t> bytes_;
};

// UTF-8 text held elsewhere, handed out as UTF-16LE a piece at a time, so that a body of a
// gigabyte never exists twice (or twice over, as UTF-16) in memory.
class Utf16Source : public StreamSource {
  public:
    Utf16Source(std::string_view text, uint64_t size) : text_(text), size_(size) {}
    uint64_t size() const override { return size_; }
    void produce(const Sink& sink) const override {
        constexpr size_t kPiece = 64 * 1024;  // of UTF-8; at most twice that of UTF-16
        Bytes piece;
        for (size_t at = 0; at < text_.size();) {
            size_t end = Utf8PieceEnd(text_, at + kPiece);
            piece.clear();
            AppendUtf16le(piece, text_.substr(at, end - at));
            sink(piece);
            at = end;
        }
    }

  private:
    std::string_view text_;
    uint64_t size_;
};

}  // namespace

Property BorrowedBinaryProperty(PropTag tag, const Bytes& value) {
    if (PropTypeOf(tag) != PT_BINARY)
        throw LtpError("value does not fit property type " + std::to_string(PropTypeOf(tag)));
    if (value.size() <= kMaxHeapAllocation) return Property{tag, value};
    return Property{tag, {}, std::make_shared<BytesSource>(value)};
}

Property BorrowedStringProperty(PropTag tag, const std::string& utf8, const Breather& breather) {
    if (PropTypeOf(tag) != PT_UNICODE)
        throw LtpError("value does not fit property type " + std::to_string(PropTypeOf(tag)));
    // UTF-16 takes at most two bytes per byte of UTF-8: short text is converted at once.
    if (2 * utf8.size() <= kMaxHeapAllocation) return StringProperty(tag, utf8);
    constexpr size_t kCountPiece = 16u << 20;  // a few milliseconds of counting
    const std::string_view text(utf8);
    uint64_t size = 0;
    for (size_t at = 0; at < text.size();) {
        if (at != 0 && breather) breather();
        size_t end = Utf8PieceEnd(text, at + kCountPiece);
        size += Utf16leSize(text.substr(at, end - at));
        at = end;
    }
    if (size <= kMaxHeapAllocation) return StringProperty(tag, utf8);
    return Property{tag, {}, std::make_shared<Utf16Source>(text, size)};
}

Property BorrowedProperty(PropTag tag, const PropValue& value, const Breather& breather) {
    const uint16_t type = PropTypeOf(tag);
    if (type == PT_BINARY && std::holds_alternative<Bytes>(value))
        return BorrowedBinaryProperty(tag, std::get<Bytes>(value));
    if (type == PT_UNICODE && std::holds_alternative<std::string>(value))
        return BorrowedStringProperty(tag, std::get<std::string>(value), breather);
    return MakeProperty(tag, value);
}

}  // namespace quill::store::pst::ltp
