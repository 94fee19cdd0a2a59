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
using ::testing::IsEmpty;

TEST(IsMailboxFileName, LooksAtTheTrimmedLowerCasedEndOfTheName) {
    struct Row {
        const char* path;
        bool mailbox;
    } rows[] = {
        {"/m/a.mbox", true},
        {"/m/x.MbOx", true},
        {"/m/B.MBX", true},
        {"/m/x.mbox  ", true},  // blanks at the end are trimmed
        {"/m/.mbox", true},
        {"/m/x.mbox.bak", false},
        {"/m/x.mboxes", false},
        {"/m/mbox", false},  // a lone file named mbox is not one by its name
        {"/m/xmbox", false},
        {"/m/x.mbx.txt", false},
        {"/m/Inbox.mbox/", false},  // a folder path
        {"/m/Inbox.mbox/messages", false},
        {"", false},
    };
    for (const Row& row : rows) EXPECT_EQ(IsMailboxFileName(row.path), row.mailbox) << row.path;
}

TEST(IsMailboxInBundle, TakesTheFileNamedMboxInAFolderNamedMbox) {
    struct Row {
        const char* path;
        bool mailbox;
    } rows[] = {
        {"/m/Inbox.mbox/mbox", true},
        {"/m/Inbox.MBOX/mbox", true},
        {"/m/Sent Messages.mbox/mbox", true},
        {"/m/Inbox/mbox", false},
        {"/m/Inbox.mbx/mbox", false},
        {"/m/Inbox.mbox/mbox.txt", false},
        {"/m/Inbox.mbox/table_of_contents", false},
        {"mbox", false},
    };
    for (const Row& row : rows) EXPECT_EQ(IsMailboxInBundle(row.path), row.mailbox) << row.path;
}

TEST(FindMailboxesUnder, FindsMailboxesAndBundlesInWalkOrder) {
    TempTree tree("find");
    for (const char* name :
         {"a.mbox", "B.MBX", "c.txt", "d.mbox.bak", "x.mboxes", "mbox", "Inbox.mbox/mbox",
          "Inbox.mbox/table_of_contents", "sub/deeper/e.mbox", "sub/notes.txt"})
        tree.File(name);
    tree.Folder("Empty.mbox");  // a bundle without its file
    tree.Folder("folder.mbx");  // a folder is never a mailbox file
    const std::string M = tree.path();
    MailboxSearch found = FindMailboxesUnder(M);
    EXPECT_THAT(found.mailboxes, ElementsAre(M + "/a.mbox", M + "/B.MBX", M + "/Inbox.mbox/mbox",
                                             M + "/sub/deeper/e.mbox"));
    EXPECT_THAT(found.unreadableFolders, IsEmpty());
    EXPECT_FALSE(found.cancelled);
}

TEST(FindMailboxesUnder, LeavesOutPipesAndDanglingLinksWithMailboxNames) {
    TempTree tree("special");
    tree.File("real.mbox");
    ASSERT_EQ(::mkfifo((tree.root() / "pipe.mbox").c_str(), 0600), 0);
    fs::create_symlink("nowhere.mbox", tree.root() / "dangling.mbox");
    fs::create_symlink("real.mbox", tree.root() / "link.mbox");
    const std::string M = tree.path();
    EXPECT_THAT(FindMailboxesUnder(M).mailboxes, ElementsAre(M + "/link.mbox", M + "/real.mbox"));
}

TEST(FindMailboxesUnder, ReportsUnreadableFoldersAndKeepsTheRest) {
    TempTree tree("unreadable");
    tree.File("a.mbox");
    std::string tooDeep = tree.TooDeepFolders("deep");
    tree.File("z/z.mbox");
    MailboxSearch found = FindMailboxesUnder(tree.path() + "/");
    EXPECT_THAT(found.mailboxes, ElementsAre(tree.path() + "/a.mbox", tree.path() + "/z/z.mbox"));
    ASSERT_EQ(found.unreadableFolders.size(), 1u);
    EXPECT_EQ(found.unreadableFolders[0].path, tooDeep);
}

TEST(FindMailboxesUnder, AMissingFolderFindsNothing) {
    MailboxSearch found = FindMailboxesUnder("/nonexistent-quillmere-folder");
    EXPECT_THAT(found.mailboxes, IsEmpty());
    EXPECT_THAT(found.unreadableFolders, IsEmpty());
}
