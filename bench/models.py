"""Seeded CVXPY models of standard LP, SOCP, SDP and exponential-cone kinds (and infeasible/unbounded
variants), for the solver's benchmark and tests. Needs CVXPY.

`MODELS[name] = (family, builder, small size, large size)`; `builder(size, seed)` returns a
cvxpy.Problem. The large sizes give n + m ≥ 2000 in the compiled conic form.
"""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp

import cvxpy as cp
from problems import laplacian


def _rng(seed):
    return np.random.default_rng(seed)


# ---- LP -------------------------------------------------------------------------------
def packing(n, seed):
    """max cᵀx s.t. A x ≤ 1, 0 ≤ x, A sparse nonnegative (n × n)."""
    rng = _rng(seed)
    A = sp.random(n, n, density=min(1.0, 8.0 / n), random_state=rng, data_rvs=lambda k: rng.uniform(0.1, 1.0, k))
    A = A + sp.eye(n) * 0.5
    x = cp.Variable(n)
    return cp.Problem(cp.Maximize(rng.uniform(0.5, 1.5, n) @ x), [A @ x <= 1, x >= 0])


def transport(k, seed):
    """Transportation: supplies ≥ demands, min ⟨C, X⟩, X ≥ 0 (k × k)."""
    rng = _rng(seed)
    demand = rng.uniform(1.0, 2.0, k)
    supply = demand.sum() / k * rng.uniform(1.05, 1.3, k)
    C = rng.uniform(1.0, 10.0, (k, k))
    X = cp.Variable((k, k))
    return cp.Problem(cp.Minimize(cp.sum(cp.multiply(C, X))),
                      [X >= 0, cp.sum(X, axis=1) <= supply, cp.sum(X, axis=0) == demand])


def assignment(k, seed):
    """LP relaxation of the assignment problem (its optimum is an assignment)."""
    rng = _rng(seed)
    C = rng.uniform(0.0, 1.0, (k, k))
    X = cp.Variable((k, k))
    return cp.Problem(cp.Minimize(cp.sum(cp.multiply(C, X))),
                      [X >= 0, cp.sum(X, axis=0) == 1, cp.sum(X, axis=1) == 1])


def random_lp(n, seed):
    """min cᵀx s.t. A x ≤ b with A sparse (2n × n), strictly feasible (b = A x0 + slack) and
    bounded (c = −Aᵀλ, λ > 0)."""
    rng = _rng(seed)
    m = 2 * n
    A = sp.random(m, n, density=min(1.0, 10.0 / n), random_state=rng, data_rvs=rng.standard_normal).tocsr()
    A = sp.vstack([A[:n] + sp.eye(n), A[n:] - sp.eye(n)]).tocsr()
    b = A @ rng.standard_normal(n) + rng.uniform(0.1, 1.0, m)
    c = -(A.T @ rng.uniform(0.1, 1.0, m))
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(c @ x), [A @ x <= b])


# ---- SOCP -----------------------------------------------------------------------------
def _regression(m, n, seed):
    rng = _rng(seed)
    A = rng.standard_normal((m, n))
    x0 = rng.standard_normal(n) * (rng.random(n) < 0.2)
    return A, A @ x0 + 0.1 * rng.standard_normal(m), rng


def lasso(n, seed):
    A, b, rng = _regression(2 * n, n, seed)
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(cp.sum_squares(A @ x - b) + 0.5 * np.sqrt(2 * n) * cp.norm1(x)))


def ridge(n, seed):
    A, b, rng = _regression(2 * n, n, seed)
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(cp.sum_squares(A @ x - b) + 0.3 * n * cp.sum_squares(x)))


def huber(n, seed):
    A, b, rng = _regression(2 * n, n, seed)
    b[rng.random(b.size) < 0.05] *= 10.0
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(cp.sum(cp.huber(A @ x - b, 1.0))))


