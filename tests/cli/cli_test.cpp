#include "cli/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "../support/files.h"
#include "convert/store_outputs.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::ReadFile;

namespace {

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("quill-cli-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        write("in/a.mbox", "From a\nX: 1\nFrom b\nX: 2\n");
        write("in/deeper/B.MBX", "From c\r\nX: 3\r\n");
        write("in/notes.txt", "From d\nX: 4\n");
        oldCwd_ = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(oldCwd_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    void write(const std::string& rel, const std::string& bytes) {
        quill::testing::WriteFile(root_ / rel, bytes);
    }
    int run(std::vector<std::string> args, const RunSettings& settings = {}) {
        out_.str("");
        err_.str("");
        return RunCli(args, CliStreams{out_, err_, false}, settings);
    }
    // Every file below the output folder, relative to it.
    std::vector<std::string> filesOut() {
        std::vector<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(root_ / "out"))
            if (!e.is_directory()) files.push_back(fs::relative(e.path(), root_ / "out"));
        std::sort(files.begin(), files.end());
        return files;
    }
    fs::path outFor(const std::string& rel) {
        return root_ / "out" / (root_ / rel).relative_path();
    }

    fs::path root_, oldCwd_;
    std::ostringstream out_, err_;
};

TEST_F(CliTest, UsageErrorsExitWithTwo) {
    for (auto args : std::vector<std::vector<std::string>>{
             {},
             {"--to", "eml", "--output", "x"},            // no path
             {"--to", "doc", "--output", "x", "a.mbox"},  // unknown kind
             {"--output", "x", "a.mbox"},                 // no kind
             {"--to", "eml", "a.mbox"},                   // no output
             {"--to", "eml", "--output", "x", "--fast", "a.mbox"},
         }) {
        EXPECT_EQ(run(args), 2);
        EXPECT_NE(err_.str().find("usage: quillmere-convert"), std::string::npos) << err_.str();
    }
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(out_.str().find("Exit status"), std::string::npos);
}

TEST_F(CliTest, FolderArgumentsAndRelativePathsConvertEveryMailboxBelow) {
    fs::current_path(root_);
    EXPECT_EQ(run({"--to", "eml", "--output", "out", "in"}), 0) << err_.str();
    EXPECT_TRUE(fs::exists(outFor("in/a.mbox") / "Email-1.eml"));
    EXPECT_TRUE(fs::exists(outFor("in/deeper/B.MBX") / "Email-0.eml"));
    EXPECT_FALSE(fs::exists(outFor("in/notes.txt")));
    // One line per mailbox when stderr is no terminal, then the end box's text.
    EXPECT_NE(
        err_.str().find("Mailbox 1 (of 2) " + (root_ / "in/a.mbox").string() + ": 2 Messages"),
        std::string::npos)
        << err_.str();
    EXPECT_NE(err_.str().find("successfully exported"), std::string::npos);

    EXPECT_EQ(run({"--quiet", "--to=emlx", "--output=out2", "in/a.mbox"}), 0);
    EXPECT_EQ(err_.str(), "");
    EXPECT_TRUE(
        fs::exists(root_ / "out2" / (root_ / "in/a.mbox").relative_path() / "Email-0.emlx"));
}

// A PST run writes one store beside the emptied mailbox output folders and ends with the PST
// end text; the store's contents are checked by the PST run tests.
TEST_F(CliTest, PstRunWritesOneStoreAndEndsWithThePstText) {
    fs::current_path(root_);
    EXPECT_EQ(RunCli({"--to", "pst", "--output", "out", "in"}, CliStreams{out_, err_, false},
                     DefaultRunSettings("/manual.html")),
              0)
        << err_.str();
    std::vector<std::string> stores;
    for (const auto& e : fs::directory_iterator(root_ / "out"))
        if (e.is_regular_file()) stores.push_back(e.path().filename().string());
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_TRUE(stores[0].starts_with("MBOX") && stores[0].ends_with(".pst")) << stores[0];
    EXPECT_TRUE(fs::is_directory(outFor("in/a.mbox")));
    EXPECT_TRUE(fs::is_empty(outFor("in/a.mbox")));
    EXPECT_TRUE(fs::is_empty(outFor("in/deeper/B.MBX")));
    const std::string end =
        "Your messages from MBOX files has been successfully exported to Outlook (.pst) file.\n" +
        std::string(75, '*') +
        "\nStart Outlook and open converted pst file by clicking File -> Open -> Outlook Data "
        "File. And it all done !";
    EXPECT_NE(err_.str().find(end), std::string::npos) << err_.str();
}

TEST_F(CliTest, AnyFailedMailboxGivesOneAndIsListed) {
    fs::create_directories(root_ / "empty");
    std::ofstream(root_ / "nothing.mbox") << "no mail in here\n";
    std::vector<std::string> args = {"--to",
                                     "eml",
                                     "--output",
                                     (root_ / "out").string(),
                                     (root_ / "in/a.mbox").string(),
                                     (root_ / "empty").string(),
                                     (root_ / "nothing.mbox").string()};
    for (int i = 0; i < 25; ++i) args.push_back((root_ / ("missing" + std::to_string(i))).string());
    EXPECT_EQ(run(args), 1);
    // Every failed mailbox, however many, and the file that held no message.
    for (int i = 0; i < 25; ++i)
        EXPECT_NE(err_.str().find("missing" + std::to_string(i) + "\n"), std::string::npos)
            << err_.str();
    EXPECT_NE(err_.str().find("No message was found in:\n" + (root_ / "nothing.mbox").string()),
              std::string::npos)
        << err_.str();
    EXPECT_EQ(err_.str().find(" more"), std::string::npos) << err_.str();
    EXPECT_NE(err_.str().find("no .mbox or .mbx file below"), std::string::npos) << err_.str();
    EXPECT_TRUE(fs::exists(outFor("in/a.mbox") / "Email-0.eml"));  // the others still convert
}

TEST_F(CliTest, MsgRunSumsUpAndLeavesOnlyMsgFiles) {
    const RunSettings settings = DefaultRunSettings("/opt/quillmere/manual.html");
    const std::string out = (root_ / "out").string();
    EXPECT_EQ(run({"--to", "msg", "--output", out, (root_ / "in").string()}, settings), 0)
        << err_.str();
    EXPECT_NE(err_.str().find("successfully exported"), std::string::npos);  // as for EML
    EXPECT_NE(out_.str().find("2 of 2 mailboxes converted, 3 messages written"), std::string::npos)
        << out_.str();
    const fs::path a = outFor("in/a.mbox").lexically_relative(root_ / "out");
    const fs::path b = outFor("in/deeper/B.MBX").lexically_relative(root_ / "out");
    EXPECT_EQ(filesOut(),
              (std::vector<std::string>{a / "Email-0.msg", a / "Email-1.msg", b / "Email-0.msg"}));

    // A file that cannot be written: the Outlook box with the real cause, even when quiet, and
    // status 1; what was written stays.
    fs::remove_all(root_ / "out");
    fs::create_directories(outFor("in/a.mbox") / "Email-1.msg" / "inside");
    EXPECT_EQ(run({"--quiet", "--to", "msg", "--output", out, (root_ / "in").string()}, settings),
              1);
    EXPECT_EQ(err_.str().rfind("Outlook Error: Outlook Session Creation Error !\n", 0), 0u)
        << err_.str();
    EXPECT_NE(err_.str().find((outFor("in/a.mbox") / "Email-1.msg").string()), std::string::npos);
    EXPECT_NE(err_.str().find("\nFor more details visit this link : "
                              "file:///opt/quillmere/manual.html#troubleshooting"),
              std::string::npos);
    EXPECT_EQ(filesOut(), (std::vector<std::string>{a / "Email-0.msg"}));
}

// Thunderbird's and Apple Mail's folders, found by content and nested in the store as on
// disk, read back by readpst: each folder of the store with its number of messages.
TEST_F(CliTest, TreeAndAnyNameKeepMailProgramsFolders) {
    const std::string m = "From - Mon Dec 07 10:00:00 2026\nSubject: s\n\nbody\n";
    for (auto [file, bytes] : std::initializer_list<std::pair<const char*, std::string>>{
             {"LF/Inbox", m},
             {"LF/Inbox.msf", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n"},
             {"LF/Inbox.sbd/Work", m + m},
             {"LF/Drafts.sbd/Old", m},
             {"LF/Sent", m},
             {"LF/Trash", ""},
             {"LF/notes.txt", "From here on, notes.\n"},
             {"Apple/Inbox.mbox/mbox", m},
             {"Apple/Inbox.mbox/Info.plist", "<?xml version=\"1.0\"?>\n"},
             {"Apple/Inbox.mbox/Projects.mbox/mbox", m},
             {"Apple/Archive.mbox", m},
             {"Apple/Archive/2019.mbox", m}})
        write(std::string("in/") + file, bytes);
    EXPECT_EQ(RunCli({"--to", "pst", "--tree", "--any-name", "--output", (root_ / "out").string(),
                      (root_ / "in/LF").string(), (root_ / "in/Apple").string(),
                      (root_ / "in/a.mbox").string()},
                     CliStreams{out_, err_, false}, DefaultRunSettings("/manual.html")),
              0)
        << err_.str();
    fs::path pst;
    for (const auto& e : fs::directory_iterator(root_ / "out"))
        if (e.path().extension() == ".pst") pst = e.path();
    fs::create_directories(root_ / "r");
    ASSERT_EQ(std::system(("readpst -q -D -e -o '" + (root_ / "r").string() + "' '" + pst.string() +
                           "' >/dev/null")
                              .c_str()),
              0);
    std::map<std::string, int> folders;
    const fs::path top = *fs::directory_iterator(root_ / "r");
    for (const auto& e : fs::recursive_directory_iterator(top))
        if (e.is_directory())
            folders[fs::relative(e.path(), top)] += 0;
        else
            ++folders[fs::relative(e.path().parent_path(), top)];
    EXPECT_EQ(folders, (std::map<std::string, int>{{"LF", 0},
                                                   {"LF/Inbox", 1},
                                                   {"LF/Inbox/Work", 2},
                                                   {"LF/Drafts", 0},
                                                   {"LF/Drafts/Old", 1},
                                                   {"LF/Sent", 1},
                                                   {"Apple", 0},
                                                   {"Apple/Inbox", 1},
                                                   {"Apple/Inbox/Projects", 1},
                                                   {"Apple/Archive", 1},
                                                   {"Apple/Archive/2019", 1},
                                                   {"a", 2}}));
}

// The program itself under a file-size limit: a write past it is a failure it reports, not a
// signal that ends it part way.
TEST_F(CliTest, FileSizeLimitIsReportedNotFatal) {
    std::string big = "From x\nSubject: big\n\n";
    while (big.size() < 64 * 1024) big += "a line of the body that is long enough\n";
    write("in/big.mbox", big);
    const std::string err = (root_ / "err.txt").string();
    const std::string command = "ulimit -f 16; exec '" + std::string(QUILL_BIN_DIR) +
                                "/quillmere-convert' --quiet --to msg --output '" +
                                (root_ / "out").string() + "' '" +
                                (root_ / "in/big.mbox").string() + "' 2>'" + err + "'";
    int status = std::system(("/bin/sh -c \"" + command + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(ReadFile(err).find("File too large"), std::string::npos) << ReadFile(err);
}

}  // namespace
