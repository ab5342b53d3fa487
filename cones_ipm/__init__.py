"""A compact primal–dual interior-point solver for conic programs whose cone arithmetic comes from _cpp_cuda."""
from .problem import ConeSpec, ConicProblem
from .solver import (DUAL_INFEASIBLE, MAX_ITERATIONS, NUMERICAL_ERROR, OPTIMAL, PRIMAL_INFEASIBLE, Result,
                     Settings, solve)

__all__ = ["ConeSpec", "ConicProblem", "Settings", "Result", "solve", "OPTIMAL", "PRIMAL_INFEASIBLE",
           "DUAL_INFEASIBLE", "MAX_ITERATIONS", "NUMERICAL_ERROR"]
