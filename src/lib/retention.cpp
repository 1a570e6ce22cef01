// spectral_energy_retention(embeddings, dim, top_k_list): the module function.
#include "lib/objects.hpp"

#include <array>

#include "codec/retention.hpp"

namespace korvane::py {

namespace {

PyObject* retention_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{nullptr, "spectral_energy_retention", {"embeddings", "dim", "top_k_list"}};
        Args<sig.params.size()> a;
        if (!match_args(sig, args, nargs, kwnames, a)) return nullptr;
        auto dim = arg<1>(sig, a, to_size);
        if (!dim) return nullptr;
        auto ks = arg<2>(sig, a, to_size_vec);
        if (!ks) return nullptr;
        auto flat = flatten_rows(std::get<0>(a));
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
