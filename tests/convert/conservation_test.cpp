// Nothing is lost between messages: over many generated mailboxes, the message files of an
// EML or EMLX run together hold every byte of the mailbox from its first separator on (line
// ends made CR LF), and there is one file per separator the reader found.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "convert/run.h"
#include "run_support.h"

namespace fs = std::filesystem;
using namespace quill;

using namespace quill::testing;
using Host = ScriptedRunHost;

namespace {

// Every line end (CR LF, lone CR, lone LF) as CR LF.
std::string NormaliseLineEnds(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
            out += "\r\n";
        } else if (bytes[i] == '\n') {
            out += "\r\n";
        } else {
            out += bytes[i];
        }
    }
    return out;
}

// A mailbox of the kinds people have: any line ends (mixed too), separator lines, quoted
// ">From " lines, "From " inside lines, binary and NUL bytes, lines longer than a read
// block, text before the first separator, and often no line end at the very end.
std::string GenerateMailbox(std::mt19937_64& rng) {
    auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
    const char* const ends[] = {"\n", "\r\n", "\r"};
    const bool mixedEnds = pick(3) == 0;
    const char* fixedEnd = ends[pick(3)];
    auto eol = [&]() -> std::string { return mixedEnds ? ends[pick(3)] : fixedEnd; };

    std::string box;
    if (pick(10) == 0) box += "\xEF\xBB\xBF";  // a byte-order mark before the first separator
    if (pick(4) == 0) box += "preamble, not mail" + eol();
    const uint64_t messages = pick(12);
    for (uint64_t m = 0; m < messages; ++m) {
        box += "From sender" + std::to_string(m) + "@example.org Mon Jan  1 00:00:00 2024" + eol();
        box += "Subject: message " + std::to_string(m) + eol() + eol();
        for (uint64_t line = 0, lines = pick(20); line < lines; ++line) {
            switch (pick(10)) {
                case 0:
                    box += ">From the body, quoted" + eol();
                    break;
                case 1:
                    box += "text before From inside a line" + eol();
                    break;
                case 2: {
                    std::string bin(pick(200), '\0');
                    for (auto& c : bin) c = static_cast<char>(pick(256));
                    box += bin + eol();
                    break;
                }
                case 3:
                    box += std::string(pick(5000), '\0') + eol();
                    break;
                case 4:
                    box += "From: a header-like line" + eol() + "from lower case" + eol();
                    break;
                case 5:
                    if (pick(25) == 0) {  // longer than a read block of the reader and cutter
                        box += std::string((size_t{1} << 20) + pick(4096), 'x');
                        box += "From in a long line" + eol();
                    }
                    break;
                default:
                    box += "body line " + std::to_string(pick(1000000)) + eol();
            }
        }
    }
    if (pick(3) == 0 && !box.empty()) box.erase(box.size() - 1);  // no final line end
    if (pick(8) == 0) box += "From ";  // separator text as the last bytes: not a separator
    return box;
}

}  // namespace

TEST(Conservation, MessageFilesHoldEveryByteFromTheFirstSeparatorOn) {
    const ScratchDir scratch;
    const fs::path root = scratch.path(), mailboxPath = root / "in" / "box.mbox";
    for (int seed = 0; seed < 150; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        const std::string box = GenerateMailbox(rng);
        fs::remove_all(root);
        WriteFile(mailboxPath, box);

        const OutputKind kind = seed % 2 ? OutputKind::EMLX : OutputKind::EML;
        const std::string ext = seed % 2 ? ".emlx" : ".eml";
        Host host;
        host.folderAnswer = (root / "out").string();
        RunSummary s = RunConversion(host, kind, {mailboxPath.string()});
        ASSERT_TRUE(s.failures.empty()) << s.failures[0].reason;

        // The separators: "From " where a line starts (after a LF or a CR, at offset 0, or
        // after a UTF-8 byte-order mark), followed by at least one more byte of the file.
        std::vector<uint64_t> seps;
        for (size_t at = box.find("From "); at != std::string::npos && at + 5 < box.size();
             at = box.find("From ", at + 1)) {
            const bool lineStart = at == 0 || box[at - 1] == '\n' || box[at - 1] == '\r' ||
                                   (at == 3 && box.compare(0, 3, "\xEF\xBB\xBF") == 0);
            if (lineStart) seps.push_back(at);
        }
        ASSERT_EQ(host.lastCaption(Caption::LblEmlsFound),
                  std::to_string(seps.size()) + " Messages");

        const fs::path folder = root / "out" / mailboxPath.relative_path();
        // One file per message and nothing else: the files are read by their names below.
        ASSERT_EQ(FilesBelow(folder).size(), seps.size());
        if (seps.empty()) continue;

        // Joined, the files give the mailbox from its first separator. Each file ends in one
        // extra CR LF, and the last message, when the mailbox has no final line end, also
        // gained a line end of its own: both come off.
        std::string joined;
        for (size_t k = 0; k < seps.size(); ++k) {
            std::string text = ReadFile(folder / ("Email-" + std::to_string(k) + ext));
            const uint64_t end = k + 1 < seps.size() ? seps[k + 1] : box.size();
            const char last = box[end - 1];
            const size_t extra = (last == '\n' || last == '\r') ? 2 : 4;
            text.resize(text.size() - std::min(extra, text.size()));
            joined += text;
        }
        const std::string expected = NormaliseLineEnds(box.substr(seps[0]));
        ASSERT_EQ(joined.size(), expected.size());
        ASSERT_TRUE(joined == expected)
            << "first difference at byte "
            << std::distance(joined.begin(),
                             std::mismatch(joined.begin(), joined.end(), expected.begin()).first);
    }
}
