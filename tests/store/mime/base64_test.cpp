// The quick base64 decoder: a short last quartet gives its whole bytes; anything it must leave
// to the lenient decoder is refused, wherever it stands. (Plain base64 in the pieces the import
// reads is decoded end to end by the import's and the runs' tests.)

#include "store/mime/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quill::store::mime {
namespace {

// Feeds `text` in pieces of `piece` bytes; the bytes decoded, or nothing if refused.
std::optional<Bytes> Decode(const std::string& text, size_t piece) {
    Bytes out;
    Base64LineDecoder decoder(out);
    for (size_t at = 0; at < text.size(); at += piece)
        if (!decoder.feed(text.data() + at, std::min(piece, text.size() - at))) return std::nullopt;
    if (!decoder.finish()) return std::nullopt;
    return out;
}

TEST(Base64LineDecoder, AShortLastQuartetGivesItsWholeBytes) {
    EXPECT_EQ(Decode("QUJDQUI\r\n", 1), (Bytes{'A', 'B', 'C', 'A', 'B'}));
    EXPECT_EQ(Decode("QUJDQQ\n", 100), (Bytes{'A', 'B', 'C', 'A'}));
    EXPECT_EQ(Decode("QUJDQQ=", 3), (Bytes{'A', 'B', 'C', 'A'}));  // one of two signs
    // A lone symbol holds no whole byte: it is dropped, and said so.
    Bytes out;
    Base64LineDecoder decoder(out);
    ASSERT_TRUE(decoder.feed("QUJDQ\r\n", 7));
    ASSERT_TRUE(decoder.finish());
    EXPECT_TRUE(decoder.droppedLoneSymbol());
    EXPECT_EQ(out, (Bytes{'A', 'B', 'C'}));
}

TEST(Base64LineDecoder, RefusesWhatIsNotPlainBase64) {
    std::string clean;  // 2,280 bytes of 'Z' in lines of 76 symbols
    for (int quartet = 1; quartet <= 760; ++quartet) clean += quartet % 19 ? "Wlpa" : "Wlpa\r\n";
    struct Case {
        const char* what;
        size_t at;
        const char* inserted;
    };
    const Case cases[] = {
        {"a stray byte", 100, "!"},
        {"an 8-bit byte", 2000, "\xC3"},
        {"a blank in a line", 10, " "},
        {"a blank at a line end", 76, " "},
        {"a CR without its LF", 30, "\r"},
        {"padding in the middle", 152, "QQ=="},
        {"padding in the middle of a quartet", 152, "Q="},
        {"padding alone at the end", clean.size(), "=\r\n"},
    };
    for (const Case& c : cases) {
        std::string text = clean;
        text.insert(c.at, c.inserted);
        for (size_t piece : {1u, 154u, 156u, 65536u})
            EXPECT_FALSE(Decode(text, piece).has_value()) << c.what << ", piece " << piece;
    }
}

}  // namespace
}  // namespace quill::store::mime
