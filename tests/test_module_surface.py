"""The module's Python surface: capabilities, registration order, constructors,
rendered signatures, and the argument checks with their messages and order.

The signatures (names, parameters in order, annotations, defaults) are the suite's one
hand-written copy in fuzz_model.SIGNATURES; the tests here hold the module, and the type
stubs installed beside it, to that copy."""
import ast
import importlib.util
from pathlib import Path

import numpy as np
import pytest

import fuzz_model as fm
from dlpack_tags import KDL_CUDA, KDL_CUDA_HOST, KDL_CUDA_MANAGED, TaggedArray

CAPABILITIES = [name for name, sig in fm.FUNCTIONS.items() if not sig.params]
CLASSES = fm.CLASSES
PSD_FUNCTIONS = [name for name, sig in fm.FUNCTIONS.items() if sig.params]
CALLABLES = [("module", name) for name in fm.FUNCTIONS] + [
    (cls, name) for cls, members in fm.CLASS_MEMBERS.items() for name, sig in members.items() if not sig.is_property]


def bound(cones, owner, name):
    return getattr(cones, name) if owner == "module" else getattr(getattr(cones, owner), name)


def expected(owner, name):
    return fm.FUNCTIONS[name] if owner == "module" else fm.CLASS_MEMBERS[owner][name]


def test_docstring_and_capabilities(cones):
    assert cones.__doc__ == "nanobind C++/CUDA cone classes for velkora.torv.cones.cpp"
    assert cones.cuda_runtime_version() == "cuda-runtime-13"
    # host BLAS exactly when the build links the OpenBLAS of the scipy-openblas32 wheel
    # (VELKORA_HOST_LAPACK), which the module's import then maps into the process
    linked = "/scipy_openblas32/lib/libscipy_openblas.so" in Path("/proc/self/maps").read_text()
    assert cones.has_host_blas() is linked
    assert cones.host_blas_backend() == ("openblas" if linked else "none")
    assert cones.has_cublas() is False
    assert cones.has_cusolver() is False
    assert isinstance(cones.has_cuda(), bool)


@pytest.mark.parametrize("name", CAPABILITIES)
def test_capability_signatures(cones, name):
    assert getattr(cones, name).__nb_signature__[0][0] == fm.FUNCTIONS[name].rendered()


def test_registration_order(cones):
    public = [k for k in vars(cones) if not k.startswith("_")]
    assert public == CAPABILITIES + CLASSES + PSD_FUNCTIONS
    assert public == list(fm.FUNCTIONS)[:len(CAPABILITIES)] + CLASSES + list(fm.FUNCTIONS)[len(CAPABILITIES):]


@pytest.mark.parametrize("class_name", CLASSES)
def test_method_tables(cones, class_name):
    """Exactly the canonical methods, in registration order, with the rendered signatures;
    the constructor and the two properties come first."""
    cls = getattr(cones, class_name)
    members = [k for k in vars(cls) if not k.startswith("_") or k == "__init__"]
    canonical = fm.CLASS_MEMBERS[class_name]
    assert members[:3] == ["__init__", "dim", "rows"]
    assert members == list(canonical)
    for method, sig in canonical.items():
        if not sig.is_property:
            assert getattr(cls, method).__nb_signature__[0][0] == sig.rendered()


@pytest.mark.parametrize("owner, name", CALLABLES, ids=[f"{o}.{n}" for o, n in CALLABLES])
def test_defaults(cones, owner, name):
    """The default values behind the rendered \\0, \\1, ...: their values and types."""
    got = bound(cones, owner, name).__nb_signature__[0][2] or ()
    want = expected(owner, name).defaults()
    assert got == want and [type(v) for v in got] == [type(v) for v in want]


@pytest.mark.parametrize("class_name", CLASSES)
def test_constructor_and_property_signatures(cones, class_name):
    cls = getattr(cones, class_name)
    members = fm.CLASS_MEMBERS[class_name]
    assert cls.__init__.__nb_signature__[0][0] == members["__init__"].rendered()
    for prop in ("dim", "rows"):
        assert getattr(cls, prop).fget.__nb_signature__[0][0] == members[prop].rendered()


