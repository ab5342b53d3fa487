"""The conic interior-point solver driven by the module: optimal values against Clarabel, CVXOPT and closed forms on shipped programs and on CVXPY models of every kind, certificates of infeasibility, the CVXPY interface (PSD layout), the cone product (module families grouped by dimension, sparse expansions, the exponential family's primal-dual scaling, shadow point, third-order term and backtracking) against dense maths on host and device arrays, the KKT factorisations against a dense solve, rollback on refused scalings, and host/device agreement with bounded device copies."""
import dataclasses
import functools
import os
import re
import sys
import warnings

import numpy as np
import pytest
import scipy.optimize
import scipy.sparse as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import problems  # noqa: E402
from cones_ipm import solve  # noqa: E402
from cones_ipm.cones import ConeFailure, ConeProduct, DeviceArrays, HostArrays  # noqa: E402
from cones_ipm.kkt import KktSystem, pardiso_available  # noqa: E402
from cones_ipm.problem import ConeDecl, ConicProblem  # noqa: E402

# Largest iteration counts measured: 10 on the shipped problems, 16 on the small CVXPY
# models (seeds 1 to 5, all optimal); the bound leaves a margin above those.
ITERATION_BOUND = 25

SHIPPED = {p.name: p for p in problems.shipped_problems()}
BACKENDS = ["supernodal", "qdldl", "splu"] + (["pardiso"] if pardiso_available() else [])


@pytest.fixture(autouse=True)
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def peer_objectives(prob):
    pytest.importorskip("cvxopt")
    pytest.importorskip("clarabel")
    from peers import clarabel_objective, cvxopt_objective
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
        z = res.z[part]
        if decl.kind == "exp":   # (u, v, w) ∈ K*  ⇔  (u − v, −u, w) ∈ K
            u, v, w = z[0::3], z[1::3], z[2::3]
            z = np.stack([u - v, -u, w], axis=1).reshape(-1)
        assert mod.contains(np.ascontiguousarray(z), atol=tol * scale)
    gap = p.c @ res.x + p.b @ res.y + p.h @ res.z
    assert abs(gap) <= tol * (1 + abs(p.c @ res.x))


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_shipped_problem_matches_peers(name, backend):
    prob = SHIPPED[name]
    res = solve(prob, linear_solver=backend)
    assert res.status == "optimal", res.message
    assert res.linear_solver in (backend, "qdldl")  # PARDISO and the supernodal LDLᵀ may hand over to qdldl
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
        from models import MODELS, STATUS_MODELS
    except ImportError:
        return [], []
    return sorted(MODELS), sorted(STATUS_MODELS)


MODEL_NAMES, STATUS_NAMES = _models()


@pytest.mark.parametrize("name", MODEL_NAMES)
def test_cvxpy_model_matches_clarabel(name):
    """The small instance of every model kind (LP, SOCP, SDP, exponential) against Clarabel on the
    same conic data, to 1e-7 relative, and certified from the returned point."""
    from models import MODELS, conic_data
    from peers import clarabel_reference

    family, build, size, _ = MODELS[name]
    data, prob = conic_data(build(size, 3))
    res = solve(prob)
    status, obj, _, iterations = clarabel_reference(data)
    assert status == "Solved"
    assert res.status == "optimal", res.message
    assert res.iterations <= ITERATION_BOUND
    if family == "EXP":   # the primal-dual exponential scaling keeps pace with Clarabel's
        assert res.iterations <= iterations + 5
    assert abs(res.objective - obj) <= 1e-7 * max(1.0, abs(obj))
    assert_certified_optimal(prob, res)


def assert_certificate(prob, res, tol=1e-7):
    """The ray of an infeasibility verdict holds on the program's own data at any scale:
    z ∈ K*, bᵀy + hᵀz = −1 and ‖Aᵀy + Gᵀz‖∞ ≤ tol ‖[A; G]‖max / ‖(b, h)‖∞ (no x of size
    below ‖(b, h)‖/(tol ‖[A; G]‖) is feasible) for primal infeasibility; s ∈ K, cᵀx = −1,
    ‖(Ax, Gx + s)‖∞ ≤ tol ‖[A; G]‖max / ‖c‖∞ for dual infeasibility; membership checked
    with the module's cone tests."""
    p = prob.without_zero_cones()
    matrix = max(abs(p.A).max() if p.A.nnz else 0.0, abs(p.G).max() if p.G.nnz else 0.0)

    def inside(v, dual):
        for d, o in p.offsets():
            part = v[o:o + d.rows]
            if dual and d.kind == "exp":   # (u, v, w) ∈ K*  ⇔  (u − v, −u, w) ∈ K
                part = np.stack([part[0::3] - part[1::3], -part[0::3], part[2::3]], axis=1).reshape(-1)
            if not module_cone(d).contains(np.ascontiguousarray(part), atol=tol * (1 + np.abs(v).max())):
                return False
        return True

    if res.status == "primal_infeasible":
        rhs = max(np.abs(p.b).max(initial=0), np.abs(p.h).max(initial=0))
        assert np.abs(p.A.T @ res.y + p.G.T @ res.z).max(initial=0) * rhs <= tol * matrix
        assert abs(p.b @ res.y + p.h @ res.z + 1.0) <= 1e-12
        assert inside(res.z, dual=True)
    else:
        assert res.status == "dual_infeasible"
        assert abs(p.c @ res.x + 1.0) <= 1e-12
        residual = np.concatenate([p.A @ res.x, p.G @ res.x + res.s])
        assert np.abs(residual).max(initial=0) * np.abs(p.c).max() <= tol * max(matrix, 1e-300)
        assert inside(res.s, dual=False)


@pytest.mark.parametrize("name", STATUS_NAMES)
def test_cvxpy_infeasible_and_unbounded_models(name):
    """Statuses as Clarabel's, with certificates that hold (`assert_certificate`)."""
    from models import STATUS_MODELS, conic_data
    from peers import clarabel_reference

    build, size, _, expected = STATUS_MODELS[name]
    data, prob = conic_data(build(size, 3))
    res = solve(prob)
    assert res.status == expected, res.message
    assert clarabel_reference(data)[0] == {"primal_infeasible": "PrimalInfeasible",
                                           "dual_infeasible": "DualInfeasible"}[expected]
    assert_certificate(prob, res)


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
    ours = prob.solve(solver=ConesIpm(tol_gap=1e-12, tol_feas=1e-11))
    y_ours, duals = Y.value.copy(), [c.dual_value for c in cons]
    ref = prob.solve(solver="CLARABEL", tol_gap_abs=1e-11, tol_gap_rel=1e-11, tol_feas=1e-11)
    assert abs(ours - ref) <= 1e-7 * max(1.0, abs(ref))
    np.testing.assert_allclose(y_ours, Y.value, atol=1e-6)
    # Multipliers too are determined to about √gap.
    np.testing.assert_allclose(duals[0], cons[0].dual_value, atol=1e-5)
    assert abs(duals[1] - cons[1].dual_value) <= 1e-5 * (1 + abs(cons[1].dual_value))


