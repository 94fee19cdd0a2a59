#include "store/utf16.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quill::store {
namespace {

using namespace std::string_literals;

// What the store wrote before the converter of its own: GLib's repair, then GLib's conversion.
Bytes GlibUtf16le(const std::string& utf8) {
    if (utf8.empty()) return {};
    gchar* valid = g_utf8_make_valid(utf8.data(), static_cast<gssize>(utf8.size()));
    glong units = 0;
    gunichar2* wide = g_utf8_to_utf16(valid, -1, nullptr, &units, nullptr);
    g_free(valid);
    Bytes out;
    for (glong i = 0; i < units; ++i) {
        out.push_back(static_cast<uint8_t>(wide[i]));
        out.push_back(static_cast<uint8_t>(wide[i] >> 8));
    }
    g_free(wide);
    return out;
}

// Random text of ASCII, multi-byte, overlong, broken and NUL bytes at every offset against the
// eight-byte ASCII stride: the result is GLib's (its repair, then its conversion) byte for byte.
// A long value is written piece by piece: its size is known beforehand, and pieces cut where
// Utf8PieceEnd says give exactly the whole text's UTF-16, whatever byte the cut aimed at.
TEST(Utf16leTest, SameAsGlibWholeAndInPieces) {
    std::mt19937 rng(5);
    // Valid sequences up to U+10FFFF; stray, cut, overlong and surrogate sequences; past
    // U+10FFFF; bytes no sequence starts with.
    const std::string pieces[] = {"a",
                                  "\n",
                                  "\0"s,
                                  "abcdefghij",
                                  "\xC3\xA9",
                                  "\xE2\x82\xAC",
                                  "\xF0\x9F\x98\x80",
                                  "\xF4\x8F\xBF\xBF",
                                  "\x80",
                                  "\xC3",
                                  "\xE2\x82",
                                  "\xC0\xAF",
                                  "\xE0\x9F\xBF",
                                  "\xED\xA0\x80",
                                  "\xF4\x90\x80\x80",
                                  "\xE0\x80\xAF",
                                  "\xFF"};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
        const Bytes whole = Utf16le(text);
        ASSERT_EQ(whole, GlibUtf16le(text)) << "round " << round;
        ASSERT_EQ(Utf16leSize(text), whole.size()) << "round " << round;
        for (size_t at = 0; round % 5 == 0 && at <= text.size() + 1; ++at) {
            const size_t end = Utf8PieceEnd(text, at);
            ASSERT_LE(end, std::min(at, text.size()));
            ASSERT_LE(std::min(at, text.size()), end + 3);
            Bytes joined = Utf16le(std::string_view(text).substr(0, end));
            AppendUtf16le(joined, std::string_view(text).substr(end));
            ASSERT_EQ(joined, whole) << "round " << round << ", cut aimed at " << at;
        }
    }
}

}  // namespace
}  // namespace quill::store
