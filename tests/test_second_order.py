"""Second-order cone: host arithmetic against closed forms evaluated in NumPy, the
Nesterov-Todd matrix against an independent closed form and a dense evaluation of the
quadratic representations, and the device paths (emulated) against the host."""
import math

import numpy as np
import pytest

from dlpack_tags import KDL_CUDA, TaggedArray

EPS = np.finfo(float).eps
INTERIOR_MSG = "SOC NT scaling requires strictly interior cone vectors"
CUBLAS_HOST_MSG = "SOC cuBLAS NT scaling requires CUDA arrays"
CUBLAS_DEVICE_MSG = "CUDA SOC cuBLAS NT scaling requires VELKORA_USE_CUBLAS=ON"
NT_BATCH_METHODS = ["nt_scaling_matrix_batch_into", "nt_scaling_matrix_batch_custom_into"]


# --- references (NumPy) -----------------------------------------------------------

def ref_project(x):
    """Closed-form Euclidean projection onto {x : x_0 >= ||x_bar||}."""
    t, r = x[0], np.linalg.norm(x[1:])
    if r <= t:
        return x.copy()
    if r <= -t:
        return np.zeros_like(x)
    p = np.empty_like(x)
    p[0] = (t + r) / 2
    p[1:] = (t + r) / 2 * x[1:] / r
    return p


def ref_distance(x):
    """Distance from the spectral values: x = l1 c1 + l2 c2 with ||c_i|| = 1/sqrt(2)."""
    r = np.linalg.norm(x[1:])
    l1, l2 = x[0] + r, x[0] - r
    return np.sqrt((min(l1, 0.0) ** 2 + min(l2, 0.0) ** 2) / 2)


def lorentz_j(n):
    return np.diag([1.0] + [-1.0] * (n - 1))


def ref_nt_closed_form(s, z):
    """NT matrix H = (2 (Jw)(Jw)^T - J) / eta^2 from the normalised scaling point w."""
    n = len(s)
    J = lorentz_j(n)
    a = np.sqrt(s @ J @ s)
    b = np.sqrt(z @ J @ z)
    gamma = np.sqrt((s @ z / (a * b) + 1) / 2)
    w = (s / a + J @ z / b) / (2 * gamma)
    eta2 = a / b
    jw = J @ w
    return (2 * np.outer(jw, jw) - J) / eta2


def jordan_power(x, p):
    """x^p from the spectral decomposition x = l1 c1 + l2 c2."""
    r = np.linalg.norm(x[1:])
    direction = x[1:] / r if r > 0 else np.eye(len(x) - 1)[0] if len(x) > 1 else x[1:]
    c1 = 0.5 * np.concatenate(([1.0], direction))
    c2 = 0.5 * np.concatenate(([1.0], -direction))
    return (x[0] + r) ** p * c1 + (x[0] - r) ** p * c2


def quad_rep(x):
    """Dense quadratic representation Q(x) = 2 x x^T - (x^T J x) J."""
    J = lorentz_j(len(x))
    return 2 * np.outer(x, x) - (x @ J @ x) * J


def ref_nt_quadratic(s, z):
    """Q(s^-1/2) Q((Q(s^1/2) z)^1/2) Q(s^-1/2), formed densely."""
    qa = quad_rep(jordan_power(s, -0.5))
    u = quad_rep(jordan_power(s, 0.5)) @ z
    return qa @ quad_rep(jordan_power(u, 0.5)) @ qa


def ref_nt_unsymmetric(s, z):
    """Q(s^1/2) Q((Q(s^-1/2) z)^1/2) Q(s^-1/2): maps s to z as well, symmetric only for n <= 2."""
    u = quad_rep(jordan_power(s, -0.5)) @ z
    return quad_rep(jordan_power(s, 0.5)) @ quad_rep(jordan_power(u, 0.5)) @ quad_rep(jordan_power(s, -0.5))


def interior(rng, n, margin=None, scale=1.0):
    x = rng.standard_normal(n)
    x[0] = np.linalg.norm(x[1:]) + (rng.uniform(0.05, 2.0) if margin is None else margin)
    return x * scale


def regime_vector(rng, n, regime):
    """A vector inside the cone, inside its polar, or strictly between the two."""
    x = rng.standard_normal(n) * 10.0 ** rng.uniform(-2, 2)
    r = np.linalg.norm(x[1:])
    if regime == "inside":
        x[0] = 1.5 * r + (1.0 if n == 1 else 0.0)
    elif regime == "polar":
        x[0] = -1.5 * r - (1.0 if n == 1 else 0.0)
    else:
        x[0] = rng.uniform(-0.9, 0.9) * r
    return x


def det_condition(x):
    """||x||^2 / (x^T J x): how much rounding of x's entries moves its Lorentz determinant."""
    t = np.linalg.norm(x[1:])
    return (x @ x) / ((x[0] - t) * (x[0] + t))


def nt_tolerance(s, z, H):
    """Error bound of the form C * gamma_n * kappa: the Lorentz determinants formed from sums of
    n squares lose relative accuracy in proportion to the determinant conditions of s and z,
    and every entry of the matrix inherits that loss (as does each reference: the dense
    product of quadratic representations adds sums of n terms)."""
    return 8 * (len(s) + 8) * EPS * (det_condition(s) + det_condition(z)) * np.abs(H).max()


def regime_cases(sizes):
    """(n, regime) pairs; a one-entry cone has no vectors between the cone and its polar."""
    return [(n, r) for n in sizes for r in ("inside", "polar", "between") if n > 1 or r != "between"]


SIZES = [1, 2, 3, 7, 256, 257, 8192, 8193, 65537]
NT_SIZES = [1, 2, 3, 4, 5, 17, 64, 255, 256, 257, 300]


# --- host: projection, violation, membership -------------------------------------

@pytest.mark.parametrize("n, regime", regime_cases(SIZES))
def test_projection_matches_closed_form(cones, rng, n, regime):
    x = regime_vector(rng, n, regime)
    cone = cones.SecondOrderConeCpp(n)
    out = np.full(n, np.nan)
    cone.project_into(x, out)
    if regime == "inside":
        np.testing.assert_array_equal(out, x)
    elif regime == "polar":
        np.testing.assert_array_equal(out, np.zeros(n))
    else:
        np.testing.assert_allclose(out, ref_project(x), rtol=1e-13, atol=1e-14 * np.linalg.norm(x))
        # projected point on the boundary; Moreau: x = P(x) - P(-x) with P(x) . P(-x) = 0
        assert out[0] == pytest.approx(np.linalg.norm(out[1:]), rel=1e-13)
        neg = np.empty(n)
        cone.project_into(-x, neg)
        np.testing.assert_allclose(out - neg, x, rtol=0, atol=1e-13 * np.linalg.norm(x))
        assert abs(out @ neg) <= 1e-13 * (x @ x)
    in_place = x.copy()
    cone.project_into(in_place, in_place)
    np.testing.assert_array_equal(in_place, out)


