"""The conic interior-point solver driven by the module: optimal values against Clarabel, CVXOPT and closed forms on shipped programs and on CVXPY models of every kind, certificates of infeasibility, the CVXPY interface (PSD layout), the batched cone families against dense maths, the KKT factorisations against a dense solve, rollback on refused scalings, and host/device agreement."""
import os
import sys
import warnings

import numpy as np
import pytest
import scipy.optimize
import scipy.sparse as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from cones_ipm import problems, solve  # noqa: E402
from cones_ipm.cones import (SPARSE_SOC_MIN, ConeFailure, ConeProduct, DeviceArrays, HostArrays,  # noqa: E402
                             PsdFamily, SecondOrderFamily)
from cones_ipm.kkt import KktSystem, pardiso_available  # noqa: E402
from cones_ipm.problem import ConeDecl, ConicProblem  # noqa: E402

# Largest iteration counts measured: 10 on the shipped problems, 16 on the small CVXPY
# models (seeds 1 to 5, all optimal); the bound leaves a margin above those.
ITERATION_BOUND = 25

SHIPPED = {p.name: p for p in problems.shipped_problems()}
BACKENDS = ["qdldl"] + (["pardiso"] if pardiso_available() else [])


@pytest.fixture(autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def peer_objectives(prob):
    pytest.importorskip("cvxopt")
    pytest.importorskip("clarabel")
    from cones_ipm.peers import clarabel_objective, cvxopt_objective
    return cvxopt_objective(prob), clarabel_objective(prob)


def module_cone(decl):
    import _cpp_cuda as module
    return {"nonnegative": module.NonnegativeConeCpp, "soc": module.SecondOrderConeCpp, "psd": module.PsdConeCpp,
            "exp": module.ExponentialConeCpp}[decl.kind](decl.dim)


def assert_certified_optimal(prob, res, tol=1e-6):
    """Primal and dual feasibility and the gap checked from the returned point with
    NumPy and the module's membership tests, independently of the solver's own report."""
    p = prob.without_zero_cones()
    scale = 1.0 + np.abs(res.s).max(initial=0) + np.abs(res.z).max(initial=0)
    assert np.linalg.norm(p.G @ res.x + res.s - p.h) <= tol * (1 + np.linalg.norm(p.h))
    assert np.linalg.norm(p.A @ res.x - p.b) <= tol * (1 + np.linalg.norm(p.b))
    assert np.linalg.norm(p.G.T @ res.z + p.A.T @ res.y + p.c) <= tol * (1 + np.linalg.norm(p.c))
    for decl, off in p.offsets():
        mod = module_cone(decl)
        part = slice(off, off + decl.rows)
        assert mod.contains(np.ascontiguousarray(res.s[part]), atol=tol * scale)
        assert mod.contains(np.ascontiguousarray(res.z[part]), atol=tol * scale)
    gap = p.c @ res.x + p.b @ res.y + p.h @ res.z
    assert abs(gap) <= tol * (1 + abs(p.c @ res.x))


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_shipped_problem_matches_peers(name, backend):
    prob = SHIPPED[name]
    res = solve(prob, linear_solver=backend)
    assert res.status == "optimal", res.message
    assert res.linear_solver in (backend, "qdldl")  # PARDISO may hand over to qdldl
    assert res.iterations <= ITERATION_BOUND
    (cv_status, cv_obj, _), (cl_status, cl_obj, _) = peer_objectives(prob)
    assert cl_status in ("Solved", "AlmostSolved")
    for ref in (cv_obj, cl_obj):
        assert abs(res.objective - ref) <= 1e-6 * max(1.0, abs(ref))
    assert_certified_optimal(prob, res)


def test_maxcut_of_petersen_graph_is_the_eigenvalue_bound():
    # The Petersen graph is vertex- and edge-transitive, so its max-cut relaxation equals
    # n/4 · λmax(L) = 10/4 · 5 = 12.5.
    res = solve(problems.maxcut())
    L = problems.maxcut().extra["laplacian"]
    assert res.status == "optimal"
    assert abs(res.objective - 10 / 4 * np.linalg.eigvalsh(L)[-1]) <= 1e-7
    assert abs(res.objective - 12.5) <= 1e-7


def test_norm_bounded_least_squares_matches_secular_equation():
    prob = problems.least_squares_norm_bound()
    M, q, r = prob.extra["M"], prob.extra["q"], prob.extra["r"]
    # x(λ) = (MᵀM + λI)⁻¹ Mᵀq with ‖x(λ)‖ = r on the active bound.
    xl = lambda lam: np.linalg.solve(M.T @ M + lam * np.eye(M.shape[1]), M.T @ q)  # noqa: E731
    lam = scipy.optimize.brentq(lambda l: np.linalg.norm(xl(l)) - r, 0.0, 1e6, xtol=1e-14)
    res = solve(prob)
    assert res.status == "optimal"
    assert abs(res.objective - np.linalg.norm(M @ xl(lam) - q)) <= 1e-7
    # The minimiser moves like the square root of the gap: tight tolerances give it to 1e-5.
    res = solve(prob, tol_gap=1e-10, tol_feas=1e-10)
    assert res.status == "optimal"
    np.testing.assert_allclose(res.x[1:], xl(lam), atol=1e-5)


def test_portfolio_weights_meet_the_risk_bound_and_budget():
    prob = problems.portfolio()
    res = solve(prob)
    w, cov, risk = res.x, prob.extra["cov"], prob.extra["risk"]
    assert res.status == "optimal"
    assert abs(w.sum() - 1.0) <= 1e-8 and w.min() >= -1e-8
    assert np.sqrt(w @ cov @ w) <= risk * (1 + 1e-8)
    assert abs(np.sqrt(w @ cov @ w) - risk) <= 1e-6  # the risk bound is active
    assert abs(res.objective + prob.extra["mu"] @ w) <= 1e-12


@pytest.mark.parametrize("family,cones", [
    ("lp", [("nonnegative", 30)]),
    ("socp", [("nonnegative", 5), ("soc", 6), ("soc", 3)]),
    ("sdp", [("psd", 4)]),
    # cones of one kind apart from each other: the solver groups the rows by kind
    ("mixed", [("zero", 1), ("soc", 4), ("nonnegative", 6), ("psd", 3), ("soc", 1), ("nonnegative", 2)]),
])
@pytest.mark.parametrize("seed", [7, 8, 9])
def test_random_feasible_programs(family, cones, seed):
    prob = problems.random_feasible(family, cones, n=8, p=2, seed=seed)
    res = solve(prob)
    assert res.status == "optimal", res.message
    assert res.iterations <= ITERATION_BOUND
    _, (cl_status, cl_obj, _) = peer_objectives(prob)
    assert abs(res.objective - cl_obj) <= 1e-6 * max(1.0, abs(cl_obj))
    assert_certified_optimal(prob, res)


# ---- CVXPY models of every kind, and the interface ----------------------------------------
def _models():
    try:
        from cones_ipm.models import MODELS, STATUS_MODELS
    except ImportError:
        return [], []
    return sorted(MODELS), sorted(STATUS_MODELS)


MODEL_NAMES, STATUS_NAMES = _models()


@pytest.mark.parametrize("name", MODEL_NAMES)
def test_cvxpy_model_matches_clarabel(name):
    """The small instance of every model kind (LP, SOCP, SDP) against Clarabel on the
    same conic data, to 1e-7 relative, and certified from the returned point."""
    from cones_ipm.cvxpy_interface import clarabel_reference
    from cones_ipm.models import MODELS, conic_data

    _, build, size, _ = MODELS[name]
    data, prob = conic_data(build(size, 3))
    res = solve(prob)
    status, obj, _, _ = clarabel_reference(data)
    assert status == "Solved"
    assert res.status == "optimal", res.message
    assert res.iterations <= ITERATION_BOUND
    assert abs(res.objective - obj) <= 1e-7 * max(1.0, abs(obj))
    assert_certified_optimal(prob, res)


@pytest.mark.parametrize("name", STATUS_NAMES)
def test_cvxpy_infeasible_and_unbounded_models(name):
    """Statuses as Clarabel's, with certificates that hold: Aᵀy + Gᵀz = 0, bᵀy + hᵀz = −1,
    z ∈ K* (primal infeasible); Ax = 0, Gx + s = 0, s ∈ K, cᵀx = −1 (dual infeasible)."""
    from cones_ipm.cvxpy_interface import clarabel_reference
    from cones_ipm.models import STATUS_MODELS, conic_data

    build, size, _, expected = STATUS_MODELS[name]
    data, prob = conic_data(build(size, 3))
    res = solve(prob)
    assert res.status == expected, res.message
    assert clarabel_reference(data)[0] == {"primal_infeasible": "PrimalInfeasible",
                                           "dual_infeasible": "DualInfeasible"}[expected]
    p = prob.without_zero_cones()
    K = ConeProduct(p.cones, HostArrays())
    if expected == "primal_infeasible":
        assert np.linalg.norm(p.A.T @ res.y + p.G.T @ res.z) <= 1e-7
        assert abs(p.b @ res.y + p.h @ res.z + 1.0) <= 1e-12
        assert K.interior(res.z + 1e-7 * K.identity(), dual=True)
    else:
        assert abs(p.c @ res.x + 1.0) <= 1e-12
        assert np.linalg.norm(p.A @ res.x) <= 1e-7 and np.linalg.norm(p.G @ res.x + res.s) <= 1e-7
        assert K.interior(res.s + 1e-7 * K.identity())


def test_cvxpy_solve_with_the_psd_layout():
    """problem.solve(solver=ConesIpm()) on SDPs whose answers depend on every off-diagonal
    entry landing in its own svec row: min ⟨C, X⟩ s.t. tr X = 1, X ⪰ 0 is λmin(C) at
    X = v vᵀ; and the nearest PSD matrix to a non-symmetric-looking target with one
    fixed entry, against Clarabel's primal and dual values through CVXPY."""
    cp = pytest.importorskip("cvxpy")
    from cones_ipm.cvxpy_interface import ConesIpm

    C = np.array([[2.0, 0.3, -1.1, 0.2], [0.3, 1.0, 0.7, -0.4], [-1.1, 0.7, 0.5, 0.9], [0.2, -0.4, 0.9, 3.0]])
    X = cp.Variable((4, 4), symmetric=True)
    psd = X >> 0
    prob = cp.Problem(cp.Minimize(cp.trace(C @ X)), [psd, cp.trace(X) == 1])
    value = prob.solve(solver=ConesIpm())
    lam, vec = np.linalg.eigh(C)
    assert prob.status == "optimal"
    assert abs(value - lam[0]) <= 1e-8
    np.testing.assert_allclose(X.value, np.outer(vec[:, 0], vec[:, 0]), atol=1e-6)
    np.testing.assert_allclose(psd.dual_value, C - lam[0] * np.eye(4), atol=1e-6)

    T = np.arange(16.0).reshape(4, 4) / 10 - 0.6 * np.eye(4)
    Y = cp.Variable((4, 4), symmetric=True)
    cons = [Y >> 0, Y[2, 0] == 0.1]
    prob = cp.Problem(cp.Minimize(cp.sum_squares(Y - T)), cons)
    # The minimiser moves like the square root of the gap: both solvers at tight tolerances.
    ours = prob.solve(solver=ConesIpm(tol_gap=1e-11, tol_feas=1e-11))
    y_ours, duals = Y.value.copy(), [c.dual_value for c in cons]
    ref = prob.solve(solver="CLARABEL", tol_gap_abs=1e-11, tol_gap_rel=1e-11, tol_feas=1e-11)
    assert abs(ours - ref) <= 1e-7 * max(1.0, abs(ref))
    np.testing.assert_allclose(y_ours, Y.value, atol=1e-6)
    # Multipliers too are determined to about √gap.
    np.testing.assert_allclose(duals[0], cons[0].dual_value, atol=1e-5)
    assert abs(duals[1] - cons[1].dual_value) <= 1e-5 * (1 + abs(cons[1].dual_value))


# ---- rollback ------------------------------------------------------------------------------
def test_refused_scaling_rolls_back_to_the_best_iterate(monkeypatch):
    """From the sixth fill on, the module refuses every point (as it does a non-interior
    one): the step is shortened down to the minimum, then the run ends at the best
    iterate with the module's message; the point returned is that iterate's."""
    prob = SHIPPED["sdp_random"]
    K = ConeProduct(prob.cones, HostArrays())
    with pytest.raises(ConeFailure, match="strictly positive definite"):
        K.scaling_matrix(-K.identity(), K.identity())
    calls = []
    original = ConeProduct.fill_inverse_scaling

    def refusing(self, s, z, *args, **kwargs):
        calls.append(1)
        return original(self, -s if len(calls) >= 6 else s, z, *args, **kwargs)

    monkeypatch.setattr(ConeProduct, "fill_inverse_scaling", refusing)
    res = solve(prob)
    assert res.status in ("almost_optimal", "numerical_error")
    assert "strictly positive definite" in res.message
    # Fills 1 … 5 prepared iterates 0 … 4; the best of those is returned.
    merits = [max(h["pres"], h["dres"], h["gap"]) for h in res.history]
    assert len(merits) == 5 and res.iterations == int(np.argmin(merits))
    best = res.history[res.iterations]
    assert (res.primal_residual, res.dual_residual, res.gap) == (best["pres"], best["dres"], best["gap"])
    assert res.objective == pytest.approx(best["pobj"], rel=1e-12)


def test_non_finite_data_is_refused():
    with pytest.raises(ValueError, match="h has non-finite"):
        ConicProblem("bad", np.ones(1), sp.csr_matrix(-np.ones((1, 1))), np.array([np.nan]),
                     [ConeDecl("nonnegative", 1)])


@pytest.mark.parametrize("make", [problems.entropy, problems.log_sum_exp])
def test_exponential_cone_run_ends_with_a_status(make):
    # The module's exponential block is a secant scaling; whatever the solver makes of it,
    # the run must end with a status, and an "optimal" claim must be right.
    prob = make()
    res = solve(prob, max_iter=25)
    assert res.status in ("optimal", "almost_optimal", "max_iterations", "numerical_error")
    if res.status == "optimal":
        _, (_, cl_obj, _) = peer_objectives(prob)
        assert abs(res.objective - cl_obj) <= 1e-6 * max(1.0, abs(cl_obj))


# ---- the batched cone families against dense maths -------------------------------------------
def _family(kind, dims, rng):
    decls, off = [], 0
    for d in dims:
        decl = ConeDecl(kind, d)
        decls.append((decl, off))
        off += decl.rows
    fam = (SecondOrderFamily if kind == "soc" else PsdFamily)(decls)
    s = np.concatenate([problems._interior_point(d, rng) for d, _ in decls])
    z = np.concatenate([problems._interior_point(d, rng) for d, _ in decls])
    return fam, decls, s, z


FAMILIES = [("soc", [1, 2, 7, SPARSE_SOC_MIN + 3, 2, 3, 12]), ("psd", [2, 1, 3, 2, 4])]


def _dense_prod(kind, x, y):
    if kind == "soc":
        return np.concatenate([[x @ y], x[0] * y[1:] + y[0] * x[1:]])
    n = int(round((np.sqrt(8 * x.size + 1) - 1) / 2))
    X, Y = problems.smat(x, n), problems.smat(y, n)
    return problems.svec(0.5 * (X @ Y + Y @ X))


@pytest.mark.parametrize("kind,dims", FAMILIES)
def test_family_scaling_matches_the_module_per_cone(kind, dims, rng):
    """One batched call over cones of mixed sizes: W, Wᵀ, W⁻ᵀ as matrices satisfy
    Wᵀ = (W)ᵀ, W⁻ᵀWᵀ = I, W z = W⁻ᵀ s = λ, and WᵀW is the inverse of each cone's H from
    the module; λ∘(λ \\ v) = v with the dense Jordan product; the fill of the product
    writes the same H⁻¹ blocks; a large second-order cone's H⁻¹ is D + u uᵀ."""
    fam, decls, s, z = _family(kind, dims, rng)
    fam.scale(s, z)
    eye = np.eye(fam.rows)
    W = np.column_stack([fam.W(e) for e in eye])
    WT = np.column_stack([fam.WT(e) for e in eye])
    WinvT = np.column_stack([fam.WinvT(e) for e in eye])
    np.testing.assert_allclose(WT, W.T, atol=1e-12)
    np.testing.assert_allclose(WinvT @ W.T, eye, atol=1e-11)
    np.testing.assert_allclose(W @ z, fam.lam, atol=1e-11)
    np.testing.assert_allclose(WinvT @ s, fam.lam, atol=1e-11)
    v = rng.standard_normal(fam.rows)
    u = fam.lam_solve(v)
    Hinv = ConeProduct([d for d, _ in decls], HostArrays()).scaling_matrix(s, z, inverse=True).toarray()
    if kind == "soc":
        # Each sparse cone's H⁻¹ as diagonal plus rank one: D + u uᵀ.
        D, u_sparse = fam.sparse_values()
        rows = np.flatnonzero(fam.sparse_rows)
        for k in np.flatnonzero(fam.sparse):
            mine = fam.cone_of_row[rows] == k
            block = np.diag(D[mine]) + np.outer(u_sparse[mine], u_sparse[mine])
            np.testing.assert_allclose(block, (W.T @ W)[np.ix_(rows[mine], rows[mine])],
                                       atol=1e-10 * (1 + np.abs(block).max()))
        assert fam.sparse.tolist() == [d >= SPARSE_SOC_MIN for d in dims]
    for (decl, off), (cone, _) in zip(decls, fam.module_cones(dense=True)):
        sl = slice(off, off + decl.rows)
        H = cone.nt_scaling_matrix_array(s[sl], z[sl])
        np.testing.assert_allclose((W.T @ W)[sl, sl] @ H, np.eye(decl.rows), atol=1e-10)
        np.testing.assert_allclose(Hinv[sl, sl], (W.T @ W)[sl, sl], atol=1e-10 * (1 + np.abs(Hinv).max()))
        np.testing.assert_allclose(_dense_prod(kind, fam.lam[sl], u[sl]), v[sl], atol=1e-10)
        np.testing.assert_allclose(fam.prod(s, z)[sl], _dense_prod(kind, s[sl], z[sl]), atol=1e-12)
    np.testing.assert_allclose(Hinv @ z, s, atol=1e-10)


@pytest.mark.parametrize("kind,dims", FAMILIES)
def test_family_max_step_reaches_the_boundary(kind, dims, rng):
    """The batched step is the smallest over the cones of the exact step to each cone's
    boundary (checked with the dense smallest eigenvalue)."""
    fam, decls, x, _ = _family(kind, dims, rng)

    def min_eig(decl, v):
        if kind == "soc":
            return v[0] - np.linalg.norm(v[1:])
        return np.linalg.eigvalsh(problems.smat(v, decl.dim))[0]

    for _ in range(5):
        d = rng.standard_normal(fam.rows) * 3
        a = fam.max_step(x, d)
        eigs = [min_eig(decl, (x + a * d)[o:o + decl.rows]) for decl, o in decls]
        scale = 1 + np.abs(x + a * d).max()
        assert min(abs(e) for e in eigs) <= 1e-9 * scale      # one cone reaches its boundary
        assert min(eigs) >= -1e-9 * scale                      # and none has left
        assert fam.interior(x + 0.99 * a * d) and not fam.interior(x + 1.01 * a * d)


# ---- the KKT system ----------------------------------------------------------------------------
@pytest.mark.parametrize("backend", BACKENDS)
def test_kkt_solve_matches_dense_solve(backend, rng):
    """The fixed structure filled in place by the module (cone rows only; second-order
    cones of SPARSE_SOC_MIN entries or more as diagonal plus rank one with an extra variable),
    factorised with the fill-reducing ordering of the analysis, and refined: K u = r
    agrees with a dense solve of [[0, Aᵀ, Gᵀ], [A, 0, 0], [G, 0, −H⁻¹]] for several fills."""
    cones = [ConeDecl("nonnegative", 4), ConeDecl("soc", 2), ConeDecl("soc", 1), ConeDecl("soc", SPARSE_SOC_MIN),
             ConeDecl("soc", 7), ConeDecl("psd", 3)]
    m = sum(c.rows for c in cones)
    n, p = 9, 2
    A = sp.csr_matrix(rng.standard_normal((p, n)))
    G = sp.random(m, n, density=0.4, random_state=5, format="csr") + sp.eye(m, n, format="csr")
    K = ConeProduct(cones, HostArrays())
    kkt = KktSystem(A, G, *K.block_pattern(), backend=backend)
    assert kkt.extras == sum(c.kind == "soc" and c.dim >= SPARSE_SOC_MIN for c in cones) == 2
    positions = K.sparse_positions(kkt.tail_indptr, kkt.tail_indices)
    fixed = kkt.values[:kkt.tail].copy()
    for _ in range(3):
        s = np.concatenate([problems._interior_point(c, rng) for c in cones])
        z = np.concatenate([problems._interior_point(c, rng) for c in cones])
        kkt.reset_cone_block()
        K.scale(s, z)
        K.fill_inverse_scaling(s, z, kkt.tail_indptr, kkt.tail_indices, kkt.cone_values)
        K.fill_sparse_blocks(positions, kkt.cone_values)
        kkt.factor()
        # The fill touched nothing outside the cone rows (those hold A, G and the
        # regularised diagonal of x and y).
        expect = fixed.copy()
        expect[kkt.diag_pos[:n + p]] += kkt.reg[:n + p]
        np.testing.assert_array_equal(kkt.values[:kkt.tail], expect)
        Hinv = K.scaling_matrix(s, z, inverse=True).toarray()
        dense = np.block([[np.zeros((n, n)), A.T.toarray(), G.T.toarray()],
                          [A.toarray(), np.zeros((p, p)), np.zeros((p, m))],
                          [G.toarray(), np.zeros((m, p)), -Hinv]])
        r = rng.standard_normal(n + p + m)
        u = np.concatenate(kkt.solve(r[:n], r[n:n + p], r[n + p:]))
        np.testing.assert_allclose(u, np.linalg.solve(dense, r), rtol=1e-9, atol=1e-9 * np.abs(u).max())


# ---- host and device runs --------------------------------------------------------------
@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_device_run_agrees_with_host(name, dev):
    prob = SHIPPED[name]
    host = solve(prob, where="host")
    device = solve(prob, where="device")
    assert device.status == host.status == "optimal"
    assert device.iterations == host.iterations
    assert abs(device.objective - host.objective) <= 1e-8 * max(1.0, abs(host.objective))
    # Both end within a gap of 1e-8, where x is determined to about √1e-8.
    np.testing.assert_allclose(device.x, host.x, atol=1e-4 * (1 + np.abs(host.x).max()))


@pytest.mark.parametrize("name", ["assignment", "fermat_weber", "nearest_correlation", "lp_infeasible",
                                  "socp_unbounded"])
def test_device_run_of_cvxpy_models_agrees_with_host(name, dev):
    pytest.importorskip("cvxpy")
    from cones_ipm.models import MODELS, STATUS_MODELS, conic_data

    build, size = (MODELS[name][1], MODELS[name][2]) if name in MODELS else STATUS_MODELS[name][:2]
    _, prob = conic_data(build(size, 3))
    host = solve(prob, where="host")
    device = solve(prob, where="device")
    assert device.status == host.status
    assert device.iterations == host.iterations
    if host.status == "optimal":
        assert abs(device.objective - host.objective) <= 1e-8 * max(1.0, abs(host.objective))


def test_device_infeasibility_and_refusals(dev):
    assert solve(problems.infeasible_lp(), where="device").status == "primal_infeasible"
    assert solve(problems.unbounded_lp(), where="device").status == "dual_infeasible"
    # Device scaling does not test interiority: a wrong-signed pair must still be caught.
    K = ConeProduct([ConeDecl("psd", 3)], DeviceArrays())
    s = problems.svec(-np.eye(3))
    with pytest.raises(ConeFailure):
        K.scaling_matrix(s, problems.svec(np.eye(3)))
