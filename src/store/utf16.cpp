#include "store/utf16.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quill::store {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

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

// How many bytes at s (at least kBlock left) are plain ASCII, at most kBlock; with `o`
// given, they are widened to o, which has room for 2 * kBlock bytes whatever the count (the
// units past the count are garbage the caller writes over).
#if defined(__SSE2__)
constexpr size_t kBlock = 16;
inline size_t AsciiPrefix(const uint8_t* s, uint8_t* o) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i zero = _mm_setzero_si128();
    if (o != nullptr) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi8(v, zero));
    }
    // A set top bit, or a NUL, ends the run.
    const auto stop = static_cast<uint32_t>(_mm_movemask_epi8(v)) |
                      static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
    return stop == 0 ? kBlock : static_cast<size_t>(std::countr_zero(stop));
}
#else
constexpr size_t kBlock = 8;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;
constexpr uint64_t kLowBits = 0x0101010101010101ULL;

// Eight ASCII bytes, none of them NUL.
inline bool PlainAscii8(uint64_t w) {
    return ((w & kHighBits) | ((w - kLowBits) & ~w & kHighBits)) == 0;
}

inline size_t AsciiPrefix(const uint8_t* s, uint8_t* o) {
    uint64_t w;
    std::memcpy(&w, s, 8);
    if (!PlainAscii8(w)) return 0;
    if (o != nullptr)
        for (int i = 0; i < 8; ++i) {
            o[2 * i] = s[i];
            o[2 * i + 1] = 0;
        }
    return 8;
}
#endif

// One character that is not plain ASCII at s (s < end), its units written to o; s and o step
// past it. Two-byte sequences, most of the non-ASCII text of European mail, are decoded here.
inline void ConvertOther(const uint8_t*& s, const uint8_t* end, uint8_t*& o) {
    const uint8_t b = *s;
    if (b >= 0xC2 && b <= 0xDF && end - s >= 2 && (s[1] & 0xC0) == 0x80) {
        o = Put16(o, uint32_t(b & 0x1F) << 6 | (s[1] & 0x3F));
        s += 2;
        return;
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

inline bool IsPlainAscii(uint8_t b) {
    return b != 0 && b < 0x80;
}

}  // namespace

size_t PutUtf16le(uint8_t* out, std::string_view utf8) {
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const uint8_t* const end = s + utf8.size();
    // out has room for 2 bytes per input byte left wherever the conversion stands, as the
    // widening of a whole block needs.
    uint8_t* o = out;
    while (s < end) {
        if (size_t(end - s) >= kBlock) {
            const size_t ascii = AsciiPrefix(s, o);
            s += ascii;
            o += 2 * ascii;
            if (ascii == kBlock) continue;
        } else if (IsPlainAscii(*s)) {
            o = Put16(o, *s++);
            continue;
        }
        // A run of other characters, as a word of Cyrillic or Chinese text is.
        do ConvertOther(s, end, o);
        while (s < end && !IsPlainAscii(*s));
    }
    return size_t(o - out);
}

void AppendUtf16le(Bytes& out, std::string_view utf8) {
    const size_t start = out.size();
    out.resize(start + MaxUtf16leSize(utf8));
    out.resize(start + PutUtf16le(out.data() + start, utf8));
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
        if (size_t(end - s) >= kBlock) {
            const size_t ascii = AsciiPrefix(s, nullptr);
            s += ascii;
            units += ascii;
            if (ascii == kBlock || s == end) continue;
        }
        if (IsPlainAscii(*s)) {
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