@pytest.mark.parametrize(
    "x, expected",
    [([1.0, 2.0, 0.0], [1.5, 1.5, 0.0]), ([-3.0, 1.0, 0.0], [0.0, 0.0, 0.0]), ([3.0, 1.0, 0.0], [3.0, 1.0, 0.0]),
     ([3.0, 4.0, 0.0], [3.5, 3.5, 0.0]), ([5.0, 3.0, 4.0], [5.0, 3.0, 4.0]), ([-5.0, 3.0, 4.0], [0.0, 0.0, 0.0]),
     ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0]), ([2.5], [2.5]), ([-2.5], [0.0]), ([0.0], [0.0])],
)
def test_projection_hand_values(cones, x, expected):
    x = np.array(x)
    out = np.full(len(x), 9.0)
    cones.SecondOrderConeCpp(len(x)).project_into(x, out)
    assert out.tolist() == expected


@pytest.mark.parametrize("n, regime", regime_cases(SIZES))
def test_violation_matches_spectral_distance(cones, rng, n, regime):
    x = regime_vector(rng, n, regime)
    got = cones.SecondOrderConeCpp(n).violation(x)
    if regime == "inside":
        assert got == 0.0
    else:
        assert got == pytest.approx(ref_distance(x), rel=1e-12)


def test_violation_hand_values(cones):
    assert cones.SecondOrderConeCpp(3).violation(np.array([1.0, 2.0, 0.0])) == pytest.approx(np.sqrt(0.5), rel=1e-15)
    assert cones.SecondOrderConeCpp(3).violation(np.array([-5.0, 3.0, 4.0])) == np.sqrt(50.0)
    assert cones.SecondOrderConeCpp(1).violation(np.array([-2.0])) == 2.0
    assert cones.SecondOrderConeCpp(1).violation(np.array([3.0])) == 0.0
    assert np.isnan(cones.SecondOrderConeCpp(3).violation(np.array([np.nan, 1.0, 0.0])))


@pytest.mark.parametrize(
    "x, atol, expected",
    [([1.0, 1.000000001], 1e-8, True), ([1.0, 1.1], 1e-8, False), ([5.0, 3.0, 4.0], 0.0, True),
     ([4.0, 3.0, 4.0], 0.0, False), ([4.0, 3.0, 4.0], 1.0, True), ([4.0, 3.0, 4.0], 0.999, False),
     ([6.0, 3.0, 4.0], -1.0, True), ([6.0, 3.0, 4.0], -1.001, False), ([np.nan, 0.0], 1e-8, False),
     ([1.0, np.nan], 1e-8, False), ([-1e-9], 1e-8, True), ([-2e-8], 1e-8, False)],
)
def test_membership_values(cones, x, atol, expected):
    x = np.array(x)
    assert cones.SecondOrderConeCpp(len(x)).contains(x, atol) is expected


@pytest.mark.parametrize("n", [2, 8192, 8193, 65537])
def test_membership_against_tail_norm(cones, rng, n):
    x = rng.standard_normal(n)
    r = np.linalg.norm(x[1:])
    cone = cones.SecondOrderConeCpp(n)
    for factor, expected in ((1 + 1e-9, True), (1 - 1e-9, False)):
        x[0] = r * factor
        assert cone.contains(x, 0.0) is expected
    x[0] = r - 1e-3
    assert cone.contains(x, 2e-3) is True
    assert cone.contains(x, 5e-4) is False
    assert cone.contains(x) is False  # default atol 1e-8
    x[-1] = np.nan
    assert cone.contains(x, 1e3) is False


# --- host: NT scaling ------------------------------------------------------------

@pytest.mark.parametrize("n", NT_SIZES)
def test_nt_matches_closed_form(cones, rng, n):
    cone = cones.SecondOrderConeCpp(n)
    for margin, s_scale, z_scale in ((None, 1.0, 1.0), (1e-3, 1.0, 1.0), (None, 1e3, 1e-3), (0.5, 1e-2, 10.0)):
        s = interior(rng, n, margin, s_scale)
        z = interior(rng, n, None, z_scale)
        H = cone.nt_scaling_matrix_array(s, z)
        want = ref_nt_closed_form(s, z)
        tol = nt_tolerance(s, z, want)
        assert np.abs(H - want).max() <= tol
        np.testing.assert_array_equal(H, H.T)
        assert np.linalg.norm(H @ s - z) <= tol * np.linalg.norm(s)


@pytest.mark.parametrize("n", [1, 2, 3, 5, 17, 64, 256, 257])
def test_nt_matches_quadratic_representations(cones, rng, n):
    s, z = interior(rng, n), interior(rng, n)
    H = cones.SecondOrderConeCpp(n).nt_scaling_matrix_array(s, z)
    want = ref_nt_quadratic(s, z)
    assert np.abs(H - want).max() <= nt_tolerance(s, z, want)


@pytest.mark.parametrize("n", [1, 2])
def test_nt_agrees_with_unsymmetric_product_for_small_cones(cones, rng, n):
    for _ in range(5):
        s, z = interior(rng, n), interior(rng, n)
        H = cones.SecondOrderConeCpp(n).nt_scaling_matrix_array(s, z)
        want = ref_nt_unsymmetric(s, z)
        assert np.abs(H - want).max() <= nt_tolerance(s, z, want)


def test_nt_hand_values(cones):
    soc2 = cones.SecondOrderConeCpp(2)
    np.testing.assert_allclose(soc2.nt_scaling_matrix(np.array([2.0, 1.0]), np.array([1.0, 0.0])),
                               [2 / 3, -1 / 3, -1 / 3, 2 / 3], rtol=0, atol=4 * EPS)
    h1 = cones.SecondOrderConeCpp(1).nt_scaling_matrix(np.array([2.0]), np.array([3.0]))
    assert len(h1) == 1 and abs(h1[0] - 1.5) <= 8 * np.spacing(1.5)
    for n in (1, 3, 300):
        e = np.eye(n)[0]
        assert cones.SecondOrderConeCpp(n).nt_scaling_matrix(e, e) == np.eye(n).ravel().tolist()


@pytest.mark.parametrize("n", [3, 9, 300])
def test_nt_forms_agree(cones, rng, n):
    s, z = interior(rng, n), interior(rng, n)
    cone = cones.SecondOrderConeCpp(n)
    arr = cone.nt_scaling_matrix_array(s, z)
    assert arr.shape == (n, n) and arr.dtype == np.float64 and arr.flags.c_contiguous
    assert cone.nt_scaling_matrix(s, z) == arr.ravel().tolist()
    out = np.full(n * n, np.nan)
    assert cone.nt_scaling_matrix_into(s, z, out) is None
    np.testing.assert_array_equal(out, arr.ravel())


@pytest.mark.parametrize("method", NT_BATCH_METHODS)
@pytest.mark.parametrize("n, batch", [(1, 5), (3, 4), (260, 2)])
def test_nt_batch_items_are_single_matrices(cones, rng, method, n, batch):
    s = np.concatenate([interior(rng, n) for _ in range(batch)])
    z = np.concatenate([interior(rng, n) for _ in range(batch)])
    cone = cones.SecondOrderConeCpp(n)
    out = np.full(n * n * batch, np.nan)
    assert getattr(cone, method)(s, z, out, batch) is None
    for b in range(batch):
        single = cone.nt_scaling_matrix_array(s[b * n:(b + 1) * n], z[b * n:(b + 1) * n])
        np.testing.assert_array_equal(out[b * n * n:(b + 1) * n * n], single.ravel())


