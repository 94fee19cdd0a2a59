#pragma once
// The mailbox reader: finds the byte offset of every message separator of one mailbox.
//
// The reader scans a working copy beside the mailbox (the mailbox path with ".tmp"
// appended), usually a second name of the mailbox's data rather than a copy, and deletes it on
// closing. Where neither a copy nor a second name can be made beside the mailbox (a folder the
// user may not write to, a read-only mount), it scans the mailbox itself, opened read-only.
// The conversion run drives it once per mailbox:
//
//     SearchDone = false; FoundPositions.clear();
//     finder.Text2 = "From ";
//     finder.Open_MBOX(path);
//     finder.Find_Click();
//     while (!SearchDone) { clock.maybeYield(); finder.FindNext_Click(); }
//     finder.CloseFile();
//
// Results arrive in FoundPositions and SearchDone (reader/search_state.h), in the reader's
// message boxes, and in ProgressBar2 and LblHappening of the window. After a search that
// stopped early, lastError() and searchEnd() say why, for the run's report.
//
// Qt-free: the window is reached through Frontend. Everything runs on the caller's thread;
// long steps yield on a time budget.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "reader/search_state.h"
#include "reader/separator_scan.h"
#include "shell/frontend.h"

namespace quill {

class FrmFinder {
  public:
    // How the last search ended.
    enum class SearchEnd {
        None,        // no search has ended since the last Find_Click
        Exhausted,   // every separator was found
        NotStarted,  // Find_Click could not start one (empty name, missing file, failed open)
        ReadFailed,  // the searched file could not be read to its end: lastError() says why
        Cancelled,   // the user asked the program to end
    };

    explicit FrmFinder(Frontend& frontend);
    // Closes an open file and removes its working copy, as unloading the reader window does.
    ~FrmFinder();
    FrmFinder(const FrmFinder&) = delete;
    FrmFinder& operator=(const FrmFinder&) = delete;

    // The two text boxes: the mailbox path and the search text.
    std::string Text1;
    std::string Text2;

    // Opens the mailbox and makes its working copy, or opens the mailbox itself when no copy
    // can be made beside it; shows a message when a file is already open or the mailbox is too
    // short or cannot be read, and otherwise leaves the reader closed silently when it fails.
    // Never throws.
    void Open_MBOX(const std::string& fmboxname);
    // Finds the first separator, opening the file named in Text1 if none is open.
    void Find_Click();
    // Finds the separator after the last one found; only beeps when none is held.
    void FindNext_Click();
    // Closes the searched file and deletes the working copy (also one left behind by a failed
    // open); a mailbox read in place is left as it is.
    void CloseFile();

    // Reader state, under the names the program gives them.
    std::string FileName;
    int FileNum = 0;        // above 0 while the searched file is open
    int64_t FileSize = 0;   // length of the mailbox when opened
    int64_t CurPos = 0;     // bytes consumed by the search, as the search steps see them
    int64_t FoundPos = -1;  // offset of the last separator found; -1 when none is held
    bool Found = false;     // outcome of the last search step
    std::string SearchStr;  // the search text, quotes stripped
    int64_t SearchLen = 0;

    SearchEnd searchEnd() const { return searchEnd_; }
    // The cause of the last failure in full (what, which file, the system's reason), or empty.
    const std::string& lastError() const { return lastError_; }
    // The offsets found since the last Find_Click, the same as FoundPositions holds.
    const std::vector<uint64_t>& positions() const { return reported_; }

    // Keeps at least the last `bytes` read by the search (in whole blocks, besides the one
    // being scanned), for a caller that cuts messages while the search goes on: it can take
    // them from here instead of reading them from the disk a second time.
    void keepRecentBytes(uint64_t bytes);
    // The bytes the search read at offset `at`, up to the end of the block holding them;
    // empty when they are not kept (not read yet, passed, or a hole). Valid until the next
    // search step or CloseFile.
    std::span<const char> recentBytes(uint64_t at) const;

    static constexpr const char* kReaderTitle = "Ombrex File Reader";
    static constexpr const char* kErrorTitle = "! ERROR !";

  private:
    void OpenFile();
    enum CopyOutcome { CopyMade, NoRoomBeside, MailboxUnreadable, CopyCancelled };
    CopyOutcome MakeWorkingCopy(const std::string& copyPath, int& errorCode);
    // The file the search reads (the working copy, or the mailbox itself), and its name in
    // a message ("working copy ...", "mailbox ...").
    std::string searchedPath() const;
    std::string searchedFile() const;
    void SearchString();
    void GetString();
    void ScanString();
    void ShowString();
    bool FillQueue();
    void endSearch(SearchEnd how);
    void showProgress(bool force);
    void alert(const std::string& text, MsgIcon icon, const std::string& title,
               MsgButtons buttons = MsgButtons::Ok);
    void fail(std::string text, int code);

    Frontend& frontend_;
    YieldClock clock_;
    SeparatorScanner scanner_{""};
    std::vector<uint64_t> queue_;  // separators found ahead of the one last handed out
    size_t queueHead_ = 0;
    std::vector<uint64_t> reported_;  // offsets handed out since the search began
    // Read buffers of the searched file: the block being scanned and those kept before it.
    struct Block {
        std::vector<char> data;
        uint64_t start = 0;
        size_t length = 0;  // 0: holds nothing
    };
    std::vector<Block> blocks_{1};
    size_t current_ = 0;  // the block read last
    void forgetBlocks();
    uint64_t scanLimit_ = 0;  // bytes of the searched file to search
    uint64_t dataEnd_ = 0;    // end of the data extent being read (sparse files)
    SearchEnd searchEnd_ = SearchEnd::None;
    std::string lastError_;
    bool readingMailbox_ = false;  // no working copy: the mailbox itself is open
    // Progress is shown on the time budget; the last separator found waits here.
    bool restartPending_ = true;
    bool progressPending_ = false;
    std::chrono::steady_clock::time_point lastProgress_{};
};

}  // namespace quill
