// Symbolic analysis (elimination tree, postorder, column counts, relaxed supernodes, their
// row sets and assembly maps) and the left-looking numeric LDLᵀ with its solves.
#include "kkt/sparse_ldl.hpp"

#include <math.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#if defined(VELKORA_HOST_LAPACK)
#include <cblas.h>
#endif

namespace velkora::torv::cones::kkt {

namespace {

// Columns of a panel eliminated one by one (more are split in halves, see eliminate).
constexpr i64 kBase = 16;
// Products of fewer multiply-adds than this run in plain loops (a library call costs more
// than the work).
constexpr double kLoopUpdate = 4096.0;
// Column width of the pieces of an update (each piece one matrix product over the rows from
// its first column down: the lower trapezoid, with little of the upper part).
constexpr i64 kUpdatePiece = 256;

// C[rows × cols] -= A[rows × k] · B[cols × k]ᵀ (C = −A Bᵀ with `overwrite`), column-major
// with leading dimensions.
void subtract_product(i64 rows, i64 cols, i64 k, const double* A, i64 lda, const double* B, i64 ldb, double* C,
                      i64 ldc, bool overwrite = false) {
#if defined(VELKORA_HOST_LAPACK)
    if (static_cast<double>(rows) * static_cast<double>(cols) * static_cast<double>(k) >= kLoopUpdate) {
        scipy_cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows), static_cast<int>(cols),
                          static_cast<int>(k), -1.0, A, static_cast<int>(lda), B, static_cast<int>(ldb),
                          overwrite ? 0.0 : 1.0, C, static_cast<int>(ldc));
        return;
    }
#endif
    if (overwrite)
        for (i64 j = 0; j < cols; ++j) std::fill(C + j * ldc, C + j * ldc + rows, 0.0);
    for (i64 j = 0; j < cols; ++j) {
        double* c = C + j * ldc;
        for (i64 p = 0; p < k; ++p) {
            const double b = B[j + p * ldb];
            if (b == 0.0) continue;
            const double* a = A + p * lda;
            for (i64 i = 0; i < rows; ++i) c[i] -= a[i] * b;
        }
    }
}

// The products of a panel's rows below its diagonal block (rows × cols, leading dimension
// ld) in the solves: out = L21 v (rows entries), or with `transposed` out −= L21ᵀ v (cols
// entries).
void multiply_below(const double* L21, i64 ld, i64 rows, i64 cols, const double* v, double* out, bool transposed) {
#if defined(VELKORA_HOST_LAPACK)
    if (static_cast<double>(rows) * static_cast<double>(cols) >= kLoopUpdate) {
        scipy_cblas_dgemv(CblasColMajor, transposed ? CblasTrans : CblasNoTrans, static_cast<int>(rows),
                          static_cast<int>(cols), transposed ? -1.0 : 1.0, L21, static_cast<int>(ld), v, 1,
                          transposed ? 1.0 : 0.0, out, 1);
        return;
    }
#endif
    if (transposed) {
        for (i64 j = 0; j < cols; ++j) {
            const double* l = L21 + j * ld;
            double sum = 0.0;
            for (i64 i = 0; i < rows; ++i) sum += l[i] * v[i];
            out[j] -= sum;
        }
        return;
    }
    std::fill(out, out + rows, 0.0);
    for (i64 j = 0; j < cols; ++j) {
        const double* l = L21 + j * ld;
        const double vj = v[j];
        for (i64 i = 0; i < rows; ++i) out[i] += l[i] * vj;
    }
}

[[noreturn]] void refuse(const std::string& message) { throw std::runtime_error(message); }

// Children lists of a forest given by parent pointers (-1 for roots), children in
// increasing order.
void children_of(const std::vector<i64>& parent, std::vector<i64>& ptr, std::vector<i64>& list) {
    const i64 n = static_cast<i64>(parent.size());
    ptr.assign(n + 1, 0);
    for (i64 j = 0; j < n; ++j)
        if (parent[j] >= 0) ++ptr[parent[j] + 1];
    for (i64 j = 0; j < n; ++j) ptr[j + 1] += ptr[j];
    list.assign(ptr[n], 0);
    std::vector<i64> next(ptr.begin(), ptr.end() - 1);
    for (i64 j = 0; j < n; ++j)
        if (parent[j] >= 0) list[next[parent[j]]++] = j;
}