@pytest.mark.parametrize("method", NT_BATCH_METHODS)
def test_nt_batch_zero(cones, method):
    assert getattr(cones.SecondOrderConeCpp(3), method)(np.zeros(0), np.zeros(0), np.zeros(0), 0) is None


NOT_INTERIOR = [
    ("s", [5.0, 3.0, 4.0]),           # boundary
    ("z", [5.0, 3.0, 4.0]),
    ("s", [-2.0, 0.5, 0.5]),          # polar side
    ("z", [1.0, 2.0, 0.0]),           # outside
    ("s", [np.nan, 0.0, 0.0]),
    ("z", [1.0, np.nan, 0.0]),
    ("s", [0.0, 0.0, 0.0]),
]


@pytest.mark.parametrize("which, bad", NOT_INTERIOR)
def test_nt_refuses_non_interior(cones, which, bad):
    good = np.array([2.0, 0.5, -0.5])
    s, z = (np.array(bad), good) if which == "s" else (good, np.array(bad))
    cone = cones.SecondOrderConeCpp(3)
    out = np.full(9, 7.0)
    for call in (lambda: cone.nt_scaling_matrix(s, z), lambda: cone.nt_scaling_matrix_array(s, z),
                 lambda: cone.nt_scaling_matrix_into(s, z, out),
                 lambda: cone.nt_scaling_matrix_batch_into(s, z, out, 1),
                 lambda: cone.nt_scaling_matrix_batch_custom_into(s, z, out, 1)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == INTERIOR_MSG
    assert np.all(out == 7.0)


@pytest.mark.parametrize("s0, z0", [(0.0, 1.0), (-1.0, 1.0), (1.0, 0.0), (1.0, -3.0)])
def test_nt_one_entry_cone_refusals(cones, s0, z0):
    with pytest.raises(RuntimeError) as info:
        cones.SecondOrderConeCpp(1).nt_scaling_matrix(np.array([s0]), np.array([z0]))
    assert str(info.value) == INTERIOR_MSG


@pytest.mark.parametrize("method", NT_BATCH_METHODS)
def test_nt_batch_failure_keeps_earlier_items(cones, rng, method):
    n, batch, failing = 4, 5, 2
    s = np.concatenate([interior(rng, n) for _ in range(batch)])
    z = np.concatenate([interior(rng, n) for _ in range(batch)])
    z[failing * n] = -1.0
    out = np.full(n * n * batch, 7.0)
    cone = cones.SecondOrderConeCpp(n)
    with pytest.raises(RuntimeError) as info:
        getattr(cone, method)(s, z, out, batch)
    assert str(info.value) == INTERIOR_MSG
    for b in range(failing):
        want = cone.nt_scaling_matrix_array(s[b * n:(b + 1) * n], z[b * n:(b + 1) * n]).ravel()
        np.testing.assert_array_equal(out[b * n * n:(b + 1) * n * n], want)
    assert np.all(out[failing * n * n:] == 7.0)


# --- host: method choice and argument checks -------------------------------------

def test_default_method(cones):
    cone = cones.SecondOrderConeCpp(5)
    assert cone.nt_scaling_matrix_default_method() == "custom"
    assert cone.nt_scaling_matrix_default_method(64) == "custom"
    assert cone.nt_scaling_matrix_default_method(batch=0) == "custom"


def test_cublas_method_refuses_host_arrays_after_the_checks(cones):
    cone = cones.SecondOrderConeCpp(2)
    s, z = np.array([2.0, 1.0]), np.array([1.0, 0.0])
    out = np.full(4, 7.0)
    cases = [
        ((s, z, out, 1), CUBLAS_HOST_MSG),
        ((np.zeros(0), np.zeros(0), np.zeros(0), 0), CUBLAS_HOST_MSG),
        ((np.ones(3), z, out, 1), "s expected 2 entries, got 3"),
        ((s, np.ones(3), out, 1), "z expected 2 entries, got 3"),
        ((s, z, np.ones(5), 1), "output expected 4 entries, got 5"),
        ((s, z, out, 2), "s expected 4 entries, got 2"),
        ((s, TaggedArray(2, KDL_CUDA), out, 1), "input vectors must live on the same device"),
        ((s, z, TaggedArray(4, KDL_CUDA), 1), "input and output must live on the same device"),
    ]
    for args, message in cases:
        with pytest.raises(RuntimeError) as info:
            cone.nt_scaling_matrix_batch_cublas_into(*args)
        assert str(info.value) == message
    assert np.all(out == 7.0)


@pytest.mark.parametrize("method", ["nt_scaling_matrix", "nt_scaling_matrix_array"])
def test_dense_forms_refuse_device_arrays(cones, method):
    cone = cones.SecondOrderConeCpp(3)
    for args, message in [((TaggedArray(3, KDL_CUDA), np.ones(3)), "s must be a CPU vector for dense NT scaling"),
                          ((np.ones(3), TaggedArray(3, KDL_CUDA)), "z must be a CPU vector for dense NT scaling"),
                          ((TaggedArray(3, KDL_CUDA), np.ones(2)), "s must be a CPU vector for dense NT scaling"),
                          ((np.ones(4), TaggedArray(3, KDL_CUDA)), "s expected 3 entries, got 4")]:
        with pytest.raises(RuntimeError) as info:
            getattr(cone, method)(*args)
        assert str(info.value) == message


def test_projection_argument_checks(cones):
    cone = cones.SecondOrderConeCpp(3)
    out = np.full(3, 7.0)
    for args, message in [((np.ones(2), out), "input expected 3 entries, got 2"),
                          ((np.ones(3), np.ones(4)), "output expected 3 entries, got 4"),
                          ((np.ones(3), TaggedArray(3, KDL_CUDA)), "input and output must live on the same device")]:
        with pytest.raises(RuntimeError) as info:
            cone.project_into(*args)
        assert str(info.value) == message
    assert np.all(out == 7.0)
    with pytest.raises(RuntimeError, match="^input expected 3 entries, got 1$"):
        cone.violation(np.ones(1))
    with pytest.raises(RuntimeError, match="^input expected 3 entries, got 0$"):
        cone.contains(np.ones(0))


@pytest.mark.skipif("__import__('_cpp_cuda').has_cuda()", reason="needs a build without a usable device")
def test_device_arrays_without_a_device(cones):
    cone = cones.SecondOrderConeCpp(2)

    def cuda(n):
        return TaggedArray(n, KDL_CUDA)

    calls = [lambda: cone.project_into(cuda(2), cuda(2)), lambda: cone.violation(cuda(2)),
             lambda: cone.contains(cuda(2)), lambda: cone.nt_scaling_matrix_into(cuda(2), cuda(2), cuda(4))]
    calls += [lambda m=m: getattr(cone, m)(cuda(2), cuda(2), cuda(4), 1)
              for m in NT_BATCH_METHODS + ["nt_scaling_matrix_batch_cublas_into"]]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "CUDA runtime is required for CUDA cone arrays"


# --- device (emulated) -----------------------------------------------------------

DEVICE_SIZES = [1, 2, 3, 256, 257, 65537]


def host_project(cone, x):
    out = np.empty(len(x))
    cone.project_into(x, out)
    return out


@pytest.mark.parametrize("n, regime", regime_cases(DEVICE_SIZES))
def test_device_projection_matches_host(cones, dev, rng, n, regime):
    x = regime_vector(rng, n, regime)
    cone = cones.SecondOrderConeCpp(n)
    want = host_project(cone, x)
    d_out = dev.empty(n)
    dev.clear_launches()
    cone.project_into(dev.array(x), d_out)
    assert dev.launches()[-1] == "soc_project_kernel"
    got = dev.to_numpy(d_out)
    if regime == "between":  # tail norm summed by a tree instead of in index order
        np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-14 * np.linalg.norm(x))
    else:
        np.testing.assert_array_equal(got, want)
    assert cone.violation(dev.array(x)) == pytest.approx(cone.violation(x), rel=1e-12, abs=0.0)


