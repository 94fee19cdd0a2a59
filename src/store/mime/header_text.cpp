#include "store/mime/header_text.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

#include "store/mime/text.h"

namespace quill::store::mime {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The bytes of a base64 payload; false when it holds a byte base64 does not have or a lone
// symbol after its last whole quartet. A quartet cut short without its padding still gives
// its bytes.
bool DecodeBase64(std::string_view payload, std::string& out) {
    uint32_t bits = 0;
    int held = 0;
    size_t symbols = 0;
    for (char c : payload) {
        if (c == '=') break;
        const int v = Base64Value(c);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        ++symbols;
        if (++held == 4) {
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
            bits = 0;
            held = 0;
        }
    }
    if (held == 1) return false;
    if (held == 2) out += static_cast<char>(bits >> 4);
    if (held == 3) {
        out += static_cast<char>(bits >> 10);
        out += static_cast<char>(bits >> 2);
    }
    return symbols > 0 || payload.empty() || payload.front() == '=';
}

void DecodeQ(std::string_view payload, std::string& out) {
    for (size_t i = 0; i < payload.size(); ++i) {
        const char c = payload[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < payload.size() + 0 && HexValue(payload[i + 1]) >= 0 &&
                   HexValue(payload[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(payload[i + 1]) * 16 + HexValue(payload[i + 2]));
            i += 2;
        } else {
            out += c;  // a stray "=" is kept, as mail programs do
        }
    }
}

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A piece of a header value: text as it stands, or the bytes of one encoded word.
struct Piece {
    bool word = false;
    std::string_view text;  // the text, or the encoded word as written
    std::string charset;    // lower case, without an RFC 2231 language
    std::string bytes;
};

// Finds the encoded word starting at `at` ("=?charset?E?payload?="), if one does. Each look
// ends at the next "?", so that a hostile value of many "=?" costs no more than its length.
bool ReadWord(std::string_view s, size_t at, Piece& word, size_t& end) {
    const size_t q1 = s.find('?', at + 2);
    if (q1 == std::string_view::npos || q1 == at + 2 || q1 - at > 80 || q1 + 2 >= s.size() ||
        s[q1 + 2] != '?')
        return false;
    std::string_view charset = s.substr(at + 2, q1 - at - 2);
    if (std::any_of(charset.begin(), charset.end(), [](char c) { return IsBlank(c); }))
        return false;
    const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(s[q1 + 1])));
    if (encoding != 'B' && encoding != 'Q') return false;
    const size_t close = s.find('?', q1 + 3);
    if (close == std::string_view::npos || close + 1 >= s.size() || s[close + 1] != '=')
        return false;
    std::string_view payload = s.substr(q1 + 3, close - q1 - 3);
    if (payload.find('?') != std::string_view::npos) return false;
    end = close + 2;
    word.word = true;
    word.text = s.substr(at, end - at);
    word.charset = Lower(charset.substr(0, charset.find('*')));
    word.bytes.clear();
    if (encoding == 'Q') {
        DecodeQ(payload, word.bytes);
        return true;
    }
    if (!DecodeBase64(payload, word.bytes)) word.word = false;  // kept as it stands
    return true;
}

// The value cut into text and encoded words; blanks between two encoded words are dropped.
// `damaged` is set for a word that could not be decoded.
std::vector<Piece> Pieces(std::string_view s, bool& damaged) {
    std::vector<Piece> pieces;
    size_t textStart = 0;
    size_t pos = 0;
    while ((pos = s.find("=?", pos)) != std::string_view::npos) {
        Piece word;
        size_t end = 0;
        if (!ReadWord(s, pos, word, end)) {
            pos += 2;
            continue;
        }
        if (!word.word) damaged = true;
        std::string_view before = s.substr(textStart, pos - textStart);
        const bool onlyBlanks = std::all_of(before.begin(), before.end(), IsBlank);
        if (!before.empty() && !(onlyBlanks && word.word && !pieces.empty() && pieces.back().word))
            pieces.push_back(Piece{false, before, {}, {}});
        if (word.word)
            pieces.push_back(std::move(word));
        else
            pieces.push_back(Piece{false, s.substr(pos, end - pos), {}, {}});
        pos = textStart = end;
    }
    if (textStart < s.size()) pieces.push_back(Piece{false, s.substr(textStart), {}, {}});
    return pieces;
}

// Calls `run(text)` for each run of adjacent encoded words, with their text: the bytes of
// neighbours in one charset joined before they are decoded. `plain(text)` gets the rest.
template <typename Run, typename Plain>
void ForEachRun(const std::vector<Piece>& pieces, bool& damaged, Run run, Plain plain) {
    for (size_t i = 0; i < pieces.size();) {
        if (!pieces[i].word) {
            plain(pieces[i].text);
            ++i;
            continue;
        }
        std::string text;
        while (i < pieces.size() && pieces[i].word) {
            std::string bytes = pieces[i].bytes;
            const std::string& charset = pieces[i].charset;
            for (++i; i < pieces.size() && pieces[i].word && pieces[i].charset == charset; ++i)
                bytes += pieces[i].bytes;
            DecodedText decoded = DecodeCharset(bytes, charset);
            damaged |= decoded.invalidBytes;
            text += decoded.text;
        }
        run(text);
    }
}