# CVXPY's conformance tests (tests/test_cvxpy_conformance.py) check the statuses, values
# and that every constraint has a dual value; these check what the dual values and the
# solver stats are on the statuses other than "optimal".
def _cvxpy_infeasible_programs():
    """Infeasible programs with affine constraint expressions and explicit cones, so that
    the certificate's Lagrangian is an affine function of the variables."""
    cp = pytest.importorskip("cvxpy")

    def soc():   # ‖x‖ ≤ t ≤ −1
        x, t = cp.Variable(3), cp.Variable()
        return cp.Problem(cp.Maximize(cp.sum(x)), [cp.SOC(t, x), t <= -1])

    def psd():   # a PSD matrix with X00 + X11 < 0
        X = cp.Variable((3, 3), symmetric=True)
        return cp.Problem(cp.Minimize(cp.trace(X)), [X >> 0, X[0, 0] + X[1, 1] == -0.5, X[0, 1] >= 2])

    def exp():   # z ≥ e^x ≥ e > 2
        x, y, z = cp.Variable(), cp.Variable(), cp.Variable()
        return cp.Problem(cp.Minimize(x + z), [cp.ExpCone(x, y, z), x >= 1, y == 1, z <= 2])

    def mixed():   # ‖x‖ ≤ 1 and x0 ≥ 1 give x0 = 1, then e ≤ y ≤ 2
        x, y = cp.Variable(2), cp.Variable()
        return cp.Problem(cp.Maximize(y - x[1]), [cp.ExpCone(x[0], 1, y), y <= 2, x[0] >= 1, cp.SOC(1, x)])

    def lp():   # x1 ≤ x2 − 1 ≤ −0.5 against x ≥ 0
        x = cp.Variable(3)
        return cp.Problem(cp.Maximize(x[0]), [x[0] + x[1] == 2, x[1] - x[2] <= -1, x[2] <= 0.5, x >= 0])

    return {f.__name__: f for f in (soc, psd, exp, mixed, lp)}


@pytest.mark.parametrize("name", ["soc", "psd", "exp", "mixed", "lp"])
def test_cvxpy_infeasibility_certificate_in_the_dual_values(name, rng):
    """On "infeasible" the constraints' dual values are a certificate in CVXPY's own
    conventions (those of its Lagrangian, L = f + Σ⟨λ, expr⟩ over inequalities and
    equalities − Σ⟨λ, args⟩ over cone constraints): every λ in its dual domain (checked
    with CVXPY's dual residuals), and the constraint part of L constant in the variables and
    positive, while it is ≤ 0 at every feasible point."""
    cp = pytest.importorskip("cvxpy")
    from cones_ipm.cvxpy_interface import ConesIpm

    prob = _cvxpy_infeasible_programs()[name]()
    prob.solve(solver=ConesIpm())
    assert prob.status == "infeasible"
    for con in prob.constraints:
        if isinstance(con, cp.constraints.Inequality):
            assert np.min(con.dual_value) >= 0
        elif isinstance(con, cp.constraints.Cone):
            residual = con.dual_residual
            residual = np.linalg.norm(residual) if isinstance(con, cp.constraints.SOC) else np.max(residual)
            assert residual <= 1e-7

    def lagrangian_constraint_part():
        total = 0.0
        for con in prob.constraints:
            if isinstance(con, (cp.constraints.Inequality, cp.constraints.Equality)):
                total += np.vdot(con.dual_value, con.expr.value)
            else:
                duals = con.dual_value if isinstance(con.dual_value, list) else [con.dual_value]
                total -= sum(np.vdot(np.asarray(d), np.asarray(a.value)) for a, d in zip(con.args, duals))
        return float(total)

    values = []
    for k in range(4):
        for v in prob.variables():
            w = np.zeros(v.shape) if k == 0 else rng.standard_normal(v.shape)
            v.value = w + w.T if v.attributes["symmetric"] else w
        values.append(lagrangian_constraint_part())
    assert values[0] > 1e-3
    np.testing.assert_allclose(values, values[0], rtol=0, atol=1e-6 * (1 + values[0]))


@pytest.mark.parametrize("sense", ["min", "max"])
def test_cvxpy_unbounded_reports_as_peer_interfaces(sense):
    """On "unbounded", as CVXPY's SCS and Clarabel interfaces: the value ∓inf, no variable
    values, every constraint's dual value set to what the solver returned (our y, z are
    NaN, as SCS's), and the solver's own result in the solver stats, whose ray (Ax = 0,
    Gx + s = 0, s ∈ K, cᵀx = −1) holds on CVXPY's conic data."""
    cp = pytest.importorskip("cvxpy")
    from cones_ipm import Result
    from cones_ipm.cvxpy_interface import ConesIpm

    x = cp.Variable(3)
    cons = [x >= -1, x[0] == x[1], x[1] + x[2] <= 5 + x[0]]
    prob = cp.Problem(cp.Minimize(-cp.sum(x)) if sense == "min" else cp.Maximize(cp.sum(x)), cons)
    value = prob.solve(solver=ConesIpm())
    assert prob.status == "unbounded"
    assert value == (-np.inf if sense == "min" else np.inf)
    assert x.value is None
    for con in cons:
        assert con.dual_value is not None and np.all(np.isnan(con.dual_value))
    res = prob.solver_stats.extra_stats
    assert isinstance(res, Result) and res.status == "dual_infeasible"
    assert prob.solver_stats.num_iters == res.iterations
    data = prob.get_problem_data(ConesIpm())[0]
    zero = data["dims"].zero
    A, c = data["A"], data["c"]
    assert abs(c @ res.x + 1.0) <= 1e-12
    assert np.linalg.norm(A[:zero] @ res.x) <= 1e-7
    assert np.linalg.norm(A[zero:] @ res.x + res.s) <= 1e-7 and res.s.min() >= 0


def test_cvxpy_numerical_error_is_a_solver_error(monkeypatch):
    cp = pytest.importorskip("cvxpy")
    import dataclasses

    from cones_ipm import cvxpy_interface
    from cones_ipm.cvxpy_interface import ConesIpm

    real_solve = cvxpy_interface.ipm.solve
    monkeypatch.setattr(cvxpy_interface.ipm, "solve",
                        lambda *a, **k: dataclasses.replace(real_solve(*a, **k), status="numerical_error"))
    with pytest.raises(cp.error.SolverError, match="CONES_IPM"):
        x = cp.Variable(2)
        cp.Problem(cp.Minimize(cp.sum(x)), [x >= 1]).solve(solver=ConesIpm())


