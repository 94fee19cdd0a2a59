// The MSG output: one .msg file per message, beside where its .eml would have stayed.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "convert/store_outputs.h"
#include "convert/store_step.h"
#include "shell/paths.h"
#include "store/msg/msg_writer.h"

namespace quill {

namespace {

// An MSG run's queue holds the messages themselves (see MsgOutput): a few of several MiB each
// would otherwise double its memory.
constexpr uint64_t kMaxPendingHeldBytes = uint64_t(8) << 20;

// What a worker's long step sees as its front end: nobody to show anything to, only whether
// the run still wants its result.
class StopFlagFrontend : public SilentFrontend {
  public:
    explicit StopFlagFrontend(const std::atomic<bool>& stop) : stop_(stop) {}
    bool cancelRequested() const override { return stop_; }

  private:
    const std::atomic<bool>& stop_;
};

// The message file the cut left under its temporary name, opened to be written over when it
// is a plain file with no other name; -1 otherwise.
int OpenSpentFile(const std::string& file) {
    int fd = ::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class MsgOutput : public StoreOutput {
  public:
    void setYieldClock(YieldClock* clock) override { step_.setYieldClock(clock); }
    StoreError open(const std::string&) override { return std::nullopt; }
    // As in a PST run, a message the cut holds whole is imported from memory, its message file
    // written only when it cannot be converted, to keep it.
    HandOver handOver() const override { return HandOver::HeldInMemory; }
    StoreError beginMailbox(const StoreFolderPath&, const std::string& outputFolder) override {
        folder_ = outputFolder;
        return std::nullopt;
    }
    StoreError storeMessage(uint64_t k, const std::string& file,
                            const MessageBytes& bytes) override {
        std::string target = AddTrailingSeparator(folder_) + "Email-" + std::to_string(k) + ".msg";
        return step_.submit(
            file, bytes ? bytes->size() : MessageFileSize(file), target,
            [file, bytes, target](const std::atomic<bool>& stop) {
                bool imported = false;
                StoreError error = Convert(file, bytes, target, stop, imported);
                // An imported message is spent, as its file is once the .msg takes it over.
                return StoredMessage{file, error, imported ? nullptr : bytes};
            },
            Taken);
    }
    StoreError endMailbox() override { return step_.drain(Taken); }
    StoreError close() override { return endMailbox(); }
    void abandon() override {
        step_.abandon([](const StoredMessage& m) { return !m.error; });
    }

  private:
    // A message not stored stays as a message file. A stored one has left nothing behind (its
    // file became the .msg or was deleted), so there is nothing to look up on the disk.
    static StoreError Taken(const StoredMessage& m) {
        if (!m.error) return std::nullopt;
        return m.held ? KeepHeldMessage(m) : KeepMessageFile(m);
    }

    // A message's whole store step: the import, then the .msg file. The message file, when
    // the message had one (a message the cut held in memory had none), is spent once
    // imported: the .msg is written over it where it lies and takes its place on the disk,
    // which spares creating one file and deleting another per message. Only when it cannot
    // be written over is the .msg made afresh and the message file deleted.
    static StoreError Convert(const std::string& file, const MessageBytes& bytes,
                              const std::string& target, const std::atomic<bool>& stop,
                              bool& imported) {
        if (stop) return "stopped at the user's request";
        std::string error;
        auto message = ImportMessage(file, bytes, error);
        if (!message) return error;
        imported = true;
        try {
            store::msg::MsgWriteOptions options;
            // A large message's write looks at the flag between pieces and stops early.
            StopFlagFrontend stopFlag(stop);
            YieldClock stopClock(stopFlag);
            options.yieldClock = &stopClock;
            const int spent = bytes ? -1 : OpenSpentFile(file);
            store::msg::MsgWriteResult written =
                spent >= 0 ? store::msg::WriteMsgFile(*message, target, spent, file, options)
                           : store::msg::WriteMsgFile(*message, target, options);
            if (!written) return written.error;
            if (bytes || spent >= 0) return std::nullopt;
        } catch (const std::exception& e) {
            return "Could not write the message file " + target + ": " + e.what();
        }
        return RemoveMessageFile(file);
    }

    std::string folder_;
    // A worker per core, each doing a message's whole store step (the import, then the
    // write), as the imports of a PST run: the compound file is our own and takes no lock.
    // GMime's objects take global locks of GLib's, so more threads than cores only contend.
    StoreStep<StoredMessage> step_{OrderedWorkers<StoredMessage>::DefaultThreads(),
                                   kMaxPendingHeldBytes};
};

}  // namespace

std::unique_ptr<StoreOutput> MakeMsgOutput() {
    return std::make_unique<MsgOutput>();
}

}  // namespace quill