def installed_stubs(module_name):
    """The type stubs of a module beside it and in its <name>-stubs package."""
    origin = Path(importlib.util.find_spec(module_name).origin).parent
    return [p for p in (origin / f"{module_name}.pyi", origin / f"{module_name}-stubs" / "__init__.pyi")
            if p.is_file()]


def stub_surface(path):
    """{owner: {name: (parameter names, default values)}} of a generated stub."""
    tree = ast.parse(path.read_text())
    surface = {"module": {}}

    def entry(node, method):
        args = node.args.args[1:] if method else node.args.args
        return [a.arg for a in args], [ast.unparse(d) for d in node.args.defaults]

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            surface["module"][node.name] = entry(node, False)
        elif isinstance(node, ast.ClassDef):
            surface[node.name] = {n.name: entry(n, True) for n in node.body if isinstance(n, ast.FunctionDef)}
    return surface


def test_installed_stubs_match_the_signatures():
    """The stubs generated with the build name the same functions, classes and members
    in the same order, with the same parameters and defaults (as written in Python)."""
    stubs = installed_stubs("_cpp_cuda")
    if not stubs:
        pytest.skip("no type stub beside this build of the module")
    for path in stubs:
        surface = stub_surface(path)
        assert list(surface["module"]) == list(fm.FUNCTIONS), path
        assert [k for k in surface if k != "module"] == CLASSES, path
        for owner, members in [("module", fm.FUNCTIONS)] + list(fm.CLASS_MEMBERS.items()):
            assert list(surface[owner]) == list(members), (path, owner)
            for name, sig in members.items():
                names, defaults = surface[owner][name]
                assert names == [p.name for p in sig.params], (path, owner, name)
                assert [ast.literal_eval(d) for d in defaults] == list(sig.defaults()), (path, owner, name)


@pytest.mark.parametrize(
    "class_name, arg, dim, rows",
    [("ZeroConeCpp", 0, 0, 0), ("ZeroConeCpp", 7, 7, 7), ("NonnegativeConeCpp", 0, 0, 0),
     ("NonnegativeConeCpp", 5, 5, 5), ("SecondOrderConeCpp", 1, 1, 1), ("SecondOrderConeCpp", 9, 9, 9),
     ("PsdConeCpp", 1, 1, 1), ("PsdConeCpp", 3, 3, 6), ("PsdConeCpp", 32, 32, 528),
     ("ExponentialConeCpp", 4, 3, 12)],
)
def test_dim_and_rows(cones, class_name, arg, dim, rows):
    cone = getattr(cones, class_name)(arg)
    assert (cone.dim, cone.rows) == (dim, rows)
    assert type(cone.dim) is int and type(cone.rows) is int


def test_exponential_default_block(cones):
    cone = cones.ExponentialConeCpp()
    assert (cone.dim, cone.rows) == (3, 3)
    assert not hasattr(cone, "blocks")


@pytest.mark.parametrize(
    "class_name, message",
    [("SecondOrderConeCpp", "second-order cone dim must be positive"),
     ("PsdConeCpp", "PSD cone dim must be positive"),
     ("ExponentialConeCpp", "exponential cone block count must be positive")],
)
def test_constructor_refusals(cones, class_name, message):
    with pytest.raises(RuntimeError) as info:
        getattr(cones, class_name)(0)
    assert str(info.value) == message


@pytest.mark.parametrize("class_name", ["PsdConeCpp", "ExponentialConeCpp"])
def test_constructor_refuses_sizes_that_overflow(cones, class_name):
    with pytest.raises(RuntimeError, match="overflow"):
        getattr(cones, class_name)(2**64 - 1)


@pytest.mark.parametrize("bad", [-1, 1.0, "3", None])
def test_constructor_integer_conversion(cones, bad):
    with pytest.raises(TypeError):
        cones.NonnegativeConeCpp(bad)


