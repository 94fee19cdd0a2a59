#include "convert/store_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <system_error>

#include "convert/messagefile.h"
#include "convert/ordered_workers.h"
#include "shell/paths.h"
#include "store/limits.h"
#include "store/mime/import.h"
#include "store/msg/msg_writer.h"
#include "store/pst/messaging/pst_error.h"
#include "store/pst/messaging/pst_store.h"

namespace quill {

namespace fs = std::filesystem;
namespace pst = store::pst::messaging;

namespace {

// The whole file, read at once, when it is a plain file of at most kInMemoryLimit; nothing
// when it is better parsed from the file in bounded memory (or cannot be opened: the import
// then says why).
std::optional<store::Bytes> ReadSmallFile(const std::string& file, std::string& error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<store::Bytes> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) <= store::kInMemoryLimit) {
        bytes.emplace(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes->size()) {
            ssize_t n =
                ::pread(fd, bytes->data() + done, bytes->size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = "Could not read the message file " + file + " at offset " +
                        std::to_string(done) + ": " + std::strerror(errno);
                bytes.reset();
                break;
            }
            if (n == 0) {  // shorter than it was a moment ago
                bytes->resize(done);
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    ::close(fd);
    return bytes;
}

// Imports one message file, or its bytes when the cut still had them; the error text says
// which file and why.
// `expunged`, when given, says whether the mail program had deleted the message.
std::optional<store::Message> Import(const std::string& file, const MessageBytes& bytes,
                                     std::string& error, bool* expunged = nullptr) {
    auto taken = [expunged](store::mime::ImportResult result) {
        if (expunged) *expunged = result.expunged;
        return std::move(result.message);
    };
    try {
        if (bytes) {
            const auto* data = reinterpret_cast<const uint8_t*>(bytes->data());
            return taken(store::mime::ImportMessageBuffer({data, bytes->size()}));
        }
        std::optional<store::Bytes> whole = ReadSmallFile(file, error);
        if (!error.empty()) return std::nullopt;
        if (whole) return taken(store::mime::ImportMessageBuffer(*whole));
        return taken(store::mime::ImportMessageFile(file));
    } catch (const store::mime::ImportError& e) {
        error = e.what();
    } catch (const std::exception& e) {
        error = "Could not convert message file " + file + ": " + e.what();
    }
    return std::nullopt;
}

StoreError RemoveMessageFile(const std::string& file) {
    std::error_code ec;
    if (!fs::remove(file, ec) && ec)
        return "Could not delete the message file " + file + ": " + ec.message();
    return std::nullopt;
}

// Message files queued for the store step may hold this many bytes between them; one larger
// message still goes, alone. Bounds what the decoded messages waiting for the store hold.
constexpr uint64_t kMaxPendingBytes = uint64_t(32) << 20;
// And this many messages: enough that the cutting, the imports and the store, which take
// turns on the cores, rarely wait for one another (a queue of a few messages left the
// cores idle a third of the time), few enough that a run ending early has little to undo.
constexpr size_t kMaxPendingMessages = 128;
// An MSG run's queue holds the messages themselves (see MsgOutput): a few of several MiB each
// would otherwise double its memory.
constexpr uint64_t kMaxPendingHeldBytes = uint64_t(8) << 20;

uint64_t MessageFileSize(const std::string& file) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    return ec ? 0 : static_cast<uint64_t>(size);
}

// What a worker's long step sees as its front end: nobody to show anything to, only whether
// the run still wants its result.
class StopFlagFrontend : public SilentFrontend {
  public:
    explicit StopFlagFrontend(const std::atomic<bool>& stop) : stop_(stop) {}
    bool cancelRequested() const override { return stop_; }

  private:
    const std::atomic<bool>& stop_;
};

// The store step of each message (import, and for .msg files the write) runs on worker
// threads while the run cuts the next messages; results come back in message order on the
// run's thread, which alone talks to the front end and waits for the workers with the window
// answering. A failure is reported at the next message, or at the end of the mailbox.
//
// When the run ends early, the output is left as if the messages had been done one at a time
// up to where it stopped: what the workers did beyond that point is undone (message files cut
// ahead and .msg files written ahead are removed), so no mailbox output folder has gaps.
template <typename Result>
class StoreStep {
  public:
    explicit StoreStep(unsigned threads = OrderedWorkers<Result>::DefaultThreads(),
                       uint64_t maxPendingBytes = kMaxPendingBytes)
        : workers_(threads, maxPendingBytes, kMaxPendingMessages) {}

    void setYieldClock(YieldClock* clock) { clock_ = clock; }

    // Queues the job for a message file of `size` bytes (and the file it makes, if any) once
    // there is room, handing each result that is ready, or must be waited for to make room,
    // to `take`, which returns the first failure. `queued`, if given, is called just before
    // the job is queued. The file counts as pending from now on, even when a failure comes
    // back before its job is queued.
    template <typename Take>
    StoreError submit(const std::string& file, uint64_t size, const std::string& made,
                      typename OrderedWorkers<Result>::Job job, Take&& take,
                      const std::function<void()>& queued = {}) {
        pending_.push_back({file, made});
        if (!workers_.hasRoomFor(size)) {
            // Waits until half the room is free, then queues several jobs in a row.
            do {
                if (!workers_.waitForRoom(keepWaiting())) return std::nullopt;  // asked to stop
                while (std::optional<Result> r = workers_.tryTakeNext()) {
                    pending_.pop_front();
                    if (StoreError e = take(std::move(*r))) return e;
                }
            } while (!workers_.hasRoomFor(size));
        }
        if (queued) queued();
        workers_.submit(size, std::move(job));
        while (std::optional<Result> r = workers_.tryTakeNext()) {
            pending_.pop_front();
            if (StoreError e = take(std::move(*r))) return e;
        }
        return std::nullopt;
    }

    // Every queued job's result, in order.
    template <typename Take>
    StoreError drain(Take&& take) {
        while (std::optional<Result> r = workers_.takeNext(keepWaiting())) {
            pending_.pop_front();
            if (StoreError e = take(std::move(*r))) return e;
        }
        return std::nullopt;
    }

    // The run ends early: the jobs not taken are stopped and undone. `made(result)` says
    // whether a finished job made its file.
    template <typename Made>
    void abandon(Made&& made) {
        std::vector<std::optional<Result>> rest = workers_.stop();
        for (size_t i = 0; i < pending_.size(); ++i) {
            std::error_code ec;
            if (i < rest.size() && rest[i] && !pending_[i].made.empty() && made(*rest[i]))
                fs::remove(pending_[i].made, ec);
            fs::remove(pending_[i].file, ec);
        }
        pending_.clear();
    }

  private:
    struct Pending {
        std::string file;
        std::string made;
    };

    typename OrderedWorkers<Result>::KeepWaiting keepWaiting() {
        return [this] {
            if (!clock_) return true;
            clock_->maybeYield();
            return !clock_->cancelled();
        };
    }

    YieldClock* clock_ = nullptr;
    OrderedWorkers<Result> workers_;
    std::deque<Pending> pending_;
};

// A message's place in the store: taken (its file is spent), or why not.
struct StoredMessage {
    std::string file;
    StoreError error;
    // The message itself when the cut held it in memory and wrote no file (a PST run).
    MessageBytes held;
};

// The run hands each message file over under its temporary name. The one a store could not
// take is given its final name, so that it stays as a message file the user can open.
StoreError KeepMessageFile(const StoredMessage& m) {
    const std::string suffix = MessageFilePartPath("");
    if (m.file.ends_with(suffix)) {
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(m.file, ec)))
            fs::rename(m.file, m.file.substr(0, m.file.size() - suffix.size()), ec);
    }
    return m.error;
}

