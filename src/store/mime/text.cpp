#include "store/mime/text.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
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

bool IsUtf8Name(const std::string& lower) {
    return lower == "utf-8" || lower == "utf8" || lower == "us-ascii" || lower == "ascii" ||
           lower == "ansi_x3.4-1968" || lower == "iso646-us";
}

// iconv for a charset, or -1. GMime reads "x-unknown" as the locale's charset, which would turn
// every 8-bit byte into a question mark; such labels are no charset at all.
iconv_t OpenDecoder(const std::string& charset) {
    InitGMime();
    std::string lower = LowerAscii(charset);
    if (lower == "x-unknown" || lower == "unknown-8bit" || lower == "unknown" ||
        lower == "x-user-defined")
        return reinterpret_cast<iconv_t>(-1);
    return g_mime_iconv_open("UTF-8", charset.c_str());
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

DecodedText DecodeCharset(std::string_view bytes, std::string_view charsetName) {
    DecodedText result;
    const std::string charset = LowerAscii(Trimmed(charsetName));
    // A text declared as UTF-8 or ASCII that is not valid UTF-8 is nearly always Windows-1252
    // mislabelled by the sending program.
    if (charset.empty() || IsUtf8Name(charset)) {
        const bool valid = IsValidUtf8(bytes);
        result.invalidBytes = !charset.empty() && !valid;
        result.text = valid ? std::string(bytes) : Windows1252ToUtf8(bytes);
        return result;
    }
    // Mail labelled Latin-1 is very often Windows-1252 (curly quotes, dashes, the euro sign in
    // 0x80..0x9F), as web browsers also assume; Windows-1252 itself is decoded here because
    // iconv refuses its five unassigned bytes.
    if (charset == "windows-1252" || charset == "cp1252" || charset == "iso-8859-1" ||
        charset == "latin1" || charset == "iso_8859-1") {
        result.text = Windows1252ToUtf8(bytes);
        return result;
    }
    iconv_t cd = OpenDecoder(charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        result.unknownCharset = true;
        result.text = UndeclaredToUtf8(bytes);
        return result;
    }
    std::string& out = result.text;
    out.reserve(bytes.size() + bytes.size() / 4 + 16);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char buf[16384];
    while (true) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        size_t rc = iconv(cd, inLeft > 0 ? &in : nullptr, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<size_t>(o - buf));
        if (rc != static_cast<size_t>(-1)) {
            if (inLeft == 0) break;
            continue;
        }
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL: a byte the charset does not allow, or a sequence cut at the end.
        // Keep the byte as Windows-1252 and go on after it.
        if (inLeft == 0) break;
        result.invalidBytes = true;
        AppendCp1252Byte(out, static_cast<unsigned char>(*in));
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    g_mime_iconv_close(cd);
    return result;
}

std::string RelabelUnknownCharsets(std::string_view value) {
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t begin = value.find("=?", pos);
        if (begin == std::string_view::npos) break;
        size_t q1 = value.find('?', begin + 2);
        if (q1 == std::string_view::npos || q1 + 2 >= value.size() || value[q1 + 2] != '?') break;
        size_t end = value.find("?=", q1 + 3);
        if (end == std::string_view::npos) break;
        std::string charset(value.substr(begin + 2, q1 - begin - 2));
        size_t star = charset.find('*');  // RFC 2231 language suffix
        if (star != std::string::npos) charset.resize(star);
        const char encoding =
            static_cast<char>(std::toupper(static_cast<unsigned char>(value[q1 + 1])));
        std::string_view payload = value.substr(q1 + 3, end - q1 - 3);
        out.append(value.substr(pos, begin - pos));
        pos = end + 2;
        iconv_t cd = OpenDecoder(charset);
        if (cd != reinterpret_cast<iconv_t>(-1) || (encoding != 'B' && encoding != 'Q')) {
            if (cd != reinterpret_cast<iconv_t>(-1)) g_mime_iconv_close(cd);
            out.append(value.substr(begin, pos - begin));
            continue;
        }
        std::string bytes;
        if (encoding == 'B') {
            std::string b64(payload);
            gsize len = 0;
            guchar* raw = g_base64_decode(b64.c_str(), &len);
            if (raw != nullptr) bytes.assign(reinterpret_cast<char*>(raw), len);
            g_free(raw);
        } else {
            for (size_t i = 0; i < payload.size(); ++i) {
                if (payload[i] == '_') {
                    bytes += ' ';
                } else if (payload[i] == '=' && i + 2 < payload.size() &&
                           g_ascii_isxdigit(payload[i + 1]) && g_ascii_isxdigit(payload[i + 2])) {
                    bytes += static_cast<char>(g_ascii_xdigit_value(payload[i + 1]) * 16 +
                                               g_ascii_xdigit_value(payload[i + 2]));
                    i += 2;
                } else {
                    bytes += payload[i];
                }
            }
        }
        out += IsValidUtf8(bytes) ? "=?utf-8?" : "=?windows-1252?";
        out.append(value.substr(q1 + 1, pos - q1 - 1));
    }
    out.append(value.substr(std::min(pos, value.size())));
    return out;
}