def test_properties_are_read_only(cones):
    cone = cones.NonnegativeConeCpp(3)
    with pytest.raises(AttributeError):
        cone.dim = 4


# --- argument views, checks and their order (nonnegative cone as the carrier) ---

def host(n, value=0.0):
    return np.full(n, value)


def test_entry_count_message(cones):
    with pytest.raises(RuntimeError) as info:
        cones.NonnegativeConeCpp(4).violation(host(5))
    assert str(info.value) == "input expected 4 entries, got 5"


@pytest.mark.parametrize("kind", [KDL_CUDA_HOST, KDL_CUDA_MANAGED, 4, 7])
def test_device_kind_refused_after_length(cones, kind):
    cone = cones.NonnegativeConeCpp(4)
    with pytest.raises(RuntimeError) as info:
        cone.violation(TaggedArray(4, kind))
    assert str(info.value) == "input must be on CPU or CUDA"
    with pytest.raises(RuntimeError) as info:
        cone.violation(TaggedArray(3, kind))
    assert str(info.value) == "input expected 4 entries, got 3"
    out = host(4, 7.0)
    with pytest.raises(RuntimeError) as info:
        cone.project_into(host(4), TaggedArray(4, kind))
    assert str(info.value) == "output must be on CPU or CUDA"
    assert np.all(out == 7.0)


@pytest.mark.parametrize(
    "bad",
    [np.zeros(4, dtype=np.float32), np.zeros((2, 2)), np.zeros(8)[::2], [0.0, 0.0, 0.0, 0.0], np.zeros(4, dtype=np.int64)],
    ids=["float32", "2d", "strided", "list", "int64"],
)
def test_binding_type_errors(cones, bad):
    """The refusal's first line names the parameter, what it takes and how the argument
    differs; nanobind's own table of signatures follows unchanged."""
    if not isinstance(bad, np.ndarray):
        got = type(bad).__name__
    elif bad.dtype != np.float64:
        got = bad.dtype.name
    elif bad.ndim != 1:
        got = f"a {bad.ndim}-D array"
    else:
        got = f"a non-contiguous array (a step of {bad.strides[0] // bad.itemsize} entries)"
    taken = "a 1-D C-contiguous float64 array"
    ipm = pytest.importorskip("_ipm_cones")
    cone = cones.NonnegativeConeCpp(4)
    out = host(4, 7.0)
    for call, line in [(lambda: cone.project_into(bad, out), f"input must be {taken} (got {got})"),
                       (lambda: cone.project_into(output=out, input=bad), f"input must be {taken} (got {got})"),
                       (lambda: cone.project_into(host(4), bad), f"output must be a writable {taken[2:]} (got {got})"),
                       (lambda: cone.violation(bad), f"input must be {taken} (got {got})"),
                       (lambda: ipm.NonnegativeCone(4).max_step(host(4), bad), f"dx must be {taken} (got {got})")]:
        with pytest.raises(TypeError) as refused:
            call()
        first, second = str(refused.value).split("\n")[:2]
        assert first == line
        assert second.endswith("(): incompatible function arguments. The following argument types are supported:")
    assert np.all(out == 7.0)


def test_read_only_arrays(cones):
    cone = cones.NonnegativeConeCpp(3)
    ro = np.array([-1.0, 2.0, 3.0])
    ro.flags.writeable = False
    out = host(3)
    cone.project_into(ro, out)
    assert out.tolist() == [0.0, 2.0, 3.0]
    for call in (lambda: cone.project_into(host(3), ro), lambda: cone.unit_vector_into(0, ro)):
        with pytest.raises(TypeError, match="^output must be a writable 1-D C-contiguous float64 array "
                                            "\\(got a read-only array\\)\n"):
            call()


