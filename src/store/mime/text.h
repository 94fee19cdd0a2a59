#pragma once
// Text helpers of the MIME import: turning bytes in a declared (or undeclared) charset into
// UTF-8 without losing any of them, Windows code page numbers for charsets, line ends, and a
// plain-text rendering of an HTML body.

#include <string>
#include <string_view>
#include <vector>

namespace quill::store::mime {

// Sets GMime up, once per process; every helper here that uses GMime's charset tables calls
// it, so they work whatever ran before them.
void InitGMime();

bool IsValidUtf8(std::string_view bytes);

// Windows-1252, with the five bytes that code page leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) kept as the C1 controls of the same number, so that no byte is ever lost.
std::string Windows1252ToUtf8(std::string_view bytes);

// Bytes of no declared charset: UTF-8 when they are valid UTF-8, else Windows-1252.
std::string UndeclaredToUtf8(std::string_view bytes);

struct DecodedText {
    std::string text;             // UTF-8
    bool unknownCharset = false;  // the charset is not known; read as undeclared bytes
    bool invalidBytes = false;    // some bytes were not valid in the charset; read as Windows-1252
    int codePage = 0;             // Windows code page of what the bytes were read as; 0 when none
};

// Converts bytes in `charset` (as named in a Content-Type or an encoded word; empty = none) to
// UTF-8, reading a legacy charset as its Windows superset, as mail programs and browsers do.
DecodedText DecodeCharset(std::string_view bytes, std::string_view charset);

// Every charset label DecodeCharset knows by name.
std::vector<std::string> KnownCharsetLabels();

// Every line end (CR LF, lone LF, lone CR) as CR LF.
std::string NormaliseLineEnds(std::string_view text);

// A readable plain-text rendering of an HTML document (UTF-8 in, UTF-8 out): tags removed,
// script and style dropped, block elements on lines of their own, character references decoded.
std::string HtmlToText(std::string_view html);

}  // namespace quill::store::mime
