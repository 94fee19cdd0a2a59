#include "mailboxlist/path_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "mailboxlist/temp_tree.h"
#include "reader/scripted_frontend.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::ScriptedFrontend;
using quill::testing::TempTree;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

template <class T>
std::vector<std::pair<std::string, T>> Entries(const KeyedCollection<T>& collection) {
    return {collection.begin(), collection.end()};
}

// The tree whose walk the program's documentation spells out: r1, r2, A/a1, B/C/c1.
void MakeDocumentedTree(TempTree& tree) {
    for (const char* name : {"r1", "r2", "A/a1", "B/C/c1"}) tree.File(name);
}

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
        EXPECT_TRUE(walker.unreadableFolders().empty());
        if (only) {
            EXPECT_TRUE(walker.fileNames()->empty() && walker.pathPointers()->empty());
            continue;
        }
        EXPECT_THAT(Entries(*walker.fileNames()), ElementsAre(Pair("K1", "r1"), Pair("K2", "r2"),
                                                              Pair("K3", "a1"), Pair("K4", "c1")));
        EXPECT_THAT(Entries(*walker.pathPointers()),
                    ElementsAre(Pair("K1", 1), Pair("K2", 1), Pair("K3", 2), Pair("K4", 4)));
    }
}

TEST(pathLogger, NoFolderLogsNothingAndAnEmptyFolderItselfWithCountOne) {
    TempTree tree("none");
    tree.File("plain");
    tree.Folder("empty");
    const std::string M = tree.path();
    for (auto [path, count] :
         {std::pair{M + "/missing", 0}, {M + "/plain", 0}, {"", 0}, {M + "/empty", 1}}) {
        pathLogger walker;
        walker.PathLogInit();
        walker.LogPath(path);
        EXPECT_EQ(walker.Count(), count) << path;
        EXPECT_EQ(walker.pathNames()->Count(), size_t(count)) << path;
        EXPECT_TRUE(walker.fullFileNames()->empty()) << path;
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
    walker.Terminate();
    EXPECT_EQ(files->Count(), 4u);
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
    EXPECT_TRUE(walker.unreadableFolders().empty());
}

// A folder that vanishes during the walk, one beyond the path limit and one without rights (not
// for root, who reads every folder) are skipped and remembered with the system's reason;
// everything readable is still logged.
TEST(pathLogger, FoldersThatCannotBeListedAreSkippedAndRemembered) {
    TempTree tree("unlisted");
    MakeDocumentedTree(tree);
    const std::string M = tree.path();
    std::vector<std::string> expected;  // each folder with its reason
    if (::geteuid() != 0) {
        fs::permissions(tree.root() / "A", fs::perms::none);
        expected.push_back(M + "/A/: Permission denied");
    }
    expected.push_back(M + "/B/: No such file or directory");
    expected.push_back(tree.TooDeepFolders("D") + ": File name too long");
    ScriptedFrontend hook;
    YieldClock clock(hook, std::chrono::milliseconds(0));
    // After the start folder is walked, B is queued but not yet listed: remove it.
    hook.onYield = [&] { fs::remove_all(tree.root() / "B"); };
    pathLogger walker;
    walker.PathLogInit();
    walker.setYieldClock(&clock);
    walker.LogPath(M);
    fs::permissions(tree.root() / "A", fs::perms::owner_all);
    std::vector<std::string> unlisted;
    for (const auto& [path, reason] : walker.unreadableFolders())
        unlisted.push_back(path + ": " + reason);
    EXPECT_EQ(unlisted, expected);
    EXPECT_EQ(walker.fullFileNames()->Count(), 5 - expected.size());  // r1, r2 (and A/a1)
}

TEST(pathLogger, StopsWhenTheFrontEndCancels) {
    TempTree tree("cancel");
    MakeDocumentedTree(tree);
    ScriptedFrontend hook;
    YieldClock clock(hook, std::chrono::milliseconds(0));
    hook.cancelAfterYields = 1;
    pathLogger walker;
    walker.PathLogInit();
    walker.setYieldClock(&clock);
    walker.LogPath(tree.path());
    EXPECT_TRUE(walker.walkCancelled());
    EXPECT_EQ(walker.fullFileNames()->Count(), 2u);  // the start folder's files only
}