def test_every_presentation_of_the_same_entries_reads_the_same_memory(cones):
    """NumPy arrays are read from the array object itself, everything else through DLPack
    or the buffer protocol: views at an offset, read-only inputs, an equal element type
    under another descriptor object, a one-entry view with a step, a memoryview and a bare
    DLPack capsule all reach the same entries, and outputs are written exactly where they
    lie."""
    big = np.array([5.0, -1.0, 2.0, -3.0, 4.0, -6.0])
    ro = big.copy()
    ro.flags.writeable = False
    other = big.astype(np.dtype(np.float64).newbyteorder("="))
    assert other.dtype is not big.dtype
    cone = cones.NonnegativeConeCpp(3)
    inputs = {"offset view": lambda: big[2:5], "read-only": lambda: ro[2:5], "other descriptor": lambda: other[2:5],
              "memoryview": lambda: memoryview(big[2:5]), "capsule": lambda: big[2:5].__dlpack__()}
    for name, x in inputs.items():
        outer = np.full(5, 7.0)
        cone.project_into(x(), outer[1:4])
        assert outer.tolist() == [7.0, 2.0, 0.0, 4.0, 7.0], name
        assert cone.violation(x()) == 3.0, name
    one = big[1::2][:1]  # one entry, a step of two
    cone1 = cones.NonnegativeConeCpp(1)
    target = np.full(4, 7.0)
    cone1.project_into(one, target[2::2][:1])
    assert cone1.violation(one) == 1.0 and target.tolist() == [7.0, 7.0, 0.0, 7.0]
    # Index arrays: int64 under NumPy's other 64-bit integer descriptor, and at an offset.
    rows = np.array([9, 0, 1, 2, 1], dtype=np.longlong)
    assert rows.dtype is not np.dtype(np.int64)
    cols = np.arange(-1, 4, dtype=np.int64)
    values = np.full(4, 7.0)
    cone.hmatrix_coo_values_into(np.array([1.0, 2.0, 4.0]), np.array([3.0, 1.0, 2.0]), rows[1:], cols[1:], values)
    assert values.tolist() == [3.0, 0.5, 0.5, 0.0]  # (1, 3) lies outside the block


@pytest.mark.parametrize("bad", [-1, 1.5, "0"])
def test_integer_parameters_refuse_negatives_and_floats(cones, bad):
    cone = cones.NonnegativeConeCpp(3)
    with pytest.raises(TypeError):
        cone.unit_vector(bad)
    with pytest.raises(TypeError):
        cone.project_into(host(3), host(3), stream=bad)


def test_integer_like_objects_and_integer_atol(cones):
    class Two:
        def __index__(self):
            return 2

    cone = cones.NonnegativeConeCpp(3)
    assert cone.unit_vector(Two()) == [0.0, 0.0, 1.0]
    assert cone.contains(np.array([-0.5, 0.0, 1.0]), 1) is True
    assert cone.contains(np.array([-0.5, 0.0, 1.0]), 0) is False


def test_arrays_whose_data_is_not_their_meaning_and_bool_indices(cones, tmp_path):
    """A masked array's data under a masked entry is arbitrary, so masked arrays are
    refused wherever an array is taken (the binding layer's TypeError, nothing written);
    array subclasses whose data is their meaning are taken as plain arrays (a matrix
    subclass is two-dimensional, refused as such). A bool is not an entry index."""
    cone = cones.NonnegativeConeCpp(3)
    x = np.array([1.0, -2.0, 3.0])
    masked = np.ma.masked_array(x, mask=[0, 1, 0])
    out = np.full(3, 7.0)
    for call in (lambda: cone.violation(masked), lambda: cone.contains(np.ma.masked_array(x)),
                 lambda: cone.project_into(masked, out), lambda: cone.project_into(x, np.ma.masked_array(out)),
                 lambda: cone.unit_vector_into(0, np.ma.masked_array(out)),
                 lambda: cone.hmatrix_coo_values_into(np.ones(3), np.ones(3), np.ma.masked_array(np.arange(3)),
                                                      np.arange(3), out),
                 lambda: cones.psd_smat_into(np.ma.masked_array(np.ones(3)), np.zeros(4), 2)):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()
    assert np.all(out == 7.0)

    class Tagged(np.ndarray):
        pass

    mapped = np.memmap(tmp_path / "x.bin", dtype=np.float64, mode="w+", shape=(3,))
    mapped[:] = x
    for plain in (x.view(Tagged), mapped):
        assert cone.violation(plain) == 2.0
        cone.project_into(plain, out)
        assert out.tolist() == [1.0, 0.0, 3.0]
    for index in (True, False, np.True_):
        for form in ("unit_vector", "unit_vector_array"):
            with pytest.raises(TypeError, match="incompatible function arguments"):
                getattr(cone, form)(index)
        with pytest.raises(TypeError, match="incompatible function arguments"):
            cone.unit_vector_into(index, out)
    assert out.tolist() == [1.0, 0.0, 3.0]
    assert cone.unit_vector(np.int64(1)) == [0.0, 1.0, 0.0]


