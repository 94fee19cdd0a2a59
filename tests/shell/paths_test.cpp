#include "shell/paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../support/scratch_dir.h"

namespace fs = std::filesystem;
using namespace quill;

TEST(FileNameOfPath, TakesTheTextAfterTheLastSeparator) {
    for (auto [path, name] : {std::pair{"/Mail/box.mbox", "box.mbox"},
                              {"box.mbox", "box.mbox"},
                              {"/Mail/", ""},
                              {"\\Mail\\box.mbox", "\\Mail\\box.mbox"},  // not a separator here
                              {"/Mail//box.mbox", "box.mbox"},
                              {"/", ""},
                              {"", ""}})  // the empty path gives the empty text, not a failure
        EXPECT_EQ(FileNameOfPath(path), name) << path;
}

TEST(EnsureFolderPath, MakesWhatIsMissingAndFailsWhereAFileIsInTheWay) {
    quill::testing::ScratchDir scratch;
    const fs::path& root = scratch.path();
    std::ofstream(root / "file") << "x";
    const std::string nested = (root / "Out" / "A" / "B").string();
    for (auto [path, made] : {std::pair{nested, true},
                              {nested, true},  // nothing left to make
                              {nested + "/", true},
                              {(root / "Out" / "A" / "C").string() + "/", true},
                              {(root / "file" / "sub").string(), false},
                              {(root / "file").string(), false},
                              {std::string(), false}}) {
        EXPECT_EQ(EnsureFolderPath(path), made) << path;
        EXPECT_EQ(fs::is_directory(path), made) << path;
    }
}
