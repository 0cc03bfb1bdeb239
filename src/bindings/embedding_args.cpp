#include "bindings/embedding_args.hpp"

#include <atomic>
#include <bit>
#include <utility>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "bindings/pyutil/errors.hpp"
#include "common/number_format.hpp"

namespace korvane::py {
namespace {

constexpr const char* kStrRejected = "Can't extract `str` to `Vec`";
constexpr const char* kNotContiguous = "The given array is not contiguous or is misaligned.";

// numpy.ndarray, looked up once NumPy has been imported by someone; never released.
PyObject* ndarray_type() {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* type = cached.load(std::memory_order_acquire)) return type;
    Ref numpy = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("numpy")).get()));
    if (!numpy) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* type = PyObject_GetAttrString(numpy.get(), "ndarray");
    if (!type) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, type)) {
        Py_DECREF(type);
        return expected;
    }
    return type;
}

bool is_ndarray(PyObject* object) {
    PyObject* type = ndarray_type();
    if (!type) return false;
    const int result = PyObject_IsInstance(object, type);
    if (result < 0) PyErr_Clear();
    return result == 1;
}

enum class FloatKind { None, F64, F32 };

FloatKind float_kind(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    // Native byte order only; a byte-swapped array takes the slower generic path.
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    if (view.itemsize == 8 && std::strcmp(f, "d") == 0) return FloatKind::F64;
    if (view.itemsize == 4 && std::strcmp(f, "f") == 0) return FloatKind::F32;
    return FloatKind::None;
}

enum class ArrayRead { NotApplicable, Done, Failed };

// Reads a float64/float32 NumPy array of the wanted rank through the buffer protocol. Arrays of
// other dtypes or ranks are NotApplicable and go through the sequence path instead.
ArrayRead open_float_array(PyObject* object, int ndim, BufferHandle& buffer, FloatKind& kind) {
    if (!is_ndarray(object)) return ArrayRead::NotApplicable;
    if (PyObject_GetBuffer(object, buffer.acquire_slot(), PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();  // e.g. object arrays export no buffer
        return ArrayRead::NotApplicable;
    }
    buffer.mark_held();
    const Py_buffer& view = buffer.view();
    kind = float_kind(view);
    if (kind == FloatKind::None || view.ndim != ndim) {
        buffer.release();
        return ArrayRead::NotApplicable;
    }
    const bool contiguous = PyBuffer_IsContiguous(&view, 'C') || PyBuffer_IsContiguous(&view, 'F');
    const bool aligned = reinterpret_cast<std::uintptr_t>(view.buf) % static_cast<std::uintptr_t>(view.itemsize) == 0;
    if (!contiguous || !aligned) {
        raise_type_error(kNotContiguous);
        return ArrayRead::Failed;
    }
    return ArrayRead::Done;
}

double element_at(const Py_buffer& view, FloatKind kind, Py_ssize_t offset) {
    const char* p = static_cast<const char*>(view.buf) + offset;
    if (kind == FloatKind::F64) {
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    float v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}

bool is_sequence(PyObject* object) {
    if (PySequence_Check(object)) return true;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    Ref sequence = Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence) return false;
    const int result = PyObject_IsInstance(object, sequence.get());
    if (result < 0) PyErr_Clear();
    return result == 1;
}

std::string argument_prefix(const char* function, const char* arg) {
    return std::string(function) + "() argument '" + arg + "'";
}

// Appends the numbers of one sequence to `out`; `where` describes it for messages.
bool append_numbers(PyObject* sequence, const std::string& where, std::vector<double>& out) {
    const auto convert = [&](PyObject* item, Py_ssize_t j) {
        if (PyFloat_CheckExact(item)) {
            out.push_back(PyFloat_AS_DOUBLE(item));
            return true;
        }
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                raise_type_error(where + ", element " + std::to_string(j) + ": must be a real number, not " +
                                 type_name(item));
            }
            return false;
        }
        out.push_back(value);
        return true;
    };

    if (PyList_Check(sequence) || PyTuple_Check(sequence)) {
        bool ok = true;
        Py_BEGIN_CRITICAL_SECTION(sequence);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence);
        PyObject** items = PySequence_Fast_ITEMS(sequence);
        out.reserve(out.size() + static_cast<std::size_t>(n));
        for (Py_ssize_t j = 0; j < n && ok; ++j) ok = convert(items[j], j);
        Py_END_CRITICAL_SECTION();
        return ok;
    }
    const Py_ssize_t n = PySequence_Size(sequence);
    if (n < 0) return false;
    for (Py_ssize_t j = 0; j < n; ++j) {
        Ref item = Ref::steal(PySequence_GetItem(sequence, j));
        if (!item || !convert(item.get(), j)) return false;
    }
    return true;
}

