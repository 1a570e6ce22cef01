// The binding layer's conventions, written once and used by every member:
// the entry guard, argument matching, conversions by kind, the note naming a
// parameter, borrows, and the translation of core errors into exceptions.
//
// Functions that can fail follow the interpreter's convention: they return
// nullptr / false / an empty optional with a Python exception set.
#pragma once

#include "lib/pyref.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <vector>

#include "codec/error.hpp"
#include "codec/rows.hpp"

namespace korvane::py {

// ---- internal faults -------------------------------------------------------

// Sets the panic exception (a BaseException subclass, made on first need)
// carrying `text`.
void set_panic(const char* text);

// Runs a member's body so that no C++ exception reaches the interpreter:
// std::bad_alloc becomes MemoryError, and so does std::length_error, which a
// container throws for a size past any it can hold (a count taken from a
// caller's input, such as the rows of a zero-stride array); any other fault
// becomes the panic exception.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
    return failure;
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guarded<PyObject*>(nullptr, std::forward<Body>(body));
}

// ---- argument matching -----------------------------------------------------

// A member's name and parameter names. The count N is part of the type: the
// argument array match_args fills is an std::array of the same N, and
// arguments are read by compile-time position, so a parameter list and its
// uses cannot disagree without failing to compile.
template <std::size_t N>
struct Signature {
    const char* cls;   // nullptr for the module function
    const char* name;  // "__new__" for constructors
    std::array<const char*, N> params;

    consteval Signature(const char* cls_, const char* name_, const char* const (&params_)[N])
        : cls(cls_), name(name_), params(std::to_array(params_)) {}
};

// The arguments matched to a Signature<N>, one borrowed reference per
// parameter in declaration order.
template <std::size_t N>
using Args = std::array<PyObject*, N>;

namespace detail {

// The parameter names and the slots to fill, always of equal length.
struct ParamList {
    const char* cls;
    const char* name;
    std::span<const char* const> params;

    std::string full_name() const;
};

bool match_fastcall(const ParamList& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);
bool match_tuple(const ParamList& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

template <std::size_t N>
ParamList param_list(const Signature<N>& sig) {
    return {sig.cls, sig.name, sig.params};
}

}  // namespace detail

// Fills `out` from a FASTCALL argument vector, or from a constructor's tuple
// and dictionary.
template <std::size_t N>
bool match_args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args<N>& out) {
    return detail::match_fastcall(detail::param_list(sig), args, nargs, kwnames, out);
}
template <std::size_t N>
bool match_args(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Args<N>& out) {
    return detail::match_tuple(detail::param_list(sig), args, kwargs, out);
}

// ---- notes and type mismatches --------------------------------------------

// Adds "while processing '<param>'" to the pending exception.
void add_note(const char* param);

// Runs a conversion; if it fails, the pending exception gets the note.
template <class Conv>
auto noted(const char* param, Conv&& conv) -> decltype(conv()) {
    auto r = conv();
    if (!r) add_note(param);
    return r;
}

// Converts argument I with `conv`; if it fails, the pending exception gets
// the note naming parameter I.
template <std::size_t I, std::size_t N, class Conv>
auto arg(const Signature<N>& sig, const Args<N>& a, Conv&& conv) -> decltype(conv(std::get<I>(a))) {
    return noted(std::get<I>(sig.params), [&] { return conv(std::get<I>(a)); });
}

// TypeError "'<type>' object is not an instance of '<expected>'" (or the
// None form).
void type_mismatch(PyObject* value, const char* expected);
void type_mismatch_sequence(PyObject* value);

// ---- conversions -----------------------------------------------------------

std::optional<std::uint64_t> to_size(PyObject* o);
std::optional<std::uint8_t> to_u8(PyObject* o);
std::optional<std::uint16_t> to_u16(PyObject* o);
std::optional<float> to_f32(PyObject* o);
std::optional<std::string> to_text(PyObject* o);

// A length reported by a sequence, as far as it may size a first
// allocation: a huge one from some object's __len__ must not allocate ahead
// of the items.
std::size_t capped(Py_ssize_t hint);
// The same for a first reservation of `hint` elements of `size` bytes: at
// most 1 MiB, whatever the hint claims; the vector grows as items arrive.
std::size_t capped(Py_ssize_t hint, std::size_t size);

std::optional<std::vector<float>> to_f32_vec(PyObject* o);
std::optional<std::vector<std::uint8_t>> to_u8_vec(PyObject* o);
std::optional<std::vector<std::uint16_t>> to_u16_vec(PyObject* o);
std::optional<std::vector<std::uint64_t>> to_size_vec(PyObject* o);
// A sequence of sequences of floats, concatenated into one flat buffer.
// Bulk arrays (lib/arrays.hpp) are read whole: a two-dimensional one as the
// rows, a one-dimensional one as a row. To convert rows in bounded chunks
// instead, see ArrayRows in lib/arrays.hpp.
std::optional<std::vector<float>> flatten_rows(PyObject* o);

