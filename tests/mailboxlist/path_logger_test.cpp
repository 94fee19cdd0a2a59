#include "mailboxlist/path_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "support/files.h"
#include "support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace quill;
using quill::testing::ScratchDir;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

template <class T>
std::vector<std::pair<std::string, T>> Entries(const KeyedCollection<T>& collection) {
    return {collection.begin(), collection.end()};
}

}  // namespace

// The tree the program's documentation walks: r1, r2, A/a1, B/C/c1. A folder reached again
// through a link is not walked again; a link to itself cannot be resolved and is listed as a
// file. (The start folder with a trailing separator, and the walk that lists full names only,
// are the mailbox search's.) Calling order: PathLogInit before each LogPath; what was handed
// out outlives Terminate. No folder logs nothing, an empty folder itself with a count of one.
TEST(pathLogger, WalksTheDocumentedTreeBreadthFirstOnceInCallingOrder) {
    ScratchDir scratch;
    const fs::path& root = scratch.path();
    for (const char* name : {"r1", "r2", "A/a1", "B/C/c1"})
        quill::testing::WriteFile(root / name, "");
    fs::create_directory_symlink("..", root / "A" / "up");  // to the start
    fs::create_directory_symlink("../..", root / "B" / "C" / "top");
    fs::create_directory_symlink(root / "A", root / "B" / "toA");
    fs::create_directory_symlink("self", root / "self");
    const std::string M = root.string();
    pathLogger walker;
    EXPECT_THROW(walker.LogPath(M), std::logic_error);  // never initialised
    walker.PathLogInit();
    walker.fullFileNamesOnly(false);
    walker.LogPath(M);
    EXPECT_THAT(Entries(*walker.pathNames()),
                ElementsAre(Pair("K0", M + "/"), Pair("K2", M + "/A/"), Pair("K3", M + "/B/"),
                            Pair("K4", M + "/B/C/")));
    EXPECT_THAT(Entries(*walker.fullFileNames()),
                ElementsAre(Pair("K1", M + "/r1"), Pair("K2", M + "/r2"), Pair("K3", M + "/self"),
                            Pair("K4", M + "/A/a1"), Pair("K5", M + "/B/C/c1")));
    EXPECT_EQ(walker.Count(), 6);
    EXPECT_TRUE(walker.unreadableFolders().empty());
    EXPECT_THAT(Entries(*walker.fileNames()),
                ElementsAre(Pair("K1", "r1"), Pair("K2", "r2"), Pair("K3", "self"),
                            Pair("K4", "a1"), Pair("K5", "c1")));
    EXPECT_THAT(
        Entries(*walker.pathPointers()),
        ElementsAre(Pair("K1", 1), Pair("K2", 1), Pair("K3", 1), Pair("K4", 2), Pair("K5", 4)));
    EXPECT_THROW(walker.LogPath(M), DuplicateKeyError);  // "K0" again
    auto files = walker.fullFileNames();
    walker.Terminate();
    EXPECT_EQ(files->Count(), 5u);
    EXPECT_TRUE(walker.fullFileNames()->empty());  // the walker's own is a new, empty one
    fs::create_directory(M + "/empty");
    for (auto [path, count] :
         {std::pair{M + "/missing", 0}, {M + "/r1", 0}, {"", 0}, {M + "/empty", 1}}) {
        pathLogger fresh;
        fresh.PathLogInit();
        fresh.LogPath(path);
        EXPECT_EQ(fresh.Count(), count) << path;
        EXPECT_EQ(fresh.pathNames()->Count(), size_t(count)) << path;
        EXPECT_TRUE(fresh.fullFileNames()->empty()) << path;
    }
}
