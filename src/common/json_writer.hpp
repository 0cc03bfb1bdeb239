// JSON output: a streaming writer for hot paths and DOM writing on top of it.
//
// Floats always show they are floats ("1.0", "1e16"), use the shortest digits that read back to
// the same bits, and non-finite values become null.  Non-ASCII text is written through unescaped;
// strings are expected to hold UTF-8 already.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/json.hpp"

namespace korvane::json {

enum class Style {
    Compact,  // no whitespace at all
    Pretty,   // two-space indent, one element per line, "key": value
};

// Appends to `out`; commas, colons and indentation are inserted automatically.  Misuse (a value
// where a key is due, unbalanced ends) is a programming error and asserts in debug builds.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out, Style style = Style::Compact)
        : out_(out), style_(style) {}

    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);

    JsonWriter& null();
    JsonWriter& value(std::nullptr_t) { return null(); }
    JsonWriter& value(bool b);
    JsonWriter& value(std::int64_t i);
    JsonWriter& value(std::uint64_t u);
    template <IntegerValue T>
    JsonWriter& value(T v) {
        if constexpr (std::is_signed_v<T>)
            return value(static_cast<std::int64_t>(v));
        else
            return value(static_cast<std::uint64_t>(v));
    }
    JsonWriter& value(double d);
    JsonWriter& value(std::string_view s);
    JsonWriter& value(const char* s) { return value(std::string_view(s)); }
    JsonWriter& value(const std::string& s) { return value(std::string_view(s)); }
    JsonWriter& value(const Value& v);

    // True once exactly one top-level value has been written and every container closed.
    bool complete() const { return stack_.empty() && wrote_top_; }

private:
    struct Frame {
        bool is_object;
        bool empty = true;
    };

    void before_value();
    void new_line(std::size_t depth);
    void close(bool is_object, char bracket);

    std::string& out_;
    Style style_;
    std::vector<Frame> stack_;
    bool key_pending_ = false;  // a key was written; its value comes next
    bool wrote_top_ = false;
};

std::string write(const Value& value, Style style = Style::Compact);
void write_to(std::string& out, const Value& value, Style style = Style::Compact);

// Pieces of the writer, exposed for callers that format JSON fragments by hand.
void append_float(std::string& out, double value);  // "1.0", "1.5e-6", "null" if non-finite
std::string format_float(double value);
void append_quoted(std::string& out, std::string_view text);  // quoted and escaped

}  // namespace korvane::json