// The permuted pattern: for pivot order `order` (inverse `inv`), the lower triangle by
// columns (column c: rows r >= c with the stored entry they come from) and the strict
// upper triangle by columns (column r: rows c < r), and the elimination tree.
struct Pattern {
    std::vector<i64> lower_ptr, lower_row, lower_entry;
    std::vector<i64> upper_ptr, upper_row;
    std::vector<i64> parent;
};

Pattern permuted_pattern(i64 n, const i64* indptr, const i64* indices, const std::vector<i64>& inv) {
    Pattern p;
    const i64 nnz = indptr[n];
    p.lower_ptr.assign(n + 1, 0);
    p.upper_ptr.assign(n + 1, 0);
    for (i64 i = 0; i < n; ++i)
        for (i64 e = indptr[i]; e < indptr[i + 1]; ++e) {
            const i64 a = inv[i], b = inv[indices[e]];
            ++p.lower_ptr[std::min(a, b) + 1];
            if (a != b) ++p.upper_ptr[std::max(a, b) + 1];
        }
    for (i64 j = 0; j < n; ++j) {
        p.lower_ptr[j + 1] += p.lower_ptr[j];
        p.upper_ptr[j + 1] += p.upper_ptr[j];
    }
    p.lower_row.assign(nnz, 0);
    p.lower_entry.assign(nnz, 0);
    p.upper_row.assign(p.upper_ptr[n], 0);
    std::vector<i64> lower_next(p.lower_ptr.begin(), p.lower_ptr.end() - 1);
    std::vector<i64> upper_next(p.upper_ptr.begin(), p.upper_ptr.end() - 1);
    for (i64 i = 0; i < n; ++i)
        for (i64 e = indptr[i]; e < indptr[i + 1]; ++e) {
            const i64 a = inv[i], b = inv[indices[e]];
            const i64 c = std::min(a, b), r = std::max(a, b);
            p.lower_row[lower_next[c]] = r;
            p.lower_entry[lower_next[c]++] = e;
            if (a != b) p.upper_row[upper_next[r]++] = c;
        }
    // Elimination tree (path compression through `ancestor`).
    p.parent.assign(n, -1);
    std::vector<i64> ancestor(n, -1);
    for (i64 k = 0; k < n; ++k)
        for (i64 t = p.upper_ptr[k]; t < p.upper_ptr[k + 1]; ++t) {
            i64 i = p.upper_row[t];
            while (i != -1 && i < k) {
                const i64 next = ancestor[i];
                ancestor[i] = k;
                if (next == -1) p.parent[i] = k;
                i = next;
            }
        }
    return p;
}

// Relaxed amalgamation: a supernode merges into its parent when it ends just before the
// parent's first column and the merged panel stays small or nearly full.
bool worth_merging(i64 columns, double zeros, double stored) {
    const double fraction = stored > 0.0 ? zeros / stored : 0.0;
    return columns <= 4 || (columns <= 16 && fraction < 0.8) || (columns <= 48 && fraction < 0.1) || fraction < 0.05;
}

double trapezoid(i64 columns, i64 rows) {
    return static_cast<double>(columns) * static_cast<double>(rows) -
           0.5 * static_cast<double>(columns) * static_cast<double>(columns - 1);
}

}  // namespace

