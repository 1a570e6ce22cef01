// spectral_energy_retention(embeddings, dim, top_k_list): the module function.
#include "lib/objects.hpp"

#include <array>

#include "codec/retention.hpp"

namespace korvane::py {

namespace {

PyObject* retention_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{nullptr, "spectral_energy_retention", {"embeddings", "dim", "top_k_list"}};
        std::array<PyObject*, 3> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto dim = noted("dim", [&] { return to_size(a[1]); });
        if (!dim) return nullptr;
        auto ks = noted("top_k_list", [&] { return to_size_vec(a[2]); });
        if (!ks) return nullptr;
        auto flat = flatten_rows(a[0]);
        if (!flat) return nullptr;
        auto pairs = spectral_energy_retention(*flat, *dim, *ks);
        if (!succeeded(pairs)) return nullptr;
        return build_list(pairs->size(), [&](std::size_t i) {
            const auto& [k, ratio] = (*pairs)[i];
            return Py_BuildValue("(Kd)", static_cast<unsigned long long>(k), static_cast<double>(ratio));
        });
    });
}

}  // namespace

PyMethodDef retention_def = {
    "spectral_energy_retention",
    as_cfunction(retention_entry),
    METH_FASTCALL | METH_KEYWORDS,
    "spectral_energy_retention(embeddings, dim, top_k_list)\n--\n\n",
};

}  // namespace korvane::py
