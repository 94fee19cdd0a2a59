#include "store/mime/text.h"

#include <gmime/gmime.h>

#include <iconv.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace quill::store::mime {

void InitGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// 0x80..0x9F of Windows-1252; the rest of the code page equals ISO-8859-1.
constexpr std::array<uint16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendCp1252Byte(std::string& out, unsigned char c) {
    AppendUtf8(out, (c >= 0x80 && c <= 0x9F) ? kCp1252High[c - 0x80] : c);
}

std::string LowerAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

std::string Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '"'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '"'))
        s.remove_suffix(1);
    return std::string(s);
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
    return g_utf8_validate_len(bytes.data(), bytes.size(), nullptr) != FALSE;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (char c : bytes) AppendCp1252Byte(out, static_cast<unsigned char>(c));
    return out;
}

std::string UndeclaredToUtf8(std::string_view bytes) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    return Windows1252ToUtf8(bytes);
}

namespace {

// How a declared charset's bytes are read.
enum class Reading {
    Iconv,        // by iconv, under the encoding's own name
    Utf8,         // UTF-8; bytes that are not are read as Windows-1252
    Ascii,        // undeclared (UTF-8 where valid, else Windows-1252): 8-bit text under an
                  // ASCII label was never meant as ASCII, nor likely as Windows-1252 when it
                  // is valid UTF-8
    Windows1252,  // our own table: iconv refuses the five bytes the code page leaves open
    Iso2022Jp,    // through Windows-31J, for the NEC and IBM rows Japanese Windows writes
    Unknown,      // no charset at all: read as undeclared text
};

struct Encoding {
    const char* iconvName;  // nullptr: the label itself
    int codePage;           // of the encoding; 0 when Windows has none
    Reading reading;
    const char* labels;  // blank-separated, lower case
};

// The charsets of mail as mail programs and web browsers read them: the labels of the WHATWG
// Encoding Standard, each legacy charset read as its Windows superset (ISO-8859-1 and US-ASCII
// as Windows-1252, ISO-8859-9 as Windows-1254, Shift_JIS as Windows-31J, EUC-KR and
// ks_c_5601-1987 as Windows-949, GB2312 as GB18030, Big5 as Big5-HKSCS), with the Windows code
// page number of what the bytes are read as. Where we differ from the standard: the labels it
// maps to its "replacement" encoding (ISO-2022-KR, ISO-2022-CN, HZ) are read as what they
// name, since a mail program has to show old mail in them; "x-user-defined" and the usual
// labels of no charset at all are read as undeclared text; UTF-7 is read.
constexpr Encoding kEncodings[] = {
    {nullptr, 65001, Reading::Utf8,
     "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8 x-unicode20utf8"},
    {"CP866", 866, Reading::Iconv, "866 cp866 csibm866 ibm866"},
    {"ISO-8859-2", 28592, Reading::Iconv,
     "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso88592 iso_8859-2 iso_8859-2:1987 l2 latin2"},
    {"ISO-8859-3", 28593, Reading::Iconv,
     "csisolatin3 iso-8859-3 iso-ir-109 iso8859-3 iso88593 iso_8859-3 iso_8859-3:1988 l3 latin3"},
    {"ISO-8859-4", 28594, Reading::Iconv,
     "csisolatin4 iso-8859-4 iso-ir-110 iso8859-4 iso88594 iso_8859-4 iso_8859-4:1988 l4 latin4"},
    {"ISO-8859-5", 28595, Reading::Iconv,
     "csisolatincyrillic cyrillic iso-8859-5 iso-ir-144 iso8859-5 iso88595 iso_8859-5 "
     "iso_8859-5:1988"},
    {"ISO-8859-6", 28596, Reading::Iconv,
     "arabic asmo-708 csiso88596e csiso88596i csisolatinarabic ecma-114 iso-8859-6 iso-8859-6-e "
     "iso-8859-6-i iso-ir-127 iso8859-6 iso88596 iso_8859-6 iso_8859-6:1987"},
    {"ISO-8859-7", 28597, Reading::Iconv,
     "csisolatingreek ecma-118 elot_928 greek greek8 iso-8859-7 iso-ir-126 iso8859-7 iso88597 "
     "iso_8859-7 iso_8859-7:1987 sun_eu_greek"},
    {"ISO-8859-8", 28598, Reading::Iconv,
     "csiso88598e csisolatinhebrew hebrew iso-8859-8 iso-8859-8-e iso-ir-138 iso8859-8 iso88598 "
     "iso_8859-8 iso_8859-8:1988 visual"},
    {"ISO-8859-8", 38598, Reading::Iconv, "csiso88598i iso-8859-8-i logical"},
    {"ISO-8859-10", 28600, Reading::Iconv,
     "csisolatin6 iso-8859-10 iso-ir-157 iso8859-10 iso885910 l6 latin6"},
    {"ISO-8859-13", 28603, Reading::Iconv, "iso-8859-13 iso8859-13 iso885913"},
    {"ISO-8859-14", 28604, Reading::Iconv, "iso-8859-14 iso8859-14 iso885914"},
    {"ISO-8859-15", 28605, Reading::Iconv,
     "csisolatin9 iso-8859-15 iso8859-15 iso885915 iso_8859-15 l9"},
    {"ISO-8859-16", 28606, Reading::Iconv, "iso-8859-16"},
    {"KOI8-R", 20866, Reading::Iconv, "cskoi8r koi koi8 koi8-r koi8_r"},
    {"KOI8-RU", 21866, Reading::Iconv, "koi8-ru koi8-u"},
    {"MACINTOSH", 10000, Reading::Iconv, "csmacintosh mac macintosh x-mac-roman"},
    {"CP874", 874, Reading::Iconv, "dos-874 iso-8859-11 iso8859-11 iso885911 tis-620 windows-874"},
    {"CP1250", 1250, Reading::Iconv, "cp1250 windows-1250 x-cp1250"},
    {"CP1251", 1251, Reading::Iconv, "cp1251 windows-1251 x-cp1251"},
    {nullptr, 1252, Reading::Windows1252,
     "cp1252 cp819 csisolatin1 ibm819 iso-8859-1 iso-ir-100 iso8859-1 iso88591 iso_8859-1 "
     "iso_8859-1:1987 l1 latin1 windows-1252 x-cp1252"},
    {nullptr, 1252, Reading::Ascii, "ansi_x3.4-1968 ascii us-ascii"},
    {"CP1253", 1253, Reading::Iconv, "cp1253 windows-1253 x-cp1253"},
    {"CP1254", 1254, Reading::Iconv,
     "cp1254 csisolatin5 iso-8859-9 iso-ir-148 iso8859-9 iso88599 iso_8859-9 iso_8859-9:1989 l5 "
     "latin5 windows-1254 x-cp1254"},
    {"CP1255", 1255, Reading::Iconv, "cp1255 windows-1255 x-cp1255"},
    {"CP1256", 1256, Reading::Iconv, "cp1256 windows-1256 x-cp1256"},
    {"CP1257", 1257, Reading::Iconv, "cp1257 windows-1257 x-cp1257"},
    {"CP1258", 1258, Reading::Iconv, "cp1258 windows-1258 x-cp1258"},
    {"MAC-CYRILLIC", 10007, Reading::Iconv, "x-mac-cyrillic x-mac-ukrainian"},
    {"GB18030", 936, Reading::Iconv,
     "chinese csgb2312 csiso58gb231280 gb2312 gb_2312 gb_2312-80 gbk iso-ir-58 x-gbk"},
    {"GB18030", 54936, Reading::Iconv, "gb18030"},
    {"BIG5-HKSCS", 950, Reading::Iconv, "big5 big5-hkscs cn-big5 csbig5 x-x-big5"},
    {"EUC-JP-MS", 51932, Reading::Iconv, "cseucpkdfmtjapanese euc-jp x-euc-jp"},
    {"CP932", 50220, Reading::Iso2022Jp, "csiso2022jp iso-2022-jp"},
    {"CP932", 932, Reading::Iconv,
     "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j x-sjis"},
    {"CP949", 949, Reading::Iconv,
     "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987 ks_c_5601-1989 ksc5601 "
     "ksc_5601 windows-949"},
    {"ISO-2022-KR", 50225, Reading::Iconv, "csiso2022kr iso-2022-kr"},
    {"ISO-2022-CN-EXT", 0, Reading::Iconv, "iso-2022-cn iso-2022-cn-ext"},
    {"HZ", 52936, Reading::Iconv, "hz-gb-2312"},
    {"UTF-16BE", 1201, Reading::Iconv, "unicodefffe utf-16be"},
    {"UTF-16LE", 1200, Reading::Iconv,
     "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16 utf-16le"},
    {"UTF-7", 65000, Reading::Iconv, "utf-7 unicode-1-1-utf-7 csunicode11utf7"},
    {nullptr, 0, Reading::Unknown,
     "replacement x-user-defined x-unknown unknown-8bit unknown x-unknown-8bit"},
};

const Encoding* FindLabel(const std::string& label) {
    static const std::unordered_map<std::string, const Encoding*> byLabel = [] {
        std::unordered_map<std::string, const Encoding*> m;
        for (const Encoding& e : kEncodings) {
            std::string_view labels = e.labels;
            while (!labels.empty()) {
                size_t blank = labels.find(' ');
                m.emplace(std::string(labels.substr(0, blank)), &e);
                labels.remove_prefix(blank == std::string_view::npos ? labels.size() : blank + 1);
            }
        }
        return m;
    }();
    auto it = byLabel.find(label);
    return it == byLabel.end() ? nullptr : it->second;
}

// The encoding of a label; for one outside the table, iconv under the label's own name (or
// GMime's canonical name for it, which finds other spellings such as "latin-2").
Encoding EncodingOf(std::string_view charsetName) {
    const std::string label = LowerAscii(Trimmed(charsetName));
    if (const Encoding* e = FindLabel(label)) return *e;
    InitGMime();
    if (const char* canon = g_mime_charset_canon_name(label.c_str())) {
        if (const Encoding* e = FindLabel(LowerAscii(canon))) return *e;
    }
    return Encoding{nullptr, 0, Reading::Iconv, nullptr};
}

// ISO-2022-JP as the Shift_JIS bytes of the same characters, for Windows-31J to read: Japanese
// Windows writes the NEC and IBM extension rows of JIS X 0208 in ISO-2022-JP as well, which
// iconv's strict decoder refuses. False for an escape sequence this does not know (JIS X 0212,
// ISO-2022-JP-2), which iconv then reads.
bool Iso2022JpToShiftJis(std::string_view in, std::string& out) {
    enum { kAscii, kJis0208, kKatakana } mode = kAscii;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0x1B) {
            std::string_view esc = in.substr(i + 1, 2);
            if (esc == "(B" || esc == "(J")
                mode = kAscii;
            else if (esc == "$@" || esc == "$B")
                mode = kJis0208;
            else if (esc == "(I")
                mode = kKatakana;
            else
                return false;
            i += 2;
            continue;
        }
        if (mode == kJis0208 && c >= 0x21 && c <= 0x7E && i + 1 < in.size()) {
            const unsigned char c2 = static_cast<unsigned char>(in[i + 1]);
            if (c2 >= 0x21 && c2 <= 0x7E) {
                out += static_cast<char>(((c + 1) >> 1) + (c <= 0x5E ? 0x70 : 0xB0));
                out += static_cast<char>(c2 + ((c & 1) ? (c2 >= 0x60 ? 0x20 : 0x1F) : 0x7E));
                ++i;
                continue;
            }
        }
        if (mode == kKatakana && c >= 0x21 && c <= 0x5F) {
            out += static_cast<char>(c + 0x80);
            continue;
        }
        out += static_cast<char>(c);
    }
    return true;
}