SparseLdl::SparseLdl(i64 n, const i64* indptr, const i64* indices, i64 nnz, const i64* order, const double* signs)
    : n_(n), nnz_(nnz) {
    if (n < 0) refuse("the matrix order must be nonnegative");
    if (n > std::numeric_limits<int>::max()) refuse("the matrix order must be below 2^31");
    if (indptr[0] != 0 || indptr[n] != nnz) refuse("indptr must start at 0 and end at the number of indices");
    for (i64 i = 0; i < n; ++i) {
        if (indptr[i + 1] < indptr[i]) refuse("indptr must be nondecreasing");
        for (i64 e = indptr[i]; e < indptr[i + 1]; ++e)
            if (indices[e] < i || indices[e] >= n)
                refuse("indices must hold the upper triangle: row " + std::to_string(i) + " has column " +
                       std::to_string(indices[e]));
    }
    std::vector<i64> inv(n, -1);
    for (i64 k = 0; k < n; ++k) {
        if (order[k] < 0 || order[k] >= n || inv[order[k]] != -1) refuse("order must be a permutation of the rows");
        inv[order[k]] = k;
    }
    // The elimination tree of the given order, then the same order postordered (the
    // descendants of a column come right before it, so supernodes are column ranges).
    Pattern pat = permuted_pattern(n, indptr, indices, inv);
    {
        std::vector<i64> cptr, clist;
        children_of(pat.parent, cptr, clist);
        std::vector<i64> post;
        post.reserve(n);
        std::vector<i64> stack, next(n);
        for (i64 root = 0; root < n; ++root) {
            if (pat.parent[root] != -1) continue;
            stack.push_back(root);
            next[root] = cptr[root];
            while (!stack.empty()) {
                const i64 j = stack.back();
                if (next[j] < cptr[j + 1]) {
                    const i64 c = clist[next[j]++];
                    next[c] = cptr[c];
                    stack.push_back(c);
                } else {
                    post.push_back(j);
                    stack.pop_back();
                }
            }
        }
        order_.resize(n);
        for (i64 k = 0; k < n; ++k) order_[k] = order[post[k]];
        for (i64 k = 0; k < n; ++k) inv[order_[k]] = k;
        pat = permuted_pattern(n, indptr, indices, inv);
    }
    sign_.resize(n);
    for (i64 k = 0; k < n; ++k) sign_[k] = signs[order_[k]] > 0.0 ? 1.0 : -1.0;
    const std::vector<i64>& parent = pat.parent;

    // Column counts of L (diagonal included) from the row subtrees.
    std::vector<i64> count(n, 1), mark(n, -1);
    for (i64 k = 0; k < n; ++k) {
        mark[k] = k;
        for (i64 t = pat.upper_ptr[k]; t < pat.upper_ptr[k + 1]; ++t)
            for (i64 i = pat.upper_row[t]; mark[i] != k; i = parent[i]) {
                ++count[i];
                mark[i] = k;
            }
    }
    std::vector<i64> child_count(n, 0);
    for (i64 j = 0; j < n; ++j)
        if (parent[j] >= 0) ++child_count[parent[j]];

    // Fundamental supernodes, then relaxed amalgamation (children before parents).
    std::vector<i64> sfirst, slast, sbelow;
    std::vector<double> szeros;
    std::vector<i64> col_sn(n);
    for (i64 j = 0; j < n; ++j) {
        const bool extends = j > 0 && parent[j - 1] == j && count[j - 1] == count[j] + 1 && child_count[j] == 1;
        if (!extends) {
            sfirst.push_back(j);
            slast.push_back(j);
            sbelow.push_back(count[j] - 1);
            szeros.push_back(0.0);
        } else {
            slast.back() = j;
            sbelow.back() = count[j] - 1;
        }
        col_sn[j] = static_cast<i64>(sfirst.size()) - 1;
    }
    // Consecutive siblings with as many rows below (the leaves of a dense block, typically
    // with the very same rows) join one supernode: their updates then go to the parent as
    // one product of their combined rank instead of one thin product each.
    {
        std::vector<i64> gfirst, glast, gbelow;
        std::vector<double> gzeros;
        i64 group_parent = -2;
        for (i64 s = 0; s < static_cast<i64>(sfirst.size()); ++s) {
            const i64 pc = parent[slast[s]];
            const i64 ps = pc < 0 ? -1 : col_sn[pc];
            if (!gfirst.empty() && ps >= 0 && ps == group_parent && sbelow[s] == gbelow.back()) {
                const i64 cg = glast.back() - gfirst.back() + 1, cs = slast[s] - sfirst[s] + 1;
                const double stored = trapezoid(cg + cs, cg + cs + sbelow[s]);
                const double zeros = stored - trapezoid(cg, cg + gbelow.back()) - trapezoid(cs, cs + sbelow[s]) +
                                     gzeros.back() + szeros[s];
                if (worth_merging(cg + cs, zeros, stored)) {
                    glast.back() = slast[s];
                    gzeros.back() = zeros;
                    continue;
                }
            }
            gfirst.push_back(sfirst[s]);
            glast.push_back(slast[s]);
            gbelow.push_back(sbelow[s]);
            gzeros.push_back(szeros[s]);
            group_parent = ps;
        }
        sfirst.swap(gfirst);
        slast.swap(glast);
        sbelow.swap(gbelow);
        szeros.swap(gzeros);
        for (i64 s = 0; s < static_cast<i64>(sfirst.size()); ++s)
            for (i64 j = sfirst[s]; j <= slast[s]; ++j) col_sn[j] = s;
    }
    const i64 fundamental = static_cast<i64>(sfirst.size());
    std::vector<i64> merged_into(fundamental, -1);
    for (i64 s = 0; s < fundamental; ++s) {
        const i64 pc = parent[slast[s]];
        if (pc < 0) continue;
        const i64 P = col_sn[pc];
        if (slast[s] + 1 != sfirst[P]) continue;
        const i64 cs = slast[s] - sfirst[s] + 1, cp = slast[P] - sfirst[P] + 1;
        const double stored_s = trapezoid(cs, cs + sbelow[s]), stored_p = trapezoid(cp, cp + sbelow[P]);
        const double stored = trapezoid(cs + cp, cs + cp + sbelow[P]);
        const double zeros = stored - stored_s - stored_p + szeros[s] + szeros[P];
        if (!worth_merging(cs + cp, zeros, stored)) continue;
        sfirst[P] = sfirst[s];
        szeros[P] = zeros;
        merged_into[s] = P;
    }
    first_.clear();
    for (i64 s = 0; s < fundamental; ++s)
        if (merged_into[s] == -1) first_.push_back(sfirst[s]);
    const i64 ns = static_cast<i64>(first_.size());
    first_.push_back(n);
    for (i64 s = 0; s < ns; ++s)
        for (i64 j = first_[s]; j < first_[s + 1]; ++j) col_sn[j] = s;
    std::vector<i64> sn_parent(ns, -1), child_ptr, children;
    for (i64 s = 0; s < ns; ++s) {
        const i64 pc = parent[first_[s + 1] - 1];
        sn_parent[s] = pc < 0 ? -1 : col_sn[pc];
    }
    children_of(sn_parent, child_ptr, children);

    // Row sets: the supernode's columns, then the rows below them of its columns' entries
    // and of its children's row sets (sorted), and where each entry of the matrix lands in
    // its supernode's panel.
    row_ptr_.assign(ns + 1, 0);
    rows_.clear();
    std::vector<i64> position(n, -1);
    std::fill(mark.begin(), mark.end(), -1);
    assembly_ptr_.assign(ns + 1, 0);
    assembly_entry_.assign(nnz, 0);
    assembly_pos_.assign(nnz, 0);
    for (i64 s = 0; s < ns; ++s) {
        const i64 f = first_[s], l = first_[s + 1];
        const i64 start = static_cast<i64>(rows_.size());
        for (i64 j = f; j < l; ++j) {
            rows_.push_back(j);
            mark[j] = s;
        }
        const i64 below_start = static_cast<i64>(rows_.size());
        for (i64 j = f; j < l; ++j)
            for (i64 t = pat.lower_ptr[j]; t < pat.lower_ptr[j + 1]; ++t) {
                const i64 r = pat.lower_row[t];
                if (mark[r] != s) {
                    mark[r] = s;
                    rows_.push_back(r);
                }
            }
        for (i64 c = child_ptr[s]; c < child_ptr[s + 1]; ++c) {
            const i64 C = children[c];
            for (i64 t = row_ptr_[C] + (first_[C + 1] - first_[C]); t < row_ptr_[C + 1]; ++t) {
                const i64 r = rows_[t];
                if (mark[r] != s) {
                    mark[r] = s;
                    rows_.push_back(r);
                }
            }
        }
        std::sort(rows_.begin() + below_start, rows_.end());
        row_ptr_[s + 1] = static_cast<i64>(rows_.size());
        const i64 nrows = row_ptr_[s + 1] - start;
        if (nrows > std::numeric_limits<int>::max() / 2) refuse("a supernode of the factorisation is too large");
        for (i64 t = start; t < row_ptr_[s + 1]; ++t) position[rows_[t]] = t - start;
        // The matrix entries of the supernode's columns: lower_ptr[f] .. lower_ptr[l].
        assembly_ptr_[s + 1] = pat.lower_ptr[l];
        for (i64 j = f; j < l; ++j)
            for (i64 t = pat.lower_ptr[j]; t < pat.lower_ptr[j + 1]; ++t) {
                assembly_entry_[t] = pat.lower_entry[t];
                assembly_pos_[t] = (j - f) * nrows + position[pat.lower_row[t]];
            }
    }
    // Panels, the work buffers, sizes and predicted work.
    panel_.assign(ns + 1, 0);
    i64 max_work = n, max_piece = 0;
    factor_entries_ = 0;
    factor_flops_ = 0.0;
    for (i64 s = 0; s < ns; ++s) {
        const i64 nrows = row_ptr_[s + 1] - row_ptr_[s], ncols = first_[s + 1] - first_[s];
        const i64 below = nrows - ncols;
        panel_[s + 1] = panel_[s] + nrows * ncols;
        max_work = std::max(max_work, kUpdatePiece * ncols);
        max_piece = std::max(max_piece, below * std::max<i64>(1, std::min(below, kUpdatePiece)));
        factor_entries_ += static_cast<i64>(trapezoid(ncols, nrows));
        for (i64 j = 0; j < ncols; ++j) {
            const double below_j = static_cast<double>(nrows - j - 1);
            factor_flops_ += 0.5 * below_j * (below_j + 1.0);
        }
    }
    lx_.assign(panel_[ns], 0.0);
    d_.assign(n, 0.0);
    work_.assign(max_work, 0.0);
    piece_.assign(max_piece, 0.0);
    position_.assign(n, 0);
    head_.assign(ns, -1);
    link_.assign(ns, -1);
    next_.assign(ns, 0);
    col_sn_.swap(col_sn);
}

