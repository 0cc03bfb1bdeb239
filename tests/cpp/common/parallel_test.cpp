#include "common/parallel.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvane::parallel {
namespace {

// Restores the default thread count however a test ends.
struct ThreadCountScope {
    explicit ThreadCountScope(std::size_t n) { set_thread_count(n); }
    ~ThreadCountScope() { set_thread_count(0); }
};

// Mixed signs and magnitudes over 2^-40..2^40 that vary both within a run of neighbours and
// slowly along the range, so per-chunk partials differ in size too and any change of summation
// order, inside or across chunks, shows in the bits.
std::vector<double> varied_values(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double mantissa =
            static_cast<double>((i * 2654435761u) % 2001) - 1000.0 + 0.1 * (i % 7);
        const int exponent = static_cast<int>(i % 21) - 10 + static_cast<int>((i / 97) % 61) - 30;
        v[i] = std::ldexp(mantissa, exponent);
    }
    return v;
}

std::vector<double> chunk_partials(const std::vector<double>& v, std::size_t grain) {
    std::vector<double> partials;
    for (std::size_t begin = 0; begin < v.size(); begin += grain) {
        double partial = 0.0;
        for (std::size_t i = begin; i < std::min(v.size(), begin + grain); ++i) partial += v[i];
        partials.push_back(partial);
    }
    return partials;
}

// The fold reduce_chunks promises, written out sequentially without the pool.
double chunked_sum(const std::vector<double>& v, std::size_t grain) {
    double total = 0.0;
    for (double partial : chunk_partials(v, grain)) total += partial;
    return total;
}

double pool_sum(const std::vector<double>& v, std::size_t grain, std::size_t min_parallel = 0) {
    return reduce_chunks(
        v.size(), grain, 0.0,
        [&](std::size_t begin, std::size_t end) {
            double partial = 0.0;
            for (std::size_t i = begin; i < end; ++i) partial += v[i];
            return partial;
        },
        [](double a, double b) { return a + b; }, min_parallel);
}

// True when two chunks were running at the same moment, i.e. the pool really has a second thread.
bool two_chunks_overlap() {
    std::atomic<int> arrived{0};
    std::atomic<bool> met{true};
    for_each_chunk(2, 1, [&](std::size_t, std::size_t) {
        arrived.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (arrived.load() < 2) {
            if (std::chrono::steady_clock::now() > deadline) {
                met = false;
                arrived.fetch_add(1);  // release the other chunk, if any
                return;
            }
            std::this_thread::yield();
        }
    });
    return met.load();
}

TEST(ParallelChunks, CountDependsOnlyOnSizeAndGrain) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    struct Case {
        std::size_t n, grain, expected;
    };
    const Case cases[] = {
        {0, 4, 0}, {3, 4, 1}, {4, 4, 1}, {9, 4, 3}, {5, 0, 5},
        {kMax, kMax, 1}, {kMax, 2, kMax / 2 + 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chunk_count(c.n, c.grain), c.expected) << c.n << "/" << c.grain;
    }
}

TEST(ParallelForEachChunk, VisitsEveryIndexOnceWithFixedBoundaries) {
    struct Case {
        std::size_t n, grain, min_parallel;
    };
    const Case cases[] = {
        {0, 4, 0},    {3, 4, 0},    {4, 4, 0}, {9, 4, 0}, {1, 1, 0},
        {1000, 7, 0}, {1000, 1, 0},
        {5, 0, 0},       // grain 0 behaves as 1
        {1000, 7, 5000}, // below the threshold: inline, same chunks
    };
    for (std::size_t threads : {1, 2, 3}) {
        ThreadCountScope scope(threads);
        for (const auto& c : cases) {
            const std::size_t grain = std::max<std::size_t>(c.grain, 1);
            const std::size_t chunks = (c.n + grain - 1) / grain;
            auto visits = std::make_unique<std::atomic<int>[]>(c.n + 1);
            auto chunk_visits = std::make_unique<std::atomic<int>[]>(chunks + 1);
            std::atomic<int> bad_bounds{0};
            for_each_chunk(
                c.n, c.grain,
                [&](std::size_t chunk, std::size_t begin, std::size_t end) {
                    if (chunk >= chunks || begin != chunk * grain ||
                        end != std::min(c.n, begin + grain)) {
                        bad_bounds.fetch_add(1);
                        return;
                    }
                    chunk_visits[chunk].fetch_add(1);
                    for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
                },
                c.min_parallel);
            const std::string where = "threads " + std::to_string(threads) + " n " +
                                      std::to_string(c.n) + " grain " + std::to_string(c.grain);
            EXPECT_EQ(bad_bounds.load(), 0) << where;
            for (std::size_t k = 0; k < chunks; ++k) ASSERT_EQ(chunk_visits[k].load(), 1) << where;
            for (std::size_t i = 0; i < c.n; ++i) ASSERT_EQ(visits[i].load(), 1) << where;
        }
    }
}

