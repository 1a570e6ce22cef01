// SpectralIndex: adding items, searching, sizes, and the index file.
#include "lib/arrays.hpp"
#include "lib/objects.hpp"

#include <array>

#include "io/format.hpp"

namespace korvane::py {

namespace {

SpectralIndex& value_of(PyObject* self) { return as_object<SpectralIndex>(self)->value; }
BorrowFlag& flag_of(PyObject* self) { return as_object<SpectralIndex>(self)->borrow_flag; }

// An argument that must be an instance of `type`, borrowed shared for as long
// as the returned borrow lives.
template <class V>
std::optional<Borrow> borrow_instance(PyObject* arg, PyTypeObject* type, const char* type_name) {
    if (type == nullptr) return std::nullopt;
    if (!PyObject_TypeCheck(arg, type)) {
        type_mismatch(arg, type_name);
        return std::nullopt;
    }
    return Borrow::shared(as_object<V>(arg)->borrow_flag);
}

// `codes`: a sequence of SpectralCodes, each borrowed while it is copied.
std::optional<std::vector<SpectralCodes>> to_codes_vec(PyObject* seq) {
    PyTypeObject* type = codes_type_object();
    if (type == nullptr) return std::nullopt;
    std::vector<SpectralCodes> out;
    Py_ssize_t hint = 0;
    const bool ok = for_each_item(seq, &hint, [&](PyObject* item) {
        if (out.empty() && hint > 0) out.reserve(capped(hint, sizeof(SpectralCodes)));
        auto borrow = borrow_instance<SpectralCodes>(item, type, "SpectralCodes");
        if (!borrow) return false;
        out.push_back(clone_codes(as_object<SpectralCodes>(item)->value));
        return true;
    });
    if (!ok) return std::nullopt;
    return out;
}

PyObject* search_pair(SpectralSearchResult&& r) {
    PyRef ids(new_array(std::move(r.ids)));
    if (!ids) return nullptr;
    PyRef scores(new_array(std::move(r.scores)));
    if (!scores) return nullptr;
    return PyTuple_Pack(2, ids.get(), scores.get());
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralIndex", "__new__", {"encoder"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, kwargs, a)) return nullptr;
        auto borrow = arg<0>(sig, a, [](PyObject* o) {
            return borrow_instance<SpectralEncoder>(o, encoder_type_object(), "SpectralEncoder");
        });
        if (!borrow) return nullptr;
        return wrap_value(type, SpectralIndex(as_object<SpectralEncoder>(std::get<0>(a))->value));
    });
}

PyObject* index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralIndex", "add", {"codes"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::exclusive(flag_of(self));
        if (!borrow) return nullptr;
        auto codes = arg<0>(sig, a, to_codes_vec);
        if (!codes) return nullptr;
        if (!succeeded(value_of(self).add_codes(*codes))) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* index_add_embeddings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralIndex", "add_embeddings", {"embeddings"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::exclusive(flag_of(self));
        if (!borrow) return nullptr;
        SpectralIndex& index = value_of(self);
        auto rows = BatchRows::of(std::get<0>(a), index.encoder().dim());
        if (!rows) return nullptr;
        if (!succeeded(index.add_rows(rows->source()))) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralIndex", "search", {"query", "top_k"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::shared(flag_of(self));
        if (!borrow) return nullptr;
        auto query_borrow = arg<0>(sig, a, [](PyObject* o) {
            return borrow_instance<SpectralCodes>(o, codes_type_object(), "SpectralCodes");
        });
        if (!query_borrow) return nullptr;
        auto top_k = arg<1>(sig, a, to_size);
        if (!top_k) return nullptr;
        auto result = value_of(self).search_codes(as_object<SpectralCodes>(std::get<0>(a))->value, *top_k);
        if (!succeeded(result)) return nullptr;
        return search_pair(std::move(*result));
    });
}

PyObject* index_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralIndex", "search_batch", {"query_embeddings", "top_k"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::shared(flag_of(self));
        if (!borrow) return nullptr;
        auto top_k = arg<1>(sig, a, to_size);
        if (!top_k) return nullptr;
        const SpectralIndex& index = value_of(self);
        auto rows = BatchRows::of(std::get<0>(a), index.encoder().dim());
        if (!rows) return nullptr;
        auto searched = index.search_rows(rows->source(), *top_k);
        if (!succeeded(searched)) return nullptr;
        rows.reset();
        std::vector<SpectralSearchResult>& results = *searched;
        // Arrays are made only after the last search, query by query.
        PyRef ids(PyList_New(static_cast<Py_ssize_t>(results.size())));
        if (!ids) return nullptr;
        PyRef scores(PyList_New(static_cast<Py_ssize_t>(results.size())));
        if (!scores) return nullptr;
        for (std::size_t i = 0; i < results.size(); ++i) {
            PyObject* id_array = new_array(std::move(results[i].ids));
            if (id_array == nullptr) return nullptr;
            PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id_array);
            PyObject* score_array = new_array(std::move(results[i].scores));
            if (score_array == nullptr) return nullptr;
            PyList_SET_ITEM(scores.get(), static_cast<Py_ssize_t>(i), score_array);
        }
        return PyTuple_Pack(2, ids.get(), scores.get());
    });
}