def test_cvxpy_use_quad_obj_is_a_canonicalisation_option():
    """use_quad_obj (read by CVXPY's solving chain) is not passed on to the solver, as a
    solve option or a ConesIpm argument; other unknown options are still refused."""
    cp = pytest.importorskip("cvxpy")
    from cones_ipm.cvxpy_interface import ConesIpm

    x = cp.Variable(2)
    prob = cp.Problem(cp.Minimize(cp.sum_squares(x - np.array([3.0, -1.0]))), [cp.sum(x) == 1])
    # The projection of (3, −1) onto x0 + x1 = 1 is (2.5, −1.5), at squared distance 0.5.
    for solver, opts in ((ConesIpm(), {"use_quad_obj": False}), (ConesIpm(), {"use_quad_obj": True}),
                         (ConesIpm(use_quad_obj=False), {})):
        assert abs(prob.solve(solver=solver, **opts) - 0.5) <= 1e-7
        np.testing.assert_allclose(x.value, [2.5, -1.5], atol=1e-6)
    with pytest.raises(TypeError, match="unknown solver setting 'no_such_setting'"):
        prob.solve(solver=ConesIpm(), no_such_setting=1)


# ---- rollback ------------------------------------------------------------------------------
def test_refused_scaling_rolls_back_to_the_best_iterate(monkeypatch):
    """From the sixth scaling on, every point is refused (its s negated, as the scaling of
    a non-interior point is): the step is shortened down to the minimum, then the run ends
    at the best iterate with the refusal's message; the point returned is that iterate's."""
    prob = SHIPPED["sdp_random"]
    calls = []
    original = ConeProduct.scale_and_fill

    def refusing(self):
        calls.append(1)
        if len(calls) >= 6:
            self.load_point(-self.s, self.z.copy())
        return original(self)

    monkeypatch.setattr(ConeProduct, "scale_and_fill", refusing)
    res = solve(prob)
    assert res.status in ("almost_optimal", "numerical_error")
    assert "strictly positive definite" in res.message
    # Scalings 1 … 5 prepared iterates 0 … 4, the step from iterate 4 was refused: four
    # iterations were run, and the best iterate of those is returned.
    merits = [max(h["pres"], h["dres"], h["gap"]) for h in res.history]
    assert len(merits) == 5 and res.iterations == 4
    best = res.history[int(np.argmin(merits))]
    assert (res.primal_residual, res.dual_residual, res.gap) == (best["pres"], best["dres"], best["gap"])
    assert res.objective == pytest.approx(best["pobj"], rel=1e-12)


# ---- verdicts at any scale of the data ------------------------------------------------------
@functools.lru_cache(maxsize=None)
def _scaling_model(name):
    from models import MODELS, STATUS_MODELS, conic_data
    if name in STATUS_MODELS:
        build, size, _, expected = STATUS_MODELS[name]
    else:
        _, build, size, _ = MODELS[name]
        expected = "optimal"
    prob = conic_data(build(size, 4))[1]
    return prob, expected, solve(prob)


def _scaled(prob, mode, f):
    """The program with c (mode "c"), (b, h) ("bh"), the matrix (A, G) ("A") or all three
    ("all") multiplied by f; its objective is the original's times f (1/f for "A")."""
    c, G, h, A, b = prob.c, prob.G, prob.h, prob.A, prob.b
    if mode in ("c", "all"):
        c = c * f
    if mode in ("bh", "all"):
        h, b = h * f, b * f
    if mode in ("A", "all"):
        G, A = G * f, A * f
    return ConicProblem(prob.name, c, G, h, prob.cones, A, b)


@pytest.mark.parametrize("mode, f", [("c", 1e8), ("c", 1e-8), ("bh", 1e8), ("bh", 1e-8), ("A", 1e8), ("A", 1e-8),
                                     ("all", 1e8), ("all", 1e-8)])
@pytest.mark.parametrize("name", ["transport", "lasso", "nearest_correlation", "entropy_max", "lp_infeasible",
                                  "socp_unbounded", "sdp_infeasible", "lp_unbounded"])
def test_verdicts_do_not_depend_on_the_scale_of_the_data(name, mode, f):
    """Scaling c, (b, h) or the constraint matrix by a constant changes no verdict: the
    status is the program's own, an optimum moves with the scaling (objective times f, or
    1/f for the matrix) to 1e-6 of its own size, and a certificate holds on the scaled data
    (residuals relative to their terms). A cost of 1e8 once made the starting point pass
    for a certificate."""
    prob, expected, ref = _scaling_model(name)
    assert ref.status == expected, ref.message
    scaled = _scaled(prob, mode, f)
    res = solve(scaled)
    assert res.status == expected, res.message
    if expected == "optimal":
        factor = 1.0 / f if mode == "A" else f
        assert abs(res.objective - factor * ref.objective) <= 1e-6 * factor * max(1.0, abs(ref.objective))
        assert_certified_optimal(scaled, res, tol=1e-6 * max(1.0, factor))
    else:
        assert_certificate(scaled, res)


@pytest.mark.parametrize("case", ["large cost", "large negative cost", "empty", "free, unbounded", "free, no cost",
                                  "equality only, unbounded", "no variables, infeasible", "no variables, feasible"])
def test_closed_form_programs(case):
    """Programs whose answer is known in closed form, at the edges of the data: costs of
    1e8 and −1e9 (once declared infeasible and unbounded at iteration 0), a program with
    nothing in it, variables without constraints, an equality without cones, and cone rows
    without variables (a membership test of h)."""
    empty = sp.csr_matrix((0, 2))
    programs = {
        "large cost": (ConicProblem("a", [1e8], [[-1.0]], [-1.0], [("nonnegative", 1)]), "optimal", [1.0], 1e8),
        "large negative cost": (ConicProblem("b", [-1e9], [[1.0]], [1.0], [("nonnegative", 1)]), "optimal", [1.0],
                                -1e9),
        "empty": (ConicProblem("c", np.zeros(0), sp.csr_matrix((0, 0)), np.zeros(0), []), "optimal", [], 0.0),
        "free, unbounded": (ConicProblem("d", [1.0, -2.0], empty, np.zeros(0), []), "dual_infeasible", None, None),
        "free, no cost": (ConicProblem("e", [0.0, 0.0], empty, np.zeros(0), []), "optimal", None, 0.0),
        "equality only, unbounded": (ConicProblem("f", [1.0, 1.0], empty, np.zeros(0), [], [[1.0, -1.0]], [1.0]),
                                     "dual_infeasible", None, None),
        "no variables, infeasible": (ConicProblem("g", np.zeros(0), sp.csr_matrix((3, 0)), [1.0, -2.0, 3.0],
                                                  [("nonnegative", 3)]), "primal_infeasible", None, None),
        "no variables, feasible": (ConicProblem("h", np.zeros(0), sp.csr_matrix((3, 0)), [1.0, 0.0, 0.5],
                                                [("soc", 3)]), "optimal", [], 0.0),
    }
    prob, status, x, objective = programs[case]
    res = solve(prob)
    assert res.status == status, res.message
    if status == "optimal":
        assert res.objective == pytest.approx(objective, rel=1e-9, abs=1e-9)
        if x is not None:
            np.testing.assert_allclose(res.x, x, rtol=1e-9)
        if prob.n + prob.m + prob.p:
            assert_certified_optimal(prob, res)
    else:
        assert_certificate(prob, res)