// Bytes through iconv; a byte the charset does not allow (or a sequence cut short at the end)
// is kept as Windows-1252. False when iconv does not know the charset.
bool IconvToUtf8(std::string_view bytes, const char* charset, DecodedText& result) {
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string& out = result.text;
    out.reserve(bytes.size() + bytes.size() / 4 + 16);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char buf[16384];
    while (true) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        // With all input taken, one more call with none gives what a stateful decoder still
        // holds (Windows-1255 and -1258 keep the last letter for a diacritic that may follow).
        const bool flush = inLeft == 0;
        size_t rc = iconv(cd, flush ? nullptr : &in, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<size_t>(o - buf));
        if (rc != static_cast<size_t>(-1)) {
            if (flush) break;
            continue;
        }
        if (errno == E2BIG) continue;
        if (inLeft == 0) {
            if (flush) break;  // a sequence cut short at the end
            continue;
        }
        result.invalidBytes = true;
        AppendCp1252Byte(out, static_cast<unsigned char>(*in));
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return true;
}

bool IsAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

DecodedText DecodeCharset(std::string_view bytes, std::string_view charsetName) {
    DecodedText result;
    bool declared = !Trimmed(charsetName).empty();
    Encoding e = declared ? EncodingOf(charsetName) : Encoding{nullptr, 0, Reading::Ascii, nullptr};
    // A byte order mark says more than the label, as in the Encoding Standard's decode.
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
        e = *FindLabel("utf-8");
        declared = true;
    } else if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        e = *FindLabel(bytes[0] == '\xFF' ? "utf-16le" : "utf-16be");
        bytes.remove_prefix(2);
        declared = true;
    }
    switch (e.reading) {
        case Reading::Utf8:
            if (IsValidUtf8(bytes)) {
                result.text = std::string(bytes);
            } else {
                // Nearly always Windows-1252 mislabelled by the sending program.
                result.text = Windows1252ToUtf8(bytes);
                result.invalidBytes = true;
            }
            result.codePage = 65001;
            return result;
        case Reading::Windows1252:
            result.text = Windows1252ToUtf8(bytes);
            result.codePage = 1252;
            return result;
        case Reading::Iso2022Jp: {
            std::string shiftJis;
            if (Iso2022JpToShiftJis(bytes, shiftJis) &&
                IconvToUtf8(shiftJis, e.iconvName, result)) {
                result.codePage = e.codePage;
                return result;
            }
            result = DecodedText{};
            if (IconvToUtf8(bytes, "ISO-2022-JP-2", result)) {
                result.codePage = e.codePage;
                return result;
            }
            break;
        }
        case Reading::Iconv: {
            const std::string name = e.iconvName != nullptr ? e.iconvName : Trimmed(charsetName);
            if (IconvToUtf8(bytes, name.c_str(), result)) {
                result.codePage = e.codePage;
                return result;
            }
            break;
        }
        case Reading::Ascii:
        case Reading::Unknown:
            break;
    }
    result = DecodedText{};
    result.unknownCharset = declared && e.reading != Reading::Ascii;
    if (IsValidUtf8(bytes)) {
        result.text = std::string(bytes);
        result.codePage = IsAscii(bytes) && e.reading == Reading::Ascii && declared ? 1252 : 65001;
    } else {
        result.text = Windows1252ToUtf8(bytes);
        result.codePage = 1252;
    }
    return result;
}