@pytest.mark.parametrize("n", [3, 257, 65537])
def test_device_projection_in_place(cones, dev, rng, n):
    """Output aliasing input: entries of later blocks must use the original head."""
    x = regime_vector(rng, n, "between")
    cone = cones.SecondOrderConeCpp(n)
    want = host_project(cone, x)
    d = dev.array(x)
    cone.project_into(d, d)
    np.testing.assert_allclose(dev.to_numpy(d), want, rtol=1e-13, atol=1e-14 * np.linalg.norm(x))


@pytest.mark.parametrize(
    "x, expected",
    [([3.0, 4.0, 0.0], [3.5, 3.5, 0.0]), ([5.0, 3.0, 4.0], [5.0, 3.0, 4.0]), ([-5.0, 3.0, 4.0], [0.0, 0.0, 0.0]),
     ([1.0, 2.0, 0.0], [1.5, 1.5, 0.0]), ([-2.0], [0.0]), ([2.0], [2.0])],
)
def test_device_projection_hand_values(cones, dev, x, expected):
    d_out = dev.empty(len(x))
    cones.SecondOrderConeCpp(len(x)).project_into(dev.array(x), d_out)
    assert dev.to_numpy(d_out).tolist() == expected


@pytest.mark.parametrize("n", [1, 2, 256, 257, 65537])
def test_device_membership_matches_host(cones, dev, rng, n):
    cone = cones.SecondOrderConeCpp(n)
    for regime in ("inside", "polar", "between"):
        x = regime_vector(rng, n, regime)
        for atol in (1e-8, 0.0, 1e3):
            assert cone.contains(dev.array(x), atol) is cone.contains(x, atol)
    x = rng.standard_normal(n)
    x[0] = np.linalg.norm(x[1:]) - 1e-3
    assert cone.contains(dev.array(x), 2e-3) is True
    assert cone.contains(dev.array(x), 5e-4) is False
    x[-1] = np.nan
    assert cone.contains(dev.array(x), 1e3) is False


def test_device_membership_and_violation_hand_values(cones, dev):
    cone = cones.SecondOrderConeCpp(3)
    assert cone.contains(dev.array([5.0, 3.0, 4.0]), 0.0) is True
    assert cone.contains(dev.array([4.0, 3.0, 4.0]), 0.0) is False
    assert cone.violation(dev.array([5.0, 3.0, 4.0])) == 0.0
    assert cone.violation(dev.array([-5.0, 3.0, 4.0])) == np.sqrt(50.0)
    assert cone.violation(dev.array([1.0, 2.0, 0.0])) == pytest.approx(np.sqrt(0.5), rel=1e-15)
    assert cones.SecondOrderConeCpp(1).violation(dev.array([-2.0])) == 2.0


DEVICE_NT_CASES = [(1, 1), (1, 4), (2, 3), (3, 1), (5, 2), (17, 3), (256, 1), (257, 2)]


@pytest.mark.parametrize("method", ["nt_scaling_matrix_batch_into", "nt_scaling_matrix_batch_custom_into"])
@pytest.mark.parametrize("n, batch", DEVICE_NT_CASES)
def test_device_nt_matches_host_and_closed_form(cones, dev, rng, method, n, batch):
    s = np.concatenate([interior(rng, n) for _ in range(batch)])
    z = np.concatenate([interior(rng, n, None, 10.0 ** rng.uniform(-1, 1)) for _ in range(batch)])
    cone = cones.SecondOrderConeCpp(n)
    want = np.empty(n * n * batch)
    cone.nt_scaling_matrix_batch_into(s, z, want, batch)
    d_out = dev.empty(n * n * batch)
    dev.clear_launches()
    getattr(cone, method)(dev.array(s), dev.array(z), d_out, batch)
    assert dev.launches() == ["soc_nt_scaling_columns_kernel"]
    got = dev.to_numpy(d_out).reshape(batch, n, n)
    np.testing.assert_array_equal(got.reshape(-1), want)  # the host adds in the kernel's order
    for b in range(batch):
        sb, zb = s[b * n:(b + 1) * n], z[b * n:(b + 1) * n]
        closed = ref_nt_closed_form(sb, zb)
        tol = nt_tolerance(sb, zb, closed)
        assert np.abs(got[b] - closed).max() <= tol
        np.testing.assert_array_equal(got[b], got[b].T)
        assert np.linalg.norm(got[b] @ sb - zb) <= tol * np.linalg.norm(sb)


def test_device_nt_single_into_and_examples(cones, dev):
    d_out = dev.empty(4)
    cones.SecondOrderConeCpp(2).nt_scaling_matrix_into(dev.array([2.0, 1.0]), dev.array([1.0, 0.0]), d_out)
    np.testing.assert_allclose(dev.to_numpy(d_out), [2 / 3, -1 / 3, -1 / 3, 2 / 3], rtol=0, atol=4 * EPS)
    d_out = dev.empty(1)
    cones.SecondOrderConeCpp(1).nt_scaling_matrix_into(dev.array([2.0]), dev.array([3.0]), d_out)
    assert abs(dev.to_numpy(d_out)[0] - 1.5) <= 8 * np.spacing(1.5)
    e = np.eye(4)[0]
    d_out = dev.empty(16)
    cones.SecondOrderConeCpp(4).nt_scaling_matrix_into(dev.array(e), dev.array(e), d_out)
    np.testing.assert_array_equal(dev.to_numpy(d_out), np.eye(4).ravel())


def test_device_nt_batch_beyond_one_grid_row(cones, dev, emu, rng):
    """More items than grid dimension y takes (65 535): the batch is split into launches
    whose items start at the right offsets. Only the last item of the first launch runs
    (the emulator's block window), and the whole second launch."""
    batch = 65537
    s = rng.uniform(0.5, 2.0, batch)
    z = rng.uniform(0.5, 2.0, batch)
    d_out = dev.empty(batch)
    dev.clear_launches()
    emu.run_only_blocks(65534, 1)
    cones.SecondOrderConeCpp(1).nt_scaling_matrix_batch_into(dev.array(s), dev.array(z), d_out, batch)
    assert [(name, grid) for name, grid, *_ in emu.launches()] == [
        ("soc_nt_scaling_columns_kernel", (1, 65535, 1)), ("soc_nt_scaling_columns_kernel", (1, 2, 1))]
    got = dev.to_numpy(d_out)
    np.testing.assert_allclose(got[65534:], (z / s)[65534:], rtol=8 * EPS)
    assert np.all(np.isnan(got[:65534]))