def portfolio(n, seed):
    """max μᵀw − γ (‖Fᵀw‖² + ‖d ⊙ w‖²) s.t. 1ᵀw = 1, w ≥ 0 (factor model, n/10 factors)."""
    rng = _rng(seed)
    k = max(2, n // 10)
    mu = rng.uniform(0.0, 0.2, n)
    F = rng.standard_normal((n, k)) * 0.1
    dvec = rng.uniform(0.05, 0.2, n)
    w = cp.Variable(n)
    risk = cp.sum_squares(F.T @ w) + cp.sum_squares(cp.multiply(dvec, w))
    return cp.Problem(cp.Maximize(mu @ w - 2.0 * risk), [cp.sum(w) == 1, w >= 0])


def robust_lp(cones, seed):
    """min cᵀx s.t. a_iᵀx + ‖P_iᵀx‖ ≤ b_i (i < cones, P_i a 4-column scaled selection),
    −1 ≤ x ≤ 1, with n = cones / 2 variables."""
    rng = _rng(seed)
    n = max(4, cones // 2)
    a = rng.standard_normal((cones, n))
    b = rng.uniform(1.0, 2.0, cones)
    c = rng.standard_normal(n)
    x = cp.Variable(n)
    cons = [x <= 1, x >= -1]
    for i in range(cones):
        cols = rng.choice(n, 4, replace=False)
        cons.append(cp.SOC(b[i] - a[i] @ x, 0.3 * x[cols]))
    return cp.Problem(cp.Minimize(c @ x), cons)


def fermat_weber(points, seed, dim=9):
    """min Σ w_i ‖x − p_i‖ over x ∈ R^9: `points` second-order cones of dimension 10."""
    rng = _rng(seed)
    P = rng.standard_normal((points, dim))
    w = rng.uniform(0.5, 2.0, points)
    x = cp.Variable(dim)
    t = cp.Variable(points)
    return cp.Problem(cp.Minimize(w @ t), [cp.SOC(t[i], x - P[i]) for i in range(points)])


def chebyshev_centre(balls, seed, dim=20):
    """Largest ball inside the intersection of balls ‖x − c_i‖ ≤ R_i (all containing 0)."""
    rng = _rng(seed)
    C = rng.standard_normal((balls, dim))
    R = np.linalg.norm(C, axis=1) + rng.uniform(0.5, 1.5, balls)
    x, r = cp.Variable(dim), cp.Variable()
    return cp.Problem(cp.Maximize(r), [cp.SOC(R[i] - r, x - C[i]) for i in range(balls)] + [r >= 0])


def fir_design(taps, seed):
    """Low-pass FIR filter: minimise the largest stop-band gain with the pass-band response
    within 0.1 of 1 (one 3-dimensional cone per frequency)."""
    rng = _rng(seed)
    freqs = np.linspace(0, np.pi, 6 * taps)
    k = np.arange(taps)
    cos, sin = np.cos(np.outer(freqs, k)), np.sin(np.outer(freqs, k))
    pb, sb = freqs <= 0.3 * np.pi * rng.uniform(0.9, 1.1), freqs >= 0.45 * np.pi
    h, t = cp.Variable(taps), cp.Variable()
    cons = [cp.SOC(t, cp.hstack([cos[i] @ h, sin[i] @ h])) for i in np.flatnonzero(sb)]
    cons += [cp.SOC(cp.Constant(0.1), cp.hstack([cos[i] @ h - 1.0, sin[i] @ h])) for i in np.flatnonzero(pb)]
    return cp.Problem(cp.Minimize(t), cons)


# ---- SDP ------------------------------------------------------------------------------
def _graph(n, rng, p=0.3):
    upper = np.triu(rng.random((n, n)) < p, 1)
    return np.argwhere(upper)


def maxcut(n, seed):
    rng = _rng(seed)
    L = laplacian(n, _graph(n, rng))
    X = cp.Variable((n, n), symmetric=True)
    return cp.Problem(cp.Maximize(cp.trace(L @ X) / 4), [X >> 0, cp.diag(X) == 1])


def lovasz_theta(n, seed):
    rng = _rng(seed)
    edges = _graph(n, rng, p=0.2)
    X = cp.Variable((n, n), symmetric=True)
    return cp.Problem(cp.Maximize(cp.sum(X)), [X >> 0, cp.trace(X) == 1] + [X[i, j] == 0 for i, j in edges])


def min_eigenvalue(n, seed):
    rng = _rng(seed)
    B = rng.standard_normal((n, n))
    M = (B + B.T) / 2
    t = cp.Variable()
    return cp.Problem(cp.Maximize(t), [M - t * np.eye(n) >> 0])


def nearest_correlation(n, seed):
    rng = _rng(seed)
    B = rng.standard_normal((n, n))
    C = np.clip((B + B.T) / (2 * np.sqrt(n)) + np.eye(n), -1, 1)
    np.fill_diagonal(C, 1.0)
    X = cp.Variable((n, n), symmetric=True)
    return cp.Problem(cp.Minimize(cp.norm(X - C, "fro")), [X >> 0, cp.diag(X) == 1])


def nuclear_completion(order, seed):
    """min ‖X‖_* s.t. X agrees with a rank-2 matrix on 40 % of its entries; X is
    (order/2) × (order/2), the PSD cone of the nuclear norm has order `order`."""
    rng = _rng(seed)
    k = order // 2
    M = rng.standard_normal((k, 2)) @ rng.standard_normal((2, k))
    mask = rng.random((k, k)) < 0.4
    X = cp.Variable((k, k))
    return cp.Problem(cp.Minimize(cp.normNuc(X)), [cp.multiply(mask, X) == mask * M])


# ---- exponential cones ------------------------------------------------------------------
def logistic_regression(samples, seed, reg="l1"):
    """Sparse logistic regression: min Σ log(1 + exp(−y_i x_iᵀw)) + λ R(w) over w (d =
    samples / 5 features, labels from a sparse true model with 10% flipped), R = ‖w‖₁ ("l1"),
    ‖w‖² ("l2") or none. Two exponential cones per sample."""
    rng = _rng(seed)
    d = max(3, samples // 5)
    X = rng.standard_normal((samples, d))
    w0 = rng.standard_normal(d) * (rng.random(d) < 0.3)
    y = np.where(X @ w0 + 0.5 * rng.standard_normal(samples) >= 0, 1.0, -1.0)
    y[rng.random(samples) < 0.1] *= -1.0
    w = cp.Variable(d)
    loss = cp.sum(cp.logistic(-cp.multiply(y, X @ w)))
    penalty = {"l1": 0.1 * np.sqrt(samples) * cp.norm1(w), "l2": 0.1 * cp.sum_squares(w), None: 0}[reg]
    return cp.Problem(cp.Minimize(loss + penalty))


def logistic_l2(samples, seed):
    return logistic_regression(samples, seed, "l2")


def logistic_plain(samples, seed):
    return logistic_regression(samples, seed, None)


def entropy_max(n, seed):
    """max Σ −p_i log p_i over the simplex with n/4 linear moment constraints that a
    random interior distribution meets."""
    rng = _rng(seed)
    k = max(1, n // 4)
    F = rng.standard_normal((k, n))
    p0 = rng.dirichlet(np.ones(n))
    p = cp.Variable(n)
    return cp.Problem(cp.Maximize(cp.sum(cp.entr(p))), [cp.sum(p) == 1, F @ p == F @ p0])


def log_sum_exp(terms, seed):
    """min log Σ exp(F x + g) over x in the box ‖x‖∞ ≤ 1 (terms / 5 variables)."""
    rng = _rng(seed)
    d = max(2, terms // 5)
    F = rng.standard_normal((terms, d))
    g = rng.standard_normal(terms)
    x = cp.Variable(d)
    return cp.Problem(cp.Minimize(cp.log_sum_exp(F @ x + g)), [cp.norm_inf(x) <= 1])


def geometric_program(variables, seed):
    """A random geometric program in convex (log) form: min log Σ_k exp(F_0 u + g_0) s.t.
    log Σ_k exp(F_i u + g_i) ≤ 0 for variables / 2 posynomial constraints of four terms
    each, and −3 ≤ u ≤ 3 (u the logarithms of the GP's variables; exponents of unit variance
    at u = ±1)."""
    rng = _rng(seed)
    n = variables
    u = cp.Variable(n)
    cons = [u <= 3, u >= -3]
    for _ in range(max(1, n // 2)):
        F = rng.standard_normal((4, n)) / np.sqrt(n)
        cons.append(cp.log_sum_exp(F @ u + rng.uniform(-3.0, -2.0, 4)) <= 0)   # u = 0 strictly feasible
    F0 = rng.standard_normal((6, n)) / np.sqrt(n)
    return cp.Problem(cp.Minimize(cp.log_sum_exp(F0 @ u + rng.standard_normal(6))), cons)


def relative_entropy(n, seed):
    """min Σ x_i log(x_i / q_i) (relative entropy to a random distribution q) over
    distributions x with n/5 prescribed moments of another random distribution."""
    rng = _rng(seed)
    k = max(1, n // 5)
    q = rng.dirichlet(np.ones(n))
    F = rng.standard_normal((k, n))
    x0 = rng.dirichlet(np.ones(n))
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(cp.sum(cp.rel_entr(x, q))), [cp.sum(x) == 1, F @ x == F @ x0])


# ---- infeasible and unbounded ----------------------------------------------------------
def lp_infeasible(n, seed):
    rng = _rng(seed)
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(rng.uniform(size=n) @ x), [x >= 0, cp.sum(x) <= -1])


def lp_unbounded(n, seed):
    rng = _rng(seed)
    A = rng.uniform(0.0, 1.0, (n, n))
    x = cp.Variable(n)
    return cp.Problem(cp.Maximize(cp.sum(x)), [x >= 0, A @ x >= 1])


def socp_infeasible(n, seed):
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(cp.sum(x)), [cp.norm(x) <= 1, x[0] >= 2])


def socp_unbounded(n, seed):
    rng = _rng(seed)
    x = cp.Variable(n)
    return cp.Problem(cp.Minimize(x[0] + rng.uniform(size=n - 1) @ x[1:] * 0.1), [cp.norm(x[1:]) <= -x[0]])


def sdp_infeasible(n, seed):
    X = cp.Variable((n, n), symmetric=True)
    return cp.Problem(cp.Minimize(cp.trace(X)), [X >> 0, X[0, 0] + X[1, 1] == -1])


def sdp_unbounded(n, seed):
    rng = _rng(seed)
    B = rng.standard_normal((n, n))
    X = cp.Variable((n, n), symmetric=True)
    return cp.Problem(cp.Minimize(cp.trace((B + B.T) @ X)), [X >> 0, X[0, 1] == 0])


# name: (family, builder, small size, large size); large = n + m ≥ 2000 after compilation.
MODELS = {
    "packing": ("LP", packing, 40, 2000),
    "transport": ("LP", transport, 8, 80),
    "assignment": ("LP", assignment, 8, 60),
    "random_lp": ("LP", random_lp, 30, 2000),
    "lasso": ("SOCP", lasso, 15, 400),
    "ridge": ("SOCP", ridge, 15, 400),
    "huber": ("SOCP", huber, 15, 300),
    "portfolio": ("SOCP", portfolio, 20, 1000),
    "robust_lp": ("SOCP", robust_lp, 20, 1000),
    "fermat_weber": ("SOCP", fermat_weber, 15, 200),
    "chebyshev_centre": ("SOCP", chebyshev_centre, 15, 400),
    "fir_design": ("SOCP", fir_design, 10, 60),
    "maxcut": ("SDP", maxcut, 8, 50),
    "lovasz_theta": ("SDP", lovasz_theta, 8, 40),
    "min_eigenvalue": ("SDP", min_eigenvalue, 6, 60),
    "nearest_correlation": ("SDP", nearest_correlation, 6, 40),
    "nuclear_completion": ("SDP", nuclear_completion, 8, 60),
    "logistic_l1": ("EXP", logistic_regression, 50, 400),
    "logistic_l2": ("EXP", logistic_l2, 50, 400),
    "logistic_plain": ("EXP", logistic_plain, 50, 400),
    "entropy_max": ("EXP", entropy_max, 20, 600),
    "log_sum_exp": ("EXP", log_sum_exp, 30, 600),
    "geometric_program": ("EXP", geometric_program, 8, 150),
    "relative_entropy": ("EXP", relative_entropy, 30, 600),
}

# name: (builder, small size, large size, expected status of the conic program)
STATUS_MODELS = {
    "lp_infeasible": (lp_infeasible, 10, 2000, "primal_infeasible"),
    "lp_unbounded": (lp_unbounded, 10, 400, "dual_infeasible"),
    "socp_infeasible": (socp_infeasible, 5, 2000, "primal_infeasible"),
    "socp_unbounded": (socp_unbounded, 5, 2000, "dual_infeasible"),
    "sdp_infeasible": (sdp_infeasible, 4, 40, "primal_infeasible"),
    "sdp_unbounded": (sdp_unbounded, 4, 40, "dual_infeasible"),
}


def conic_data(problem):
    """The conic data CVXPY hands our solver (and Clarabel, which takes the same
    layout), and the ConicProblem made of it."""
    from cones_ipm.cvxpy_interface import ConesIpm, cvxpy_data_to_problem

    data, _, _ = problem.get_problem_data(ConesIpm())
    return data, cvxpy_data_to_problem(data)
