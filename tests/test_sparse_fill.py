"""Sparse H fill into caller CSR and COO value arrays, on the host and (emulated) device:
the values written equal the dense H at the stored positions, rows outside the block are
untouched, and malformed structures are refused (host) or never written outside (device)."""
import numpy as np
import pytest

from dlpack_tags import KDL_CUDA, TaggedArray


def svec(m):
    rows, cols = np.tril_indices(m.shape[0])
    return m[rows, cols] * np.where(rows == cols, 1.0, np.sqrt(2.0))


def spd(rng, n, scale=1.0):
    a = rng.standard_normal((n, n))
    return scale * (a @ a.T + n * np.eye(n))


def soc_point(rng, n):
    tail = rng.standard_normal(n - 1)
    return np.concatenate([[np.linalg.norm(tail) * rng.uniform(1.1, 2.0) + 0.1], tail])


def exp_point(rng, blocks):
    x = rng.uniform(-2.0, 1.0, blocks)
    y = rng.uniform(0.5, 2.0, blocks)
    z = y * np.exp(x / y) + rng.uniform(0.1, 1.0, blocks)
    return np.stack([x, y, z], axis=1).reshape(-1)


# family -> (constructor, interior pair generator, tolerance of sparse vs dense H)
FAMILIES = {
    "zero": (lambda c: c.ZeroConeCpp(4), lambda rng, k: (np.zeros(4), np.zeros(4)), 0.0),
    "nonnegative": (lambda c: c.NonnegativeConeCpp(5), lambda rng, k: (rng.uniform(0.5, 2, 5), rng.uniform(0.5, 2, 5)),
                    0.0),
    "second_order": (lambda c: c.SecondOrderConeCpp(6), lambda rng, k: (soc_point(rng, 6), soc_point(rng, 6)), 0.0),
    "exponential": (lambda c: c.ExponentialConeCpp(2), lambda rng, k: (exp_point(rng, 2), exp_point(rng, 2)), 1e-15),
    "psd2": (lambda c: c.PsdConeCpp(2), lambda rng, k: (svec(spd(rng, 2)), svec(spd(rng, 2))), 0.0),
    "psd3": (lambda c: c.PsdConeCpp(3), lambda rng, k: (svec(spd(rng, 3)), svec(spd(rng, 3))), 0.0),
}


@pytest.fixture(params=list(FAMILIES))
def family(request, cones):
    make, pair, tol = FAMILIES[request.param]
    cone = make(cones)
    return request.param, cone, pair, tol


def random_csr(rng, n_rows, n_cols, density=0.5, duplicates=True, diagonal=0.0):
    """CSR arrays with unsorted and (optionally) duplicated column indices per row; with
    probability `diagonal` a row stores just its own diagonal entry instead."""
    indptr = [0]
    indices = []
    for row in range(n_rows):
        if rng.random() < diagonal:
            indices.append(row)
            indptr.append(len(indices))
            continue
        cols = np.flatnonzero(rng.random(n_cols) < density)
        if duplicates and cols.size:
            cols = np.concatenate([cols, rng.choice(cols, size=min(2, cols.size))])
        rng.shuffle(cols)
        indices.extend(cols.tolist())
        indptr.append(len(indices))
    return np.array(indptr, dtype=np.int64), np.array(indices, dtype=np.int64)


def expected_csr(values, indptr, indices, h, offset):
    out = values.copy()
    rows = h.shape[0]
    for r in range(rows):
        for p in range(indptr[offset + r], indptr[offset + r + 1]):
            c = indices[p] - offset
            out[p] = h[r, c] if 0 <= c < rows else 0.0
    return out


def expected_coo(values, row_idx, col_idx, h, offset):
    out = values.copy()
    rows = h.shape[0]
    for p, (i, j) in enumerate(zip(row_idx, col_idx)):
        r, c = i - offset, j - offset
        if 0 <= r < rows:
            out[p] = h[r, c] if 0 <= c < rows else 0.0
    return out


@pytest.mark.parametrize("diagonal", [0.0, 0.7], ids=["random", "mostly-diagonal"])
@pytest.mark.parametrize("offset", [0, 3])
def test_csr_matches_dense_h(family, rng, offset, diagonal):
    name, cone, pair, tol = family
    s, z = pair(rng, 0)
    rows = cone.rows
    h = cone.nt_scaling_matrix_array(s, z)
    n = offset + rows + 2
    indptr, indices = random_csr(rng, n, n, diagonal=diagonal)
    values = rng.standard_normal(indices.size)
    want = expected_csr(values, indptr, indices, h, offset)
    cone.hmatrix_csr_values_into(s, z, indptr, indices, values, offset)
    np.testing.assert_allclose(values, want, rtol=tol, atol=tol)
    if tol == 0.0:
        np.testing.assert_array_equal(values, want)


