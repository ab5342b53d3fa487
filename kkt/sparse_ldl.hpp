// A sparse LDLᵀ factorisation for symmetric quasi-definite matrices (the KKT systems of an
// interior-point method): symbolic analysis once for a fixed pattern and a fill-reducing
// order chosen by the caller, then numeric refactorisations in place and solves.
//
// The numeric factorisation is left-looking over relaxed supernodes: each supernode's panel
// (its columns and the rows below them, dense) receives its columns of the matrix and the
// updates of the descendants with rows in its columns (each a matrix product of the BLAS),
// then has its pivots eliminated by recursive halves (the later half updated by a matrix
// product too). Quasi-definite matrices have an LDLᵀ for every symmetric order, so pivots
// are taken in order without exchanges. A pivot that is zero, or of the sign opposite to
// the one the caller expects of its row and of magnitude at most `tiny`, becomes that sign
// times tiny (static pivoting); small pivots of the expected sign are kept as they are
// (an interior-point method's H⁻¹ has entries s/z that legitimately tend to 0, which a
// perturbation would swamp). The count of positive pivots gives the inertia: a larger
// pivot of the wrong sign shows there.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace velkora::torv::cones::kkt {

using i64 = std::int64_t;

class SparseLdl {
  public:
    // The pattern: the upper triangle of an n × n symmetric matrix by rows (row i holds
    // columns j >= i, duplicates summed), `order[k]` the row eliminated k-th (a
    // permutation), `signs[i]` the sign expected of row i's pivot (> 0 positive, else
    // negative). Refuses inconsistent arguments with std::runtime_error.
    SparseLdl(i64 n, const i64* indptr, const i64* indices, i64 nnz, const i64* order, const double* signs);

    // Numeric factorisation of `values` (one per stored entry of the pattern). False when a
    // pivot is not finite (the factor is then unusable until the next success).
    bool factor(const double* values, double tiny);

    // x = A⁻¹ b from the last successful factorisation (b and x distinct, n entries each).
    void solve(const double* b, double* x);

    i64 size() const { return n_; }
    i64 entries() const { return nnz_; }
    i64 supernodes() const { return static_cast<i64>(first_.size()) - 1; }
    i64 factor_entries() const { return factor_entries_; }  // stored entries of L, diagonal included
    double factor_flops() const { return factor_flops_; }   // predicted multiply-adds of a factorisation
    i64 positive_pivots() const { return positive_; }       // of the last factorisation
    i64 perturbed_pivots() const { return perturbed_; }     // of the last factorisation
    bool factored() const { return factored_; }

    // The serialisation of numeric calls on one object (factor and solve write its buffers).
    std::mutex& lock() { return lock_; }

  private:
    void eliminate(double* F, i64 ld, i64 nrows, i64 c0, i64 c1, i64 first);
    void gather_updates(i64 t);

    i64 n_ = 0, nnz_ = 0;
    std::vector<i64> order_;          // order_[k]: original row of pivot k
    std::vector<double> sign_;        // expected sign by pivot
    // Supernodes (columns first_[s] .. first_[s+1]-1 of the permuted matrix).
    std::vector<i64> first_;
    std::vector<i64> row_ptr_, rows_;  // each supernode's rows (its columns, then the rows below)
    std::vector<i64> col_sn_;          // the supernode of each permuted column
    std::vector<i64> panel_;           // offset of each supernode's panel (rows × columns) in lx_
    // Assembly: the entries of supernode s are assembled from assembly_ptr_[s] to
    // assembly_ptr_[s+1]: value assembly_entry_[t] added at front position assembly_pos_[t].
    std::vector<i64> assembly_ptr_, assembly_entry_, assembly_pos_;
    std::vector<double> lx_, d_;  // the panels of L (unit diagonal blocks) and D
    std::vector<double> work_, piece_;  // D-scaled columns; one piece of an update
    std::vector<i64> position_;         // rows as positions in the supernode being updated
    // Descendants waiting to update a supernode: a list per supernode (head_, link_), each
    // descendant's first row not yet used for an update (next_, within its rows).
    std::vector<i64> head_, link_, next_;
    i64 factor_entries_ = 0;
    double factor_flops_ = 0.0;
    double tiny_ = 0.0;
    i64 positive_ = 0, perturbed_ = 0;
    bool factored_ = false;
    std::mutex lock_;
};

}  // namespace velkora::torv::cones::kkt
