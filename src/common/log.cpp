#include "common/log.hpp"

#include <atomic>

namespace korvane::log {
namespace {
std::atomic<Sink> g_sink{nullptr};
}

void set_sink(Sink sink) noexcept { g_sink.store(sink, std::memory_order_release); }

void emit(Event event) {
    if (Sink sink = g_sink.load(std::memory_order_acquire)) sink(std::move(event));
}

}  // namespace korvane::log