@pytest.mark.parametrize("setting, value, error", [
    ("max_iter", -1, ValueError), ("max_iter", 2.5, TypeError), ("stall_iterations", 0, ValueError),
    ("step_fraction", -1.0, ValueError), ("step_fraction", 1.5, ValueError), ("tol_gap", float("nan"), ValueError),
    ("tol_feas", 0.0, ValueError), ("regularization", float("inf"), ValueError), ("linear_solver", "lu", ValueError),
    ("equilibrate_bounds", (2.0, 1.0), ValueError), ("soc_expansion_min", 0, ValueError), ("verbose", 1, TypeError),
    ("step", {"shortening": 1.0}, ValueError), ("step", {"max_shortenings": 0}, ValueError),
    ("kkt", {"attempts": 0}, ValueError), ("kkt", {"regularization_growth": 0.5}, ValueError),
    ("kkt", {"gamma_range": (10.0, 1.0)}, ValueError), ("exp_cone", {"backtrack": 1.0}, ValueError),
    ("kkt", 3, TypeError),
])
def test_settings_outside_their_range_are_refused(setting, value, error):
    """As a solve override and as a Settings field alike, with the setting's name (a field of
    a group named by its path); the caller's Settings object is never written by an override."""
    from cones_ipm import Settings
    name = setting
    if isinstance(value, dict):   # one field of a settings group, the rest at their defaults
        (field, bad), = value.items()
        value, name = dataclasses.replace(getattr(Settings(), setting), **{field: bad}), f"{setting}.{field}"
    with pytest.raises(error, match=f"^setting {re.escape(name)} must be "):
        solve(SHIPPED[sorted(SHIPPED)[0]], **{setting: value})
    with pytest.raises(error, match=f"^setting {re.escape(name)} must be "):
        Settings(**{setting: value})
    mine = Settings()
    res = solve(SHIPPED[sorted(SHIPPED)[0]], settings=mine, max_iter=0)
    assert mine == Settings() and res.status in ("max_iterations", "optimal") and res.iterations == 0


def test_non_finite_data_is_refused():
    with pytest.raises(ValueError, match="h has non-finite"):
        ConicProblem("bad", np.ones(1), sp.csr_matrix(-np.ones((1, 1))), np.array([np.nan]),
                     [ConeDecl("nonnegative", 1)])


@pytest.mark.parametrize("kind, dim, error, message", [
    ("soc", 3.0, TypeError, "soc cone dim must be an int, got float 3.0"),
    ("psd", np.float64(2), TypeError, "psd cone dim must be an int, got float64 np.float64(2.0)"),
    ("exp", True, TypeError, "exp cone dim must be an int, got bool True"),
    ("nonnegative", np.bool_(True), TypeError, "nonnegative cone dim must be an int, got bool np.True_"),
    ("soc", "3", TypeError, "soc cone dim must be an int, got str '3'"),
    ("zero", None, TypeError, "zero cone dim must be an int, got NoneType None"),
    ("soc", -1, ValueError, "soc cone needs a positive dim, got -1"),
    ("psd", 0, ValueError, "psd cone needs a positive dim, got 0"),
    ("nonnegative", np.int64(-2), ValueError, "nonnegative cone needs a nonnegative dim, got np.int64(-2)"),
    ("cone", 3, ValueError, "unknown cone kind 'cone'; expected one of ('zero', 'nonnegative', 'soc', 'psd', 'exp')"),
    (3, 3, TypeError, "cone kind must be a str, one of ('zero', 'nonnegative', 'soc', 'psd', 'exp'); got int 3"),
])
def test_cone_declaration_refuses_a_wrong_kind_or_dimension(kind, dim, error, message):
    with pytest.raises(error) as info:
        ConeDecl(kind, dim)
    assert str(info.value) == message


def test_cone_declaration_takes_python_and_numpy_integers():
    for dim in (3, np.int64(3), np.int32(3), np.uint8(3)):
        decl = ConeDecl("soc", dim)
        assert decl == ConeDecl("soc", 3) and type(decl.dim) is int and decl.rows == 3
    assert ConeDecl("zero", 0).rows == 0 and ConeDecl("nonnegative", np.int16(0)).rows == 0
    assert ConeDecl(np.str_("psd"), 3).rows == 6 and type(ConeDecl(np.str_("psd"), 3).kind) is str


@pytest.mark.parametrize("change, error, message", [
    (dict(c=np.ones((2, 1))), ValueError, r"c must be a 1-D array, got shape \(2, 1\)"),
    (dict(c=1.0), ValueError, r"c must be a 1-D array, got shape \(\)"),
    (dict(h=np.zeros((1, 2))), ValueError, r"h must be a 1-D array, got shape \(1, 2\)"),
    (dict(c=["1", "2"]), TypeError, "c must hold real numbers, got non-numeric data of dtype <U1"),
    (dict(c=np.array([1.0, 1j])), TypeError, "c must hold real numbers, got complex data"),
    (dict(h=np.array([0, "x"], dtype=object)), TypeError, "h must hold real numbers, got non-numeric data"),
    (dict(c=[[1.0], [2.0, 3.0]]), ValueError, "c is not a regular array"),
    (dict(c=sp.csr_matrix(np.ones((1, 2)))), TypeError, r"c must be a dense 1-D array, got a sparse \(1, 2\) matrix"),
    (dict(c=None), TypeError, "c is required, got None"),
    (dict(G=np.ones(2)), ValueError, r"G must be a 2-D array or sparse matrix, got shape \(2,\)"),
    (dict(G=sp.csr_matrix(np.eye(2) * 1j)), TypeError, "G must hold real numbers, got dtype complex128"),
    (dict(G=-np.eye(3)), ValueError, r"G has shape \(3, 3\), expected \(2, 2\) from c and the cones"),
    (dict(A=np.ones((1, 2))), ValueError, "A is given but b is None; give b with A"),
    (dict(b=np.ones(1)), ValueError, r"b is given \(shape \(1,\)\) but A is None; give A with b"),
    (dict(A=np.ones((1, 2)), b=np.ones((1, 1))), ValueError, r"b must be a 1-D array, got shape \(1, 1\)"),
    (dict(A=np.ones((1, 2)), b=np.ones(2)), ValueError, r"A has shape \(1, 2\), expected \(2, 2\)"),
    (dict(cones=ConeDecl("nonnegative", 2)), TypeError, "cones must be a list of ConeDecl or"),
    (dict(cones=[("nonnegative",)]), TypeError, r"cones\[0\] must be a ConeDecl or a \(kind, dim\) pair"),
    (dict(cones=[("nonnegative", 2.0)]), TypeError, "nonnegative cone dim must be an int, got float 2.0"),
], ids=["c-column", "c-scalar", "h-row", "c-strings", "c-complex", "h-objects", "c-ragged", "c-sparse", "c-none",
        "G-1d", "G-complex", "G-shape", "A-without-b", "b-without-A", "b-2d", "A-b-mismatch", "cones-one-decl",
        "cones-short-pair", "cones-float-dim"])
