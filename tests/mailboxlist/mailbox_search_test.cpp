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
        {"/m/xmbox", false, false},
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

TEST(FindMailboxesUnder, FindsMailboxFilesAndBundlesInWalkOrderAndNamesUnreadableFolders) {
    TempTree tree("find");
    for (const char* name :
         {"a.mbox", "B.MBX", "c.txt", "d.mbox.bak", "x.mboxes", "mbox", "Inbox.mbox/mbox",
          "Inbox.mbox/table_of_contents", "sub/deeper/e.mbox", "sub/notes.txt"})
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
    EXPECT_THAT(found.mailboxes, ElementsAre(M + "/a.mbox", M + "/B.MBX", M + "/link.mbox",
                                             M + "/Inbox.mbox/mbox", M + "/sub/deeper/e.mbox"));
    ASSERT_EQ(found.unreadableFolders.size(), 1u);
    EXPECT_EQ(found.unreadableFolders[0].path, tooDeep);
    EXPECT_FALSE(found.cancelled);

    EXPECT_THAT(FindMailboxesUnder("/nonexistent-quillmere-folder").mailboxes, IsEmpty());
}