def test_device_nt_cone_wider_than_grid_y(cones, dev, emu, rng):
    """A cone of 65 537 entries: its columns lie along grid x. H has 2^32 + 2^17 + 1 entries
    (lazily mapped); only the block of the last column runs. It stores that column as the
    equal row j (H is symmetric), whose entries are checked against the closed form."""
    n = 65537
    s, z = interior(rng, n), interior(rng, n)
    d_h = emu.lazy_empty(n * n)
    j = n - 1
    dev.clear_launches()
    emu.run_only_blocks(j, 1)
    cones.SecondOrderConeCpp(n).nt_scaling_matrix_into(dev.array(s), dev.array(z), d_h)
    assert [(name, grid) for name, grid, *_ in emu.launches()] == [("soc_nt_scaling_columns_kernel", (n, 1, 1))]
    rows = np.r_[0:6, j - 5:n]  # reads of single entries are slow: a few rows at both ends
    got = np.array([emu.read(d_h, j * n + r, 1)[0] for r in rows])
    js = s.copy()
    js[1:] *= -1.0
    a, b = np.sqrt(s @ js), np.sqrt(z[0] ** 2 - z[1:] @ z[1:])
    gamma = np.sqrt((s @ z / (a * b) + 1) / 2)
    jw = (js / a + z / b) / (2 * gamma)  # J w, w the normalised scaling point
    column = 2 * jw * jw[j] * (b / a)  # column j of (2 (Jw)(Jw)^T - J) / eta^2, eta^2 = a / b
    column[j] += b / a
    assert np.abs(got - column[rows]).max() <= nt_tolerance(s, z, column)


def test_device_work_runs_on_the_callers_stream(cones, dev, emu, rng):
    """Projection (its tail norm included) and NT kernels go to the caller's stream."""
    per_thread = 2  # the runtime's per-thread default stream handle
    n = 300
    cone = cones.SecondOrderConeCpp(n)
    x = regime_vector(rng, n, "between")
    s, z = interior(rng, n), interior(rng, n)
    dev.clear_launches()
    cone.project_into(dev.array(x), dev.empty(n), per_thread)
    cone.nt_scaling_matrix_into(dev.array(s), dev.array(z), dev.empty(n * n), per_thread)
    cone.nt_scaling_matrix_batch_custom_into(dev.array(s), dev.array(z), dev.empty(n * n), 1, stream=per_thread)
    streams = [(name, stream) for name, _, _, _, stream in emu.launches()]
    assert [(grid, block, shared) for name, grid, block, shared, _ in emu.launches()
            if name == "soc_nt_scaling_columns_kernel"] == [((n, 1, 1), (256, 1, 1), 2048)] * 2
    assert streams == [("reduce_sum_sq_kernel", per_thread), ("reduce_sum_sq_kernel", per_thread),
                       ("soc_project_kernel", per_thread),
                       ("soc_nt_scaling_columns_kernel", per_thread), ("soc_nt_scaling_columns_kernel", per_thread)]


def test_device_cublas_method_refuses(cones, dev, emu):
    s, z = np.array([2.0, 1.0]), np.array([1.0, 0.0])
    for batch in (1, 0):
        d_out = dev.array(np.full(4 * batch, 7.0))
        dev.clear_launches()
        with pytest.raises(RuntimeError) as info:
            cones.SecondOrderConeCpp(2).nt_scaling_matrix_batch_cublas_into(
                dev.array(np.tile(s, batch)), dev.array(np.tile(z, batch)), d_out, batch)
        assert str(info.value) == CUBLAS_DEVICE_MSG
        assert dev.launches() == []
        assert np.all(dev.to_numpy(d_out) == 7.0)
    # the device is selected before the refusal: a failing selection is reported instead
    emu.fail_next("cudaSetDevice", 101)
    with pytest.raises(RuntimeError) as info:
        cones.SecondOrderConeCpp(2).nt_scaling_matrix_batch_cublas_into(
            dev.array(s, device=1), dev.array(z, device=1), dev.empty(4, device=1), 1)
    assert str(info.value) == "cudaSetDevice failed: invalid device ordinal"


def test_device_empty_batch_launches_nothing(cones, dev):
    cone = cones.SecondOrderConeCpp(3)
    dev.clear_launches()
    for method in NT_BATCH_METHODS:
        getattr(cone, method)(dev.empty(0), dev.empty(0), dev.empty(0), 0)
    assert dev.launches() == []


@pytest.mark.parametrize(
    "target, status, operation, message",
    [("soc_project_kernel", 9, "project", "soc_project_kernel failed: invalid configuration argument"),
     ("reduce_sum_sq_kernel", 701, "project", "reduce_sum_sq_kernel failed: too many resources requested for launch"),
     ("cudaMemcpyAsync", 1, "project", "cudaMemcpyAsync failed: invalid argument"),
     # a fault while the kernel runs is reported by the next synchronising call
     ("soc_violation_kernel", 719, "violation", "cudaStreamSynchronize failed: unspecified launch failure"),
     ("cudaMallocAsync", 2, "violation", "cudaMallocAsync failed: out of memory"),
     ("cudaMemcpyAsync", 1, "contains", "cudaMemcpyAsync failed: invalid argument"),
     ("cudaStreamSynchronize", 700, "contains", "cudaStreamSynchronize failed: an illegal memory access was encountered"),
     ("soc_nt_scaling_columns_kernel", 701, "nt",
      "soc_nt_scaling_columns_kernel failed: too many resources requested for launch"),
     ("soc_nt_scaling_columns_kernel", 9, "custom",
      "soc_nt_scaling_columns_kernel failed: invalid configuration argument")],
)
def test_device_failures_are_reported(cones, dev, emu, target, status, operation, message):
    n = 300
    cone = cones.SecondOrderConeCpp(n)
    x = regime_vector(np.random.default_rng(3), n, "between")
    s, z = interior(np.random.default_rng(4), n), interior(np.random.default_rng(5), n)
    calls = {
        "project": lambda: cone.project_into(dev.array(x), dev.empty(n)),
        "violation": lambda: cone.violation(dev.array(x)),
        "contains": lambda: cone.contains(dev.array(x)),
        "nt": lambda: cone.nt_scaling_matrix_into(dev.array(s), dev.array(z), dev.empty(n * n)),
        "custom": lambda: cone.nt_scaling_matrix_batch_custom_into(dev.array(s), dev.array(z), dev.empty(n * n), 1),
    }
    emu.fail_next(target, status)
    with pytest.raises(RuntimeError) as info:
        calls[operation]()
    assert str(info.value) == message


# --- NT matrix across scales --------------------------------------------------------
# H(2^e s, 2^f z) = 2^(f-e) H(s, z). The routines bring s and z to unit scale separately by
# powers of four, so for even e and f the scaled pair is bit for bit the unit pair and the
# results must agree exactly wherever 2^(f-e) H is representable; odd exponents go through
# a different rounding and are checked against the closed form.

