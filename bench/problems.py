"""Problem generators with fixed seeds: random feasible LP/SOCP/SDP/mixed programs and classic models (portfolio, max-cut relaxation, norm-bounded least squares, entropy)."""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from cones_ipm.problem import SQRT2, ConeDecl, ConicProblem


def svec(M):
    """Lower triangle row by row, off-diagonal entries times √2."""
    i, j = np.tril_indices(M.shape[0])
    return M[i, j] * np.where(i == j, 1.0, SQRT2)


def smat(v, n):
    i, j = np.tril_indices(n)
    M = np.zeros((n, n))
    M[i, j] = v / np.where(i == j, 1.0, SQRT2)
    return M + np.tril(M, -1).T


def _interior_point(cone, rng):
    """A random point well inside the cone."""
    if cone.kind == "zero":
        return np.zeros(cone.rows)
    if cone.kind == "nonnegative":
        return rng.uniform(0.5, 2.0, cone.rows)
    if cone.kind == "soc":
        tail = rng.standard_normal(cone.dim - 1)
        return np.concatenate([[np.linalg.norm(tail) + rng.uniform(0.5, 2.0)], tail])
    if cone.kind == "psd":
        B = rng.standard_normal((cone.dim, cone.dim))
        return svec(B @ B.T / cone.dim + 0.5 * np.eye(cone.dim))
    if cone.kind == "exp":
        x = rng.uniform(-2.0, 1.0, cone.dim)
        y = rng.uniform(0.5, 2.0, cone.dim)
        return np.stack([x, y, y * np.exp(x / y) + rng.uniform(0.5, 1.5, cone.dim)], axis=1).reshape(-1)
    raise ValueError(cone.kind)


def _dual_interior_point(cone, rng):
    if cone.kind == "exp":
        u = -rng.uniform(0.5, 2.0, cone.dim)
        v = rng.uniform(-1.0, 1.0, cone.dim)
        w = -u * np.exp(v / u - 1.0) + rng.uniform(0.5, 1.5, cone.dim)
        return np.stack([u, v, w], axis=1).reshape(-1)
    if cone.kind == "zero":
        return rng.standard_normal(cone.rows)
    return _interior_point(cone, rng)


def random_feasible(name, cones, n, p, seed, density=1.0, description=""):
    """A program that is primal and dual strictly feasible, hence has a finite optimum:
    pick x0, s0 ∈ int K, z0 ∈ int K*, y0, then h = G x0 + s0, b = A x0,
    c = −Gᵀz0 − Aᵀy0."""
    rng = np.random.default_rng(seed)
    cones = [ConeDecl(*c) if not isinstance(c, ConeDecl) else c for c in cones]
    m = sum(c.rows for c in cones)
    if density < 1.0:
        G = sp.random(m, n, density=density, random_state=rng, data_rvs=rng.standard_normal).tocsr()
        G = G + sp.csr_matrix((np.ones(min(m, n)), (np.arange(min(m, n)), np.arange(min(m, n)))), shape=(m, n))
    else:
        G = sp.csr_matrix(rng.standard_normal((m, n)))
    A = sp.csr_matrix(rng.standard_normal((p, n)))
    x0 = rng.standard_normal(n)
    s0 = np.concatenate([_interior_point(c, rng) for c in cones])
    z0 = np.concatenate([_dual_interior_point(c, rng) for c in cones])
    y0 = rng.standard_normal(p)
    h = G @ x0 + s0
    b = A @ x0
    c = -(G.T @ z0) - A.T @ y0
    return ConicProblem(name, c, G, h, cones, A, b, description or f"random feasible, seed {seed}")


