// Text decoding of the import: charsets, code pages, line ends, the text of an HTML body.

#include "store/mime/text.h"

#include "store/mime/header_text.h"

#include <glib.h>
#include <gtest/gtest.h>

namespace quill::store::mime {
namespace {

// A GLib warning about misuse ends the test: these helpers run before any import has set
// GMime up (as in a fresh helper process) and must do it themselves.
const bool kMisuseIsFatal = [] {
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
    return true;
}();

struct CharsetCase {
    std::string bytes;
    const char* charset;
    const char* text;
    bool unknown;
    bool invalid;
};

TEST(MimeText, DecodeCharsetKeepsEveryByte) {
    const CharsetCase cases[] = {
        {"K\xE4se", "utf-8", "Käse", false, true},           // mislabelled Windows-1252
        {"\x93Hi\x94", "", "\u201CHi\u201D", false, false},  // undeclared, not UTF-8
        {"K\xE4se", "x-unknown", "Käse", true, false},
        {"\x80\x93\x9F", "iso-8859-1", "\u20AC\u201CŸ", false, false},  // Windows-1252 in disguise
        {"\x81\x8D\x8F\x90\x9D", "windows-1252", "\u0081\u008D\u008F\u0090\u009D", false, false},
        {"a\xFF"
         "b",
         "shift_jis", "aÿb", false, true},  // a byte Shift_JIS does not have
        // Legacy labels read as their Windows supersets, as mail programs do.
        {"\x87@\x87"
         "A\xEE\xE0",
         "shift_jis", "①②髙", false, false},
        {"\x8C"
         "c\xB9\xE6\xB0\xA2\xC7\xCF \xC1"
         "d",
         "ks_c_5601-1987", "똠방각하 햏", false, false},
        {"\x80\x96\x99", "iso-8859-9", "€–™", false, false},
        {"\x1B$B-!^!\x1B(B", "csiso2022jp", "①沺", false, false},
        {"K\xC3\xA4se \x93", "us-ascii", "KÃ¤se “", false, false},
        {"K\xC3\xA4se", "us-ascii", "Käse", false, false},  // undeclared: UTF-8 where valid
    };
    for (const auto& c : cases) {
        DecodedText d = DecodeCharset(c.bytes, c.charset);
        EXPECT_EQ(d.text, c.text) << c.charset;
        EXPECT_EQ(d.unknownCharset, c.unknown) << c.charset;
        EXPECT_EQ(d.invalidBytes, c.invalid) << c.charset;
        EXPECT_TRUE(IsValidUtf8(d.text));
    }
}

// Encoded words as senders write them: each decoded on its own, the bytes of neighbours in one
// charset joined (a character split across two words stays whole), blanks between words
// dropped, legacy charsets read as their Windows supersets; a word that cannot be decoded is
// kept as it stands.
TEST(MimeText, HeaderText) {
    struct Case {
        const char* raw;
        const char* text;
        bool damaged;
    };
    const Case cases[] = {
        {"=?utf-8?B?4oI=?=\t=?UTF-8?Q?=AC?= x", "€ x", false},  // € split across two words
        {"a =?utf-8?q?b?= c=?utf-8*en?Q?d?=", "a b cd", false},
        {"=?utf-8?B?####?= rest", "=?utf-8?B?####?= rest", true},
        {"=?utf-8?Q?K=E4se?=", "Käse", true},
        {"Caf\xe9 =? not a word ?=", "Café =? not a word ?=", false},
        {"=?utf-8?q?=ef=bc=a1?=", "Ａ", false},
    };
    for (const Case& c : cases) {
        HeaderText h = DecodeHeaderText(c.raw);
        EXPECT_EQ(h.text, c.text) << c.raw;
        EXPECT_EQ(h.damaged, c.damaged) << c.raw;
    }
}

TEST(MimeText, HeaderParameters) {
    const std::pair<const char*, const char*> cases[] = {
        {"attachment; filename*=iso-8859-1'de'Gr%FC%DFe%80.txt; filename=x", "Grüße€.txt"},
        {"attachment;filename=\"a;b\\\".txt\"; size=3", "a;b\".txt"},
        {"inline; FILENAME = plain.txt ; x=y", "plain.txt"},
        {"attachment; filename=\"Caf\xE9.txt\"", "Café.txt"},
        {"attachment; filename*=shift_jis''%87%40.txt", "①.txt"},
    };
    for (const auto& [value, name] : cases)
        EXPECT_EQ(HeaderParameter(value, "filename").value_or("<none>"), name) << value;
    EXPECT_FALSE(HeaderParameter("attachment; name=x", "filename"));
}

TEST(MimeText, HtmlToText) {
    const std::pair<const char*, const char*> cases[] = {
        {"<p>One</p><p>Two</p>", "One\r\n\r\nTwo"},
        {"<html><head><title>T</title><style>p{}</style></head><body>A<br>B</body></html>",
         "A\r\nB"},
        {"<script>var x = '<p>';</script>x &lt; y &amp;&#233;&#x20AC;&bogus;", "x < y &é€&bogus;"},
        {"a   <b>bold</b>\n\n  text<!-- <p>hidden</p> -->", "a bold text"},
        {"unterminated <a href=", "unterminated"},
    };
    for (const auto& [html, text] : cases) EXPECT_EQ(HtmlToText(html), text) << html;
}

}  // namespace
}  // namespace quill::store::mime
