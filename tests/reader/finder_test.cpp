#include "reader/finder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "../support/files.h"
#include "../support/scratch_dir.h"
#include "scripted_frontend.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::ScriptedFrontend;
using Box = ScriptedFrontend::Box;
using quill::testing::ReadFile;

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

TEST_F(FrmFinderTest, ShowsTheLastSeparatorFoundInTheBarAndLabel) {
    // Separators at 0, 14 and 35 of 56 bytes: the bar ends at 35 / 56 = 62.5 %, rounded to
    // the even neighbour, 62.
    const std::string mailbox =
        "From a@b Mon\n\nFrom c@d Tue\nX: 1\n\n\n\nFrom e@f Wed\nY: 2\n\na\n";
    ASSERT_EQ(mailbox.size(), 56u);
    FrmFinder finder(frontend_);
    Drive(finder, write("in.mbox", mailbox));
    EXPECT_EQ(FoundPositions, "0|14|35|");
    EXPECT_EQ(frontend_.lastCaption(Caption::LblHappening),
              "Searching for messages... Found message at : 35");
    EXPECT_EQ(frontend_.lastBar(Bar::ProgressBar2), 62.0);
    EXPECT_EQ(finder.positions(), (std::vector<uint64_t>{0, 14, 35}));
}

TEST_F(FrmFinderTest, SearchesThatCannotStartEndWithTheirMessages) {
    const std::string title = FrmFinder::kReaderTitle;
    const Box notFound{"File not found !", MsgButtons::Ok, MsgIcon::Exclamation, title, true};
    const Box couldNotOpen{"File could not open !", MsgButtons::Ok, MsgIcon::Exclamation, title,
                           true};
    auto sizeBox = [&](int size) {
        return Box{"File size is " + std::to_string(size) +
                       " byte !\r\rFile can not open for string searching !",
                   MsgButtons::Ok, MsgIcon::Exclamation, title, true};
    };
    const std::string path = (dir_ / "box.mbox").string();
    struct Row {
        const char* what;
        const char* content;  // nullptr: no file
        std::string path;     // "" or a blank path given instead of the file
        std::vector<Box> boxes;
        const char* errorNames;  // what lastError() must name
    } rows[] = {
        {"empty path",
         nullptr,
         "  ",
         {{"Enter name of the file to be searched...", MsgButtons::Ok, MsgIcon::None, title, true}},
         "No mailbox"},
        {"missing file", nullptr, "", {notFound}, "box.mbox"},
        {"empty file", "", "", {sizeBox(0), sizeBox(0), couldNotOpen}, "box.mbox"},
        {"one byte", "F", "", {sizeBox(1), sizeBox(1), couldNotOpen}, "box.mbox"},
    };
    for (const auto& row : rows) {
        ScriptedFrontend frontend;
        FrmFinder finder(frontend);
        fs::remove(path);
        if (row.content) write("box.mbox", row.content);
        Drive(finder, row.path.empty() ? path : row.path);
        EXPECT_TRUE(SearchDone) << row.what;
        EXPECT_EQ(FoundPositions, "") << row.what;
        EXPECT_EQ(finder.searchEnd(), FrmFinder::SearchEnd::NotStarted) << row.what;
        EXPECT_NE(finder.lastError().find(row.errorNames), std::string::npos)
            << row.what << ": " << finder.lastError();
        EXPECT_EQ(frontend.beeps, static_cast<int>(row.boxes.size())) << row.what;
        ASSERT_EQ(frontend.boxes.size(), row.boxes.size()) << row.what;
        for (size_t i = 0; i < row.boxes.size(); ++i) {
            EXPECT_EQ(frontend.boxes[i].text, row.boxes[i].text) << row.what;
            EXPECT_EQ(frontend.boxes[i].icon, row.boxes[i].icon) << row.what;
            EXPECT_EQ(frontend.boxes[i].buttons, row.boxes[i].buttons) << row.what;
            EXPECT_EQ(frontend.boxes[i].title, row.boxes[i].title) << row.what;
            EXPECT_TRUE(frontend.boxes[i].beepedBefore) << row.what;
        }
        EXPECT_FALSE(fs::exists(path + ".tmp")) << row.what;
    }
}

TEST_F(FrmFinderTest, ShortMailboxesOpenAndEndTheSearchAtOnce) {
    for (const char* content : {"Fr", "Fro", "From", "From "}) {
        ScriptedFrontend frontend;
        FrmFinder finder(frontend);
        const std::string path = write("short.mbox", content);
        Open(finder, path);
        EXPECT_TRUE(fs::exists(path + ".tmp")) << content;  // two bytes are enough to open
        finder.Find_Click();
        EXPECT_TRUE(SearchDone) << content;
        EXPECT_EQ(FoundPositions, "") << content;
        finder.FindNext_Click();  // after the end only a beep
        EXPECT_EQ(frontend.beeps, 1) << content;
        EXPECT_TRUE(frontend.boxes.empty()) << content;
        finder.CloseFile();
        EXPECT_FALSE(fs::exists(path + ".tmp")) << content;
    }
}

