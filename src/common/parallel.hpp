// Deterministic data-parallel loops on a process-wide worker pool.
//
// [0, n) is cut into chunks of `grain` items (the last one shorter); the cut depends only on n
// and grain, never on the thread count, so a computation that writes one output slot per chunk,
// or folds per-chunk partials in chunk order (reduce_chunks), gives bit-identical results for
// any number of threads. Chunks are claimed dynamically, so which thread runs a chunk is
// unspecified.
//
// Runs inline on the calling thread, with the same chunks, when n < min_parallel or there is a
// single chunk (decided in the header, no synchronisation), when thread_count() is 1, when called
// from inside a chunk (nesting), and when another top-level call already occupies the pool
// (concurrent callers never wait for each other).
//
// If chunks throw, the exception of the lowest-indexed failing chunk is rethrown on the caller
// once no chunk is running any more; chunks after it may or may not have run.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvane::parallel {

// Threads taking part in a parallel call, the calling thread included. Defaults to
// std::thread::hardware_concurrency() (at least 1).
std::size_t thread_count() noexcept;

// 1 runs everything on the calling thread; 0 restores the default. Takes effect at the next
// top-level parallel call, so it is safe from any thread, including from inside a chunk.
void set_thread_count(std::size_t n) noexcept;

// A grain of 0 is treated as 1.
constexpr std::size_t chunk_count(std::size_t n, std::size_t grain) noexcept {
    if (grain == 0) grain = 1;
    return n / grain + (n % grain != 0 ? 1 : 0);
}

namespace detail {

using ChunkBody = void (*)(void* ctx, std::size_t chunk, std::size_t begin, std::size_t end);

// Runs every chunk of [0, n) on the pool (or inline when the pool cannot be used).
void run_chunks(std::size_t n, std::size_t grain, ChunkBody body, void* ctx);

constexpr bool worth_dispatching(std::size_t n, std::size_t grain,
                                 std::size_t min_parallel) noexcept {
    return n >= min_parallel && chunk_count(n, grain) > 1;
}

// Calls fn(chunk, begin, end) when it takes three arguments, else fn(begin, end).
template <class Fn>
void call_chunk(Fn& fn, std::size_t chunk, std::size_t begin, std::size_t end) {
    if constexpr (std::is_invocable_v<Fn&, std::size_t, std::size_t, std::size_t>) {
        fn(chunk, begin, end);
    } else {
        fn(begin, end);
    }
}

template <class Fn>
void run_inline(std::size_t n, std::size_t grain, Fn&& fn) {
    if (grain == 0) grain = 1;
    std::size_t chunk = 0;
    for (std::size_t begin = 0; begin < n; ++chunk) {
        const std::size_t end = begin + (n - begin < grain ? n - begin : grain);
        call_chunk(fn, chunk, begin, end);
        begin = end;
    }
}

}  // namespace detail

// fn(begin, end) or fn(chunk_index, begin, end); chunk_index == begin / grain.
template <class Fn>
void for_each_chunk(std::size_t n, std::size_t grain, Fn&& fn, std::size_t min_parallel = 0) {
    if (!detail::worth_dispatching(n, grain, min_parallel)) {
        detail::run_inline(n, grain, fn);
        return;
    }
    using F = std::remove_reference_t<Fn>;
    detail::run_chunks(
        n, grain,
        [](void* ctx, std::size_t chunk, std::size_t begin, std::size_t end) {
            detail::call_chunk(*static_cast<F*>(ctx), chunk, begin, end);
        },
        const_cast<void*>(static_cast<const void*>(std::addressof(fn))));
}

// Returns combine(...combine(combine(init, chunk_fn(chunk 0)), chunk_fn(chunk 1))...), folded
// on the calling thread in chunk order whatever the thread count.
// chunk_fn(begin, end) -> T; combine(T, T) -> T.
template <class T, class ChunkFn, class Combine>
T reduce_chunks(std::size_t n, std::size_t grain, T init, ChunkFn&& chunk_fn, Combine&& combine,
                std::size_t min_parallel = 0) {
    T acc = std::move(init);
    if (!detail::worth_dispatching(n, grain, min_parallel)) {
        detail::run_inline(n, grain, [&](std::size_t begin, std::size_t end) {
            acc = combine(std::move(acc), chunk_fn(begin, end));
        });
        return acc;
    }
    // optional<T>: no default constructor needed, and no std::vector<bool> packing races.
    std::vector<std::optional<T>> partials(chunk_count(n, grain));
    for_each_chunk(n, grain, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
        partials[chunk].emplace(chunk_fn(begin, end));
    });
    for (auto& partial : partials) acc = combine(std::move(acc), std::move(*partial));
    return acc;
}

}  // namespace korvane::parallel
