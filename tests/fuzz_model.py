"""The call contract of the module, written independently of its code, for the fuzz suite.

It holds the parameters of every method and module function, the order in which a call
checks its arguments with the exact message of each refusal (arrays that share memory
included), and host reference predicates for the refusals that depend on values
(interior tests of each cone, where a NaN is never interior, and the sparse structure
walks). Predicates that are exact replicas of a contract formula use
the same IEEE operations in the same order (and the C library's exp, which Python's math
module calls too); where the module's answer rests on an eigen-decomposition or a
rounded norm, a predicate says "either" inside a margin around the boundary.
"""
import math
from dataclasses import dataclass, field

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
# Families and the operations of each
# ---------------------------------------------------------------------------------------
CLASSES = ["ZeroConeCpp", "NonnegativeConeCpp", "SecondOrderConeCpp", "PsdConeCpp", "ExponentialConeCpp"]
WITH_CHOICE = {"SecondOrderConeCpp", "PsdConeCpp"}
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


KINDS = {
    # kind: parameters as (name, role) in order; roles: ro, rw (float64 arrays), ix (int64
    # arrays), int (unsigned 64-bit), float (atol)
    "project": (("input", "ro"), ("output", "rw"), ("stream", "int")),
    "violation": (("input", "ro"),),
    "contains": (("input", "ro"), ("atol", "float")),
    "unit_vector": (("index", "int"),),
    "unit_vector_array": (("index", "int"),),
    "unit_vector_into": (("index", "int"), ("output", "rw")),
    "nt_list": (("s", "ro"), ("z", "ro")),
    "nt_array": (("s", "ro"), ("z", "ro")),
    "nt_into": (("s", "ro"), ("z", "ro"), ("output", "rw"), ("stream", "int")),
    "nt_batch": (("s", "ro"), ("z", "ro"), ("output", "rw"), ("batch", "int"), ("stream", "int")),
    "nt_custom": (("s", "ro"), ("z", "ro"), ("output", "rw"), ("batch", "int"), ("stream", "int")),
    "nt_cublas": (("s", "ro"), ("z", "ro"), ("output", "rw"), ("batch", "int"), ("stream", "int")),
    "default_method": (("batch", "int"),),
    "csr": (("s", "ro"), ("z", "ro"), ("indptr", "ix"), ("indices", "ix"), ("values", "rw"), ("row_offset", "int"),
            ("stream", "int")),
    "coo": (("s", "ro"), ("z", "ro"), ("row_indices", "ix"), ("col_indices", "ix"), ("values", "rw"),
            ("row_offset", "int"), ("stream", "int")),
    "psd_smat": (("svec", "ro"), ("dim", "int")),
    "psd_svec": (("matrix", "ro"), ("dim", "int")),
    "psd_smat_into": (("svec", "ro"), ("output", "rw"), ("dim", "int"), ("stream", "int")),
    "psd_svec_into": (("matrix", "ro"), ("output", "rw"), ("dim", "int"), ("stream", "int")),
    "capability": (),
}

SHARED = [("project_into", "project"), ("violation", "violation"), ("contains", "contains"),
          ("unit_vector", "unit_vector"), ("unit_vector_array", "unit_vector_array"),
          ("unit_vector_into", "unit_vector_into"), ("nt_scaling_matrix", "nt_list"),
          ("nt_scaling_matrix_array", "nt_array"), ("nt_scaling_matrix_into", "nt_into"),
          ("nt_scaling_matrix_batch_into", "nt_batch")]
CHOICE = [("nt_scaling_matrix_default_method", "default_method"),
          ("nt_scaling_matrix_batch_custom_into", "nt_custom"),
          ("nt_scaling_matrix_batch_cublas_into", "nt_cublas")]
SPARSE = [("hmatrix_csr_values_into", "csr"), ("hmatrix_coo_values_into", "coo")]
MODULE_FUNCTIONS = [("psd_smat", "psd_smat"), ("psd_svec", "psd_svec"), ("psd_smat_into", "psd_smat_into"),
                    ("psd_svec_into", "psd_svec_into")] + [
    (name, "capability") for name in ("has_cuda", "cuda_runtime_version", "has_host_blas", "has_cublas",
                                      "has_cusolver", "host_blas_backend")]