// A message the cut held in memory and never wrote, which the store could not take: written
// now under the temporary name, then kept as above.
StoreError KeepHeldMessage(const StoredMessage& m) {
    if (!m.held || !m.file.ends_with(MessageFilePartPath(""))) return m.error;
    int fd = ::open(m.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return m.error;
    bool whole = true;
    for (size_t done = 0; whole && done < m.held->size();) {
        ssize_t w = ::write(fd, m.held->data() + done, m.held->size() - done);
        if (w < 0 && errno == EINTR) continue;
        whole = w > 0;
        if (whole) done += static_cast<size_t>(w);
    }
    if (::close(fd) == 0 && whole) return KeepMessageFile(m);
    ::unlink(m.file.c_str());  // the message is still in its mailbox
    return m.error;
}

// A message read from its file and made ready for the store, waiting for its place there.
struct ImportedMessage {
    // Where it never moves from: what is prepared for the store refers into it.
    std::unique_ptr<store::Message> message;
    std::optional<pst::BuiltMessage> prepared;
    std::string error;
    bool expunged = false;  // deleted in the mail program: for Deleted Items
};

// Each message file is read into the message model, and made ready for the store, on import
// workers, then stored by one thread of its own, in message order: the store's thread takes
// the imports in the order they were queued, which is the order of its own jobs, so its k-th
// job stores the k-th message (which is why there is one store thread). The run's thread
// only cuts. The store's thread has the least to do: the others, a message each, keep the
// cores busy.
class ImportThenStore {
  public:
    // Makes an imported message ready for the store, on an import worker: sets `prepared`,
    // or `error`.
    using Prepare = std::function<void(ImportedMessage&)>;
    // Stores one prepared message, `size` bytes in its mailbox; may look at stop.
    using Store = std::function<StoreError(const ImportedMessage&, uint64_t size,
                                           const std::atomic<bool>& stop)>;

    ImportThenStore(unsigned importThreads, Prepare prepare, Store store)
        : imports_(importThreads, UINT64_MAX),
          step_(1),
          prepare_(std::move(prepare)),
          store_(std::move(store)) {}
    ~ImportThenStore() {
        abandon([](const StoredMessage&) { return false; });
    }

    void setYieldClock(YieldClock* clock) { step_.setYieldClock(clock); }

    template <typename Take>
    StoreError submit(const std::string& file, const MessageBytes& bytes, const std::string& made,
                      Take&& take) {
        const uint64_t size = bytes ? bytes->size() : MessageFileSize(file);
        auto import = [this, file, bytes](const std::atomic<bool>& stop) {
            ImportedMessage m;
            if (stop) return m;
            if (std::optional<store::Message> message = Import(file, bytes, m.error, &m.expunged)) {
                m.message = std::make_unique<store::Message>(std::move(*message));
                prepare_(m);
            }
            return m;
        };
        auto store = [this, file, bytes, size](const std::atomic<bool>& stop) {
            std::optional<ImportedMessage> m = imports_.takeNext([&stop] { return !stop; });
            // A PST run takes messages held in memory: with bytes there is no file.
            StoredMessage stored{file, std::nullopt, bytes};
            if (!m || stop) {
                stored.error = "stopped at the user's request";
            } else if (failed_) {
                stored.error = "not stored after an earlier failure";
            } else if (!m->prepared) {
                stored.error = m->error.empty() ? "stopped at the user's request" : m->error;
            } else {
                stored.error = store_(*m, size, stop);
            }
            if (stored.error) failed_ = true;
            return stored;
        };
        return step_.submit(file, size, made, std::move(store), std::forward<Take>(take),
                            [&] { imports_.submit(size, std::move(import)); });
    }

    template <typename Take>
    StoreError drain(Take&& take) {
        return step_.drain(std::forward<Take>(take));
    }

    // The store's thread first (it may be waiting for an import), then the imports.
    template <typename Made>
    void abandon(Made&& made) {
        step_.abandon(std::forward<Made>(made));
        imports_.stop();
    }

  private:
    OrderedWorkers<ImportedMessage> imports_;
    StoreStep<StoredMessage> step_;
    Prepare prepare_;
    Store store_;
    bool failed_ = false;  // on the store's thread only
};

// One .msg file per message, beside where its .eml would have stayed.
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

    // A message not imported stays as a message file.
    static StoreError Taken(const StoredMessage& m) {
        return m.error && m.held ? KeepHeldMessage(m) : KeepMessageFile(m);
    }

    // A message's whole store step: the import, then the .msg file, over the spent message
    // file when the message had one (a message the cut held in memory had none).
    static StoreError Convert(const std::string& file, const MessageBytes& bytes,
                              const std::string& target, const std::atomic<bool>& stop,
                              bool& imported) {
        if (stop) return "stopped at the user's request";
        std::string error;
        auto message = Import(file, bytes, error);
        if (!message) return error;
        imported = true;
        try {
            // The message file is spent once imported: the .msg takes its place on the disk.
            store::msg::MsgWriteOptions options;
            if (!bytes) {
                options.spentFile = file;
                options.spentFileIsTemporary = true;
            }
            // A large message's write looks at the flag between pieces and stops early.
            StopFlagFrontend stopFlag(stop);
            YieldClock stopClock(stopFlag);
            options.yieldClock = &stopClock;
            store::msg::MsgWriteResult written =
                store::msg::WriteMsgFile(*message, target, options);
            if (!written) return written.error;
            if (bytes || written.spentFileConsumed) return std::nullopt;
        } catch (const std::exception& e) {
            return "Could not write the message file " + target + ": " + e.what();
        }
        return RemoveMessageFile(file);
    }

  private:
    std::string folder_;
    // A worker per core, each doing a message's whole store step (the import, then the
    // write), as the imports of a PST run: the compound file is our own and takes no lock.
    // GMime's objects take global locks of GLib's, so more threads than cores only contend.
    StoreStep<StoredMessage> step_{OrderedWorkers<StoredMessage>::DefaultThreads(),
                                   kMaxPendingHeldBytes};
};

