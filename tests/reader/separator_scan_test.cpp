#include "reader/separator_scan.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace quill;
using Offsets = std::vector<uint64_t>;

namespace {

// Feeds the file whole, or in blocks of the sizes drawn by next(); runs of zeros go through
// feedZeros when zerosAsHoles is set, as the reader does for the holes of sparse files.
Offsets Scan(const std::string& file, const std::string& text,
             const std::function<size_t()>& next = {}, bool zerosAsHoles = false) {
    SeparatorScanner scanner(text);
    Offsets found;
    size_t pos = 0, n;
    do {  // an empty file too is fed, as an empty block
        n = std::min(file.size() - pos, next ? next() : file.size());
        if (zerosAsHoles && file[pos] == '\0') {
            for (n = 0; pos + n < file.size() && file[pos + n] == '\0';) ++n;
            scanner.feedZeros(n, found);
        } else {
            scanner.feed(file.data() + pos, n, found);
        }
        pos += n;
    } while (pos < file.size());
    EXPECT_EQ(scanner.bytesSeen(), file.size());
    return found;
}

}  // namespace

TEST(SeparatorRule, FindsTheSearchTextOnlyWhereALineStarts) {
    struct Row {
        const char* what;
        std::string file;
        Offsets expected;
        std::string text = "From ";
    } rows[] = {
        {"at the start of the file", "From a\nX: 1\n", {0}},
        {"after LF", "x\nFrom a\nX", {2}},
        {"after a lone CR", "x\rFrom a\rX", {2}},
        // The UTF-8 byte-order mark EF BB BF, in octal.
        {"right after a byte-order mark", "\357\273\277From a\nX", {3}},
        {"byte-order mark not at the start", "x\n\357\273\277From a\nX", {}},
        {"half a byte-order mark", "\357\273From a\nX", {}},
        {"inside a subject line", "From a\nSubject: Greetings From Rome\nX", {0}},
        {"header with a colon", "From: a@b\nX", {}},
        {"two separator lines in a row", "From a\nFrom b\nX", {0, 7}},
        {"separator text twice on one line", "From From x\nX", {0}},
        {"exactly the search text", "From ", {}},
        {"the search text and one byte", "From x", {0}},
        {"empty file", "", {}},
        {"an empty search text finds nothing", "From a\nFrom b\n", {}, ""},
        {"no overlaps: the search goes on after a match", "aaaa\naaa\n", {0, 5}, "aa"},
        {"a search text of lines", "a\nb\nb\nx", {0}, "a\nb"},
        {"line ends as the search text", "\n\n\nx", {0, 1, 2}, "\n"},
        {"the last byte never belongs to a match", "x\rx\r\nx", {0, 2}, "x"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Scan(row.file, row.text), row.expected) << row.what;
        EXPECT_EQ(FindSeparatorsSimple(row.file, row.text), row.expected) << row.what;
    }
}

TEST(SeparatorScanner, GivesTheSameOffsetsForEveryWayOfCuttingTheFile) {
    std::mt19937_64 random(20260612);
    const std::vector<std::string> pieces = {"From ",   "From a@b Mon\n",
                                             "\n",      "\r",
                                             "\r\n",    ">From x",
                                             "From: a", "from ",
                                             "x",       "Subject: Greetings From Rome",
                                             "F",       "Fro",
                                             " ",       std::string(40, '\0')};
    const std::vector<std::string> texts = {"From ", "aa",        "\n",
                                            "F",     "From: a\n", std::string(2, '\0')};
    for (int round = 0; round < 300; ++round) {
        std::string file = round % 5 == 0 ? "\xEF\xBB\xBF" : "";
        const int count = static_cast<int>(random() % 60);
        for (int i = 0; i < count; ++i) file += pieces[random() % pieces.size()];
        if (round % 7 == 0) file += std::string(10000 + random() % 5000, '\0');
        for (const auto& text : texts) {
            const Offsets expected = FindSeparatorsSimple(file, text);
            auto randomSize = [&] { return size_t{1} + random() % 17; };
            ASSERT_EQ(Scan(file, text), expected) << round;
            ASSERT_EQ(Scan(file, text, [] { return size_t{1}; }), expected) << round;
            ASSERT_EQ(Scan(file, text, randomSize), expected) << round;
            ASSERT_EQ(Scan(file, text, randomSize, true), expected) << round;
        }
    }
}