def test_conic_problem_refuses_wrong_shapes_and_non_numeric_data(change, error, message):
    data = dict(name="bad", c=np.ones(2), G=sp.csr_matrix(-np.eye(2)), h=np.zeros(2),
                cones=[ConeDecl("nonnegative", 2)])
    data.update(change)
    with pytest.raises(error, match=message):
        ConicProblem(**data)


def test_conic_problem_takes_lists_integers_and_dense_matrices():
    """Data that converts exactly to float64 is taken as before: lists, integer and bool
    arrays, dense 2-D arrays and SciPy sparse arrays, (kind, dim) pairs for cones."""
    from fractions import Fraction

    prob = ConicProblem("ok", [1, Fraction(1, 2)], [[-1, 0], [0, -1]], np.zeros(2, dtype=np.int32),
                        [("nonnegative", np.int64(2))], A=sp.csr_array(np.ones((1, 2))), b=[True])
    assert prob.c.dtype == np.float64 and prob.c.tolist() == [1.0, 0.5]
    assert isinstance(prob.G, sp.csr_matrix) and prob.G.toarray().tolist() == [[-1.0, 0.0], [0.0, -1.0]]
    assert prob.b.tolist() == [1.0] and prob.A.shape == (1, 2) and prob.cones == [ConeDecl("nonnegative", 2)]
    res = solve(prob)
    assert res.status == "optimal" and abs(res.objective - 0.5) <= 1e-7


@pytest.mark.parametrize("where", ["host", "device"])
@pytest.mark.parametrize("make", [problems.entropy, problems.log_sum_exp])
def test_exponential_cone_programs_match_clarabel(make, where, request):
    """Maximum entropy (exponential cones alone) and log-sum-exp over a box (with an orthant,
    device-resident in device mode) solved to Clarabel's tight optimum and certified."""
    if where == "device":
        request.getfixturevalue("dev")
    prob = make()
    res = solve(prob, where=where)
    assert res.status == "optimal", res.message
    assert res.iterations <= ITERATION_BOUND
    _, (cl_status, cl_obj, _) = peer_objectives(prob)
    assert cl_status == "Solved"
    assert abs(res.objective - cl_obj) <= 1e-7 * max(1.0, abs(cl_obj))
    assert_certified_optimal(prob, res)


# ---- the cone product against dense maths ------------------------------------------------------
# Cones in the solver's order (kind, then dimension): module groups of several sizes, second-order
# cones on both sides of the expansion threshold, PSD cones of the NumPy body.
PRODUCT = [("nonnegative", 4), ("nonnegative", 3), ("soc", 1), ("soc", 2), ("soc", 3), ("soc", 3), ("soc", 7),
           ("soc", 70), ("soc", 70), ("psd", 1), ("psd", 3), ("psd", 3)]


def _smat(v):
    n = int(round((np.sqrt(8 * v.size + 1) - 1) / 2))
    return problems.smat(v, n)


def _psd_root(S, power):
    lam, Q = np.linalg.eigh(S)
    return (Q * lam ** power) @ Q.T


def dense_cone(decl, s, z):
    """(W, H⁻¹ = WᵀW, z⁻¹) of one cone by textbook formulas: W = diag(√(s/z)); the
    second-order W = η(2vvᵀ − J) of the scaling point w; the PSD W X = R X R with R = P^½,
    P the NT point (P Z P = S)."""
    if decl.kind == "nonnegative":
        W = np.diag(np.sqrt(s / z))
        return W, W @ W, 1.0 / z
    if decl.kind == "soc":
        J = np.diag([1.0] + [-1.0] * (decl.dim - 1))
        a, b = np.sqrt(s @ J @ s), np.sqrt(z @ J @ z)
        st, zt = s / a, z / b
        w = (st + J @ zt) / (2.0 * np.sqrt((1.0 + st @ zt) / 2.0))
        v = (w + np.eye(decl.dim)[0]) / np.sqrt(2.0 * (w[0] + 1.0))
        W = np.sqrt(a / b) * (2.0 * np.outer(v, v) - J)
        return W, W.T @ W, J @ z / (z @ J @ z)
    S, Z = _smat(s), _smat(z)
    Sh = _psd_root(S, 0.5)
    R = _psd_root(Sh @ _psd_root(Sh @ Z @ Sh, -0.5) @ Sh, 0.5)
    basis = np.eye(s.size)
    W = np.column_stack([problems.svec(R @ _smat(e) @ R) for e in basis])
    return W, W.T @ W, problems.svec(np.linalg.inv(Z))


def dense_product(decl, x, y):
    if decl.kind == "nonnegative":
        return x * y
    if decl.kind == "soc":
        return np.concatenate([[x @ y], x[0] * y[1:] + y[0] * x[1:]])
    X, Y = _smat(x), _smat(y)
    return problems.svec(0.5 * (X @ Y + Y @ X))


def interior(decls, rng):
    return np.concatenate([problems._interior_point(d, rng) for d in decls])


def bound_product(decls, arrays, expansion_min=None):
    """A ConeProduct bound to a CSR structure of its own KKT rows (values NaN until filled)."""
    K = ConeProduct(decls, arrays, expansion_min)
    rows, cols, extra_diagonal = K.pattern()
    size = K.m + extra_diagonal.size
    T = sp.csr_matrix((np.ones(rows.size), (rows, cols)), shape=(size, size))
    T.sort_indices()
    indptr, indices = T.indptr.astype(np.int64), T.indices.astype(np.int64)
    values = np.full(indices.size, np.nan)
    K.bind(indptr, indices, values)
    return K, indptr, indices, values, extra_diagonal


@pytest.fixture(params=["host", "device"])
def arrays(request):
    if request.param == "host":
        return HostArrays()
    request.getfixturevalue("dev")
    return DeviceArrays()


