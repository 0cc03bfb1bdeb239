// Declarative reading and writing of plain value records as JSON values.
//
// A record type describes itself once, next to its definition, and gets reading from a
// json::Value (object or positional array), writing to a json::Value and streaming JSON from
// that one description:
//
//   constexpr auto record_schema(std::type_identity<UmapConfig>) {
//       return record::schema<UmapConfig>("UmapConfig",
//                                         record::field("n_neighbors", &UmapConfig::n_neighbors),
//                                         record::required("seed", &UmapConfig::seed));
//   }
//
// An enumeration written by variant name describes itself the same way:
//
//   constexpr auto enum_variants(std::type_identity<Kind>) {
//       return record::variants<Kind>("Kind", {{{Kind::A, "A"}, {Kind::B, "B"}}});
//   }
//
// Both functions are found by argument-dependent lookup, so they live in the record's namespace.
//
// Reading rules, shared by every record so that dicts and JSON text behave alike:
// - the input is an object, or an array holding field values in declared order (missing trailing
//   values keep their defaults, extra trailing values are skipped like unknown keys);
// - unknown keys are skipped whatever their value; absent fields keep the default member
//   initialiser, at every nesting level; `required` fields must be present;
// - a key given twice is an error, even when both values are equal;
// - values are never coerced across kinds: no float for an unsigned field, no number as string.
//
// Messages follow one family ("duplicate field `x`", "missing field `x`", "unknown variant `x`,
// expected one of ...", "invalid type: string \"x\", expected u64 at `umap.seed`"); the path
// suffix is only added where the message has no fixed wording of its own.  The path is also kept
// separately in ReadError for callers that want to point at the field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "common/json_writer.hpp"
#include "common/result.hpp"

namespace korvane::record {

struct ReadError {
    std::string message;  // the full display text
    std::string path;     // dotted field path of the offending value, "" for the input itself

    const std::string& display() const { return message; }
    friend bool operator==(const ReadError&, const ReadError&) = default;
};

template <class T>
using ReadResult = Result<T, ReadError>;

// Where a value sits in the input: "umap.seed", "kinds[2]".  Nodes live on the reader's stack and
// are only turned into text when an error is reported.
class Path {
public:
    Path() = default;
    Path field(std::string_view name) const { return Path(this, name, kNoIndex); }
    Path index(std::size_t i) const { return Path(this, {}, i); }
    bool is_root() const { return parent_ == nullptr; }
    std::string str() const;

private:
    static constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);
    Path(const Path* parent, std::string_view name, std::size_t index)
        : parent_(parent), name_(name), index_(index) {}
    void append_to(std::string& out) const;

    const Path* parent_ = nullptr;
    std::string_view name_;
    std::size_t index_ = kNoIndex;
};

// ---- messages ----

// "null", "boolean `true`", "integer `-1`", "floating point `2.5`", "string \"x\"", "sequence",
// "map": what a value was, for "invalid type" messages.
std::string describe(const json::Value& value);

ReadError invalid_type(const json::Value& value, std::string_view expected, const Path& path);
ReadError invalid_value(const json::Value& value, std::string_view expected, const Path& path);
ReadError duplicate_field(std::string_view key, const Path& path);
ReadError missing_field(std::string_view key, const Path& path);
ReadError unknown_variant(std::string_view name, const std::string_view* names, std::size_t count,
                          const Path& path);
// "`A`", "`A` or `B`", "one of `A`, `B`, `C`": the accepted names as messages list them.
std::string expected_names(const std::string_view* names, std::size_t count);

// ---- descriptions ----

template <class T, class M>
struct Field {
    std::string_view key;
    M T::*member;
    bool required;
};

// A field that keeps its default member initialiser when absent.
template <class T, class M>
constexpr Field<T, M> field(std::string_view key, M T::*member) {
    return {key, member, false};
}

// A field that must be present.
template <class T, class M>
constexpr Field<T, M> required(std::string_view key, M T::*member) {
    return {key, member, true};
}

template <class T, class... Fs>
struct Schema {
    static constexpr std::size_t size = sizeof...(Fs);
    std::string_view name;  // as messages name it: "struct {name}"
    std::tuple<Fs...> fields;

    constexpr std::array<std::string_view, size> keys() const {
        return std::apply([](const auto&... f) { return std::array<std::string_view, size>{f.key...}; },
                          fields);
    }
};

template <class T, class... Ms>
constexpr Schema<T, Field<T, Ms>...> schema(std::string_view name, Field<T, Ms>... fields) {
    return {name, {fields...}};
}

