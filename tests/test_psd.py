"""PSD cone: svec/smat conversions, projection, violation and membership against
references built on numpy.linalg.eigh, the Jacobi decomposition against a plain
full-scan classical Jacobi written here, NT scaling against an eigh-based scaling point
and, near the boundary of the cone, the identities H s = z and H z^-1 = s^-1 against
CVXOPT's compute_scaling, and the device paths (emulated) against the host."""
import functools
import itertools
import math
from pathlib import Path
from typing import NamedTuple

import numpy as np
import pytest

from dlpack_tags import KDL_CUDA, KDL_CUDA_HOST, TaggedArray

SQ2 = 1.4142135623730951
EPS = np.finfo(float).eps
MATRICES_MSG = "PSD NT scaling requires strictly positive definite matrices"
INPUTS_MSG = "PSD NT scaling requires strictly positive definite inputs"
# Orders from which builds with host LAPACK (has_host_blas()) decompose on the host with
# LAPACK: violation and membership, projection, NT scaling point. Below them, and in
# builds without host LAPACK, the Jacobi method and the inline factor path that the device
# kernels share.
LAPACK_VIOLATION_FROM, LAPACK_PROJECTION_FROM, LAPACK_NT_FROM = 5, 8, 11


def uses_lapack(cones, n, first_order):
    return cones.has_host_blas() and n >= first_order


# --- references (NumPy) -----------------------------------------------------------

def m_of(n):
    return n * (n + 1) // 2


@functools.lru_cache(maxsize=None)
def svec_index(n):
    """Rows, columns and svec scale factors of the lower triangle, row by row."""
    i, j = np.tril_indices(n)
    return i, j, np.where(i == j, 1.0, SQ2)


def svec(M):
    """Lower triangle row by row, off-diagonal entries times sqrt(2) (of each matrix of a
    stack)."""
    i, j, scale = svec_index(M.shape[-1])
    return M[..., i, j] * scale


def smat(v, n):
    """The symmetric matrix of svec v (of each vector of a stack)."""
    i, j, scale = svec_index(n)
    e = np.asarray(v, dtype=float) / scale
    M = np.zeros(e.shape[:-1] + (n, n))
    M[..., i, j] = e
    M[..., j, i] = e
    return M


def sym(rng, n, scale=1.0):
    A = rng.standard_normal((n, n))
    return (A + A.T) * (0.5 * scale)


def spd(rng, n, scale=1.0, spread=1.0):
    """Random SPD matrix with eigenvalues in [1, 1 + spread] times scale."""
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    lam = 1.0 + spread * rng.uniform(size=n)
    return (Q * lam) @ Q.T * scale


def ref_project(v, n):
    lam, Q = np.linalg.eigh(smat(v, n))
    return svec((Q * np.maximum(lam, 0.0)) @ Q.T)


def ref_violation(v, n):
    lam = np.linalg.eigvalsh(smat(v, n))
    return float(np.sqrt(np.sum(np.minimum(lam, 0.0) ** 2)))


def spd_power(M, p):
    lam, Q = np.linalg.eigh((M + M.T) / 2)
    return (Q * lam ** p) @ Q.T


def ref_w(s, z, n):
    """W = S^-1/2 (S^1/2 Z S^1/2)^1/2 S^-1/2, the SPD solution of W S W = Z."""
    S, Z = smat(s, n), smat(z, n)
    Sh, Si = spd_power(S, 0.5), spd_power(S, -0.5)
    return Si @ spd_power(Sh @ Z @ Sh, 0.5) @ Si


def ref_operator(W):
    """Matrix of X -> W X W in svec coordinates, column k = svec(W smat(e_k) W)."""
    n = W.shape[0]
    return svec(W @ smat(np.eye(m_of(n)), n) @ W).T


def interior_pair(rng, n, scale_s=1.0, scale_z=1.0, spread=1.0):
    return svec(spd(rng, n, scale_s, spread)), svec(spd(rng, n, scale_z, spread))


# --- plain classical Jacobi with a full scan of the upper triangle ------------------

def unit_scale_exponent(A):
    """e with the largest finite |entry| of 2^-e A in [1, 2) (0 for a zero or infinite one)."""
    finite = np.abs(A[~np.isnan(A)])
    top = finite.max() if finite.size else 0.0
    if not (0.0 < top < np.inf):
        return 0
    return math.frexp(top)[1] - 1


def jacobi_full_scan(A, last_on_ties=False):
    """Classical Jacobi on A brought to unit scale (2^-e A, e = unit_scale_exponent): rotate
    away the first largest |A[i][j]|, i < j, in row-major scan order until it is below
    1e-12, at most 32 n^2 rotations; rows, then columns, then V, exactly as the module
    defines the method (pivot search rescans everything). Returns the unit-scale A, V, e."""
    A = np.array(A, dtype=float)
    e = unit_scale_exponent(A)
    A = np.ldexp(A, -e)
    n = A.shape[0]
    V = np.eye(n)
    if n <= 1:
        return A, V, e
    iu = np.triu_indices(n, 1)  # row-major scan order
    for _ in range(32 * n * n):
        vals = np.abs(A[iu])
        k = int(np.argmax(vals))  # first occurrence of the maximum
        if last_on_ties:
            k = len(vals) - 1 - int(np.argmax(vals[::-1]))
        if vals[k] < 1e-12:
            break
        p, q = int(iu[0][k]), int(iu[1][k])
        theta = math.atan2(2.0 * A[p, q], A[q, q] - A[p, p])
        c, s = math.cos(theta * 0.5), math.sin(theta * 0.5)
        for M, rows in ((A, True), (A, False), (V, False)):
            a = (M[p, :] if rows else M[:, p]).copy()
            b = (M[q, :] if rows else M[:, q]).copy()
            if rows:
                M[p, :], M[q, :] = a * c - b * s, b * c + a * s
            else:
                M[:, p], M[:, q] = a * c - b * s, b * c + a * s
    return A, V, e


def full_scan_project(v, n, last_on_ties=False):
    """The projection built on jacobi_full_scan with the module's accumulation order, at
    unit scale, scaled back at the end."""
    A, V, e = jacobi_full_scan(smat(v, n), last_on_ties)
    R = np.zeros((n, n))
    for a in range(n):
        lam = 0.0 if 0.0 > A[a, a] else A[a, a]
        R += np.outer(lam * V[:, a], V[:, a])
    return svec(np.ldexp(R, e))


def full_scan_violation(v, n):
    A, _, e = jacobi_full_scan(smat(v, n))
    total = 0.0
    for k in range(n):
        if A[k, k] < 0.0:
            total = math.hypot(total, A[k, k])
    return math.ldexp(total, e)


def exact_offdiagonal(x):
    """An svec entry v whose smat entry v / sqrt(2) is exactly x."""
    v = x * SQ2
    for _ in range(16):
        if v / SQ2 == x:
            return v
        v = np.nextafter(v, np.inf if v / SQ2 < x else -np.inf)
    raise AssertionError("no exact svec entry")


