#include "common/parallel.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace korvane::parallel {
namespace {

constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();

// Set for the whole life of a worker, and on a caller while its parallel call runs: a parallel
// call made there runs inline instead of waiting on the pool it is part of.
thread_local bool t_inside_pool = false;

class InsidePool {
public:
    InsidePool() noexcept : previous_(t_inside_pool) { t_inside_pool = true; }
    ~InsidePool() { t_inside_pool = previous_; }
    InsidePool(const InsidePool&) = delete;
    InsidePool& operator=(const InsidePool&) = delete;

private:
    bool previous_;
};

struct Job {
    detail::ChunkBody body = nullptr;
    void* ctx = nullptr;
    std::size_t n = 0;
    std::size_t grain = 1;
    std::size_t chunks = 0;
    std::atomic<std::size_t> next{0};
    // Chunks are claimed in index order, so once chunk k has failed every chunk below k is
    // already claimed and those above k can be skipped: the lowest failure is still found.
    std::atomic<std::size_t> first_failure{kNoFailure};
    std::mutex error_mutex;
    std::exception_ptr error;  // thrown by chunk first_failure

    void run() noexcept {
        for (;;) {
            const std::size_t chunk = next.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= chunks || chunk > first_failure.load(std::memory_order_relaxed)) return;
            const std::size_t begin = chunk * grain;
            const std::size_t end = begin + std::min(grain, n - begin);
            try {
                body(ctx, chunk, begin, end);
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (chunk < first_failure.load(std::memory_order_relaxed)) {
                    error = std::current_exception();
                    first_failure.store(chunk, std::memory_order_relaxed);
                }
            }
        }
    }
};

// Never destroyed: workers stay parked on its condition variable until the process ends, so
// exit never waits on them whatever order the host tears down its statics in.
class Pool {
public:
    // Held by the one top-level call using the pool; others find it taken and run inline.
    std::mutex submit;

    // With `submit` held: makes `threads - 1` workers exist (the caller is the last thread).
    void resize(std::size_t threads) {
        if (threads == configured_) return;
        stop_workers();
        configured_ = threads;
        workers_.reserve(threads - 1);
        for (std::size_t i = 1; i < threads; ++i) {
            try {
                workers_.emplace_back([this, seen = generation_] { worker_main(seen); });
            } catch (const std::system_error&) {
                break;  // fewer threads than asked changes speed, never results
            }
        }
    }

    // With `submit` held.
    void run(Job& job) {
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            ++generation_;
        }
        wake_.notify_all();
        job.run();
        std::unique_lock lock(mutex_);
        job_ = nullptr;  // a worker waking from now on will not touch this job
        idle_.wait(lock, [this] { return busy_ == 0; });
    }

private:
    void worker_main(std::uint64_t seen) {
        t_inside_pool = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            Job* job = job_;
            if (job == nullptr) continue;  // woke after the caller finished it alone
            ++busy_;
            lock.unlock();
            job->run();
            lock.lock();
            if (--busy_ == 0) idle_.notify_all();
        }
    }

    void stop_workers() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& worker : workers_) worker.join();
        workers_.clear();
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::vector<std::thread> workers_;
    std::size_t configured_ = 1;
    std::uint64_t generation_ = 0;
    Job* job_ = nullptr;
    std::size_t busy_ = 0;  // workers inside job_
    bool stopping_ = false;
};

std::atomic<std::size_t> g_requested{0};  // 0: hardware default
std::atomic<std::size_t> g_hardware{0};   // cached; 0 until first asked
std::atomic<Pool*> g_pool{nullptr};
std::atomic<bool> g_atfork_registered{false};

// The child of a fork has none of the workers, and the pool's mutexes may have been copied
// locked: forget the old pool (without touching it) and let the next call build a new one.
void forget_pool_in_child() noexcept { g_pool.store(nullptr, std::memory_order_relaxed); }

Pool& pool() {
    Pool* existing = g_pool.load(std::memory_order_acquire);
    if (existing != nullptr) return *existing;
    auto* fresh = new Pool;
    if (!g_pool.compare_exchange_strong(existing, fresh, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
        delete fresh;
        return *existing;
    }
    if (!g_atfork_registered.exchange(true)) {
        pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
    }
    return *fresh;
}

void run_serially(std::size_t n, std::size_t grain, detail::ChunkBody body, void* ctx) {
    std::size_t chunk = 0;
    for (std::size_t begin = 0; begin < n; ++chunk) {
        const std::size_t end = begin + std::min(grain, n - begin);
        body(ctx, chunk, begin, end);
        begin = end;
    }
}

}  // namespace

std::size_t thread_count() noexcept {
    if (const std::size_t requested = g_requested.load(std::memory_order_relaxed)) {
        return requested;
    }
    std::size_t hardware = g_hardware.load(std::memory_order_relaxed);
    if (hardware == 0) {
        hardware = std::max<std::size_t>(1, std::thread::hardware_concurrency());
        g_hardware.store(hardware, std::memory_order_relaxed);
    }
    return hardware;
}

void set_thread_count(std::size_t n) noexcept {
    constexpr std::size_t kMaxThreads = 1024;  // keeps a typo from exhausting thread handles
    g_requested.store(std::min(n, kMaxThreads), std::memory_order_relaxed);
}

namespace detail {

void run_chunks(std::size_t n, std::size_t grain, ChunkBody body, void* ctx) {
    if (grain == 0) grain = 1;
    const std::size_t chunks = chunk_count(n, grain);
    const std::size_t threads = thread_count();
    if (threads <= 1 || chunks <= 1 || t_inside_pool) {
        run_serially(n, grain, body, ctx);
        return;
    }
    Pool& p = pool();
    std::unique_lock submit(p.submit, std::try_to_lock);
    if (!submit.owns_lock()) {
        run_serially(n, grain, body, ctx);
        return;
    }
    p.resize(threads);
    Job job;
    job.body = body;
    job.ctx = ctx;
    job.n = n;
    job.grain = grain;
    job.chunks = chunks;
    {
        InsidePool inside;
        p.run(job);
    }
    submit.unlock();
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace detail
}  // namespace korvane::parallel
