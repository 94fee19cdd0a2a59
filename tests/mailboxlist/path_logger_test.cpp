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
class YieldHook : public Frontend {
  public:
    std::function<void()> onYield;
    bool cancel = false;
    MsgAnswer messageBox(const std::string&, MsgButtons, MsgIcon, const std::string&) override {
        return MsgAnswer::Ok;
    }
    void beep() override {}
    void setCaption(Caption, const std::string&) override {}
    void setBar(Bar, double) override {}
    std::string browseFolder(const std::string&) override { return {}; }
    void yieldNow() override {
        if (onYield) onYield();
    }
    bool cancelRequested() const override { return cancel; }
};

}  // namespace

TEST(KeyedCollection, FindsByPositionAndKeyAndRefusesADuplicateKey) {
    KeyedCollection<std::string> c;
    c.Add("first", "K1");
    c.Add("second", "K2");
    EXPECT_THROW(c.Add("again", "K1"), DuplicateKeyError);
    ASSERT_EQ(c.Count(), 2u);  // the refused item is not half added
    EXPECT_EQ(c.Item(1), "first");
    EXPECT_EQ(c.Item(2), "second");
    EXPECT_EQ(c.Item("K2"), "second");
    EXPECT_EQ(c.Key(1), "K1");
    EXPECT_THROW(c.Item(0), std::out_of_range);
    EXPECT_THROW(c.Item(3), std::out_of_range);
    EXPECT_THROW(c.Item("K3"), std::out_of_range);
}

TEST(KeyedCollection, KeepsEveryKeyFindableAsItGrows) {
    KeyedCollection<int> c;
    for (int i = 0; i < 5000; ++i) c.Add(i, "K" + std::to_string(i));
    for (int i = 0; i < 5000; i += 7) {
        EXPECT_EQ(c.Item("K" + std::to_string(i)), i);
        EXPECT_THROW(c.Add(-1, "K" + std::to_string(i)), DuplicateKeyError);
    }
    EXPECT_EQ(c.Count(), 5000u);
    EXPECT_FALSE(c.Contains("K5000"));
    EXPECT_EQ(c.Item(5000), 4999);
    KeyedCollection<int> empty;
    EXPECT_FALSE(empty.Contains("K0"));
    EXPECT_THROW(empty.Item("K0"), std::out_of_range);
}

TEST(pathLogger, WalksTheDocumentedTreeBreadthFirstWithItsKeys) {
    TempTree tree("walk");
    MakeDocumentedTree(tree);
    const std::string M = tree.path();  // given without a trailing separator

    pathLogger walker;
    walker.PathLogInit();
    walker.fullFileNamesOnly(false);
    walker.LogPath(M);

    EXPECT_THAT(Entries(*walker.pathNames()),
                ElementsAre(Pair("K0", M + "/"), Pair("K2", M + "/A/"), Pair("K3", M + "/B/"),
                            Pair("K4", M + "/B/C/")));
    EXPECT_THAT(Entries(*walker.fullFileNames()),
                ElementsAre(Pair("K1", M + "/r1"), Pair("K2", M + "/r2"), Pair("K3", M + "/A/a1"),
                            Pair("K4", M + "/B/C/c1")));
    EXPECT_THAT(Entries(*walker.fileNames()), ElementsAre(Pair("K1", "r1"), Pair("K2", "r2"),
                                                          Pair("K3", "a1"), Pair("K4", "c1")));
    EXPECT_THAT(Entries(*walker.pathPointers()),
                ElementsAre(Pair("K1", 1), Pair("K2", 1), Pair("K3", 2), Pair("K4", 4)));
    EXPECT_EQ(walker.Count(), 5);
    EXPECT_THAT(walker.unreadableFolders(), IsEmpty());
}

