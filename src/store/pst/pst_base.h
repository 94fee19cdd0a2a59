#pragma once
// What every layer of the PST writer shares, below all of them: node ids and their types
// ([MS-PST] 2.2.2.1) and explicit little-endian loads and stores (nothing in the writer
// depends on the host's byte order).

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/byte_order.h"
#include "store/model.h"

namespace quill::store::pst {

using Nid = uint32_t;  // node id: 5-bit type in the low bits, 27-bit index above

// NID types ([MS-PST] 2.2.2.1).
inline constexpr uint8_t NID_TYPE_HID = 0x00;
inline constexpr uint8_t NID_TYPE_INTERNAL = 0x01;
inline constexpr uint8_t NID_TYPE_NORMAL_FOLDER = 0x02;
inline constexpr uint8_t NID_TYPE_SEARCH_FOLDER = 0x03;
inline constexpr uint8_t NID_TYPE_NORMAL_MESSAGE = 0x04;
inline constexpr uint8_t NID_TYPE_ATTACHMENT = 0x05;
inline constexpr uint8_t NID_TYPE_ASSOC_MESSAGE = 0x08;
inline constexpr uint8_t NID_TYPE_HIERARCHY_TABLE = 0x0D;
inline constexpr uint8_t NID_TYPE_CONTENTS_TABLE = 0x0E;
inline constexpr uint8_t NID_TYPE_ASSOC_CONTENTS_TABLE = 0x0F;
inline constexpr uint8_t NID_TYPE_LTP = 0x1F;

constexpr Nid MakeNid(uint32_t type, uint32_t index) {
    return (index << 5) | (type & 0x1F);
}
constexpr uint8_t NidType(Nid nid) {
    return nid & 0x1F;
}
constexpr uint32_t NidIndex(Nid nid) {
    return nid >> 5;
}

// ---- Little-endian appends and cursors (loads and stores: store/byte_order.h) ----------

inline void AppendU8(Bytes& b, uint8_t v) {
    b.push_back(v);
}
inline void AppendU16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void AppendU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void AppendU64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A cursor that stores fields one after the other.
class LeWriter {
  public:
    explicit LeWriter(uint8_t* out) : p_(out) {}
    void u8(uint8_t v) { *p_++ = v; }
    void u16(uint16_t v) {
        StoreU16(p_, v);
        p_ += 2;
    }
    void u32(uint32_t v) {
        StoreU32(p_, v);
        p_ += 4;
    }
    void u64(uint64_t v) {
        StoreU64(p_, v);
        p_ += 8;
    }
    void bytes(const uint8_t* src, size_t n) {
        if (n) std::memcpy(p_, src, n);
        p_ += n;
    }
    uint8_t* position() const { return p_; }

  private:
    uint8_t* p_;
};

// A cursor that loads fields one after the other.
class LeReader {
  public:
    explicit LeReader(const uint8_t* in) : p_(in) {}
    uint8_t u8() { return *p_++; }
    uint16_t u16() {
        uint16_t v = LoadU16(p_);
        p_ += 2;
        return v;
    }
    uint32_t u32() {
        uint32_t v = LoadU32(p_);
        p_ += 4;
        return v;
    }
    uint64_t u64() {
        uint64_t v = LoadU64(p_);
        p_ += 8;
        return v;
    }
    void bytes(uint8_t* dst, size_t n) {
        if (n) std::memcpy(dst, p_, n);
        p_ += n;
    }
    const uint8_t* position() const { return p_; }

  private:
    const uint8_t* p_;
};

}  // namespace quill::store::pst