// A vector of one row or one embedding: contiguous float arrays are read directly, everything
// else element by element through the sequence protocol.
bool append_vector(PyObject* object, const std::string& where, std::vector<double>& out) {
    BufferHandle buffer;
    FloatKind kind = FloatKind::None;
    switch (open_float_array(object, 1, buffer, kind)) {
        case ArrayRead::Failed: return false;
        case ArrayRead::Done: {
            const Py_buffer& view = buffer.view();
            const Py_ssize_t n = view.shape[0];
            out.reserve(out.size() + static_cast<std::size_t>(n));
            for (Py_ssize_t j = 0; j < n; ++j) out.push_back(element_at(view, kind, j * view.strides[0]));
            return true;
        }
        case ArrayRead::NotApplicable: break;
    }
    if (PyUnicode_Check(object)) {
        raise_type_error(kStrRejected);
        return false;
    }
    if (!is_sequence(object)) {
        if (!PyErr_Occurred()) raise_type_error(where + " must be a sequence of numbers, not " + type_name(object));
        return false;
    }
    return append_numbers(object, where, out);
}

PyObject* raise_non_finite(const NonFinite& bad, const std::string& position) {
    return raise_value_error("embedding values must be finite (no NaN or Inf), found " + format_display(bad.value) +
                             " at " + position);
}

}  // namespace

BufferHandle& BufferHandle::operator=(BufferHandle&& other) noexcept {
    if (this != &other) {
        release();
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

void BufferHandle::release() noexcept {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
}

RowsView EmbeddingMatrix::rows() const noexcept {
    RowsView view;
    view.data = data_;
    view.count = count_;
    view.width = width_;
    view.offsets = offsets_.empty() ? nullptr : offsets_.data();
    return view;
}

std::optional<NonFinite> validate_finite(std::span<const double> values) noexcept {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) return NonFinite{values[i], i};
    }
    return std::nullopt;
}

bool extract_embeddings_2d(PyObject* object, const char* function, const char* arg, EmbeddingMatrix& out) {
    out = EmbeddingMatrix{};
    FloatKind kind = FloatKind::None;
    switch (open_float_array(object, 2, out.buffer_, kind)) {
        case ArrayRead::Failed: return false;
        case ArrayRead::Done: {
            const Py_buffer& view = out.buffer_.view();
            out.count_ = static_cast<std::size_t>(view.shape[0]);
            out.width_ = static_cast<std::size_t>(view.shape[1]);
            const std::size_t total = out.count_ * out.width_;
            if (kind == FloatKind::F64 && PyBuffer_IsContiguous(&view, 'C')) {
                out.data_ = static_cast<const double*>(view.buf);  // read in place
            } else {
                out.owned_.resize(total);
                std::size_t k = 0;
                for (Py_ssize_t i = 0; i < view.shape[0]; ++i)
                    for (Py_ssize_t j = 0; j < view.shape[1]; ++j)
                        out.owned_[k++] = element_at(view, kind, i * view.strides[0] + j * view.strides[1]);
                out.data_ = out.owned_.data();
                out.buffer_.release();
            }
            if (auto bad = validate_finite({out.data_, total})) {
                raise_non_finite(*bad, "index " + std::to_string(bad->index));
                return false;
            }
            return true;
        }
        case ArrayRead::NotApplicable: break;
    }

    if (PyUnicode_Check(object)) {
        raise_type_error(kStrRejected);
        return false;
    }
    const std::string prefix = argument_prefix(function, arg);
    if (!is_sequence(object)) {
        if (!PyErr_Occurred()) raise_type_error(prefix + " must be a sequence of rows, not " + type_name(object));
        return false;
    }
    const Py_ssize_t n = PySequence_Size(object);
    if (n < 0) return false;
    out.offsets_.reserve(static_cast<std::size_t>(n) + 1);
    out.offsets_.push_back(0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref row = Ref::steal(PySequence_GetItem(object, i));
        if (!row || !append_vector(row.get(), prefix + ", row " + std::to_string(i), out.owned_)) return false;
        out.offsets_.push_back(out.owned_.size());
    }
    out.count_ = static_cast<std::size_t>(n);
    out.data_ = out.owned_.data();

    for (std::size_t i = 0; i < out.count_; ++i) {
        if (auto bad = validate_finite(out.rows()[i])) {
            raise_non_finite(*bad, "[" + std::to_string(i) + "][" + std::to_string(bad->index) + "]");
            return false;
        }
    }
    // Equal-length rows become a uniform matrix, the layout the core reads fastest.
    bool uniform = true;
    const std::size_t width = out.count_ ? out.offsets_[1] : 0;
    for (std::size_t i = 0; i < out.count_ && uniform; ++i) uniform = out.offsets_[i + 1] - out.offsets_[i] == width;
    if (uniform) {
        out.width_ = width;
        out.offsets_.clear();
    }
    return true;
}

bool extract_embedding(PyObject* object, const char* function, const char* arg, std::vector<double>& out) {
    out.clear();
    if (!append_vector(object, argument_prefix(function, arg), out)) return false;
    if (auto bad = validate_finite(out)) {
        raise_non_finite(*bad, "index " + std::to_string(bad->index));
        return false;
    }
    return true;
}

bool parse_radial(PyObject* object, projection::RadialStrategy& out) {
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (!text) return false;
        const std::string value(text, static_cast<std::size_t>(size));
        if (value == "magnitude") {
            out = projection::MagnitudeRadius{};
            return true;
        }
        raise_value_error("unknown radial strategy '" + value + "': expected 'magnitude' or a float");
        return false;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise_value_error("radial must be 'magnitude' or a float value");
        return false;
    }
    out = projection::FixedRadius{value};
    return true;
}

}  // namespace korvane::py