PyObject* index_bytes_per_chunk(PyObject* self, PyObject*) {
    return read_shared<SpectralIndex>(
        self, [](const SpectralIndex& index) { return PyLong_FromUnsignedLongLong(bytes_per_chunk(index.encoder())); });
}

PyObject* index_total_bytes(PyObject* self, PyObject*) {
    return read_shared<SpectralIndex>(self, [](const SpectralIndex& index) {
        const std::uint64_t total = bytes_per_chunk(index.encoder()) * static_cast<std::uint64_t>(index.size());
        return PyLong_FromUnsignedLongLong(total);
    });
}

// Runs the interpreter's signal handlers when a file call is interrupted, as
// the interpreter's own file calls do: a handler that raises stops the call.
bool run_signal_handlers() { return PyErr_CheckSignals() == 0; }

// A file call's result. A call a signal handler stopped already carries the
// handler's exception, and so does a failure during which a handler raised;
// neither is turned into an error of the file.
template <class R>
bool file_call_succeeded(const R& r) {
    if (r) return true;
    if (std::holds_alternative<Interrupted>(r.error()) || PyErr_Occurred() != nullptr) return false;
    return succeeded(r);
}

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralIndex", "save", {"path"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::shared(flag_of(self));
        if (!borrow) return nullptr;
        auto path = arg<0>(sig, a, to_text);
        if (!path) return nullptr;
        auto written = write_index_file(value_of(self), *path, run_signal_handlers);
        if (!file_call_succeeded(written)) return nullptr;
        return PyLong_FromUnsignedLongLong(*written);
    });
}

PyObject* index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralIndex", "load", {"path"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto path = arg<0>(sig, a, to_text);
        if (!path) return nullptr;
        auto index = read_index_file(*path, run_signal_handlers);
        if (!file_call_succeeded(index)) return nullptr;
        return wrap_value(index_type_object(), std::move(*index));
    });
}

Py_ssize_t index_length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        auto borrow = Borrow::shared(flag_of(self));
        if (!borrow) return -1;
        return static_cast<Py_ssize_t>(value_of(self).size());
    });
}

PyMethodDef index_methods[] = {
    {"add", as_cfunction(index_add), METH_FASTCALL | METH_KEYWORDS, "add($self, codes)\n--\n\n"},
    {"add_embeddings", as_cfunction(index_add_embeddings), METH_FASTCALL | METH_KEYWORDS,
     "add_embeddings($self, embeddings)\n--\n\n"},
    {"search", as_cfunction(index_search), METH_FASTCALL | METH_KEYWORDS, "search($self, query, top_k)\n--\n\n"},
    {"search_batch", as_cfunction(index_search_batch), METH_FASTCALL | METH_KEYWORDS,
     "search_batch($self, query_embeddings, top_k)\n--\n\n"},
    {"bytes_per_chunk", as_cfunction(index_bytes_per_chunk), METH_NOARGS, "bytes_per_chunk($self)\n--\n\n"},
    {"total_bytes", as_cfunction(index_total_bytes), METH_NOARGS, "total_bytes($self)\n--\n\n"},
    {"save", as_cfunction(index_save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\n"
     "Serialize the index to a file. The on-disk format is\n"
     "versioned (magic header `KRVN` + 32-byte header + grid data\n"
     "+ dense per-chunk mags/phases/norms)."},
    {"load", as_cfunction(index_load), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\n"
     "Load an index from a file. Returns a fresh `SpectralIndex`\n"
     "reconstructed from the on-disk bytes; the encoder metadata\n"
     "(dim, top_k, bit widths, grids) is read from the file\n"
     "header and used to recreate the encoder internally."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("SpectralIndex(encoder)\n--\n\n")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_methods, index_methods},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_mp_length, reinterpret_cast<void*>(index_length)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<SpectralIndex>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec index_spec = {
    "korvane.SpectralIndex",
    static_cast<int>(sizeof(IndexObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    index_slots,
};

}  // namespace korvane::py
