#include "mailboxlist/mailbox_search.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/files.h"
#include "support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::ScratchDir;
using quill::testing::WriteFile;
using ::testing::ElementsAre;

// The plain names (a.mbox, B.MBX, Inbox.mbox/mbox, a lone mbox) are the walk's, below.
TEST(MailboxNames, AFileByItsNameOrTheFileNamedMboxInAFolderNamedMbox) {
    struct Row {
        const char* path;
        bool byName, inBundle;
    } rows[] = {
        {"/m/x.mbox  ", true, false},  // blanks at the end are trimmed
        {"/m/.mbox", true, false},
        {"/m/Inbox.mbox/", false, false},  // a folder path
        {"", false, false},
        {"/m/Inbox.MBOX/mbox", false, true},
        {"/m/Inbox/mbox", false, false},
        {"/m/Inbox.mbx/mbox", false, false},
        {"/m/Inbox.mbox/mbox.txt", false, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsMailboxFileName(row.path), row.byName) << row.path;
        EXPECT_EQ(IsMailboxInBundle(row.path), row.inBundle) << row.path;
    }
}

// The walk goes breadth first, through each folder in name order ignoring case. (A lone file
// named mbox is not a mailbox by its name.)
TEST(FindMailboxesUnder, FindsMailboxFilesAndBundlesInWalkOrder) {
    ScratchDir scratch;
    const std::string M = scratch.path().string();
    for (const char* name :
         {"a.mbox", "B.MBX", "c.txt", "d.mbox.bak", "x.mboxes", "mbox", "Inbox.mbox/mbox",
          "Inbox.mbox/table_of_contents", "apple/x.mbox", "sub/deeper/e.mbox", "sub/notes.txt"})
        WriteFile(M + "/" + name, "From a\n");
    fs::create_directory(M + "/Empty.mbox");  // a bundle without its file
    fs::create_directory(M + "/folder.mbx");  // a folder is never a mailbox file
    // Only files: no pipe, no dangling link, even with a mailbox's name.
    ASSERT_EQ(::mkfifo((M + "/pipe.mbox").c_str(), 0600), 0);
    fs::create_symlink("nowhere.mbox", M + "/dangling.mbox");
    fs::create_symlink("a.mbox", M + "/link.mbox");
    MailboxSearch found = FindMailboxesUnder(M + "/");
    EXPECT_THAT(found.mailboxes,
                ElementsAre(M + "/a.mbox", M + "/B.MBX", M + "/link.mbox", M + "/apple/x.mbox",
                            M + "/Inbox.mbox/mbox", M + "/sub/deeper/e.mbox"));

    // By content: files of any name that begin with a separator line, a pipe never read.
    WriteFile(M + "/Inbox",
              "\xEF\xBB\xBF"
              "From - Mon Dec 07 10:00:00 2026\r\nX: 1\n");
    WriteFile(M + "/Inbox.msf", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n");
    WriteFile(M + "/sub/Sent", "From bob@example.com Mon Jan  5 10:00:00 2026\n");
    EXPECT_THAT(FindMailboxesUnder(M, nullptr, true).mailboxes,
                ElementsAre(M + "/a.mbox", M + "/B.MBX", M + "/Inbox", M + "/link.mbox",
                            M + "/apple/x.mbox", M + "/Inbox.mbox/mbox", M + "/sub/Sent",
                            M + "/sub/deeper/e.mbox"));
}

TEST(MailboxNames, SeparatorLinesByTheirLook) {
    struct Row {
        const char* line;
        bool separator;
    } rows[] = {
        {"From - Mon Dec 07 10:00:00 2026", true},                        // Thunderbird
        {"From bob@example.com Mon Jan  5 10:00:00 2026", true},          // asctime
        {"From 1784522112345@xxx Sat Dec 05 10:00:00 +0000 2026", true},  // Google's export
        {"From MAILER-DAEMON Fri, 8 Jul 2011 12:08:34 +0200", true},      // RFC 5322 date
        {"From a", false},                                                // no date
        {"From here on, the plan for 2026 starts at 10:00", false},       // no day or month
        {"From  Mon Dec 07 10:00:00 2026", false},                        // no sender
        {"From - Mon Dec 07 2026", false},                                // no time
        {"From - Mon Dec 07 10:00:00", false},                            // no year
        {"from - Mon Dec 07 10:00:00 2026", false},                       // case counts
        {">From - Mon Dec 07 10:00:00 2026", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(LooksLikeSeparatorLine(row.line), row.separator) << row.line;
}
