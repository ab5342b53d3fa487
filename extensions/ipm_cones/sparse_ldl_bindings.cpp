// SparseLdl: the sparse LDLᵀ of a quasi-definite KKT matrix (kkt/sparse_ldl.hpp), host
// arrays only. Arguments go through the module's views; numeric work runs without the
// interpreter lock, one call at a time per object.
#include <nanobind/nanobind.h>

#include <stdexcept>
#include <string>

#include "bindings/views.hpp"
#include "kkt/sparse_ldl.hpp"

namespace velkora::torv::cones::cpp::ipm {

namespace {

using kkt::SparseLdl;

// "<name> must be a CPU vector" for a device array.
template <class View>
const View& host_only(const View& view) {
    if (view.is_cuda()) throw std::runtime_error(std::string(view.name) + " must be a CPU vector");
    return view;
}

}  // namespace

void register_sparse_ldl(nb::module_& m) {
    nb::class_<SparseLdl>(
        m, "SparseLdl",
        "Sparse LDL^T of a symmetric quasi-definite matrix (left-looking over relaxed supernodes, dense kernels "
        "from the BLAS): symbolic analysis once for the pattern and a fill-reducing order, numeric "
        "refactorisations in place, solves. Pivots are taken in order (no exchanges); a pivot that is zero, or "
        "of the wrong sign for its row and of magnitude at most `tiny`, becomes +-tiny with the row's expected "
        "sign. Host arrays only.")
        .def(
            "__init__",
            [](SparseLdl* self, const IndexVector& indptr, const IndexVector& indices, const IndexVector& order,
               const RoVector& signs) {
                const auto ptr = host_only(index_vector_view(indptr, "indptr"));
                if (ptr.size == 0) throw std::runtime_error("indptr must have at least one entry");
                const u64 n = ptr.size - 1;
                const auto idx = host_only(index_vector_view(indices, "indices"));
                const auto ord = host_only(vector_view(order, n, "order"));
                const auto sgn = host_only(vector_view(signs, n, "signs"));
                new (self) SparseLdl(static_cast<kkt::i64>(n), ptr.data, idx.data, static_cast<kkt::i64>(idx.size),
                                     ord.data, sgn.data);
            },
            nb::arg("indptr"), nb::arg("indices"), nb::arg("order"), nb::arg("signs"),
            "Analyse the pattern: the upper triangle of an n x n symmetric matrix by rows (int64 indptr of n + 1 "
            "entries, int64 column indices >= their row; duplicates are summed), order[k] the row eliminated k-th "
            "(a permutation, refined by a postorder of its elimination tree), signs[i] > 0 where row i's pivot is "
            "expected positive.")
        .def(
            "factor",
            [](SparseLdl& self, const RoVector& values, double tiny) {
                const auto v = host_only(vector_view(values, static_cast<u64>(self.entries()), "values"));
                if (!(tiny >= 0.0)) throw std::runtime_error("tiny must be nonnegative");
                nb::gil_scoped_release release;
                std::lock_guard<std::mutex> guard(self.lock());
                return self.factor(v.data, tiny);
            },
            nb::arg("values"), nb::arg("tiny") = 0.0,
            "Numeric factorisation of the values (one per stored entry, in the pattern's order). False when a "
            "pivot is zero or not finite; the object then has no factorisation until the next success.")
        .def(
            "solve_into",
            [](SparseLdl& self, const RoVector& rhs, const RwVector& out) {
                const u64 n = static_cast<u64>(self.size());
                const auto b = host_only(vector_view(rhs, n, "rhs"));
                const auto x = host_only(vector_view(out, n, "out"));
                check_no_overlap(x, b);
                nb::gil_scoped_release release;
                std::lock_guard<std::mutex> guard(self.lock());
                if (!self.factored()) throw std::runtime_error("no factorisation to solve with");
                self.solve(b.data, x.data);
            },
            nb::arg("rhs"), nb::arg("out"), "out = A^-1 rhs from the last successful factorisation.")
        .def_prop_ro("size", &SparseLdl::size, "Order n of the matrix.")
        .def_prop_ro("supernodes", &SparseLdl::supernodes, "Supernodes after relaxed amalgamation.")
        .def_prop_ro("factor_entries", &SparseLdl::factor_entries,
                     "Stored entries of L, diagonal included (explicit zeros of relaxed supernodes counted).")
        .def_prop_ro("factor_flops", &SparseLdl::factor_flops, "Predicted multiply-adds of one factorisation.")
        .def_prop_ro("positive_pivots", &SparseLdl::positive_pivots, "Positive pivots of the last factorisation.")
        .def_prop_ro("perturbed_pivots", &SparseLdl::perturbed_pivots,
                     "Pivots of the last factorisation replaced by +-tiny (zero or wrongly signed).");
}

}  // namespace velkora::torv::cones::cpp::ipm