def rotation_tie_matrix(n):
    """The first rotation (pivot (1, 2), theta = pi/2) turns |A[0][1]| into exactly the
    value already standing later in row 0, at A[0][3]: the pivot search must then prefer
    the earlier column, although only the rotated entries of row 0 were touched."""
    theta = math.atan2(20.0, 0.0)
    c, s = math.cos(theta * 0.5), math.sin(theta * 0.5)
    b = 0.75
    target = b * c + b * s  # |(-b) c - b s|
    M = np.diag(np.arange(1.0, n + 1.0))
    M[1, 1] = M[2, 2] = 5.0
    M[1, 2] = M[2, 1] = 10.0
    M[0, 1] = M[1, 0] = -b
    M[0, 2] = M[2, 0] = b
    M[0, 3] = M[3, 0] = target
    M[1, 3] = M[3, 1] = 0.1
    M[2, 3] = M[3, 2] = 0.2
    x = svec(M)
    for (i, j) in ((1, 0), (2, 0), (3, 0)):
        x[i * (i + 1) // 2 + j] = exact_offdiagonal(M[i, j])
    return smat(x, n)


def tie_heavy_matrices(rng, n):
    """Matrices whose pivot search meets equal magnitudes again and again."""
    out = [sym(rng, n)]
    if n >= 4:
        out.append(rotation_tie_matrix(n))
    ints = rng.integers(-3, 4, (n, n)).astype(float)
    out.append(ints + ints.T)
    out.append(np.ones((n, n)) + np.diag(np.arange(n, dtype=float)))
    if n % 2 == 0:
        B = sym(rng, n // 2)
        D = np.kron(np.eye(2), B)  # B (+) B: every rotation of one block ties with the other
        out.append(D)
        perm = rng.permutation(n)
        out.append(D[np.ix_(perm, perm)])
    return out


# --- svec / smat and the module functions -------------------------------------------

@pytest.mark.parametrize("n", [0, 1, 2, 3, 7])
def test_conversions_match_reference(cones, rng, n):
    m = m_of(n)
    v = rng.standard_normal(m)
    M = rng.standard_normal((n, n))  # not symmetric: only its lower triangle counts
    got = cones.psd_smat(v, n)
    assert got.shape == (n, n) and got.dtype == np.float64 and got.flags.c_contiguous
    np.testing.assert_array_equal(got, smat(v, n))
    out = np.full(n * n, 7.0)
    cones.psd_smat_into(v, out, n)
    np.testing.assert_array_equal(out, smat(v, n).ravel())

    lower = np.tril(M)
    packed = cones.psd_svec(M.ravel(), n)
    assert packed.shape == (m,) and packed.dtype == np.float64
    np.testing.assert_array_equal(packed, svec(lower))
    out = np.full(m, 7.0)
    cones.psd_svec_into(M.ravel(), out, n)
    np.testing.assert_array_equal(out, svec(lower))
    # the upper triangle is never read
    M2 = M.copy()
    M2[np.triu_indices(n, 1)] = np.nan
    np.testing.assert_array_equal(cones.psd_svec(M2.ravel(), n), svec(lower))

    round_trip = cones.psd_svec(cones.psd_smat(v, n).ravel(), n)
    np.testing.assert_allclose(round_trip, v, rtol=2 * EPS, atol=0)


def test_conversion_examples(cones):
    assert cones.psd_svec(np.array([1.0, 5.0, 2.0, 3.0]), 2).tolist() == [1.0, 2.0 * SQ2, 3.0]
    np.testing.assert_array_equal(cones.psd_smat(np.array([4.0, 3.0, 5.0]), 2),
                                  [[4.0, 3.0 / SQ2], [3.0 / SQ2, 5.0]])
    # order 3: (M00, M10 r2, M11, M20 r2, M21 r2, M22)
    M = np.arange(9.0).reshape(3, 3)
    assert cones.psd_svec(M.ravel(), 3).tolist() == [0.0, 3 * SQ2, 4.0, 6 * SQ2, 7 * SQ2, 8.0]
    assert cones.psd_smat(np.array([2.5]), 1).tolist() == [[2.5]]
    assert cones.psd_smat(np.empty(0), 0).shape == (0, 0)
    # NaN and infinities pass through
    got = cones.psd_svec(np.array([np.inf, 0.0, np.nan, -np.inf]), 2)
    assert got[0] == np.inf and np.isnan(got[1]) and got[2] == -np.inf


def test_conversion_refusals(cones):
    with pytest.raises(RuntimeError, match="^svec expected 3 entries, got 4$"):
        cones.psd_smat(np.zeros(4), 2)
    with pytest.raises(RuntimeError, match="^matrix expected 4 entries, got 3$"):
        cones.psd_svec(np.zeros(3), 2)
    with pytest.raises(RuntimeError, match="^svec expected 6 entries, got 5$"):
        cones.psd_smat_into(np.zeros(5), np.zeros(8), 3)
    with pytest.raises(RuntimeError, match="^output expected 9 entries, got 8$"):
        cones.psd_smat_into(np.zeros(6), np.zeros(8), 3)
    with pytest.raises(RuntimeError, match="^matrix expected 9 entries, got 6$"):
        cones.psd_svec_into(np.zeros(6), np.zeros(9), 3)
    with pytest.raises(RuntimeError, match="^output expected 6 entries, got 9$"):
        cones.psd_svec_into(np.zeros(9), np.zeros(9), 3)
    # host-only functions refuse device arrays after the length check
    with pytest.raises(RuntimeError, match="^svec must be a CPU vector for dense NT scaling$"):
        cones.psd_smat(TaggedArray(3, KDL_CUDA), 2)
    with pytest.raises(RuntimeError, match="^matrix must be a CPU vector for dense NT scaling$"):
        cones.psd_svec(TaggedArray(4, KDL_CUDA), 2)
    with pytest.raises(RuntimeError, match="^svec expected 3 entries, got 2$"):
        cones.psd_smat(TaggedArray(2, KDL_CUDA), 2)
    with pytest.raises(RuntimeError, match="^svec must be on CPU or CUDA$"):
        cones.psd_smat(TaggedArray(3, KDL_CUDA_HOST), 2)
    with pytest.raises(RuntimeError, match="^output must be on CPU or CUDA$"):
        cones.psd_svec_into(np.zeros(4), TaggedArray(3, KDL_CUDA_HOST), 2)
    out = np.full(4, 5.0)
    with pytest.raises(RuntimeError, match="^input and output must live on the same device$"):
        cones.psd_smat_into(TaggedArray(3, KDL_CUDA), out, 2)
    with pytest.raises(RuntimeError, match="^input and output must live on the same device$"):
        cones.psd_svec_into(np.zeros(4), TaggedArray(3, KDL_CUDA, 1), 2)
    assert np.all(out == 5.0)
    with pytest.raises(TypeError):
        cones.psd_smat([1.0, 2.0, 3.0], 2)
    with pytest.raises(TypeError):
        cones.psd_svec_into(np.zeros(4), np.zeros(3, dtype=np.float32), 2)


@pytest.mark.skipif("__import__('_cpp_cuda').has_cuda()", reason="needs a build without a usable device")
def test_conversion_into_cuda_without_device(cones):
    for call in (lambda: cones.psd_smat_into(TaggedArray(3, KDL_CUDA), TaggedArray(4, KDL_CUDA), 2),
                 lambda: cones.psd_svec_into(TaggedArray(4, KDL_CUDA), TaggedArray(3, KDL_CUDA), 2)):
        with pytest.raises(RuntimeError, match="^CUDA runtime is required for CUDA cone arrays$"):
            call()


# --- projection, violation, membership (host) --------------------------------------

def spectrum_family(rng, n, kind, scale):
    """Symmetric matrices of order n, scale times: random, or with a chosen spectrum in
    random eigenvectors: positive definite, one negative eigenvalue, negative definite,
    one positive eigenvalue, positive semidefinite of rank n // 2."""
    if kind == "random":
        return sym(rng, n, scale)
    lam = 1.0 + rng.uniform(size=n)
    if kind == "one negative":
        lam[0] = -lam[0]
    elif kind == "negative definite":
        lam = -lam
    elif kind == "one positive":
        lam[1:] = -lam[1:]
    elif kind == "semidefinite":
        lam[:n // 2] = 0.0
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    M = (Q * lam) @ Q.T * scale
    return (M + M.T) / 2


SPECTRA = ["random", "random", "random", "positive definite", "one negative", "negative definite", "one positive",
           "semidefinite"]


@pytest.mark.parametrize("n", [1, 2, 3, 4, 6, 8, 9, 12, 33])
def test_projection_against_eigh(cones, rng, n):
    """Jacobi below the crossover orders, LAPACK from them on (builds with host LAPACK),
    each on spectra that take every branch: all signs mixed, one or no eigenvalue on
    either side, zero eigenvalues."""
    cone = cones.PsdConeCpp(n)
    for kind in SPECTRA:
        x = svec(spectrum_family(rng, n, kind, 10.0 ** rng.integers(-3, 4)))
        scale = 1.0 + np.linalg.norm(x)
        tol = 1e-11 * scale
        p = np.empty(cone.rows)
        cone.project_into(x, p)
        np.testing.assert_allclose(p, ref_project(x, n), rtol=0, atol=tol, err_msg=kind)
        # lands in the cone, idempotent, distance = violation
        assert cone.violation(p) <= tol
        assert cone.contains(p, tol)
        again = np.empty(cone.rows)
        cone.project_into(p, again)
        np.testing.assert_allclose(again, p, rtol=0, atol=tol)
        v = cone.violation(x)
        assert v == pytest.approx(ref_violation(x, n), rel=1e-10, abs=tol)
        assert v == pytest.approx(np.linalg.norm(x - p), rel=1e-10, abs=tol)
        # membership: atol >= violation
        assert cone.contains(x, v) is True
        if v > 0:
            assert cone.contains(x, v * (1 - 1e-9)) is False
        # in place
        y = x.copy()
        cone.project_into(y, y)
        np.testing.assert_array_equal(y, p)


def test_projection_examples(cones):
    c3 = cones.PsdConeCpp(3)
    x = svec(np.diag([2.0, -3.0, 1.0]))
    p = np.empty(6)
    c3.project_into(x, p)
    assert p.tolist() == [2.0, 0.0, 0.0, 0.0, 0.0, 1.0]
    assert c3.violation(x) == 3.0
    c2 = cones.PsdConeCpp(2)
    p = np.empty(3)
    c2.project_into(np.array([0.0, SQ2, 0.0]), p)
    np.testing.assert_allclose(p, [0.5, SQ2 / 2, 0.5], rtol=4 * EPS)
    assert c2.violation(np.array([0.0, SQ2, 0.0])) == pytest.approx(1.0, rel=4 * EPS)
    x = svec(np.array([[1.0, 2.0], [2.0, 1.0]]))
    c2.project_into(x, p)
    np.testing.assert_allclose(p, [1.5, 1.5 * SQ2, 1.5], rtol=8 * EPS)
    assert c2.violation(x) == pytest.approx(1.0, rel=8 * EPS)
    # off-diagonal entries below 1e-12 of the matrix's scale are never rotated away
    x = np.array([1.0, 5e-13 * SQ2, -1.0])
    c2.project_into(x, p)
    assert p.tolist() == [1.0, 0.0, 0.0]
    assert c2.violation(x) == 1.0
    # ... but a small matrix is decomposed at its own scale: scale [[0, 1], [1, 0]] is
    # indefinite however small or large the scale
    for scale in (1e-13, 2.0 ** -500, 1e-300, 2.0 ** 500):
        x = np.array([0.0, scale * SQ2, 0.0])
        c2.project_into(x, p)
        np.testing.assert_allclose(p, np.array([0.5, SQ2 / 2, 0.5]) * scale, rtol=8 * EPS)
        assert c2.violation(x) == pytest.approx(scale, rel=8 * EPS)
        assert c2.contains(x, 0.0) is False


def test_membership_rules(cones):
    c2 = cones.PsdConeCpp(2)
    assert c2.contains(np.array([1.0, 0.0, 0.0]), 0.0) is True  # eigenvalue exactly 0
    x = np.array([1.0, 0.0, -0.5e-8])  # one eigenvalue -atol/2
    assert c2.contains(x) is True
    assert c2.contains(np.array([1.0, 0.0, -2e-8])) is False
    # a NaN eigenvalue adds nothing to the violation, but a NaN entry is in no cone;
    # clipping copies it into R
    x = np.array([np.nan, 0.0, 1.0])
    assert c2.violation(x) == 0.0 and c2.contains(x, 0.0) is False
    p = np.empty(3)
    c2.project_into(x, p)
    assert np.isnan(p).all()
    c1 = cones.PsdConeCpp(1)
    out = np.empty(1)
    for x, proj, viol in ((-2.0, 0.0, 2.0), (3.0, 3.0, 0.0), (0.0, 0.0, 0.0)):
        c1.project_into(np.array([x]), out)
        assert out[0] == proj and c1.violation(np.array([x])) == viol
    c1.project_into(np.array([np.nan]), out)
    assert np.isnan(out[0])
    assert c1.contains(np.array([5.0]), -1e-3) is False  # negative atol: never a member
    assert c1.contains(np.array([-1e-9])) is True
    assert c1.contains(np.array([-1e-7])) is False


def test_method_argument_checks(cones):
    c = cones.PsdConeCpp(3)
    with pytest.raises(RuntimeError, match="^PSD cone dim must be positive$"):
        cones.PsdConeCpp(0)
    assert (c.dim, c.rows) == (3, 6)
    with pytest.raises(RuntimeError, match="^input expected 6 entries, got 5$"):
        c.project_into(np.zeros(5), np.zeros(6))
    with pytest.raises(RuntimeError, match="^output expected 6 entries, got 5$"):
        c.project_into(np.zeros(6), np.zeros(5))
    with pytest.raises(RuntimeError, match="^input expected 6 entries, got 3$"):
        c.violation(np.zeros(3))
    with pytest.raises(RuntimeError, match="^s must be a CPU vector for dense NT scaling$"):
        c.nt_scaling_matrix(TaggedArray(6, KDL_CUDA), np.zeros(6))
    with pytest.raises(RuntimeError, match="^z must be a CPU vector for dense NT scaling$"):
        c.nt_scaling_matrix_array(np.zeros(6), TaggedArray(6, KDL_CUDA))
    with pytest.raises(RuntimeError, match="^output expected 36 entries, got 35$"):
        c.nt_scaling_matrix_into(np.zeros(6), np.zeros(6), np.zeros(35))
    with pytest.raises(RuntimeError, match="^s expected 12 entries, got 6$"):
        c.nt_scaling_matrix_batch_custom_into(np.zeros(6), np.zeros(12), np.zeros(72), 2)


# --- the pivot search is the full scan's, bit for bit ---------------------------------

@pytest.mark.parametrize("n", [2, 3, 4, 5, 6, 8, 11, 16])
def test_jacobi_pivots_are_those_of_the_full_scan(cones, rng, n):
    """Projection and violation are exact functions of the rotation sequence; any other
    pivot (a different tie-break, a stale row maximum) changes their last bits. (Orders
    that a build with host LAPACK decomposes with LAPACK are checked in the build
    without.)"""
    jacobi_projection = not uses_lapack(cones, n, LAPACK_PROJECTION_FROM)
    jacobi_violation = not uses_lapack(cones, n, LAPACK_VIOLATION_FROM)
    if not jacobi_projection:
        pytest.skip("this build decomposes this order with LAPACK")
    cone = cones.PsdConeCpp(n)
    for M in tie_heavy_matrices(rng, n):
        x = svec(M)
        p = np.empty(cone.rows)
        cone.project_into(x, p)
        np.testing.assert_array_equal(p, full_scan_project(x, n))
        if jacobi_violation:
            assert cone.violation(x) == full_scan_violation(x, n)


def test_full_scan_reference_is_sensitive_to_pivot_order(rng):
    """Guard for the test above: taking the last of equal maxima instead of the first
    changes the bits of the projection on the tie-heavy matrices."""
    n = 6
    differs = 0
    for M in tie_heavy_matrices(rng, n):
        x = svec(M)
        first = full_scan_project(x, n)
        last = full_scan_project(x, n, last_on_ties=True)
        differs += not np.array_equal(first, last)
        np.testing.assert_allclose(last, first, atol=1e-12 * (1 + np.abs(x).max()))
    assert differs > 0


# --- NT scaling (host) ----------------------------------------------------------------

def check_operator(H, s, z, n):
    """H against the operator of the eigh-based scaling point, for the well-conditioned
    pairs of interior_pair (eigenvalues in [1, 2]): a backward-stable W is accurate to a
    small multiple of n eps there."""
    W = ref_w(s, z, n)
    tol = 50 * EPS * n
    np.testing.assert_allclose(H, ref_operator(W), rtol=0, atol=tol * np.abs(W).max() ** 2)
    np.testing.assert_allclose(H @ s, z, rtol=0, atol=tol * (1 + np.abs(z).max()))
    # H is the operator of a W with W S W = Z: apply it to a random symmetric X
    X = smat(np.linspace(-1, 1, m_of(n)), n)
    np.testing.assert_allclose(H @ svec(X), svec(W @ X @ W), rtol=0, atol=tol * np.abs(W).max() ** 2 * n)


@pytest.mark.parametrize("n", list(range(1, 13)) + [32, 40])
def test_nt_scaling_general_path(cones, rng, n):
    cone = cones.PsdConeCpp(n)
    m = cone.rows
    s, z = interior_pair(rng, n)
    H = cone.nt_scaling_matrix_array(s, z)
    assert H.shape == (m, m)
    check_operator(H, s, z, n)
    assert cone.nt_scaling_matrix(s, z) == H.ravel().tolist()


@pytest.mark.parametrize("n, batch", [(1, 3), (2, 3), (3, 2), (5, 3), (11, 2), (12, 1), (32, 1)])
def test_nt_scaling_batch_host(cones, rng, n, batch):
    cone = cones.PsdConeCpp(n)
    m = cone.rows
    pairs = [interior_pair(rng, n) for _ in range(batch)]
    s = np.concatenate([p[0] for p in pairs])
    z = np.concatenate([p[1] for p in pairs])
    out = np.full(batch * m * m, np.nan)
    cone.nt_scaling_matrix_batch_into(s, z, out, batch)
    custom = np.full(batch * m * m, np.nan)
    cone.nt_scaling_matrix_batch_custom_into(s, z, custom, batch)
    np.testing.assert_array_equal(custom, out)
    for t, (si, zi) in enumerate(pairs):
        H = out[t * m * m:(t + 1) * m * m].reshape(m, m)
        check_operator(H, si, zi, n)
        if n >= 3:  # the batch routine takes the general path for n >= 3
            np.testing.assert_array_equal(H, cone.nt_scaling_matrix_array(si, zi))
    if batch == 1:
        single = np.empty(m * m)
        cone.nt_scaling_matrix_into(s, z, single)
        np.testing.assert_array_equal(single, out)


def test_nt_scaling_examples(cones, rng):
    c2 = cones.PsdConeCpp(2)
    H = np.empty(9)
    c2.nt_scaling_matrix_into(np.array([1.0, 0.0, 1.0]), np.array([4.0, 0.0, 9.0]), H)
    assert H.tolist() == [4.0, 0.0, 0.0, 0.0, 6.0, 0.0, 0.0, 0.0, 9.0]
    c1 = cones.PsdConeCpp(1)
    H1 = np.empty(1)
    c1.nt_scaling_matrix_into(np.array([3.0]), np.array([7.0]), H1)
    assert H1[0] == 7.0 / 3.0
    assert c1.nt_scaling_matrix(np.array([3.0]), np.array([7.0]))[0] == pytest.approx(7.0 / 3.0, rel=4 * EPS)
    for n in (2, 3, 5):
        s = svec(spd(rng, n))
        H = cones.PsdConeCpp(n).nt_scaling_matrix_array(s, s)
        np.testing.assert_allclose(H, np.eye(m_of(n)), rtol=0, atol=50 * EPS * n)


def test_nt_refusals_and_partial_batches(cones):
    c1, c2, c3 = cones.PsdConeCpp(1), cones.PsdConeCpp(2), cones.PsdConeCpp(3)
    out = np.full(3, 5.0)
    with pytest.raises(RuntimeError, match=f"^{INPUTS_MSG}$"):
        c1.nt_scaling_matrix_batch_into(np.array([1.0, 2.0, -1.0]), np.array([2.0, 2.0, 1.0]), out, 3)
    assert out.tolist() == [2.0, 1.0, 0.0]  # cleared first, items before the failure written
    with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
        c1.nt_scaling_matrix(np.array([0.0]), np.array([1.0]))
    with pytest.raises(RuntimeError, match=f"^{INPUTS_MSG}$"):
        c2.nt_scaling_matrix_into(np.array([1.0, 0.0, -1.0]), np.array([1.0, 0.0, 1.0]), np.zeros(9))
    with pytest.raises(RuntimeError, match=f"^{INPUTS_MSG}$"):  # Z indefinite: caught by its Cholesky
        c2.nt_scaling_matrix_into(np.array([1.0, 0.0, 1.0]), np.array([1.0, 3.0, 1.0]), np.zeros(9))
    with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
        c2.nt_scaling_matrix(np.array([1.0, 0.0, 1.0]), np.array([1.0, 3.0, 1.0]))
    good = svec(np.eye(3))
    bad = svec(np.diag([1.0, -1.0, 1.0]))
    out = np.full(72, 5.0)
    with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
        c3.nt_scaling_matrix_batch_into(np.concatenate([good, bad]), np.concatenate([good, good]), out, 2)
    np.testing.assert_allclose(out[:36], np.eye(6).ravel(), atol=1e-15)
    assert np.all(out[36:] == 5.0)
    with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
        c3.nt_scaling_matrix_array(good, bad)
    c3.nt_scaling_matrix_batch_into(np.empty(0), np.empty(0), np.empty(0), 0)


@pytest.mark.parametrize("n", [1, 2, 3, 11])
def test_nt_refuses_non_interior_pairs_on_every_host_path(cones, n):
    """A NaN or an infinity in any entry of s or z, or a singular matrix (a Cholesky pivot
    of exactly 0), is refused by every host form with its path's message, and nothing of
    the failing item is written (an order-1 batch output is cleared first)."""
    cone = cones.PsdConeCpp(n)
    m = cone.rows
    good = svec(np.eye(n) + 0.25)
    bads = [svec(np.ones((n, n))) if n > 1 else np.zeros(1)]
    for k, value in itertools.product(range(m), (np.nan, np.inf, -np.inf)):
        bads.append(good.copy())
        bads[-1][k] = value
    into_msg = INPUTS_MSG if n <= 2 else MATRICES_MSG
    indptr, indices = dense_csr(m)
    first = np.empty(m * m)
    cone.nt_scaling_matrix_into(good, good, first)
    for bad in bads:
        for s, z in ((bad, good), (good, bad)):
            for form in ("nt_scaling_matrix", "nt_scaling_matrix_array"):
                with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
                    getattr(cone, form)(s, z)
            out = np.full(2 * m * m, 5.0)
            with pytest.raises(RuntimeError, match=f"^{into_msg}$"):
                cone.nt_scaling_matrix_batch_into(np.concatenate([good, s]), np.concatenate([good, z]), out, 2)
            np.testing.assert_array_equal(out[:m * m], first)
            assert np.all(out[m * m:] == (0.0 if n == 1 else 5.0))
            values = np.full(m * m, 5.0)
            with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
                cone.hmatrix_csr_values_into(s, z, indptr, indices, values)
            assert np.all(values == 5.0)


def test_method_choice_host(cones, rng):
    for n, text in ((1, "analytic"), (2, "analytic"), (3, "custom"), (40, "custom")):
        cone = cones.PsdConeCpp(n)
        assert cone.nt_scaling_matrix_default_method() == text
        assert cone.nt_scaling_matrix_default_method(64) == text
        assert cone.nt_scaling_matrix_default_method(batch=0) == text
    c = cones.PsdConeCpp(3)
    s, z = interior_pair(rng, 3)
    out = np.full(36, 5.0)
    with pytest.raises(RuntimeError, match="^PSD cuBLAS NT scaling requires CUDA arrays$"):
        c.nt_scaling_matrix_batch_cublas_into(s, z, out, 1)
    assert np.all(out == 5.0)
    with pytest.raises(RuntimeError, match="^PSD cuBLAS NT scaling requires CUDA arrays$"):
        cones.PsdConeCpp(1).nt_scaling_matrix_batch_cublas_into(np.ones(1), np.ones(1), np.zeros(1), 1)
    with pytest.raises(RuntimeError, match="^output expected 36 entries, got 35$"):  # views first
        c.nt_scaling_matrix_batch_cublas_into(s, z, np.zeros(35), 1)
    with pytest.raises(RuntimeError, match="^input vectors must live on the same device$"):
        c.nt_scaling_matrix_batch_cublas_into(s, TaggedArray(6, KDL_CUDA), np.zeros(36), 1)


# --- numerically delicate inputs ------------------------------------------------------

def dyadic(A):
    """A = A_int / 2^D exactly (every double is a dyadic rational): the integer matrix, as
    Python integers in an object array, and D."""
    ratios = [float(x).as_integer_ratio() for x in A.ravel()]
    D = max(den.bit_length() - 1 for _, den in ratios)
    ints = [num << (D - (den.bit_length() - 1)) for num, den in ratios]
    return np.array(ints, dtype=object).reshape(A.shape), D


def exact_inverse(M):
    """Inverse of the stored matrix M to working precision, entry by entry: the float64
    inverse refined with residuals I - M X computed exactly in integer arithmetic until the
    refinement no longer moves it. So s^-1 and z^-1 are those of exactly the pair the module
    reads, which a float64 inverse alone would miss by eps cond (1e-4 at cond 1e12)."""
    n = M.shape[0]
    X = np.linalg.inv(M)
    M_int, dm = dyadic(M)
    for _ in range(16):
        X_int, dx = dyadic(X)
        one = 1 << (dm + dx)
        P = M_int @ X_int
        R = np.array([[((one if i == j else 0) - P[i, j]) / one for j in range(n)] for i in range(n)])
        refined = X + X @ R
        if np.array_equal(refined, X):
            return X
        X = refined
    raise AssertionError("inverse refinement did not settle")


def cvxopt_scaling_point(S, Z):
    """W with W S W = Z from cvxopt.misc.compute_scaling ('s' cone: full column-major
    matrices, lower triangle read, no sqrt(2)). CVXOPT's scaling W_c (W_c z = W_c^-T s =
    lambda) maps X to r^T X r, so our H = (W_c^T W_c)^-1 is X -> W X W with W = (r r^T)^-1
    = rti rti^T, rti = r^-T being returned beside r."""
    cvxopt = pytest.importorskip("cvxopt")
    from cvxopt import misc
    n = S.shape[0]
    packed = [cvxopt.matrix(np.asarray(M, dtype=float).T.ravel().copy(), (n * n, 1)) for M in (S, Z)]
    rti = np.array(misc.compute_scaling(packed[0], packed[1], cvxopt.matrix(0.0, (n, 1)),
                                        {"l": 0, "q": [], "s": [n]})["rti"][0])
    return rti @ rti.T


def nt_residuals(H, s, z, s_inv, z_inv):
    """Relative residuals of the two NT identities H s = z and H z^-1 = s^-1."""
    return (np.linalg.norm(H @ s - z) / np.linalg.norm(z),
            np.linalg.norm(H @ z_inv - s_inv) / np.linalg.norm(s_inv))


class NtCase(NamedTuple):
    s: np.ndarray
    z: np.ndarray
    s_inv: np.ndarray  # svec of the exact inverses, rounded once
    z_inv: np.ndarray
    cond: tuple        # conditioning of the two identities (see the test's docstring)
    reference: tuple   # CVXOPT's residuals of the two identities
    cond_w: float


def boundary_matrix(rng, n, smallest, scale):
    """scale Q diag(l) Q^T, Q random orthogonal, eigenvalues log-uniform in [smallest, 1]
    with both ends taken."""
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    lam = np.exp(rng.uniform(np.log(smallest), 0.0, n))
    lam[-1] = smallest
    if n > 1:
        lam[0] = 1.0
    M = (Q * lam) @ Q.T * scale
    return (M + M.T) / 2


@functools.lru_cache(maxsize=None)
def boundary_cases(n):
    """Sixteen pairs of order n: smallest eigenvalues of S and Z independently from 1 down
    to 1e-12, different random eigenvectors, S and Z scaled independently between 1e-8 and
    1e8 (the four extreme corners first), each strictly interior by Cholesky."""
    rng = np.random.default_rng(4000 + n)
    corners = [(-8.0, 8.0), (8.0, -8.0), (-8.0, -8.0), (8.0, 8.0)]
    cases = []
    for k, (ls, lz) in enumerate(itertools.product([1.0, 1e-4, 1e-8, 1e-12], repeat=2)):
        es, ez = corners[k] if k < len(corners) else rng.uniform(-8.0, 8.0, 2)
        s = svec(boundary_matrix(rng, n, ls, 10.0 ** es))
        z = svec(boundary_matrix(rng, n, lz, 10.0 ** ez))
        S, Z = smat(s, n), smat(z, n)  # the matrices exactly as the module reads them
        np.linalg.cholesky(S)
        np.linalg.cholesky(Z)
        S_inv, Z_inv = exact_inverse(S), exact_inverse(Z)
        W = cvxopt_scaling_point(S, Z)
        norm = functools.partial(np.linalg.norm, ord=2)
        cond = (1.0 + norm(W) ** 2 * norm(S) / norm(Z),
                max(norm(S) * norm(S_inv), norm(Z) * norm(Z_inv)))
        reference = nt_residuals(ref_operator(W), s, z, svec(S_inv), svec(Z_inv))
        cases.append(NtCase(s, z, svec(S_inv), svec(Z_inv), cond, reference, np.linalg.cond(W)))
    return tuple(cases)


def assert_nt_accurate(H, case, where):
    """Both identities to 1e3 eps cond and within a factor 10 of CVXOPT on the same pair
    (or of eps cond, where CVXOPT happens to be exact); H symmetric to rounding (the only
    asymmetry is 2x/sqrt(2) against x sqrt(2)) and positive definite where that is
    decidable in float64."""
    got = nt_residuals(H, case.s, case.z, case.s_inv, case.z_inv)
    for k, (r, ref, cond) in enumerate(zip(got, case.reference, case.cond)):
        assert r <= 1e3 * EPS * cond and r <= 10 * max(ref, EPS * cond), \
            f"{where}: identity {k + 1} residual {r:.3g}, CVXOPT {ref:.3g}, eps cond {EPS * cond:.3g}"
    assert np.all(np.abs(H - H.T) <= 4 * EPS * np.abs(H)), where
    if case.cond_w ** 2 < 1e12:
        np.linalg.cholesky(H)


def dense_csr(m):
    return np.arange(0, m * m + 1, m, dtype=np.int64), np.tile(np.arange(m, dtype=np.int64), m)


@pytest.mark.parametrize("n", [1, 2, 3, 5, 12, 40])
def test_nt_scaling_near_the_boundary(cones, n):
    """Late in a solve s and z are nearly singular, in different eigenbases, at unrelated
    scales. Both NT identities must hold as well as the pair allows, on every host form:
    - H s = z, i.e. W S W = Z: s and z are data known to relative eps, and a relative eps
      change of S moves W S W by eps |W|^2 |S|, so cond = 1 + |W|^2 |S| / |Z| (2-norms,
      at most cond(W)^2) is what any scaling exact for a pair eps-close to (s, z) can
      promise;
    - H z^-1 = s^-1, i.e. W Z^-1 W = S^-1: the inverses of the stored matrices themselves
      move by eps cond(S) and eps cond(Z) under such changes, so cond = max(cond(S),
      cond(Z)). A method that squares the pair's conditioning (the eigen-decomposition of
      S^1/2 Z S^1/2) misses it by orders of magnitude.
    Every pair is strictly interior by Cholesky, so none may be refused. With host LAPACK,
    order 12 takes the library's QR-iteration SVD and order 40 its divide and conquer."""
    cone = cones.PsdConeCpp(n)
    m = cone.rows
    cases = boundary_cases(n)
    batch = np.full(len(cases) * m * m, np.nan)
    cone.nt_scaling_matrix_batch_into(np.concatenate([c.s for c in cases]), np.concatenate([c.z for c in cases]),
                                      batch, len(cases))
    indptr, indices = dense_csr(m)
    for t, case in enumerate(cases):
        H = cone.nt_scaling_matrix_array(case.s, case.z)
        assert cone.nt_scaling_matrix(case.s, case.z) == H.ravel().tolist()
        into = np.full(m * m, np.nan)
        cone.nt_scaling_matrix_into(case.s, case.z, into)
        np.testing.assert_array_equal(into, batch[t * m * m:(t + 1) * m * m])
        sparse = np.full(m * m, np.nan)
        cone.hmatrix_csr_values_into(case.s, case.z, indptr, indices, sparse)
        np.testing.assert_array_equal(sparse, H.ravel())  # the same W, entry by entry
        assert_nt_accurate(H, case, f"general path, pair {t}")
        assert_nt_accurate(into.reshape(m, m), case, f"batch path, pair {t}")


@pytest.mark.parametrize("n", [2, 3, 5, 11])
def test_tiny_indefinite_matrices_are_refused(cones, n):
    """Off-diagonal entries below 1e-12 hide a negative eigenvalue unless the matrix is
    brought to unit scale first."""
    M = np.full((n, n), 5e-13) + np.diag(np.full(n, 1e-13 - 5e-13))  # eigenvalue -4e-13 (n-1 times)
    assert np.linalg.eigvalsh(M).min() < 0
    x = svec(M)
    good = svec(np.eye(n))
    cone = cones.PsdConeCpp(n)
    with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
        cone.nt_scaling_matrix(x, good)
    with pytest.raises(RuntimeError, match=f"^{MATRICES_MSG}$"):
        cone.nt_scaling_matrix(good, x)


@pytest.mark.skipif("__import__('_cpp_cuda').has_cuda()", reason="needs a build without a usable device")
def test_device_routes_need_a_device_before_order_checks(cones):
    """With CUDA arrays the availability gate comes first; the order refusals after it."""
    c3, c33 = cones.PsdConeCpp(3), cones.PsdConeCpp(33)
    calls = [
        lambda: c3.project_into(TaggedArray(6, KDL_CUDA), TaggedArray(6, KDL_CUDA)),
        lambda: c3.violation(TaggedArray(6, KDL_CUDA)),
        lambda: c3.contains(TaggedArray(6, KDL_CUDA)),
        lambda: c3.nt_scaling_matrix_batch_cublas_into(TaggedArray(6, KDL_CUDA), TaggedArray(6, KDL_CUDA),
                                                       TaggedArray(36, KDL_CUDA), 1),
        lambda: c33.nt_scaling_matrix_batch_custom_into(TaggedArray(561, KDL_CUDA), TaggedArray(561, KDL_CUDA),
                                                        TaggedArray(561 * 561, KDL_CUDA), 1),
    ]
    for call in calls:
        with pytest.raises(RuntimeError, match="^CUDA runtime is required for CUDA cone arrays$"):
            call()
    with pytest.raises(RuntimeError, match="^input expected 6 entries, got 5$"):
        c3.violation(TaggedArray(5, KDL_CUDA))


# --- device (emulated) ------------------------------------------------------------------

def test_device_refusals_without_order_2(cones, dev):
    for n in (1, 3):
        cone = cones.PsdConeCpp(n)
        m = cone.rows
        with pytest.raises(RuntimeError, match=f"^output expected {m} entries, got {m + 1}$"):  # lengths first
            cone.project_into(dev.array(np.ones(m)), dev.empty(m + 1))
        with pytest.raises(RuntimeError, match="^CUDA PSD projection currently supports dim=2$"):
            cone.project_into(dev.array(np.ones(m)), dev.empty(m))
        with pytest.raises(RuntimeError, match="^CUDA PSD violation currently supports dim=2$"):
            cone.violation(dev.array(np.ones(m)))
        with pytest.raises(RuntimeError, match="^CUDA PSD membership currently supports dim=2$"):
            cone.contains(dev.array(np.ones(m)))


ORDER2_CASES = [
    ([1.0, 0.0, -1.0], [1.0, 0.0, 0.0]),
    ([-1.0, 0.0, 1.0], [0.0, 0.0, 1.0]),
    ([-1.0, 0.0, -2.0], [0.0, 0.0, 0.0]),
    ([1.0, 0.0, 2.0], [1.0, 0.0, 2.0]),
]


def test_device_order2_projection(cones, dev, rng):
    cone = cones.PsdConeCpp(2)
    for x, want in ORDER2_CASES:
        d = dev.empty(3)
        cone.project_into(dev.array(np.array(x)), d)
        assert dev.to_numpy(d).tolist() == want
    xs = [svec(sym(rng, 2, scale=10.0 ** k)) for k in range(-4, 5) for _ in range(3)]
    # |b| << a - c: the eigenvector must not come from the cancelling l+ - a (which
    # rounds to a few ulps here and tilts the eigenvector by up to 0.06 rad)
    xs += [np.array([2.5032, 1.467e-14, -1.9554]), np.array([-1.9554, 1.467e-14, 2.5032]),
           np.array([1.9553, 1.467e-14, -1.8656]), np.array([1e8, 3e-7, -1.0])]
    for x in xs:
        tol = 1e-13 * (1 + np.abs(x).max())
        d = dev.empty(3)
        cone.project_into(dev.array(x), d)
        got = dev.to_numpy(d)
        np.testing.assert_allclose(got, ref_project(x, 2), rtol=0, atol=tol)
        host = np.empty(3)
        cone.project_into(x, host)
        np.testing.assert_allclose(got, host, rtol=0, atol=tol)
        v = cone.violation(dev.array(x))
        assert v == pytest.approx(ref_violation(x, 2), rel=1e-12, abs=tol)
        for atol in (0.0, 1e-8, v, v * 0.5):
            assert cone.contains(dev.array(x), atol) is (atol >= v)
    launched = set(dev.launches())
    assert {"psd2_project_kernel", "psd2_violation_kernel"} <= launched
    d = dev.array(np.array([2.0, 0.5, -3.0]))
    cone.project_into(d, d)  # in place
    np.testing.assert_allclose(dev.to_numpy(d), ref_project(np.array([2.0, 0.5, -3.0]), 2), atol=1e-14)


def device_nt(cones, dev, cone, s, z, batch, method="nt_scaling_matrix_batch_into"):
    out = dev.empty(cone.rows ** 2 * batch)
    getattr(cone, method)(dev.array(s), dev.array(z), out, batch)
    return dev.to_numpy(out)


@pytest.mark.parametrize("n, batch", [(1, 1), (1, 5), (2, 1), (2, 6), (3, 1), (3, 4), (7, 3), (32, 2)])
def test_device_nt_scaling_matches_host(cones, dev, rng, n, batch):
    cone = cones.PsdConeCpp(n)
    m = cone.rows
    pairs = [interior_pair(rng, n) for _ in range(batch)]
    s = np.concatenate([p[0] for p in pairs])
    z = np.concatenate([p[1] for p in pairs])
    host = np.empty(m * m * batch)
    cone.nt_scaling_matrix_batch_into(s, z, host, batch)
    dev.clear_launches()
    got = device_nt(cones, dev, cone, s, z, batch)
    expected_kernels = {1: ["psd1_nt_scaling_kernel"], 2: ["psd2_nt_scaling_kernel"]}.get(
        n, ["psd_general_w_kernel", "psd_general_operator_from_w_kernel"])
    assert dev.launches() == expected_kernels
    if (n <= 2 and dev.exact_math) or (n >= 3 and not uses_lapack(cones, n, LAPACK_NT_FROM)):
        # the host's operations in the host's order: the closed forms, or the factor path
        # (+, -, *, / and sqrt only), its independent entries, rows and column pairs shared
        # among a team of lanes, each sum still taken in the host's order
        np.testing.assert_array_equal(got, host)
    else:
        # the host's library routines (orders from LAPACK_NT_FROM on, with host LAPACK), or
        # a device math library off by an ulp: backward stable both, so on these
        # well-conditioned pairs (eigenvalues in [1, 2]) they agree to a small multiple of
        # n eps |H|
        np.testing.assert_allclose(got, host, rtol=0, atol=1e-12 * np.abs(host).max())
    for t, (si, zi) in enumerate(pairs):
        H = got[t * m * m:(t + 1) * m * m].reshape(m, m)
        np.testing.assert_allclose(H @ si, zi, rtol=0, atol=1e-11 * np.abs(zi).max())
    if n >= 3:
        custom = device_nt(cones, dev, cone, s, z, batch, "nt_scaling_matrix_batch_custom_into")
        np.testing.assert_array_equal(custom, got)
    else:
        cublas = device_nt(cones, dev, cone, s, z, batch, "nt_scaling_matrix_batch_cublas_into")
        np.testing.assert_array_equal(cublas, got)
    if batch == 1:
        single = dev.empty(m * m)
        cone.nt_scaling_matrix_into(dev.array(s), dev.array(z), single)
        np.testing.assert_array_equal(dev.to_numpy(single), got)


def declared_dynamic_shared(kernel):
    """The most dynamic shared bytes per block that scripts/kernel_budgets.py allows the
    kernel's launcher."""
    import importlib.util
    path = Path(__file__).resolve().parent.parent / "scripts" / "kernel_budgets.py"
    loader_entry = importlib.util.spec_from_file_location("kernel_budgets", path)
    budgets = importlib.util.module_from_spec(loader_entry)
    loader_entry.loader.exec_module(budgets)
    return budgets.DYNAMIC_SHARED[kernel]


@pytest.mark.parametrize("n, batch", [(3, 70), (17, 11), (32, 5)])
def test_device_general_path_mixes_interior_and_refused_pairs(cones, dev, rng, n, batch):
    """Many items per launch, each computed by its own lanes in its own shared memory:
    interior pairs at scales far apart get the host's H (as in
    test_device_nt_scaling_matches_host), and each pair that is not interior (a NaN or an
    infinite entry, S or Z indefinite at the first or only at the last pivot) gets NaN
    entries alone, whatever shares its block. One launch covers the batch, small orders
    several items to a block, every block within its declared shared memory and holding
    two n x n matrices per item."""
    cone = cones.PsdConeCpp(n)
    m = cone.rows
    pairs = [list(interior_pair(rng, n, 10.0 ** rng.uniform(-6, 6), 10.0 ** rng.uniform(-6, 6)))
             for _ in range(batch)]
    flipped = np.eye(n)
    flipped[0, 0] = -1.0  # fails at the first pivot
    late = np.eye(n)
    late[-1, -1] = -1e-3  # fails at the last pivot only
    refused = {1: (0, m // 2, np.nan), 2: (1, m - 1, np.inf), batch // 2: (0, None, flipped),
               batch - 1: (1, None, late)}
    for t, (which, k, bad) in refused.items():
        if k is None:
            pairs[t][which] = svec(bad)
        else:
            pairs[t][which][k] = bad
    s, z = (np.concatenate([p[w] for p in pairs]) for w in (0, 1))
    dev.clear_launches()
    got = device_nt(cones, dev, cone, s, z, batch).reshape(batch, m, m)
    exact = not uses_lapack(cones, n, LAPACK_NT_FROM)
    for t, (si, zi) in enumerate(pairs):
        if t in refused:
            assert np.isnan(got[t]).all(), f"pair {t}"
            continue
        host = np.empty(m * m)
        cone.nt_scaling_matrix_into(si, zi, host)
        host = host.reshape(m, m)
        if exact:
            np.testing.assert_array_equal(got[t], host, err_msg=f"pair {t}")
        else:
            np.testing.assert_allclose(got[t], host, rtol=0, atol=1e-12 * np.abs(host).max(), err_msg=f"pair {t}")
    (_, grid, block, shared, status), = [e for e in dev.launch_records() if e[0] == "psd_general_w_kernel"]
    assert status == 0 and block[0] % 32 == 0 and block[1:] == (1, 1) and grid[1:] == (1, 1)
    items_per_block = -(-batch // grid[0])
    if n <= 17:
        assert items_per_block > 1
    assert 2 * n * n * 8 * items_per_block <= shared <= declared_dynamic_shared("psd_general_w_kernel")


@pytest.mark.parametrize("n", [1, 2, 3, 5, 12])
def test_device_nt_scaling_near_the_boundary(cones, dev, n):
    """The accuracy property of test_nt_scaling_near_the_boundary on the device: the batch
    kernels, and the sparse fill (its dense operator for orders 1 and 2, its own W kernel
    and gather above), whose values are those of the batch operator."""
    cone = cones.PsdConeCpp(n)
    m = cone.rows
    cases = boundary_cases(n)
    got = device_nt(cones, dev, cone, np.concatenate([c.s for c in cases]), np.concatenate([c.z for c in cases]),
                    len(cases))
    indptr, indices = dense_csr(m)
    d_indptr, d_indices = dev.array(indptr), dev.array(indices)
    for t, case in enumerate(cases):
        H = got[t * m * m:(t + 1) * m * m]
        assert_nt_accurate(H.reshape(m, m), case, f"device, pair {t}")
        values = dev.empty(m * m)
        cone.hmatrix_csr_values_into(dev.array(case.s), dev.array(case.z), d_indptr, d_indices, values)
        np.testing.assert_array_equal(dev.to_numpy(values), H)


def test_device_method_refusals(cones, dev, rng, emu):
    c3 = cones.PsdConeCpp(3)
    s, z = interior_pair(rng, 3)
    out = dev.empty(36)
    with pytest.raises(RuntimeError, match="^CUDA PSD cuBLAS NT scaling requires VELKORA_USE_CUBLAS=ON$"):
        c3.nt_scaling_matrix_batch_cublas_into(dev.array(s), dev.array(z), out, 1)
    c33 = cones.PsdConeCpp(33)
    m = c33.rows
    s33 = dev.array(svec(np.eye(33)))
    out33 = dev.empty(m * m)
    dev.clear_launches()
    with pytest.raises(RuntimeError, match="^CUDA PSD custom NT scaling currently supports dim <= 32$"):
        c33.nt_scaling_matrix_batch_custom_into(s33, s33, out33, 1)
    # the launcher's own limit comes before any allocation: a pending allocation failure
    # is not reached
    emu.fail_next("cudaMallocAsync", 2)
    for call in (lambda: c33.nt_scaling_matrix_batch_into(s33, s33, out33, 1),
                 lambda: c33.nt_scaling_matrix_into(s33, s33, out33),
                 lambda: c33.nt_scaling_matrix_batch_cublas_into(s33, s33, out33, 1)):
        with pytest.raises(RuntimeError, match="^CUDA PSD NT scaling currently supports dim <= 32$"):
            call()
    assert dev.launches() == []
    emu.reset()
    # batch 0: nothing launched, nothing allocated
    c3.nt_scaling_matrix_batch_into(dev.empty(0), dev.empty(0), dev.empty(0), 0)
    assert dev.launches() == []


@pytest.mark.parametrize("kernel", ["psd_general_w_kernel", "psd_general_operator_from_w_kernel"])
def test_device_scratch_released_on_failure(cones, dev, rng, emu, kernel):
    """A failing launch must not leak the stream-ordered scratch (the fixture counts
    live device allocations)."""
    cone = cones.PsdConeCpp(4)
    s, z = interior_pair(rng, 4)
    emu.fail_next(kernel, 2)
    with pytest.raises(RuntimeError, match=f"^{kernel} failed: "):
        device_nt(cones, dev, cone, s, z, 1)


@pytest.mark.parametrize("n", [0, 1, 2, 3, 7])
def test_device_conversions(cones, dev, rng, n):
    m = m_of(n)
    v = rng.standard_normal(m)
    out = dev.empty(n * n)
    cones.psd_smat_into(dev.array(v), out, n)
    np.testing.assert_array_equal(dev.to_numpy(out), smat(v, n).ravel())
    M = rng.standard_normal((n, n))
    M[np.triu_indices(n, 1)] = np.nan  # never read
    out = dev.empty(m)
    cones.psd_svec_into(dev.array(M.ravel()), out, n)
    np.testing.assert_array_equal(dev.to_numpy(out), svec(np.tril(M)))
    back = dev.empty(m)
    full = dev.empty(n * n)
    cones.psd_smat_into(dev.array(v), full, n)
    cones.psd_svec_into(full, back, n)
    np.testing.assert_allclose(dev.to_numpy(back), v, rtol=2 * EPS, atol=0)
    with pytest.raises(RuntimeError, match="^input and output must live on the same device$"):
        cones.psd_smat_into(dev.array(v), np.zeros(n * n), n)


def test_device_general_kernel_keeps_work_matrices_in_scratch(cones, dev):
    """No kernel keeps n x n work matrices in per-thread local arrays: local memory is reserved
    by the runtime for every thread that could be resident, gigabytes on a large card. The
    general NT kernel keeps them in shared memory, the one-thread-per-item interior-point
    kernels in the launcher's scratch. The emulated build records each function's stack frame
    (-fstack-usage); every kernel's frame stays below 1024 bytes, and no function of the
    source file comes near one 32 x 32 matrix (8192 bytes). A bound per function, not on the
    file's total, which grows with the number of launchers (and with the redzones of the
    sanitizer build) without any frame holding a matrix."""
    if not dev.emulated:
        pytest.skip("stack frames are recorded by the emulated build")
    su = Path(cones.__file__).parent / "CMakeFiles" / "velkora_core.dir" / "cones" / "psd" / "psd.cu.su"
    assert su.exists(), f"missing {su}: the emulated build must compile the device sources with -fstack-usage"
    frames = {}
    for line in su.read_text().splitlines():
        location, size, _kind = line.rsplit("\t", 2)
        frames[location] = int(size)
    kernel = [size for loc, size in frames.items() if "psd_general_w_kernel(" in loc]
    assert len(kernel) == 1
    kernels = [size for loc, size in frames.items() if "_kernel(" in loc]
    assert max(kernels) <= 1024
    assert max(frames.values()) <= 4096
