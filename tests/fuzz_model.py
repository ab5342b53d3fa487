"""The call contract of the module, written independently of its code, for the fuzz suite.

It holds the signatures of every method and module function (the suite's one copy of
them), the order in which a call checks its arguments with the exact message of each
refusal (arrays that share memory included), the sparse structure walks, and references
for everything that depends on values: interior tests, membership, violations,
projections and scaling blocks computed exactly (rational arithmetic on the doubles),
to 50 digits (the exponential's exp) or from LAPACK's eigenvalues (PSD), never by the
module's own sequence of operations. Where the module's rounded answer may fall on
either side of a boundary, a predicate answers None (either is accepted) inside a band
whose width is a bound of the module's rounding error, stated beside it. NaN is never
interior, and a NaN in a membership test fails it, as the contract says.
"""
import ast
import decimal
import math
from dataclasses import dataclass, field
from fractions import Fraction

import numpy as np

SQRT2 = 1.4142135623730951
U64_MAX = 2**64 - 1
KDL_CPU, KDL_CUDA, KDL_CUDA_HOST, KDL_CUDA_MANAGED = 1, 2, 3, 13

# ---------------------------------------------------------------------------------------
# Messages
# ---------------------------------------------------------------------------------------
OVERFLOW = "expected entry count overflows 64-bit unsigned arithmetic"
SAME_INPUTS = "input vectors must live on the same device"
SAME_IO = "input and output must live on the same device"
NO_CUDA = "CUDA runtime is required for CUDA cone arrays"
UNIT_RANGE = "unit vector index out of range"
ZERO_NT = "zero-cone NT scaling requires zero primal and dual vectors"
ZERO_SPARSE = "zero-cone sparse H fill requires zero primal and dual inputs"
NONNEG_NT = "nonnegative NT scaling requires strictly positive interior inputs"
NONNEG_SPARSE = "nonnegative sparse H fill requires strictly positive inputs"
SOC_NT = "SOC NT scaling requires strictly interior cone vectors"
SOC_SPARSE = "SOC sparse H fill requires strictly interior cone vectors"
EXP_NT = "exponential scaling requires strictly interior cone vectors"
EXP_NORM = "exponential scaling source vector must have nonzero finite norm"
EXP_SPARSE = "exponential sparse H fill requires strictly interior inputs"
PSD_MATRICES = "PSD NT scaling requires strictly positive definite matrices"
PSD_INPUTS = "PSD NT scaling requires strictly positive definite inputs"
CSR_SHORT = "CSR indptr is too short for the requested cone row range"
CSR_PTR_SIGN = "CSR indptr must be nonnegative"
CSR_MONOTONE = "CSR indptr entries must be monotone and within values length"
CSR_IDX_SIGN = "CSR indices must be nonnegative"
COO_ROW_SIGN = "COO row_indices must be nonnegative"
COO_COL_SIGN = "COO col_indices must be nonnegative"
CUBLAS_HOST = {"SecondOrderConeCpp": "SOC cuBLAS NT scaling requires CUDA arrays",
               "PsdConeCpp": "PSD cuBLAS NT scaling requires CUDA arrays"}
CUDA_SOC_CUBLAS = "CUDA SOC cuBLAS NT scaling requires VELKORA_USE_CUBLAS=ON"
CUDA_PSD_CUBLAS = "CUDA PSD cuBLAS NT scaling requires VELKORA_USE_CUBLAS=ON"
CUDA_PSD_ORDER = "CUDA PSD NT scaling currently supports dim <= 32"
CUDA_PSD_CUSTOM = "CUDA PSD custom NT scaling currently supports dim <= 32"
CUDA_PSD_DIM2 = {"project": "CUDA PSD projection currently supports dim=2",
                 "violation": "CUDA PSD violation currently supports dim=2",
                 "contains": "CUDA PSD membership currently supports dim=2"}
CTOR = {"SecondOrderConeCpp": "second-order cone dim must be positive",
        "PsdConeCpp": "PSD cone dim must be positive",
        "ExponentialConeCpp": "exponential cone block count must be positive"}
TYPE_ERROR_TEXT = "incompatible function arguments"
ATOL_NAN = "atol must not be NaN"


def entry_count(name, expected, got):
    return f"{name} expected {expected} entries, got {got}"


def device_kind(name):
    return f"{name} must be on CPU or CUDA"


def aligned(name):
    return f"{name} must be 8-byte aligned"


def dense_input(name):
    return f"{name} must be a CPU vector for dense NT scaling"


def dense_output(name):
    return f"{name} must be a CPU vector for dense helper output"


def sparse_index_device(which):
    return f"{which} sparse index must live on the same device as the cone vectors"


def overlaps(output, input_name):
    return f"{output} overlaps {input_name}"


# ---------------------------------------------------------------------------------------
# The module's signatures: the one hand-written copy in the test suite
# ---------------------------------------------------------------------------------------
# Written as a type stub (parsed with ast): the module's functions and classes in
# registration order. A class whose name starts with "_" is not in the module: it holds
# methods several classes share, and a class's members are its own (the constructor) and
# then those of its bases, in base order. Annotations are the aliases of ANNOTATIONS.
# tests/test_module_surface.py checks the module's rendered signatures and defaults, and
# the installed type stubs, against it; the fuzz catalogue takes its parameter names,
# orders and roles from it.
SIGNATURES = '''
def has_cuda() -> bool: ...
def cuda_runtime_version() -> str: ...
def has_host_blas() -> bool: ...
def has_cublas() -> bool: ...
def has_cusolver() -> bool: ...
def host_blas_backend() -> str: ...

class _Sized:
    @property
    def dim(self) -> int: ...
    @property
    def rows(self) -> int: ...

class _Every:
    def project_into(self, input: RO, output: RW, stream: int = 0) -> None: ...
    def violation(self, input: RO) -> float: ...
    def contains(self, input: RO, atol: float = 1e-08) -> bool: ...
    def unit_vector(self, index: int) -> FloatList: ...
    def unit_vector_array(self, index: int) -> Vector: ...
    def unit_vector_into(self, index: int, output: RW) -> None: ...
    def nt_scaling_matrix(self, s: RO, z: RO) -> FloatList: ...
    def nt_scaling_matrix_array(self, s: RO, z: RO) -> Matrix: ...
    def nt_scaling_matrix_into(self, s: RO, z: RO, output: RW, stream: int = 0) -> None: ...
    def nt_scaling_matrix_batch_into(self, s: RO, z: RO, output: RW, batch: int, stream: int = 0) -> None: ...

class _MethodChoice:
    def nt_scaling_matrix_default_method(self, batch: int = 1) -> str: ...
    def nt_scaling_matrix_batch_custom_into(self, s: RO, z: RO, output: RW, batch: int, stream: int = 0) -> None: ...
    def nt_scaling_matrix_batch_cublas_into(self, s: RO, z: RO, output: RW, batch: int, stream: int = 0) -> None: ...

class _SparseFill:
    def hmatrix_csr_values_into(self, s: RO, z: RO, indptr: IX, indices: IX, values: RW, row_offset: int = 0,
                                stream: int = 0) -> None: ...
    def hmatrix_coo_values_into(self, s: RO, z: RO, row_indices: IX, col_indices: IX, values: RW,
                                row_offset: int = 0, stream: int = 0) -> None: ...

class ZeroConeCpp(_Sized, _Every, _SparseFill):
    def __init__(self, dim: int) -> None: ...

class NonnegativeConeCpp(_Sized, _Every, _SparseFill):
    def __init__(self, dim: int) -> None: ...

class SecondOrderConeCpp(_Sized, _Every, _MethodChoice, _SparseFill):
    def __init__(self, dim: int) -> None: ...

class PsdConeCpp(_Sized, _Every, _MethodChoice, _SparseFill):
    def __init__(self, dim: int) -> None: ...

class ExponentialConeCpp(_Sized, _Every, _SparseFill):
    def __init__(self, blocks: int = 1) -> None: ...

def psd_smat(svec: RO, dim: int) -> Matrix: ...
def psd_svec(matrix: RO, dim: int) -> Vector: ...
def psd_smat_into(svec: RO, output: RW, dim: int, stream: int = 0) -> None: ...
def psd_svec_into(matrix: RO, output: RW, dim: int, stream: int = 0) -> None: ...
'''