@pytest.mark.parametrize("row", [0, 31, 32, 70, 99])
@pytest.mark.parametrize("kind", ["none", "extra", "moved", "negative"])
def test_nonnegative_csr_long_diagonal_stretches(cones, rng, kind, row):
    """Rows that store only their diagonal, with one row at `row` that does not (an extra
    entry, an off-diagonal one, or a negative column that stops the fill there)."""
    n, offset = 100, 3
    cone = cones.NonnegativeConeCpp(n)
    s, z = rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)
    stored = [[g] for g in range(offset + n + 2)]
    g = offset + row
    stored[g] = {"none": [g], "extra": [g, 0], "moved": [g + 1], "negative": [-1]}[kind]
    indptr = np.cumsum([0] + [len(cols) for cols in stored]).astype(np.int64)
    indices = np.array([c for cols in stored for c in cols], dtype=np.int64)
    values = rng.standard_normal(indices.size)
    want = expected_csr(values, indptr, np.maximum(indices, 0), np.diag(z / s), offset)
    if kind == "negative":
        want[indptr[g]:] = values[indptr[g]:]  # the rows before the failing one are written
        with pytest.raises(RuntimeError, match="CSR indices must be nonnegative"):
            cone.hmatrix_csr_values_into(s, z, indptr, indices, values, offset)
    else:
        cone.hmatrix_csr_values_into(s, z, indptr, indices, values, offset)
    np.testing.assert_array_equal(values, want)


@pytest.mark.parametrize("offset", [0, 2])
def test_coo_matches_dense_h(family, rng, offset):
    name, cone, pair, tol = family
    s, z = pair(rng, 0)
    rows = cone.rows
    h = cone.nt_scaling_matrix_array(s, z)
    n = offset + rows + 3
    count = 4 * n
    row_idx = rng.integers(0, n, count).astype(np.int64)
    col_idx = rng.integers(0, n, count).astype(np.int64)
    # entries of other rows with negative columns keep their values
    outside = np.flatnonzero((row_idx < offset) | (row_idx >= offset + rows))
    col_idx[outside[:3]] = -5
    values = rng.standard_normal(count)
    want = expected_coo(values, row_idx, col_idx, h, offset)
    cone.hmatrix_coo_values_into(s, z, row_idx, col_idx, values, offset)
    np.testing.assert_allclose(values, want, rtol=tol, atol=tol)


def test_kkt_matrix_of_several_cones(cones, rng):
    """Cones side by side on the diagonal of one SciPy CSR matrix: each fills its block."""
    sp = pytest.importorskip("scipy.sparse")
    blocks = []
    for name, (make, pair, tol) in FAMILIES.items():
        cone = make(cones)
        blocks.append((cone, *pair(rng, 0)))
    total = sum(c.rows for c, _, _ in blocks)
    pattern = sp.random(total, total, density=0.3, random_state=1, format="csr") + sp.eye(total, format="csr")
    pattern = pattern.tocsr()
    pattern.data[:] = 99.0
    dense_expected = np.full((total, total), np.nan)
    offset = 0
    for cone, s, z in blocks:
        cone.hmatrix_csr_values_into(s, z, pattern.indptr.astype(np.int64), pattern.indices.astype(np.int64),
                                     pattern.data, offset)
        r = cone.rows
        dense_expected[offset:offset + r, :] = 0.0
        dense_expected[offset:offset + r, offset:offset + r] = cone.nt_scaling_matrix_array(s, z)
        offset += r
    got = pattern.toarray()
    mask = pattern.copy()
    mask.data[:] = 1.0
    stored = mask.toarray() > 0
    np.testing.assert_allclose(got[stored], dense_expected[stored], rtol=1e-13, atol=1e-13)


# --- structural refusals (host) ------------------------------------------------------

def nonneg(cones):
    return cones.NonnegativeConeCpp(3), np.ones(3), np.full(3, 2.0)