template <class E>
struct Variant {
    E value;
    std::string_view name;
};

template <class E, std::size_t N>
struct Variants {
    std::string_view name;
    std::array<Variant<E>, N> entries;

    constexpr std::array<std::string_view, N> names() const {
        std::array<std::string_view, N> out{};
        for (std::size_t i = 0; i < N; ++i) out[i] = entries[i].name;
        return out;
    }
};

template <class E, std::size_t N>
constexpr Variants<E, N> variants(std::string_view name, std::array<Variant<E>, N> entries) {
    return {name, entries};
}

template <class T>
concept Described = requires { record_schema(std::type_identity<T>{}); };

template <class E>
concept NamedEnum = std::is_enum_v<E> && requires { enum_variants(std::type_identity<E>{}); };

template <NamedEnum E>
constexpr std::string_view enum_name(E value) {
    constexpr auto table = enum_variants(std::type_identity<E>{});
    for (const auto& entry : table.entries)
        if (entry.value == value) return entry.name;
    return {};
}

// Exact, case-sensitive match of a variant name.
template <NamedEnum E>
constexpr std::optional<E> enum_from_name(std::string_view name) {
    constexpr auto table = enum_variants(std::type_identity<E>{});
    for (const auto& entry : table.entries)
        if (entry.name == name) return entry.value;
    return std::nullopt;
}

// ---- codecs: how one field type is read and written ----
//
// Codec<T> has read(value, path), to_value(x) and write(writer, x).  Specialise it for a field
// type the built-ins do not cover.

template <class T>
struct Codec;

template <>
struct Codec<std::uint64_t> {
    static ReadResult<std::uint64_t> read(const json::Value& value, const Path& path);
    static json::Value to_value(std::uint64_t x) { return json::Value(x); }
    static void write(json::JsonWriter& w, std::uint64_t x) { w.value(x); }
};

// Integers are accepted and widened.  null reads as NaN: it is how non-finite floats are written,
// and a written record must read back.
template <>
struct Codec<double> {
    static ReadResult<double> read(const json::Value& value, const Path& path);
    static json::Value to_value(double x) { return json::Value(x); }
    static void write(json::JsonWriter& w, double x) { w.value(x); }
};

template <>
struct Codec<bool> {
    static ReadResult<bool> read(const json::Value& value, const Path& path);
    static json::Value to_value(bool x) { return json::Value(x); }
    static void write(json::JsonWriter& w, bool x) { w.value(x); }
};

template <>
struct Codec<std::string> {
    static ReadResult<std::string> read(const json::Value& value, const Path& path);
    static json::Value to_value(const std::string& x) { return json::Value(x); }
    static void write(json::JsonWriter& w, const std::string& x) { w.value(x); }
};

// null and absence both mean "none".
template <class T>
struct Codec<std::optional<T>> {
    static ReadResult<std::optional<T>> read(const json::Value& value, const Path& path) {
        if (value.is_null()) return std::optional<T>{};
        auto inner = Codec<T>::read(value, path);
        if (!inner.ok()) return Err{std::move(inner).error()};
        return std::optional<T>(std::move(inner).value());
    }
    static json::Value to_value(const std::optional<T>& x) {
        return x ? Codec<T>::to_value(*x) : json::Value(nullptr);
    }
    static void write(json::JsonWriter& w, const std::optional<T>& x) {
        if (x)
            Codec<T>::write(w, *x);
        else
            w.null();
    }
};

template <class T>
struct Codec<std::vector<T>> {
    static ReadResult<std::vector<T>> read(const json::Value& value, const Path& path) {
        const json::Array* items = value.as_array();
        if (!items) return Err{invalid_type(value, "a sequence", path)};
        std::vector<T> out;
        out.reserve(items->size());
        for (std::size_t i = 0; i < items->size(); ++i) {
            auto item = Codec<T>::read((*items)[i], path.index(i));
            if (!item.ok()) return Err{std::move(item).error()};
            out.push_back(std::move(item).value());
        }
        return out;
    }
    static json::Value to_value(const std::vector<T>& xs) {
        json::Array out;
        out.reserve(xs.size());
        for (const T& x : xs) out.push_back(Codec<T>::to_value(x));
        return json::Value(std::move(out));
    }
    static void write(json::JsonWriter& w, const std::vector<T>& xs) {
        w.begin_array();
        for (const T& x : xs) Codec<T>::write(w, x);
        w.end_array();
    }
};

