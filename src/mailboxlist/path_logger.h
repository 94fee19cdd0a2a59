#pragma once
// pathLogger walks a folder and every folder below it, breadth-first, and logs what it finds
// into keyed collections: the folders walked (`pathNames`), the full paths of the files
// (`fullFileNames`) and, unless `fullFileNamesOnly` is set, the bare names (`fileNames`) and
// the position of each file's folder (`pathPointers`). It applies no filter: every entry
// that is not a folder is a file. Qt-free.
//
// Keys: "K0" for the start folder and "K2", "K3", ... for the folders found after it; "K1",
// "K2", ... for the files, the three file collections sharing one key per file.
//
// Where the file system leaves things open, the walk is made repeatable and safe:
// - each folder's entries are taken in name order, ignoring case (as Windows lists them), so
//   every machine and every run walks in the same order;
// - a folder reached again through a link (a loop, or a second way to a folder already
//   queued) is not walked again and not logged twice;
// - a folder that cannot be listed (no rights, vanished) is skipped and remembered in
//   `unreadableFolders`; the walk goes on with the others.
//
// Calling order: PathLogInit, optionally fullFileNamesOnly, one LogPath, the collections,
// Terminate. A second LogPath without PathLogInit fails with DuplicateKeyError ("K0").

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mailboxlist/keyed_collection.h"

namespace quill {

class YieldClock;

using TextCollection = KeyedCollection<std::string>;
using PointerCollection = KeyedCollection<int32_t>;

struct UnreadableFolder {
    std::string path;    // as logged in pathNames, with its trailing separator
    std::string reason;  // the system's reason
};

class pathLogger {
  public:
    void PathLogInit();
    void LogPath(const std::string& path);
    int32_t Count() const { return fileCounter_; }
    void Terminate();

    void fullFileNamesOnly(bool value) { fullFileNamesOnly_ = value; }
    bool fullFileNamesOnly() const { return fullFileNamesOnly_; }

    // Each returns the walker's collection itself, made empty first when it holds none; a
    // caller that keeps it keeps it valid after PathLogInit or Terminate.
    std::shared_ptr<TextCollection> fileNames();
    std::shared_ptr<TextCollection> pathNames();
    std::shared_ptr<PointerCollection> pathPointers();
    std::shared_ptr<TextCollection> fullFileNames();

    // Folders of the last walk that could not be listed, in walk order. Cleared by
    // PathLogInit and Terminate.
    const std::vector<UnreadableFolder>& unreadableFolders() const { return unreadable_; }

    // When set, LogPath offers the front end a yield after each folder and stops walking
    // (keeping what it logged) once the front end asks to cancel. Not owned.
    void setYieldClock(YieldClock* clock) { clock_ = clock; }
    // True when the last walk stopped early on a cancel.
    bool walkCancelled() const { return cancelled_; }

  private:
    static std::string AddBackslash(const std::string& path);
    void logFile(const std::string& folder, const std::string& name, int32_t folderPosition);

    bool ready_ = false;  // PathLogInit was called (stands for the file-system object)
    int32_t fileCounter_ = 0;
    std::shared_ptr<TextCollection> fileNames_;
    std::shared_ptr<PointerCollection> pathPointers_;
    std::shared_ptr<TextCollection> pathNames_;
    std::shared_ptr<TextCollection> fullFileNames_;
    bool fullFileNamesOnly_ = false;
    std::vector<UnreadableFolder> unreadable_;
    YieldClock* clock_ = nullptr;
    bool cancelled_ = false;
};

}  // namespace quill