def test_csr_edge_case_from_the_contract(cones):
    cone = cones.NonnegativeConeCpp(3)
    s, z = np.array([1.0, 2.0, 4.0]), np.array([3.0, 3.0, 3.0])
    # 6 rows: rows 2..4 store their diagonal and column 0; rows 0, 1, 5 one entry each
    indptr = np.array([0, 1, 2, 4, 6, 8, 9], dtype=np.int64)
    indices = np.array([0, 1, 2, 0, 0, 3, 4, 0, 5], dtype=np.int64)
    values = np.full(9, 9.0)
    cone.hmatrix_csr_values_into(s, z, indptr, indices, values, 2)
    assert values.tolist() == [9.0, 9.0, 3.0, 0.0, 0.0, 1.5, 0.75, 0.0, 9.0]


TOO_SHORT = "CSR indptr is too short for the requested cone row range"
MONOTONE = "CSR indptr entries must be monotone and within values length"


@pytest.mark.parametrize(
    "indptr, indices, offset, message, expected",
    [
        ([0, 1, 2], [0, 1], 0, TOO_SHORT, [9, 9]),
        ([0, 1, 2, 3], [0, 1, 2], 1, TOO_SHORT, [9, 9, 9]),
        ([0, 1, 2, 3], [0, 1, 2], 2**64 - 1, TOO_SHORT, [9, 9, 9]),
        ([0, 1, 2, 3], [0, 1, 2], 2**64 - 3, TOO_SHORT, [9, 9, 9]),
        ([0, 1, -1, 3], [0, 1, 2], 0, "CSR indptr must be nonnegative", [2, 9, 9]),
        ([-1, 1, 2, 3], [0, 1, 2], 0, "CSR indptr must be nonnegative", [9, 9, 9]),
        ([0, 2, 1, 3], [0, 1, 2], 0, MONOTONE, [2, 0, 9]),
        ([0, 1, 2, 4], [0, 1, 2], 0, MONOTONE, [2, 2, 9]),
        ([0, 1, 2, 3], [0, -1, 2], 0, "CSR indices must be nonnegative", [2, 9, 9]),
    ],
)
def test_csr_structural_failures(cones, indptr, indices, offset, message, expected):
    cone, s, z = nonneg(cones)
    values = np.full(len(indices), 9.0)
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_csr_values_into(s, z, np.array(indptr, dtype=np.int64), np.array(indices, dtype=np.int64),
                                     values, offset)
    assert str(info.value) == message
    # positions visited before the failure keep their new values, the rest are untouched
    assert values.tolist() == [float(v) for v in expected]


def test_csr_length_exactly_enough(cones):
    cone, s, z = nonneg(cones)
    indices = np.array([2, 0, 4, 3], dtype=np.int64)
    values = np.full(4, 9.0)
    cone.hmatrix_csr_values_into(s, z, np.array([5, 5, 0, 2, 3, 4], dtype=np.int64), indices, values, 2)
    # row 2 holds columns 2 and 0 (outside the block [2, 5)), row 3 column 4, row 4 column 3
    assert values.tolist() == [2.0, 0.0, 0.0, 0.0]


def test_coo_refusals_and_skipped_rows(cones):
    cone, s, z = nonneg(cones)
    rows = np.array([5, 0, 1, 9, 2], dtype=np.int64)
    cols = np.array([-3, 0, 1, -1, 0], dtype=np.int64)
    values = np.full(5, 9.0)
    cone.hmatrix_coo_values_into(s, z, rows, cols, values, 0)
    assert values.tolist() == [9.0, 2.0, 2.0, 9.0, 0.0]
    values = np.full(5, 9.0)
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_coo_values_into(s, z, np.array([0, 1, -1, 2, 0]), np.zeros(5, dtype=np.int64), values)
    assert str(info.value) == "COO row_indices must be nonnegative"
    assert values.tolist() == [2.0, 0.0, 9.0, 9.0, 9.0]
    values = np.full(2, 9.0)
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_coo_values_into(s, z, np.array([0, 1]), np.array([0, -2]), values)
    assert str(info.value) == "COO col_indices must be nonnegative"
    assert values.tolist() == [2.0, 9.0]
    # an offset near 2^64 must not wrap rows into the block
    values = np.full(2, 9.0)
    cone.hmatrix_coo_values_into(s, z, np.array([0, 1]), np.array([0, 1]), values, 2**64 - 1)
    assert values.tolist() == [9.0, 9.0]


