// ThreadPool: the process-wide workers that run pixel loops, and the jobs they share.
// A job is a numbered set of pieces claimed with one atomic counter; the submitting thread works too.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vexlora {

struct Scratch;

class ThreadPool {
public:
    // One job: pieces 0 .. piece_count-1, each run exactly once by some thread, with that thread's scratch.
    struct Job {
        void (*run_piece)(void* context, std::uint32_t piece, Scratch& scratch);
        void* context;
        std::uint32_t piece_count;
        std::atomic<std::uint32_t> next{0};
        std::atomic<std::uint32_t> attached{0};  // workers inside the job; raised under the pool mutex
        Job* link = nullptr;                     // open-job list; guarded by the pool mutex
    };

    // Starts `workers` threads, each with its scratch, and waits until all run. Null if they cannot be
    // started or their scratch cannot be allocated.
    static ThreadPool* create(unsigned workers) noexcept;

    unsigned size() const noexcept { return static_cast<unsigned>(threads_.size()); }

    // Runs every piece of the job, on the calling thread (with `caller_scratch`) and on idle workers,
    // and returns when all are done. Never blocks on work that no thread is doing.
    void run(Job& job, Scratch& caller_scratch) noexcept;

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

private:
    ThreadPool() = default;
    void worker_main(Scratch& scratch) noexcept;
    Job* first_open_job() noexcept;
    static void drain(Job& job, Scratch& scratch) noexcept;

    std::mutex mutex_;
    std::condition_variable work_cv_;   // workers wait here for jobs
    std::condition_variable done_cv_;   // submitters wait here for attached workers to leave
    std::condition_variable start_cv_;  // create() waits here for workers to start
    Job* jobs_ = nullptr;
    unsigned started_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
    std::vector<std::unique_ptr<Scratch>> scratch_;  // one per worker
};

// Builds the process-wide pool (at import), one worker per processor this process may run on
// (usable_processor_count). A failure is remembered as a missing pool.
void start_global_pool() noexcept;

// The process-wide pool, rebuilt on first use in a forked child; null if it could not be built.
// Called with the interpreter lock held, which serialises the rebuild.
ThreadPool* global_pool() noexcept;

// Counts forks into a child process; lets other per-process state notice a fork.
std::uint64_t fork_generation() noexcept;

}  // namespace vexlora
