#include "store/utf16.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
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

#if defined(__x86_64__) || defined(__i386__)
#define QUILL_UTF16_MIXED_BLOCKS 1

// For each set of eight 16-bit lanes (a bit per lane), the byte shuffle that moves the lanes of
// the set to the front in order, and their count.
struct CompactTable {
    alignas(16) std::array<std::array<uint8_t, 16>, 256> shuffle;
    std::array<uint8_t, 256> count;
};
constexpr CompactTable kCompact = [] {
    CompactTable t{};
    for (int bits = 0; bits < 256; ++bits) {
        int n = 0;
        for (int lane = 0; lane < 8; ++lane) {
            if ((bits >> lane & 1) == 0) continue;
            t.shuffle[bits][2 * n] = static_cast<uint8_t>(2 * lane);
            t.shuffle[bits][2 * n + 1] = static_cast<uint8_t>(2 * lane + 1);
            ++n;
        }
        for (int k = 2 * n; k < 16; ++k) t.shuffle[bits][k] = 0x80;  // zero, written over later
        t.count[bits] = static_cast<uint8_t>(n);
    }
    return t;
}();

// What ConvertMixedBlock did: nothing, or the block, whose last byte is plain ASCII or not.
enum class Block { Refused, EndsInAscii, EndsInOther };

// The 16 bytes at s when they hold only plain ASCII and well-formed two- and three-byte
// sequences, as Cyrillic or Chinese text, or a word of it among ASCII, does: the characters
// that end within them are converted to o (room for 32 bytes) at once instead of one by one,
// whose every change of length the processor would mispredict. Refused, with nothing done,
// for anything else (a NUL, a four-byte or an ill-formed sequence), which the caller converts
// character by character. Needs SSSE3 (a byte shuffle).
__attribute__((target("ssse3"))) Block ConvertMixedBlock(const uint8_t*& s, uint8_t*& o) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    // Unsigned comparisons, as signed ones of the bytes with their top bit flipped.
    const __m128i x = _mm_xor_si128(v, _mm_set1_epi8(char(0x80)));
    auto below = [&](int bound) {
        return _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(bound ^ 0x80)));
    };
    auto bits = [](__m128i m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); };
    const __m128i is2 = _mm_andnot_si128(below(0xC2), below(0xE0));  // C2..DF
    const __m128i is3 = _mm_andnot_si128(below(0xE0), below(0xF0));  // E0..EF
    const uint32_t lt80 = bits(below(0x80)), ltA0 = bits(below(0xA0)), ltC0 = bits(below(0xC0));
    const uint32_t nul = bits(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
    const uint32_t cont = ltC0 & ~lt80;
    const uint32_t lead2 = bits(is2), lead3 = bits(is3);
    if (((lt80 & ~nul) | cont | lead2 | lead3) != 0xFFFF) return Block::Refused;
    // A sequence that the block's end cuts is left to the next step.
    const int n = (lead3 & 0x4000) != 0 ? 14 : ((lead2 | lead3) & 0x8000) != 0 ? 15 : 16;
    const uint32_t keep = (1u << n) - 1;
    // The continuation bytes are exactly those of the kept sequences, and no three-byte one
    // is overlong (E0 then less than A0) or a surrogate (ED then A0 or more).
    const uint32_t kept2 = lead2 & keep, kept3 = lead3 & keep;
    if ((cont & keep) != ((kept2 | kept3) << 1 | kept3 << 2)) return Block::Refused;
    const uint32_t e0 = bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE0))));
    const uint32_t ed = bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xED))));
    if ((((e0 & keep) << 1 & ltA0) | ((ed & keep) << 1 & ~ltA0)) != 0) return Block::Refused;

    // Each byte's unit as if a character started there, eight at a time, then the units of
    // the bytes where one does start moved together.
    const __m128i zero = _mm_setzero_si128();
    const __m128i low6 = _mm_set1_epi16(0x3F);
    const uint32_t starts = ~cont & keep;
    for (int half = 0; half < 2; ++half) {
        auto widen = [&](__m128i b) {
            return half == 0 ? _mm_unpacklo_epi8(b, zero) : _mm_unpackhi_epi8(b, zero);
        };
        auto widenMask = [&](__m128i m) {
            return half == 0 ? _mm_unpacklo_epi8(m, m) : _mm_unpackhi_epi8(m, m);
        };
        const __m128i b0 = widen(v);
        const __m128i b1 = _mm_and_si128(widen(_mm_srli_si128(v, 1)), low6);
        const __m128i b2 = _mm_and_si128(widen(_mm_srli_si128(v, 2)), low6);
        const __m128i two =
            _mm_or_si128(_mm_slli_epi16(_mm_and_si128(b0, _mm_set1_epi16(0x1F)), 6), b1);
        const __m128i three =
            _mm_or_si128(_mm_or_si128(_mm_slli_epi16(b0, 12), _mm_slli_epi16(b1, 6)), b2);
        const __m128i m2 = widenMask(is2), m3 = widenMask(is3);
        const __m128i units =
            _mm_or_si128(_mm_andnot_si128(_mm_or_si128(m2, m3), b0),
                         _mm_or_si128(_mm_and_si128(m2, two), _mm_and_si128(m3, three)));
        const uint32_t lanes = (starts >> (8 * half)) & 0xFF;
        const __m128i shuffle =
            _mm_load_si128(reinterpret_cast<const __m128i*>(kCompact.shuffle[lanes].data()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(units, shuffle));
        o += 2 * kCompact.count[lanes];
    }
    s += n;
    return (lt80 & 0x8000) != 0 ? Block::EndsInAscii : Block::EndsInOther;
}
#endif
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

// The conversion, with kMixed trying ConvertMixedBlock within runs of other characters.
template <bool kMixed>
[[gnu::always_inline]] inline size_t Convert(uint8_t* out, std::string_view utf8) {
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
        // A run of other characters, as a word of Cyrillic or Chinese text is: its first
        // character alone, then, when the run goes on, blocks of 16 bytes for as long as they
        // end within such a run (an accented letter among ASCII costs less alone).
        ConvertOther(s, end, o);
#if defined(QUILL_UTF16_MIXED_BLOCKS)
        if constexpr (kMixed) {
            if (s < end && !IsPlainAscii(*s)) {
                Block block = Block::EndsInOther;
                while (block == Block::EndsInOther && size_t(end - s) >= kBlock)
                    block = ConvertMixedBlock(s, o);
                if (block != Block::Refused) continue;
            }
        }
#endif
        while (s < end && !IsPlainAscii(*s)) ConvertOther(s, end, o);
    }
    return size_t(o - out);
}

#if defined(QUILL_UTF16_MIXED_BLOCKS)
__attribute__((target("ssse3"))) size_t ConvertWithMixedBlocks(uint8_t* out,
                                                               std::string_view utf8) {
    return Convert<true>(out, utf8);
}
#endif

}  // namespace

size_t PutUtf16le(uint8_t* out, std::string_view utf8) {
#if defined(QUILL_UTF16_MIXED_BLOCKS)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) return ConvertWithMixedBlocks(out, utf8);
#endif
    return Convert<false>(out, utf8);
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