def test_argument_checks_and_order(cones):
    cone, s, z = nonneg(cones)
    i3 = np.arange(3, dtype=np.int64)
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_coo_values_into(s, z, i3, np.arange(4, dtype=np.int64), np.zeros(3))
    assert str(info.value) == "COO col_indices expected 3 entries, got 4"
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_coo_values_into(s, z, i3, np.arange(4, dtype=np.int64), np.zeros(4))
    assert str(info.value) == "values expected 3 entries, got 4"
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_csr_values_into(s, z, TaggedArray(4, 3, dtype=np.int64), i3, np.zeros(3))
    assert str(info.value) == "indptr must be on CPU or CUDA"
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_csr_values_into(s, z, TaggedArray(4, KDL_CUDA, dtype=np.int64), i3, np.zeros(3))
    assert str(info.value) == "first sparse index must live on the same device as the cone vectors"
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_coo_values_into(s, z, i3, TaggedArray(3, KDL_CUDA, dtype=np.int64), np.zeros(3))
    assert str(info.value) == "second sparse index must live on the same device as the cone vectors"
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_csr_values_into(s, z, i3, i3, TaggedArray(3, KDL_CUDA))
    assert str(info.value) == "input and output must live on the same device"
    with pytest.raises(TypeError):
        cone.hmatrix_csr_values_into(s, z, i3.astype(np.int32), i3, np.zeros(3))
    # the cone's precondition comes before the structural walk, nothing written
    values = np.full(3, 9.0)
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_csr_values_into(np.array([1.0, 0.0, 1.0]), z, np.array([0], dtype=np.int64), i3, values)
    assert str(info.value) == "nonnegative sparse H fill requires strictly positive inputs"
    assert np.all(values == 9.0)


# --- device (emulated) -----------------------------------------------------------------

def test_device_csr_and_coo_match_host(family, dev, rng):
    name, cone, pair, tol = family
    s, z = pair(rng, 0)
    offset = 2
    n = offset + cone.rows + 2
    indptr, indices = random_csr(rng, n, n)
    values = rng.standard_normal(indices.size)
    host = values.copy()
    cone.hmatrix_csr_values_into(s, z, indptr, indices, host, offset)
    d_values = dev.array(values)
    cone.hmatrix_csr_values_into(dev.array(s), dev.array(z), dev.array(indptr), dev.array(indices), d_values, offset)
    np.testing.assert_allclose(dev.to_numpy(d_values), host, rtol=1e-12, atol=1e-14)
    if name == "second_order":  # host and device form the scaling point in one operation order
        np.testing.assert_array_equal(dev.to_numpy(d_values), host)

    row_idx = rng.integers(-1, n, 3 * n).astype(np.int64)
    col_idx = rng.integers(0, n, 3 * n).astype(np.int64)
    row_idx[row_idx < 0] = n + 5  # the host refuses negative rows; keep the comparison on valid input
    values = rng.standard_normal(row_idx.size)
    host = values.copy()
    cone.hmatrix_coo_values_into(s, z, row_idx, col_idx, host, offset)
    d_values = dev.array(values)
    cone.hmatrix_coo_values_into(dev.array(s), dev.array(z), dev.array(row_idx), dev.array(col_idx), d_values, offset)
    np.testing.assert_allclose(dev.to_numpy(d_values), host, rtol=1e-12, atol=1e-14)
    if name == "second_order":
        np.testing.assert_array_equal(dev.to_numpy(d_values), host)


def test_device_malformed_structure_stays_inside_values(cones, dev, emu):
    """Garbage row pointers and indices: nothing written outside `values` (the emulator's
    guard pages and fault counter would show it), positions past nnz skipped, bad rows
    skipped, negative columns cleared, a huge `end` does not keep threads looping."""
    cone = cones.NonnegativeConeCpp(4)
    s, z = dev.array(np.ones(4)), dev.array(np.full(4, 3.0))
    indptr = np.array([2, 1, -5, 3, 2**62], dtype=np.int64)  # rows: bad, negative, ok, past nnz
    indices = np.array([0, -1, 3, 3, 7], dtype=np.int64)
    values = dev.array(np.full(5, 9.0))
    cone.hmatrix_csr_values_into(s, z, dev.array(indptr), dev.array(indices), values)
    # row 2 (start 3 .. end 3) writes nothing; row 3 covers 2..nnz: positions 3 and 4
    assert dev.to_numpy(values).tolist() == [9.0, 9.0, 9.0, 3.0, 0.0]

    values = dev.array(np.full(4, 9.0))
    cone.hmatrix_coo_values_into(s, z, dev.array(np.array([-1, 0, 7, 2])), dev.array(np.array([0, -4, 1, 2])), values)
    assert dev.to_numpy(values).tolist() == [0.0, 0.0, 9.0, 3.0]


