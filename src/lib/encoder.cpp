// SpectralEncoder: configuration, encoding, grid replacement, calibration.
#include "lib/arrays.hpp"
#include "lib/objects.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace korvane::py {

namespace {

SpectralEncoder& value_of(PyObject* self) { return as_object<SpectralEncoder>(self)->value; }
BorrowFlag& flag_of(PyObject* self) { return as_object<SpectralEncoder>(self)->borrow_flag; }

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralEncoder", "__new__",
                                   {"dim", "top_k", "mag_bits", "phase_bits", "norm_bits"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, kwargs, a)) return nullptr;
        auto dim = arg<0>(sig, a, to_size);
        if (!dim) return nullptr;
        auto top_k = arg<1>(sig, a, to_size);
        if (!top_k) return nullptr;
        auto mag_bits = arg<2>(sig, a, to_u8);
        if (!mag_bits) return nullptr;
        auto phase_bits = arg<3>(sig, a, to_u8);
        if (!phase_bits) return nullptr;
        auto norm_bits = arg<4>(sig, a, to_u8);
        if (!norm_bits) return nullptr;
        auto encoder = build_encoder(*dim, *top_k, *mag_bits, *phase_bits, *norm_bits);
        if (!succeeded(encoder)) return nullptr;
        return wrap_value(type, std::move(*encoder));
    });
}

PyObject* encoder_calibrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralEncoder", "calibrate", {"sample"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::exclusive(flag_of(self));
        if (!borrow) return nullptr;
        auto sample = to_f32_values(std::get<0>(a));
        if (!sample) return nullptr;
        if (!succeeded(calibrate(value_of(self), *sample))) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralEncoder", "encode", {"e"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::shared(flag_of(self));
        if (!borrow) return nullptr;
        auto x = to_f32_values(std::get<0>(a));
        if (!x) return nullptr;
        auto codes = encode_one(value_of(self), *x);
        if (!succeeded(codes)) return nullptr;
        return wrap_codes(std::move(*codes), codes_type_object());
    });
}

PyObject* encoder_encode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralEncoder", "encode_batch", {"embeddings"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::shared(flag_of(self));
        if (!borrow) return nullptr;
        const SpectralEncoder& encoder = value_of(self);
        auto rows = BatchRows::of(std::get<0>(a), encoder.dim());
        if (!rows) return nullptr;
        // A zero-stride array may claim more rows than any vector holds.
        if (rows->source().rows() > std::vector<SpectralCodes>().max_size()) {
            PyErr_NoMemory();
            return nullptr;
        }
        auto codes = encode_rows(encoder, rows->source());
        if (!succeeded(codes)) return nullptr;
        PyTypeObject* type = codes_type_object();
        if (type == nullptr) return nullptr;
        return build_list(codes->size(), [&](std::size_t i) { return wrap_codes(std::move((*codes)[i]), type); });
    });
}

PyObject* encoder_bytes_per_chunk(PyObject* self, PyObject*) {
    return read_shared<SpectralEncoder>(
        self, [](const SpectralEncoder& e) { return PyLong_FromUnsignedLongLong(bytes_per_chunk(e)); });
}

PyObject* encoder_set_grids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{
            "SpectralEncoder",
            "set_grids",
            {"mag_lo", "mag_hi", "mag_grid", "phase_grid", "norm_lo", "norm_hi", "norm_grid"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto borrow = Borrow::exclusive(flag_of(self));
        if (!borrow) return nullptr;
        auto mag_lo = arg<0>(sig, a, to_f32);
        if (!mag_lo) return nullptr;
        auto mag_hi = arg<1>(sig, a, to_f32);
        if (!mag_hi) return nullptr;
        auto mag_grid = arg<2>(sig, a, to_f32_vec);
        if (!mag_grid) return nullptr;
        auto phase_grid = arg<3>(sig, a, to_f32_vec);
        if (!phase_grid) return nullptr;
        auto norm_lo = arg<4>(sig, a, to_f32);
        if (!norm_lo) return nullptr;
        auto norm_hi = arg<5>(sig, a, to_f32);
        if (!norm_hi) return nullptr;
        auto norm_grid = arg<6>(sig, a, to_f32_vec);
        if (!norm_grid) return nullptr;
        // All seven converted: only now does anything change.
        replace_grids(value_of(self), *mag_lo, *mag_hi, std::move(*mag_grid), std::move(*phase_grid), *norm_lo,
                      *norm_hi, std::move(*norm_grid));
        Py_RETURN_NONE;
    });
}

