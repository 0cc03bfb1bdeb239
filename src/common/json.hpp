// JSON document model shared by the reader and writers.
//
// Objects are ordered lists of members rather than maps: key order survives a round trip and
// duplicate keys are kept, so record readers can report "duplicate field" themselves.
//
// Integers keep how they were written: the reader gives UInt for a non-negative integer literal
// that fits 64 bits and Int for a negative one (including "-0"); anything with a fraction or an
// exponent, or too large for 64 bits, is Float.  That lets callers reject "-1" or "1.5" for an
// unsigned field without guessing from a double.
#pragma once

#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace korvane::json {

class Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;

enum class Kind { Null, Bool, Int, UInt, Float, String, Array, Object };

// Lower-case name for messages such as "expected object, got array".
constexpr std::string_view kind_name(Kind kind) {
    switch (kind) {
        case Kind::Null: return "null";
        case Kind::Bool: return "bool";
        case Kind::Int:
        case Kind::UInt: return "integer";
        case Kind::Float: return "number";
        case Kind::String: return "string";
        case Kind::Array: return "array";
        case Kind::Object: return "object";
    }
    return "unknown";
}

template <class T>
concept IntegerValue = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                       !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
                       !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;

class Value {
public:
    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : data_(b) {}
    template <IntegerValue T>
    Value(T v) {
        if constexpr (std::is_signed_v<T>)
            data_ = static_cast<std::int64_t>(v);
        else
            data_ = static_cast<std::uint64_t>(v);
    }
    Value(double d) : data_(d) {}
    Value(float f) : data_(static_cast<double>(f)) {}
    Value(std::string s) : data_(std::move(s)) {}
    Value(std::string_view s) : data_(std::string(s)) {}
    Value(const char* s) : data_(std::string(s)) {}
    Value(Array a) : data_(std::move(a)) {}
    Value(Object o) : data_(std::move(o)) {}

    static Value array() { return Value(Array{}); }
    static Value object() { return Value(Object{}); }

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_bool() const { return kind() == Kind::Bool; }
    bool is_integer() const { return kind() == Kind::Int || kind() == Kind::UInt; }
    bool is_number() const { return is_integer() || kind() == Kind::Float; }
    bool is_string() const { return kind() == Kind::String; }
    bool is_array() const { return kind() == Kind::Array; }
    bool is_object() const { return kind() == Kind::Object; }

    std::optional<bool> as_bool() const;
    // Integers only, and only when the value fits: -1 has no uint64, 2^63 has no int64.
    std::optional<std::int64_t> as_int64() const;
    std::optional<std::uint64_t> as_uint64() const;
    // Any number; integers beyond 2^53 are rounded to the nearest double.
    std::optional<double> as_double() const;

    const std::string* as_string() const { return std::get_if<std::string>(&data_); }
    const Array* as_array() const { return std::get_if<Array>(&data_); }
    const Object* as_object() const { return std::get_if<Object>(&data_); }
    std::string* as_string() { return std::get_if<std::string>(&data_); }
    Array* as_array() { return std::get_if<Array>(&data_); }
    Object* as_object() { return std::get_if<Object>(&data_); }

    // First member named `key`; null when absent or when this is not an object.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);

    // Builders; calling them on the wrong kind is a programming error (asserts, else ignored).
    // The rvalue forms let chains on temporaries move instead of copy:
    //   Value::object().push("x", 1).push("tags", Value::array().push("a"))
    Value& push(std::string key, Value value) &;  // object: appends, keeping duplicates
    Value& push(Value value) &;                   // array: appends
    Value&& push(std::string key, Value value) && {
        return std::move(push(std::move(key), std::move(value)));
    }
    Value&& push(Value value) && { return std::move(push(std::move(value))); }

    // Structural equality. Int and UInt compare by numeric value; an integer never equals a
    // float, because they write differently.  Floats use IEEE ==, so NaN is unequal to itself.
    friend bool operator==(const Value& a, const Value& b);

private:
    // Alternatives in Kind order: kind() is the index.
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, Array,
                 Object>
        data_;
};

struct Member {
    std::string key;
    Value value;

    friend bool operator==(const Member&, const Member&) = default;
};

// ---- inline definitions (they need Member complete) ----

inline std::optional<bool> Value::as_bool() const {
    if (const bool* b = std::get_if<bool>(&data_)) return *b;
    return std::nullopt;
}

inline std::optional<std::int64_t> Value::as_int64() const {
    if (const auto* i = std::get_if<std::int64_t>(&data_)) return *i;
    if (const auto* u = std::get_if<std::uint64_t>(&data_)) {
        if (*u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(*u);
    }
    return std::nullopt;
}

inline std::optional<std::uint64_t> Value::as_uint64() const {
    if (const auto* u = std::get_if<std::uint64_t>(&data_)) return *u;
    if (const auto* i = std::get_if<std::int64_t>(&data_)) {
        if (*i >= 0) return static_cast<std::uint64_t>(*i);
    }
    return std::nullopt;
}

inline std::optional<double> Value::as_double() const {
    if (const auto* d = std::get_if<double>(&data_)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&data_)) return static_cast<double>(*i);
    if (const auto* u = std::get_if<std::uint64_t>(&data_)) return static_cast<double>(*u);
    return std::nullopt;
}

inline const Value* Value::find(std::string_view key) const {
    if (const Object* members = as_object()) {
        for (const Member& m : *members)
            if (m.key == key) return &m.value;
    }
    return nullptr;
}

inline Value* Value::find(std::string_view key) {
    return const_cast<Value*>(std::as_const(*this).find(key));
}

inline Value& Value::push(std::string key, Value value) & {
    Object* members = as_object();
    assert(members && "push(key, value) on a non-object");
    if (members) members->push_back(Member{std::move(key), std::move(value)});
    return *this;
}

inline Value& Value::push(Value value) & {
    Array* items = as_array();
    assert(items && "push(value) on a non-array");
    if (items) items->push_back(std::move(value));
    return *this;
}

inline bool operator==(const Value& a, const Value& b) {
    if (a.is_integer() && b.is_integer()) {
        if (a.kind() == b.kind()) return a.data_ == b.data_;
        // Mixed signedness: equal only when both are non-negative and the same.
        auto ua = a.as_uint64();
        auto ub = b.as_uint64();
        return ua && ub && *ua == *ub;
    }
    return a.data_ == b.data_;
}

}  // namespace korvane::json