TINY = np.finfo(float).tiny
SCALES = [-600, -300, 0, 300, 600]
# 2^(f-e) H(s, z) overflows or underflows for |f - e| = 1200.
SCALE_PAIRS = [(e, f) for e in SCALES for f in SCALES if abs(f - e) <= 900]
ODD_SCALE_PAIRS = [(-601, -299), (301, 601), (-1, 0), (599, -301), (1, 1)]


def scaled_exactly(x, shift):
    """2^shift x, asserting that no entry leaves the normal range (the comparison is exact)."""
    y = np.ldexp(x, shift)
    nonzero = x != 0
    assert np.all(np.isfinite(y)) and np.all(np.abs(y[nonzero]) >= TINY), "test data out of range"
    return y


def check_scaled_nt(H2, s, z, e, f, closed):
    """H2 = H(2^e s, 2^f z) against 2^(f-e) times the closed form of (s, z), its symmetry and
    H2 (2^e s) = 2^f z, all with the unit-scale error bound carried along by powers of two."""
    tol = nt_tolerance(s, z, closed)
    assert np.all(np.isfinite(H2))
    assert np.abs(np.ldexp(H2, e - f) - closed).max() <= tol
    np.testing.assert_array_equal(H2, H2.T)
    residual = np.ldexp(H2 @ np.ldexp(s, e) - np.ldexp(z, f), -f)  # the product stays near 2^f
    assert np.linalg.norm(residual) <= tol * np.linalg.norm(s)


def moderate_pair(rng, n):
    """An interior pair whose magnitudes range over 10^-8 .. 10^8 independently."""
    return (interior(rng, n, None, 10.0 ** rng.uniform(-8, 8)), interior(rng, n, None, 10.0 ** rng.uniform(-8, 8)))


@pytest.mark.parametrize("n", [1, 2, 3, 17, 257])
def test_nt_is_exact_under_separate_scales(cones, rng, n):
    cone = cones.SecondOrderConeCpp(n)
    s, z = interior(rng, n), interior(rng, n, 0.3)
    H = cone.nt_scaling_matrix_array(s, z)
    closed = ref_nt_closed_form(s, z)
    assert np.abs(H - closed).max() <= nt_tolerance(s, z, closed)
    for e, f in SCALE_PAIRS:
        H2 = cone.nt_scaling_matrix_array(np.ldexp(s, e), np.ldexp(z, f))
        np.testing.assert_array_equal(H2, scaled_exactly(H, f - e), err_msg=f"e={e} f={f}")
        check_scaled_nt(H2, s, z, e, f, closed)
    for e, f in ODD_SCALE_PAIRS:
        check_scaled_nt(cone.nt_scaling_matrix_array(np.ldexp(s, e), np.ldexp(z, f)), s, z, e, f, closed)
    # Integer entries stay exact as subnormal numbers: a largest |entry| below the normal range.
    si, zi = np.r_[float(n), np.ones(n - 1)], np.r_[float(n + 1), -np.ones(n - 1)]
    Hi = cone.nt_scaling_matrix_array(si, zi)
    for e, f in [(-1070, -1070), (-1070, -1000), (-1000, -1070)]:
        assert min(np.ldexp(si, e)[0], np.ldexp(zi, f)[0]) < TINY
        np.testing.assert_array_equal(cone.nt_scaling_matrix_array(np.ldexp(si, e), np.ldexp(zi, f)),
                                      scaled_exactly(Hi, f - e), err_msg=f"e={e} f={f}")


@pytest.mark.parametrize("method", NT_BATCH_METHODS)
def test_nt_batch_and_into_at_extreme_scales(cones, rng, method):
    """Items of very different scales in one batch, and the single into form."""
    n = 4
    cone = cones.SecondOrderConeCpp(n)
    pairs = [(interior(rng, n), interior(rng, n)) for _ in SCALE_PAIRS]
    s = np.concatenate([np.ldexp(p[0], e) for p, (e, f) in zip(pairs, SCALE_PAIRS)])
    z = np.concatenate([np.ldexp(p[1], f) for p, (e, f) in zip(pairs, SCALE_PAIRS)])
    out = np.full(n * n * len(pairs), np.nan)
    getattr(cone, method)(s, z, out, len(pairs))
    single = np.full(n * n, np.nan)
    for b, ((sb, zb), (e, f)) in enumerate(zip(pairs, SCALE_PAIRS)):
        want = scaled_exactly(cone.nt_scaling_matrix_array(sb, zb), f - e)
        np.testing.assert_array_equal(out[b * n * n:(b + 1) * n * n].reshape(n, n), want)
        cone.nt_scaling_matrix_into(s[b * n:(b + 1) * n], z[b * n:(b + 1) * n], single)
        np.testing.assert_array_equal(single, want.ravel())
        check_scaled_nt(want, sb, zb, e, f, ref_nt_closed_form(sb, zb))


@pytest.mark.parametrize("scale", [-600, -300, 300, 600])
def test_nt_interior_test_at_extreme_scales(cones, scale):
    """Boundary and outside points stay refused at any scale; a thin interior margin is kept."""
    cone = cones.SecondOrderConeCpp(3)
    good = np.array([2.0, 0.5, -0.5])
    for bad in ([5.0, 3.0, 4.0], [1.0, 2.0, 0.0], [-2.0, 0.5, 0.5]):
        for s, z in ((np.ldexp(bad, scale), good), (good, np.ldexp(bad, scale))):
            with pytest.raises(RuntimeError) as info:
                cone.nt_scaling_matrix_array(s, z)
            assert str(info.value) == INTERIOR_MSG
    thin = np.array([5.0 + 1e-9, 3.0, 4.0])
    H = cone.nt_scaling_matrix_array(np.ldexp(thin, scale), good)
    assert np.all(np.isfinite(H)) and np.abs(H).max() > 0


@pytest.mark.parametrize("e, f", SCALE_PAIRS)
def test_sparse_fill_at_extreme_scales(cones, rng, e, f):
    n = 6
    cone = cones.SecondOrderConeCpp(n)
    s, z = interior(rng, n), interior(rng, n)
    indptr = np.arange(0, n * n + 1, n, dtype=np.int64)
    indices = np.tile(np.arange(n, dtype=np.int64), n)
    values = np.full(n * n, np.nan)
    cone.hmatrix_csr_values_into(np.ldexp(s, e), np.ldexp(z, f), indptr, indices, values)
    want = scaled_exactly(cone.nt_scaling_matrix_array(s, z), f - e)
    np.testing.assert_array_equal(values.reshape(n, n), want)
    check_scaled_nt(want, s, z, e, f, ref_nt_closed_form(s, z))


DEVICE_SCALE_SIZES = [1, 2, 5, 257]