template <NamedEnum E>
struct Codec<E> {
    static ReadResult<E> read(const json::Value& value, const Path& path) {
        static constexpr auto table = enum_variants(std::type_identity<E>{});
        static constexpr auto names = table.names();
        const std::string* text = value.as_string();
        if (!text) return Err{invalid_type(value, expected_names(names.data(), names.size()), path)};
        if (auto e = enum_from_name<E>(*text)) return *e;
        return Err{unknown_variant(*text, names.data(), names.size(), path)};
    }
    static json::Value to_value(E x) { return json::Value(enum_name(x)); }
    static void write(json::JsonWriter& w, E x) { w.value(enum_name(x)); }
};

template <Described T>
struct Codec<T> {
    static constexpr auto desc = record_schema(std::type_identity<T>{});
    static constexpr std::size_t N = decltype(desc)::size;
    static constexpr auto keys = desc.keys();

    static ReadResult<T> read(const json::Value& value, const Path& path) {
        T out{};
        std::array<bool, N> seen{};
        if (const json::Object* members = value.as_object()) {
            for (const json::Member& m : *members) {
                const std::size_t i = index_of(m.key);
                if (i == N) continue;
                if (seen[i]) return Err{duplicate_field(m.key, path)};
                seen[i] = true;
                if (auto e = read_field(i, out, m.value, path.field(keys[i]))) return Err{std::move(*e)};
            }
        } else if (const json::Array* items = value.as_array()) {
            const std::size_t n = items->size() < N ? items->size() : N;
            for (std::size_t i = 0; i < n; ++i) {
                seen[i] = true;
                if (auto e = read_field(i, out, (*items)[i], path.field(keys[i]))) return Err{std::move(*e)};
            }
        } else {
            return Err{invalid_type(value, std::string("struct ").append(desc.name), path)};
        }
        if (auto e = check_required(seen, path)) return Err{std::move(*e)};
        return out;
    }

    static json::Value to_value(const T& x) {
        json::Object out;
        out.reserve(N);
        std::apply(
            [&](const auto&... f) {
                (out.push_back(json::Member{std::string(f.key), field_value(f, x)}), ...);
            },
            desc.fields);
        return json::Value(std::move(out));
    }

    static void write(json::JsonWriter& w, const T& x) {
        w.begin_object();
        std::apply([&](const auto&... f) { ((w.key(f.key), write_field(w, f, x)), ...); }, desc.fields);
        w.end_object();
    }

private:
    template <class F>
    using member_type = std::remove_cvref_t<decltype(std::declval<T&>().*(std::declval<F>().member))>;
    template <class F>
    static json::Value field_value(const F& f, const T& x) {
        return Codec<member_type<F>>::to_value(x.*(f.member));
    }
    template <class F>
    static void write_field(json::JsonWriter& w, const F& f, const T& x) {
        Codec<member_type<F>>::write(w, x.*(f.member));
    }

    static constexpr std::size_t index_of(std::string_view key) {
        for (std::size_t i = 0; i < N; ++i)
            if (keys[i] == key) return i;
        return N;
    }

    template <std::size_t I>
    static std::optional<ReadError> read_one(T& out, const json::Value& value, const Path& path) {
        const auto& f = std::get<I>(desc.fields);
        auto r = Codec<member_type<std::remove_cvref_t<decltype(f)>>>::read(value, path);
        if (!r.ok()) return std::move(r).error();
        out.*(f.member) = std::move(r).value();
        return std::nullopt;
    }

    static std::optional<ReadError> read_field(std::size_t i, T& out, const json::Value& value,
                                               const Path& path) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            std::optional<ReadError> error;
            ((i == I ? (error = read_one<I>(out, value, path), true) : false) || ...);
            return error;
        }(std::make_index_sequence<N>{});
    }

    static std::optional<ReadError> check_required(const std::array<bool, N>& seen, const Path& path) {
        static constexpr auto is_required = std::apply(
            [](const auto&... f) { return std::array<bool, N>{f.required...}; }, desc.fields);
        for (std::size_t i = 0; i < N; ++i)
            if (is_required[i] && !seen[i]) return missing_field(keys[i], path);
        return std::nullopt;
    }
};

// ---- entry points ----

template <class T>
ReadResult<T> read(const json::Value& value, const Path& path = Path()) {
    return Codec<T>::read(value, path);
}

template <class T>
json::Value to_value(const T& x) {
    return Codec<T>::to_value(x);
}

template <class T>
void write(json::JsonWriter& writer, const T& x) {
    Codec<T>::write(writer, x);
}

// One compact JSON document.
template <class T>
std::string to_json(const T& x) {
    std::string out;
    json::JsonWriter writer(out);
    Codec<T>::write(writer, x);
    return out;
}

}  // namespace korvane::record