def test_keyword_arguments(cones):
    cone = cones.NonnegativeConeCpp(2)
    out = host(2)
    cone.project_into(input=np.array([-1.0, 1.0]), output=out, stream=0)
    assert out.tolist() == [0.0, 1.0]
    assert cone.contains(input=np.array([-1e-9, 1.0]), atol=1e-8)
    h = host(4)
    cone.nt_scaling_matrix_batch_into(s=np.ones(2), z=np.ones(2), output=h, batch=1, stream=0)
    assert h.tolist() == [1.0, 0.0, 0.0, 1.0]


def test_same_device_checks_and_order(cones):
    cone = cones.NonnegativeConeCpp(2)
    # host input, CUDA output
    with pytest.raises(RuntimeError) as info:
        cone.project_into(host(2), TaggedArray(2, KDL_CUDA))
    assert str(info.value) == "input and output must live on the same device"
    # two CUDA ordinals
    with pytest.raises(RuntimeError) as info:
        cone.project_into(TaggedArray(2, KDL_CUDA, 0), TaggedArray(2, KDL_CUDA, 1))
    assert str(info.value) == "input and output must live on the same device"
    # s on host, z on CUDA: the inputs are compared before the output
    with pytest.raises(RuntimeError) as info:
        cone.nt_scaling_matrix_into(host(2, 1.0), TaggedArray(2, KDL_CUDA), TaggedArray(4, KDL_CUDA, 1))
    assert str(info.value) == "input vectors must live on the same device"
    # lengths are checked for every view before any device comparison
    with pytest.raises(RuntimeError) as info:
        cone.nt_scaling_matrix_into(host(2, 1.0), TaggedArray(2, KDL_CUDA), TaggedArray(5, KDL_CUDA))
    assert str(info.value) == "output expected 4 entries, got 5"
    out = host(4, 9.0)
    with pytest.raises(RuntimeError) as info:
        cone.nt_scaling_matrix_into(host(2, 1.0), host(2, 1.0), TaggedArray(4, KDL_CUDA))
    assert str(info.value) == "input and output must live on the same device"
    assert np.all(out == 9.0)


def test_dense_views_refuse_device_arrays(cones):
    cone = cones.NonnegativeConeCpp(2)
    for method in ("nt_scaling_matrix", "nt_scaling_matrix_array"):
        with pytest.raises(RuntimeError) as info:
            getattr(cone, method)(TaggedArray(2, KDL_CUDA), host(2, 1.0))
        assert str(info.value) == "s must be a CPU vector for dense NT scaling"
        with pytest.raises(RuntimeError) as info:
            getattr(cone, method)(host(2, 1.0), TaggedArray(2, KDL_CUDA))
        assert str(info.value) == "z must be a CPU vector for dense NT scaling"
        with pytest.raises(RuntimeError) as info:  # length before placement
            getattr(cone, method)(TaggedArray(3, KDL_CUDA), host(2, 1.0))
        assert str(info.value) == "s expected 2 entries, got 3"
    # the output view is checked before the index
    with pytest.raises(RuntimeError) as info:
        cone.unit_vector_into(5, TaggedArray(2, KDL_CUDA))
    assert str(info.value) == "output must be a CPU vector for dense helper output"


