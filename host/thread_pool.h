// thread_pool.h - a fixed set of worker threads that runs the effect
// module's jobs (the module's PolarMosaicRunner), reused across calls.
#ifndef POLARMOSAIC_HOST_THREAD_POOL_H
#define POLARMOSAIC_HOST_THREAD_POOL_H

#include <stdint.h>

// POLARMOSAIC_HOST_NO_THREADS: for targets without threads (WebAssembly
// without shared memory); the pool then runs every job on the caller.
#ifndef POLARMOSAIC_HOST_NO_THREADS
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>
#endif

#include <polarmosaic/polarmosaic.h>

namespace polarmosaic {

class ThreadPool {
public:
    // threads counts the calling thread, which takes jobs too: 1 starts no
    // worker. 0 or less means every core the system reports. When the
    // system refuses a thread, the pool keeps half of those it started and
    // runs on them: threads() says how many it has.
    explicit ThreadPool(int threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The threads asked for (0 or less: the core count).
    int requested() const { return requested_; }

#ifdef POLARMOSAIC_HOST_NO_THREADS
    int threads() const { return 1; }
#else
    int threads() const { return static_cast<int>(workers_.size()) + 1; }
#endif

    // Runs job(job_data, i) for every i in 0 .. count - 1 and returns when all
    // have run. One Run at a time per pool.
    void Run(void* job_data, PolarMosaicJob job, uint32_t count);

    // The module's runner: pass the pool as runnerData.
    static int Runner(void* pool, void* job_data, PolarMosaicJob job, uint32_t count);

    // Every core the system reports (at least 1).
    static int CoreCount();

private:
    int requested_;
#ifndef POLARMOSAIC_HOST_NO_THREADS
    // Starts count workers; false when the system refused one (those
    // started are kept).
    bool StartWorkers(int count);
    // Stops and joins every worker.
    void StopWorkers();
    void WorkerLoop();
    void TakeJobs();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // The current batch, guarded by mutex_ except next_ (taken under it too:
    // jobs are coarse, so the lock costs nothing measurable).
    uint64_t generation_ = 0;
    void* job_data_ = nullptr;
    PolarMosaicJob job_ = nullptr;
    uint32_t count_ = 0;
    uint32_t next_ = 0;
    uint32_t finished_ = 0;
    bool stopping_ = false;
#endif
};

}  // namespace polarmosaic

#endif  // POLARMOSAIC_HOST_THREAD_POOL_H
