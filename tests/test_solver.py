"""The conic interior-point solver driven by the module: optimal values against CVXOPT, Clarabel and closed forms, certificates of infeasibility, scaling identities, and host/device agreement."""
import os
import sys
import warnings

import numpy as np
import pytest
import scipy.optimize
import scipy.sparse as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from cones_ipm import problems, solve  # noqa: E402
from cones_ipm.cones import (ConeFailure, ConeProduct, DeviceArrays, HostArrays, PsdBlock,  # noqa: E402
                             SecondOrderBlock)
from cones_ipm.problem import ConeDecl, ConicProblem  # noqa: E402

# Largest iteration counts measured: 10 on the shipped problems, 12 over 120 random
# LP/SOCP/SDP/mixed instances (seeds 100-129 per family), 18 on a portfolio whose risk
# bound is barely active; the bound leaves a margin above those.
ITERATION_BOUND = 20

SHIPPED = {p.name: p for p in problems.shipped_problems()}


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


def assert_certified_optimal(prob, res, tol=1e-6):
    """Primal and dual feasibility and the gap checked from the returned point with
    NumPy and the module's membership tests, independently of the solver's own report."""
    p = prob.without_zero_cones()
    K = ConeProduct(p.cones, HostArrays())
    scale = 1.0 + np.abs(res.s).max() + np.abs(res.z).max()
    assert np.linalg.norm(p.G @ res.x + res.s - p.h) <= tol * (1 + np.linalg.norm(p.h))
    assert np.linalg.norm(p.A @ res.x - p.b) <= tol * (1 + np.linalg.norm(p.b))
    assert np.linalg.norm(p.G.T @ res.z + p.A.T @ res.y + p.c) <= tol * (1 + np.linalg.norm(p.c))
    for blk in K.blocks:
        assert blk.cone.contains(np.ascontiguousarray(res.s[blk.sl]), atol=tol * scale)
        assert blk.cone.contains(np.ascontiguousarray(res.z[blk.sl]), atol=tol * scale)
    gap = p.c @ res.x + p.b @ res.y + p.h @ res.z
    assert abs(gap) <= tol * (1 + abs(p.c @ res.x))


@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_shipped_problem_matches_peers(name):
    prob = SHIPPED[name]
    res = solve(prob)
    assert res.status == "optimal", res.message
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
    ("mixed", [("zero", 1), ("nonnegative", 6), ("soc", 4), ("psd", 3)]),
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


def test_primal_infeasible_lp_returns_a_certificate():
    prob = problems.infeasible_lp()
    res = solve(prob)
    assert res.status == "primal_infeasible"
    # y, z with Aᵀy + Gᵀz = 0, bᵀy + hᵀz = −1, z ≥ 0 prove that no x exists.
    assert np.linalg.norm(prob.G.T @ res.z + prob.A.T @ res.y) <= 1e-7
    assert abs(prob.h @ res.z + prob.b @ res.y + 1.0) <= 1e-12
    assert res.z.min() >= -1e-9


def test_unbounded_lp_returns_a_direction():
    prob = problems.unbounded_lp()
    res = solve(prob)
    assert res.status == "dual_infeasible"
    # x with Gx + s = 0 (s ≥ 0), Ax = 0 and cᵀx = −1 is a ray of decrease.
    assert abs(prob.c @ res.x + 1.0) <= 1e-12
    assert (-(prob.G @ res.x)).min() >= -1e-8


def test_wrong_signed_cone_vector_is_reported_infeasible():
    prob = problems.wrong_signed_norm_bound()
    res = solve(prob)
    assert res.status == "primal_infeasible"
    blk = ConeProduct(prob.cones, HostArrays()).blocks[1]
    assert blk.cone.contains(np.ascontiguousarray(res.z[blk.sl]), atol=1e-9)
    _, (cl_status, _, _) = peer_objectives(prob)
    assert cl_status == "PrimalInfeasible"


def test_module_refusal_of_a_wrong_signed_pair_becomes_a_status(monkeypatch):
    # The module refuses a scaling of non-interior vectors; the solver must turn that into
    # a status with the module's message instead of raising.
    K = ConeProduct([ConeDecl("soc", 3)], HostArrays())
    with pytest.raises(ConeFailure, match="interior"):
        K.scaling_matrix(np.array([-1.0, 0.0, 0.0]), np.array([1.0, 0.0, 0.0]))
    original = ConeProduct.inverse_scaling_matrix
    monkeypatch.setattr(ConeProduct, "inverse_scaling_matrix", lambda self, s, z: original(self, -s, z))
    res = solve(SHIPPED["lsq_norm_bound"])
    assert res.status == "numerical_error"
    assert "strictly interior" in res.message


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
    assert res.status in ("optimal", "max_iterations", "numerical_error")
    if res.status == "optimal":
        _, (_, cl_obj, _) = peer_objectives(prob)
        assert abs(res.objective - cl_obj) <= 1e-6 * max(1.0, abs(cl_obj))


