#include "store/utf16.h"

#include <cstdint>
#include <cstring>

namespace quill::store {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;
constexpr uint64_t kLowBits = 0x0101010101010101ULL;

// Eight ASCII bytes, none of them NUL.
bool PlainAscii8(uint64_t w) {
    return ((w & kHighBits) | ((w - kLowBits) & ~w & kHighBits)) == 0;
}

// One well-formed sequence at s (n > 0 bytes left): its code point and length, or length 0.
// The ranges are those of the Unicode standard's table of well-formed UTF-8 byte sequences.
size_t DecodeOne(const uint8_t* s, size_t n, char32_t& cp) {
    const uint8_t b0 = s[0];
    auto cont = [&](size_t i) { return i < n && (s[i] & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (!cont(1)) return 0;
        cp = char32_t(b0 & 0x1F) << 6 | (s[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (b0 == 0xE0 && s[1] < 0xA0) return 0;  // overlong
        if (b0 == 0xED && s[1] > 0x9F) return 0;  // surrogate
        cp = char32_t(b0 & 0x0F) << 12 | char32_t(s[1] & 0x3F) << 6 | (s[2] & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (b0 == 0xF0 && s[1] < 0x90) return 0;  // overlong
        if (b0 == 0xF4 && s[1] > 0x8F) return 0;  // past U+10FFFF
        cp = char32_t(b0 & 0x07) << 18 | char32_t(s[1] & 0x3F) << 12 | char32_t(s[2] & 0x3F) << 6 |
             (s[3] & 0x3F);
        return 4;
    }
    return 0;
}

// The code point of the sequence at s (s < end), stepping s past it: U+FFFD and one byte for
// a NUL or an ill-formed sequence.
char32_t NextCodePoint(const uint8_t*& s, const uint8_t* end) {
    char32_t cp = kReplacement;
    size_t len = *s == 0 ? 0 : DecodeOne(s, size_t(end - s), cp);
    if (len == 0) {
        cp = kReplacement;
        len = 1;
    }
    s += len;
    return cp;
}

inline uint8_t* Put16(uint8_t* o, uint32_t unit) {
    o[0] = static_cast<uint8_t>(unit);
    o[1] = static_cast<uint8_t>(unit >> 8);
    return o + 2;
}

}  // namespace

void AppendUtf16le(Bytes& out, std::string_view utf8) {
    const size_t start = out.size();
    // Every input byte gives at most one UTF-16 unit (a four-byte sequence gives two).
    out.resize(start + 2 * utf8.size());
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const uint8_t* const end = s + utf8.size();
    uint8_t* o = out.data() + start;
    while (s < end) {
        if (end - s >= 8) {
            uint64_t w;
            std::memcpy(&w, s, 8);
            if (PlainAscii8(w)) {
                for (int i = 0; i < 8; ++i) {
                    o[2 * i] = s[i];
                    o[2 * i + 1] = 0;
                }
                s += 8;
                o += 16;
                continue;
            }
        }
        const uint8_t b = *s;
        if (b != 0 && b < 0x80) {
            o = Put16(o, b);
            ++s;
            continue;
        }
        char32_t cp = NextCodePoint(s, end);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            o = Put16(o, 0xD800 + (cp >> 10));
            o = Put16(o, 0xDC00 + (cp & 0x3FF));
        } else {
            o = Put16(o, cp);
        }
    }
    out.resize(size_t(o - out.data()));
}

Bytes Utf16le(std::string_view utf8) {
    Bytes out;
    AppendUtf16le(out, utf8);
    return out;
}

uint64_t Utf16leSize(std::string_view utf8) {
    // The same walk as AppendUtf16le, counting units instead of storing them.
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const uint8_t* const end = s + utf8.size();
    uint64_t units = 0;
    while (s < end) {
        if (end - s >= 8) {
            uint64_t w;
            std::memcpy(&w, s, 8);
            if (PlainAscii8(w)) {
                s += 8;
                units += 8;
                continue;
            }
        }
        const uint8_t b = *s;
        if (b != 0 && b < 0x80) {
            ++s;
            ++units;
            continue;
        }
        units += NextCodePoint(s, end) >= 0x10000 ? 2 : 1;
    }
    return 2 * units;
}

size_t Utf8PieceEnd(std::string_view utf8, size_t at) {
    if (at >= utf8.size()) return utf8.size();
    // Conversion steps onto every byte that is not a continuation byte (0b10xxxxxx), and onto
    // any byte with no lead byte in the three before it; a cut there splits no sequence.
    for (size_t back = 0; back <= 3 && back <= at; ++back)
        if ((static_cast<uint8_t>(utf8[at - back]) & 0xC0) != 0x80) return at - back;
    return at;
}

}  // namespace quill::store