def test_device_refusals_before_launch(cones, dev):
    cone = cones.NonnegativeConeCpp(3)
    s, z = dev.array(np.ones(3)), dev.array(np.ones(3))
    values = dev.array(np.full(3, 9.0))
    dev.clear_launches()
    for offset in (1, 2**64 - 1, 2**64 - 4):
        with pytest.raises(RuntimeError) as info:
            cone.hmatrix_csr_values_into(s, z, dev.array(np.array([0, 1, 2, 3])), dev.array(np.arange(3)), values, offset)
        assert str(info.value) == "CSR indptr is too short for the requested cone row range"
    # COO with no stored entries: nothing to launch
    cone.hmatrix_coo_values_into(s, z, dev.array(np.zeros(0, dtype=np.int64)), dev.array(np.zeros(0, dtype=np.int64)),
                                 dev.empty(0))
    assert dev.launches() == []
    assert dev.to_numpy(values).tolist() == [9.0] * 3
    # CSR with no stored entries still visits its rows and writes nothing
    empty = dev.empty(0)
    cone.hmatrix_csr_values_into(s, z, dev.array(np.zeros(4, dtype=np.int64)), dev.array(np.zeros(0, dtype=np.int64)),
                                 empty)
    assert dev.launches() == ["nonnegative_hmatrix_csr_kernel"]


# --- per-family preconditions and block structure -------------------------------------

def dense_csr(n):
    indptr = np.arange(0, n * n + 1, n, dtype=np.int64)
    indices = np.tile(np.arange(n, dtype=np.int64), n)
    return indptr, indices


def test_zero_cone_requires_exact_zeros(cones):
    cone = cones.ZeroConeCpp(2)
    indptr, indices = dense_csr(2)
    values = np.full(4, 9.0)
    cone.hmatrix_csr_values_into(np.array([0.0, -0.0]), np.zeros(2), indptr, indices, values)
    assert values.tolist() == [1.0, 0.0, 0.0, 1.0]
    for s, z in (([1e-300, 0.0], [0.0, 0.0]), ([0.0, 0.0], [0.0, np.nan])):
        values = np.full(4, 9.0)
        with pytest.raises(RuntimeError) as info:
            cone.hmatrix_coo_values_into(np.array(s), np.array(z), np.array([0, 1]), np.array([0, 1]), values[:2])
        assert str(info.value) == "zero-cone sparse H fill requires zero primal and dual inputs"
        assert np.all(values == 9.0)


@pytest.mark.parametrize(
    "s, ok",
    [((-1.0, 0.0, 0.0), True), ((0.0, 0.0, 1.0), False), ((-1.0, 0.0, -1e-300), False), ((0.0, 1.0, 1.0), False),
     ((0.0, 1.0, 1.0000001), True), ((800.0, 1.0, 1e308), False)],
)
def test_exponential_sparse_interior_test(cones, s, ok):
    """x1 > 0 needs x2 > exp(x0/x1) x1 with an unclamped ratio (exp(800) is inf); the
    boundary piece x1 = 0 needs x0 < 0 and x2 >= 0."""
    cone = cones.ExponentialConeCpp(1)
    z = np.array([-1.0, 1.0, 2.0])
    indptr, indices = dense_csr(3)
    values = np.full(9, 9.0)
    if ok:
        cone.hmatrix_csr_values_into(np.array(s), z, indptr, indices, values)
        assert np.all(np.isfinite(values))
        np.testing.assert_allclose(values.reshape(3, 3) @ np.array(s), z, atol=1e-12)
    else:
        with pytest.raises(RuntimeError) as info:
            cone.hmatrix_csr_values_into(np.array(s), z, indptr, indices, values)
        assert str(info.value) == "exponential sparse H fill requires strictly interior inputs"
        assert np.all(values == 9.0)


def test_exponential_blocks_do_not_couple(cones, rng):
    cone = cones.ExponentialConeCpp(2)
    s, z = exp_point(rng, 2), exp_point(rng, 2)
    h = cone.nt_scaling_matrix_array(s, z)
    rows = np.array([4, 2, 0, 5], dtype=np.int64)
    cols = np.array([5, 3, 2, 3], dtype=np.int64)
    values = np.full(4, 9.0)
    cone.hmatrix_coo_values_into(s, z, rows, cols, values)
    np.testing.assert_allclose(values, [h[4, 5], 0.0, h[0, 2], h[5, 3]], rtol=1e-15, atol=1e-15)
    assert values[1] == 0.0


