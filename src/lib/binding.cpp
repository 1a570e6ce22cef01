#include "lib/binding.hpp"

#include "lib/arrays.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "lib/once.hpp"

namespace korvane::py {

// ---- internal faults -------------------------------------------------------

namespace {

void drop_ref(PyObject* o) { Py_DECREF(o); }

// Made on the first fault. Making it runs Python code; a failure leaves the
// cell empty and the fault is reported as SystemError instead.
PyObject* panic_type() {
    static std::atomic<PyObject*> cell{nullptr};
    PyObject* type = once(
        cell,
        [] {
            return PyErr_NewExceptionWithDoc("korvane.PanicException",
                                             "An internal fault of the korvane extension module.",
                                             PyExc_BaseException, nullptr);
        },
        drop_ref);
    if (type == nullptr) PyErr_Clear();
    return type;
}

}  // namespace

void set_panic(const char* text) {
    PyObject* type = panic_type();
    PyErr_SetString(type != nullptr ? type : PyExc_SystemError, text);
}

// ---- argument matching -----------------------------------------------------

std::string detail::ParamList::full_name() const {
    std::string s;
    if (cls != nullptr) {
        s += cls;
        s += '.';
    }
    s += name;
    s += "()";
    return s;
}

namespace {

bool too_many_positional(const detail::ParamList& sig, Py_ssize_t nargs) {
    const std::size_t nparams = sig.params.size();
    if (static_cast<std::size_t>(nargs) <= nparams) return false;
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.full_name().c_str(),
                 nparams, nargs, nargs == 1 ? "was" : "were");
    return true;
}

// Places one keyword argument; false with TypeError set when it names no
// parameter or one already filled.
bool place_keyword(const detail::ParamList& sig, PyObject* name, PyObject* value, std::span<PyObject*> out) {
    std::size_t i = 0;
    for (const char* param : sig.params) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, param) == 0) {
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name().c_str(),
                             param);
                return false;
            }
            out[i] = value;
            return true;
        }
        ++i;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name().c_str(), name);
    return false;
}

bool check_missing(const detail::ParamList& sig, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    std::size_t i = 0;
    for (const char* param : sig.params)
        if (out[i++] == nullptr) missing.push_back(param);
    if (missing.empty()) return true;
    std::string names;
    for (std::size_t j = 0; j < missing.size(); ++j) {
        if (j > 0) names += missing.size() == 2 ? " and " : (j + 1 == missing.size() ? ", and " : ", ");
        names += '\'';
        names += missing[j];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name().c_str(),
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

}  // namespace

bool detail::match_fastcall(const ParamList& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (too_many_positional(sig, nargs)) return false;
    for (auto& slot : out) slot = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
    return check_missing(sig, out);
}

bool detail::match_tuple(const ParamList& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (too_many_positional(sig, nargs)) return false;
    for (auto& slot : out) slot = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!place_keyword(sig, name, value, out)) return false;
    }
    return check_missing(sig, out);
}

// ---- notes and type mismatches --------------------------------------------

void add_note(const char* param) {
    PyObject* exc = fetch_raised();
    if (exc == nullptr) return;
    static std::atomic<PyObject*> cell{nullptr};
    PyObject* add_note_name = once(cell, [] { return PyUnicode_InternFromString("add_note"); }, drop_ref);
    PyRef note(PyUnicode_FromFormat("while processing '%s'", param));
    if (note && add_note_name != nullptr) {
        PyRef r(PyObject_CallMethodOneArg(exc, add_note_name, note.get()));
        if (!r) PyErr_Clear();  // a failing add_note leaves the exception as it was
    } else {
        PyErr_Clear();
    }
    restore_raised(exc);
}

void type_mismatch(PyObject* value, const char* expected) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyRef qualname(PyType_GetQualName(Py_TYPE(value)));
    const char* name = nullptr;
    if (qualname && PyUnicode_Check(qualname.get())) name = PyUnicode_AsUTF8(qualname.get());
    if (name == nullptr) {
        PyErr_Clear();
        name = "<failed to extract type name>";
    }
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name, expected);
}

