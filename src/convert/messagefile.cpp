#include "convert/messagefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "convert/message_text.h"
#include "shell/file_io.h"
#include "shell/paths.h"

namespace quill {

namespace {

constexpr size_t kReadBlock = size_t{1} << 20;
// Text is written once this much has gathered; with a read block's worth more (at most twice
// its size once every LF became CR LF) the output buffer stays under 3 MiB.
constexpr size_t kWriteThreshold = size_t{1} << 20;
constexpr auto kCaptionBudget = std::chrono::milliseconds(8);
constexpr const char* kPartSuffix = ".part";

// Opens a message file's temporary name for writing from its start. The file is never
// written through a link: what lies under the name is reused only when it is a plain file with
// no other name (left by an interrupted run); anything else there (a link put there) goes
// first. The name is rarely taken, so a mailbox costs no extra call per file. A reused file is
// written over and cut to length when complete (`reused`), not emptied first: some file
// systems flush a file emptied and rewritten to the disk at once when it is closed.
int OpenPartFile(const std::string& part, bool& reused) {
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    reused = false;
    int out = ::open(part.c_str(), kCreate, 0666);
    if (out >= 0 || errno != EEXIST) return out;
    out = ::open(part.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (out >= 0) {
        struct stat st {};
        if (::fstat(out, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
            ::fcntl(out, F_SETFL, 0) == 0) {
            reused = true;
            return out;
        }
        ::close(out);
    }
    ::unlink(part.c_str());
    return ::open(part.c_str(), kCreate, 0666);
}

std::string Reason(int code) {
    return std::strerror(code);
}

// Reads the mailbox through one block buffer, sequentially when the messages follow each
// other, and writes message files from it.
class MessageCutter {
  public:
    MessageCutter(YieldClock& clock, std::string mailboxPath, uint64_t expectedSize = 0)
        : clock_(clock), mailboxPath_(std::move(mailboxPath)), expectedSize_(expectedSize) {}
    ~MessageCutter() {
        if (fd_ >= 0) ::close(fd_);
    }
    MessageCutter(const MessageCutter&) = delete;
    MessageCutter& operator=(const MessageCutter&) = delete;

    // Opens the mailbox and measures it; false with error_ set when it cannot.
    bool open() {
        fd_ = ::open(mailboxPath_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return fail(0, errno, "Could not open mailbox " + mailboxPath_);
        struct stat st;
        if (::fstat(fd_, &st) != 0)
            return fail(0, errno, "Could not measure mailbox " + mailboxPath_);
        size_ = static_cast<uint64_t>(st.st_size);
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
        in_.resize(kReadBlock);
        out_.reserve(kWriteThreshold + 2 * kReadBlock);
        return true;
    }

    // Writes message k; forceCaption shows its "Saved" caption whatever the budget.
    MessageFileResult cut(const std::vector<uint64_t>& positions, uint64_t k,
                          const std::string& folder, const std::string& extension,
                          bool forceCaption) {
        MessageFileResult result;
        result.path = MessageFilePath(folder, k, extension);
        if (k >= positions.size()) {
            fail(k, 0,
                 "There is no message " + std::to_string(k) + " in mailbox " + mailboxPath_ + " (" +
                     std::to_string(positions.size()) + " found)");
            result.error = error_;
            return result;
        }
        // The mailbox may have shrunk since its separators were found (cut short by someone
        // else, or replaced): a message that would reach past its end is a failure, never a
        // shorter or empty file that looks whole.
        const uint64_t searched = std::max(expectedSize_, size_);
        const uint64_t next = k + 1 < positions.size() ? positions[k + 1] : searched;
        if (positions[k] >= size_ || next > size_) {
            fail(k, 0,
                 "Mailbox " + mailboxPath_ + " ends at offset " + std::to_string(size_) +
                     ", before the end of message " + std::to_string(k) + " at offset " +
                     std::to_string(std::max(positions[k], next)) +
                     " (it changed after it was searched)");
            result.error = error_;
            return result;
        }
        const uint64_t start = positions[k];
        const uint64_t end = std::max(start, next);

        const std::string part = MessageFilePartPath(result.path);
        // Opened for the first piece written; a message held whole in memory may never be.
        int out = -1;
        bool reused = false;
        auto openFile = [&]() -> bool {
            if (out >= 0) return true;
            out = OpenPartFile(part, reused);
            if (out < 0) return fail(k, errno, "Could not create message file " + part);
            return true;
        };
        auto abandon = [&]() {
            if (out >= 0) {
                ::close(out);
                ::unlink(part.c_str());
            }
            result.error = error_;
            return result;
        };
        // Held: the text goes into a string of its own, about the message's size, that leaves
        // with it; else through out_ to the file, a piece at a time.
        const bool hold =
            handOver_ == HandOver::HeldInMemory && end - start <= store::kInMemoryLimit;
        if (!hold && !openFile()) return abandon();
        std::string held;
        if (hold) held.reserve(static_cast<size_t>(end - start + (end - start) / 16 + 16));
        std::string& sink = hold ? held : out_;

        MessageText text;
        out_.clear();
        bytes_.reset();
        uint64_t written = 0;
        auto flush = [&]() -> bool {
            if (!openFile()) return false;
            if (IoResult w = WriteAll(out, out_.data(), out_.size()); w.error) {
                fail(k, w.error,
                     "Could not write message file " + part + " at offset " +
                         std::to_string(written + w.done));
                return false;
            }
            written += out_.size();
            out_.clear();
            return true;
        };

        uint64_t at = start;
        while (at < end) {
            if (at < blockStart_ || at >= blockStart_ + blockLen_) {
                if (!readBlock(at, k, end)) return abandon();
            }
            const uint64_t stop = std::min(end, blockStart_ + blockLen_);
            text.feed(blockData_ + (at - blockStart_), static_cast<size_t>(stop - at), sink);
            at = stop;
            if (!hold && out_.size() >= kWriteThreshold && !flush()) return abandon();
            if (captionDue()) {
                clock_.frontend().setCaption(Caption::LblProgress,
                                             "Saving: " + std::to_string(text.textLength()) +
                                                 " Bytes out of " + std::to_string(size_) +
                                                 " Total Bytes.");
            }
            clock_.maybeYield();
            if (clock_.cancelled()) {
                result.cancelled = true;
                fail(k, ECANCELED, "Writing message file " + result.path + " was cancelled");
                return abandon();
            }
        }
        text.finish(sink);
        if (hold) {
            bytes_ = std::make_shared<const std::string>(std::move(held));
            result.path = part;  // where it goes should it be written after all
        } else {
            // A handed-over message written in one piece: its bytes go with it.
            if (handOver_ != HandOver::FinalName && written == 0)
                bytes_ = std::make_shared<const std::string>(out_);
            if (!flush()) return abandon();
            if (reused && ::ftruncate(out, static_cast<off_t>(written)) != 0) {
                fail(k, errno, "Could not cut message file " + part + " to its length");
                return abandon();
            }
            const int closing = std::exchange(out, -1);
            if (::close(closing) != 0) {
                fail(k, errno, "Could not finish message file " + part);
                ::unlink(part.c_str());
                result.error = error_;
                return result;
            }
            if (handOver_ != HandOver::FinalName) {
                result.path = part;
            } else if (::rename(part.c_str(), result.path.c_str()) != 0) {
                fail(k, errno, "Could not rename message file " + part + " to " + result.path);
                ::unlink(part.c_str());
                result.error = error_;
                return result;
            }
        }
        if (forceCaption || captionDue()) {
            clock_.frontend().setCaption(Caption::LblProgress,
                                         "Saved Email-" + std::to_string(k) + " Message");
        }
        result.ok = true;
        return result;
    }

    const MessageFileError& error() const { return error_; }
    void setHandOver(HandOver handOver) { handOver_ = handOver; }
    void setExpectedSize(uint64_t expectedSize) { expectedSize_ = expectedSize; }
    // Where bytes already read by someone else may be taken from, or nothing. What came from
    // there is not used again once this is called.
    void setRecentBytes(RecentBytes recent) {
        recent_ = std::move(recent);
        if (blockData_ != in_.data()) blockLen_ = 0;
    }
    // The content of the message just cut, when it was handed over and written in one piece.
    MessageBytes takeBytes() { return std::move(bytes_); }

  private:
    bool fail(uint64_t k, int code, std::string what) {
        error_.message = k;
        error_.code = code;
        error_.text = std::move(what);
        if (code != 0 && code != ECANCELED) error_.text += ": " + Reason(code);
        return false;
    }

    bool readBlock(uint64_t at, uint64_t k, uint64_t end) {
        if (recent_) {
            if (std::span<const char> kept = recent_(at); !kept.empty()) {
                blockData_ = kept.data();
                blockStart_ = at;
                blockLen_ = kept.size();
                return true;
            }
        }
        blockData_ = in_.data();
        // A read that fails after some bytes hands those over; the next one reports it.
        const IoResult got = PreadAll(fd_, in_.data(), in_.size(), at);
        if (got.done == 0 && got.error) {
            blockLen_ = 0;
            return fail(
                k, got.error,
                "Could not read mailbox " + mailboxPath_ + " at offset " + std::to_string(at));
        }
        if (got.done == 0) {
            blockLen_ = 0;
            return fail(k, 0,
                        "Mailbox " + mailboxPath_ + " ends at offset " + std::to_string(at) +
                            ", before the end of message " + std::to_string(k) + " at offset " +
                            std::to_string(end));
        }
        blockStart_ = at;
        blockLen_ = got.done;
        return true;
    }

    bool captionDue() {
        auto now = std::chrono::steady_clock::now();
        if (now - lastCaption_ < kCaptionBudget) return false;
        lastCaption_ = now;
        return true;
    }

    YieldClock& clock_;
    std::string mailboxPath_;
    uint64_t expectedSize_ = 0;  // the mailbox's length when it was searched; 0: unknown
    int fd_ = -1;
    uint64_t size_ = 0;
    std::vector<char> in_;
    RecentBytes recent_;
    const char* blockData_ = nullptr;  // in_, or bytes of recent_'s
    uint64_t blockStart_ = 0;
    uint64_t blockLen_ = 0;
    std::string out_;
    MessageBytes bytes_;
    MessageFileError error_;
    std::chrono::steady_clock::time_point lastCaption_{};
    HandOver handOver_ = HandOver::FinalName;
};

}  // namespace

std::string MessageFilePath(const std::string& outputFolder, uint64_t k,
                            const std::string& extension) {
    return AddTrailingSeparator(outputFolder) + "Email-" + std::to_string(k) + extension;
}

std::string MessageFilePartPath(const std::string& messageFilePath) {
    return messageFilePath + kPartSuffix;
}

MessageFileResult WriteMessageFile(YieldClock& clock, const std::string& mailboxPath,
                                   const std::vector<uint64_t>& positions, uint64_t k,
                                   const std::string& outputFolder, const std::string& extension) {
    MessageCutter cutter(clock, mailboxPath);
    if (!cutter.open()) {
        MessageFileResult result;
        result.path = MessageFilePath(outputFolder, k, extension);
        result.error = cutter.error();
        result.error.message = k;
        return result;
    }
    clock.maybeYield();
    return cutter.cut(positions, k, outputFolder, extension, true);
}

struct MailboxCut::Cutter {
    Cutter(YieldClock& clock, std::string mailboxPath) : cutter(clock, std::move(mailboxPath)) {}
    MessageCutter cutter;
    bool opened = false;
};

MailboxCut::MailboxCut(YieldClock& clock, std::string mailboxPath, std::string outputFolder,
                       std::string extension, MessageFileDone done, HandOver handOver)
    : cutter_(std::make_unique<Cutter>(clock, std::move(mailboxPath))),
      clock_(clock),
      outputFolder_(std::move(outputFolder)),
      extension_(std::move(extension)),
      done_(std::move(done)) {
    cutter_->cutter.setHandOver(handOver);
}

MailboxCut::~MailboxCut() = default;

bool MailboxCut::cutFound(const std::vector<uint64_t>& positions, const RecentBytes& recent) {
    if (positions.empty()) return !stopped_;
    cutter_->cutter.setRecentBytes(recent);
    const bool goOn = cutUpTo(positions, positions.size() - 1, false);
    cutter_->cutter.setRecentBytes({});
    return goOn;
}

const MailboxCutResult& MailboxCut::cutRest(const std::vector<uint64_t>& positions,
                                            uint64_t searchedSize) {
    cutter_->cutter.setRecentBytes({});
    cutter_->cutter.setExpectedSize(searchedSize);
    cutUpTo(positions, positions.size(), true);
    return result_;
}

bool MailboxCut::cutUpTo(const std::vector<uint64_t>& positions, uint64_t end, bool all) {
    if (stopped_) return false;
    MessageCutter& cutter = cutter_->cutter;
    for (uint64_t k = result_.written; k < end; ++k) {
        if (!cutter_->opened) {
            if (!cutter.open()) {
                result_.error = cutter.error();
                stopped_ = true;
                return false;
            }
            cutter_->opened = true;
        }
        const bool last = all && k + 1 == positions.size();
        MessageFileResult one = cutter.cut(positions, k, outputFolder_, extension_, last);
        if (one.cancelled) {
            result_.cancelled = true;
            stopped_ = true;
            return false;
        }
        if (!one.ok) {
            result_.error = one.error;
            stopped_ = true;
            // The caption keeps the last message written, as after a run that went well.
            if (k > 0)
                clock_.frontend().setCaption(Caption::LblProgress,
                                             "Saved Email-" + std::to_string(k - 1) + " Message");
            return false;
        }
        ++result_.written;
        if (done_ && !done_(k, one.path, cutter.takeBytes())) {
            result_.stoppedByCaller = !last;
            stopped_ = true;
            if (!last)
                clock_.frontend().setCaption(Caption::LblProgress,
                                             "Saved Email-" + std::to_string(k) + " Message");
            return false;
        }
        clock_.maybeYield();
        if (clock_.cancelled() && !last) {
            clock_.frontend().setCaption(Caption::LblProgress,
                                         "Saved Email-" + std::to_string(k) + " Message");
            result_.cancelled = true;
            stopped_ = true;
            return false;
        }
    }
    return true;
}

MailboxCutResult WriteMessageFiles(YieldClock& clock, const std::string& mailboxPath,
                                   const std::vector<uint64_t>& positions,
                                   const std::string& outputFolder, const std::string& extension,
                                   const MessageFileDone& done, uint64_t searchedSize,
                                   HandOver handOver) {
    MailboxCut cut(clock, mailboxPath, outputFolder, extension, done, handOver);
    return cut.cutRest(positions, searchedSize);
}

}  // namespace quill
