#include "reader/finder.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "shell/file_io.h"

namespace quill {

namespace {

// Large reads keep the scan at memory speed; the buffer is the reader's only sizeable memory.
constexpr size_t kBlockSize = size_t{1} << 20;
// One copy call moves at most this much, so the copy yields every few milliseconds.
constexpr uint64_t kCopyChunk = uint64_t{16} << 20;
// How often the window's bar and label are refreshed while separators stream in.
constexpr auto kProgressBudget = std::chrono::milliseconds(8);

std::string SystemReason(int code) {
    return std::strerror(code);
}

std::string TrimBlanks(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

bool IsExistingFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Keeps descriptor numbers above 0, since FileNum 0 means that no file is open.
int AboveZero(int fd) {
    if (fd != 0) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    return moved;
}

}  // namespace

FrmFinder::FrmFinder(Frontend& frontend) : frontend_(frontend), clock_(frontend) {}

FrmFinder::~FrmFinder() {
    if (FileNum > 0) {
        try {
            CloseFile();
        } catch (...) {
            // A front end that fails while the program ends cannot be told anything more.
        }
    }
}

void FrmFinder::alert(const std::string& text, MsgIcon icon, const std::string& title,
                      MsgButtons buttons) {
    frontend_.beep();
    frontend_.messageBox(text, buttons, icon, title);
}

void FrmFinder::fail(std::string text, int code) {
    lastError_ = std::move(text);
    if (code != 0) lastError_ += ": " + SystemReason(code);
}

void FrmFinder::Open_MBOX(const std::string& fmboxname) {
    if (FileNum > 0) {
        alert("Close current file before open a file!", MsgIcon::Exclamation, "");
        return;
    }
    // Every step may fail on its own; the reader then stays closed and Find_Click reports.
    try {
        FileName = fmboxname;
        OpenFile();
    } catch (const std::exception& e) {
        fail("Could not open mailbox " + fmboxname + ": " + e.what(), 0);
    }
    Text1 = FileName;
}

void FrmFinder::OpenFile() {
    lastError_.clear();
    struct stat st;
    if (::stat(FileName.c_str(), &st) != 0) {
        fail("Could not measure mailbox " + FileName, errno);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        fail("Mailbox " + FileName + " is not a file", 0);
        return;
    }
    FileSize = st.st_size;
    clock_.maybeYield();
    if (FileSize < 2) {
        alert("File size is " + std::to_string(FileSize) +
                  " byte !\r\rFile can not open for string searching !",
              MsgIcon::Exclamation, kReaderTitle);
        fail("Mailbox " + FileName + " is too short to search (" + std::to_string(FileSize) +
                 " bytes)",
             0);
        return;
    }

    const std::string copyPath = FileName + ".tmp";
    int code = 0;
    readingMailbox_ = false;
    switch (MakeWorkingCopy(copyPath, code)) {
        case CopyMade:
            break;
        case CopyCancelled:
            return;  // the program is ending: nothing to tell
        case MailboxUnreadable:
            alert("Temporary file creation failed !\r\rError No: " + std::to_string(code),
                  MsgIcon::Exclamation, kErrorTitle);
            return;
        case NoRoomBeside:
            // Neither a working copy nor a second name can be made beside the mailbox (a
            // folder the user may not write to, a read-only disc or mount, a working copy
            // left there that cannot be deleted). The search only reads, so the mailbox
            // itself, opened read-only, serves as well; nothing is written beside it.
            readingMailbox_ = true;
            lastError_.clear();
            break;
    }
    clock_.maybeYield();

    FoundPos = -1;
    int fd = ::open(searchedPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) fd = AboveZero(fd);
    if (fd < 0) {
        fail("Could not open " + searchedFile(), errno);
        FileNum = 0;
        return;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    FileNum = fd;
}

std::string FrmFinder::searchedPath() const {
    return readingMailbox_ ? FileName : FileName + ".tmp";
}

std::string FrmFinder::searchedFile() const {
    return (readingMailbox_ ? "mailbox " : "working copy ") + searchedPath();
}

FrmFinder::CopyOutcome FrmFinder::MakeWorkingCopy(const std::string& copyPath, int& errorCode) {
    // A copy left by an earlier run is made afresh. It may be a second name of the mailbox
    // itself (see below): when it cannot be deleted, nothing is written through it.
    struct stat st;
    if (::lstat(copyPath.c_str(), &st) == 0) {
        clock_.maybeYield();
        if (::unlink(copyPath.c_str()) != 0) {
            errorCode = errno;
            fail("Could not delete the old working copy " + copyPath, errorCode);
            return NoRoomBeside;
        }
    }
    clock_.maybeYield();

    // Always a new file: never an existing one (or a link) written over.
    constexpr int kCreateCopy = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int in = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        errorCode = errno;
        fail("Could not open mailbox " + FileName + " to copy it", errorCode);
        return MailboxUnreadable;
    }
    int out = ::open(copyPath.c_str(), kCreateCopy, 0600);
    if (out < 0) {
        // A folder that takes no new file takes no second name either.
        errorCode = errno;
        fail("Could not create working copy " + copyPath, errorCode);
        ::close(in);
        return NoRoomBeside;
    }

    uint64_t failedAt = 0;
    auto copyFailed = [&](int code) {
        errorCode = code;
        if (code == ECANCELED)
            lastError_ = "Copying mailbox " + FileName + " was cancelled";
        else
            fail("Could not copy mailbox " + FileName + " to working copy " + copyPath +
                     " at offset " + std::to_string(failedAt),
                 code);
        ::close(in);
        ::close(out);
        ::unlink(copyPath.c_str());  // a partial copy is of no use to anyone
        return code == ECANCELED ? CopyCancelled : NoRoomBeside;
    };

    // A reflink shares the blocks (btrfs, XFS): no data moves at all.
#ifdef FICLONE
    const bool cloned = ::ioctl(out, FICLONE, in) == 0;
#else
    const bool cloned = false;
#endif
    if (!cloned) {
        // The search only reads the working copy, and the message files are cut from the
        // mailbox itself, so a second name for the mailbox's data serves as well as a copy
        // and writes nothing: a byte copy would double what a run writes to the disk. File
        // systems without hard links (FAT, some network shares) get a real copy.
        ::close(out);
        ::unlink(copyPath.c_str());
        if (::link(FileName.c_str(), copyPath.c_str()) == 0) {
            ::close(in);
            return CopyMade;
        }
        out = ::open(copyPath.c_str(), kCreateCopy, 0600);
        if (out < 0) {
            errorCode = errno;
            fail("Could not create working copy " + copyPath, errorCode);
            ::close(in);
            return NoRoomBeside;
        }
    }
    if (!cloned) {
        struct stat inStat;
        if (::fstat(in, &inStat) != 0) return copyFailed(errno);
        const uint64_t size = static_cast<uint64_t>(inStat.st_size);
        // Copy the data extents only, so that holes stay holes; the kernel moves the bytes
        // (copy_file_range, else sendfile, else plain reads and writes).
        enum { kCopyRange, kSendFile, kReadWrite } method = kCopyRange;
        std::vector<char> buffer;
        uint64_t pos = 0;
        while (pos < size) {
            off_t data = ::lseek(in, static_cast<off_t>(pos), SEEK_DATA);
            if (data < 0 && errno == ENXIO) break;  // only a hole is left
            uint64_t extentStart = data < 0 ? pos : static_cast<uint64_t>(data);
            off_t hole = data < 0 ? -1 : ::lseek(in, data, SEEK_HOLE);
            uint64_t extentEnd = hole < 0 ? size : std::min<uint64_t>(size, hole);
            uint64_t at = extentStart;
            while (at < extentEnd) {
                failedAt = at;
                size_t want = static_cast<size_t>(std::min(kCopyChunk, extentEnd - at));
                ssize_t moved = -1;
                if (method == kCopyRange) {
                    off_t inOff = static_cast<off_t>(at), outOff = static_cast<off_t>(at);
                    moved = ::copy_file_range(in, &inOff, out, &outOff, want, 0);
                    if (moved < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                                      errno == EINVAL || errno == EBADF)) {
                        method = kSendFile;
                        continue;
                    }
                } else if (method == kSendFile) {
                    off_t inOff = static_cast<off_t>(at);
                    if (::lseek(out, static_cast<off_t>(at), SEEK_SET) < 0)
                        return copyFailed(errno);
                    moved = ::sendfile(out, in, &inOff, want);
                    if (moved < 0 && (errno == EINVAL || errno == ENOSYS)) {
                        method = kReadWrite;
                        continue;
                    }
                } else {
                    buffer.resize(kBlockSize);
                    want = std::min(want, kBlockSize);
                    moved = ::pread(in, buffer.data(), want, static_cast<off_t>(at));
                    if (moved > 0) {
                        IoResult w = PwriteAll(out, buffer.data(), static_cast<size_t>(moved), at);
                        if (w.error) return copyFailed(w.error);
                    }
                }
                if (moved < 0) {
                    if (errno == EINTR) continue;
                    return copyFailed(errno);
                }
                if (moved == 0) break;  // the mailbox became shorter while it was copied
                at += static_cast<uint64_t>(moved);
                clock_.maybeYield();
                if (clock_.cancelled()) return copyFailed(ECANCELED);
            }
            pos = std::max(extentEnd, at);
            if (hole < 0 && data < 0) break;  // no extent information: copied to the end
        }
        failedAt = size;
        if (::ftruncate(out, static_cast<off_t>(size)) != 0) return copyFailed(errno);
    }
    ::close(in);
    if (::close(out) != 0) {
        errorCode = errno;
        fail("Could not finish working copy " + copyPath, errorCode);
        ::unlink(copyPath.c_str());
        return NoRoomBeside;
    }
    return CopyMade;
}

void FrmFinder::endSearch(SearchEnd how) {
    searchEnd_ = how;
    Found = false;
    SearchDone = true;
}

void FrmFinder::Find_Click() {
    const std::string name = TrimBlanks(Text1);
    if (name.empty()) {
        alert("Enter name of the file to be searched...", MsgIcon::None, kReaderTitle);
        lastError_ = "No mailbox named";
        endSearch(SearchEnd::NotStarted);
        return;
    }
    if (FileNum <= 0) {
        // A second attempt when Open_MBOX did not open the file.
        FileName = name;
        if (!IsExistingFile(name)) {
            alert("File not found !", MsgIcon::Exclamation, kReaderTitle);
            // Say why: missing, unreachable, or there but no file (a folder, pipe or device).
            struct stat st;
            if (::stat(name.c_str(), &st) != 0)
                lastError_ = "Mailbox " + name + " does not exist: " + std::strerror(errno);
            else
                lastError_ = "Mailbox " + name + " is not a file but a folder, pipe or device";
            endSearch(SearchEnd::NotStarted);
            return;
        }
        OpenFile();
        if (FileNum <= 0) {
            if (!clock_.cancelled())
                alert("File could not open !", MsgIcon::Exclamation, kReaderTitle);
            if (lastError_.empty()) lastError_ = "Could not open mailbox " + name;
            endSearch(clock_.cancelled() ? SearchEnd::Cancelled : SearchEnd::NotStarted);
            return;
        }
    }
    CurPos = 0;
    reported_.clear();
    restartPending_ = true;
    SearchString();
}

void FrmFinder::FindNext_Click() {
    if (FoundPos < 0) {
        frontend_.beep();
        return;
    }
    CurPos = FoundPos + SearchLen;
    SearchString();
}

void FrmFinder::SearchString() {
    GetString();
    if (restartPending_ || SearchStr != scanner_.searchText()) {
        // A new search, or a search text changed between steps: scan from the start with
        // the new text and hand out only what lies at or after CurPos.
        scanner_ = SeparatorScanner(SearchStr);
        queue_.clear();
        queueHead_ = 0;
        dataEnd_ = 0;
        forgetBlocks();
        scanLimit_ = static_cast<uint64_t>(std::max<int64_t>(FileSize, 0));
        searchEnd_ = SearchEnd::None;
        restartPending_ = false;
    }
    ScanString();
    if (Found) {
        ShowString();
    } else {
        SearchDone = true;
        showProgress(true);
    }
}

void FrmFinder::GetString() {
    SearchStr = Text2;
    if (SearchStr.size() > 2 && SearchStr.front() == '"' && SearchStr.back() == '"')
        SearchStr = SearchStr.substr(1, SearchStr.size() - 2);
    SearchLen = static_cast<int64_t>(SearchStr.size());
}

void FrmFinder::ScanString() {
    Found = false;
    if (SearchStr.empty()) {
        // An empty search text would match everywhere and never move on.
        FoundPos = -1;
        searchEnd_ = SearchEnd::Exhausted;
        return;
    }
    for (;;) {
        while (queueHead_ < queue_.size()) {
            const uint64_t offset = queue_[queueHead_++];
            if (static_cast<int64_t>(offset) < CurPos) continue;
            CurPos = FoundPos = static_cast<int64_t>(offset);
            Found = true;
            return;
        }
        queue_.clear();
        queueHead_ = 0;
        if (!FillQueue()) break;
    }
    FoundPos = -1;
}

bool FrmFinder::FillQueue() {
    uint64_t pos = scanner_.bytesSeen();
    if (pos >= scanLimit_) {
        searchEnd_ = SearchEnd::Exhausted;
        return false;
    }
    if (FileNum <= 0) {
        lastError_ = "No working copy of " + FileName + " is open";
        searchEnd_ = SearchEnd::ReadFailed;
        return false;
    }
    if (pos >= dataEnd_) {
        // Holes of a sparse file read as zeros, which hold no separator: skip them.
        off_t data = ::lseek(FileNum, static_cast<off_t>(pos), SEEK_DATA);
        uint64_t dataStart = pos;
        dataEnd_ = scanLimit_;
        if (data < 0 && errno == ENXIO) {
            dataStart = scanLimit_;
        } else if (data >= 0) {
            dataStart = std::min<uint64_t>(static_cast<uint64_t>(data), scanLimit_);
            off_t hole = ::lseek(FileNum, data, SEEK_HOLE);
            if (hole >= 0) dataEnd_ = std::min<uint64_t>(static_cast<uint64_t>(hole), scanLimit_);
        }
        if (dataStart > pos) {
            scanner_.feedZeros(dataStart - pos, queue_);
            pos = dataStart;
        }
        if (pos >= scanLimit_) return true;  // the next call ends the search
        if (dataEnd_ <= pos) dataEnd_ = scanLimit_;
    }

    current_ = (current_ + 1) % blocks_.size();
    Block& block = blocks_[current_];
    block.length = 0;
    if (block.data.empty()) block.data.resize(kBlockSize);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockSize, dataEnd_ - pos));
    // A read that fails after some bytes hands those over; the next one reports it.
    const IoResult got = PreadAll(FileNum, block.data.data(), want, pos);
    if (got.done == 0 && got.error) {
        fail("Could not read " + searchedFile() + " at offset " + std::to_string(pos), got.error);
        searchEnd_ = SearchEnd::ReadFailed;
        return false;
    }
    if (got.done == 0) {
        lastError_ = "The " + searchedFile() + " ends at offset " + std::to_string(pos) +
                     ", before the " + std::to_string(scanLimit_) +
                     " bytes the mailbox had when it was opened";
        searchEnd_ = SearchEnd::ReadFailed;
        return false;
    }
    block.start = pos;
    block.length = got.done;
    scanner_.feed(block.data.data(), block.length, queue_);
    clock_.maybeYield();
    if (clock_.cancelled()) {
        lastError_ = "Search of " + FileName + " was cancelled";
        searchEnd_ = SearchEnd::Cancelled;
        queue_.clear();
        queueHead_ = 0;
        return false;
    }
    return true;
}

