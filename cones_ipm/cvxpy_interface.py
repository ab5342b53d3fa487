"""CVXPY interface: `problem.solve(solver=ConesIpm())` solves a CVXPY problem with cones_ipm.

CVXPY (an optional dependency: `pip install .[cvxpy]`) compiles the problem to
min cᵀx s.t. A x + s = b, s ∈ Z × R+ × Q … × S … × K_exp …, which is our G x + s = h with
the zero rows first. Exponential cones arrive as (x, y, z) per cone, y e^{x/y} ≤ z, our order. PSD constraints arrive as vectorised triangles in the layout the solver class
declares: we ask for the upper triangle column by column with off-diagonal entries times
√2, which is, entry for entry, our svec (lower triangle row by row, off-diagonal × √2), so
the rows go through unpermuted. Dual values are set on every status, as CVXPY's Clarabel
and SCS interfaces set them: on infeasibility they are the certificate. `cvxpy_data_to_problem`
turns CVXPY's conic data into a ConicProblem for any other use (benchmarks, tests).
"""
from __future__ import annotations

import cvxpy.settings as s
from cvxpy.constraints import SOC, ExpCone, SvecPSD
from cvxpy.reductions.solution import Solution, failure_solution
from cvxpy.reductions.solvers import utilities
from cvxpy.reductions.solvers.conic_solvers.conic_solver import ConicSolver
from cvxpy.utilities.psd_utils import TriangleKind

from . import solver as ipm
from .problem import ConeDecl, ConicProblem

STATUS_MAP = {
    ipm.OPTIMAL: s.OPTIMAL,
    ipm.ALMOST_OPTIMAL: s.OPTIMAL_INACCURATE,
    ipm.PRIMAL_INFEASIBLE: s.INFEASIBLE,
    ipm.ALMOST_PRIMAL_INFEASIBLE: s.INFEASIBLE_INACCURATE,
    ipm.DUAL_INFEASIBLE: s.UNBOUNDED,
    ipm.ALMOST_DUAL_INFEASIBLE: s.UNBOUNDED_INACCURATE,
    ipm.MAX_ITERATIONS: s.USER_LIMIT,
    ipm.NUMERICAL_ERROR: s.SOLVER_ERROR,
}


def cvxpy_data_to_problem(data, name="cvxpy"):
    """ConicProblem from the data dict of ConesIpm.apply (or
    `problem.get_problem_data(ConesIpm())[0]`)."""
    dims = data[ConicSolver.DIMS]
    cones = []
    if dims.zero:
        cones.append(ConeDecl("zero", dims.zero))
    if dims.nonneg:
        cones.append(ConeDecl("nonnegative", dims.nonneg))
    cones += [ConeDecl("soc", d) for d in dims.soc]
    cones += [ConeDecl("psd", d) for d in dims.psd]
    if dims.exp:
        cones.append(ConeDecl("exp", dims.exp))
    if dims.p3d or dims.pnd:
        raise ValueError("cones_ipm's CVXPY interface takes zero, nonnegative, second-order, PSD and exponential "
                         "cones")
    return ConicProblem(name, data[s.C], data[s.A], data[s.B], cones)


class ConesIpm(ConicSolver):
    """cones_ipm as a CVXPY conic solver. Keyword arguments (here or as solve options)
    are cones_ipm Settings fields, plus `where` ("host" or "device")."""

    MIP_CAPABLE = False
    SUPPORTED_CONSTRAINTS = ConicSolver.SUPPORTED_CONSTRAINTS + [SOC, SvecPSD, ExpCone]
    EXP_CONE_ORDER = [0, 1, 2]
    PSD_TRIANGLE_KIND = TriangleKind.UPPER
    PSD_SQRT2_SCALING = True

    def __init__(self, where="host", **settings):
        self.where = where
        self.settings = settings

    def name(self):
        return "CONES_IPM"

    def import_solver(self):
        import cones_ipm  # noqa: F401

    def supports_quad_obj(self):
        return False

    def cite(self, data):
        return ""

    def solve_via_data(self, data, warm_start, verbose, solver_opts, solver_cache=None):
        opts = dict(self.settings)
        opts.update(solver_opts or {})
        # use_quad_obj is only for canonicalisation (read by CVXPY's solving chain).
        opts.pop("use_quad_obj", None)
        where = opts.pop("where", self.where)
        opts.setdefault("verbose", verbose)
        return ipm.solve(cvxpy_data_to_problem(data), where=where, **opts)

    def invert(self, solution, inverse_data):
        """CVXPY's Solution from our Result, on every status as CVXPY's Clarabel and SCS
        interfaces do: the dual vector goes out as the constraints' dual values whatever
        the status (y to the equality constraints, z to the cone constraints). On
        (almost) primal infeasibility that is the certificate Aᵀy + Gᵀz = 0,
        bᵀy + hᵀz = −1, z ∈ K*, which is a Farkas certificate in CVXPY's sign convention;
        on (almost) dual infeasibility our y, z are NaN, and the ray (Result.x, Result.s)
        stays in the solver stats' extra_stats (the Result), as SCS's does, while the
        variables have no value. The status, objective, iterations and times are the
        Result's."""
        status = STATUS_MAP[solution.status]
        attr = {s.SOLVE_TIME: solution.solve_time, s.SETUP_TIME: solution.setup_time,
                s.NUM_ITERS: solution.iterations, s.EXTRA_STATS: solution}
        eq = utilities.get_dual_values(solution.y, utilities.extract_dual_value, inverse_data[self.EQ_CONSTR])
        ineq = utilities.get_dual_values(solution.z, utilities.extract_dual_value, inverse_data[self.NEQ_CONSTR])
        if status in s.SOLUTION_PRESENT:
            primal = {inverse_data[self.VAR_ID]: solution.x}
            return Solution(status, solution.primal_objective + inverse_data[s.OFFSET], primal, eq | ineq, attr)
        return failure_solution(status, attr, eq | ineq)
