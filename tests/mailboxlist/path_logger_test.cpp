#include "mailboxlist/path_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "mailboxlist/temp_tree.h"
#include "shell/frontend.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::TempTree;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

namespace {

template <class T>
std::vector<std::pair<std::string, T>> Entries(const KeyedCollection<T>& collection) {
    return {collection.begin(), collection.end()};
}

// The tree whose walk the program's documentation spells out: r1, r2, A/a1, B/C/c1.
void MakeDocumentedTree(TempTree& tree) {
    tree.File("r1");
    tree.File("r2");
    tree.File("A/a1");
    tree.File("B/C/c1");
}

// A front end that runs a test's action at every yield.
class YieldHook : public SilentFrontend {
  public:
    std::function<void()> onYield;
    bool cancel = false;
    void yieldNow() override {
        if (onYield) onYield();
    }
    bool cancelRequested() const override { return cancel; }
};

}  // namespace

TEST(KeyedCollection, FindsByPositionAndKeyAsItGrowsAndRefusesADuplicateKey) {
    KeyedCollection<int> c;
    EXPECT_THROW(c.Item("K0"), std::out_of_range);
    for (int i = 0; i < 5000; ++i) c.Add(i, "K" + std::to_string(i));
    for (int i = 0; i < 5000; i += 7) {
        EXPECT_EQ(c.Item("K" + std::to_string(i)), i);
        EXPECT_THROW(c.Add(-1, "K" + std::to_string(i)), DuplicateKeyError);
    }
    ASSERT_EQ(c.Count(), 5000u);  // the refused items are not half added
    EXPECT_EQ(c.Item(1), 0);      // positions count from 1
    EXPECT_EQ(c.Item(5000), 4999);
    EXPECT_EQ(c.Key(2), "K1");
    EXPECT_THROW(c.Item(0), std::out_of_range);
    EXPECT_THROW(c.Item(5001), std::out_of_range);
    EXPECT_FALSE(c.Contains("K5000"));
}

TEST(pathLogger, WalksTheDocumentedTreeBreadthFirstWithItsKeys) {
    TempTree tree("walk");
    MakeDocumentedTree(tree);
    const std::string M = tree.path();
    // The start folder given without and with its trailing separator.
    for (const std::string& start : {M, M + "/"}) {
        const bool only = start != M;  // PathLogInit sets fullFileNamesOnly
        pathLogger walker;
        walker.PathLogInit();
        if (!only) walker.fullFileNamesOnly(false);
        walker.LogPath(start);
        EXPECT_THAT(Entries(*walker.pathNames()),
                    ElementsAre(Pair("K0", M + "/"), Pair("K2", M + "/A/"), Pair("K3", M + "/B/"),
                                Pair("K4", M + "/B/C/")));
        EXPECT_THAT(Entries(*walker.fullFileNames()),
                    ElementsAre(Pair("K1", M + "/r1"), Pair("K2", M + "/r2"),
                                Pair("K3", M + "/A/a1"), Pair("K4", M + "/B/C/c1")));
        EXPECT_EQ(walker.Count(), 5);
        EXPECT_THAT(walker.unreadableFolders(), IsEmpty());
        if (only) {
            EXPECT_TRUE(walker.fileNames()->empty());
            EXPECT_TRUE(walker.pathPointers()->empty());
            continue;
        }
        EXPECT_THAT(Entries(*walker.fileNames()), ElementsAre(Pair("K1", "r1"), Pair("K2", "r2"),
                                                              Pair("K3", "a1"), Pair("K4", "c1")));
        EXPECT_THAT(Entries(*walker.pathPointers()),
                    ElementsAre(Pair("K1", 1), Pair("K2", 1), Pair("K3", 2), Pair("K4", 4)));
    }
}

TEST(pathLogger, ListsEachFolderInNameOrderIgnoringCase) {
    TempTree tree("order");
    for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2"}) tree.File(name);
    for (const char* name : {"Zed/z", "apple/a", "Mid/m"}) tree.File(name);
    const std::string M = tree.path();
    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(M);
    EXPECT_THAT(
        Entries(*walker.fullFileNames()),
        ElementsAre(Pair("K1", M + "/Alpha"), Pair("K2", M + "/ALPHA2"), Pair("K3", M + "/beta"),
                    Pair("K4", M + "/gamma"), Pair("K5", M + "/apple/a"), Pair("K6", M + "/Mid/m"),
                    Pair("K7", M + "/Zed/z")));
}

TEST(pathLogger, NoFolderLogsNothingAndAnEmptyFolderItselfWithCountOne) {
    TempTree tree("none");
    tree.File("plain");
    tree.Folder("empty");
    const std::string M = tree.path();
    struct Row {
        std::string path;
        int count;
    } rows[] = {{M + "/missing", 0}, {M + "/plain", 0}, {"", 0}, {M + "/empty", 1}};
    for (const Row& row : rows) {
        pathLogger walker;
        walker.PathLogInit();
        walker.LogPath(row.path);
        EXPECT_EQ(walker.Count(), row.count) << row.path;
        EXPECT_EQ(walker.pathNames()->Count(), size_t(row.count)) << row.path;
        EXPECT_TRUE(walker.fullFileNames()->empty()) << row.path;
    }
}

