#include "mailboxlist/mailbox_search.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "mailboxlist/temp_tree.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::TempTree;
using ::testing::ElementsAre;

TEST(MailboxNames, AFileByItsNameOrTheFileNamedMboxInAFolderNamedMbox) {
    struct Row {
        const char* path;
        bool byName, inBundle;
    } rows[] = {
        {"/m/a.mbox", true, false},
        {"/m/x.MbOx", true, false},
        {"/m/B.MBX", true, false},
        {"/m/x.mbox  ", true, false},  // blanks at the end are trimmed
        {"/m/.mbox", true, false},
        {"/m/x.mbox.bak", false, false},
        {"/m/x.mboxes", false, false},
        {"/m/mbox", false, false},  // a lone file named mbox is not one by its name
        {"/m/x.mbx.txt", false, false},
        {"/m/Inbox.mbox/", false, false},  // a folder path
        {"/m/Inbox.mbox/messages", false, false},
        {"", false, false},
        {"/m/Inbox.mbox/mbox", false, true},
        {"/m/Inbox.MBOX/mbox", false, true},
        {"/m/Sent Messages.mbox/mbox", false, true},
        {"/m/Inbox/mbox", false, false},
        {"/m/Inbox.mbx/mbox", false, false},
        {"/m/Inbox.mbox/mbox.txt", false, false},
        {"/m/Inbox.mbox/table_of_contents", false, false},
        {"mbox", false, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsMailboxFileName(row.path), row.byName) << row.path;
        EXPECT_EQ(IsMailboxInBundle(row.path), row.inBundle) << row.path;
    }
}

// The walk goes breadth first, through each folder in name order ignoring case.
TEST(FindMailboxesUnder, FindsMailboxFilesAndBundlesInWalkOrderAndNamesUnreadableFolders) {
    TempTree tree("find");
    for (const char* name :
         {"a.mbox", "B.MBX", "c.txt", "d.mbox.bak", "x.mboxes", "mbox", "Inbox.mbox/mbox",
          "Inbox.mbox/table_of_contents", "apple/x.mbox", "sub/deeper/e.mbox", "sub/notes.txt"})
        tree.File(name);
    tree.Folder("Empty.mbox");  // a bundle without its file
    tree.Folder("folder.mbx");  // a folder is never a mailbox file
    // Only files: no pipe, no dangling link, even with a mailbox's name.
    ASSERT_EQ(::mkfifo((tree.root() / "pipe.mbox").c_str(), 0600), 0);
    fs::create_symlink("nowhere.mbox", tree.root() / "dangling.mbox");
    fs::create_symlink("a.mbox", tree.root() / "link.mbox");
    const std::string tooDeep = tree.TooDeepFolders("deep");
    const std::string M = tree.path();
    MailboxSearch found = FindMailboxesUnder(M + "/");
    EXPECT_THAT(found.mailboxes,
                ElementsAre(M + "/a.mbox", M + "/B.MBX", M + "/link.mbox", M + "/apple/x.mbox",
                            M + "/Inbox.mbox/mbox", M + "/sub/deeper/e.mbox"));
    ASSERT_EQ(found.unreadableFolders.size(), 1u);
    EXPECT_EQ(found.unreadableFolders[0].path, tooDeep);
    EXPECT_FALSE(found.cancelled);

    // By content: files of any name that begin with a separator line, a pipe never read.
    tree.File("Inbox",
              "\xEF\xBB\xBF"
              "From - Mon Dec 07 10:00:00 2026\r\nX: 1\n");
    tree.File("Inbox.msf", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n");
    tree.File("sub/Sent", "From bob@example.com Mon Jan  5 10:00:00 2026\n");
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

// Mail programs' layouts as store folders below a folder argument, and mailboxes named alone.
TEST(StoreFolderTree, NestsAsMailProgramsLayTheirMailboxesOut) {
    StoreFolderTree tree;
    auto path = [](std::initializer_list<const char*> names) {
        return std::vector<std::string>(names.begin(), names.end());
    };
    tree.folderArgument("/p/Local Folders/");
    const std::string lf = "/p/Local Folders/";
    EXPECT_EQ(tree.mailboxBelow(lf + "Inbox"), path({"Local Folders", "Inbox"}));
    EXPECT_EQ(tree.mailboxBelow(lf + "Inbox.mbx"), path({"Local Folders", "Inbox (2)"}));
    EXPECT_EQ(tree.mailboxBelow(lf + "Inbox.sbd/Work"), path({"Local Folders", "Inbox", "Work"}));
    EXPECT_EQ(tree.mailboxBelow(lf + "Old.sbd/2019.sbd/Q1"),  // no mailbox Old: folders anyway
              path({"Local Folders", "Old", "2019", "Q1"}));
    EXPECT_EQ(tree.mailboxBelow(lf + "Old.MBOX"), path({"Local Folders", "Old"}));  // its own
    tree.folderArgument("/q/Export");
    EXPECT_EQ(tree.mailboxBelow("/q/Export/Inbox.mbox/mbox"), path({"Export", "Inbox"}));
    EXPECT_EQ(tree.mailboxBelow("/q/Export/Inbox.mbox/Projects.mbox/mbox"),
              path({"Export", "Inbox", "Projects"}));
    EXPECT_EQ(tree.mailboxBelow("/q/Export/Plain/a b.mbox"), path({"Export", "Plain", "a b"}));
    EXPECT_EQ(tree.mailboxBelow("/q/Export/.mbox"), path({"Export", ".mbox"}));
    tree.folderArgument("/r/Export.mbox");  // a bundle named as an argument is its mailbox
    EXPECT_EQ(tree.mailboxBelow("/r/Export.mbox/mbox"), path({"Export (2)"}));
    EXPECT_EQ(tree.mailbox("/s/Export.mbx"), path({"Export (3)"}));
    EXPECT_EQ(tree.mailbox("/s/Sent.mbox/mbox"), path({"Sent"}));
}
