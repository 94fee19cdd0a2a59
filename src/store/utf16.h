#pragma once
// UTF-8 text to UTF-16LE bytes, as the Outlook formats store strings (PtypString in .pst and
// .msg files). Every string property of every message goes through here, bodies included, so
// ASCII runs are widened sixteen bytes at a time (eight without SSE2).
//
// Invalid UTF-8 never loses the text around it: each byte that does not start a well-formed
// sequence (stray continuation bytes, truncated or overlong sequences, surrogates, code points
// past U+10FFFF) becomes one U+FFFD and conversion goes on with the next byte. A NUL byte also
// becomes U+FFFD, since a PtypString ends at its first NUL for most readers. This is what
// g_utf8_make_valid() followed by g_utf8_to_utf16() gives.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/model.h"

namespace quill::store {

// Room enough for the UTF-16LE form of utf8: every input byte gives at most one UTF-16 unit
// (a four-byte sequence gives two).
inline size_t MaxUtf16leSize(std::string_view utf8) {
    return 2 * utf8.size();
}

// Writes the UTF-16LE form of utf8 (no terminating NUL) to out, which has room for
// MaxUtf16leSize(utf8) bytes, and returns its size in bytes. The room may be left
// uninitialised: a body is not first filled with zeros only to be written over.
size_t PutUtf16le(uint8_t* out, std::string_view utf8);

// Appends the UTF-16LE form of utf8 to out (no terminating NUL).
void AppendUtf16le(Bytes& out, std::string_view utf8);

// The UTF-16LE form of utf8 (no terminating NUL).
Bytes Utf16le(std::string_view utf8);

// The size in bytes of Utf16le(utf8), without making it: a long body can then be written out
// piece by piece with its size known beforehand.
uint64_t Utf16leSize(std::string_view utf8);

// Where a piece of utf8 that should end at `at` may end instead: `at` itself, or up to three
// bytes before it, so that no well-formed sequence is cut in two. Converting the pieces cut
// this way one after the other gives exactly Utf16le(utf8).
size_t Utf8PieceEnd(std::string_view utf8, size_t at);

}  // namespace quill::store
