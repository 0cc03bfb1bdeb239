// The shared `ClassName(field=value, ...)` repr form.
#pragma once

#include "bindings/pyutil/ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::py {

// Double-quoted, with \" \\ \n \t \r escaped and other control characters as \u{hex}.
void append_quoted(std::string& out, std::string_view text);

class ReprBuilder {
public:
    explicit ReprBuilder(std::string_view class_name);

    ReprBuilder& display(std::string_view field, double value);             // shortest form
    ReprBuilder& fixed(std::string_view field, double value, int decimals);  // {:.N}
    ReprBuilder& integer(std::string_view field, std::uint64_t value);
    ReprBuilder& string(std::string_view field, std::string_view value);
    ReprBuilder& raw(std::string_view field, std::string_view text);

    std::string str() const { return out_ + ")"; }
    PyObject* build() const;

private:
    void begin_field(std::string_view field);
    std::string out_;
    bool first_ = true;
};

}  // namespace korvane::py