def portfolio(seed=11, assets=20, factors=4, risk=0.05):
    """Markowitz: max μᵀw s.t. 1ᵀw = 1, w ≥ 0, ‖Σ^{1/2} w‖ ≤ risk (second-order cone),
    with a factor covariance Σ = F Fᵀ + diag(d). Variables x = w."""
    rng = np.random.default_rng(seed)
    mu = rng.uniform(0.02, 0.15, assets)
    F = rng.standard_normal((assets, factors)) * 0.08
    d = rng.uniform(0.01, 0.04, assets) ** 2
    L = np.linalg.cholesky(F @ F.T + np.diag(d))
    G = sp.vstack([-sp.identity(assets), sp.csr_matrix(np.vstack([np.zeros(assets), -L.T]))]).tocsr()
    h = np.concatenate([np.zeros(assets), [risk], np.zeros(assets)])
    cones = [ConeDecl("nonnegative", assets), ConeDecl("soc", assets + 1)]
    return ConicProblem("portfolio", -mu, G, h, cones, sp.csr_matrix(np.ones((1, assets))), np.ones(1),
                        f"Markowitz, {assets} assets, risk ≤ {risk}", extra=dict(mu=mu, cov=L @ L.T, risk=risk))


PETERSEN_EDGES = [(0, 1), (1, 2), (2, 3), (3, 4), (4, 0), (0, 5), (1, 6), (2, 7), (3, 8), (4, 9),
                  (5, 7), (7, 9), (9, 6), (6, 8), (8, 5)]


def laplacian(nodes, edges):
    """The Laplacian of the graph on `nodes` vertices with the given edges (i, j)."""
    L = np.zeros((nodes, nodes))
    for i, j in edges:
        L[i, i] += 1
        L[j, j] += 1
        L[i, j] -= 1
        L[j, i] -= 1
    return L


def maxcut(edges=PETERSEN_EDGES, name="maxcut_petersen"):
    """Max-cut SDP relaxation in its vertex form: min Σ y_i s.t. Diag(y) − L/4 ⪰ 0
    (L the graph Laplacian); the optimum bounds the maximum cut from above."""
    nodes = 1 + max(max(e) for e in edges)
    L = laplacian(nodes, edges)
    # s = Diag(y) − L/4 = h − G y with h = −svec(L/4), column i of G = −svec(E_ii).
    G = sp.csr_matrix(np.column_stack([-svec(np.diag(np.eye(nodes)[i])) for i in range(nodes)]))
    return ConicProblem(name, np.ones(nodes), G, -svec(L / 4), [ConeDecl("psd", nodes)],
                        description=f"max-cut relaxation, {nodes} nodes, {len(edges)} edges",
                        extra=dict(laplacian=L))


def least_squares_norm_bound(seed=5, rows=30, cols=12, fraction=0.5):
    """min ‖M x − q‖ s.t. ‖x‖ ≤ r, with r a fraction of the unconstrained solution's
    norm (the bound is active). Variables (t, x): min t s.t. (t, M x − q) ∈ Q, (r, x) ∈ Q."""
    rng = np.random.default_rng(seed)
    M = rng.standard_normal((rows, cols))
    q = rng.standard_normal(rows)
    r = fraction * np.linalg.norm(np.linalg.lstsq(M, q, rcond=None)[0])
    c = np.concatenate([[1.0], np.zeros(cols)])
    G1 = np.zeros((rows + 1, cols + 1))
    G1[0, 0] = -1.0
    G1[1:, 1:] = -M
    G2 = np.zeros((cols + 1, cols + 1))
    G2[1:, 1:] = -np.eye(cols)
    G = sp.csr_matrix(np.vstack([G1, G2]))
    h = np.concatenate([[0.0], -q, [r], np.zeros(cols)])
    return ConicProblem("lsq_norm_bound", c, G, h, [ConeDecl("soc", rows + 1), ConeDecl("soc", cols + 1)],
                        description=f"least squares {rows}x{cols}, ‖x‖ ≤ {r:.3f}", extra=dict(M=M, q=q, r=r))


def entropy(seed=3, size=8, moments=2):
    """Maximum entropy: max Σ −p_i log p_i s.t. Σ p = 1, F p = g, as
    min −Σ t_i s.t. (t_i, p_i, 1) ∈ K_exp. Variables x = (t, p)."""
    rng = np.random.default_rng(seed)
    F = rng.standard_normal((moments, size))
    p_ref = rng.dirichlet(np.ones(size))
    g = F @ p_ref
    c = np.concatenate([-np.ones(size), np.zeros(size)])
    G = np.zeros((3 * size, 2 * size))
    h = np.zeros(3 * size)
    for i in range(size):
        G[3 * i, i] = -1.0
        G[3 * i + 1, size + i] = -1.0
        h[3 * i + 2] = 1.0
    A = np.vstack([np.concatenate([np.zeros(size), np.ones(size)]),
                   np.hstack([np.zeros((moments, size)), F])])
    return ConicProblem("max_entropy", c, sp.csr_matrix(G), h, [ConeDecl("exp", size)], sp.csr_matrix(A),
                        np.concatenate([[1.0], g]), f"maximum entropy, {size} outcomes, {moments} moments",
                        extra=dict(F=F, g=g))


