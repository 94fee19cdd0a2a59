// The PST output: one new store for the run, a folder per mailbox.

#include <sys/statvfs.h>

#include <chrono>
#include <ctime>
#include <map>
#include <thread>

#include "convert/store_outputs.h"
#include "convert/store_step.h"
#include "store/pst/messaging/pst_store.h"

namespace quill {

namespace pst = store::pst::messaging;

namespace {

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
            if (std::optional<store::Message> message =
                    ImportMessage(file, bytes, m.error, &m.expunged)) {
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

std::unique_ptr<StoreOutput> MakePstOutput() {
    return std::make_unique<PstOutput>();
}

}  // namespace quill
