// thread_pool.cpp - workers that sleep between batches of module jobs.
#include "thread_pool.h"

#include <exception>

namespace polarmosaic {

#ifdef POLARMOSAIC_HOST_NO_THREADS

int ThreadPool::CoreCount() { return 1; }
ThreadPool::ThreadPool(int threads) : requested_(threads <= 0 ? 1 : threads) {}
ThreadPool::~ThreadPool() {}

void ThreadPool::Run(void* job_data, PolarMosaicJob job, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) job(job_data, i);
}

#else

int ThreadPool::CoreCount() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

ThreadPool::ThreadPool(int threads) : requested_(threads <= 0 ? CoreCount() : threads) {
    if (StartWorkers(requested_ - 1)) return;
    // The system refused a thread, short of memory or of processes: the
    // threads it did start have taken what there was. Half of them are let
    // go, so that the work itself has room, and the pool runs on the rest.
    size_t keep = workers_.size() / 2;
    StopWorkers();
    StartWorkers(static_cast<int>(keep));
}

bool ThreadPool::StartWorkers(int count) {
    try {
        workers_.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) workers_.emplace_back([this] { WorkerLoop(); });
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void ThreadPool::StopWorkers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
}

ThreadPool::~ThreadPool() { StopWorkers(); }

// Takes jobs of the current batch until none is left; called with mutex_
// unlocked.
void ThreadPool::TakeJobs() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (next_ < count_) {
        const uint32_t index = next_++;
        void* data = job_data_;
        PolarMosaicJob job = job_;
        lock.unlock();
        job(data, index);
        lock.lock();
        if (++finished_ == count_) done_.notify_all();
    }
}

void ThreadPool::WorkerLoop() {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        TakeJobs();
    }
}

void ThreadPool::Run(void* job_data, PolarMosaicJob job, uint32_t count) {
    if (count == 0) return;
    if (workers_.empty() || count == 1) {
        for (uint32_t i = 0; i < count; ++i) job(job_data, i);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_data_ = job_data;
        job_ = job;
        count_ = count;
        next_ = 0;
        finished_ = 0;
        ++generation_;
    }
    wake_.notify_all();
    TakeJobs();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return finished_ == count_; });
    // Workers that wake late find no job left: next_ == count_.
}

#endif  // POLARMOSAIC_HOST_NO_THREADS

int ThreadPool::Runner(void* pool, void* job_data, PolarMosaicJob job, uint32_t count) {
    static_cast<ThreadPool*>(pool)->Run(job_data, job, count);
    return 0;
}

}  // namespace polarmosaic