void type_mismatch_sequence(PyObject* value) {
    // The qualified name of collections.abc.Sequence, looked up on first need
    // (the import runs Python code; see once()).
    static std::atomic<const std::string*> cell{nullptr};
    const std::string* name = once(
        cell,
        [] {
            auto looked_up = std::make_unique<std::string>("Sequence");
            PyObject* pending = fetch_raised();
            PyRef abc(PyImport_ImportModule("collections.abc"));
            PyRef seq(abc ? PyObject_GetAttrString(abc.get(), "Sequence") : nullptr);
            if (seq && PyType_Check(seq.get())) {
                PyRef q(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(seq.get())));
                if (q && PyUnicode_Check(q.get()))
                    if (const char* s = PyUnicode_AsUTF8(q.get())) *looked_up = s;
            }
            PyErr_Clear();
            if (pending != nullptr) restore_raised(pending);
            return looked_up.release();
        },
        [](const std::string* s) { delete s; });
    type_mismatch(value, name->c_str());
}

void str_refused() { PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

// ---- conversions -----------------------------------------------------------

std::optional<std::uint64_t> to_size(PyObject* o) {
    PyRef index;
    if (!PyLong_Check(o)) {
        index = PyRef(PyNumber_Index(o));
        if (!index) return std::nullopt;
        o = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(v);
}

namespace {

std::optional<long> to_long(PyObject* o) {
    const long v = PyLong_AsLong(o);  // goes through __index__ for non-integers
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    return v;
}

void out_of_range() { PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted"); }

}  // namespace

std::optional<std::uint8_t> to_u8(PyObject* o) {
    auto v = to_long(o);
    if (!v) return std::nullopt;
    if (*v < 0 || *v > 255) {
        out_of_range();
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*v);
}

std::optional<std::uint16_t> to_u16(PyObject* o) {
    auto v = to_long(o);
    if (!v) return std::nullopt;
    if (*v < 0 || *v > 65535) {
        out_of_range();
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*v);
}

std::optional<float> to_f32(PyObject* o) {
    double d;
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
    } else {
        d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    }
    // Round to nearest; beyond the single-precision range an infinity.
    return static_cast<float>(d);
}

std::optional<std::string> to_text(PyObject* o) {
    if (!PyUnicode_Check(o)) {
        type_mismatch(o, "str");
        return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &len);
    if (utf8 == nullptr) return std::nullopt;
    return std::string(utf8, static_cast<std::size_t>(len));
}

std::size_t capped(Py_ssize_t hint) { return static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 24)); }

std::size_t capped(Py_ssize_t hint, std::size_t size) {
    return std::min(capped(hint), std::max<std::size_t>(1, (std::size_t{1} << 20) / size));
}

namespace {

template <class T, class Conv>
std::optional<std::vector<T>> to_vec(PyObject* o, Conv conv) {
    std::vector<T> out;
    Py_ssize_t hint = 0;
    const bool ok = for_each_item(o, &hint, [&](PyObject* item) {
        if (out.empty() && hint > 0) out.reserve(capped(hint, sizeof(T)));
        auto v = conv(item);
        if (!v) return false;
        out.push_back(*v);
        return true;
    });
    if (!ok) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::vector<float>> to_f32_vec(PyObject* o) { return to_vec<float>(o, to_f32); }
std::optional<std::vector<std::uint16_t>> to_u16_vec(PyObject* o) { return to_vec<std::uint16_t>(o, to_u16); }
std::optional<std::vector<std::uint64_t>> to_size_vec(PyObject* o) { return to_vec<std::uint64_t>(o, to_size); }

std::optional<std::vector<std::uint8_t>> to_u8_vec(PyObject* o) {
    // bytes and bytearray are taken whole, one code per byte.
    if (PyBytes_Check(o)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o));
        return std::vector<std::uint8_t>(p, p + PyBytes_GET_SIZE(o));
    }
    if (PyByteArray_Check(o)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(o));
        return std::vector<std::uint8_t>(p, p + PyByteArray_GET_SIZE(o));
    }
    return to_vec<std::uint8_t>(o, to_u8);
}

namespace {

// A first reservation for rows converted one by one: the first row's length
// times the row count, both hints, at most 2^22 values (16 MiB).
std::size_t rows_reservation(Py_ssize_t row_hint, Py_ssize_t rows_hint) {
    return std::min<std::size_t>(capped(row_hint) * capped(rows_hint), std::size_t{1} << 22);
}

// An exact list or tuple whose items are all exact floats, appended to `out`
// in one pass; false, with nothing appended, for any other object. Reading
// such items runs no Python code, so with the interpreter lock held nothing
// can change the sequence meanwhile, and the values are those of the
// item-by-item conversion. Without the lock another thread could, so there
// every sequence takes the item-by-item way with its strong references.
bool append_exact_floats(PyObject* seq, std::vector<float>& out) {
#ifdef Py_GIL_DISABLED
    (void)seq;
    (void)out;
    return false;
#else
    if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyFloat_CheckExact(items[i])) return false;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<float>(PyFloat_AS_DOUBLE(items[i]));
    return true;
#endif
}

}  // namespace

