#pragma once
// Explicit little-endian loads and stores, for the file formats the store writes (.pst and
// .msg): nothing that writes them depends on the host's byte order.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quill::store {

// A plain copy where the machine is little-endian itself; byte by byte elsewhere.
template <typename T>
inline void StoreLe(uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
template <typename T>
inline T LoadLe(const uint8_t* p) {
    T v{};
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, p, sizeof v);
    } else {
        for (size_t i = 0; i < sizeof v; ++i) v |= static_cast<T>(T(p[i]) << (8 * i));
    }
    return v;
}

inline void StoreU16(uint8_t* p, uint16_t v) {
    StoreLe(p, v);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
    StoreLe(p, v);
}
inline void StoreU64(uint8_t* p, uint64_t v) {
    StoreLe(p, v);
}
inline uint16_t LoadU16(const uint8_t* p) {
    return LoadLe<uint16_t>(p);
}
inline uint32_t LoadU32(const uint8_t* p) {
    return LoadLe<uint32_t>(p);
}
inline uint64_t LoadU64(const uint8_t* p) {
    return LoadLe<uint64_t>(p);
}

}  // namespace quill::store