TEST(ParallelForEachChunk, TwoArgumentBodyCoversRange) {
    ThreadCountScope scope(2);
    std::vector<int> hits(777, 0);  // disjoint writes per chunk need no atomics
    for_each_chunk(hits.size(), 50, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), 777);
}

TEST(ParallelReduce, BitIdenticalForAnyThreadCount) {
    const std::vector<double> v = varied_values(100003);
    constexpr std::size_t kGrain = 1000;
    const double expected = chunked_sum(v, kGrain);
    // Guard against data for which the order would not show: neither a plain left-to-right sum
    // nor folding the same partials backwards gives the expected bits.
    double sequential = 0.0;
    for (double x : v) sequential += x;
    const std::vector<double> partials = chunk_partials(v, kGrain);
    double backwards = 0.0;
    for (auto it = partials.rbegin(); it != partials.rend(); ++it) backwards += *it;
    ASSERT_NE(std::bit_cast<std::uint64_t>(sequential), std::bit_cast<std::uint64_t>(expected));
    ASSERT_NE(std::bit_cast<std::uint64_t>(backwards), std::bit_cast<std::uint64_t>(expected));

    struct Case {
        std::size_t threads, min_parallel;
    };
    const Case cases[] = {{1, 0}, {2, 0}, {3, 0}, {8, 0}, {8, v.size() + 1}};
    for (const auto& c : cases) {
        ThreadCountScope scope(c.threads);
        for (int repeat = 0; repeat < 10; ++repeat) {
            const double got = pool_sum(v, kGrain, c.min_parallel);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected))
                << "threads " << c.threads << " min_parallel " << c.min_parallel;
        }
    }
}

TEST(ParallelReduce, EmptyRangeReturnsInitAndFoldsInChunkOrder) {
    ThreadCountScope scope(3);
    const auto concat = [](std::string a, std::string b) { return a + b; };
    const auto letter = [](std::size_t begin, std::size_t) {
        return std::string(1, static_cast<char>('a' + begin / 2));
    };
    EXPECT_EQ(reduce_chunks(0, 2, std::string("init"), letter, concat), "init");
    EXPECT_EQ(reduce_chunks(20, 2, std::string(">"), letter, concat), ">abcdefghij");
}

TEST(ParallelPool, SecondThreadReallyRuns) {
    ThreadCountScope scope(2);
    EXPECT_EQ(thread_count(), 2u);
    EXPECT_TRUE(two_chunks_overlap());
}

TEST(ParallelPool, ThreadCountDefaultsToHardware) {
    set_thread_count(0);
    EXPECT_EQ(thread_count(), std::max(1u, std::thread::hardware_concurrency()));
    ThreadCountScope scope(5);
    EXPECT_EQ(thread_count(), 5u);
}