// The rows of bulk arrays, each row `dim` values long, read as they are.
struct BatchRows::InPlace final : RowSource {
    InPlace(ArrayRows rows, std::size_t dim) : array(std::move(rows)), width(dim) {}
    std::size_t rows() const override { return array.rows(); }
    std::size_t dim() const override { return width; }
    void fill(std::size_t r0, std::size_t r1, float* out) const noexcept override { array.copy(r0, r1, out); }
    ArrayRows array;
    std::size_t width;
};

std::optional<BatchRows> BatchRows::of(PyObject* o, std::size_t dim) {
    BatchRows batch;
    if (auto rows = ArrayRows::of(o); rows && rows->rows_of_length(dim)) {
        batch.in_place_ = std::make_unique<const InPlace>(std::move(*rows), dim);
        return batch;
    }
    auto flat = flatten_rows(o);
    if (!flat) return std::nullopt;
    batch.values_ = std::move(*flat);
    auto source = FlatRows::of(batch.values_, dim);
    if (!succeeded(source)) return std::nullopt;
    batch.flat_ = std::move(*source);
    return batch;
}

const RowSource& BatchRows::source() const {
    if (in_place_) return *in_place_;
    return *flat_;
}

std::optional<std::vector<float>> to_f32_values(PyObject* o) {
    if (auto values = read_vector_array(o)) return values;
    std::vector<float> values;
    if (append_exact_floats(o, values)) return values;
    return to_f32_vec(o);
}

std::optional<std::vector<float>> flatten_rows(PyObject* o) {
    if (auto rows = ArrayRows::of(o)) {
        std::vector<float> flat(rows->values());
        rows->copy(0, rows->rows(), flat.data());
        return flat;
    }
    std::vector<float> flat;
    Py_ssize_t rows_hint = 0;
    bool first_row = true;
    const bool ok = for_each_item(o, &rows_hint, [&](PyObject* row) {
        if (auto values = read_vector_array(row)) {
            flat.insert(flat.end(), values->begin(), values->end());
            first_row = false;
            return true;
        }
        if (first_row && rows_hint > 0 && (PyList_CheckExact(row) || PyTuple_CheckExact(row))) {
            flat.reserve(rows_reservation(PySequence_Fast_GET_SIZE(row), rows_hint));
        }
        if (append_exact_floats(row, flat)) {
            first_row = false;
            return true;
        }
        Py_ssize_t hint = 0;
        bool first_item = true;
        return for_each_item(row, &hint, [&](PyObject* item) {
            // Sized once, from the first row's length times the row count;
            // after that the buffer grows geometrically.
            if (first_row && first_item && hint > 0 && rows_hint > 0)
                flat.reserve(rows_reservation(hint, rows_hint));
            first_row = false;
            first_item = false;
            auto v = to_f32(item);
            if (!v) return false;
            flat.push_back(*v);
            return true;
        });
    });
    if (!ok) return std::nullopt;
    return flat;
}

// ---- borrows ---------------------------------------------------------------

namespace {

void not_built() { PyErr_SetString(PyExc_TypeError, "this object was not initialised by its class's constructor"); }

}  // namespace

std::optional<Borrow> Borrow::shared(BorrowFlag& flag) {
    std::int64_t cur = flag.load(std::memory_order_relaxed);
    while (cur != -1) {
        if (cur == kNotBuilt) {
            not_built();
            return std::nullopt;
        }
        if (flag.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed))
            return Borrow(&flag, false);
    }
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return std::nullopt;
}

std::optional<Borrow> Borrow::exclusive(BorrowFlag& flag) {
    std::int64_t expected = kBorrowFree;
    if (flag.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
        return Borrow(&flag, true);
    if (expected == kNotBuilt) not_built();
    else PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return std::nullopt;
}

Borrow::~Borrow() {
    if (flag_ == nullptr) return;
    if (exclusive_)
        flag_->store(kBorrowFree, std::memory_order_release);
    else
        flag_->fetch_sub(1, std::memory_order_release);
}

// ---- results ---------------------------------------------------------------

void error_to_python(const SpectralError& err) {
    const std::string msg = error_message(err);
    PyObject* type = std::holds_alternative<Io>(err) ? PyExc_OSError : PyExc_ValueError;
    PyRef text(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    if (!text) return;
    // A single str argument: OSError keeps errno None.
    PyErr_SetObject(type, text.get());
}

}  // namespace korvane::py