std::vector<std::string> KnownCharsetLabels() {
    std::vector<std::string> labels;
    for (const Encoding& e : kEncodings) {
        std::string_view list = e.labels;
        while (!list.empty()) {
            const size_t blank = list.find(' ');
            labels.emplace_back(list.substr(0, blank));
            list.remove_prefix(blank == std::string_view::npos ? list.size() : blank + 1);
        }
    }
    return labels;
}

std::string NormaliseLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // The text up to the next line end goes over in one piece.
        size_t end = i;
        while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
        out.append(text.data() + i, end - i);
        if (end == n) break;
        out += "\r\n";
        i = end + (text[end] == '\r' && end + 1 < n && text[end + 1] == '\n' ? 2 : 1);
    }
    return out;
}

namespace {

bool StartsWithNoCase(std::string_view s, size_t pos, std::string_view prefix) {
    if (s.size() - pos < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[pos + i])) != prefix[i]) return false;
    return true;
}

size_t FindNoCase(std::string_view s, size_t from, std::string_view needle) {
    for (size_t i = from; i + needle.size() <= s.size(); ++i)
        if (StartsWithNoCase(s, i, needle)) return i;
    return std::string_view::npos;
}

void AppendEntity(std::string& out, std::string_view name) {
    static const std::pair<const char*, uint32_t> kNamed[] = {
        {"amp", '&'},     {"lt", '<'},       {"gt", '>'},       {"quot", '"'},
        {"apos", '\''},   {"nbsp", 0xA0},    {"copy", 0xA9},    {"reg", 0xAE},
        {"euro", 0x20AC}, {"ndash", 0x2013}, {"mdash", 0x2014}, {"hellip", 0x2026},
        {"laquo", 0xAB},  {"raquo", 0xBB},   {"bull", 0x2022},  {"trade", 0x2122},
    };
    if (!name.empty() && name[0] == '#') {
        uint32_t cp = 0;
        bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
        for (size_t i = hex ? 2 : 1; i < name.size(); ++i) {
            int d = hex ? g_ascii_xdigit_value(name[i]) : g_ascii_digit_value(name[i]);
            if (d < 0 || cp > 0x10FFFF) return AppendUtf8(out, 0xFFFD);
            cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        }
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        return AppendUtf8(out, cp);
    }
    for (const auto& [n, cp] : kNamed)
        if (name == n) return AppendUtf8(out, cp);
    out += '&';
    out.append(name);
    out += ';';
}

}  // namespace