@pytest.mark.parametrize("n", DEVICE_SCALE_SIZES)
def test_device_nt_is_exact_under_separate_scales(cones, dev, rng, n):
    """One batch holding the unit pair and all its rescalings: every item equals the unit item
    times 2^(f-e) exactly, and matches the host and the closed form."""
    cone = cones.SecondOrderConeCpp(n)
    s, z = interior(rng, n), interior(rng, n, 0.3)
    pairs = [(0, 0)] + SCALE_PAIRS + ODD_SCALE_PAIRS
    d_s = dev.array(np.concatenate([np.ldexp(s, e) for e, _ in pairs]))
    d_z = dev.array(np.concatenate([np.ldexp(z, f) for _, f in pairs]))
    d_out = dev.empty(n * n * len(pairs))
    cone.nt_scaling_matrix_batch_into(d_s, d_z, d_out, len(pairs))
    got = dev.to_numpy(d_out).reshape(len(pairs), n, n)
    closed = ref_nt_closed_form(s, z)
    np.testing.assert_array_equal(got[0], cone.nt_scaling_matrix_array(s, z))
    for item, (e, f) in enumerate(pairs):
        if (e, f) in SCALE_PAIRS:
            np.testing.assert_array_equal(got[item], scaled_exactly(got[0], f - e), err_msg=f"e={e} f={f}")
        check_scaled_nt(got[item], s, z, e, f, closed)


@pytest.mark.parametrize("n", [1, 3, 6])
def test_device_nt_bit_identical_under_moderate_scales(cones, dev, rng, n):
    """Moderate pairs and their rescalings by powers of four in one batch: identical bits."""
    cone = cones.SecondOrderConeCpp(n)
    shifts = [(0, 0), (2, -4), (-6, 6), (10, 0), (-20, -2)]
    pairs = [moderate_pair(rng, n) for _ in range(6)]
    items = [(s, z, e, f) for s, z in pairs for e, f in shifts]
    d_out = dev.empty(n * n * len(items))
    cone.nt_scaling_matrix_batch_into(dev.array(np.concatenate([np.ldexp(s, e) for s, _, e, _ in items])),
                                      dev.array(np.concatenate([np.ldexp(z, f) for _, z, _, f in items])),
                                      d_out, len(items))
    got = dev.to_numpy(d_out).reshape(len(pairs), len(shifts), n, n)
    for p, (s, z) in enumerate(pairs):
        closed = ref_nt_closed_form(s, z)
        assert np.abs(got[p, 0] - closed).max() <= nt_tolerance(s, z, closed)
        for q, (e, f) in enumerate(shifts):
            np.testing.assert_array_equal(got[p, q], np.ldexp(got[p, 0], f - e))


def test_device_sparse_fill_at_extreme_scales(cones, dev, rng):
    n = 6
    cone = cones.SecondOrderConeCpp(n)
    indptr = np.arange(0, n * n + 1, n, dtype=np.int64)
    indices = np.tile(np.arange(n, dtype=np.int64), n)
    rows = np.repeat(np.arange(n, dtype=np.int64), n)
    for e, f in SCALE_PAIRS:
        s, z = interior(rng, n), interior(rng, n)
        s2, z2 = np.ldexp(s, e), np.ldexp(z, f)
        host = np.full(n * n, np.nan)
        cone.hmatrix_csr_values_into(s2, z2, indptr, indices, host)
        d_values = dev.empty(n * n)
        cone.hmatrix_csr_values_into(dev.array(s2), dev.array(z2), dev.array(indptr), dev.array(indices), d_values)
        csr = dev.to_numpy(d_values)
        np.testing.assert_array_equal(csr, host, err_msg=f"e={e} f={f}")
        d_values = dev.empty(n * n)
        cone.hmatrix_coo_values_into(dev.array(s2), dev.array(z2), dev.array(rows), dev.array(indices), d_values)
        np.testing.assert_array_equal(dev.to_numpy(d_values), csr)


@pytest.mark.parametrize("head", [np.inf])
@pytest.mark.parametrize("tail", [[0.0, 0.0], [1.0, 0.0]])
def test_nt_scaling_refuses_an_infinite_head(cones, head, tail):
    """(inf, t) passes x0 > ||t|| but is no interior point: refused, not a NaN matrix."""
    cone = cones.SecondOrderConeCpp(3)
    s, z = np.array([head, *tail]), np.array([2.0, 0.5, 0.5])
    for a, b in ((s, z), (z, s)):
        with pytest.raises(RuntimeError, match="^SOC NT scaling requires strictly interior cone vectors$"):
            cone.nt_scaling_matrix(a, b)
        values = np.full(9, 7.0)
        with pytest.raises(RuntimeError, match="^SOC sparse H fill requires strictly interior cone vectors$"):
            cone.hmatrix_coo_values_into(a, b, np.repeat(np.arange(3), 3), np.tile(np.arange(3), 3), values)
        assert np.all(values == 7.0)


# --- NT identities over a sweep of interior pairs, against their conditioning and CVXOPT -----

SWEEP_GAPS = [1.0, 1e-3, 1e-6, 1e-9, 1e-12]
SWEEP_GEOMETRIES = ["random", "opposed", "aligned"]
SPARSE_INTERIOR_MSG = "SOC sparse H fill requires strictly interior cone vectors"


def sweep_pairs(n, seed):
    """Interior pairs whose relative gaps (x_0 - ||x_bar||)/x_0 run over SWEEP_GAPS for s and z
    independently (a gap of 1 is a zero tail), with tails drawn independently ("random"), with
    z_bar close to -s_bar (complementary pairs, as in an interior-point method's last
    iterations, where s^T z cancels) or close to s_bar; each vector at its own scale in
    10^-8 .. 10^8."""
    rng = np.random.default_rng(seed)

    def point(tail, gap):
        head = 1.0 if gap == 1.0 else np.linalg.norm(tail) / (1.0 - gap)
        return np.concatenate([[head], tail if gap < 1.0 else 0.0 * tail]) * 10.0 ** rng.uniform(-8, 8)

    pairs = []
    for gap_s in SWEEP_GAPS:
        for gap_z in SWEEP_GAPS:
            for geometry in SWEEP_GEOMETRIES:
                s_tail = rng.standard_normal(n - 1)
                noise = 1e-3 * np.linalg.norm(s_tail) * rng.standard_normal(n - 1)
                z_tail = {"random": rng.standard_normal(n - 1), "opposed": -s_tail + noise,
                          "aligned": s_tail + noise}[geometry] * 10.0 ** rng.uniform(-1, 1)
                pairs.append((point(s_tail, gap_s), point(z_tail, gap_z)))
    return pairs


def two_product(a, b):
    """(p, e) with p + e = a*b exactly (Dekker's splitting; entries far from over- and underflow)."""
    def split(x):
        c = 134217729.0 * x
        high = c - (c - x)
        return high, x - high

    p = a * b
    ah, al = split(a)
    bh, bl = split(b)
    return p, ((ah * bh - p) + ah * bl + al * bh) + al * bl


def exact_matvec(M, x, minus=None):
    """M x - minus, each component the exact value rounded once (fsum of exact products)."""
    p, e = two_product(M, x[None, :])
    extra = np.zeros(len(M)) if minus is None else -minus
    return np.array([math.fsum(np.concatenate([p[i], e[i], extra[i:i + 1]])) for i in range(len(M))])


def flip(x):
    """J x, exactly."""
    y = x.copy()
    y[1:] *= -1.0
    return y