// LDLᵀ of columns c0 .. c1 of one supernode's panel (nrows × ncols, column-major, leading
// dimension ld: its diagonal block's lower triangle and the rows below), every update from
// earlier columns already added. Recursive halves: the first half eliminated, the second
// half updated by matrix products of the BLAS (rank up to half the columns), then
// eliminated; a few columns one by one. Columns of L are divided by their pivot. The
// pivots belong to permuted columns first + c0, ...
void SparseLdl::eliminate(double* F, i64 ld, i64 nrows, i64 c0, i64 c1, i64 first) {
    if (c1 - c0 <= kBase) {
        for (i64 j = c0; j < c1; ++j) {
            double* col = F + j * ld;
            double d = col[j];
            if (fabs(d) <= tiny_ && d * sign_[first + j] <= 0.0) {
                d = sign_[first + j] * tiny_;
                ++perturbed_;
            }
            if (!(fabs(d) <= std::numeric_limits<double>::max()) || d == 0.0) {
                factored_ = false;
                return;
            }
            d_[first + j] = d;
            if (d > 0.0) ++positive_;
            const double inv = 1.0 / d;
            for (i64 c = j + 1; c < c1; ++c) {
                const double t = col[c];  // the entry before division: l_c d
                if (t == 0.0) continue;
                double* target = F + c * ld;
                const double tl = t * inv;
                for (i64 i = c; i < nrows; ++i) target[i] -= col[i] * tl;
            }
            for (i64 i = j + 1; i < nrows; ++i) col[i] *= inv;
        }
        return;
    }
    const i64 mid = c0 + (c1 - c0) / 2, k = mid - c0;
    eliminate(F, ld, nrows, c0, mid, first);
    if (!factored_) return;
    // Columns mid .. c1, rows from their diagonal: F -= L[:, c0:mid] D L[mid:c1, c0:mid]ᵀ, in
    // pieces of columns (W: the piece's rows of L scaled by D).
    double* W = work_.data();
    for (i64 p0 = mid; p0 < c1; p0 += kUpdatePiece) {
        const i64 cb = std::min(kUpdatePiece, c1 - p0);
        for (i64 p = 0; p < k; ++p) {
            const double d = d_[first + c0 + p];
            const double* l = F + (c0 + p) * ld + p0;
            double* w = W + p * cb;
            for (i64 i = 0; i < cb; ++i) w[i] = l[i] * d;
        }
        subtract_product(nrows - p0, cb, k, F + c0 * ld + p0, ld, W, cb, F + p0 * ld + p0, ld);
    }
    eliminate(F, ld, nrows, mid, c1, first);
}

