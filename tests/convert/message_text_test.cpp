#include "convert/message_text.h"

#include <gtest/gtest.h>

using namespace quill;

namespace {

std::string Convert(const std::string& bytes, size_t blockSize) {
    MessageText text;
    std::string out;
    for (size_t pos = 0; pos < bytes.size(); pos += blockSize)
        text.feed(bytes.data() + pos, std::min(blockSize, bytes.size() - pos), out);
    text.finish(out);
    return out;
}

}  // namespace

// (Any bytes, "From " lines and a last line without a line end: the conservation mailboxes.)
TEST(MessageText, WritesEveryLineEndAsCrLfAndEndsWithAnEmptyLine) {
    struct Row {
        const char* what;
        std::string message;
        std::string file;
    } rows[] = {
        {"LF CR is two line ends", "a\n\rb", "a\r\n\r\nb\r\n\r\n"},
        {"CR LF is one", "a\r\nb\r\r\n", "a\r\nb\r\n\r\n\r\n"},
        {"lone CR at the end", "a\r", "a\r\n\r\n"},
        {"blanks at the start are dropped", "  From a\n", "From a\r\n\r\n"},
        {"blanks at line ends stay", "From a  \nb \n", "From a  \r\nb \r\n\r\n"},
        {"only blanks", "   ", "\r\n\r\n"},
        {"blank line first", "  \nx", "\r\nx\r\n\r\n"},
        {"empty message", "", "\r\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MessageFileText(row.message), row.file) << row.what;
        for (size_t block : {size_t{1}, size_t{2}, size_t{3}, size_t{1000}})
            EXPECT_EQ(Convert(row.message, block), row.file)
                << row.what << " in blocks of " << block;
    }
}