@pytest.mark.parametrize("expansion_min", [None, 3])
def test_cone_product_against_dense_maths(arrays, expansion_min, rng):
    """One product over grouped module families and the PSD NumPy body, host or device: the
    filled KKT rows (second-order groups dense or expanded, the expansions' extra rows
    eliminated) are the block-diagonal H⁻¹ = WᵀW of the textbook scalings; the centring term
    is z⁻¹; the correction term is Wᵀ(λ \\ ((W⁻ᵀds)∘(W dz))) with λ = W z; interior and step
    verdicts agree with dense spectral tests."""
    decls = [ConeDecl(*c) for c in PRODUCT]
    K, indptr, indices, values, extra_diagonal = bound_product(decls, arrays, expansion_min)
    threshold = 64 if expansion_min is None else expansion_min
    assert extra_diagonal.size == 2 * sum(d.kind == "soc" and d.dim >= threshold for d in decls)
    offsets = np.cumsum([0] + [d.rows for d in decls])
    parts = [slice(a, b) for a, b in zip(offsets[:-1], offsets[1:])]
    for _ in range(2):
        s, z = interior(decls, rng), interior(decls, rng)
        ds, dz = rng.standard_normal(K.m), rng.standard_normal(K.m)
        K.load_point(s, z)
        assert K.interior()
        K.scale_and_fill()
        dense = [dense_cone(d, s[sl], z[sl]) for d, sl in zip(decls, parts)]
        U = sp.csr_matrix((values, indices, indptr), shape=(indptr.size - 1,) * 2).toarray()
        T = U + U.T - np.diag(np.diag(U))
        m = K.m
        Hinv = T[:m, :m] - T[:m, m:] @ np.linalg.solve(T[m:, m:], T[m:, :m]) if T.shape[0] > m else T
        ref = sp.block_diag([h for _, h, _ in dense]).toarray()
        np.testing.assert_allclose(Hinv, ref, rtol=0, atol=1e-11 * np.abs(ref).max())
        np.testing.assert_allclose(K.centring, np.concatenate([zi for _, _, zi in dense]), rtol=1e-11, atol=1e-13)
        K.load_direction(ds, dz)
        got = K.correction().copy()
        for d, sl, (W, _, _) in zip(decls, parts, dense):
            lam = W @ z[sl]
            v = dense_product(d, np.linalg.solve(W.T, ds[sl]), W @ dz[sl])
            arrow = np.column_stack([dense_product(d, lam, e) for e in np.eye(d.rows)])
            ref_cor = W.T @ np.linalg.solve(arrow, v)
            np.testing.assert_allclose(got[sl], ref_cor, rtol=0, atol=1e-10 * (1 + np.abs(ref_cor).max()))
        # The step to the boundary: one cone reaches it, none leaves.
        alpha = K.max_step()

        def smallest(v):
            return [v[sl].min() if d.kind == "nonnegative" else v[sl][0] - np.linalg.norm(v[sl][1:])
                    if d.kind == "soc" else np.linalg.eigvalsh(_smat(v[sl]))[0] for d, sl in zip(decls, parts)]

        ends = smallest(s + alpha * ds) + smallest(z + alpha * dz)
        scale = 1 + np.abs(np.concatenate([s + alpha * ds, z + alpha * dz])).max()
        assert min(ends) >= -1e-9 * scale and min(abs(e) for e in ends) <= 1e-9 * scale
        for factor, inside in ((0.99, True), (1.01, False)):
            K.load_point(s + factor * alpha * ds, z + factor * alpha * dz)
            assert K.interior() == inside


def test_cone_product_device_equals_host(dev, rng):
    """Device families give the host's bits: H⁻¹ rows, centring and correction terms, steps."""
    decls = [ConeDecl(*c) for c in PRODUCT]
    s, z = interior(decls, rng), interior(decls, rng)
    ds, dz = rng.standard_normal(s.size), rng.standard_normal(s.size)
    out = []
    for arrays in (HostArrays(), DeviceArrays()):
        K, _, _, values, _ = bound_product(decls, arrays)
        K.load_point(s, z)
        K.scale_and_fill()
        K.load_direction(ds, dz)
        out.append([values.copy(), K.centring.copy(), K.correction().copy(), K.max_step()])
    for h, d in zip(*out):
        np.testing.assert_array_equal(h, d)


def _exp_gradient_hessian(s):
    """∇f and ∇²f = VᵀV of f = −log(y log(z/y) − x) − log y − log z at one cone point."""
    x, y, z = s
    r = np.log(z / y)
    psi = y * r - x
    grad = np.array([1 / psi, -(r - 1) / psi - 1 / y, -(y / z) / psi - 1 / z])
    V = np.array([np.array([-1.0, r - 1, y / z]) / psi, np.array([0.0, 1.0, -y / z]) / np.sqrt(y * psi),
                  [0.0, 1 / y, 0.0], [0.0, 0.0, 1 / z]])
    return grad, V.T @ V


def _exp_inside(v, dual):
    x, y, z = (v[0] - v[1], -v[0], v[2]) if dual else v
    return y > 0 and z > 0 and y * np.log(z / y) - x > 0


