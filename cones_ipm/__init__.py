"""A compact primal–dual interior-point solver for conic programs whose cone arithmetic comes from the companion module _ipm_cones (and _cpp_cuda)."""
from importlib.metadata import PackageNotFoundError, version as _version

from .problem import ConeDecl, ConicProblem
from .settings import ExpConeSettings, KktSettings, Settings, StepSettings
from .solver import (ALMOST_DUAL_INFEASIBLE, ALMOST_OPTIMAL, ALMOST_PRIMAL_INFEASIBLE, DUAL_INFEASIBLE,
                     MAX_ITERATIONS, NUMERICAL_ERROR, OPTIMAL, PRIMAL_INFEASIBLE, Result, Status, solve)

try:
    __version__ = _version("velkora-cones-cpp")
except PackageNotFoundError:  # used from a source tree
    __version__ = "0+unknown"

__all__ = ["__version__", "ConeDecl", "ConicProblem", "Settings", "StepSettings", "KktSettings", "ExpConeSettings",
           "Result", "Status", "solve", "OPTIMAL", "ALMOST_OPTIMAL", "PRIMAL_INFEASIBLE", "ALMOST_PRIMAL_INFEASIBLE",
           "DUAL_INFEASIBLE", "ALMOST_DUAL_INFEASIBLE", "MAX_ITERATIONS", "NUMERICAL_ERROR"]