// Adds to supernode t's panel the updates of every descendant with rows in t's columns
// (left-looking): descendant k, whose rows from next_[k] on start inside t's columns,
// contributes −L_k[rows from there] D_k L_k[rows inside t's columns]ᵀ, formed in column
// pieces by a matrix product and added at the rows' positions in t (position_, filled for
// t). Each descendant then waits for the supernode of its next row beyond t's columns.
void SparseLdl::gather_updates(i64 t) {
    const i64 tf = first_[t], tl = first_[t + 1], tn = row_ptr_[t + 1] - row_ptr_[t];
    const i64* trows = rows_.data() + row_ptr_[t];
    double* tpanel = lx_.data() + panel_[t];
    i64* at = position_.data();
    for (i64 r = 0; r < tn; ++r) at[trows[r]] = r;
    double* W = work_.data();
    double* G = piece_.data();
    i64 k = head_[t];
    head_[t] = -1;
    while (k != -1) {
        const i64 following = link_[k];
        const i64 kn = row_ptr_[k + 1] - row_ptr_[k], kc = first_[k + 1] - first_[k];
        const i64* krows = rows_.data() + row_ptr_[k];
        const double* L = lx_.data() + panel_[k];
        const i64 p0 = next_[k];
        i64 q = p0;
        while (q < kn && krows[q] < tl) ++q;
        for (i64 c0 = p0; c0 < q; c0 += kUpdatePiece) {
            const i64 cb = std::min(kUpdatePiece, q - c0), grows = kn - c0;
            // W: rows c0 .. c0 + cb of L_k scaled by D_k (cb × kc, leading dimension cb).
            for (i64 p = 0; p < kc; ++p) {
                const double d = d_[first_[k] + p];
                const double* l = L + p * kn + c0;
                double* w = W + p * cb;
                for (i64 i = 0; i < cb; ++i) w[i] = l[i] * d;
            }
            // Rows that land on consecutive rows of t (then its columns are consecutive too):
            // the product goes straight into t's panel (its diagonal block's upper part,
            // which nothing reads, receives the rest of the rectangle).
            const i64 top = at[krows[c0]];
            if (at[krows[kn - 1]] - top == kn - 1 - c0) {
                subtract_product(grows, cb, kc, L + c0, kn, W, cb, tpanel + (krows[c0] - tf) * tn + top, tn);
                continue;
            }
            subtract_product(grows, cb, kc, L + c0, kn, W, cb, G, grows, true);
            for (i64 b = 0; b < cb; ++b) {
                double* tcol = tpanel + (krows[c0 + b] - tf) * tn;
                const double* g = G + b * grows;
                for (i64 a = b; a < grows; ++a) tcol[at[krows[c0 + a]]] += g[a];
            }
        }
        next_[k] = q;
        if (q < kn) {
            const i64 u = col_sn_[krows[q]];
            link_[k] = head_[u];
            head_[u] = k;
        }
        k = following;
    }
}

