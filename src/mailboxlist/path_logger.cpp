#include "mailboxlist/path_logger.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "shell/frontend.h"
#include "shell/paths.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace quill {
namespace {

std::string Key(int32_t number) {
    return "K" + std::to_string(number);
}

int32_t Next(int32_t value, const char* what) {
    if (value == std::numeric_limits<int32_t>::max())
        throw std::overflow_error(std::string("the folder walk counted more ") + what +
                                  " than 2147483647");
    return value + 1;
}

// What makes a folder the same folder whichever link leads to it.
#ifndef _WIN32
using FolderId = std::pair<dev_t, ino_t>;
bool IdentifyFolder(const std::string& path, FolderId& id) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}
#else
using FolderId = std::string;
bool IdentifyFolder(const std::string& path, FolderId& id) {
    std::error_code ec;
    auto canonical = fs::canonical(fs::path(path), ec);
    if (ec) return false;
    id = canonical.string();
    return true;
}
#endif

struct Entry {
    std::string folded;  // name in lower case (ASCII), the sort key
    std::string name;
};

void SortByName(std::vector<Entry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.folded != b.folded) return a.folded < b.folded;
        return a.name < b.name;  // names differing only in case: the same order on every run
    });
}

std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

}  // namespace

std::string pathLogger::AddBackslash(const std::string& path) {
    return AddTrailingSeparator(path);
}

void pathLogger::PathLogInit() {
    ready_ = true;
    fullFileNamesOnly_ = true;
    fileNames_.reset();
    pathPointers_.reset();
    pathNames_.reset();
    fullFileNames_.reset();
    unreadable_.clear();
    cancelled_ = false;
}

void pathLogger::Terminate() {
    ready_ = false;
    fileNames_.reset();
    pathPointers_.reset();
    pathNames_.reset();
    fullFileNames_.reset();
    unreadable_.clear();
}

std::shared_ptr<TextCollection> pathLogger::fileNames() {
    if (!fileNames_) fileNames_ = std::make_shared<TextCollection>();
    return fileNames_;
}
std::shared_ptr<TextCollection> pathLogger::pathNames() {
    if (!pathNames_) pathNames_ = std::make_shared<TextCollection>();
    return pathNames_;
}
std::shared_ptr<PointerCollection> pathLogger::pathPointers() {
    if (!pathPointers_) pathPointers_ = std::make_shared<PointerCollection>();
    return pathPointers_;
}
std::shared_ptr<TextCollection> pathLogger::fullFileNames() {
    if (!fullFileNames_) fullFileNames_ = std::make_shared<TextCollection>();
    return fullFileNames_;
}

void pathLogger::logFile(const std::string& folder, const std::string& name,
                         int32_t folderPosition) {
    std::string key = Key(fileCounter_);
    if (fullFileNamesOnly_) {
        fullFileNames()->Add(folder + name, key);
    } else {
        fileNames()->Add(name, key);
        fullFileNames()->Add(folder + name, key);
        pathPointers()->Add(folderPosition, key);
    }
    fileCounter_ = Next(fileCounter_, "files");
}

void pathLogger::LogPath(const std::string& path) {
    if (!ready_) throw std::logic_error("pathLogger::LogPath called without PathLogInit");
    std::error_code ec;
    if (path.empty() || !fs::is_directory(fs::path(path), ec)) return;

    cancelled_ = false;
    int32_t known = 1;  // folders known so far (j)
    fileCounter_ = 1;
    auto folders = pathNames();
    folders->Add(AddBackslash(path), Key(0));

    std::set<FolderId> queued;
    FolderId id;
    if (IdentifyFolder(path, id)) queued.insert(id);

    std::vector<Entry> subfolders, files;
    for (int32_t position = 1; position <= known; ++position) {
        const std::string folder = folders->Item(static_cast<std::size_t>(position));
        subfolders.clear();
        files.clear();

        fs::directory_iterator it(fs::path(folder), ec);
        if (ec) {
            unreadable_.push_back({folder, ec.message()});
        } else {
            for (; it != fs::directory_iterator(); it.increment(ec)) {
                std::string name = it->path().filename().string();
                std::error_code typeError;
                bool isFolder = it->is_directory(typeError);  // follows links, as a listing does
                (isFolder ? subfolders : files).push_back({Folded(name), std::move(name)});
            }
            // A listing that broke off part way: keep what it gave, and say so.
            if (ec) unreadable_.push_back({folder, ec.message()});
        }
        SortByName(subfolders);
        SortByName(files);

        for (const Entry& sub : subfolders) {
            std::string child = folder + sub.name + kPathSeparator;
            if (IdentifyFolder(child, id) && !queued.insert(id).second) continue;  // seen
            known = Next(known, "folders");
            folders->Add(child, Key(known));
        }
        for (const Entry& file : files) logFile(folder, file.name, position);

        if (clock_) {
            clock_->maybeYield();
            if (clock_->cancelled()) {
                cancelled_ = true;
                return;
            }
        }
    }
}

}  // namespace quill