def test_expected_counts_that_overflow_are_refused(cones):
    cone = cones.NonnegativeConeCpp(3)
    out = host(9, 5.0)
    with pytest.raises(RuntimeError, match="overflow"):
        cone.nt_scaling_matrix_batch_into(host(3, 1.0), host(3, 1.0), out, 2**63)
    # s and z fit (3 * 2**61 entries, claimed by the shape only) but n * n * batch =
    # 9 * 2**61 wraps to 2**61: the output count must be refused, not compared wrapped.
    big = 3 * 2**61
    with pytest.raises(RuntimeError, match="overflow"):
        cone.nt_scaling_matrix_batch_into(TaggedArray(big, 1), TaggedArray(big, 1), TaggedArray(2**61, 1), 2**61)
    assert np.all(out == 5.0)


@pytest.mark.skipif("not __import__('_cpp_cuda').has_cuda() is False", reason="needs a build without a usable device")
def test_cuda_arrays_without_a_device(cones):
    cone = cones.NonnegativeConeCpp(2)
    cuda = TaggedArray(2, KDL_CUDA)
    calls = [
        lambda: cone.project_into(cuda, TaggedArray(2, KDL_CUDA)),
        lambda: cone.violation(cuda),
        lambda: cone.contains(cuda),
        lambda: cone.nt_scaling_matrix_into(cuda, TaggedArray(2, KDL_CUDA), TaggedArray(4, KDL_CUDA)),
        lambda: cone.nt_scaling_matrix_batch_into(cuda, TaggedArray(2, KDL_CUDA), TaggedArray(4, KDL_CUDA), 1),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "CUDA runtime is required for CUDA cone arrays"
    # length checks still come first
    with pytest.raises(RuntimeError) as info:
        cone.violation(TaggedArray(3, KDL_CUDA))
    assert str(info.value) == "input expected 2 entries, got 3"


@pytest.mark.parametrize("class_name, arg", [("ZeroConeCpp", 3), ("NonnegativeConeCpp", 3), ("SecondOrderConeCpp", 3),
                                             ("PsdConeCpp", 2), ("ExponentialConeCpp", 1)])
def test_unit_vectors_every_class(cones, class_name, arg):
    cone = getattr(cones, class_name)(arg)
    n = cone.rows
    for k in (0, n - 1):
        expected = np.eye(n)[k]
        assert cone.unit_vector(k) == expected.tolist()
        arr = cone.unit_vector_array(k)
        assert arr.shape == (n,) and arr.dtype == np.float64 and arr.flags.c_contiguous and arr.flags.writeable
        np.testing.assert_array_equal(arr, expected)
        out = np.full(n, 3.0)
        cone.unit_vector_into(k, out)
        np.testing.assert_array_equal(out, expected)
    out = np.full(n, 3.0)
    for call in (lambda: cone.unit_vector(n), lambda: cone.unit_vector_array(n), lambda: cone.unit_vector_into(n, out)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "unit vector index out of range"
    assert np.all(out == 3.0)


def test_unit_vector_of_empty_cone(cones):
    cone = cones.ZeroConeCpp(0)
    with pytest.raises(RuntimeError, match="unit vector index out of range"):
        cone.unit_vector(0)


def test_module_exports_only_its_entry_point(cones):
    """Every symbol of the module file but the entry point stays local: two builds of the
    module, or another library with relocatable device code, loaded into one process must
    not bind to each other's device-link registration stubs, template instances or runtime."""
    import shutil
    import subprocess

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", cones.__file__], capture_output=True, text=True, check=True)
    assert {line.split()[-1] for line in listing.stdout.splitlines() if line.strip()} == {"PyInit__cpp_cuda"}
