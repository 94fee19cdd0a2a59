#include "shell/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace quill;

TEST(FileNameOfPath, TakesTheTextAfterTheLastSeparator) {
    struct Row {
        const char* path;
        const char* expected;
    } rows[] = {
        {"/Mail/box.mbox", "box.mbox"},
        {"box.mbox", "box.mbox"},
        {"/Mail/", ""},
        {"\\Mail\\box.mbox", "\\Mail\\box.mbox"},  // the other platform's separator is a character
        {"/Mail//box.mbox", "box.mbox"},
        {"/", ""},
        {"", ""},  // the empty path gives the empty text instead of failing
    };
    for (const auto& row : rows) EXPECT_EQ(FileNameOfPath(row.path), row.expected) << row.path;
}

TEST(EnsureFolderPath, MakesWhatIsMissingAndFailsWhereAFileIsInTheWay) {
    const fs::path root =
        fs::temp_directory_path() / ("quill-ensure-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    std::ofstream(root / "file") << "x";
    const std::string nested = (root / "Out" / "A" / "B").string();
    struct Row {
        std::string path;
        bool made;
    } rows[] = {
        {nested, true},
        {nested, true},  // nothing left to make
        {nested + "/", true},
        {(root / "Out" / "A" / "C").string() + "/", true},
        {(root / "file" / "sub").string(), false},
        {(root / "file").string(), false},
        {"", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(EnsureFolderPath(row.path), row.made) << row.path;
        if (row.made) {
            EXPECT_TRUE(fs::is_directory(row.path)) << row.path;
        }
    }
    fs::remove_all(root);
}
