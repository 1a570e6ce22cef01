// SpectralCodes: one encoded vector, read-only from Python.
#include "lib/arrays.hpp"
#include "lib/objects.hpp"

#include <array>

namespace korvane::py {

namespace {

PyObject* codes_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"SpectralCodes", "__new__", {"idx", "mag_q", "phase_q", "norm_q"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, kwargs, a)) return nullptr;
        SpectralCodes value;
        auto idx = arg<0>(sig, a, to_u16_vec);
        if (!idx) return nullptr;
        auto mag_q = arg<1>(sig, a, to_u8_vec);
        if (!mag_q) return nullptr;
        auto phase_q = arg<2>(sig, a, to_u8_vec);
        if (!phase_q) return nullptr;
        auto norm_q = arg<3>(sig, a, to_u16);
        if (!norm_q) return nullptr;
        value.idx = std::move(*idx);
        value.mag_q = std::move(*mag_q);
        value.phase_q = std::move(*phase_q);
        value.norm_q = *norm_q;
        return wrap_codes(std::move(value), type);
    });
}

PyObject* get_idx(PyObject* self, void*) {
    return read_shared<SpectralCodes>(self, [](const SpectralCodes& c) { return new_array(std::vector<std::uint16_t>(c.idx)); });
}
PyObject* get_mag_q(PyObject* self, void*) {
    return read_shared<SpectralCodes>(self, [](const SpectralCodes& c) { return new_array(std::vector<std::uint8_t>(c.mag_q)); });
}
PyObject* get_phase_q(PyObject* self, void*) {
    return read_shared<SpectralCodes>(self, [](const SpectralCodes& c) { return new_array(std::vector<std::uint8_t>(c.phase_q)); });
}
PyObject* get_norm_q(PyObject* self, void*) {
    return read_shared<SpectralCodes>(self, [](const SpectralCodes& c) { return PyLong_FromUnsignedLong(c.norm_q); });
}
PyObject* get_k(PyObject* self, void*) {
    return read_shared<SpectralCodes>(self, [](const SpectralCodes& c) { return PyLong_FromSize_t(c.idx.size()); });
}

PyObject* codes_repr(PyObject* self) {
    return read_shared<SpectralCodes>(self, [](const SpectralCodes& c) {
        return PyUnicode_FromFormat("SpectralCodes(k=%zu, norm_q=%u)", c.idx.size(), static_cast<unsigned>(c.norm_q));
    });
}

PyGetSetDef codes_getset[] = {
    {"idx", get_idx, nullptr, nullptr, nullptr},
    {"mag_q", get_mag_q, nullptr, nullptr, nullptr},
    {"phase_q", get_phase_q, nullptr, nullptr, nullptr},
    {"norm_q", get_norm_q, nullptr, nullptr, nullptr},
    {"k", get_k, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot codes_slots[] = {
    {Py_tp_doc, const_cast<char*>("SpectralCodes(idx, mag_q, phase_q, norm_q)\n--\n\n")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(codes_new)},
    {Py_tp_repr, reinterpret_cast<void*>(codes_repr)},
    {Py_tp_getset, codes_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<SpectralCodes>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec codes_spec = {
    "korvane.SpectralCodes",
    static_cast<int>(sizeof(CodesObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    codes_slots,
};

}  // namespace korvane::py
