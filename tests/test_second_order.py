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
    return (x @ x) / (x[0] ** 2 - x[1:] @ x[1:])


def nt_tolerance(s, z, H):
    """Error bound of the form C * gamma_n * kappa: the Lorentz determinants formed from sums of
    n squares lose relative accuracy in proportion to the determinant conditions of s and z,
    and every entry of the matrix inherits that loss."""
    return 32 * (len(s) + 8) * EPS * (det_condition(s) + det_condition(z)) * np.abs(H).max()


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
        assert np.abs(H - H.T).max() <= tol
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
    for b in range(batch):
        sb, zb = s[b * n:(b + 1) * n], z[b * n:(b + 1) * n]
        closed = ref_nt_closed_form(sb, zb)
        tol = nt_tolerance(sb, zb, closed)
        assert np.abs(got[b] - want.reshape(batch, n, n)[b]).max() <= tol
        assert np.abs(got[b] - closed).max() <= tol
        assert np.abs(got[b] - got[b].T).max() <= tol
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
    (lazily mapped); only the block of the last column runs, and its rows are checked
    against the closed form of the NT matrix."""
    n = 65537
    s, z = interior(rng, n), interior(rng, n)
    d_h = emu.lazy_empty(n * n)
    j = n - 1
    dev.clear_launches()
    emu.run_only_blocks(j, 1)
    cones.SecondOrderConeCpp(n).nt_scaling_matrix_into(dev.array(s), dev.array(z), d_h)
    assert [(name, grid) for name, grid, *_ in emu.launches()] == [("soc_nt_scaling_columns_kernel", (n, 1, 1))]
    rows = np.r_[0:6, j - 5:n]  # reads of single entries are slow: a few rows at both ends
    got = np.array([emu.read(d_h, r * n + j, 1)[0] for r in rows])
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
    assert np.abs(np.ldexp(H2 - H2.T, e - f)).max() <= tol
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


def host_order_nt(s, z):
    """The host's NT matrix in its own operation order at the input's own scale (no rescaling),
    in Python floats: sums in index order, powers through the C library's pow, no fused
    multiply-adds. Agrees bit for bit with the module whenever nothing over- or underflows."""
    n = len(s)
    s, z = [float(v) for v in s], [float(v) for v in z]

    def power(x, p):
        t = 0.0
        for k in range(1, n):
            t += x[k] * x[k]
        r = math.sqrt(t)
        p1, p2 = (x[0] + r) ** p, (x[0] - r) ** p
        y = [0.0] * n
        y[0] = (p2 + p1) * 0.5
        if r > 0.0 and n >= 2:
            c = ((p1 - p2) * 0.5) / r
            y[1:] = [c * x[k] for k in range(1, n)]
        return y

    def rep(x):
        t = 0.0
        for k in range(1, n):
            t += x[k] * x[k]
        h2 = x[0] * x[0]
        return x, h2 + t, h2 - t, x[0] * 2.0

    def apply(q_rep, q):
        x, norm_sq, det, twice_head = q_rep
        t = 0.0
        for k in range(1, n):
            t += q[k] * x[k]
        return [norm_sq * q[0] + t * twice_head] + [
            ((x[k] * twice_head) * q[0] + det * q[k]) + (x[k] + x[k]) * t for k in range(1, n)]

    def column(q_rep, i):
        x, norm_sq, det, twice_head = q_rep
        if i == 0:
            return [norm_sq] + [x[k] * twice_head for k in range(1, n)]
        col = [x[i] * twice_head] + [(x[k] + x[k]) * x[i] for k in range(1, n)]
        col[i] = det + col[i]
        return col

    outer = rep(power(s, -0.5))
    mid = rep(power(apply(rep(power(s, 0.5)), z), 0.5))
    return np.array([apply(outer, apply(mid, column(outer, i))) for i in range(n)]).T


@pytest.mark.parametrize("n", [1, 2, 3, 6])
def test_nt_bit_identical_to_unscaled_computation(cones, rng, n):
    """Moderate pairs, scaled or not before the call: the same bits as the computation that
    never rescales (power-of-two rescaling by anything but powers of four would differ)."""
    cone = cones.SecondOrderConeCpp(n)
    for _ in range(20):
        s, z = moderate_pair(rng, n)
        np.testing.assert_array_equal(cone.nt_scaling_matrix_array(s, z), host_order_nt(s, z))
        for e, f in ((2, -4), (-6, 6), (10, 0)):
            s2, z2 = np.ldexp(s, e), np.ldexp(z, f)
            np.testing.assert_array_equal(cone.nt_scaling_matrix_array(s2, z2), host_order_nt(s2, z2))


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
    host = cone.nt_scaling_matrix_array(s, z)
    assert np.abs(got[0] - host).max() <= nt_tolerance(s, z, closed)
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
        tol = np.ldexp(nt_tolerance(s, z, ref_nt_closed_form(s, z)), f - e)
        d_values = dev.empty(n * n)
        cone.hmatrix_csr_values_into(dev.array(s2), dev.array(z2), dev.array(indptr), dev.array(indices), d_values)
        csr = dev.to_numpy(d_values)
        assert np.all(np.isfinite(csr)) and np.abs(csr - host).max() <= tol, f"e={e} f={f}"
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