bool SparseLdl::factor(const double* values, double tiny) {
    factored_ = true;
    tiny_ = tiny;
    positive_ = 0;
    perturbed_ = 0;
    std::fill(lx_.begin(), lx_.end(), 0.0);
    const i64 ns = supernodes();
    for (i64 s = 0; s < ns; ++s) {
        double* panel = lx_.data() + panel_[s];
        for (i64 t = assembly_ptr_[s]; t < assembly_ptr_[s + 1]; ++t)
            panel[assembly_pos_[t]] += values[assembly_entry_[t]];
    }
    std::fill(head_.begin(), head_.end(), -1);
    for (i64 s = 0; s < ns; ++s) {
        const i64 nrows = row_ptr_[s + 1] - row_ptr_[s], ncols = first_[s + 1] - first_[s];
        gather_updates(s);
        eliminate(lx_.data() + panel_[s], nrows, nrows, 0, ncols, first_[s]);
        if (!factored_) break;
        next_[s] = ncols;
        if (ncols < nrows) {
            const i64 u = col_sn_[rows_[row_ptr_[s] + ncols]];
            link_[s] = head_[u];
            head_[u] = s;
        }
    }
    return factored_;
}

// Solves by supernodes: the diagonal block's triangle in place, the rows below through a
// dense product with L21 (into or from a gathered vector t, a matrix–vector product of the
// BLAS for large panels), so each supernode touches y's scattered rows once per pass.
void SparseLdl::solve(const double* b, double* x) {
    double* y = work_.data();
    double* t = piece_.data();
    const i64 ns = supernodes();
    for (i64 k = 0; k < n_; ++k) y[k] = b[order_[k]];
    for (i64 s = 0; s < ns; ++s) {
        const i64 f = first_[s], nrows = row_ptr_[s + 1] - row_ptr_[s], ncols = first_[s + 1] - f;
        const i64 below = nrows - ncols;
        const double* L = lx_.data() + panel_[s];
        double* yj = y + f;
        for (i64 j = 0; j < ncols; ++j) {
            const double* l = L + j * nrows;
            for (i64 i = j + 1; i < ncols; ++i) yj[i] -= l[i] * yj[j];
        }
        if (below == 0) continue;
        multiply_below(L + ncols, nrows, below, ncols, yj, t, false);
        const i64* rows = rows_.data() + row_ptr_[s] + ncols;
        for (i64 i = 0; i < below; ++i) y[rows[i]] -= t[i];
    }
    for (i64 k = 0; k < n_; ++k) y[k] /= d_[k];
    for (i64 s = ns - 1; s >= 0; --s) {
        const i64 f = first_[s], nrows = row_ptr_[s + 1] - row_ptr_[s], ncols = first_[s + 1] - f;
        const i64 below = nrows - ncols;
        const double* L = lx_.data() + panel_[s];
        double* yj = y + f;
        if (below > 0) {
            const i64* rows = rows_.data() + row_ptr_[s] + ncols;
            for (i64 i = 0; i < below; ++i) t[i] = y[rows[i]];
            multiply_below(L + ncols, nrows, below, ncols, t, yj, true);
        }
        for (i64 j = ncols - 1; j >= 0; --j) {
            const double* l = L + j * nrows;
            double sum = yj[j];
            for (i64 i = j + 1; i < ncols; ++i) sum -= l[i] * yj[i];
            yj[j] = sum;
        }
    }
    for (i64 k = 0; k < n_; ++k) x[order_[k]] = y[k];
}

}  // namespace velkora::torv::cones::kkt
