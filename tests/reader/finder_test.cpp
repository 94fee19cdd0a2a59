#include "reader/finder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "../support/files.h"
#include "../support/scratch_dir.h"
#include "reader/search_state.h"
#include "scripted_frontend.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::ScriptedFrontend;
using Box = ScriptedFrontend::Box;

namespace {

// How the conversion run starts on a mailbox: the shared results emptied, the file opened.
void Open(FrmFinder& finder, const std::string& path, const std::string& text = "From ") {
    SearchDone = false;
    FoundPositions.clear();
    finder.Text2 = text;
    finder.Open_MBOX(path);
}

// The run's whole use of the reader for one mailbox; gives up after a bound so that a search
// that never ends fails the test instead of hanging it.
void Drive(FrmFinder& finder, const std::string& path, const std::string& text = "From ") {
    Open(finder, path, text);
    finder.Find_Click();
    for (int step = 0; !SearchDone; ++step) {
        ASSERT_LT(step, 100000) << "the search never ends";
        finder.FindNext_Click();
    }
    finder.CloseFile();
}

class FrmFinderTest : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& bytes) {
        quill::testing::WriteFile(dir_ / name, bytes);
        return (dir_ / name).string();
    }

    quill::testing::ScratchDir scratch_;
    const fs::path& dir_ = scratch_.path();
    ScriptedFrontend frontend_;
};

}  // namespace

// The search text as the run gives it, quotes around it stripped; offsets beyond 4 GiB, in a
// sparse mailbox with a few messages around the mark ("From " straddles it). The bar and label
// show the last separator found, the bar rounded to the even neighbour (35 / 56 = 62.5 % shows
// 62); after the end, Find Next only beeps.
TEST_F(FrmFinderTest, FindsTheSearchTextAndShowsTheLastFoundInTheBarAndLabel) {
    const uint64_t fourGiB = uint64_t{1} << 32;
    const std::string big = write("big.mbox", "From a\nX\n");
    int fd = ::open(big.c_str(), O_WRONLY);
    for (auto [at, text] :
         {std::pair{fourGiB - 4, "\nFrom b\nY\n"}, {fourGiB + 4096, "\nFrom c\nZ\n"}})
        ASSERT_EQ(::pwrite(fd, text, 10, static_cast<off_t>(at)), 10);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(fourGiB + 8192)), 0);
    ::close(fd);
    const std::string quoted = write("q.mbox", "\"\"x\nFrom a\n\"\"y\n");
    struct Row {
        std::string path;
        const char* text;
        std::string found;
        double bar;
    } rows[] = {
        {write("in.mbox", "From a@b Mon\n\nFrom c@d Tue\nX: 1\n\n\n\nFrom e@f Wed\nY: 2\n\na\n"),
         "From ", "0|14|35|", 62.0},
        {quoted, "\"From \"", "4|", 27.0},
        {quoted, "\"\"", "0|11|", 73.0},
        {big, "From ",
         "0|" + std::to_string(fourGiB - 3) + "|" + std::to_string(fourGiB + 4097) + "|", 100.0},
    };
    for (const Row& row : rows) {
        ScriptedFrontend frontend;
        FrmFinder finder(frontend);
        Drive(finder, row.path, row.text);
        EXPECT_EQ(FoundPositions, row.found) << row.text;
        const std::vector<uint64_t> positions = SplitFoundPositions(row.found).value();
        EXPECT_EQ(finder.positions(), positions);
        EXPECT_EQ(
            frontend.lastCaption(Caption::LblHappening),
            "Searching for messages... Found message at : " + std::to_string(positions.back()));
        EXPECT_EQ(frontend.bars.back(), std::pair(Bar::ProgressBar2, row.bar)) << row.text;
        finder.FindNext_Click();
        EXPECT_EQ(frontend.beeps, 1);
        EXPECT_TRUE(frontend.boxes.empty());
    }
}