@pytest.mark.parametrize(
    "order, kernels",
    [(1, ["psd1_nt_scaling_kernel", "dense_csr_gather_kernel"]),
     (2, ["psd2_nt_scaling_kernel", "dense_csr_gather_kernel"]),
     (3, ["psd_general_w_kernel", "psd_w_csr_gather_kernel"]),
     (7, ["psd_general_w_kernel", "psd_w_csr_gather_kernel"])],
)
def test_device_psd_gather_paths(cones, dev, rng, order, kernels):
    cone = cones.PsdConeCpp(order)
    m = cone.rows
    s, z = svec(spd(rng, order)), svec(spd(rng, order))
    indptr, indices = dense_csr(m)
    host = np.zeros(m * m)
    cone.hmatrix_csr_values_into(s, z, indptr, indices, host)
    # the host fill reads the dense forms' scaling point W entry by entry
    np.testing.assert_array_equal(host.reshape(m, m), cone.nt_scaling_matrix_array(s, z))
    d_values = dev.empty(m * m)
    dev.clear_launches()
    cone.hmatrix_csr_values_into(dev.array(s), dev.array(z), dev.array(indptr), dev.array(indices), d_values)
    assert dev.launches() == kernels
    # orders 1 and 2 gather the closed forms' operator: the general path's up to rounding
    np.testing.assert_allclose(dev.to_numpy(d_values), host, rtol=0, atol=8 * np.finfo(float).eps * np.abs(host).max())


def test_device_psd_order_limit_before_scratch(cones, dev, emu):
    """Order 33 is refused before any scratch is allocated: a pending allocation failure
    stays pending and nothing is launched."""
    cone = cones.PsdConeCpp(33)
    m = cone.rows
    s = dev.array(svec(np.eye(33)))
    indptr = dev.array(np.zeros(m + 1, dtype=np.int64))
    emu.fail_next("cudaMallocAsync", 2)
    dev.clear_launches()
    for call in (lambda: cone.hmatrix_csr_values_into(s, s, indptr, dev.array(np.zeros(1, dtype=np.int64)), dev.empty(1)),
                 lambda: cone.hmatrix_coo_values_into(s, s, dev.array(np.zeros(1, dtype=np.int64)),
                                                      dev.array(np.zeros(1, dtype=np.int64)), dev.empty(1))):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "CUDA PSD NT scaling currently supports dim <= 32"
    assert dev.launches() == []
    assert emu.pending_injections() == 1


@pytest.mark.parametrize("failing", ["psd_general_w_kernel", "psd_w_coo_gather_kernel", "cudaMallocAsync"])
def test_device_psd_w_gather_releases_scratch_on_failure(cones, dev, emu, rng, failing):
    cone = cones.PsdConeCpp(3)
    s = dev.array(svec(spd(rng, 3)))
    rows = dev.array(np.arange(6, dtype=np.int64))
    values = dev.array(np.full(6, 9.0))
    emu.fail_next(failing, 2)
    with pytest.raises(RuntimeError, match=f"^{failing} failed: "):
        cone.hmatrix_coo_values_into(s, s, rows, rows, values)
    # the dev fixture proves the stream-ordered scratch was released


@pytest.mark.parametrize("which", ["s", "z"])
def test_second_order_boundary_refused_before_writing(cones, rng, which):
    cone = cones.SecondOrderConeCpp(3)
    inside, boundary = np.array([2.0, 0.5, 0.5]), np.array([1.0, 0.6, 0.8])
    s, z = (boundary, inside) if which == "s" else (inside, boundary)
    indptr, indices = dense_csr(3)
    values = np.full(9, 9.0)
    with pytest.raises(RuntimeError) as info:
        cone.hmatrix_csr_values_into(s, z, indptr, indices, values)
    assert str(info.value) == "SOC sparse H fill requires strictly interior cone vectors"
    assert np.all(values == 9.0)


def test_second_order_large_cone_matches_parallel_dense(cones, rng):
    """n >= 256: the dense forms compute columns in parallel, the sparse fill on the calling
    thread; both follow one recipe per column, so the values agree exactly."""
    n = 300
    cone = cones.SecondOrderConeCpp(n)
    s, z = soc_point(rng, n), soc_point(rng, n)
    indptr, indices = dense_csr(n)
    values = np.empty(n * n)
    cone.hmatrix_csr_values_into(s, z, indptr, indices, values)
    np.testing.assert_array_equal(values, cone.nt_scaling_matrix_array(s, z).reshape(-1))