TEST_F(FrmFinderTest, OpeningWhileOpenChangesNothing) {
    const std::string first = write("a.mbox", "From a\nX\nFrom b\nY\n");
    const std::string second = write("b.mbox", "From c\nZ\n");
    FrmFinder finder(frontend_);
    Open(finder, first);
    finder.Open_MBOX(second);
    ASSERT_EQ(frontend_.boxes.size(), 1u);
    EXPECT_EQ(frontend_.boxes[0].text, "Close current file before open a file!");
    EXPECT_EQ(frontend_.boxes[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(frontend_.boxes[0].title, "");
    EXPECT_TRUE(frontend_.boxes[0].beepedBefore);
    EXPECT_EQ(finder.Text1, first);
    EXPECT_FALSE(fs::exists(second + ".tmp"));
    finder.Find_Click();
    while (!SearchDone) finder.FindNext_Click();
    EXPECT_EQ(FoundPositions, "0|9|");  // still the first mailbox
    finder.CloseFile();
    EXPECT_FALSE(fs::exists(first + ".tmp"));
}

TEST_F(FrmFinderTest, WorkingCopiesLeftBehindAreMadeAfreshOrRemoved) {
    const std::string mailbox = "From a\nX\nFrom b\nY\n";
    const std::string path = write("in.mbox", mailbox);
    write("in.mbox.tmp", "left over by an earlier run, longer than the mailbox itself");
    {
        FrmFinder finder(frontend_);
        Open(finder, path);
        EXPECT_EQ(ReadFile(path + ".tmp"), mailbox);
        finder.Find_Click();
        EXPECT_EQ(FoundPositions, "0|");
    }  // destroyed while open, as when the program ends during a search
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    EXPECT_TRUE(frontend_.boxes.empty());

    // A mailbox too short to open: closing still removes the copy left behind.
    const std::string tiny = write("tiny.mbox", "F");
    write("tiny.mbox.tmp", "stale");
    FrmFinder finder(frontend_);
    finder.CloseFile();  // nothing opened yet: returns quietly
    finder.Open_MBOX(tiny);
    finder.CloseFile();
    EXPECT_FALSE(fs::exists(tiny + ".tmp"));
    finder.CloseFile();
    EXPECT_EQ(frontend_.boxes.size(), 1u);  // only the size message of the open

    // What can be neither deleted nor replaced (here a folder) stays: no working copy can be
    // made, so the mailbox itself is searched, without a word.
    fs::create_directories(path + ".tmp/inside");
    Drive(finder, path);
    EXPECT_EQ(FoundPositions, "0|9|");
    EXPECT_TRUE(fs::exists(path + ".tmp/inside"));
    EXPECT_EQ(frontend_.boxes.size(), 1u);
}

TEST_F(FrmFinderTest, QuotedSearchTextIsStripped) {
    const std::string path = write("q.mbox", "\"\"x\nFrom a\n\"\"y\n");
    struct Row {
        const char* text;
        const char* positions;
    } rows[] = {{"\"From \"", "4|"}, {"\"\"", "0|11|"}, {"From ", "4|"}};
    for (const auto& row : rows) {
        FrmFinder finder(frontend_);
        Drive(finder, path, row.text);
        EXPECT_EQ(FoundPositions, row.positions) << row.text;
    }
}

TEST_F(FrmFinderTest, OffsetsBeyondFourGibibytes) {
    // A sparse mailbox: a few real messages around the 4 GiB mark, holes in between.
    const uint64_t fourGiB = uint64_t{1} << 32;
    const std::string path = (dir_ / "big.mbox").string();
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        auto put = [&](uint64_t at, const std::string& text) {
            ASSERT_EQ(::pwrite(fd, text.data(), text.size(), static_cast<off_t>(at)),
                      static_cast<ssize_t>(text.size()));
        };
        put(0, "From a\nX\n");
        put(fourGiB - 4, "\nFrom b\nY\n");  // its "From " straddles 4 GiB
        put(fourGiB + 4096, "\nFrom c\nZ\n");
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(fourGiB + 8192)), 0);
        ::close(fd);
    }
    FrmFinder finder(frontend_);
    Drive(finder, path);
    EXPECT_EQ(FoundPositions,
              "0|" + std::to_string(fourGiB - 3) + "|" + std::to_string(fourGiB + 4097) + "|");
    EXPECT_EQ(finder.FileSize, static_cast<int64_t>(fourGiB + 8192));
    EXPECT_EQ(frontend_.lastBar(Bar::ProgressBar2), 100.0);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    EXPECT_TRUE(frontend_.boxes.empty());
}

// A cut that follows the search takes the bytes it needs from the blocks the search has read.
TEST_F(FrmFinderTest, KeepsTheBlocksItReadLastForACutBehindIt) {
    std::string box;
    for (int i = 0; box.size() < (11u << 19); ++i)
        box += "From x\n" + std::string(100000 + i, static_cast<char>('a' + i % 26)) + "\n";
    const std::string path = write("blocks.mbox", box);
    const uint64_t kept = 2u << 20;
    FrmFinder finder(frontend_);
    finder.keepRecentBytes(kept);
    Open(finder, path);
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

// The working copy is a second name for the mailbox wherever the file system allows it, so
// the end comes during the search: no working copy stays, no message, the search ends.
TEST_F(FrmFinderTest, AProgramEndingStopsTheReaderQuietly) {
    const std::string path = write("in.mbox", "From a\nX\nFrom b\nY\n");
    frontend_.cancel = true;
    FrmFinder finder(frontend_);
    Drive(finder, path);
    EXPECT_EQ(FoundPositions, "");
    EXPECT_EQ(finder.searchEnd(), FrmFinder::SearchEnd::Cancelled);
    EXPECT_TRUE(frontend_.boxes.empty());
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}
