#include "shell/paths.h"

#include <gtest/gtest.h>

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

class EnsureFolderPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ =
            fs::temp_directory_path() /
            ("quill-ensure-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path root_;
};

TEST_F(EnsureFolderPathTest, CreatesNestedFoldersOnceAndAgain) {
    auto target = (root_ / "Out" / "A" / "B").string();
    EXPECT_TRUE(EnsureFolderPath(target));
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_TRUE(EnsureFolderPath(target));  // nothing left to make
    EXPECT_TRUE(EnsureFolderPath(target + "/"));
    EXPECT_TRUE(EnsureFolderPath((root_ / "Out" / "A" / "C").string() + "/"));
    EXPECT_TRUE(fs::is_directory(root_ / "Out" / "A" / "C"));
}

TEST_F(EnsureFolderPathTest, FailsUnderAFileAndOnEmptyPath) {
    std::ofstream(root_ / "file") << "x";
    EXPECT_FALSE(EnsureFolderPath((root_ / "file" / "sub").string()));
    EXPECT_FALSE(EnsureFolderPath((root_ / "file").string()));
    EXPECT_FALSE(EnsureFolderPath(""));
}