def log_sum_exp(seed=4, terms=6, dim=3):
    """min log Σ_i exp(F_i x + g_i) over the box ‖x‖∞ ≤ 1, as
    min t s.t. (F_i x + g_i − t, 1, u_i) ∈ K_exp, Σ u ≤ 1, −1 ≤ x ≤ 1. Variables (t, x, u)."""
    rng = np.random.default_rng(seed)
    F, g = rng.standard_normal((terms, dim)), rng.standard_normal(terms)
    n = 1 + dim + terms
    G = np.zeros((3 * terms + 1 + 2 * dim, n))
    h = np.zeros(3 * terms + 1 + 2 * dim)
    for i in range(terms):
        G[3 * i, 0], G[3 * i, 1:1 + dim], h[3 * i] = 1.0, -F[i], g[i]
        h[3 * i + 1] = 1.0
        G[3 * i + 2, 1 + dim + i] = -1.0
    r = 3 * terms
    G[r, 1 + dim:], h[r] = 1.0, 1.0
    G[r + 1:r + 1 + dim, 1:1 + dim] = np.eye(dim)
    G[r + 1 + dim:, 1:1 + dim] = -np.eye(dim)
    h[r + 1:] = 1.0
    c = np.zeros(n)
    c[0] = 1.0
    return ConicProblem("log_sum_exp", c, sp.csr_matrix(G), h,
                        [ConeDecl("exp", terms), ConeDecl("nonnegative", 1 + 2 * dim)],
                        description=f"log-sum-exp of {terms} affine terms over a box", extra=dict(F=F, g=g))


def shipped_problems():
    """The problems the runner prints and the tests solve."""
    return [
        random_feasible("lp_random", [("nonnegative", 60)], n=25, p=5, seed=1),
        random_feasible("lp_sparse", [("nonnegative", 150)], n=60, p=10, seed=2, density=0.08),
        random_feasible("socp_random", [("nonnegative", 10), ("soc", 8), ("soc", 5), ("soc", 12)],
                        n=15, p=3, seed=3),
        random_feasible("sdp_random", [("psd", 6)], n=8, p=2, seed=4),
        random_feasible("mixed_random", [("zero", 2), ("nonnegative", 12), ("soc", 6), ("psd", 4), ("psd", 3)],
                        n=14, p=2, seed=5),
        portfolio(),
        maxcut(),
        least_squares_norm_bound(),
    ]


def infeasible_lp():
    """x ≥ 1 and x ≤ −1 (with a second variable to keep it generic)."""
    G = sp.csr_matrix(np.array([[-1.0, 0.0], [1.0, 0.0], [0.0, -1.0]]))
    return ConicProblem("lp_infeasible", np.array([1.0, 1.0]), G, np.array([-1.0, -1.0, 0.0]),
                        [ConeDecl("nonnegative", 3)], description="primal infeasible LP")


def unbounded_lp():
    """min −x1 s.t. x ≥ 0 (x1 unbounded above)."""
    G = sp.csr_matrix(-np.eye(2))
    return ConicProblem("lp_unbounded", np.array([-1.0, 0.5]), G, np.zeros(2),
                        [ConeDecl("nonnegative", 2)], description="dual infeasible LP")


def wrong_signed_norm_bound(seed=5):
    """The norm-bounded least-squares problem with the bound's cone vector negated:
    (−r, x) ∈ Q asks ‖x‖ ≤ −r < 0, so the program is primal infeasible."""
    prob = least_squares_norm_bound(seed)
    h = prob.h.copy()
    h[prob.cones[0].rows] = -h[prob.cones[0].rows]
    return ConicProblem("lsq_wrong_sign", prob.c, prob.G, h, prob.cones, description="norm bound with r < 0")
