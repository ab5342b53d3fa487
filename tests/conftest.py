"""Shared fixtures: the module under test, and a device-array fixture that runs the
device tests on the CUDA host emulation (or, later, on a real GPU through CuPy)."""
import gc
import pathlib
import sys

import numpy as np
import pytest

import _cpp_cuda

# The benchmark fixtures the solver tests share (seeded CVXPY models, generated conic programs,
# CVXOPT and Clarabel references) live in bench/, outside the installed package.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))

try:
    import _cuemu
except ImportError:  # production build: no emulator beside the module
    _cuemu = None


@pytest.fixture(scope="session")
def cones():
    return _cpp_cuda


class EmulatedDevice:
    """Device arrays in emulated device memory, tagged as DLPack CUDA arrays."""

    emulated = True

    @property
    def exact_math(self):
        """Whether the device's exp, pow, atan2, sin, cos and hypot give the host's results
        bit for bit: so in the plain emulation; on a GPU (and with the emulator's perturbed
        math) they may be 1-2 ulp off."""
        return not _cuemu.modes()["perturb_math"]

    def array(self, host, device=0, offset=0, dtype=None):
        host = np.ascontiguousarray(host, dtype=dtype if dtype is not None else np.asarray(host).dtype)
        if host.dtype not in (np.float64, np.int64):
            host = host.astype(np.float64)
        return _cuemu.array(host.reshape(-1), device=device, offset=offset)

    def empty(self, n, device=0, offset=0, dtype="float64", fill=np.nan):
        return _cuemu.empty(n, dtype=dtype, device=device, offset=offset, fill=fill)

    def to_numpy(self, arr):
        return np.asarray(_cuemu.to_numpy(arr))

    def launches(self):
        return [entry[0] for entry in _cuemu.launches()]

    def launch_records(self):
        """(kernel, grid, block, dynamic shared bytes, status) of every launch."""
        return _cuemu.launches()

    def clear_launches(self):
        _cuemu.clear_launches()


def emulation_available():
    return _cuemu is not None and _cpp_cuda.has_cuda()


@pytest.fixture
def dev():
    """Device-array helper; every test using it also proves it leaked no device memory."""
    if _cuemu is None:
        pytest.skip("device tests need the CUDA host emulation build (or a GPU)")
    if _cuemu.get_device() != 0:
        _cuemu.set_device(0)  # every device test starts with device 0 current on its thread
    _cuemu.reset()
    before = _cuemu.live_allocations()
    faults = _cuemu.faults()
    helper = EmulatedDevice()
    yield helper
    gc.collect()
    _cuemu.drain()  # what the device does by itself eventually (stream-ordered frees too)
    assert _cuemu.live_allocations() == before, "device memory leaked"
    assert _cuemu.faults() == faults, "invalid device free or copy"


@pytest.fixture
def emu(dev):
    """The emulator's controls (launch log, failure injection, device counts, modes); the
    modes a test changes are restored afterwards."""
    modes = _cuemu.modes()
    yield _cuemu
    _cuemu.set_modes(**modes)
    _cuemu.reset()


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


def _ordered_sum(terms):
    """Sum of `terms` in the order the host sums promise whatever the vector width or the
    number of threads: blocks of 8192 entries (wider, a multiple of 32, when there would be
    more than 4096 blocks) added in block order from 0.0; inside a block, 32 partial sums
    (entry i adds to partial i mod 32, in index order) combined k + k+16, then k + k+8, ...,
    down to one. Terms must be >= +0.0 (the zero padding then changes nothing)."""
    terms = np.asarray(terms, dtype=np.float64)
    spread = -(-terms.size // 4096)
    block = 8192 if spread <= 8192 else -(-spread // 32) * 32
    total = 0.0
    for begin in range(0, terms.size, block):
        chunk = terms[begin:begin + block]
        rows = np.zeros(-(-chunk.size // 32) * 32)
        rows[:chunk.size] = chunk
        partial = np.zeros(32)
        for row in rows.reshape(-1, 32):  # one addition per partial per row, in index order
            partial += row
        half = 16
        while half:
            partial[:half] = partial[:half] + partial[half:2 * half]
            half //= 2
        total += float(partial[0])
    return total


@pytest.fixture
def ordered_sum():
    return _ordered_sum