void FrmFinder::ShowString() {
    FoundPositions += std::to_string(CurPos);
    FoundPositions += '|';
    reported_.push_back(static_cast<uint64_t>(CurPos));
    progressPending_ = true;
    showProgress(false);
}

void FrmFinder::showProgress(bool force) {
    if (!progressPending_ || reported_.empty()) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - lastProgress_ < kProgressBudget) return;
    lastProgress_ = now;
    progressPending_ = false;
    const uint64_t offset = reported_.back();
    // Rounded to the nearest whole percent, a half to the even neighbour.
    const double percent =
        FileSize > 0
            ? std::nearbyint(static_cast<double>(offset) / static_cast<double>(FileSize) * 100.0)
            : 0.0;
    frontend_.setBar(Bar::ProgressBar2, static_cast<float>(percent));
    frontend_.setCaption(Caption::LblHappening,
                         "Searching for messages... Found message at : " + std::to_string(offset));
}

void FrmFinder::keepRecentBytes(uint64_t bytes) {
    const size_t wanted = 1 + static_cast<size_t>((bytes + kBlockSize - 1) / kBlockSize);
    if (wanted <= blocks_.size()) return;
    // The blocks in reading order, the one read last at the end, then the new empty ones.
    std::vector<Block> ordered;
    for (size_t i = 1; i <= blocks_.size(); ++i)
        ordered.push_back(std::move(blocks_[(current_ + i) % blocks_.size()]));
    current_ = ordered.size() - 1;
    ordered.resize(wanted);
    blocks_ = std::move(ordered);
}

