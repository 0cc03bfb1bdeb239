// Conversion of embedding matrices, single vectors and the `radial` argument.
#pragma once

#include "bindings/pyutil/ref.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "common/rows.hpp"
#include "projection/types.hpp"

namespace korvane::py {

// A Py_buffer kept alive while the core reads the array in place. Released on destruction,
// which must happen with the interpreter lock held.
class BufferHandle {
public:
    BufferHandle() = default;
    BufferHandle(const BufferHandle&) = delete;
    BufferHandle& operator=(const BufferHandle&) = delete;
    BufferHandle(BufferHandle&& other) noexcept : view_(other.view_), held_(other.held_) { other.held_ = false; }
    BufferHandle& operator=(BufferHandle&& other) noexcept;
    ~BufferHandle() { release(); }

    Py_buffer* acquire_slot() noexcept { return &view_; }
    void mark_held() noexcept { held_ = true; }
    const Py_buffer& view() const noexcept { return view_; }
    void release() noexcept;

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Float64 rows, either read in place from a C-contiguous float64 array or copied.
class EmbeddingMatrix {
public:
    RowsView rows() const noexcept;
    std::size_t size() const noexcept { return count_; }
    std::span<const double> operator[](std::size_t i) const noexcept { return rows()[i]; }
    // True when the rows are the caller's NumPy buffer itself, not a copy.
    bool reads_in_place() const noexcept { return data_ != nullptr && owned_.empty() && count_ * width_ > 0; }

private:
    friend bool extract_embeddings_2d(PyObject*, const char*, const char*, EmbeddingMatrix&);
    const double* data_ = nullptr;
    std::size_t count_ = 0;
    std::size_t width_ = 0;
    std::vector<double> owned_;
    std::vector<std::size_t> offsets_;  // ragged rows from sequences; empty when uniform
    BufferHandle buffer_;
};

// Accepts 2-D float64 / float32 NumPy arrays (C or Fortran order) and sequences of number
// sequences; checks every value is finite. Returns false with TypeError / ValueError set.
bool extract_embeddings_2d(PyObject* object, const char* function, const char* arg, EmbeddingMatrix& out);

// One vector: a 1-D float64 / float32 array or a sequence of numbers, finite values only.
bool extract_embedding(PyObject* object, const char* function, const char* arg, std::vector<double>& out);

// The first non-finite value and its position, if any.
struct NonFinite {
    double value;
    std::size_t index;
};
std::optional<NonFinite> validate_finite(std::span<const double> values) noexcept;

// "magnitude" or a number (fixed radius). Returns false with ValueError set.
bool parse_radial(PyObject* object, projection::RadialStrategy& out);

}  // namespace korvane::py