# alias: (text the binding layer renders, role of the parameter for the fuzz plans);
# roles: ro, rw (float64 arrays, read-only or written), ix (int64 arrays), int (unsigned
# 64-bit), float (a double)
ANNOTATIONS = {
    "RO": ("ndarray[dtype=float64, shape=(*), order='C', writable=False]", "ro"),
    "RW": ("ndarray[dtype=float64, shape=(*), order='C']", "rw"),
    "IX": ("ndarray[dtype=int64, shape=(*), order='C', writable=False]", "ix"),
    "FloatList": ("list[float]", None),
    "Vector": ("numpy.ndarray[dtype=float64, shape=(*), order='C']", None),
    "Matrix": ("numpy.ndarray[dtype=float64, shape=(*, *), order='C']", None),
    "int": ("int", "int"), "float": ("float", "float"), "bool": ("bool", None), "str": ("str", None),
    "None": ("None", None),
}
NO_DEFAULT = object()


@dataclass(frozen=True)
class Param:
    name: str
    annotation: str  # an alias of ANNOTATIONS
    default: object = NO_DEFAULT

    @property
    def role(self):
        return ANNOTATIONS[self.annotation][1]


@dataclass(frozen=True)
class Signature:
    name: str
    params: tuple  # Param, without self
    returns: str
    method: bool = True
    is_property: bool = False

    def defaults(self):
        return tuple(p.default for p in self.params if p.default is not NO_DEFAULT)

    def rendered(self):
        """The text the binding layer renders: def name(self, a: T, b: U = \\0) -> R, the
        defaults numbered in order (their values are the defaults tuple)."""
        parts = ["self"] if self.method else []
        k = 0
        for p in self.params:
            text = f"{p.name}: {ANNOTATIONS[p.annotation][0]}"
            if p.default is not NO_DEFAULT:
                text += f" = \\{k}"
                k += 1
            parts.append(text)
        name = "" if self.is_property else self.name
        return f"def {name}({', '.join(parts)}) -> {ANNOTATIONS[self.returns][0]}"


def _signature(node, method):
    args = node.args.args[1:] if method else node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + list(node.args.defaults)
    params = tuple(Param(a.arg, ast.unparse(a.annotation),
                         NO_DEFAULT if d is None else ast.literal_eval(d)) for a, d in zip(args, defaults))
    is_property = any(ast.unparse(d) == "property" for d in node.decorator_list)
    return Signature(node.name, params, ast.unparse(node.returns), method, is_property)


def parse_surface(text):
    """(functions, classes) of a stub: functions as {name: Signature}, classes as
    {name: {member: Signature}}, both in the stub's order, classes without the "_" ones
    and with the members of their bases after their own."""
    tree = ast.parse(text)
    functions, bodies, bases, order = {}, {}, {}, []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = _signature(node, method=False)
        elif isinstance(node, ast.ClassDef):
            bodies[node.name] = {n.name: _signature(n, method=True) for n in node.body
                                 if isinstance(n, ast.FunctionDef)}
            bases[node.name] = [ast.unparse(b) for b in node.bases]
            order.append(node.name)
    classes = {}
    for name in order:
        if name.startswith("_"):
            continue
        members = dict(bodies[name])
        for base in bases[name]:
            members.update(bodies[base])
        classes[name] = members
    return functions, classes


FUNCTIONS, CLASS_MEMBERS = parse_surface(SIGNATURES)

# ---------------------------------------------------------------------------------------
# Families and the operations of each
# ---------------------------------------------------------------------------------------
CLASSES = list(CLASS_MEMBERS)
WITH_CHOICE = {cls for cls, members in CLASS_MEMBERS.items() if "nt_scaling_matrix_default_method" in members}
NT_WHAT = {"ZeroConeCpp": "identity matrix", "NonnegativeConeCpp": "nonnegative NT scaling",
           "SecondOrderConeCpp": "SOC NT scaling", "PsdConeCpp": "PSD NT scaling",
           "ExponentialConeCpp": "exponential scaling"}


def psd_rows(dim):
    return dim * (dim + 1) // 2


def rows_of(cls, size):
    if cls == "PsdConeCpp":
        return psd_rows(size)
    if cls == "ExponentialConeCpp":
        return 3 * size
    return size


def dim_of(cls, size):
    return 3 if cls == "ExponentialConeCpp" else size


# What each method or function does, for the plans and the oracle (its parameters come
# from SIGNATURES).
KIND_OF = {
    "project_into": "project", "violation": "violation", "contains": "contains", "unit_vector": "unit_vector",
    "unit_vector_array": "unit_vector_array", "unit_vector_into": "unit_vector_into",
    "nt_scaling_matrix": "nt_list", "nt_scaling_matrix_array": "nt_array", "nt_scaling_matrix_into": "nt_into",
    "nt_scaling_matrix_batch_into": "nt_batch", "nt_scaling_matrix_default_method": "default_method",
    "nt_scaling_matrix_batch_custom_into": "nt_custom", "nt_scaling_matrix_batch_cublas_into": "nt_cublas",
    "hmatrix_csr_values_into": "csr", "hmatrix_coo_values_into": "coo",
    "psd_smat": "psd_smat", "psd_svec": "psd_svec", "psd_smat_into": "psd_smat_into",
    "psd_svec_into": "psd_svec_into", "has_cuda": "capability", "cuda_runtime_version": "capability",
    "has_host_blas": "capability", "has_cublas": "capability", "has_cusolver": "capability",
    "host_blas_backend": "capability",
}