std::string HtmlToText(std::string_view html) {
    static const char* const kBlockTags[] = {"br",         "p",  "div", "tr", "li",  "h1",
                                             "h2",         "h3", "h4",  "h5", "h6",  "table",
                                             "blockquote", "hr", "ul",  "ol", "pre", "title"};
    std::string out;
    out.reserve(html.size() / 2);
    bool pendingSpace = false;
    auto newline = [&] {
        // At most one blank line in a row.
        if (out.size() >= 4 && out.compare(out.size() - 4, 4, "\r\n\r\n") == 0) return;
        if (!out.empty()) out += "\r\n";
        pendingSpace = false;
    };
    size_t i = 0;
    while (i < html.size()) {
        char c = html[i];
        if (c == '<') {
            if (StartsWithNoCase(html, i, "<!--")) {
                size_t end = html.find("-->", i + 4);
                i = end == std::string_view::npos ? html.size() : end + 3;
                continue;
            }
            size_t end = html.find('>', i);
            if (end == std::string_view::npos) break;
            size_t p = i + 1;
            bool closing = p < end && html[p] == '/';
            if (closing) ++p;
            size_t nameEnd = p;
            while (nameEnd < end && std::isalnum(static_cast<unsigned char>(html[nameEnd])))
                ++nameEnd;
            std::string name = LowerAscii(html.substr(p, nameEnd - p));
            i = end + 1;
            if (!closing && (name == "script" || name == "style" || name == "head")) {
                size_t close = FindNoCase(html, i, "</" + name);
                if (close == std::string_view::npos) break;
                size_t closeEnd = html.find('>', close);
                i = closeEnd == std::string_view::npos ? html.size() : closeEnd + 1;
                continue;
            }
            for (const char* block : kBlockTags)
                if (name == block) {
                    newline();
                    break;
                }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
            pendingSpace = true;
            ++i;
            continue;
        }
        if (pendingSpace && !out.empty() && out.back() != '\n') out += ' ';
        pendingSpace = false;
        if (c == '&') {
            size_t semi = html.find(';', i);
            if (semi != std::string_view::npos && semi - i <= 10 && semi > i + 1) {
                AppendEntity(out, html.substr(i + 1, semi - i - 1));
                i = semi + 1;
                continue;
            }
        }
        out += c;
        ++i;
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

}  // namespace quill::store::mime