TEST(pathLogger, FullFileNamesOnlyLeavesNamesAndPointersEmpty) {
    TempTree tree("only");
    MakeDocumentedTree(tree);
    pathLogger walker;
    walker.PathLogInit();
    EXPECT_TRUE(walker.fullFileNamesOnly());  // PathLogInit sets it
    walker.LogPath(tree.path() + "/");
    EXPECT_EQ(walker.pathNames()->Count(), 4u);
    EXPECT_EQ(walker.fullFileNames()->Item("K4"), tree.path() + "/B/C/c1");
    EXPECT_TRUE(walker.fileNames()->empty());
    EXPECT_TRUE(walker.pathPointers()->empty());
    EXPECT_EQ(walker.Count(), 5);
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

TEST(pathLogger, NoFolderAtThePathLogsNothing) {
    TempTree tree("none");
    tree.File("plain");
    for (const std::string& path :
         {tree.path() + "/missing", tree.path() + "/plain", std::string()}) {
        pathLogger walker;
        walker.PathLogInit();
        walker.LogPath(path);
        EXPECT_EQ(walker.Count(), 0) << path;
        EXPECT_TRUE(walker.pathNames()->empty()) << path;
        EXPECT_TRUE(walker.fullFileNames()->empty()) << path;
    }
}

TEST(pathLogger, AnEmptyFolderIsLoggedAloneWithCountOne) {
    TempTree tree("empty");
    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(tree.path());
    EXPECT_THAT(Entries(*walker.pathNames()), ElementsAre(Pair("K0", tree.path() + "/")));
    EXPECT_TRUE(walker.fullFileNames()->empty());
    EXPECT_EQ(walker.Count(), 1);
}

TEST(pathLogger, CollectionsTakenBeforeTerminateSurviveIt) {
    TempTree tree("keep");
    MakeDocumentedTree(tree);
    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(tree.path());
    auto files = walker.fullFileNames();
    auto folders = walker.pathNames();
    walker.Terminate();
    EXPECT_EQ(files->Count(), 4u);
    EXPECT_EQ(folders->Count(), 4u);
    EXPECT_TRUE(walker.fullFileNames()->empty());  // the walker's own is a new, empty one
    EXPECT_EQ(walker.Count(), 5);                  // Terminate keeps the counter
    EXPECT_TRUE(walker.fullFileNamesOnly());
}

TEST(pathLogger, ASecondLogPathWithoutPathLogInitFailsOnTheStartKey) {
    TempTree tree("twice");
    MakeDocumentedTree(tree);
    pathLogger walker;
    EXPECT_THROW(walker.LogPath(tree.path()), std::logic_error);  // never initialised
    walker.PathLogInit();
    walker.LogPath(tree.path());
    EXPECT_THROW(walker.LogPath(tree.path()), DuplicateKeyError);
    walker.PathLogInit();  // ready again
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

TEST(pathLogger, AFolderThatVanishesDuringTheWalkIsSkippedAndRemembered) {
    TempTree tree("vanish");
    MakeDocumentedTree(tree);
    tree.File("B/b1");
    YieldHook hook;
    YieldClock clock(hook, std::chrono::milliseconds(0));
    // After the start folder is walked, B is queued but not yet listed: remove it.
    hook.onYield = [&] {
        fs::remove_all(tree.root() / "B");
        hook.onYield = nullptr;
    };
    pathLogger walker;
    walker.PathLogInit();
    walker.setYieldClock(&clock);
    walker.LogPath(tree.path());
    ASSERT_EQ(walker.unreadableFolders().size(), 1u);
    EXPECT_EQ(walker.unreadableFolders()[0].path, tree.path() + "/B/");
    EXPECT_FALSE(walker.unreadableFolders()[0].reason.empty());
    // Everything readable is still logged.
    EXPECT_EQ(walker.fullFileNames()->Item(3), tree.path() + "/A/a1");
    EXPECT_EQ(walker.fullFileNames()->Count(), 3u);
}

TEST(pathLogger, AFolderWithoutRightsIsSkippedAndRemembered) {
    if (::geteuid() == 0) GTEST_SKIP() << "rights do not stop root";
    TempTree tree("rights");
    MakeDocumentedTree(tree);
    fs::permissions(tree.root() / "A", fs::perms::none);
    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(tree.path());
    fs::permissions(tree.root() / "A", fs::perms::owner_all);
    ASSERT_EQ(walker.unreadableFolders().size(), 1u);
    EXPECT_EQ(walker.unreadableFolders()[0].path, tree.path() + "/A/");
    EXPECT_EQ(walker.fullFileNames()->Count(), 3u);  // r1, r2, c1
}

TEST(pathLogger, AFolderBeyondThePathLimitIsSkippedAndRemembered) {
    TempTree tree("deep");
    tree.File("r1");
    std::string tooDeep = tree.TooDeepFolders("D");
    tree.File("E/e1");
    pathLogger walker;
    walker.PathLogInit();
    walker.LogPath(tree.path());
    ASSERT_EQ(walker.unreadableFolders().size(), 1u);
    EXPECT_EQ(walker.unreadableFolders()[0].path, tooDeep);
    EXPECT_EQ(walker.fullFileNames()->Count(), 2u);
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
