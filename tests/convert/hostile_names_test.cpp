// Names that break careless programs: blanks, Unicode, quotes, leading dashes, newlines in
// mailbox and folder names; symbolic links on the way in and out. Every mailbox is converted,
// and nothing is ever written outside the chosen output folder.

#include <gtest/gtest.h>

#include <filesystem>

#include "convert/run.h"
#include "run_support.h"

namespace fs = std::filesystem;
using namespace quill;

using namespace quill::testing;
using Host = ScriptedRunHost;

namespace {

const char* const kHostileNames[] = {
    "with blanks inside.mbox",
    " blank at both ends .mbox",
    "Ünïcødé 📬 Почта.mbox",
    "quotes \" and ' and `.mbox",
    "-rf.mbox",
    "--to=pst.mbox",
    "new\nline.mbox",
    "back\\slash.mbox",
    "$(touch pwned).mbox",
    "star*?.mbx",
    "ends in a blank.mbox ",
};

using HostileNamesTest = RunFolders<Host>;

// Besides the names above: control characters, bytes that are no UTF-8, names that are only
// an ending (as store folder names, the name table's and the UTF-16 conversion's cases).
TEST_F(HostileNamesTest, MailboxAndFolderNamesOfEveryKindAreConverted) {
    std::vector<std::string> rows, names(std::begin(kHostileNames), std::end(kHostileNames));
    for (const char* odd :
         {"\xff\xfe latin-1 \xe9t\xe9.mbox", "tab\tand\x01\x1b[2J.mbox", ".mbox", "  .mbox"})
        names.push_back(odd);
    for (const char* folder : kHostileNames)
        for (const char* name : {kHostileNames[0], kHostileNames[1], kHostileNames[4]}) {
            fs::path box = in_ / (std::string(folder) + " folder") / name;
            WriteFile(box, std::string("From x\nSubject: ") + name + "\n\nbody\n");
            rows.push_back(box.string());
        }
    for (const std::string& name : names) {
        WriteFile(in_ / name, "From y\nX: 1\n");
        rows.push_back((in_ / name).string());
    }
    // Beside the mailbox with blanks at both ends lies one without them: each is its own.
    WriteFile(in_ / "ends in a blank.mbox", "From other\nX: 2\n");
    rows.push_back((in_ / "ends in a blank.mbox").string());

    RunSummary s = RunConversion(host_, OutputKind::EML, rows);

    ASSERT_TRUE(s.failures.empty()) << s.failures[0].mailbox << ": " << s.failures[0].reason;
    for (const auto& row : rows) EXPECT_TRUE(fs::exists(outFor(row) / "Email-0.eml")) << row;
    EXPECT_EQ(ReadFile(outFor(in_ / "ends in a blank.mbox ") / "Email-0.eml"),
              "From y\r\nX: 1\r\n\r\n");
    EXPECT_EQ(ReadFile(outFor(in_ / "ends in a blank.mbox") / "Email-0.eml"),
              "From other\r\nX: 2\r\n\r\n");
    EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(HostileNamesTest, OutputStaysBelowTheOutputFolderWhateverTheLinks) {
    const fs::path outside = root_ / "outside";
    fs::create_directories(outside);
    WriteFile(outside / "precious.txt", "keep me");
    WriteFile(root_ / "real" / "inbox.mbox", "From a\nX: 1\nFrom b\nX: 2\n");
    // A mailbox reached through a linked folder, and by a path that climbs out and back.
    fs::create_directory_symlink(root_ / "real", in_ / "linked");
    const fs::path viaLink = in_ / "linked" / "inbox.mbox";
    const std::string climbing = (in_ / ".." / "real" / "." / "inbox.mbox").string();
    // The output folder is itself a link to the real one.
    fs::create_directory_symlink(out_, root_ / "out-link");
    host_.folderAnswer = (root_ / "out-link").string();
    // Links planted in the output tree: a file name of a message pointing outside, a stale
    // partial file doing the same, and a folder on a mailbox's way leading outside.
    const fs::path viaLinkOut = outFor(viaLink);
    fs::create_directories(viaLinkOut);
    fs::create_symlink(outside / "precious.txt", viaLinkOut / "Email-0.eml");
    fs::create_symlink(outside / "precious.txt", viaLinkOut / "Email-1.eml.part");
    const fs::path trap = in_ / "trap" / "t.mbox";
    WriteFile(trap, "From t\nX: 3\n");
    fs::create_directories(outFor(in_));
    fs::create_directory_symlink(outside, outFor(in_ / "trap"));

    RunSummary s =
        RunConversion(host_, OutputKind::EML, {viaLink.string(), climbing, trap.string()});

    EXPECT_EQ(ReadFile(outside / "precious.txt"), "keep me");
    EXPECT_EQ(FilesBelow(outside), std::vector<std::string>{"precious.txt"});
    EXPECT_FALSE(fs::exists(outside / "t.mbox"));
    EXPECT_EQ(ReadFile(viaLinkOut / "Email-0.eml"), "From a\r\nX: 1\r\n\r\n");
    EXPECT_EQ(ReadFile(viaLinkOut / "Email-1.eml"), "From b\r\nX: 2\r\n\r\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(viaLinkOut / "Email-1.eml.part")));
    // The climbing path is made lexically normal: it lands below the output folder.
    EXPECT_TRUE(
        fs::exists(out_ / fs::path(climbing).lexically_normal().relative_path() / "Email-1.eml"));
    // The mailbox whose output folder would lead outside fails and says why.
    ASSERT_EQ(s.failures.size(), 1u);
    EXPECT_EQ(s.failures[0].mailbox, trap.string());
    EXPECT_NE(s.failures[0].reason.find("outside"), std::string::npos) << s.failures[0].reason;
}

}  // namespace
