#pragma once
// The store step of a PST or MSG run, shared by both outputs: the ordered pipeline that runs
// each message's import (and for .msg files the write) on worker threads while the run cuts
// the next messages, and what becomes of a message file once its message is stored or
// refused. Qt-free.

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "convert/messagefile.h"
#include "convert/ordered_workers.h"
#include "convert/store_output.h"
#include "shell/frontend.h"
#include "store/model.h"

namespace quill {

// Imports one message file, or its bytes when the cut still had them; the error text says
// which file and why. `expunged`, when given, says whether the mail program had deleted the
// message.
std::optional<store::Message> ImportMessage(const std::string& file, const MessageBytes& bytes,
                                            std::string& error, bool* expunged = nullptr);

// The size of a message file, 0 when it cannot be measured.
uint64_t MessageFileSize(const std::string& file);
StoreError RemoveMessageFile(const std::string& file);

// A message's place in the store: taken (its file is spent), or why not.
struct StoredMessage {
    std::string file;
    StoreError error;
    // The message itself when the cut held it in memory and wrote no file.
    MessageBytes held;
};

// The run hands each message file over under its temporary name. The one a store could not
// take is given its final name, so that it stays as a message file the user can open.
StoreError KeepMessageFile(const StoredMessage& m);
// A message the cut held in memory and never wrote, which the store could not take: written
// now under the temporary name, then kept as above.
StoreError KeepHeldMessage(const StoredMessage& m);

// Message files queued for the store step may hold this many bytes between them; one larger
// message still goes, alone. Bounds what the decoded messages waiting for the store hold.
inline constexpr uint64_t kMaxPendingBytes = uint64_t(32) << 20;
// And this many messages: enough that the cutting, the imports and the store, which take
// turns on the cores, rarely wait for one another (a queue of a few messages left the
// cores idle a third of the time), few enough that a run ending early has little to undo.
inline constexpr size_t kMaxPendingMessages = 128;

// The store step of each message runs on worker threads while the run cuts the next
// messages; results come back in message order on the run's thread, which alone talks to the
// front end and waits for the workers with the window answering. A failure is reported at the
// next message, or at the end of the mailbox.
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
                std::filesystem::remove(pending_[i].made, ec);
            std::filesystem::remove(pending_[i].file, ec);
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

}  // namespace quill