std::string Base64(std::string_view bytes) {
    static const char kSymbols[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) |
                           (uint32_t(uint8_t(bytes[i + 1])) << 8) | uint8_t(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0}) out += kSymbols[(v >> shift) & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += kSymbols[(v >> 18) & 63];
        out += kSymbols[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kSymbols[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace

HeaderText DecodeHeaderText(std::string_view value) {
    HeaderText result;
    if (value.find("=?") == std::string_view::npos) {
        result.text = UndeclaredToUtf8(value);
        return result;
    }
    std::vector<Piece> pieces = Pieces(value, result.damaged);
    ForEachRun(
        pieces, result.damaged, [&](const std::string& text) { result.text += text; },
        [&](std::string_view text) { result.text += UndeclaredToUtf8(text); });
    return result;
}

std::string NormaliseAddressText(std::string_view value, bool* damaged) {
    if (value.find("=?") == std::string_view::npos) return UndeclaredToUtf8(value);
    bool broken = false;
    std::string out;
    std::vector<Piece> pieces = Pieces(value, broken);
    ForEachRun(
        pieces, broken, [&](const std::string& text) { out += "=?utf-8?b?" + Base64(text) + "?="; },
        [&](std::string_view text) { out += UndeclaredToUtf8(text); });
    if (damaged != nullptr) *damaged |= broken;
    return out;
}

bool NeedsOwnDecoding(std::string_view value) {
    if (std::any_of(value.begin(), value.end(),
                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return true;
    if (value.find("=?") == std::string_view::npos) return false;
    bool damaged = false;
    std::vector<Piece> pieces = Pieces(value, damaged);
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (!pieces[i].word) continue;
        if (i + 1 < pieces.size() && pieces[i + 1].word) return true;
        const std::string& cs = pieces[i].charset;
        if (cs != "utf-8" && cs != "utf8" && cs != "us-ascii") return true;
    }
    return damaged;
}

std::optional<std::string> HeaderParameter(std::string_view value, std::string_view name,
                                           bool* damaged) {
    const std::string wanted = Lower(name);
    // The parameters as written: plain values, the RFC 2231 value ("name*"), and sections.
    std::optional<std::string> plain, extended;
    std::map<int, std::pair<std::string, bool>> sections;  // number: value, percent-encoded
    size_t pos = value.find(';');
    while (pos != std::string_view::npos && pos < value.size()) {
        ++pos;
        while (pos < value.size() && IsBlank(value[pos])) ++pos;
        size_t eq = pos;
        while (eq < value.size() && value[eq] != '=' && value[eq] != ';') ++eq;
        std::string attribute = Lower(value.substr(pos, eq - pos));
        while (!attribute.empty() && IsBlank(attribute.back())) attribute.pop_back();
        if (eq >= value.size() || value[eq] == ';') {
            pos = eq < value.size() ? eq : std::string_view::npos;
            continue;
        }
        pos = eq + 1;
        while (pos < value.size() && IsBlank(value[pos])) ++pos;
        std::string v;
        if (pos < value.size() && value[pos] == '"') {
            // A quoted string, to its closing quote (or the end of an unterminated one).
            for (++pos; pos < value.size() && value[pos] != '"'; ++pos) {
                if (value[pos] == '\\' && pos + 1 < value.size()) ++pos;
                v += value[pos];
            }
            pos = value.find(';', pos);
        } else {
            size_t end = value.find(';', pos);
            v = std::string(value.substr(pos, end == std::string_view::npos ? end : end - pos));
            while (!v.empty() && IsBlank(v.back())) v.pop_back();
            pos = end;
        }
        if (attribute == wanted) {
            if (!plain) plain = std::move(v);
        } else if (attribute == wanted + "*") {
            if (!extended) extended = std::move(v);
        } else if (attribute.size() > wanted.size() + 1 &&
                   attribute.compare(0, wanted.size() + 1, wanted + "*") == 0) {
            std::string_view number = std::string_view(attribute).substr(wanted.size() + 1);
            const bool encoded = number.ends_with('*');
            if (encoded) number.remove_suffix(1);
            if (number.empty() || number.size() > 4 ||
                !std::all_of(number.begin(), number.end(),
                             [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
                continue;
            sections.emplace(std::stoi(std::string(number)), std::pair{std::move(v), encoded});
        }
    }

    // RFC 2231: charset'language'percent-encoded bytes, in one value or over sections.
    auto percentDecoded = [](std::string_view s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '%' && i + 2 < s.size() + 0 && HexValue(s[i + 1]) >= 0 &&
                HexValue(s[i + 2]) >= 0) {
                out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    auto withCharset = [&](std::string_view first, bool encoded, std::string& charset) {
        if (!encoded) return std::string(first);
        const size_t q1 = first.find('\'');
        const size_t q2 = q1 == std::string_view::npos ? q1 : first.find('\'', q1 + 1);
        if (q2 == std::string_view::npos) return percentDecoded(first);
        charset = std::string(first.substr(0, q1));
        return percentDecoded(first.substr(q2 + 1));
    };
    auto text = [&](const std::string& bytes, const std::string& charset) {
        if (charset.empty()) {
            HeaderText decoded = DecodeHeaderText(bytes);
            if (damaged != nullptr) *damaged |= decoded.damaged;
            return decoded.text;
        }
        DecodedText decoded = DecodeCharset(bytes, charset);
        if (damaged != nullptr) *damaged |= decoded.invalidBytes;
        return decoded.text;
    };
    if (extended) {
        std::string charset;
        std::string bytes = withCharset(*extended, true, charset);
        return text(bytes, charset);
    }
    if (!sections.empty() && sections.begin()->first == 0) {
        std::string charset, bytes;
        int next = 0;
        for (const auto& [n, section] : sections) {
            if (n != next++) break;  // a gap: what follows belongs to nothing
            bytes += n == 0 ? withCharset(section.first, section.second, charset)
                            : (section.second ? percentDecoded(section.first) : section.first);
        }
        return text(bytes, charset);
    }
    if (plain) return text(*plain, {});
    return std::nullopt;
}

}  // namespace quill::store::mime
