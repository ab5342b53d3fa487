"""A compact primal–dual interior-point solver for conic programs whose cone arithmetic comes from the companion module _ipm_cones (and _cpp_cuda)."""
from .problem import ConeDecl, ConicProblem
from .solver import (ALMOST_DUAL_INFEASIBLE, ALMOST_OPTIMAL, ALMOST_PRIMAL_INFEASIBLE, DUAL_INFEASIBLE,
                     MAX_ITERATIONS, NUMERICAL_ERROR, OPTIMAL, PRIMAL_INFEASIBLE, Result, Settings, solve)

__all__ = ["ConeDecl", "ConicProblem", "Settings", "Result", "solve", "OPTIMAL", "ALMOST_OPTIMAL",
           "PRIMAL_INFEASIBLE", "ALMOST_PRIMAL_INFEASIBLE", "DUAL_INFEASIBLE", "ALMOST_DUAL_INFEASIBLE",
           "MAX_ITERATIONS", "NUMERICAL_ERROR"]