@dataclass(frozen=True)
class Op:
    owner: str  # class name, or "module"
    name: str
    kind: str

    @property
    def params(self):
        return KINDS[self.kind]

    @property
    def id(self):
        return f"{self.owner}.{self.name}"


def catalogue():
    ops = []
    for cls in CLASSES:
        methods = SHARED + (CHOICE if cls in WITH_CHOICE else []) + SPARSE
        ops += [Op(cls, name, kind) for name, kind in methods]
    ops += [Op("module", name, kind) for name, kind in MODULE_FUNCTIONS]
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
# IEEE helpers (the C library's behaviour where Python's raises)
# ---------------------------------------------------------------------------------------
INF = float("inf")
NAN = float("nan")


def fdiv(a, b):
    if b == 0.0:
        if a != a or a == 0.0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def c_exp(t):
    try:
        return math.exp(t)
    except OverflowError:
        return INF


def c_ldexp(x, e):
    try:
        return math.ldexp(x, e)
    except OverflowError:
        return math.copysign(INF, x)


def finite(x):
    return not (math.isnan(x) or math.isinf(x))


# ---------------------------------------------------------------------------------------
# Host value predicates per family. Each returns (messages, may_succeed): the refusal
# texts the call may end with, and whether it may also succeed.
# ---------------------------------------------------------------------------------------
MUST_SUCCEED = (frozenset(), True)


def refuse(message):
    return (frozenset([message]), False)


def either(message):
    return (frozenset([message]), True)


def ordered_norm(x):
    """Euclidean norm with the sum of squares in index order from 0.0."""
    total = 0.0
    for v in x:
        total += v * v
    return math.sqrt(total) if total >= 0.0 else NAN


def zero_nt(s, z):
    for x in (s, z):
        squares = [v * v for v in x]
        if any(math.isnan(q) for q in squares):
            return refuse(ZERO_NT)  # a NaN is in no cone: a NaN norm is refused
        if any(math.isinf(q) for q in squares):
            return refuse(ZERO_NT)
        norm = math.sqrt(math.fsum(squares))
        if abs(norm - 1e-10) <= 1e-10 * 1e-9:
            return either(ZERO_NT)
        if norm > 1e-10:
            return refuse(ZERO_NT)
    return MUST_SUCCEED


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


def clamp_exponent(t):
    return 709.0 if t > 709.0 else (-745.0 if t < -745.0 else t)


def exp_perspective(x, y):
    return y * c_exp(clamp_exponent(fdiv(x, y)))


def exp_interior(x, y, z):
    return y > 0.0 and z > exp_perspective(x, y)


def exp_sparse_interior(x):
    if x[1] > 0.0:
        return x[2] > c_exp(fdiv(x[0], x[1])) * x[1]
    return x[0] < 0.0 and x[1] == 0.0 and x[2] >= 0.0


def balance_shift(u):
    top = 0.0
    for v in u:
        if abs(v) > top:
            top = abs(v)
    if not (top > 0.0) or not (top <= 1.7976931348623157e308):
        return 0
    return 1 - math.frexp(top)[1]


def psb_list_order_ok(u, v):
    """Whether psb_identity_update accepts the pair: b finite and positive, M finite."""
    shift = balance_shift(u)
    u = [c_ldexp(x, shift) for x in u]
    b = 0.0
    for x in u:
        b += x * x
    if not (b > 0.0) or not finite(b):
        return False
    d = [c_ldexp(y, shift) - x for x, y in zip(u, v)]
    e = 0.0
    for x, y in zip(d, u):
        e += x * y
    h = b * b
    for i in range(3):
        for j in range(3):
            m = ((fdiv(u[i] * d[j], b) + fdiv(u[j] * d[i], b)) - fdiv((u[i] * e) * u[j], h)) + (1.0 if i == j else 0.0)
            if not finite(m):
                return False
    return True


def psb_batch_order(u, v):
    """The 3x3 block in the batch/sparse order after balancing (a list of 9 floats)."""
    shift = balance_shift(u)
    u = [c_ldexp(x, shift) for x in u]
    d = [c_ldexp(y, shift) - x for x, y in zip(u, v)]
    b = ((0.0 + u[0] * u[0]) + u[1] * u[1]) + u[2] * u[2]
    e = ((0.0 + d[0] * u[0]) + d[1] * u[1]) + d[2] * u[2]
    out = []
    for r in range(3):
        for c in range(3):
            delta = 1.0 if r == c else 0.0
            out.append(((fdiv(d[r] * u[c], b) + delta) + fdiv(u[r] * d[c], b)) - fdiv((e * u[r]) * u[c], b * b))
    return out


