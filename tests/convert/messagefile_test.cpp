#include "convert/messagefile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "../reader/scripted_frontend.h"
#include "../support/front_end_cases.h"
#include "../support/scratch_dir.h"
#include "reader/separator_scan.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::ScriptedFrontend;
using Positions = std::vector<uint64_t>;

using quill::testing::FilesBelow;
using quill::testing::ReadFile;
using quill::testing::WriteFile;

namespace {

class MessageFilesTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(out_); }
    std::string write(const std::string& name, const std::string& bytes) {
        WriteFile(dir_ / name, bytes);
        return (dir_ / name).string();
    }
    std::string outFile(uint64_t k, const char* ext = ".eml") const {
        return ReadFile(dir_ / "out" / ("Email-" + std::to_string(k) + ext));
    }

    quill::testing::ScratchDir scratch_;
    fs::path dir_ = scratch_.path();
    std::string out_ = (dir_ / "out").string();
    ScriptedFrontend frontend_;
    YieldClock clock_{frontend_};
};

}  // namespace

// Cut while the separators are still being found, as a store run does: a message goes only
// once the separator after it is known, the last one only when the search has ended. The
// mailbox's bytes are lent in small blocks, as a search that read them lends them. Held in
// memory, the messages leave no file at all. The mailbox: a byte-order mark, every kind of line
// end, two separator lines in a row, no line end at the very end.
TEST_F(MessageFilesTest, EveryMessageByteForByteWhileTheSearchGoesOn) {
    const std::string content =
        "\xEF\xBB\xBF"
        "From a\r\nX: 1\n\rbody\rFrom b\nFrom c\nY: 2\r\n\nFrom d\rZ\nend";
    const std::vector<std::string> files = {"From a\r\nX: 1\r\n\r\nbody\r\n\r\n", "From b\r\n\r\n",
                                            "From c\r\nY: 2\r\n\r\n\r\n",
                                            "From d\r\nZ\r\nend\r\n\r\n"};
    const std::string path = write("in.mbox", content);
    const Positions positions = FindSeparatorsSimple(content, "From ");
    ASSERT_EQ(positions.size(), files.size());
    auto lend = [&](uint64_t at) -> std::span<const char> {
        if (at >= content.size()) return {};
        const uint64_t end = std::min<uint64_t>(content.size(), (at / 7 + 1) * 7);
        return {content.data() + at, static_cast<size_t>(end - at)};
    };
    std::vector<std::string> early;
    MailboxCut cut(
        clock_, path, out_, ".eml",
        [&](uint64_t k, const std::string&, const MessageBytes& b) {
            EXPECT_EQ(k, early.size());
            early.push_back(b ? *b : std::string("(no bytes)"));
            return true;
        },
        HandOver::HeldInMemory);
    for (size_t found = 1; found <= positions.size(); ++found) {
        ASSERT_TRUE(cut.cutFound(Positions(positions.begin(), positions.begin() + found), lend));
        EXPECT_EQ(early.size(), found - 1);
    }
    ASSERT_TRUE(cut.cutRest(positions).ok());
    EXPECT_EQ(early, files);
    EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{});
}

// What lies under a temporary name is written over only when it is a file of its own:
// a spent file longer than the message (written over, then cut to length) and a shorter one
// are, a file with a second name keeps its content, and a pipe does not block the cut.
TEST_F(MessageFilesTest, WritingOverEarlierFiles) {
    const std::string mbox =
        write("b.mbox", "From a\none\nFrom b\ntwo\nFrom c\nthree\nFrom d\n4\n");
    auto part = [&](int k) { return dir_ / "out" / ("Email-" + std::to_string(k) + ".eml.part"); };
    WriteFile(part(0), std::string(5000, 'x'));
    WriteFile(part(1), "y");
    WriteFile(dir_ / "keep.txt", "keep me");
    fs::create_hard_link(dir_ / "keep.txt", part(2));
    ASSERT_EQ(::mkfifo(part(3).c_str(), 0600), 0);

    ASSERT_TRUE(WriteMessageFiles(clock_, mbox, {0, 11, 22, 35}, out_, ".eml").ok());

    EXPECT_EQ(outFile(0), "From a\r\none\r\n\r\n");
    EXPECT_EQ(outFile(1), "From b\r\ntwo\r\n\r\n");
    EXPECT_EQ(outFile(2), "From c\r\nthree\r\n\r\n");
    EXPECT_EQ(outFile(3), "From d\r\n4\r\n\r\n");
    EXPECT_EQ(ReadFile(dir_ / "keep.txt"), "keep me");
    EXPECT_FALSE(fs::exists(fs::symlink_status(part(3))));  // the pipe, which is no file
    EXPECT_EQ(FilesBelow(out_), (std::vector<std::string>{"Email-0.eml", "Email-1.eml",
                                                          "Email-2.eml", "Email-3.eml"}));
}

TEST_F(MessageFilesTest, MessagesBeyondFourGibibytes) {
    const uint64_t fourGiB = uint64_t{1} << 32;
    const std::string path = (dir_ / "big.mbox").string();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string tail = "\nFrom b\nY\nFrom c\nlast";
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(fourGiB - 4)),
              static_cast<ssize_t>(tail.size()));
    ::close(fd);
    const Positions positions = {0, fourGiB - 3, fourGiB + 6};
    auto b = WriteMessageFile(clock_, path, positions, 1, out_, ".eml");
    ASSERT_TRUE(b) << b.error.text;
    EXPECT_EQ(outFile(1), "From b\r\nY\r\n\r\n");
    auto c = WriteMessageFile(clock_, path, positions, 2, out_, ".eml");
    ASSERT_TRUE(c) << c.error.text;
    EXPECT_EQ(outFile(2), "From c\r\nlast\r\n\r\n");
    EXPECT_EQ(frontend_.lastCaption(Caption::LblProgress), "Saved Email-2 Message");
}

// A mailbox that is gone, a message it does not have and the program ending leave no file;
// asked to end once the last message is written, the mailbox is whole.
TEST_F(MessageFilesTest, FailuresAndTheProgramEndingLeaveNoFile) {
    const std::string path = write("in.mbox", "From a\nX\nFrom b\nY\nFrom c\nZ\n");
    EXPECT_EQ(WriteMessageFile(clock_, path + ".gone", {0}, 0, out_, ".eml").error.code, ENOENT);
    EXPECT_FALSE(WriteMessageFile(clock_, path, {0, 9}, 2, out_, ".eml"));
    frontend_.cancel = true;
    auto result = WriteMessageFiles(clock_, path, {0, 9}, out_, ".eml");
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.written, 0u);
    EXPECT_TRUE(WriteMessageFile(clock_, path, {0, 9}, 1, out_, ".eml").cancelled);
    EXPECT_TRUE(FilesBelow(out_).empty());
    frontend_.cancel = false;
    result = WriteMessageFiles(clock_, path, {0, 9, 18}, out_, ".eml",
                               [&](uint64_t k, const std::string&, const MessageBytes&) {
                                   frontend_.cancel = k == 2;
                                   return true;
                               });
    EXPECT_TRUE(result.ok() && !result.cancelled);
    EXPECT_EQ(result.written, 3u);
}