// The rows of a batch argument (`embeddings`, `query_embeddings`) as the core
// takes them. Bulk arrays of whole rows of `dim` values are read in place, a
// chunk at a time as the core asks; anything else is converted by
// flatten_rows first and cut into rows of `dim` values.
class BatchRows {
public:
    // std::nullopt with the exception set when the conversion fails or the
    // values do not make whole rows.
    static std::optional<BatchRows> of(PyObject* o, std::size_t dim);
    const RowSource& source() const;

private:
    struct InPlace;
    std::unique_ptr<const RowSource> in_place_;
    std::vector<float> values_;
    std::optional<FlatRows> flat_;  // over values_
};
// A vector of floats where one is taken (`e`, `sample`): a one-dimensional
// bulk array read whole, any other object as a sequence of floats.
std::optional<std::vector<float>> to_f32_values(PyObject* o);

// Walks a sequence (not a str) item by item through the iterator protocol;
// `each` converts one item and returns false with an exception set to stop.
template <class Each>
bool for_each_item(PyObject* seq, Py_ssize_t* size_hint, Each&& each);

// ---- borrows ---------------------------------------------------------------

// 1 free, n + 1 with n shared borrows, -1 exclusive. 0 marks an instance
// whose value was never constructed: the allocator zeroes an instance, and
// only wrap_value stores 1, so an instance made around the class's
// constructor (a __new__ replaced by object.__new__) can never be borrowed,
// and no member reaches its value.
using BorrowFlag = std::atomic<std::int64_t>;
inline constexpr std::int64_t kBorrowFree = 1;
inline constexpr std::int64_t kNotBuilt = 0;

class Borrow {
public:
    // RuntimeError "Already mutably borrowed" on conflict; TypeError for an
    // instance no constructor built.
    static std::optional<Borrow> shared(BorrowFlag& flag);
    // RuntimeError "Already borrowed" on conflict; TypeError as above.
    static std::optional<Borrow> exclusive(BorrowFlag& flag);

    Borrow(Borrow&& o) noexcept : flag_(o.flag_), exclusive_(o.exclusive_) { o.flag_ = nullptr; }
    Borrow& operator=(Borrow&&) = delete;
    Borrow(const Borrow&) = delete;
    ~Borrow();

private:
    Borrow(BorrowFlag* flag, bool exclusive) : flag_(flag), exclusive_(exclusive) {}
    BorrowFlag* flag_;
    bool exclusive_;
};

// ---- results ---------------------------------------------------------------

// Raises the exception for a core error: OSError for Io, ValueError for every
// other kind, with the error's message as the one argument.
void error_to_python(const SpectralError& err);

// ---- template definitions --------------------------------------------------

void str_refused();

template <class Each>
bool for_each_item(PyObject* seq, Py_ssize_t* size_hint, Each&& each) {
    if (PyUnicode_Check(seq)) {
        str_refused();
        return false;
    }
    if (!PySequence_Check(seq)) {
        type_mismatch_sequence(seq);
        return false;
    }
    if (size_hint != nullptr) {
        *size_hint = PyObject_Size(seq);
        if (*size_hint < 0) {
            PyErr_Clear();
            *size_hint = 0;
        }
    }
    // Exact lists and tuples are walked by position, exactly as their own
    // iterators walk them. A list's length is read again at every step, and
    // each item is taken as a strong reference in one step: another thread
    // may shrink the list meanwhile (free-threaded), or `each` may run code
    // that does. An item gone by then ends the walk, as it ends the list's
    // iterator. A tuple cannot change and the caller keeps it alive, so its
    // items are borrowed.
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_Size(seq); ++i) {
            PyRef item(list_item_ref(seq, i));
            if (!item) {
                PyErr_Clear();
                return true;
            }
            if (!each(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i)
            if (!each(PyTuple_GET_ITEM(seq, i))) return false;
        return true;
    }
    PyRef iter(PyObject_GetIter(seq));
    if (!iter) return false;
    for (;;) {
        PyObject* raw = nullptr;
        const int got = iter_next_item(iter.get(), &raw);
        if (got < 0) return false;
        if (got == 0) return true;
        PyRef item(raw);
        if (!each(item.get())) return false;
    }
}

}  // namespace korvane::py

namespace korvane::py {

// True when `r` holds a value; otherwise raises its error and returns false.
template <class R>
bool succeeded(const R& r) {
    if (r) return true;
    error_to_python(r.error());
    return false;
}

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A list of new objects made by `make(i)` for i in [0, n); on a failure part
// way, the list and what it holds are released.
template <class Make>
PyObject* build_list(std::size_t n, Make&& make) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace korvane::py
