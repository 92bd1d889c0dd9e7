// The worker pool: thread start-up with signals blocked, job claiming, completion waits,
// and the rebuild of the pool in a child process after fork().
#include "kernels/thread_pool.hpp"

#include "kernels/cpu_count.hpp"
#include "kernels/fp_env.hpp"
#include "kernels/scratch.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>

namespace vexlora {
namespace {

std::atomic<std::uint64_t> g_fork_generation{0};
ThreadPool* g_pool = nullptr;          // replaced (and the old one abandoned) after a fork
std::uint64_t g_pool_generation = 0;   // fork generation the pool was built in
bool g_pool_attempted = false;

void on_fork_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

// How long a submitter polls for the workers still in its job before it blocks. They finish
// their last pieces about when it does, and a blocked thread takes tens of microseconds to wake
// (more on a virtual machine): a tenth of a call whose data fills the caches.
#ifndef VEXLORA_POOL_POLL_US
#define VEXLORA_POOL_POLL_US 50  // the stress test builds with 0, so that every wait blocks
#endif
constexpr std::chrono::microseconds kPollTime{VEXLORA_POOL_POLL_US};

inline void cpu_relax() noexcept {
#if defined(__SSE2__) || defined(__x86_64__)
    _mm_pause();
#endif
}

// Polls until done() holds or kPollTime has passed; true if it held.
template <class Done>
bool poll_briefly(Done&& done) noexcept {
    const auto deadline = std::chrono::steady_clock::now() + kPollTime;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= deadline) return done();
    }
}

void set_thread_defaults() noexcept {
    set_default_fp_env();  // a worker inherits the floating-point controls of the importing thread
#if defined(__GLIBC__)
    pthread_setname_np(pthread_self(), "vexlora-worker");
#endif
}

}  // namespace

ThreadPool* ThreadPool::create(unsigned workers) noexcept {
    ThreadPool* pool = new (std::nothrow) ThreadPool();
    if (pool == nullptr) return nullptr;
    // Workers inherit a fully blocked signal mask, so signals such as SIGINT reach the interpreter's threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool ok = true;
    try {
        pool->scratch_.reserve(workers);
        for (unsigned i = 0; i < workers && ok; ++i) {
            pool->scratch_.emplace_back(new (std::nothrow) Scratch());
            ok = pool->scratch_.back() != nullptr;
        }
        pool->threads_.reserve(workers);
        for (unsigned i = 0; i < workers && ok; ++i) {
            Scratch* scratch = pool->scratch_[i].get();
            pool->threads_.emplace_back([pool, scratch] { pool->worker_main(*scratch); });
        }
    } catch (...) {
        ok = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    std::unique_lock lock(pool->mutex_);
    if (!ok) {
        pool->stopping_ = true;
        lock.unlock();
        pool->work_cv_.notify_all();
        for (auto& t : pool->threads_) t.join();
        delete pool;
        return nullptr;
    }
    pool->start_cv_.wait(lock, [pool] { return pool->started_ == pool->threads_.size(); });
    return pool;
}

ThreadPool::Job* ThreadPool::first_open_job() noexcept {
    for (Job* job = jobs_; job != nullptr; job = job->link) {
        if (job->next.load(std::memory_order_relaxed) < job->piece_count) return job;
    }
    return nullptr;
}

void ThreadPool::drain(Job& job, Scratch& scratch) noexcept {
    for (;;) {
        const std::uint32_t piece = job.next.fetch_add(1, std::memory_order_relaxed);
        if (piece >= job.piece_count) return;
        job.run_piece(job.context, piece, scratch);
    }
}

void ThreadPool::worker_main(Scratch& scratch) noexcept {
    set_thread_defaults();
    std::unique_lock lock(mutex_);
    ++started_;
    start_cv_.notify_all();
    for (;;) {
        Job* job = first_open_job();
        if (job == nullptr) {
            if (stopping_) return;
            work_cv_.wait(lock);
            continue;
        }
        job->attached.fetch_add(1, std::memory_order_relaxed);
        lock.unlock();
        drain(*job, scratch);
        // The job may be gone once its count drops to zero (its submitter returns): only the pool's
        // own members are touched after that.
        const bool last = job->attached.fetch_sub(1, std::memory_order_acq_rel) == 1;
        lock.lock();
        if (last) done_cv_.notify_all();
    }
}

void ThreadPool::run(Job& job, Scratch& caller_scratch) noexcept {
    if (job.piece_count == 0) return;
    {
        std::lock_guard lock(mutex_);
        job.link = jobs_;
        jobs_ = &job;
    }
    // The calling thread is one of the hands: wake only as many workers as leave every core busy.
    const std::uint32_t helpers = std::min<std::uint32_t>(size() > 0 ? size() - 1 : 0, job.piece_count - 1);
    for (std::uint32_t i = 0; i < helpers; ++i) work_cv_.notify_one();
    {
        FpEnvGuard fp_env;
        drain(job, caller_scratch);
    }
    std::unique_lock lock(mutex_);
    for (Job** link = &jobs_; *link != nullptr; link = &(*link)->link) {
        if (*link == &job) {
            *link = job.link;
            break;
        }
    }
    // Every piece is claimed, so no worker joins from here on; those inside finish their last
    // piece about when this thread did.
    auto left = [&job] { return job.attached.load(std::memory_order_acquire) == 0; };
    lock.unlock();
    if (kPollTime.count() > 0 && poll_briefly(left)) return;
    lock.lock();
    done_cv_.wait(lock, left);
}

void start_global_pool() noexcept {
    if (g_pool_attempted) return;
    g_pool_attempted = true;
    static const bool registered = pthread_atfork(nullptr, nullptr, on_fork_child) == 0;
    (void)registered;
    g_pool = ThreadPool::create(usable_processor_count());
    g_pool_generation = fork_generation();
}

ThreadPool* global_pool() noexcept {
    if (g_pool != nullptr && g_pool_generation != fork_generation()) {
        // The child of a fork has none of the parent's threads, and the old pool's lock may have
        // been held at the fork: abandon it without touching it and build a fresh one, sized to the
        // processors the child may use.
        g_pool = ThreadPool::create(usable_processor_count());
        g_pool_generation = fork_generation();
    }
    return g_pool;
}

std::uint64_t fork_generation() noexcept { return g_fork_generation.load(std::memory_order_relaxed); }

}  // namespace vexlora