@dataclass(frozen=True)
class Op:
    owner: str  # class name, or "module"
    name: str
    kind: str

    @property
    def signature(self):
        return FUNCTIONS[self.name] if self.owner == "module" else CLASS_MEMBERS[self.owner][self.name]

    @property
    def params(self):
        """(name, role) of every parameter, in order."""
        return tuple((p.name, p.role) for p in self.signature.params)

    @property
    def id(self):
        return f"{self.owner}.{self.name}"


def catalogue():
    """Every method (not the constructor or the properties) and every module function."""
    ops = []
    for cls, members in CLASS_MEMBERS.items():
        ops += [Op(cls, name, KIND_OF[name]) for name, sig in members.items()
                if name != "__init__" and not sig.is_property]
    ops += [Op("module", name, KIND_OF[name]) for name in FUNCTIONS]
    return ops


# ---------------------------------------------------------------------------------------
# Argument descriptions handed to the oracle
# ---------------------------------------------------------------------------------------
@dataclass
class ArrayArg:
    """What the binding layer and the views see of one array argument."""
    length: int = 0
    devtype: int = KDL_CPU
    devid: int = 0
    aligned: bool = True
    typeok: bool = True  # dtype, dimensions, layout, writability all accepted
    span: tuple = None  # (first byte, end byte) of the entries the module sees, when known


@dataclass
class ScalarArg:
    value: object = None
    typeok: bool = True


@dataclass
class Cone:
    cls: str
    size: int

    @property
    def rows(self):
        return rows_of(self.cls, self.size)

    @property
    def dim(self):
        return dim_of(self.cls, self.size)


class Refused(Exception):
    def __init__(self, message):
        super().__init__(message)
        self.message = message


def product(*factors):
    """Expected entry count; a zero factor gives 0, an overflowing product is refused."""
    if 0 in factors:
        return 0
    p = 1
    for f in factors:
        if p > U64_MAX // f:
            raise Refused(OVERFLOW)
        p *= f
    return p