int CodePageOfCharset(std::string_view charsetName) {
    std::string cs = LowerAscii(Trimmed(charsetName));
    if (cs.empty()) return 0;
    // Windows code page identifiers of the charsets seen in mail.
    static const std::pair<const char*, int> kTable[] = {
        {"us-ascii", 20127},     {"ascii", 20127},       {"ansi_x3.4-1968", 20127},
        {"utf-8", 65001},        {"utf8", 65001},        {"utf-7", 65000},
        {"iso-8859-1", 28591},   {"latin1", 28591},      {"iso-8859-2", 28592},
        {"iso-8859-3", 28593},   {"iso-8859-4", 28594},  {"iso-8859-5", 28595},
        {"iso-8859-6", 28596},   {"iso-8859-7", 28597},  {"iso-8859-8", 28598},
        {"iso-8859-8-i", 38598}, {"iso-8859-9", 28599},  {"iso-8859-13", 28603},
        {"iso-8859-15", 28605},  {"windows-1250", 1250}, {"windows-1251", 1251},
        {"windows-1252", 1252},  {"windows-1253", 1253}, {"windows-1254", 1254},
        {"windows-1255", 1255},  {"windows-1256", 1256}, {"windows-1257", 1257},
        {"windows-1258", 1258},  {"cp1250", 1250},       {"cp1251", 1251},
        {"cp1252", 1252},        {"cp1253", 1253},       {"cp1254", 1254},
        {"cp1255", 1255},        {"cp1256", 1256},       {"cp1257", 1257},
        {"cp1258", 1258},        {"windows-874", 874},   {"tis-620", 874},
        {"koi8-r", 20866},       {"koi8-u", 21866},      {"iso-2022-jp", 50220},
        {"shift_jis", 932},      {"shift-jis", 932},     {"sjis", 932},
        {"windows-31j", 932},    {"cp932", 932},         {"euc-jp", 51932},
        {"gb2312", 936},         {"gbk", 936},           {"cp936", 936},
        {"gb18030", 54936},      {"big5", 950},          {"euc-kr", 51949},
        {"ks_c_5601-1987", 949}, {"iso-2022-kr", 50225}, {"utf-16", 1200},
        {"utf-16le", 1200},      {"utf-16be", 1201},
    };
    for (const auto& [name, cp] : kTable)
        if (cs == name) return cp;
    // Other spellings (latin-2, ISO_8859-2:1987, ...) through GMime's canonical names.
    InitGMime();
    const char* canon = g_mime_charset_canon_name(cs.c_str());
    if (canon != nullptr) {
        std::string c = LowerAscii(canon);
        if (c != cs)
            for (const auto& [name, cp] : kTable)
                if (c == name) return cp;
    }
    return 0;
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
