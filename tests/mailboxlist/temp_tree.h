#pragma once
// A temporary folder tree for walker and import tests, removed again at the end, including
// parts that cannot be removed by path (folders nested deeper than the path limit).

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "../support/files.h"

namespace quill::testing {

namespace fs = std::filesystem;

inline void RemoveTreeAt(int parent, const char* name) {
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd >= 0) {
        ::fchmod(fd, 0700);
        if (DIR* dir = ::fdopendir(fd)) {
            while (dirent* entry = ::readdir(dir)) {
                if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
                if (::unlinkat(fd, entry->d_name, 0) != 0) RemoveTreeAt(fd, entry->d_name);
            }
            ::closedir(dir);  // closes fd
        } else {
            ::close(fd);
        }
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

class TempTree {
  public:
    explicit TempTree(const std::string& tag) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() /
                ("quill-" + tag + "-" + std::to_string(::getpid()) + "-" + info->name());
        RemoveTreeAt(AT_FDCWD, root_.c_str());
        fs::create_directories(root_);
    }
    ~TempTree() { RemoveTreeAt(AT_FDCWD, root_.c_str()); }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const fs::path& root() const { return root_; }
    std::string path() const { return root_.string(); }  // without a trailing separator

    // Creates the file (and its folders); relative to the root.
    void File(const std::string& relative, const std::string& content = "From a\n") {
        WriteFile(root_ / relative, content);
    }
    void Folder(const std::string& relative) { fs::create_directories(root_ / relative); }

    // Below `relative`, folders nested so deep that the deepest one's path is longer than
    // the system's path limit: it exists but cannot be listed by path, even by root.
    // Returns the path of the first folder that cannot be listed.
    std::string TooDeepFolders(const std::string& relative) {
        Folder(relative);
        std::string path = (root_ / relative).string();
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        std::string name(200, 'd');
        std::string firstTooLong;
        while (fd >= 0) {
            ::mkdirat(fd, name.c_str(), 0755);
            int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
            path += "/" + name;
            // Folders are listed by their path with a trailing separator.
            if (path.size() + 1 >= PATH_MAX) {
                firstTooLong = path + "/";
                break;
            }
        }
        if (fd >= 0) ::close(fd);
        return firstTooLong;
    }

  private:
    fs::path root_;
};

}  // namespace quill::testing
