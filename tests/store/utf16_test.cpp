#include "store/utf16.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quill::store {
namespace {

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

Bytes Units(std::initializer_list<uint16_t> units) {
    Bytes out;
    for (uint16_t u : units) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

TEST(Utf16leTest, KnownSequences) {
    struct Row {
        std::string in;
        Bytes want;
    } rows[] = {
        {"", {}},
        {"A", Units({'A'})},
        {"\xC3\xA9", Units({0xE9})},                    // é
        {"\xE2\x82\xAC", Units({0x20AC})},              // €
        {"\xF0\x9F\x98\x80", Units({0xD83D, 0xDE00})},  // U+1F600: a surrogate pair
        {"\xF4\x8F\xBF\xBF", Units({0xDBFF, 0xDFFF})},  // U+10FFFF, the last code point
        {std::string("a\0b", 3), Units({'a', 0xFFFD, 'b'})},
        {"\x80x", Units({0xFFFD, 'x'})},                    // stray continuation byte
        {"\xC3", Units({0xFFFD})},                          // truncated at the end
        {"\xE2\x82x", Units({0xFFFD, 0xFFFD, 'x'})},        // truncated: each byte replaced
        {"\xC0\xAF", Units({0xFFFD, 0xFFFD})},              // overlong "/"
        {"\xED\xA0\x80", Units({0xFFFD, 0xFFFD, 0xFFFD})},  // UTF-16 surrogate in UTF-8
        {"\xF4\x90\x80\x80", Units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD})},  // past U+10FFFF
        {"abcdefgh\xC3\xA9ijklmnopq", Units({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0xE9, 'i', 'j',
                                             'k', 'l', 'm', 'n', 'o', 'p', 'q'})},
    };
    for (const Row& row : rows) EXPECT_EQ(Utf16le(row.in), row.want) << row.in;
}

// Random text of mostly ASCII with multi-byte, broken and NUL bytes at every offset against
// the eight-byte ASCII stride: the result is GLib's, byte for byte.
TEST(Utf16leTest, SameAsGlibOnRandomText) {
    std::mt19937 rng(5);
    const std::string pieces[] = {"a",
                                  "Z",
                                  " ",
                                  "\n",
                                  "\xC3\xA9",
                                  "\xE2\x82\xAC",
                                  "\xF0\x9F\x98\x80",
                                  "\x80",
                                  "\xC3",
                                  "\xED\xA0\x80",
                                  "\xE0\x80\xAF",
                                  std::string(1, '\0'),
                                  "\xFF",
                                  "abcdefghij"};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
        ASSERT_EQ(Utf16le(text), GlibUtf16le(text)) << "round " << round;
    }
}

// A long value is written piece by piece: its size is known beforehand, and pieces cut where
// Utf8PieceEnd says give exactly the whole text's UTF-16, whatever byte the cut aimed at
// (inside a sequence, on a broken one, on a NUL).
TEST(Utf16leTest, PiecesCutAtPieceEndsConvertLikeTheWhole) {
    std::mt19937 rng(7);
    const std::string pieces[] = {"a",        "\xC3\xA9",  "\xE2\x82\xAC",     "\xF0\x9F\x98\x80",
                                  "\x80\x80", "\xE2\x82",  "\xF4\x90\x80\x80", std::string(1, '\0'),
                                  "\xFF",     "abcdefghij"};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 30);
        for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
        const Bytes whole = Utf16le(text);
        ASSERT_EQ(Utf16leSize(text), whole.size()) << "round " << round;
        for (size_t at = 0; at <= text.size() + 1; ++at) {
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
