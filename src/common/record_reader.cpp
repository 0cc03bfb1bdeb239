#include "common/record_reader.hpp"

#include <cmath>
#include <limits>

#include "common/number_format.hpp"

namespace korvane::record {
namespace {

// Messages without a fixed wording of their own say where the value was.
ReadError located(std::string message, const Path& path) {
    std::string where = path.str();
    if (!where.empty()) message.append(" at `").append(where).append("`");
    return ReadError{std::move(message), std::move(where)};
}

}  // namespace

void Path::append_to(std::string& out) const {
    if (!parent_) return;
    parent_->append_to(out);
    if (index_ != kNoIndex) {
        out += '[';
        out += std::to_string(index_);
        out += ']';
    } else {
        if (!out.empty()) out += '.';
        out += name_;
    }
}

std::string Path::str() const {
    std::string out;
    append_to(out);
    return out;
}

std::string describe(const json::Value& value) {
    switch (value.kind()) {
        case json::Kind::Null: return "null";
        case json::Kind::Bool: return *value.as_bool() ? "boolean `true`" : "boolean `false`";
        case json::Kind::Int: return std::string("integer `").append(std::to_string(*value.as_int64())).append("`");
        case json::Kind::UInt: return std::string("integer `").append(std::to_string(*value.as_uint64())).append("`");
        case json::Kind::Float: {
            // The JSON layout keeps "2.0" distinguishable from the integer 2; values built in
            // memory (from a dict) may be non-finite, which JSON would show as null.
            const double d = *value.as_double();
            return std::string("floating point `")
                .append(std::isfinite(d) ? json::format_float(d) : format_display(d))
                .append("`");
        }
        case json::Kind::String: {
            std::string out = "string ";
            json::append_quoted(out, *value.as_string());
            return out;
        }
        case json::Kind::Array: return "sequence";
        case json::Kind::Object: return "map";
    }
    return "unknown value";
}

ReadError invalid_type(const json::Value& value, std::string_view expected, const Path& path) {
    return located(std::string("invalid type: ").append(describe(value)).append(", expected ").append(expected),
                   path);
}

ReadError invalid_value(const json::Value& value, std::string_view expected, const Path& path) {
    return located(std::string("invalid value: ").append(describe(value)).append(", expected ").append(expected),
                   path);
}

ReadError duplicate_field(std::string_view key, const Path& path) {
    return ReadError{std::string("duplicate field `").append(key).append("`"), path.field(key).str()};
}

ReadError missing_field(std::string_view key, const Path& path) {
    return ReadError{std::string("missing field `").append(key).append("`"), path.field(key).str()};
}

std::string expected_names(const std::string_view* names, std::size_t count) {
    std::string out;
    auto quoted = [&out](std::string_view name) { out.append("`").append(name).append("`"); };
    if (count == 0) return "no variants";
    if (count <= 2) {
        quoted(names[0]);
        if (count == 2) {
            out += " or ";
            quoted(names[1]);
        }
        return out;
    }
    out = "one of ";
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out += ", ";
        quoted(names[i]);
    }
    return out;
}

ReadError unknown_variant(std::string_view name, const std::string_view* names, std::size_t count,
                          const Path& path) {
    return ReadError{
        std::string("unknown variant `").append(name).append("`, expected ").append(expected_names(names, count)),
        path.str()};
}

ReadResult<std::uint64_t> Codec<std::uint64_t>::read(const json::Value& value, const Path& path) {
    static constexpr std::string_view kExpected = "u64";
    switch (value.kind()) {
        case json::Kind::UInt:
        case json::Kind::Int:
            // A dict converter may hand small non-negative ints over as Int.
            if (auto u = value.as_uint64()) return *u;
            return Err{invalid_value(value, kExpected, path)};
        default: return Err{invalid_type(value, kExpected, path)};
    }
}

ReadResult<double> Codec<double>::read(const json::Value& value, const Path& path) {
    if (value.is_null()) return std::numeric_limits<double>::quiet_NaN();
    if (auto d = value.as_double()) return *d;
    return Err{invalid_type(value, "f64", path)};
}

ReadResult<bool> Codec<bool>::read(const json::Value& value, const Path& path) {
    if (auto b = value.as_bool()) return *b;
    return Err{invalid_type(value, "a boolean", path)};
}

ReadResult<std::string> Codec<std::string>::read(const json::Value& value, const Path& path) {
    if (const std::string* s = value.as_string()) return *s;
    return Err{invalid_type(value, "a string", path)};
}

}  // namespace korvane::record
