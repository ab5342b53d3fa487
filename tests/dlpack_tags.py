"""Host memory presented through DLPack under another device tag (CUDA, CUDA-pinned...).

Used only for refusal tests: the module must reject or route such arrays on their tag
alone, before touching any element, so the memory behind them is never read.
"""
import ctypes

import numpy as np

KDL_CPU, KDL_CUDA, KDL_CUDA_HOST, KDL_CUDA_MANAGED = 1, 2, 3, 13


class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("device", _DLDevice),
        ("ndim", ctypes.c_int32),
        ("dtype", _DLDataType),
        ("shape", ctypes.POINTER(ctypes.c_int64)),
        ("strides", ctypes.POINTER(ctypes.c_int64)),
        ("byte_offset", ctypes.c_uint64),
    ]


class _DLManagedTensor(ctypes.Structure):
    _fields_ = [("dl_tensor", _DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class TaggedArray:
    """A 1-D float64/int64 array whose DLPack export carries the given device tag.

    At most 16 entries of real memory back it: the claimed length may be far larger, for
    tests whose call must be refused from the shape alone. With `address`, the array is
    instead the n entries at that address, memory that `owner` keeps alive (for example
    an int64 view of a float64 device buffer).
    """

    def __init__(self, n, device_type, device_id=0, dtype=np.float64, address=None, owner=None):
        self._host = np.zeros(min(max(n, 1), 16), dtype=dtype) if address is None else owner
        self._shape = (ctypes.c_int64 * 1)(n)
        self._managed = _DLManagedTensor()
        t = self._managed.dl_tensor
        t.data = self._host.ctypes.data if address is None else address
        self.address = t.data
        t.device = _DLDevice(device_type, device_id)
        t.ndim = 1
        code = 2 if np.dtype(dtype) == np.float64 else 0  # kDLFloat / kDLInt
        t.dtype = _DLDataType(code, 64, 1)
        t.shape = self._shape
        t.strides = None
        t.byte_offset = 0
        self.device = (device_type, device_id)

    def __dlpack__(self, *args, **kwargs):
        return _capsule_new(ctypes.addressof(self._managed), b"dltensor", None)

    def __dlpack_device__(self):
        return self.device