// A search that cannot start ends with its messages; short mailboxes, and the program's end
// during the search, end it quietly. No working copy stays behind.
TEST_F(FrmFinderTest, SearchesThatFindNothingEndWithTheirMessagesOrQuietly) {
    using End = FrmFinder::SearchEnd;
    const std::string path = (dir_ / "box.mbox").string();
    auto box = [](const std::string& text, MsgIcon icon = MsgIcon::Exclamation) {
        return Box{text, MsgButtons::Ok, icon, FrmFinder::kReaderTitle};
    };
    const Box tooShort = box("File size is 1 byte !\r\rFile can not open for string searching !");
    struct Row {
        const char* content;  // nullptr: no file
        std::string path;     // "": the file's
        std::vector<Box> boxes;
        const char* errorNames;  // what lastError() must name
        End end = End::NotStarted;
        bool cancel = false;  // the program ends meanwhile
    } rows[] = {
        {nullptr,
         "  ",
         {box("Enter name of the file to be searched...", MsgIcon::None)},
         "No mailbox"},
        {"F", "", {tooShort, tooShort, box("File could not open !")}, "box.mbox"},
        {"Fr", "", {}, "", End::Exhausted},  // two bytes are enough to open
        // The working copy is a second name for the mailbox wherever the file system allows
        // it, so the end comes during the search.
        {"From a\nX\nFrom b\nY\n", "", {}, "", End::Cancelled, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.content ? row.content : row.path);
        ScriptedFrontend frontend;
        frontend.cancel = row.cancel;
        FrmFinder finder(frontend);
        if (row.content) write("box.mbox", row.content);
        Drive(finder, row.path.empty() ? path : row.path);
        EXPECT_EQ(FoundPositions, "");
        EXPECT_EQ(finder.searchEnd(), row.end);
        EXPECT_NE(finder.lastError().find(row.errorNames), std::string::npos) << finder.lastError();
        EXPECT_EQ(frontend.beeps, static_cast<int>(row.boxes.size()));
        EXPECT_EQ(frontend.boxes, row.boxes);
        EXPECT_FALSE(fs::exists(path + ".tmp"));
    }
}

// The working copy: made afresh over one left behind, removed on close and when the reader
// ends while open; while one mailbox is open, a second is refused.
TEST_F(FrmFinderTest, WorkingCopiesLeftBehindAreMadeAfreshOrRemoved) {
    const std::string mailbox = "From a\nX\nFrom b\nY\n";
    const std::string path = write("in.mbox", mailbox), other = write("b.mbox", "From c\nZ\n");
    write("in.mbox.tmp", "left over by an earlier run, longer than the mailbox itself");
    {
        FrmFinder finder(frontend_);
        Open(finder, path);
        EXPECT_EQ(quill::testing::ReadFile(path + ".tmp"), mailbox);
        finder.Open_MBOX(other);
        const Box refusal{"Close current file before open a file!", MsgButtons::Ok,
                          MsgIcon::Exclamation, ""};
        EXPECT_EQ(frontend_.boxes, std::vector<Box>{refusal});
        EXPECT_FALSE(fs::exists(other + ".tmp"));
        finder.Find_Click();
        EXPECT_EQ(FoundPositions, "0|");  // still the first mailbox
    }  // destroyed while open, as when the program ends during a search
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    FrmFinder finder(frontend_);
    // What can be neither deleted nor replaced (here a folder) stays: no working copy can be
    // made, so the mailbox itself is searched, without a word.
    fs::create_directories(path + ".tmp/inside");
    Drive(finder, path);
    EXPECT_EQ(FoundPositions, "0|9|");
    EXPECT_TRUE(fs::exists(path + ".tmp/inside"));
    EXPECT_EQ(frontend_.boxes.size(), 1u);
}

// A cut that follows the search takes the bytes it needs from the blocks the search has read.
TEST_F(FrmFinderTest, KeepsTheBlocksItReadLastForACutBehindIt) {
    std::string box;
    for (int i = 0; box.size() < (11u << 19); ++i)
        box += "From x\n" + std::string(100000 + i, static_cast<char>('a' + i % 26)) + "\n";
    const uint64_t kept = 2u << 20;
    FrmFinder finder(frontend_);
    finder.keepRecentBytes(kept);
    Open(finder, write("blocks.mbox", box));
    finder.Find_Click();
    while (!SearchDone) {
        // Everything from `kept` bytes before the last separator found is at hand, as read.
        const uint64_t found = finder.positions().back();
        for (uint64_t at = found >= kept ? found - kept : 0; at <= found;) {
            std::span<const char> bytes = finder.recentBytes(at);
            ASSERT_FALSE(bytes.empty()) << "offset " << at << ", found " << found;
            ASSERT_EQ(std::string(bytes.begin(), bytes.end()), box.substr(at, bytes.size()))
                << "offset " << at;
            at += bytes.size();
        }
        finder.FindNext_Click();
    }
    EXPECT_TRUE(finder.recentBytes(0).empty()) << "the first block is long passed";
    EXPECT_FALSE(finder.recentBytes(box.size() - 1).empty());
    finder.CloseFile();
    EXPECT_TRUE(finder.recentBytes(box.size() - 1).empty()) << "nothing is kept once closed";
}

// The reader's lists are read in the tests above, beyond 4 GiB too.
TEST(SplitFoundPositions, RefusesWhatTheReaderNeverWrites) {
    for (const char* bad : {"0|2047", "|", "1||", "-1|", "a|", "1 |", "99999999999999999999|"})
        EXPECT_FALSE(SplitFoundPositions(bad).has_value()) << bad;
}