// Calling order: PathLogInit before each LogPath; what was handed out outlives Terminate.
TEST(pathLogger, CallingOrderAndCollectionsKeptPastTerminate) {
    TempTree tree("twice");
    MakeDocumentedTree(tree);
    pathLogger walker;
    EXPECT_THROW(walker.LogPath(tree.path()), std::logic_error);  // never initialised
    walker.PathLogInit();
    walker.LogPath(tree.path());
    EXPECT_THROW(walker.LogPath(tree.path()), DuplicateKeyError);  // "K0" again
    auto files = walker.fullFileNames();
    auto folders = walker.pathNames();
    walker.Terminate();
    EXPECT_EQ(files->Count(), 4u);
    EXPECT_EQ(folders->Count(), 4u);
    EXPECT_TRUE(walker.fullFileNames()->empty());  // the walker's own is a new, empty one
    walker.PathLogInit();                          // ready again
    walker.LogPath(tree.path());
    EXPECT_EQ(walker.fullFileNames()->Count(), 4u);
}

TEST(pathLogger, ALinkBackToAWalkedFolderIsNotWalkedAgain) {
    TempTree tree("loop");
    MakeDocumentedTree(tree);
    fs::create_directory_symlink("..", tree.root() / "A" / "up");  // to the start
    fs::create_directory_symlink("../..", tree.root() / "B" / "C" / "top");
    fs::create_directory_symlink(tree.root() / "A", tree.root() / "B" / "toA");
    fs::create_directory_symlink("self", tree.root() / "self");  // a link to itself
    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(tree.path());
    EXPECT_EQ(walker.pathNames()->Count(), 4u);
    // The link to itself cannot be resolved: it is listed as a file, once.
    EXPECT_EQ(walker.fullFileNames()->Count(), 5u);
    EXPECT_THAT(walker.unreadableFolders(), IsEmpty());
}

TEST(pathLogger, FoldersThatCannotBeListedAreSkippedAndRemembered) {
    struct Row {
        const char* what;
        // Spoils the documented tree (or adds to it); returns the folder that cannot be listed.
        std::function<std::string(TempTree&, YieldHook&)> spoil;
        size_t filesLogged;
        const char* reason;  // the system's
        bool rootPassesIt;
    } rows[] = {
        {"vanishes during the walk",
         [](TempTree& tree, YieldHook& hook) {
             // After the start folder is walked, B is queued but not yet listed: remove it.
             hook.onYield = [t = &tree, h = &hook] {
                 fs::remove_all(t->root() / "B");
                 h->onYield = nullptr;
             };
             return tree.path() + "/B/";
         },
         3, "No such file", false},
        {"beyond the path limit",
         [](TempTree& tree, YieldHook&) { return tree.TooDeepFolders("D"); }, 4, "too long", false},
        {"without rights",
         [](TempTree& tree, YieldHook&) {
             fs::permissions(tree.root() / "A", fs::perms::none);
             return tree.path() + "/A/";
         },
         3, "Permission denied", true},
    };
    for (const Row& row : rows) {
        if (row.rootPassesIt && ::geteuid() == 0) continue;
        TempTree tree("unlisted");
        MakeDocumentedTree(tree);
        YieldHook hook;
        YieldClock clock(hook, std::chrono::milliseconds(0));
        const std::string unlisted = row.spoil(tree, hook);
        pathLogger walker;
        walker.PathLogInit();
        walker.setYieldClock(&clock);
        walker.LogPath(tree.path());
        fs::permissions(tree.root() / "A", fs::perms::owner_all);
        ASSERT_EQ(walker.unreadableFolders().size(), 1u) << row.what;
        EXPECT_EQ(walker.unreadableFolders()[0].path, unlisted) << row.what;
        EXPECT_NE(walker.unreadableFolders()[0].reason.find(row.reason), std::string::npos)
            << row.what << ": " << walker.unreadableFolders()[0].reason;
        // Everything readable is still logged.
        EXPECT_EQ(walker.fullFileNames()->Count(), row.filesLogged) << row.what;
    }
}

TEST(pathLogger, StopsWhenTheFrontEndCancels) {
    TempTree tree("cancel");
    MakeDocumentedTree(tree);
    YieldHook hook;
    YieldClock clock(hook, std::chrono::milliseconds(0));
    hook.onYield = [&] { hook.cancel = true; };
    pathLogger walker;
    walker.PathLogInit();
    walker.setYieldClock(&clock);
    walker.LogPath(tree.path());
    EXPECT_TRUE(walker.walkCancelled());
    EXPECT_EQ(walker.fullFileNames()->Count(), 2u);  // the start folder's files only
}
