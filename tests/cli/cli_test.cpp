#include "cli/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "../support/front_end_cases.h"
#include "../support/scratch_dir.h"
#include "convert/store_outputs.h"

namespace fs = std::filesystem;
using namespace quill;
using namespace quill::testing;

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs the program itself through the shell: `limits` are shell commands run before it (ulimit).
int RunProgram(const std::vector<std::string>& args, const fs::path& err,
               const std::string& limits = "") {
    std::string command = limits + "exec " + Quoted(QUILL_BIN_DIR "/quillmere-convert");
    for (const std::string& a : args) command += " " + Quoted(a);
    command += " >/dev/null 2>" + Quoted(err.string());
    const int status = std::system(("/bin/sh -c " + Quoted(command)).c_str());
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    return WEXITSTATUS(status);
}

// The command line as a front end of the shared run cases: the program itself, its reports
// on stderr without the progress lines.
struct CommandLine {
    static constexpr bool kRefuses = false, kCloses = false;
    Ending convert(OutputKind kind, const std::vector<std::string>& rows, const std::string& output,
                   bool) {
        std::vector<std::string> args = {"--to", OutputKindName(kind), "--output", output, "--"};
        args.insert(args.end(), rows.begin(), rows.end());
        const fs::path err = fs::path(output).parent_path() / "stderr.txt";
        Ending e;
        e.exitStatus = RunProgram(args, err);
        std::istringstream lines(ReadFile(err));
        for (std::string line; std::getline(lines, line);)
            if (!line.starts_with("Mailbox ") || line.find(" (of ") == std::string::npos)
                e.shown += line + "\n";
        return e;
    }
};

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(root_ / "in/a.mbox", "From a\nX: 1\nFrom b\nX: 2\n");
        WriteFile(root_ / "in/deeper/B.MBX", "From c\r\nX: 3\r\n");
        WriteFile(root_ / "in/notes.txt", "From d\nX: 4\n");
        fs::current_path(root_);
    }
    void TearDown() override { fs::current_path(oldCwd_); }
    int run(std::vector<std::string> args) {
        out_.str("");
        err_.str("");
        return RunCli(args, CliStreams{out_, err_, false}, DefaultRunSettings("/manual.html"));
    }
    fs::path outFor(const std::string& rel) {
        return root_ / "out" / (root_ / rel).relative_path();
    }

    ScratchDir scratch_;
    fs::path root_ = scratch_.path(), oldCwd_ = fs::current_path();
    std::ostringstream out_, err_;
};

}  // namespace

namespace quill::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(CommandLine, FrontEndCases, CommandLine);
}

namespace {

TEST_F(CliTest, UsageErrorsExitWithTwoAndWriteNothing) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--to", "eml", "--output", "x"},            // no path
             {"--to", "doc", "--output", "x", "a.mbox"},  // unknown kind
             {"--output", "x", "a.mbox"},                 // no kind
             {"--to", "eml", "a.mbox"},                   // no output
             {"--to", "eml", "--output", "x", "--fast", "a.mbox"},
             {"--to", "eml", "--output", "x", "-rf.mbox"},  // a dash name without "--"
         }) {
        EXPECT_EQ(run(args), 2);
        EXPECT_NE(err_.str().find("usage: quillmere-convert"), std::string::npos) << err_.str();
        EXPECT_FALSE(fs::exists(root_ / "x"));
    }
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(out_.str().find("Exit status"), std::string::npos);
}

// Folder arguments and relative paths: every mailbox below converts. Every failed mailbox,
// however many, and a folder without mailboxes are listed, and the exit status is 1.
TEST_F(CliTest, FolderArgumentsConvertEveryMailboxBelowAndFailuresAreListed) {
    fs::create_directories(root_ / "empty");
    std::vector<std::string> args = {"--to", "eml", "--output", "out", "in", "empty"};
    for (int i = 0; i < 25; ++i) args.push_back("missing" + std::to_string(i));
    EXPECT_EQ(run(args), 1);
    const fs::path a = outFor("in/a.mbox").lexically_relative(root_ / "out");
    const fs::path b = outFor("in/deeper/B.MBX").lexically_relative(root_ / "out");
    EXPECT_EQ(FilesBelow(root_ / "out"),
              (std::vector<std::string>{a / "Email-0.eml", a / "Email-1.eml", b / "Email-0.eml"}));
    // One line per mailbox when stderr is no terminal, then the end box's text.
    EXPECT_NE(
        err_.str().find("Mailbox 1 (of 27) " + (root_ / "in/a.mbox").string() + ": 2 Messages"),
        std::string::npos)
        << err_.str();
    EXPECT_NE(err_.str().find("missing24\n"), std::string::npos) << err_.str();  // the last too
    EXPECT_EQ(err_.str().find(" more"), std::string::npos) << err_.str();
    EXPECT_NE(out_.str().find("2 of 27 mailboxes converted, 3 messages written"), std::string::npos)
        << out_.str();
    EXPECT_NE(err_.str().find("empty: no .mbox or .mbx file below"), std::string::npos)
        << err_.str();

    EXPECT_EQ(run({"--quiet", "--to=emlx", "--output=out", "in/a.mbox"}), 0);
    EXPECT_EQ(err_.str(), "");
    EXPECT_TRUE(fs::exists(outFor("in/a.mbox") / "Email-0.emlx"));
}