std::span<const char> FrmFinder::recentBytes(uint64_t at) const {
    for (const Block& block : blocks_) {
        if (block.length > 0 && at >= block.start && at - block.start < block.length) {
            const size_t skip = static_cast<size_t>(at - block.start);
            return {block.data.data() + skip, block.length - skip};
        }
    }
    return {};
}

void FrmFinder::forgetBlocks() {
    for (Block& block : blocks_) block.length = 0;
}

void FrmFinder::CloseFile() {
    showProgress(true);
    if (FileNum > 0) ::close(FileNum);
    FileNum = 0;
    queue_.clear();
    queueHead_ = 0;
    forgetBlocks();
    // Read in place, the reader made nothing beside the mailbox: what is there is not its.
    const bool madeCopy = !readingMailbox_;
    readingMailbox_ = false;
    if (madeCopy && !FileName.empty()) {
        const std::string copyPath = FileName + ".tmp";
        clock_.maybeYield();
        struct stat st;
        if (::lstat(copyPath.c_str(), &st) == 0) {
            if (::unlink(copyPath.c_str()) != 0) {
                const int code = errno;
                fail("Could not delete working copy " + copyPath, code);
                alert("Temporay file \"" + copyPath +
                          "\" could not be deleted!\r\rError No: " + std::to_string(code),
                      MsgIcon::Exclamation, kErrorTitle);
            }
            clock_.maybeYield();
        }
    }
    FileNum = 0;
}

}  // namespace quill