def test_exponential_family_against_dense_maths(arrays, rng):
    """Exponential cones beside a device-resident orthant: the filled 3 × 3 rows B = H⁻¹ are
    symmetric positive definite with B z = s and B z̃ = s̃ (z̃ = −∇f(s)); the centring term is
    the shadow point s̃ (−∇f(s̃) = z); the correction is −B η with η = ½ f‴(s)[ds, ∇²f(s)⁻¹dz]
    (f‴ by central differences of ∇²f); the step keeps every s in int K and z in int K* and
    is the first of the backtracking sequence to do so."""
    decls = [ConeDecl("nonnegative", 2), ConeDecl("exp", 5)]
    K, indptr, indices, values, _ = bound_product(decls, arrays)
    exp = decls[1]
    s = np.concatenate([1.0 + rng.random(2), problems._interior_point(exp, rng)])
    z = np.concatenate([1.0 + rng.random(2), problems._dual_interior_point(exp, rng)])
    K.load_point(s, z)
    assert K.interior()
    K.scale_and_fill()
    U = sp.csr_matrix((values, indices, indptr), shape=(K.m, K.m)).toarray()
    T = U + U.T - np.diag(np.diag(U))
    ds, dz = 2 * rng.standard_normal(K.m), 2 * rng.standard_normal(K.m)
    K.load_direction(ds, dz)
    correction = K.correction().copy()
    for k in range(exp.dim):
        sl = slice(2 + 3 * k, 5 + 3 * k)
        B, sk, zk = T[sl, sl], s[sl], z[sl]
        assert np.all(T[sl, :sl.start] == 0) and np.all(T[sl, sl.stop:] == 0)
        assert np.linalg.eigvalsh(B)[0] > 0
        grad, hess = _exp_gradient_hessian(sk)
        shadow = K.centring[sl]
        np.testing.assert_allclose(-_exp_gradient_hessian(shadow)[0], zk, rtol=1e-10)
        scale = np.linalg.norm(B, 2)
        assert np.linalg.norm(B @ zk - sk) <= 1e-12 * scale * np.linalg.norm(zk)
        assert np.linalg.norm(B @ -grad - shadow) <= 1e-9 * scale * np.linalg.norm(grad)
        a, b = ds[sl], np.linalg.solve(hess, dz[sl])
        t = 1e-5 * min(sk[1], sk[2], sk[1] * np.log(sk[2] / sk[1]) - sk[0]) / np.linalg.norm(a)
        third = (_exp_gradient_hessian(sk + t * a)[1] - _exp_gradient_hessian(sk - t * a)[1]) @ b / (2 * t)
        ref = -B @ (0.5 * third)
        np.testing.assert_allclose(correction[sl], ref, rtol=0, atol=1e-6 * np.abs(ref).max())
    alpha = K.max_step()
    exp_parts = [slice(2 + 3 * k, 5 + 3 * k) for k in range(exp.dim)]

    def inside(step):
        return all(_exp_inside(s[sl] + step * ds[sl], False) and _exp_inside(z[sl] + step * dz[sl], True)
                   for sl in exp_parts)

    orthant = min([1.0 - np.sqrt(np.finfo(float).eps)] + [-v / dv for v, dv in zip(np.r_[s[:2], z[:2]],
                                                                               np.r_[ds[:2], dz[:2]]) if dv < 0])
    assert 0 < alpha <= orthant and inside(alpha)
    assert alpha == orthant or not inside(alpha / K.families[1].backtrack)


# ---- the KKT system ----------------------------------------------------------------------------
@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("expansion_min", [None, 3])
def test_kkt_solve_matches_dense_solve(backend, expansion_min, rng):
    """The fixed structure filled in place by the families (cone rows only; second-order
    cones dense or expanded with two extra rows each), factorised with the fill-reducing
    ordering of the analysis, and refined: K u = r agrees with a dense solve of
    [[0, Aᵀ, Gᵀ], [A, 0, 0], [G, 0, −H⁻¹]] (H⁻¹ of the textbook scalings) for several fills."""
    decls = [ConeDecl(*c) for c in PRODUCT]
    m = sum(d.rows for d in decls)
    n, p = 9, 2
    A = sp.csr_matrix(rng.standard_normal((p, n)))
    G = sp.random(m, n, density=0.4, random_state=5, format="csr") + sp.eye(m, n, format="csr")
    K = ConeProduct(decls, HostArrays(), expansion_min)
    kkt = KktSystem(sp.vstack([A, G]).tocsr(), n, p, *K.pattern(), backend=backend)
    K.bind(kkt.tail_indptr, kkt.tail_indices, kkt.cone_values)
    fixed = kkt.values[:kkt.tail].copy()
    offsets = np.cumsum([0] + [d.rows for d in decls])
    for _ in range(3):
        s, z = interior(decls, rng), interior(decls, rng)
        K.load_point(s, z)
        K.scale_and_fill()
        kkt.factor()
        # Only the cone rows were written (and the regularised x and y diagonal, which
        # follows the cone block's scale).
        off_diagonal = np.ones(kkt.tail, dtype=bool)
        off_diagonal[kkt.diag_pos[:n + p]] = False
        np.testing.assert_array_equal(kkt.values[:kkt.tail][off_diagonal], fixed[off_diagonal])
        Hinv = sp.block_diag([dense_cone(d, s[a:b], z[a:b])[1] for d, a, b in
                              zip(decls, offsets[:-1], offsets[1:])]).toarray()
        dense = np.block([[np.zeros((n, n)), A.T.toarray(), G.T.toarray()],
                          [A.toarray(), np.zeros((p, p)), np.zeros((p, m))],
                          [G.toarray(), np.zeros((m, p)), -Hinv]])
        r = rng.standard_normal(n + p + m)
        u = kkt.solve(-np.concatenate([r, np.zeros(kkt.extras)]))[:n + p + m]
        np.testing.assert_allclose(u, np.linalg.solve(dense, r), rtol=1e-9, atol=1e-9 * np.abs(u).max())
    if backend in ("pardiso", "supernodal"):
        # A solve of a factoriser that perturbs tiny pivots that refinement cannot repair is
        # first repeated on refactorisations with ε grown on the cone block, up to the last
        # attempt (the solves, refined against the true matrix, still agree with the dense
        # solve); only then does qdldl take over.
        policy = kkt.policy
        while True:
            assert policy.hand_over_after(1.0)
            if policy.backend.name != backend:
                break
            assert policy.fallbacks == 0
            u = kkt.solve(-np.concatenate([r, np.zeros(kkt.extras)]))[:n + p + m]
            np.testing.assert_allclose(u, np.linalg.solve(dense, r), rtol=1e-6, atol=1e-6 * np.abs(u).max())
        assert 2 <= policy.regularized_retries < kkt.settings.attempts
        assert policy.backend.name == "qdldl" and policy.fallbacks == 1


def _quasi_definite(rng, n_neg, n_pos, density, dense_rows=0):
    """A random symmetric quasi-definite matrix [[−D1, Mᵀ], [M, D2]] (D1, D2 positive
    definite, sparse) with `dense_rows` rows of M full, and its row signs."""
    def definite(k):
        B = sp.random(k, k, density=density, random_state=rng, format="csr")
        return (B @ B.T + sp.diags(rng.uniform(0.1, 2.0, k))).tocsr()
    M = sp.random(n_pos, n_neg, density=density, random_state=rng, format="lil")
    for r in range(dense_rows):
        M[r, :] = rng.standard_normal(n_neg)
    K = sp.bmat([[-definite(n_neg), M.T], [M, definite(n_pos)]]).tocsr()
    return K, np.concatenate([-np.ones(n_neg), np.ones(n_pos)])


@pytest.mark.parametrize("n_neg,n_pos,density,dense_rows", [
    (1, 0, 1.0, 0), (3, 4, 0.6, 0), (40, 60, 0.05, 0), (120, 80, 0.02, 3), (300, 500, 0.004, 0), (60, 400, 0.01, 40)])