def exp_dense(s, z, blocks):
    for k in range(blocks):
        u, v = s[3 * k:3 * k + 3], z[3 * k:3 * k + 3]
        if not (exp_interior(*u) and exp_interior(*v)):
            return refuse(EXP_NT)
        if not psb_list_order_ok(u, v):
            return refuse(EXP_NORM)
    return MUST_SUCCEED


def exp_batch(s, z, blocks, batch):
    for q in range(blocks * batch):
        u, v = s[3 * q:3 * q + 3], z[3 * q:3 * q + 3]
        if not (exp_interior(*u) and exp_interior(*v)):
            return refuse(EXP_NT)
        if not all(finite(m) for m in psb_batch_order(u, v)):
            return refuse(EXP_NT)
    return MUST_SUCCEED


def exp_sparse(s, z, blocks):
    for k in range(blocks):
        u, v = s[3 * k:3 * k + 3], z[3 * k:3 * k + 3]
        if not (exp_sparse_interior(u) and exp_sparse_interior(v)):
            return refuse(EXP_SPARSE)
        if not all(finite(m) for m in psb_batch_order(u, v)):
            return refuse(EXP_SPARSE)
    return MUST_SUCCEED


def smat(v, n):
    m = np.zeros((n, n))
    k = 0
    for i in range(n):
        for j in range(i + 1):
            e = v[k] if i == j else v[k] / SQRT2
            m[i, j] = m[j, i] = e
            k += 1
    return m


def psd_definiteness(v, n):
    """'pd', 'not' or 'unclear' for the svec v: positive definite with room to spare
    (every eigenvalue above 1e-6 of the largest magnitude, entries of moderate size so
    that the products of the NT path stay finite), clearly indefinite, or in between."""
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


def psd_pair(s, z, n, message):
    ds, dz = psd_definiteness(s, n), psd_definiteness(z, n)
    if ds == "not":
        return refuse(message)
    if ds == "pd" and dz == "not":
        return refuse(message)
    if ds == "pd" and dz == "pd":
        return MUST_SUCCEED
    return either(message)


def psd_batch(s, z, n, batch):
    m = psd_rows(n)
    for t in range(batch):
        st, zt = s[t * m:(t + 1) * m], z[t * m:(t + 1) * m]
        if n == 1:
            if not (0.0 < st[0] < INF) or not (0.0 < zt[0] < INF):  # NaN and infinities too
                return refuse(PSD_INPUTS)
            continue
        outcome = psd_pair(st, zt, n, PSD_INPUTS if n == 2 else PSD_MATRICES)
        if outcome != MUST_SUCCEED:
            return outcome  # a definite refusal, or an unclear item: the rest no longer decides
    return MUST_SUCCEED


def soc_interior(x):
    """'in', 'out' or 'unclear' for x_0 > ||x_bar|| with a relative margin (the norm
    taken at unit scale, so any magnitude is judged)."""
    if not all(finite(v) for v in x):
        return "out" if any(math.isnan(v) for v in x) or x[0] == -INF else "unclear"
    top = max(abs(v) for v in x)
    if top == 0.0:
        return "out"
    shift = 1 - math.frexp(top)[1]
    x = [math.ldexp(v, shift) for v in x]
    tail = math.sqrt(math.fsum(v * v for v in x[1:]))
    if x[0] > tail * (1 + 1e-6):
        return "in"
    if x[0] < tail * (1 - 1e-6):
        return "out"
    return "unclear"


def soc_pair(s, z, message):
    a, b = soc_interior(s), soc_interior(z)
    if a == "out" or (a == "in" and b == "out"):
        return refuse(message)
    if a == "in" and b == "in":
        return MUST_SUCCEED
    return either(message)


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
    for t in range(batch):
        outcome = soc_pair(s[t * n:(t + 1) * n], z[t * n:(t + 1) * n], SOC_NT)
        if outcome != MUST_SUCCEED:
            return outcome
    return MUST_SUCCEED


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