def nt_identity_errors(H, s, z):
    """Relative errors of H s = z and of H z^-1 = s^-1, x^-1 = J x/(x^T J x) the Jordan inverse,
    from the entries of H, s and z exactly up to a few roundings of the result (a few eps of
    ||z|| and ||s^-1||)."""
    s_form = math.fsum(np.concatenate(two_product(s, flip(s))))
    z_form = math.fsum(np.concatenate(two_product(z, flip(z))))
    s_inv = flip(s) / s_form
    first = exact_matvec(H, s, z)
    second = exact_matvec(H, flip(z)) / z_form - s_inv
    return np.linalg.norm(first) / np.linalg.norm(z), np.linalg.norm(second) / np.linalg.norm(s_inv)


def jordan_form(x):
    """x^T J x as (x_0 - ||x_bar||)(x_0 + ||x_bar||), the gap from the entries."""
    t = np.linalg.norm(x[1:])
    return (x[0] - t) * (x[0] + t)


def nt_conditions(H, s, z):
    """Condition numbers of H s = z and of H z^-1 = s^-1 for this pair (test docstring)."""
    norm_h = np.linalg.norm(H, 2)
    kappa_s = (s @ s) / jordan_form(s)
    kappa_z = (z @ z) / jordan_form(z)
    s_inv, z_inv = np.linalg.norm(s) / jordan_form(s), np.linalg.norm(z) / jordan_form(z)
    return 1.0 + norm_h * np.linalg.norm(s) / np.linalg.norm(z), kappa_s + kappa_z * norm_h * z_inv / s_inv


def cvxopt_nt(s, z):
    """CVXOPT's NT scaling W = beta (2 v v^T - J) of the pair (W z = W^-T s, v^T J v = 1):
    H_ref = (W^T W)^-1 = W^-2 with W^-1 = (2 J v v^T J - J)/beta, and ||W||_2^2 = ||H_ref^-1||."""
    from cvxopt import matrix, misc

    n = len(s)
    W = misc.compute_scaling(matrix(s), matrix(z), matrix(0.0, (n, 1)), {"l": 0, "q": [n], "s": []})
    v, beta = np.array(W["v"][0]).ravel(), W["beta"][0]
    J = lorentz_j(n)
    w_inv = (2 * np.outer(J @ v, J @ v) - J) / beta
    return w_inv @ w_inv, np.linalg.norm(beta * (2 * np.outer(v, v) - J), 2) ** 2


def sweep_matrices(cones, request, backend, pairs):
    n = len(pairs[0][0])
    cone = cones.SecondOrderConeCpp(n)
    s, z = np.concatenate([p[0] for p in pairs]), np.concatenate([p[1] for p in pairs])
    if backend == "host":
        out = np.full(len(pairs) * n * n, np.nan)
        cone.nt_scaling_matrix_batch_into(s, z, out, len(pairs))
        got = out.reshape(-1, n, n)
        for b in (0, len(pairs) - 1):
            np.testing.assert_array_equal(cone.nt_scaling_matrix_array(*pairs[b]), got[b])
        return got
    if backend == "csr":
        indptr = np.arange(0, n * n + 1, n, dtype=np.int64)
        indices = np.tile(np.arange(n, dtype=np.int64), n)
        got = np.full((len(pairs), n, n), np.nan)
        for b, (sb, zb) in enumerate(pairs):
            cone.hmatrix_csr_values_into(sb, zb, indptr, indices, got[b].reshape(-1))
        return got
    dev = request.getfixturevalue("dev")
    d_out = dev.empty(len(pairs) * n * n)
    cone.nt_scaling_matrix_batch_into(dev.array(s), dev.array(z), d_out, len(pairs))
    return dev.to_numpy(d_out).reshape(-1, n, n)


@pytest.mark.parametrize("backend", ["host", "csr", "device"])
@pytest.mark.parametrize("n", [2, 3, 10, 50])
def test_nt_identities_over_a_boundary_sweep(cones, request, backend, n):
    """Every pair of the sweep is accepted; H is finite, symmetric bit for bit, and positive
    definite (tested by Cholesky where kappa(H) n eps < 1e-2, kappa(H) = ||H|| ||H^-1||: beyond,
    rounding its entries can make any stored H indefinite); both NT identities hold to
    1e3 eps times their condition numbers

        cond_1 = 1 + ||H|| ||s|| / ||z||,   cond_2 = kappa(s) + kappa(z) ||H|| ||z^-1|| / ||s^-1||,
        kappa(x) = ||x||^2 / (x^T J x),

    the bounds of a backward stable computation: H is the NT matrix of a pair within a few eps
    of (s, z) entry by entry, plus a few eps ||H||. Moving x by eps ||x|| moves x^T J x by
    eps kappa(x) relative; H s = z does not see it, H z^-1 = s^-1 sees it through both
    inverses. The constant covers sums of up to 50 terms and a dozen roundings. CVXOPT's NT
    scaling of the same pair is the reference of practice: our errors stay within 8 times
    the larger of its error and eps cond."""
    pytest.importorskip("cvxopt")
    pairs = sweep_pairs(n, seed=n)
    got = sweep_matrices(cones, request, backend, pairs)
    if backend != "host":  # the same bits on every path
        np.testing.assert_array_equal(got, sweep_matrices(cones, request, "host", pairs))
    for H, (s, z) in zip(got, pairs):
        assert np.all(np.isfinite(H))
        np.testing.assert_array_equal(H, H.T)
        conds = nt_conditions(H, s, z)
        ref, ref_inverse_norm = cvxopt_nt(s, z)
        for err, err_ref, cond in zip(nt_identity_errors(H, s, z), nt_identity_errors(ref, s, z), conds):
            assert err <= 1e3 * EPS * cond
            assert err <= 8 * max(err_ref, EPS * cond)
        if np.linalg.norm(H, 2) * ref_inverse_norm * n * EPS < 1e-2:
            np.linalg.cholesky(H)
    if backend == "device":
        return
    # a NaN anywhere in s or z is refused by every host form, before anything is written
    cone = cones.SecondOrderConeCpp(n)
    rng = np.random.default_rng(n)
    for s, z in pairs[::16]:
        poisoned = [s.copy(), z.copy()]
        poisoned[rng.integers(2)][rng.integers(n)] = np.nan
        out = np.full(n * n, 7.0)
        if backend == "host":
            calls = [lambda: cone.nt_scaling_matrix(*poisoned), lambda: cone.nt_scaling_matrix_array(*poisoned),
                     lambda: cone.nt_scaling_matrix_into(*poisoned, out),
                     lambda: cone.nt_scaling_matrix_batch_into(*poisoned, out, 1),
                     lambda: cone.nt_scaling_matrix_batch_custom_into(*poisoned, out, 1)]
            message = INTERIOR_MSG
        else:
            every = np.arange(n * n, dtype=np.int64)
            indptr = np.arange(0, n * n + 1, n, dtype=np.int64)
            calls = [lambda: cone.hmatrix_csr_values_into(*poisoned, indptr, every % n, out),
                     lambda: cone.hmatrix_coo_values_into(*poisoned, every // n, every % n, out)]
            message = SPARSE_INTERIOR_MSG
        for call in calls:
            with pytest.raises(RuntimeError) as info:
                call()
            assert str(info.value) == message
        assert np.all(out == 7.0)