PyObject* get_dim(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) { return PyLong_FromUnsignedLongLong(e.dim()); });
}
PyObject* get_top_k(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) { return PyLong_FromUnsignedLongLong(e.top_k()); });
}
PyObject* get_f(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) { return PyLong_FromUnsignedLongLong(e.f()); });
}
PyObject* get_mag_lo(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) { return PyFloat_FromDouble(e.mag_lo()); });
}
PyObject* get_mag_hi(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) { return PyFloat_FromDouble(e.mag_hi()); });
}
PyObject* get_mag_grid(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) {
        return new_array(std::vector<float>(e.mag_grid().begin(), e.mag_grid().end()));
    });
}
PyObject* get_phase_grid(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) {
        return new_array(std::vector<float>(e.phase_grid().begin(), e.phase_grid().end()));
    });
}
PyObject* get_norm_grid(PyObject* self, void*) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) {
        return new_array(std::vector<float>(e.norm_grid().begin(), e.norm_grid().end()));
    });
}

PyObject* encoder_repr(PyObject* self) {
    return read_shared<SpectralEncoder>(self, [](const SpectralEncoder& e) {
        return PyUnicode_FromFormat("SpectralEncoder(dim=%llu, top_k=%llu, mag_bits=%u, phase_bits=%u, norm_bits=%u)",
                                    static_cast<unsigned long long>(e.dim()), static_cast<unsigned long long>(e.top_k()),
                                    unsigned{e.mag_bits()}, unsigned{e.phase_bits()}, unsigned{e.norm_bits()});
    });
}

PyMethodDef encoder_methods[] = {
    {"calibrate", as_cfunction(encoder_calibrate), METH_FASTCALL | METH_KEYWORDS, "calibrate($self, sample)\n--\n\n"},
    {"encode", as_cfunction(encoder_encode), METH_FASTCALL | METH_KEYWORDS, "encode($self, e)\n--\n\n"},
    {"encode_batch", as_cfunction(encoder_encode_batch), METH_FASTCALL | METH_KEYWORDS,
     "encode_batch($self, embeddings)\n--\n\n"},
    {"bytes_per_chunk", as_cfunction(encoder_bytes_per_chunk), METH_NOARGS, "bytes_per_chunk($self)\n--\n\n"},
    {"set_grids", as_cfunction(encoder_set_grids), METH_FASTCALL | METH_KEYWORDS,
     "set_grids($self, mag_lo, mag_hi, mag_grid, phase_grid, norm_lo, norm_hi, norm_grid)\n--\n\n"
     "Override the quantisation grids and the recorded grid ends.\n"
     "Parity checks use this to make the encoder quantise with grids byte-identical\n"
     "to those of an encoder written in Python. Not meant for production use."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef encoder_getset[] = {
    {"dim", get_dim, nullptr, nullptr, nullptr},
    {"top_k", get_top_k, nullptr, nullptr, nullptr},
    {"f", get_f, nullptr, nullptr, nullptr},
    {"mag_lo", get_mag_lo, nullptr, nullptr, nullptr},
    {"mag_hi", get_mag_hi, nullptr, nullptr, nullptr},
    {"mag_grid", get_mag_grid, nullptr, nullptr, nullptr},
    {"phase_grid", get_phase_grid, nullptr, nullptr, nullptr},
    {"norm_grid", get_norm_grid, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("SpectralEncoder(dim, top_k, mag_bits, phase_bits, norm_bits)\n--\n\n")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_repr, reinterpret_cast<void*>(encoder_repr)},
    {Py_tp_methods, encoder_methods},
    {Py_tp_getset, encoder_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<SpectralEncoder>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec encoder_spec = {
    "korvane.SpectralEncoder",
    static_cast<int>(sizeof(EncoderObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    encoder_slots,
};

}  // namespace korvane::py
