#pragma once
// Text of header fields: encoded words (RFC 2047), parameters (RFC 2231) and undeclared 8-bit
// bytes, decoded the way mail programs show them. GMime's decoder joins the encoded text of
// adjacent words before decoding it, which loses everything after a word's base64 padding;
// here each word is decoded on its own and the bytes of adjacent words in one charset are
// joined before they become text, so that a character a sender split across two words stays
// whole.

#include <optional>
#include <string>
#include <string_view>

namespace quill::store::mime {

struct HeaderText {
    std::string text;      // UTF-8
    bool damaged = false;  // an encoded word could not be decoded (kept as it stands) or held
                           // bytes its charset does not allow (read as Windows-1252)
};

// An unstructured header value (unfolded), such as a Subject.
HeaderText DecodeHeaderText(std::string_view value);

// An address list with every run of adjacent encoded words rewritten as one UTF-8 encoded word
// and undeclared 8-bit text made UTF-8, for an address parser to take apart without losing a
// letter. Encoded words stay encoded: decoded, they could hold commas or angle brackets.
std::string NormaliseAddressText(std::string_view value, bool* damaged = nullptr);

// Whether GMime's own decoding of the value could differ from ours: 8-bit text, encoded words
// next to each other or in a charset other than UTF-8 or US-ASCII, or words that do not decode.
bool NeedsOwnDecoding(std::string_view value);

// The value of parameter `name` of a structured header value such as a Content-Disposition
// ("attachment; filename=..."): RFC 2231 continuations and charsets, encoded words inside a
// quoted value (not standard, but common), undeclared 8-bit text. The first one wins.
std::optional<std::string> HeaderParameter(std::string_view value, std::string_view name,
                                           bool* damaged = nullptr);

}  // namespace quill::store::mime