// One new store for the run, a folder per mailbox, committed after mailboxes (at most every
// few seconds, so that a run over many small mailboxes is not all commits) and at the end.
// Messages are read on the workers and go into the store on a thread of its own, in order;
// the run's thread only cuts, and works on the store itself (folders, commits) only when no
// message is on its way in.
class PstOutput : public StoreOutput {
  public:
    ~PstOutput() override { stopWorkers(); }

    void setYieldClock(YieldClock* clock) override {
        clock_ = clock;
        pipeline_.setYieldClock(clock);
    }
    StoreError open(const std::string& outputFolder) override {
        const std::string stamp = StoreTimeStamp(std::time(nullptr));
        path_ = outputFolder + "MBOX" + stamp + ".pst";
        return guard([&] {
            store_ = pst::PstStore::create(path_, "MBOX Mailbox : Created - " + stamp);
            // Only the run's thread may let the window in; the store's thread adding a
            // message just goes on.
            if (YieldClock* clock = clock_) {
                store_->setBreather([clock, runThread = std::this_thread::get_id()] {
                    if (std::this_thread::get_id() == runThread) clock->maybeYield();
                });
            }
            lastCommit_ = std::chrono::steady_clock::now();
        });
    }
    // The store reads a message from memory when the cut holds it whole; its file is written
    // only when the store cannot take it, to keep it.
    HandOver handOver() const override { return HandOver::HeldInMemory; }
    StoreError beginMailbox(const StoreFolderPath& path, const std::string&) override {
        return guard([&] {
            // The folders on the way are made once, for the first mailbox below them.
            pst::FolderId parent = pst::kTopFolder;
            StoreFolderPath way;
            for (const std::string& name : path) {
                way.push_back(name);
                auto [known, made] = folders_.try_emplace(way);
                if (made) known->second = store_->addFolder(name, parent);
                parent = known->second;
            }
            folder_ = parent;
        });
    }
    StoreError storeMessage(uint64_t, const std::string& file, const MessageBytes& bytes) override {
        return pipeline_.submit(file, bytes, {},
                                [this](const StoredMessage& m) { return taken(m); });
    }
    StoreError endMailbox() override {
        if (StoreError e = pipeline_.drain([this](const StoredMessage& m) { return taken(m); }))
            return e;
        // The folder's rows are written now and leave memory; the store is committed at most
        // every few seconds, so that a run over many small mailboxes is not all commits.
        if (StoreError e = guard([&] { store_->finishFolder(folder_); })) return e;
        if (std::chrono::steady_clock::now() - lastCommit_ < kCommitInterval) return std::nullopt;
        return guard([&] {
            store_->commit();
            lastCommit_ = std::chrono::steady_clock::now();
        });
    }
    StoreError close() override {
        return guard([&] {
            store_->close();
            store_.reset();
        });
    }
    uint64_t deletedItems() const override { return deleted_; }
    void abandon() override {
        stopWorkers();
        // What was committed stays readable; the store's own close commits what it can.
        try {
            if (store_) store_->close();
        } catch (const std::exception&) {
        }
        store_.reset();
    }

