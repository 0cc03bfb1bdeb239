// Structured log events. The core emits; whoever hosts the core installs the sink.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace korvane::log {

enum class Level { Error, Warn, Info, Debug, Trace };

using FieldValue = std::variant<bool, std::int64_t, std::uint64_t, double, std::string>;

struct Field {
    std::string name;
    FieldValue value;
};

struct Event {
    std::string target;  // the emitting module, e.g. "korvane_embed::kernel_pca"
    Level level = Level::Info;
    std::vector<Field> fields;
    std::string message;
};

// The sink may be called from any thread, including pool workers; it must not block for long.
using Sink = void (*)(Event&& event);

// Process-wide; nullptr (the default) discards events.
void set_sink(Sink sink) noexcept;

void emit(Event event);

}  // namespace korvane::log