TEST(ParallelErrors, LowestFailingChunkIsRethrownAndPoolStaysUsable) {
    const std::vector<double> v = varied_values(5000);
    for (std::size_t threads : {1, 2, 8}) {
        ThreadCountScope scope(threads);
        std::atomic<bool> ran[3] = {false, false, false};
        try {
            for_each_chunk(100, 10, [&](std::size_t chunk, std::size_t, std::size_t) {
                if (chunk < 3) ran[chunk] = true;
                if (chunk == 3) {
                    // Fail late so that, with several threads, chunk 7 usually fails first.
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    throw std::runtime_error("3");
                }
                if (chunk == 7) throw std::runtime_error("7");
            });
            ADD_FAILURE() << "no exception, threads " << threads;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "3") << "threads " << threads;
        }
        for (const auto& r : ran) EXPECT_TRUE(r.load()) << "chunks before the failure all run";

        EXPECT_THROW(reduce_chunks(
                         1000, 10, 0,
                         [](std::size_t begin, std::size_t) -> int {
                             if (begin == 500) throw std::bad_alloc();
                             return 1;
                         },
                         [](int a, int b) { return a + b; }),
                     std::bad_alloc);

        EXPECT_EQ(std::bit_cast<std::uint64_t>(pool_sum(v, 100)),
                  std::bit_cast<std::uint64_t>(chunked_sum(v, 100)))
            << "threads " << threads;
    }
}

TEST(ParallelNested, InnerCallRunsInlineOnSameThread) {
    const std::vector<double> v = varied_values(3000);
    const double inner_expected = chunked_sum(v, 64);
    for (std::size_t threads : {2, 8}) {
        ThreadCountScope scope(threads);
        std::vector<double> results(16, 0.0);
        std::atomic<int> foreign_thread{0};
        for_each_chunk(results.size(), 1, [&](std::size_t chunk, std::size_t, std::size_t) {
            const auto outer = std::this_thread::get_id();
            results[chunk] = reduce_chunks(
                v.size(), 64, 0.0,
                [&](std::size_t begin, std::size_t end) {
                    if (std::this_thread::get_id() != outer) foreign_thread.fetch_add(1);
                    double s = 0.0;
                    for (std::size_t i = begin; i < end; ++i) s += v[i];
                    return s;
                },
                [](double a, double b) { return a + b; });
        });
        EXPECT_EQ(foreign_thread.load(), 0) << "threads " << threads;
        for (double r : results) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(r),
                      std::bit_cast<std::uint64_t>(inner_expected));
        }
    }
}

TEST(ParallelConcurrency, ManyCallersAndResizesGiveIdenticalResults) {
    const std::vector<double> v = varied_values(20000);
    const std::uint64_t expected = std::bit_cast<std::uint64_t>(chunked_sum(v, 256));
    ThreadCountScope scope(2);
    std::atomic<int> mismatches{0};
    std::atomic<bool> done{false};
    std::thread resizer([&] {
        const std::size_t counts[] = {1, 2, 3, 8};
        for (std::size_t i = 0; !done.load(); ++i) {
            set_thread_count(counts[i % 4]);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (std::bit_cast<std::uint64_t>(pool_sum(v, 256)) != expected) {
                    mismatches.fetch_add(1);
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    done = true;
    resizer.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Runs checks in a forked child and reports whether the child exited with status 0.
template <class ChildFn>
bool child_succeeds(ChildFn child) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        alarm(30);  // a hung child dies with SIGALRM instead of hanging the suite
        _exit(child() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool child_pool_works() {
    const std::vector<double> v = varied_values(50000);
    const bool same = std::bit_cast<std::uint64_t>(pool_sum(v, 500)) ==
                      std::bit_cast<std::uint64_t>(chunked_sum(v, 500));
    return same && two_chunks_overlap();
}

TEST(ParallelFork, ChildOfIdlePoolStartsFreshWorkers) {
    ThreadCountScope scope(2);
    ASSERT_TRUE(two_chunks_overlap());  // the parent's workers exist at fork time
    EXPECT_TRUE(child_succeeds(child_pool_works));
}

TEST(ParallelFork, ChildOfBusyPoolStartsFreshWorkers) {
    // The fork happens while another thread's call holds the pool, so the child's copy of the
    // pool is locked and has no workers.
    ThreadCountScope scope(2);
    std::atomic<int> running{0};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        for_each_chunk(2, 1, [&](std::size_t, std::size_t) {
            running.fetch_add(1);
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (running.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool child_ok = child_succeeds(child_pool_works);
    release = true;
    holder.join();
    EXPECT_TRUE(child_ok);
}

}  // namespace
}  // namespace korvane::parallel