  private:
    static constexpr auto kCommitInterval = std::chrono::seconds(3);
    static constexpr uint64_t kRoomMargin = uint64_t(64) << 20;
    static constexpr uint64_t kNearlyFullCommitEvery = uint64_t(1) << 20;

    // Whether what is stored should be committed before a message of `size` bytes goes in,
    // because the store's disk is nearly full: a store that fails to write gives up
    // everything since its last commit, so a disk filling up then loses at most the last
    // megabyte of small messages, and nothing before a large one. The free space is measured
    // again only when the estimate runs low. On the store's thread.
    bool commitFirst(uint64_t size) {
        if (room_ < size + kRoomMargin) {
            struct statvfs disk {};
            room_ = ::statvfs(path_.c_str(), &disk) == 0
                        ? static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize
                        : UINT64_MAX;  // not known: as if there were room
        }
        const bool nearlyFull = room_ < size + kRoomMargin;
        room_ -= std::min(room_, size);
        sinceCommit_ += size;
        if (!nearlyFull || (size < kNearlyFullCommitEvery && sinceCommit_ < kNearlyFullCommitEvery))
            return false;
        sinceCommit_ = size;
        return true;
    }

    void stopWorkers() {
        pipeline_.abandon([](const StoredMessage&) { return false; });
    }

