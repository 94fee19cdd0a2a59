#pragma once
// Work that runs on worker threads while its owner goes on with other work, with the
// results handed back in the order the jobs were queued. A store run uses it to read message
// files into the message model (and write their .msg files) on the other cores while the
// run's own thread cuts the mailbox: the cutting is mostly waiting on the disk, the store
// step mostly computing.
//
// The owner bounds what is queued by a size of its choosing (the message files' bytes), so
// that memory stays bounded whatever the mailbox holds; one job larger than the bound still
// runs, alone. Qt-free: the owner's thread is the only one that talks to the front end, and
// it does so while it waits (see takeNext).

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace quill {

template <typename Result>
class OrderedWorkers {
  public:
    // A job gets a flag that is set when its results are no longer wanted (the run ends
    // early); a long job may look at it between pieces of work and return early. A job
    // reports its failures in its result: it must not throw.
    using Job = std::function<Result(const std::atomic<bool>& stop)>;
    // Called by takeNext every few milliseconds while it waits; false stops the waiting.
    using KeepWaiting = std::function<bool()>;

    // At most maxPendingSize (by the jobs' sizes) and maxPendingJobs jobs are queued at once;
    // by default a few jobs per thread: enough to keep every thread busy, no more, so the
    // owner does not run far ahead.
    OrderedWorkers(unsigned threads, uint64_t maxPendingSize, size_t maxPendingJobs = 0)
        : maxPendingSize_(maxPendingSize),
          maxPendingJobs_(maxPendingJobs ? maxPendingJobs
                                         : kJobsPerThread * std::max(1u, threads)) {
        threads = std::max(1u, threads);
        for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    }
    ~OrderedWorkers() { stop(); }
    OrderedWorkers(const OrderedWorkers&) = delete;
    OrderedWorkers& operator=(const OrderedWorkers&) = delete;

    // Threads for the store step on this machine: every core, the run's own thread included,
    // since that one mostly waits on the disk; a few at most, beyond which the disk is the limit.
    static unsigned DefaultThreads() {
        return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    }

    // Waits until the oldest job is finished and no more than half the bound is taken by jobs
    // not finished yet, calling keepWaiting every few milliseconds: an owner that found no
    // room then takes a batch of results and queues a batch of jobs, instead of it and the
    // workers waking each other for every job. False when keepWaiting said stop.
    bool waitForRoom(const KeepWaiting& keepWaiting) {
        std::unique_lock lock(mutex_);
        while (!roomLocked()) {
            roomReady_.wait_for(lock, kWaitSlice);
            lock.unlock();
            const bool goOn = keepWaiting();
            lock.lock();
            if (!goOn) return false;
        }
        return true;
    }

    // True when a job of `size` may be queued now without passing the bound.
    bool hasRoomFor(uint64_t size) const {
        std::lock_guard lock(mutex_);
        return queue_.empty() ||
               (pendingSize_ + size <= maxPendingSize_ && queue_.size() < maxPendingJobs_);
    }

    void submit(uint64_t size, Job job) {
        {
            std::lock_guard lock(mutex_);
            auto slot = std::make_shared<Slot>();
            slot->job = std::move(job);
            slot->size = size;
            queue_.push_back(std::move(slot));
            pendingSize_ += size;
            unfinishedSize_ += size;
            ++unfinished_;
        }
        workAvailable_.notify_one();
    }

    bool empty() const {
        std::lock_guard lock(mutex_);
        return queue_.empty();
    }

    // The oldest job's result when it is finished, else nothing.
    std::optional<Result> tryTakeNext() {
        std::lock_guard lock(mutex_);
        return takeFrontLocked();
    }

    // Waits for the oldest job's result, calling keepWaiting every few milliseconds. Nothing
    // when nothing is queued or keepWaiting said stop.
    std::optional<Result> takeNext(const KeepWaiting& keepWaiting) {
        std::unique_lock lock(mutex_);
        while (!queue_.empty()) {
            if (std::optional<Result> r = takeFrontLocked()) return r;
            resultReady_.wait_for(lock, kWaitSlice);
            lock.unlock();
            const bool goOn = keepWaiting();
            lock.lock();
            if (!goOn) break;
        }
        return std::nullopt;
    }

    // Drops the jobs not started, tells the running ones to stop and waits for them. Gives
    // what became of every job not taken, in queue order: its result, or nothing when it
    // never ran.
    std::vector<std::optional<Result>> stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return {};
            stopping_ = true;
            stop_ = true;
        }
        workAvailable_.notify_all();
        for (std::thread& t : threads_) t.join();
        std::vector<std::optional<Result>> rest;
        for (auto& slot : queue_) rest.push_back(std::move(slot->result));
        queue_.clear();
        started_ = 0;
        pendingSize_ = 0;
        unfinishedSize_ = 0;
        unfinished_ = 0;
        return rest;
    }

  private:
    static constexpr auto kWaitSlice = std::chrono::milliseconds(4);
    static constexpr unsigned kJobsPerThread = 4;
    static constexpr int kWorkerNice = 5;

    struct Slot {
        Job job;
        uint64_t size = 0;
        std::optional<Result> result;
    };

    bool roomLocked() const {
        return queue_.empty() || (queue_.front()->result && unfinished_ <= maxPendingJobs_ / 2 &&
                                  unfinishedSize_ <= maxPendingSize_ / 2);
    }

    std::optional<Result> takeFrontLocked() {
        if (queue_.empty() || !queue_.front()->result) return std::nullopt;
        std::shared_ptr<Slot> slot = std::move(queue_.front());
        queue_.pop_front();
        --started_;
        pendingSize_ -= slot->size;
        return std::move(slot->result);
    }

    void work() {
#ifdef __linux__
        // Below the run's thread, which keeps the window answering and feeds the workers:
        // on a machine with fewer cores than busy threads it gets the core first.
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
#endif
        std::unique_lock lock(mutex_);
        while (true) {
            // Jobs start in queue order, and only started ones leave the queue before stop():
            // the first job not started follows the started ones.
            workAvailable_.wait(lock, [&] { return stopping_ || started_ < queue_.size(); });
            if (stopping_) return;
            std::shared_ptr<Slot> slot = queue_[started_++];
            Job job = std::move(slot->job);
            lock.unlock();
            Result result = job(stop_);
            lock.lock();
            slot->result = std::move(result);
            --unfinished_;
            unfinishedSize_ -= slot->size;
            // Only the oldest job's result is waited for.
            if (queue_.front() == slot) resultReady_.notify_all();
            if (roomLocked()) roomReady_.notify_all();
        }
    }

    const uint64_t maxPendingSize_;
    const size_t maxPendingJobs_;
    mutable std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable resultReady_;
    std::condition_variable roomReady_;
    std::deque<std::shared_ptr<Slot>> queue_;
    uint64_t pendingSize_ = 0;     // of the jobs not taken
    uint64_t unfinishedSize_ = 0;  // of the jobs not finished
    size_t unfinished_ = 0;
    size_t started_ = 0;  // jobs in the queue that have started (the first ones)
    bool stopping_ = false;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

}  // namespace quill