@pytest.mark.parametrize("order", ["amd", "natural", "random"])
def test_supernodal_ldl_matches_dense_solve_and_inertia(n_neg, n_pos, density, dense_rows, order, rng):
    """The supernodal LDLᵀ of the companion module on random quasi-definite matrices (sparse,
    with dense rows, tiny and large) in any order: solves agree with a dense solve to a
    backward-stable residual, the positive pivots are the positive eigenvalues (Sylvester's
    law of inertia), and a refactorisation with new values of the same pattern is as exact."""
    from _ipm_cones import SparseLdl
    from cones_ipm.kkt import SupernodalBackend
    K, signs = _quasi_definite(rng, n_neg, n_pos, density, dense_rows)
    N = K.shape[0]
    U = sp.triu(K, format="csr")
    U.sort_indices()
    if order == "amd":
        rows = np.repeat(np.arange(N, dtype=np.int32), np.diff(U.indptr))
        perm = SupernodalBackend._amd(SupernodalBackend.amd_pattern(N, rows, U.indices.astype(np.int32)), 10.0)
    else:
        perm = np.arange(N) if order == "natural" else rng.permutation(N)
    ldl = SparseLdl(U.indptr.astype(np.int64), U.indices.astype(np.int64), perm.astype(np.int64), signs)
    for scale in (1.0, 1e3):
        values = U.data * scale
        assert ldl.factor(values, 0.0)
        dense = K.toarray() * scale
        assert ldl.positive_pivots == np.count_nonzero(np.linalg.eigvalsh(dense) > 0) == n_pos
        assert ldl.perturbed_pivots == 0
        b = rng.standard_normal(N)
        x = np.empty(N)
        ldl.solve_into(b, x)
        residual = np.abs(dense @ x - b).max()
        assert residual <= 1e3 * N * np.finfo(float).eps * (np.abs(dense).max() * np.abs(x).max() + np.abs(b).max())
        np.testing.assert_allclose(x, np.linalg.solve(dense, b), rtol=1e-8, atol=1e-8 * np.abs(x).max())


def test_supernodal_ldl_tiny_pivots_and_refusals():
    """A zero pivot: refused without perturbation (no solve from it), replaced by ±tiny with
    its row's expected sign otherwise (then a solve of the perturbed matrix), while a small
    pivot of the expected sign is kept; inconsistent
    patterns, orders and lengths refused with nothing analysed."""
    from _ipm_cones import SparseLdl
    # [[0, 1], [1, 1]] in the natural order: the first pivot is 0.
    indptr, indices = np.array([0, 2, 3]), np.array([0, 1, 1])
    values = np.array([0.0, 1.0, 1.0])
    ldl = SparseLdl(indptr, indices, np.array([0, 1]), np.array([-1.0, 1.0]))
    assert not ldl.factor(values, 0.0)
    with pytest.raises(RuntimeError, match="no factorisation to solve with"):
        ldl.solve_into(np.ones(2), np.empty(2))
    assert ldl.factor(values, 1e-8)
    assert ldl.perturbed_pivots == 1 and ldl.positive_pivots == 1
    x = np.empty(2)
    ldl.solve_into(np.array([1.0, 2.0]), x)
    # Without exchanges the element growth is 1/tiny = 1e8: rounding amplified to ~1e8 eps.
    np.testing.assert_allclose(np.array([[-1e-8, 1.0], [1.0, 1.0]]) @ x, [1.0, 2.0], rtol=1e8 * 1e-15)
    assert not ldl.factor(np.array([np.nan, 1.0, 1.0]), 1e-8)
    # A small pivot of its row's expected sign (an active row's s/z) is kept as it is.
    small = SparseLdl(np.array([0, 1, 2]), np.array([0, 1]), np.array([0, 1]), np.ones(2))
    assert small.factor(np.array([1e-20, 1.0]), 1e-8) and small.perturbed_pivots == 0
    small.solve_into(np.array([1e-20, 1.0]), x)
    np.testing.assert_array_equal(x, [1.0, 1.0])
    with pytest.raises(RuntimeError, match="upper triangle"):
        SparseLdl(np.array([0, 1, 2]), np.array([0, 0]), np.array([0, 1]), np.ones(2))
    with pytest.raises(RuntimeError, match="permutation"):
        SparseLdl(indptr, indices, np.array([1, 1]), np.ones(2))
    with pytest.raises(RuntimeError, match="indptr"):
        SparseLdl(np.array([0, 2, 2]), indices, np.array([0, 1]), np.ones(2))
    with pytest.raises(RuntimeError, match="values expected 3 entries, got 2"):
        ldl.factor(np.ones(2))
    with pytest.raises(RuntimeError, match="out overlaps rhs"):
        b = np.ones(2)
        ldl.solve_into(b, b)


# ---- host and device runs --------------------------------------------------------------
@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_device_run_agrees_with_host(name, dev):
    """Same iterates on device arrays; the copies between host and device do not grow with
    the number of cones: three vectors to the device per iteration (the two directions and
    the next point) and at most two back (the correction term, the KKT rows with the
    centring term), plus the set-up's (the structure, one identity per family, the starting
    points)."""
    prob = SHIPPED[name]
    host = solve(prob, where="host")
    device = solve(prob, where="device")
    assert device.status == host.status == "optimal"
    assert device.iterations == host.iterations
    if dev.exact_math or not any(c.kind == "psd" for c in prob.cones):
        assert device.objective == host.objective
        np.testing.assert_array_equal(device.x, host.x)
    else:   # the PSD kernels' hypot/sqrt from a device math library an ulp off the host's
        assert abs(device.objective - host.objective) <= 1e-8 * max(1.0, abs(host.objective))
        # Both runs stop at points optimal to the tolerances, which an ulp of difference on
        # the way moves by up to ~1e-6 of x (the minimiser moves like the square root of
        # the gap).
        np.testing.assert_allclose(device.x, host.x, rtol=0, atol=1e-6 * max(1.0, np.abs(host.x).max()))
    assert host.device_copies == (0, 0)
    to_device, to_host = device.device_copies
    it = device.iterations
    families = len({c.kind for c in prob.cones} & {"nonnegative", "soc", "psd"})
    if families:
        assert 3 * it <= to_device <= 3 * it + 5 + families and it <= to_host <= 2 * it + 1
    else:   # exponential only: no device family
        assert device.device_copies == (0, 0)


@pytest.mark.parametrize("name", ["assignment", "fermat_weber", "nearest_correlation", "lp_infeasible",
                                  "socp_unbounded", "logistic_l2", "log_sum_exp"])
def test_device_run_of_cvxpy_models_agrees_with_host(name, dev):
    pytest.importorskip("cvxpy")
    from models import MODELS, STATUS_MODELS, conic_data

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
    K, *_ = bound_product([ConeDecl("soc", 3)], DeviceArrays())
    e = np.array([1.0, 0.0, 0.0])
    K.load_point(-e, e)
    assert not K.interior()
    with pytest.raises(ConeFailure, match="not finite"):
        K.scale_and_fill()