    // A message taken is spent: a file the cut wrote for it goes (a message held in memory
    // had none). One the store could not take stays as a message file.
    static StoreError taken(const StoredMessage& m) {
        if (m.error) return m.held ? KeepHeldMessage(m) : KeepMessageFile(m);
        return m.held ? std::nullopt : RemoveMessageFile(m.file);
    }

    template <typename F>
    StoreError guard(F&& step) {
        try {
            step();
            return std::nullopt;
        } catch (const std::exception& e) {
            return std::string("Could not write the store ") + path_ + ": " + e.what();
        }
    }

    std::string path_;
    std::unique_ptr<pst::PstStore> store_;
    pst::FolderId folder_{};
    std::map<StoreFolderPath, pst::FolderId> folders_;  // every folder made, by its path
    std::chrono::steady_clock::time_point lastCommit_{};
    YieldClock* clock_ = nullptr;
    uint64_t room_ = 0;  // free space on the store's disk, as last measured, less what went in
    uint64_t sinceCommit_ = 0;           // bytes of the messages stored since the last such commit
    std::atomic<uint64_t> deleted_ = 0;  // messages stored in Deleted Items (store's thread)
    // One thread stores; the imports take the other cores.
    ImportThenStore pipeline_{
        OrderedWorkers<ImportedMessage>::DefaultThreads(),
        [this](ImportedMessage& m) {
            if (StoreError e = guard([&] { m.prepared = store_->prepareMessage(*m.message); }))
                m.error = *e;
        },
        [this](const ImportedMessage& m, uint64_t size, const std::atomic<bool>&) {
            return guard([&] {
                if (commitFirst(size)) store_->commit();
                // A message its mail program had deleted but kept goes where Outlook keeps
                // deleted messages, so that the user's folders look as they did there.
                if (m.expunged) ++deleted_;
                store_->addPrepared(m.expunged ? pst::FolderId{pst::kDeletedItems} : folder_,
                                    *m.prepared);
            });
        }};
};

}  // namespace

std::string StoreTimeStamp(std::time_t when) {
    std::tm t{};
    localtime_r(&when, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

RunSettings DefaultRunSettings(const std::string& manualPath) {
    RunSettings settings;
    settings.troubleshootingAddress = "file://" + manualPath + "#troubleshooting";
    settings.storeOutputs = [](OutputKind kind) -> std::unique_ptr<StoreOutput> {
        if (kind == OutputKind::MSG) return std::make_unique<MsgOutput>();
        if (kind == OutputKind::PST) return std::make_unique<PstOutput>();
        return nullptr;
    };
    return settings;
}

}  // namespace quill