# ---- scaling identities behind the solver ----------------------------------------------
def _pairs(kind, dim, rng):
    decl = ConeDecl(kind, dim)
    return decl, problems._interior_point(decl, rng), problems._interior_point(decl, rng)


@pytest.mark.parametrize("kind,dim", [("nonnegative", 5), ("soc", 1), ("soc", 2), ("soc", 9), ("psd", 1),
                                      ("psd", 2), ("psd", 4)])
def test_swapped_pair_gives_the_inverse_scaling(kind, dim, rng):
    decl, s, z = _pairs(kind, dim, rng)
    K = ConeProduct([decl], HostArrays())
    H, Hinv = K.scaling_matrix(s, z).toarray(), K.inverse_scaling_matrix(s, z).toarray()
    np.testing.assert_allclose(H @ s, z, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(Hinv @ z, s, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(H @ Hinv, np.eye(decl.rows), atol=1e-10 * np.linalg.cond(H))


@pytest.mark.parametrize("block,dim", [(SecondOrderBlock, 2), (SecondOrderBlock, 7), (PsdBlock, 2),
                                       (PsdBlock, 4)])
def test_nt_factor_matches_the_modules_scaling(block, dim, rng):
    decl, s, z = _pairs("soc" if block is SecondOrderBlock else "psd", dim, rng)
    blk = block(decl, 0)
    nt = blk.nt_scaling(s, z)
    eye = np.eye(decl.rows)
    W = np.column_stack([nt.W(e) for e in eye])
    WT = np.column_stack([nt.WT(e) for e in eye])
    WinvT = np.column_stack([nt.WinvT(e) for e in eye])
    np.testing.assert_allclose(WT, W.T, atol=1e-12)
    np.testing.assert_allclose(WinvT @ W.T, eye, atol=1e-11)
    np.testing.assert_allclose(W @ z, nt.lam, atol=1e-11)
    np.testing.assert_allclose(WinvT @ s, nt.lam, atol=1e-11)
    H = np.array(blk.cone.nt_scaling_matrix(s, z)).reshape(decl.rows, decl.rows)
    np.testing.assert_allclose(W.T @ W @ H, eye, atol=1e-10)
    # λ lies in the cone's interior and the centring term Wᵀ(λ \ e) is z⁻¹.
    assert blk.min_eig(nt.lam) > 0
    np.testing.assert_allclose(nt.WT(blk.solve(nt.lam, blk.identity())), blk.power(z, -1.0), atol=1e-10)


@pytest.mark.parametrize("block,dim", [(SecondOrderBlock, 6), (PsdBlock, 3)])
def test_max_step_reaches_the_boundary(block, dim, rng):
    decl, x, _ = _pairs("soc" if block is SecondOrderBlock else "psd", dim, rng)
    blk = block(decl, 0)
    for _ in range(5):
        d = rng.standard_normal(decl.rows) * 3
        a = blk.max_step(x, d)
        if np.isfinite(a):
            assert abs(blk.min_eig(x + a * d)) <= 1e-9 * (1 + np.abs(x + a * d).max())
            assert blk.min_eig(x + 0.99 * a * d) > 0
        else:
            assert blk.min_eig(x + 1e3 * d) >= -1e-9 * 1e3


# ---- host and device runs --------------------------------------------------------------
@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_device_run_agrees_with_host(name, dev):
    prob = SHIPPED[name]
    host = solve(prob, where="host")
    device = solve(prob, where="device")
    assert device.status == host.status == "optimal"
    assert device.iterations == host.iterations
    assert abs(device.objective - host.objective) <= 1e-8 * max(1.0, abs(host.objective))
    np.testing.assert_allclose(device.x, host.x, atol=1e-6 * (1 + np.abs(host.x).max()))


def test_device_infeasibility_and_refusals(dev):
    assert solve(problems.infeasible_lp(), where="device").status == "primal_infeasible"
    assert solve(problems.unbounded_lp(), where="device").status == "dual_infeasible"
    # Device scaling does not test interiority: a wrong-signed pair must still be caught.
    K = ConeProduct([ConeDecl("psd", 3)], DeviceArrays())
    s = problems.svec(-np.eye(3))
    with pytest.raises(ConeFailure):
        K.scaling_matrix(s, problems.svec(np.eye(3)))