def psd_count(dim):
    return product(dim // 2, dim + 1) if dim % 2 == 0 else product(dim, dim // 2 + 1)


def view(args, name, expected, dense=None):
    """vector_view: entry count, device kind, alignment; then the dense-view refusal."""
    a = args[name]
    if a.length != expected:
        raise Refused(entry_count(name, expected, a.length))
    index_view(args, name)
    if dense == "input" and a.devtype == KDL_CUDA:
        raise Refused(dense_input(name))
    if dense == "output" and a.devtype == KDL_CUDA:
        raise Refused(dense_output(name))


def index_view(args, name):
    a = args[name]
    if a.devtype not in (KDL_CPU, KDL_CUDA):
        raise Refused(device_kind(name))
    if not a.aligned:
        raise Refused(aligned(name))


def same(a, b):
    return a.devtype == b.devtype and a.devid == b.devid


def same_inputs(args, x, y):
    if not same(args[x], args[y]):
        raise Refused(SAME_INPUTS)


def same_io(args, x, y):
    if not same(args[x], args[y]):
        raise Refused(SAME_IO)


def apart(args, output, inputs, in_place=False):
    """The aliasing rule, after the view, device and availability checks: an output that
    shares a byte with an input on its device is refused, naming the first such input
    in parameter order; an empty array shares nothing; with in_place (projection) an
    input that is the very array of the output (same bytes) is allowed."""
    out = args[output]
    for name in inputs:
        a = args[name]
        if not same(out, a) or out.span is None or a.span is None:
            continue
        (o0, o1), (a0, a1) = out.span, a.span
        if o0 >= o1 or a0 >= a1 or o0 >= a1 or a0 >= o1:
            continue
        if in_place and out.span == a.span:
            continue
        raise Refused(overlaps(output, name))


@dataclass
class Route:
    """Where a call that passed every argument check goes."""
    where: str  # "host" or "device"
    device: int = 0
    notes: dict = field(default_factory=dict)


def route(op, cone, args, has_cuda):
    """The argument checks of a call in the contract's order: returns "type" for a
    binding-layer refusal, raises Refused with the exact message of the first failing
    check, or returns the Route of the call."""
    if not all(a.typeok for a in args.values()):
        return "type"
    k = op.kind
    ints = {n: a.value for n, a in args.items() if isinstance(a, ScalarArg)}

    def gate(device_arg):
        a = args[device_arg]
        if a.devtype == KDL_CUDA:
            if not has_cuda:
                raise Refused(NO_CUDA)
            return Route("device", a.devid)
        return Route("host")

    if k == "capability":
        return Route("host")
    if k == "default_method":
        return Route("host")
    if k in ("psd_smat", "psd_svec", "psd_smat_into", "psd_svec_into"):
        d = ints["dim"]
        if k == "psd_smat":
            view(args, "svec", psd_count(d), dense="input")
            return Route("host")
        if k == "psd_svec":
            count = product(d, d)
            view(args, "matrix", count, dense="input")
            return Route("host")
        if k == "psd_smat_into":
            view(args, "svec", psd_count(d))
            view(args, "output", product(d, d))
            same_io(args, "svec", "output")
            r = gate("output")
            apart(args, "output", ["svec"])
            return r
        count = product(d, d)
        view(args, "matrix", count)
        view(args, "output", psd_count(d))
        same_io(args, "matrix", "output")
        r = gate("output")
        apart(args, "output", ["matrix"])
        return r

    n = cone.rows
    if k in ("project", "violation", "contains"):
        view(args, "input", n)
        if k == "project":
            view(args, "output", n)
            same_io(args, "input", "output")
        if k == "contains" and isinstance(ints["atol"], float) and math.isnan(ints["atol"]):
            raise Refused(ATOL_NAN)
        r = gate("input")
        if k == "project":
            apart(args, "output", ["input"], in_place=True)
        if r.where == "device" and cone.cls == "PsdConeCpp" and cone.size != 2:
            raise Refused(CUDA_PSD_DIM2[k])
        return r
    if k in ("unit_vector", "unit_vector_array"):
        if ints["index"] >= n:
            raise Refused(UNIT_RANGE)
        return Route("host")
    if k == "unit_vector_into":
        view(args, "output", n, dense="output")
        if ints["index"] >= n:
            raise Refused(UNIT_RANGE)
        return Route("host")
    if k in ("nt_list", "nt_array"):
        view(args, "s", n, dense="input")
        view(args, "z", n, dense="input")
        return Route("host")
    if k in ("nt_into", "nt_batch", "nt_custom", "nt_cublas"):
        b = 1 if k == "nt_into" else ints["batch"]
        view(args, "s", product(n, b))
        view(args, "z", product(n, b))
        view(args, "output", product(n, n, b))
        same_inputs(args, "s", "z")
        same_io(args, "s", "output")
        if k == "nt_cublas" and args["output"].devtype != KDL_CUDA:
            raise Refused(CUBLAS_HOST[cone.cls])
        r = gate("output")
        apart(args, "output", ["s", "z"])
        if r.where == "device":
            device_nt_refusals(op, cone, b)
        return r
    if k in ("csr", "coo"):
        first, second = ("indptr", "indices") if k == "csr" else ("row_indices", "col_indices")
        view(args, "s", n)
        view(args, "z", n)
        index_view(args, first)
        index_view(args, second)
        view(args, "values", args[second if k == "csr" else first].length)
        if k == "coo" and args[second].length != args[first].length:
            raise Refused(entry_count("COO col_indices", args[first].length, args[second].length))
        same_inputs(args, "s", "z")
        same_io(args, "s", "values")
        if not same(args["s"], args[first]):
            raise Refused(sparse_index_device("first"))
        if not same(args["s"], args[second]):
            raise Refused(sparse_index_device("second"))
        r = gate("s")
        if r.where == "device" and k == "csr":
            check_indptr_length(args[first].length, n, ints["row_offset"])
        apart(args, "values", ["s", "z", first, second])
        if r.where == "device" and cone.cls == "PsdConeCpp" and cone.size > 32:
            raise Refused(CUDA_PSD_ORDER)
        return r
    raise AssertionError(f"unknown kind {k}")


def device_nt_refusals(op, cone, batch):
    """Refusals of the device NT paths that do not depend on values."""
    if cone.cls == "PsdConeCpp":
        n = cone.size
        if op.kind == "nt_custom" and n > 32:
            raise Refused(CUDA_PSD_CUSTOM)
        if batch == 0:
            return
        if n > 32:
            raise Refused(CUDA_PSD_ORDER)
        if op.kind == "nt_cublas" and n > 2:
            raise Refused(CUDA_PSD_CUBLAS)
    if cone.cls == "SecondOrderConeCpp" and op.kind == "nt_cublas":
        raise Refused(CUDA_SOC_CUBLAS)


def check_indptr_length(length, rows, row_offset):
    """len(indptr) must cover rows row_offset .. row_offset + rows (no wrapping)."""
    if length < rows + 1 or row_offset > length - rows - 1:
        raise Refused(CSR_SHORT)


# ---------------------------------------------------------------------------------------
# Exact and high-precision references
# ---------------------------------------------------------------------------------------
# A predicate here answers True, False or None. None is the band around a boundary in
# which the module's rounded computation may fall on either side, so that either answer
# is accepted; its width is a bound of the module's rounding error, stated where it is
# set. The references themselves are exact (rational arithmetic on the doubles) or carry
# 50 significant digits, far below any band.
U = 2.0 ** -53  # unit roundoff of float64
INF = float("inf")
NAN = float("nan")
DBL_MAX = 1.7976931348623157e308
TINY = 2.0 ** -1074  # smallest subnormal: the absolute error of a result that underflows
HP = decimal.Context(prec=50, Emax=999999, Emin=-999999, traps=[])
D_INF, D_NAN, D_ZERO = decimal.Decimal("Infinity"), decimal.Decimal("NaN"), decimal.Decimal(0)


def finite(x):
    return math.isfinite(x)


def dec(q):
    """A float (exactly) or a Fraction (to 50 digits) as a Decimal."""
    if isinstance(q, Fraction):
        return HP.divide(decimal.Decimal(q.numerator), decimal.Decimal(q.denominator))
    return decimal.Decimal(float(q))


def sum_squares(values):
    """The sum of the squares of finite doubles, exactly (a Fraction)."""
    pairs = [float(v).as_integer_ratio() for v in values]
    if not pairs:
        return Fraction(0)
    k = max(d.bit_length() - 1 for _, d in pairs)
    return Fraction(sum((n << (k - d.bit_length() + 1)) ** 2 for n, d in pairs), 1 << (2 * k))


def hp_sqrt(q):
    return HP.sqrt(dec(q))


def less(a, ea, b, eb):
    """a < b for values a, b (Decimals) known within ea, eb: True, False, or None when
    the errors allow both; IEEE semantics for infinities and NaN (never less)."""
    if a.is_nan() or b.is_nan():
        return False
    if ea.is_infinite() or eb.is_infinite():
        return None
    if a.is_infinite() or b.is_infinite():
        return a < b
    diff, tol = HP.subtract(b, a), HP.add(ea, eb)
    if diff > tol:
        return True
    if diff < -tol:
        return False
    return None


def rounded_sum(a, b):
    """a + b as the module forms it in one IEEE addition: (exact value, bound of the
    rounding, half an ulp, taken as u |a + b| + TINY)."""
    if not (finite(a) and finite(b)):
        return dec(a + b), D_ZERO  # infinities and NaN: the IEEE sum is exact
    s = HP.add(dec(a), dec(b))
    return s, HP.add(HP.multiply(abs(s), dec(U)), dec(TINY))


# -- Exponential cone ------------------------------------------------------------------
# The perspective E = y exp(t), t = x/y, clamped to [-745, 709] in the membership,
# interior and projection tests (the sparse fill's interior test takes exp(x/y) y
# unclamped). The module rounds x/y (relative u: an absolute u |t| in the exponent, so a
# relative u |t| in exp), exp (within 1 ulp on the host, 2 on a device) and the product
# (half an ulp): at most (|t| + 4) u relative; the band is twice that, (|t| + 6) 2u.
# Where exp's result is subnormal its error is absolute, a few TINY (times |y|).
def exp_perspective(x, y, clamp=True):
    """(E, err): E = y exp(t) to 50 digits (Infinity where the module's double overflows,
    NaN where it is NaN) and the band err (Infinity where overflow may or may not
    happen)."""
    if math.isnan(x) or math.isnan(y):
        return D_NAN, D_ZERO
    if math.isinf(y):
        return (D_NAN, D_ZERO) if math.isinf(x) else (dec(y), D_ZERO)  # t = +-0: y exp(0)
    if y == 0.0:
        if x == 0.0:
            return D_NAN, D_ZERO  # 0/0
        return D_ZERO, D_ZERO  # t = +-inf: +-0 times exp of a clamped or infinite t
    if math.isinf(x):
        t = INF if (x > 0) == (y > 0) else -INF  # the sign of x/y
    else:
        t = Fraction(x) / Fraction(y)
    if clamp:
        t = min(max(t, Fraction(-745)), Fraction(709))
    elif t > 800:
        return (D_INF if y > 0 else -D_INF), D_ZERO  # exp(t) alone overflows
    elif t < -800:
        return D_ZERO, HP.multiply(abs(dec(y)), dec(4 * TINY))  # exp(t) underflows to 0
    rel = dec((abs(float(t)) + 6) * 2 * U)
    ex = HP.exp(dec(t))
    absolute = HP.add(HP.multiply(abs(dec(y)), dec(4 * TINY)), dec(2 * TINY))
    if not clamp:
        edge = dec(DBL_MAX)
        if HP.multiply(ex, HP.subtract(1, rel)) > edge:
            return (D_INF if y > 0 else -D_INF), D_ZERO
        if HP.multiply(ex, HP.add(1, rel)) > edge:
            return HP.multiply(dec(y), ex), D_INF
    e = HP.multiply(dec(y), ex)
    err = HP.add(HP.multiply(abs(e), rel), absolute)
    if HP.subtract(abs(e), err) > dec(DBL_MAX):
        return (D_INF if e > 0 else -D_INF), D_ZERO
    if HP.add(abs(e), err) > dec(DBL_MAX):
        return e, D_INF
    return e, err


def exp_interior(x, y, z):
    """y > 0 and z > E (a NaN anywhere: False)."""
    if math.isnan(z) or not (y > 0.0):
        return False
    e, err = exp_perspective(x, y)
    return less(e, err, dec(z), D_ZERO)


def exp_sparse_interior(x, y, z):
    """The sparse fill's test: z > exp(x/y) y for y > 0, else x < 0, y = 0, z >= 0."""
    if math.isnan(x) or math.isnan(y) or math.isnan(z):
        return False
    if y > 0.0:
        e, err = exp_perspective(x, y, clamp=False)
        return less(e, err, dec(z), D_ZERO)
    return x < 0.0 and y == 0.0 and z >= 0.0


def exp_cone_contains(x, y, z, atol):
    """One cone's membership: E <= z + atol when y > atol, else x <= atol, |y| <= atol and
    z >= -atol; a NaN entry fails."""
    if math.isnan(x) or math.isnan(y) or math.isnan(z):
        return False
    if y > atol:
        e, err = exp_perspective(x, y)
        if e.is_nan():
            return False
        rhs, rerr = rounded_sum(z, atol)
        if rhs.is_nan():
            return False
        outside = less(rhs, rerr, e, err)
        return None if outside is None else not outside
    return x <= atol and abs(y) <= atol and z >= -atol


def exp_block_finite(u, v):
    """Whether the scaling block of the interior pair (u, v) is finite. The block is
    invariant under scaling u and v together and M u = v, so its entries are of the size
    of R = max|v| / max|u|: a scale-safe computation stays finite while R is far below
    the largest double (2^900), and no finite result can be right for R >= 2^1030."""
    if not all(finite(t) for t in list(u) + list(v)):
        return False
    r = Fraction(max(abs(t) for t in v)) / Fraction(max(abs(t) for t in u))
    if r < Fraction(2) ** 900:
        return True
    if r >= Fraction(2) ** 1030:
        return False
    return None


def exp_block_reference(u, v):
    """The scaling block M = I + (u d^T + d u^T)/b - e u u^T/b^2 (b = u^T u, d = v - u,
    e = d^T u) of finite u, v, exactly, rounded to doubles (3x3 array), and a bound of the
    module's rounding error per entry: d is rounded once (u |d_k|), b and e are sums of
    three products (3u of the sums of their magnitudes, wherever e cancels), each of the
    four terms takes at most four more roundings and their sum three: 16u times the sum of
    the magnitudes of the terms bounds it all (scaling u and v by a power of two on the
    way is exact)."""
    uu, vv = [Fraction(t) for t in u], [Fraction(t) for t in v]
    d = [b - a for a, b in zip(uu, vv)]
    b = sum(a * a for a in uu)
    e = sum(p * q for p, q in zip(d, uu))
    e_abs = sum(abs(p * q) for p, q in zip(d, uu))
    m, err = np.zeros((3, 3)), np.zeros((3, 3))
    for i in range(3):
        for j in range(3):
            m[i, j] = float((1 if i == j else 0) + (uu[i] * d[j] + uu[j] * d[i]) / b - e * uu[i] * uu[j] / (b * b))
            size = 1 + (abs(uu[i] * d[j]) + abs(uu[j] * d[i])) / b + e_abs * abs(uu[i] * uu[j]) / (b * b)
            err[i, j] = float(16 * size) * U
    return m, err


def exp_violation_cone(x, y, z):
    """(r, err) of one cone: max(E - z, 0) for y > 0, else the distance
    sqrt(max(x, 0)^2 + y^2 + min(z, 0)^2); None where no band holds (non-finite)."""
    if y > 0.0:
        e, err = exp_perspective(x, y)
        if not e.is_finite() or not err.is_finite():
            return None
        diff = HP.subtract(e, dec(z))
        if diff <= 0:
            return D_ZERO, err  # E <= z: r = 0, unless rounding lifts E above z by err
        return diff, HP.add(err, HP.multiply(diff, dec(U)))
    r = hp_sqrt(sum_squares([max(x, 0.0), y, min(z, 0.0)]))
    return r, HP.add(HP.multiply(r, dec(4 * U)), dec(2.0 ** -530))


# -- Second-order cone -----------------------------------------------------------------
# The module's ||x_bar|| is the square root of a sum of n - 1 rounded squares: relative
# error at most (n + 2) u, plus an absolute sqrt(n) 2^-537 from squares that underflow
# (each loses at most TINY). Above 2^500 the squares may overflow: the module's results
# for such vectors are not judged (the norm is not yet scale-safe there).
SOC_SCALE_LIMIT = 2.0 ** 500


def soc_interior(x):
    """x_0 > ||x_bar||, judged for the NT scaling's refusal at any magnitude (the module
    tests it scale-safely). Outside the cone by more than 4 (n + 2) u of x_0 + ||x_bar||
    (the norm's rounding): refused. Inside by more than 2^10 (n + 2) u: accepted, as the
    scaling's intermediate vector must be too; its determinant x_0^2 - ||x_bar||^2 is
    formed with a relative error about (n + 2) u / gap, which stays below 2^-10 there.
    Non-finite entries (other than NaN and x_0 = -inf, which are outside): either."""
    if any(math.isnan(v) for v in x) or x[0] == -INF:
        return False
    if not all(finite(v) for v in x):
        return None
    if x[0] <= 0.0:
        return False
    n = len(x)
    r = hp_sqrt(sum_squares(x[1:]))
    x0 = dec(x[0])
    gap, size = HP.subtract(x0, r), HP.add(x0, r)
    if gap < -HP.multiply(size, dec(4 * (n + 2) * U)):
        return False
    if gap > HP.multiply(size, dec(2 ** 10 * (n + 2) * U)):
        return True
    return None


def soc_contains(x, atol):
    """x_0 >= ||x_bar|| - atol, the difference rounded once; NaN: False."""
    if any(math.isnan(v) for v in x):
        return False
    if not all(finite(v) for v in x) or not finite(atol) or max(abs(v) for v in x) > SOC_SCALE_LIMIT:
        return None
    n = len(x)
    r = hp_sqrt(sum_squares(x[1:]))
    r_err = HP.add(HP.multiply(r, dec((n + 2) * U)), dec(math.sqrt(n) * 2.0 ** -537))
    rhs = HP.subtract(r, dec(atol))
    err = HP.add(HP.multiply(r_err, 2), HP.add(HP.multiply(abs(rhs), dec(2 * U)), dec(2 * TINY)))
    outside = less(dec(x[0]), D_ZERO, rhs, err)
    return None if outside is None else not outside


def soc_violation(x):
    """The distance to the cone: 0 when x_0 >= r, ||x|| when -x_0 >= r, else (r - x_0)/sqrt 2
    (r = ||x_bar||); the band: the norm's error above, and the projection's few roundings
    per entry, 8 (n + 4) u ||x|| in all."""
    n = len(x)
    r = hp_sqrt(sum_squares(x[1:]))
    t = dec(x[0])
    norm = hp_sqrt(sum_squares(x))
    if t >= r:
        ref = D_ZERO
    elif -t >= r:
        ref = norm
    else:
        ref = HP.divide(HP.subtract(r, t), HP.sqrt(decimal.Decimal(2)))
    return ref, HP.add(HP.multiply(norm, dec(8 * (n + 4) * U)), dec(math.sqrt(n) * 2.0 ** -530))


def soc_projection(x):
    """(projection, band) as doubles: x when x_0 >= r, 0 when -x_0 >= r, else
    a (1, x_bar / r) with a = (r + x_0)/2 (r = ||x_bar|| exact); the band, entry by entry,
    that of the violation; None where the squares may overflow or x is not finite."""
    if not all(finite(v) for v in x) or max(abs(v) for v in x) > SOC_SCALE_LIMIT:
        return None
    n = len(x)
    r, t = hp_sqrt(sum_squares(x[1:])), dec(x[0])
    band = float(HP.add(HP.multiply(hp_sqrt(sum_squares(x)), dec(8 * (n + 4) * U)), dec(math.sqrt(n) * 2.0 ** -530)))
    if t >= r:
        return np.array(x, dtype=np.float64), band
    if -t >= r:
        return np.zeros(n), band
    a = HP.divide(HP.add(r, t), 2)
    return np.array([float(a)] + [float(HP.divide(HP.multiply(dec(v), a), r)) for v in x[1:]]), band


# -- PSD cone --------------------------------------------------------------------------
def smat(v, n):
    m = np.zeros((n, n))
    k = 0
    for i in range(n):
        for j in range(i + 1):
            e = v[k] if i == j else v[k] / SQRT2
            m[i, j] = m[j, i] = e
            k += 1
    return m


def psd_violation(v, n):
    """(||min(lambda, 0)||, err) from LAPACK's eigenvalues of smat(v), or None for
    non-finite or huge entries. The module's Jacobi decomposition applies at most 32 n^2
    rotations, each off by a few u ||A||_F, and stops once every off-diagonal entry is
    below an absolute 1e-12, which moves an eigenvalue by at most n 1e-12 (Weyl): the
    eigenvalues are within n 1e-12 + 128 n^2 u ||A||_F, the violation within sqrt(n)
    times that (doubled). Order 1 is exact: max(-x, 0)."""
    v = np.asarray(v, dtype=np.float64)
    if not np.all(np.isfinite(v)) or (v.size and np.max(np.abs(v)) > 1e150):
        return None
    if n == 1:
        return max(-float(v[0]), 0.0), 0.0
    lam = np.linalg.eigvalsh(smat(v, n))
    neg = np.minimum(lam, 0.0)
    ref = math.sqrt(math.fsum(neg * neg))
    fro = math.sqrt(math.fsum(v * v))
    err = 2 * math.sqrt(n) * (n * 1e-12 + (128 * n * n + 8 * n) * U * fro) + 4 * U * ref
    return ref, err


def psd_projection(v, n):
    """(svec of V max(Lambda, 0) V^T, band) from LAPACK's decomposition of smat(v), or
    None for non-finite or huge entries. The projection is 1-Lipschitz in the Frobenius
    norm (the svec norm), so the module's result is within the size of its decomposition's
    backward error, the eigenvalue bound of psd_violation, plus n u ||A||_F for the sum
    of the n rank-one terms."""
    v = np.asarray(v, dtype=np.float64)
    if not np.all(np.isfinite(v)) or (v.size and np.max(np.abs(v)) > 1e150):
        return None
    if n == 1:
        return np.array([max(float(v[0]), 0.0)]), 0.0
    lam, vec = np.linalg.eigh(smat(v, n))
    p = (vec * np.maximum(lam, 0.0)) @ vec.T
    rr, cc = np.tril_indices(n)
    fro = math.sqrt(math.fsum(v * v))
    band = 2 * math.sqrt(n) * (n * 1e-12 + (128 * n * n + 8 * n) * U * fro) + 4 * n * U * fro
    return p[rr, cc] * np.where(rr == cc, 1.0, SQRT2), band


def psd_definiteness(v, n):
    """'pd', 'not' or 'unclear' for the svec v, by LAPACK's eigenvalues of smat(v):
    definite with every eigenvalue beyond 1e-6 of the largest magnitude (either sign),
    else unclear; and entries of moderate size (1e-60 .. 1e60), so that the NT path's
    products of up to four matrices neither overflow nor underflow. Why 1e-6: with both
    matrices that well conditioned (condition below 1e6), the NT path's intermediate
    S^(1/2) Z S^(1/2) has its smallest eigenvalue above 1e-12 of its norm, while the
    decompositions err by some n u (n <= 33: below 1e-14) of it, so every definiteness
    test on the way is decided; and an eigenvalue below -1e-6 of the norm is far outside
    what rounding (or the Jacobi stop) can move."""
    v = np.asarray(v, dtype=np.float64)
    if not np.all(np.isfinite(v)):
        return "unclear"
    top = np.max(np.abs(v)) if v.size else 0.0
    if top == 0.0:
        return "not" if n > 0 else "pd"
    lam = np.linalg.eigvalsh(smat(v, n))
    scale = np.max(np.abs(lam))
    if not (1e-60 <= top <= 1e60):
        return "unclear"
    if lam[0] > 1e-6 * scale:
        return "pd"
    if lam[0] < -1e-6 * scale:
        return "not"
    return "unclear"


def tri(answer):
    """'pd'/'not'/'unclear' as True/False/None."""
    return {"pd": True, "not": False, "unclear": None}[answer]


# ---------------------------------------------------------------------------------------
# References of the value-dependent results (host and device alike)
# ---------------------------------------------------------------------------------------
def violation_reference(cls, size, x):
    """(value, band) of the violation of x, as floats, or None where no band holds
    (non-finite entries, or squares that may overflow)."""
    x = [float(v) for v in x]
    if not all(finite(v) for v in x):
        return None
    n = len(x)
    if cls in ("ZeroConeCpp", "NonnegativeConeCpp"):
        # sqrt of a sum of n rounded squares, any order: (n + 2) u relative, doubled, plus
        # sqrt(n) 2^-537 from squares that underflow; above 2^500 they may overflow
        terms = x if cls == "ZeroConeCpp" else [v for v in x if v < 0.0]
        if terms and max(abs(v) for v in terms) > 2.0 ** 500:
            return None
        ref = float(hp_sqrt(sum_squares(terms)))
        return ref, 2 * (n + 2) * U * ref + math.sqrt(n) * 2.0 ** -537
    if cls == "SecondOrderConeCpp":
        if max(abs(v) for v in x) > SOC_SCALE_LIMIT:
            return None
        ref, err = soc_violation(x)
        return float(ref), float(err) + U * float(ref)
    if cls == "PsdConeCpp":
        return psd_violation(x, size)
    # exponential: the square root of the sum of the cones' r^2, (B + 2) u relative and
    # sqrt(B) 2^-537 from squares that underflow, plus the cones' bands
    total, band = Fraction(0), D_ZERO
    for k in range(size):
        cone = exp_violation_cone(*x[3 * k:3 * k + 3])
        if cone is None:
            return None
        r, err = cone
        if r > dec(1e150):
            return None
        total += Fraction(r) ** 2
        band = HP.add(band, err)
    ref = float(hp_sqrt(total))
    return ref, float(band) + 2 * (size + 2) * U * ref + math.sqrt(size) * 2.0 ** -537


def contains_reference(cls, size, x, atol):
    """True, False, or None (either answer) for contains(x, atol)."""
    x = [float(v) for v in x]
    if cls == "NonnegativeConeCpp":  # a NaN entry is in no cone
        return all(v >= -atol for v in x)
    if cls == "ZeroConeCpp":
        return all(abs(v) <= atol for v in x)
    if cls == "ExponentialConeCpp":
        answers = [exp_cone_contains(*x[3 * k:3 * k + 3], atol) for k in range(size)]
        if False in answers:
            return False
        return None if None in answers else True
    if cls == "SecondOrderConeCpp":
        return soc_contains(x, atol)
    # PSD: atol >= the violation (order 1: exact; NaN violation: False)
    if size == 1:
        viol = -x[0] if not (0.0 > -x[0]) else 0.0
        return atol >= viol
    ref = psd_violation(x, size)
    if ref is None:
        return None
    value, err = ref
    if atol - value > err:
        return True
    if value - atol > err:
        return False
    return None


def exp_projection_ok(x, y, z, out):
    """Whether out (three doubles) is the projection of the cone (x, y, z): for y > 0, x
    and y unchanged and z kept when (y > eps and z + eps >= E) or (y <= eps, x <= eps,
    z >= -eps), else max(E, z) (E wins only when E > z; NaN keeps z); for y <= 0 or NaN,
    (min(x, 0), 0, max(z, 0)) with NaN copied through. E, and z + eps, within their bands."""
    eps = 1e-8
    ox, oy, oz = out
    same = lambda a, b: math.copysign(1.0, a) == math.copysign(1.0, b) and (a == b or (a != a and b != b))
    if not (y > 0.0):
        return same(ox, 0.0 if 0.0 < x else x) and same(oy, 0.0) and same(oz, 0.0 if 0.0 > z else z)
    if not (same(ox, x) and same(oy, y)):
        return False
    e, err = exp_perspective(x, y)
    if y <= eps and x <= eps and z >= -eps:
        keep = True
    elif y > eps:
        rhs, rerr = rounded_sum(z, eps)
        below = less(rhs, rerr, e, err)  # z + eps < E: not kept
        keep = None if below is None else not below
    else:
        keep = False
    raise_to_e = less(dec(z), D_ZERO, e, err)  # E > z
    if same(oz, z) and (keep is not False or raise_to_e is not True):
        return True
    if keep is True or raise_to_e is False:
        return False
    # oz is E within its band
    if e.is_infinite() or err.is_infinite():
        return oz == INF or (finite(oz) and dec(oz) >= HP.multiply(dec(DBL_MAX), HP.subtract(1, dec(2 ** 10 * U))))
    return finite(oz) and abs(HP.subtract(dec(oz), e)) <= err


# ---------------------------------------------------------------------------------------
# Host value predicates per family. Each returns (messages, may_succeed): the refusal
# texts the call may end with, and whether it may also succeed.
# ---------------------------------------------------------------------------------------
MUST_SUCCEED = (frozenset(), True)


def refuse(message):
    return (frozenset([message]), False)


def either(message):
    return (frozenset([message]), True)


def outcome_of(answer, message):
    """The outcome of one check that passes when answer is True (None: either)."""
    return MUST_SUCCEED if answer is True else (refuse(message) if answer is False else either(message))


def in_order(checks):
    """The outcome of checks made one after the other, the call ending with the first
    that fails: checks is an iterable of outcomes, consumed only as far as needed."""
    messages = set()
    for msgs, ok in checks:
        messages |= msgs
        if not ok:
            return frozenset(messages), False
    return frozenset(messages), True


def zero_nt(s, z):
    """||s|| and then ||z|| at most 1e-10; the norms carry (n + 2) u relative error, so
    the band on their squares is 4 (n + 2) u of 1e-20 (a NaN or infinite entry: refused)."""
    def one(x):
        if not all(finite(v) for v in x):
            return refuse(ZERO_NT)
        total, limit = sum_squares(x), Fraction(1e-10) ** 2
        band = limit * Fraction(4 * (len(x) + 2)) * Fraction(U)
        return outcome_of(True if total < limit - band else (False if total > limit + band else None), ZERO_NT)
    return in_order(one(x) for x in (s, z))


def zero_sparse(s, z):
    if all(v == 0.0 for v in s) and all(v == 0.0 for v in z):
        return MUST_SUCCEED
    return refuse(ZERO_SPARSE)


def nonneg_nt(s, z):
    if not all(v > 0.0 for v in s + z):  # NaN is not positive
        return refuse(NONNEG_NT)
    return MUST_SUCCEED


def nonneg_sparse(s, z):
    if not all(v > 0.0 for v in s + z):
        return refuse(NONNEG_SPARSE)
    return MUST_SUCCEED


def zero_device_diagonal(s, z):
    """Diagonal entry of the zero cone's H on the device, which tests no values: 1.0 for
    finite s_i and z_i, NaN when either is not finite."""
    return 1.0 if finite(s) and finite(z) else NAN


def exp_blocks(s, z, count, interior, interior_message, finite_message):
    """Cone after cone: u = the s block and v = the z block interior, then a finite block."""
    def one(q):
        u, v = s[3 * q:3 * q + 3], z[3 * q:3 * q + 3]
        yield outcome_of(interior(*u), interior_message)
        yield outcome_of(interior(*v), interior_message)
        yield outcome_of(exp_block_finite(u, v), finite_message)
    return in_order(outcome for q in range(count) for outcome in one(q))


def exp_dense(s, z, blocks):
    return exp_blocks(s, z, blocks, exp_interior, EXP_NT, EXP_NORM)


def exp_batch(s, z, blocks, batch):
    return exp_blocks(s, z, blocks * batch, exp_interior, EXP_NT, EXP_NT)


def exp_sparse(s, z, blocks):
    return exp_blocks(s, z, blocks, exp_sparse_interior, EXP_SPARSE, EXP_SPARSE)


def psd_pair(s, z, n, message):
    return in_order([outcome_of(tri(psd_definiteness(s, n)), message), outcome_of(tri(psd_definiteness(z, n)), message)])


def psd_batch(s, z, n, batch):
    m = psd_rows(n)

    def one(t):
        st, zt = s[t * m:(t + 1) * m], z[t * m:(t + 1) * m]
        if n == 1:  # z/s of positive finite numbers; NaN and infinities refused
            return refuse(PSD_INPUTS) if not (0.0 < st[0] < INF) or not (0.0 < zt[0] < INF) else MUST_SUCCEED
        return psd_pair(st, zt, n, PSD_INPUTS if n == 2 else PSD_MATRICES)
    return in_order(one(t) for t in range(batch))


def soc_pair(s, z, message):
    return in_order(outcome_of(soc_interior(x), message) for x in (s, z))


def host_values(op, cone, arrays, ints):
    """Outcome of a host call that passed every argument check: (messages, may_succeed)."""
    k, cls = op.kind, cone.cls if cone else None
    if k in ("project", "violation", "contains", "unit_vector", "unit_vector_array", "unit_vector_into",
             "default_method", "capability", "psd_smat", "psd_svec", "psd_smat_into", "psd_svec_into"):
        return MUST_SUCCEED
    s, z = [float(v) for v in arrays["s"]], [float(v) for v in arrays["z"]]
    n = cone.rows
    if k in ("csr", "coo"):
        if cls == "ZeroConeCpp":
            return zero_sparse(s, z)
        if cls == "NonnegativeConeCpp":
            return nonneg_sparse(s, z)
        if cls == "ExponentialConeCpp":
            return exp_sparse(s, z, cone.size)
        if cls == "PsdConeCpp":
            return psd_pair(s, z, cone.size, PSD_MATRICES)
        return soc_pair(s, z, SOC_SPARSE)
    batch = 1 if k in ("nt_list", "nt_array", "nt_into") else ints["batch"]
    if cls == "ZeroConeCpp":
        return zero_nt(s, z)
    if cls == "NonnegativeConeCpp":
        return nonneg_nt(s, z)
    if cls == "ExponentialConeCpp":
        return exp_dense(s, z, cone.size) if k in ("nt_list", "nt_array") else exp_batch(s, z, cone.size, batch)
    if cls == "PsdConeCpp":
        if k in ("nt_list", "nt_array"):
            return psd_pair(s, z, cone.size, PSD_MATRICES)
        return psd_batch(s, z, cone.size, batch)
    # one second-order cone per item, items in order
    return in_order(soc_pair(s[t * n:(t + 1) * n], z[t * n:(t + 1) * n], SOC_NT) for t in range(batch))


# ---------------------------------------------------------------------------------------
# Sparse walks
# ---------------------------------------------------------------------------------------
def local(index, row_offset, rows):
    """Local index of a non-negative global index inside the block, else None."""
    r = index - row_offset
    return r if 0 <= r < rows else None


def host_csr_walk(indptr, indices, nnz, rows, row_offset):
    """The host CSR walk: (message or None, [(position, r, c or None)] in write order);
    c is None where the position is cleared."""
    writes = []
    try:
        check_indptr_length(len(indptr), rows, row_offset)
    except Refused as e:
        return e.message, writes
    for r in range(rows):
        start = int(indptr[row_offset + r])
        if start < 0:
            return CSR_PTR_SIGN, writes
        end = int(indptr[row_offset + r + 1])
        if end < 0:
            return CSR_PTR_SIGN, writes
        if end < start or end > nnz:
            return CSR_MONOTONE, writes
        for p in range(start, end):
            col = int(indices[p])
            if col < 0:
                return CSR_IDX_SIGN, writes
            writes.append((p, r, local(col, row_offset, rows)))
    return None, writes


def host_coo_walk(row_indices, col_indices, rows, row_offset):
    writes = []
    for p in range(len(row_indices)):
        row = int(row_indices[p])
        if row < 0:
            return COO_ROW_SIGN, writes
        r = local(row, row_offset, rows)
        if r is None:
            continue
        col = int(col_indices[p])
        if col < 0:
            return COO_COL_SIGN, writes
        writes.append((p, r, local(col, row_offset, rows)))
    return None, writes


def device_csr_writes(indptr, indices, nnz, rows, row_offset):
    """Positions the device CSR gather may write: {position: [(r, c or None), ...]}
    (several rows may claim one position of a malformed structure)."""
    out = {}
    for r in range(rows):
        start, end = int(indptr[row_offset + r]), int(indptr[row_offset + r + 1])
        if start < 0 or end < start:
            continue
        for p in range(start, min(end, nnz)):
            col = int(indices[p])
            out.setdefault(p, []).append((r, local(col, row_offset, rows) if col >= 0 else None))
    return out


def device_coo_writes(row_indices, col_indices, rows, row_offset):
    out = {}
    for p in range(len(row_indices)):
        row, col = int(row_indices[p]), int(col_indices[p])
        if row < 0 or col < 0:
            out[p] = [(None, None)]
            continue
        r = local(row, row_offset, rows)
        if r is None:
            continue
        out[p] = [(r, local(col, row_offset, rows))]
    return out