// Thunderbird's and Apple Mail's folders, found by content and nested in one store as on
// disk (a name taken twice gets a number), and mailboxes named alone at the top, read back
// by readpst: each folder of the store with its number of messages. Only the store is written.
TEST_F(CliTest, TreeAndAnyNameKeepMailProgramsFolders) {
    const std::string m = "From - Mon Dec 07 10:00:00 2026\nSubject: s\n\nbody\n";
    for (auto [file, bytes] : std::initializer_list<std::pair<const char*, std::string>>{
             {"LF/Inbox", m},
             {"LF/Inbox.mbox", m},  // a second and a third Inbox
             {"LF/Inbox.mbx", m},
             {"LF/Inbox.sbd/Work", m + m},
             {"LF/Drafts.sbd/Old", m},
             {"LF/Sent", m},
             {"LF/Trash", ""},
             {"Apple/Inbox.mbox/mbox", m},
             {"Apple/Inbox.mbox/Projects.mbox/mbox", m},
             {"Apple/Archive.mbox/mbox", m},  // after the folder Archive has been made
             {"Apple/.mbox", m},
             {"Apple/Archive/2019.mbox", m}})
        WriteFile(root_ / "in" / file, bytes);
    EXPECT_EQ(run({"--to", "pst", "--tree", "--any-name", "--output", "out", "in/LF/", "in/Apple",
                   "in/a.mbox", "in/Apple/Inbox.mbox/mbox"}),
              0)
        << err_.str();
    const std::vector<std::string> written = FilesBelow(root_ / "out");
    ASSERT_EQ(written.size(), 1u);
    const fs::path store = root_ / "out" / written[0];
    fs::create_directories(root_ / "r");
    ASSERT_EQ(std::system(("readpst -q -D -e -o " + Quoted((root_ / "r").string()) + " " +
                           Quoted(store.string()) + " >/dev/null")
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
                                                   {"LF/Inbox (2)", 1},
                                                   {"LF/Inbox (3)", 1},
                                                   {"LF/Inbox/Work", 2},
                                                   {"LF/Drafts", 0},
                                                   {"LF/Drafts/Old", 1},
                                                   {"LF/Sent", 1},
                                                   {"Apple", 0},
                                                   {"Apple/Inbox", 1},
                                                   {"Apple/Inbox/Projects", 1},
                                                   {"Apple/Archive", 1},
                                                   {"Apple/Archive/2019", 1},
                                                   {"Apple/.mbox", 1},
                                                   {"a", 2},
                                                   {"Inbox", 1}}));
}

// The program itself under a file-size limit: a write past it is a failure it reports, not a
// signal that ends it part way.
TEST_F(CliTest, FileSizeLimitIsReportedNotFatal) {
    std::string big = "From x\nSubject: big\n\n";
    while (big.size() < 64 * 1024) big += "a line of the body that is long enough\n";
    WriteFile(root_ / "in/big.mbox", big);
    // The limit holds for the program's coverage counts too, which it writes at its end: in a
    // coverage build they go to a folder of their own, or they would be cut short.
    setenv("GCOV_PREFIX", (root_ / "gcov").c_str(), 1);
    const int status = RunProgram({"--quiet", "--to", "msg", "--output", "out", "in/big.mbox"},
                                  root_ / "err.txt", "ulimit -f 16; ");
    unsetenv("GCOV_PREFIX");
    EXPECT_EQ(status, 1);
    EXPECT_NE(ReadFile(root_ / "err.txt").find("File too large"), std::string::npos)
        << ReadFile(root_ / "err.txt");
}

}  // namespace
