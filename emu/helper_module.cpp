// Test helper module _cuemu: emulated device arrays, runtime controls and self-test kernels for pytest.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuemu_control.h"
#include "selftest_kernels.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using HostVector = nb::ndarray<nb::ro, nb::device::cpu, nb::c_contig, nb::shape<-1>>;
using AnyCuda = nb::ndarray<nb::ro, nb::device::cuda, nb::c_contig>;
using AnyArray = nb::ndarray<nb::ro>;
using DevF64 = nb::ndarray<double, nb::device::cuda, nb::c_contig, nb::shape<-1>>;
using DevF64In = nb::ndarray<const double, nb::device::cuda, nb::c_contig, nb::shape<-1>>;
using DevI64 = nb::ndarray<int64_t, nb::device::cuda, nb::c_contig, nb::shape<-1>>;

constexpr size_t kMaxOffset = 1 << 20;

nb::dlpack::dtype parse_dtype(const std::string& name) {
    if (name == "float64") return nb::dtype<double>();
    if (name == "int64") return nb::dtype<int64_t>();
    throw nb::value_error("dtype must be 'float64' or 'int64'");
}

void check_host_dtype(const HostVector& a) {
    if (a.dtype() != nb::dtype<double>() && a.dtype() != nb::dtype<int64_t>())
        throw nb::type_error("host array must be float64 or int64");
}

void check_device(int device) {
    if (device < 0 || device >= cuemu::configured_device_count())
        throw nb::value_error(("device " + std::to_string(device) + " is not an emulated device (count " +
                               std::to_string(cuemu::configured_device_count()) + ")")
                                  .c_str());
}

void check_offset(size_t offset) {
    if (offset > kMaxOffset) throw nb::value_error("offset too large");
}

// Wraps memory as a 1-D DLPack array with the given device tag; the capsule runs `release`.
nb::object wrap(void* base, size_t offset, size_t n, nb::dlpack::dtype dt, int device_type, int device_id,
                bool readonly, void (*release)(void*) noexcept) {
    nb::capsule owner(base, release);
    const size_t shape[1] = {n};
    char* data = static_cast<char*>(base) + offset;
    if (readonly)
        return nb::ndarray<nb::array_api, nb::ro>(data, 1, shape, owner, nullptr, dt, device_type, device_id).cast();
    return nb::ndarray<nb::array_api>(data, 1, shape, owner, nullptr, dt, device_type, device_id).cast();
}

void free_device(void* p) noexcept { cuemu::raw_free(p); }
void free_host(void* p) noexcept { delete[] static_cast<char*>(p); }

// Allocates offset + bytes of emulated device memory, copies `src` (if any) after the offset.
nb::object make_device_array(const void* src, size_t n, nb::dlpack::dtype dt, int device, size_t offset,
                             bool readonly) {
    check_device(device);
    check_offset(offset);
    const size_t bytes = n * (dt.bits / 8);
    char* base = static_cast<char*>(cuemu::raw_allocate(offset + bytes, device));
    if (!base) throw std::bad_alloc();
    if (bytes && cuemu::raw_memcpy(base + offset, src, bytes, cudaMemcpyHostToDevice) != cudaSuccess) {
        cuemu::raw_free(base);
        throw std::runtime_error("cuemu: host-to-device copy failed");
    }
    return wrap(base, offset, n, dt, nb::device::cuda::value, device, readonly, free_device);
}

nb::object array(const HostVector& host, int device, size_t offset, bool readonly) {
    check_host_dtype(host);
    return make_device_array(host.data(), host.shape(0), host.dtype(), device, offset, readonly);
}

nb::object empty(size_t n, const std::string& dtype, int device, size_t offset, double fill) {
    const nb::dlpack::dtype dt = parse_dtype(dtype);
    std::vector<int64_t> words(n);
    if (dt == nb::dtype<double>()) {
        for (auto& w : words) std::memcpy(&w, &fill, sizeof w);
    } else {
        // A NaN fill (the default) means "all bits set" for integers.
        if (!std::isnan(fill) && !(fill >= -9223372036854775808.0 && fill < 9223372036854775808.0))
            throw nb::value_error("fill does not fit in int64");
        const int64_t v = std::isnan(fill) ? -1 : static_cast<int64_t>(fill);
        for (auto& w : words) w = v;
    }
    return make_device_array(words.data(), n, dt, device, offset, false);
}

// A device array that is allocated but never filled: its pages stay uncommitted until a
// kernel touches them, so arrays of 2^32+ doubles cost only what tests write and read.
nb::object lazy_empty(size_t n, int device, size_t offset) {
    check_device(device);
    check_offset(offset);
    char* base = static_cast<char*>(cuemu::raw_allocate(offset + n * sizeof(double), device));
    if (!base) throw std::bad_alloc();
    return wrap(base, offset, n, nb::dtype<double>(), nb::device::cuda::value, device, false, free_device);
}

void check_range(const AnyCuda& a, size_t start, size_t count) {
    if (a.ndim() != 1 || a.dtype() != nb::dtype<double>()) throw nb::type_error("expected a 1-D float64 array");
    if (start > a.shape(0) || count > a.shape(0) - start) throw nb::value_error("range outside the array");
}

// Entries [start, start + count) of a float64 device array.
nb::object read_range(const AnyCuda& a, size_t start, size_t count) {
    check_range(a, start, count);
    std::unique_ptr<char[]> buf(new char[count ? count * sizeof(double) : 1]);
    const char* src = static_cast<const char*>(a.data()) + start * sizeof(double);
    if (count && cuemu::raw_memcpy(buf.get(), src, count * sizeof(double), cudaMemcpyDeviceToHost) != cudaSuccess)
        throw nb::value_error("range is not inside a live emulated device allocation");
    const size_t shape[1] = {count};
    nb::capsule owner(buf.get(), free_host);
    char* data = buf.release();
    return nb::ndarray<nb::numpy>(data, 1, shape, owner, nullptr, nb::dtype<double>(), nb::device::cpu::value, 0)
        .cast();
}

// Copies host float64 values into a device array from entry `start` on.
void write_range(const AnyCuda& a, size_t start, const HostVector& values) {
    if (values.dtype() != nb::dtype<double>()) throw nb::type_error("values must be float64");
    check_range(a, start, values.shape(0));
    char* dst = const_cast<char*>(static_cast<const char*>(a.data())) + start * sizeof(double);
    if (values.shape(0) &&
        cuemu::raw_memcpy(dst, values.data(), values.nbytes(), cudaMemcpyHostToDevice) != cudaSuccess)
        throw nb::value_error("range is not inside a live emulated device allocation");
}

// Entries [start, start + count) of a 1-D device array as a new device array over the same
// memory (it keeps the original alive): an argument can then be surrounded by guard bands
// that belong to the same allocation.
nb::object view(nb::object arr, size_t start, size_t count, bool readonly) {
    const AnyCuda a = nb::cast<AnyCuda>(arr);
    if (a.ndim() != 1) throw nb::type_error("expected a 1-D device array");
    if (start > a.shape(0) || count > a.shape(0) - start) throw nb::value_error("range outside the array");
    char* data = const_cast<char*>(static_cast<const char*>(a.data())) + start * (a.dtype().bits / 8);
    const size_t shape[1] = {count};
    if (readonly)
        return nb::ndarray<nb::array_api, nb::ro>(data, 1, shape, arr, nullptr, a.dtype(), a.device_type(),
                                                  a.device_id())
            .cast();
    return nb::ndarray<nb::array_api>(data, 1, shape, arr, nullptr, a.dtype(), a.device_type(), a.device_id()).cast();
}

nb::object to_numpy(const AnyCuda& a) {
    const size_t bytes = a.nbytes();
    std::unique_ptr<char[]> buf(new char[bytes ? bytes : 1]);
    if (cuemu::raw_memcpy(buf.get(), a.data(), bytes, cudaMemcpyDeviceToHost) != cudaSuccess)
        throw nb::value_error("array data is not inside a live emulated device allocation");
    std::vector<size_t> shape(a.ndim());
    for (size_t i = 0; i < a.ndim(); ++i) shape[i] = a.shape(i);
    nb::capsule owner(buf.get(), free_host);
    char* data = buf.release();
    return nb::ndarray<nb::numpy>(data, a.ndim(), shape.data(), owner, nullptr, a.dtype(), nb::device::cpu::value, 0)
        .cast();
}

nb::object pinned(const HostVector& host) {
    check_host_dtype(host);
    const size_t bytes = host.nbytes();
    std::unique_ptr<char[]> buf(new char[bytes ? bytes : 1]);
    std::memcpy(buf.get(), host.data(), bytes);
    nb::object out = wrap(buf.get(), 0, host.shape(0), host.dtype(), nb::device::cuda_host::value, 0, false, free_host);
    buf.release();  // now owned by the capsule
    return out;
}

template <class T>
T* ptr(uintptr_t p) {
    return reinterpret_cast<T*>(p);
}

cudaStream_t stream_of(uintptr_t s) { return reinterpret_cast<cudaStream_t>(s); }

dim3 to_dim3(const nb::tuple& t) {
    if (t.size() < 1 || t.size() > 3) throw nb::value_error("expected a tuple of 1 to 3 dimensions");
    unsigned v[3] = {1, 1, 1};
    for (size_t i = 0; i < t.size(); ++i) v[i] = nb::cast<unsigned>(t[i]);
    return dim3(v[0], v[1], v[2]);
}

nb::tuple from_dim3(dim3 d) { return nb::make_tuple(d.x, d.y, d.z); }

// The blocking-wait probe of the gil_probe mode: a wait entered with the interpreter lock held
// would deadlock as soon as a host callback queued on any stream needs the lock.
bool gil_probe(const char* call, std::string* reason) {
    if (!Py_IsInitialized() || !PyGILState_Check()) return true;
    *reason = std::string(call) +
              " waited while holding the Python interpreter lock: a host callback queued on any stream that "
              "needs the lock (launch_host_func) could never run, and every Python thread stalls";
    return false;
}

nb::dict modes_dict(const cuemu::Modes& m) {
    nb::dict d;
    d["deferred"] = m.deferred;
    d["random_order"] = m.random_order;
    d["races"] = m.races;
    d["perturb_math"] = m.perturb_math;
    d["gil_probe"] = m.gil_probe;
    d["memory_pools"] = m.memory_pools;
    d["seed"] = m.seed;
    d["op_limit"] = m.op_limit;
    return d;
}

// Sets the named modes (keyword arguments); returns the modes as they were.
nb::dict set_modes(nb::kwargs kw) {
    cuemu::Modes m = cuemu::modes();
    const nb::dict before = modes_dict(m);
    for (auto [key, value] : kw) {
        const std::string k = nb::cast<std::string>(key);
        if (k == "deferred") m.deferred = nb::cast<bool>(value);
        else if (k == "random_order") m.random_order = nb::cast<bool>(value);
        else if (k == "races") m.races = nb::cast<bool>(value);
        else if (k == "perturb_math") m.perturb_math = nb::cast<bool>(value);
        else if (k == "gil_probe") m.gil_probe = nb::cast<bool>(value);
        else if (k == "memory_pools") m.memory_pools = nb::cast<bool>(value);
        else if (k == "seed") m.seed = nb::cast<unsigned long long>(value);
        else if (k == "op_limit") m.op_limit = nb::cast<unsigned long long>(value);
        else throw nb::value_error(("unknown mode " + k).c_str());
    }
    cuemu::set_modes(m);
    return before;
}

void check_threads(unsigned threads, unsigned max_threads) {
    if (threads == 0 || threads > max_threads || (threads & (threads - 1)) != 0)
        throw nb::value_error("threads must be a power of two within the kernel's shared buffer");
}

}  // namespace

NB_MODULE(_cuemu, m) {
    m.doc() = "Test helper for the emulated CUDA runtime: device arrays, controls and self-test kernels.";
    cuemu::set_wait_probe(&gil_probe);
    using release_gil = nb::call_guard<nb::gil_scoped_release>;

    // --- arrays ------------------------------------------------------------------------------
    m.def("array", &array, "host"_a, "device"_a = 0, "offset"_a = 0, "readonly"_a = false,
          "Copy a 1-D float64/int64 host array into new emulated device memory on `device`, `offset` bytes "
          "after a 256-byte aligned start. Returns a CUDA-tagged DLPack array that frees the memory when it dies.");
    m.def("empty", &empty, "n"_a, "dtype"_a = "float64", "device"_a = 0, "offset"_a = 0, "fill"_a = NAN,
          "New device array of n elements, every element set to `fill` (NaN fill means -1 for int64).");
    m.def("lazy_empty", &lazy_empty, "n"_a, "device"_a = 0, "offset"_a = 0,
          "New float64 device array of n elements whose contents are never initialised (pages stay uncommitted).");
    m.def("read", &read_range, "arr"_a, "start"_a, "count"_a, "Copy entries [start, start+count) to NumPy.");
    m.def("write", &write_range, "arr"_a, "start"_a, "values"_a, "Copy float64 values into the array from start on.");
    m.def("run_only_blocks", &cuemu::run_only_blocks, "first"_a, "count"_a,
          "The next launch on this thread runs only the blocks with linear index in [first, first+count).");
    m.def("to_numpy", &to_numpy, "arr"_a, "Copy any CUDA-tagged DLPack array back into a NumPy array.");
    m.def("view", &view, "arr"_a, "start"_a, "count"_a, "readonly"_a = false,
          "Entries [start, start+count) of a 1-D device array, sharing its memory and keeping it alive.");
    m.def("pinned", &pinned, "host"_a, "Copy of a host array tagged as CUDA host-pinned memory (DLPack device 3).");
    m.def("pointer", [](const AnyArray& a) { return reinterpret_cast<uintptr_t>(a.data()); }, "arr"_a,
          "Address of the array's first element.");

    // --- devices -----------------------------------------------------------------------------
    m.def("set_device", [](int d) { return static_cast<int>(cudaSetDevice(d)); }, "device"_a,
          "cudaSetDevice(device) as another library would call it; returns the status.");
    m.def("get_device", [] {
        int d = -1;
        const cudaError_t st = cudaGetDevice(&d);
        if (st != cudaSuccess) throw std::runtime_error(cudaGetErrorString(st));
        return d;
    }, "The calling thread's current device (cudaGetDevice).");
    m.def("device_count", [] {
        int count = -1;  // stays -1 when the runtime leaves it unwritten
        const cudaError_t st = cudaGetDeviceCount(&count);
        nb::object value = count == -1 ? nb::object(nb::none()) : nb::object(nb::int_(count));
        return nb::make_tuple(static_cast<int>(st), value);
    }, "(status, count) from cudaGetDeviceCount; count is None when it was left unwritten.");
    m.def("configure", [](int count, int status) { cuemu::configure_devices(count, static_cast<cudaError_t>(status)); },
          "device_count"_a, "count_status"_a = 0, "Set the emulated device count and cudaGetDeviceCount's status.");
    m.def("set_device_calls", [] { return cuemu::set_device_calls(); },
          "cudaSetDevice calls made by the calling thread since reset().");

    // --- state and counters ------------------------------------------------------------------
    m.def("reset", &cuemu::reset,
          "Restore 2 devices, zero the counters, clear the launch log, injections and errors.");
    m.def("fail_next", [](const std::string& name, int status) {
        cuemu::fail_next(name, static_cast<cudaError_t>(status));
    }, "name"_a, "status"_a = 2, "Make the next call of `name` (runtime function or kernel) fail once with `status`.");
    m.def("pending_injections", &cuemu::pending_injections);
    m.def("clear_injections", &cuemu::clear_injections);
    m.def("launches", [] {
        nb::list out;
        for (const auto& r : cuemu::launch_log())
            out.append(nb::make_tuple(r.name, from_dim3(r.grid), from_dim3(r.block), r.shared_bytes,
                                      reinterpret_cast<uintptr_t>(r.stream)));
        return out;
    }, "Launch attempts as (name, grid, block, shared bytes, stream), oldest first.");
    m.def("launch_statuses", [] {
        nb::list out;
        for (const auto& r : cuemu::launch_log()) out.append(static_cast<int>(r.status));
        return out;
    }, "Status of each logged launch attempt, in log order.");
    m.def("clear_launches", &cuemu::clear_launch_log);
    m.def("last_failure", &cuemu::last_launch_failure, "Why the last failed launch failed.");
    m.def("live_allocations", &cuemu::live_allocations);
    m.def("live_bytes", &cuemu::live_bytes);
    m.def("faults", &cuemu::fault_count, "Invalid frees and out-of-allocation copies/sets so far.");
    m.def("pointer_device", [](uintptr_t p) { return cuemu::pointer_device(ptr<void>(p)); }, "ptr"_a);

    // --- runtime calls, as the code under test makes them --------------------------------------
    // --- modes, streams, capture --------------------------------------------------------------
    m.def("modes", [] { return modes_dict(cuemu::modes()); }, "The emulation modes (see cuemu::Modes).");
    m.def("set_modes", &set_modes, "Set emulation modes by keyword; returns the previous modes.");
    m.def("drain", &cuemu::drain, release_gil(), "Run every queued operation of every device.");
    m.def("queued_operations", &cuemu::queued_operations);
    m.def("exempt_from_race_checks", &cuemu::exempt_from_race_checks, "exempt"_a,
          "Exempt (or not) the calling thread's launches from the race checks.");
    m.def("device_fault", [](int device) {
        return nb::make_tuple(static_cast<int>(cuemu::device_fault(device)), cuemu::device_fault_reason(device));
    }, "device"_a, "(status, reason) of the device's execution fault; status 0 if none.");
    m.def("stream_create", [](bool non_blocking) {
        cudaStream_t s = nullptr;
        const cudaError_t st = cudaStreamCreateWithFlags(&s, non_blocking ? cudaStreamNonBlocking : cudaStreamDefault);
        if (st != cudaSuccess) throw std::runtime_error(cudaGetErrorString(st));
        return reinterpret_cast<uintptr_t>(s);
    }, "non_blocking"_a = false, "A new stream of the current device (its handle).");
    m.def("stream_destroy", [](uintptr_t s) { return static_cast<int>(cudaStreamDestroy(stream_of(s))); },
          release_gil(), "stream"_a);
    m.def("stream_query", [](uintptr_t s) { return static_cast<int>(cudaStreamQuery(stream_of(s))); }, release_gil(),
          "stream"_a);
    m.def("event_create", [] {
        cudaEvent_t e = nullptr;
        const cudaError_t st = cudaEventCreate(&e);
        if (st != cudaSuccess) throw std::runtime_error(cudaGetErrorString(st));
        return reinterpret_cast<uintptr_t>(e);
    });
    m.def("event_record", [](uintptr_t e, uintptr_t s) {
        return static_cast<int>(cudaEventRecord(reinterpret_cast<cudaEvent_t>(e), stream_of(s)));
    }, "event"_a, "stream"_a = 0);
    m.def("event_synchronize", [](uintptr_t e) {
        return static_cast<int>(cudaEventSynchronize(reinterpret_cast<cudaEvent_t>(e)));
    }, release_gil(), "event"_a);
    m.def("stream_wait_event", [](uintptr_t s, uintptr_t e) {
        return static_cast<int>(cudaStreamWaitEvent(stream_of(s), reinterpret_cast<cudaEvent_t>(e), 0));
    }, "stream"_a, "event"_a);
    m.def("event_destroy", [](uintptr_t e) { return static_cast<int>(cudaEventDestroy(reinterpret_cast<cudaEvent_t>(e))); },
          "event"_a);
    m.def("begin_capture", [](uintptr_t s) { return static_cast<int>(cuemu::begin_capture(stream_of(s))); },
          "stream"_a, "Start a global-mode capture of the stream; returns the status.");
    m.def("end_capture", [](uintptr_t s) { return static_cast<int>(cuemu::end_capture(stream_of(s))); },
          release_gil(), "stream"_a, "End the capture and queue the recorded work; returns the status.");
    m.def("memory_pools_supported", [](int device) {
        int v = -1;
        const cudaError_t st = cudaDeviceGetAttribute(&v, cudaDevAttrMemoryPoolsSupported, device);
        return nb::make_tuple(static_cast<int>(st), v);
    }, "device"_a = 0, "(status, value) of cudaDevAttrMemoryPoolsSupported.");

    m.def("malloc", [](size_t bytes, bool use_async, uintptr_t stream) {
        void* p = nullptr;
        const cudaError_t st = use_async ? cudaMallocAsync(&p, bytes, stream_of(stream)) : cudaMalloc(&p, bytes);
        return nb::make_tuple(static_cast<int>(st), reinterpret_cast<uintptr_t>(p));
    }, "nbytes"_a, "use_async"_a = false, "stream"_a = 0, "(status, pointer) from cudaMalloc / cudaMallocAsync.");
    m.def("free", [](uintptr_t p, bool use_async, uintptr_t stream) {
        return static_cast<int>(use_async ? cudaFreeAsync(ptr<void>(p), stream_of(stream)) : cudaFree(ptr<void>(p)));
    }, release_gil(), "ptr"_a, "use_async"_a = false, "stream"_a = 0);
    // Asynchronous copies and sets run their stream (the legacy one) before returning, so that
    // the caller may look at the memory at once.
    m.def("memcpy", [](uintptr_t dst, uintptr_t src, size_t bytes, int kind, bool use_async) {
        const auto k = static_cast<cudaMemcpyKind>(kind);
        if (!use_async) return static_cast<int>(cudaMemcpy(ptr<void>(dst), ptr<const void>(src), bytes, k));
        const cudaError_t st = cudaMemcpyAsync(ptr<void>(dst), ptr<const void>(src), bytes, k, nullptr);
        return static_cast<int>(st != cudaSuccess ? st : cudaStreamSynchronize(nullptr));
    }, release_gil(), "dst"_a, "src"_a, "nbytes"_a, "kind"_a, "use_async"_a = false);
    m.def("memset", [](uintptr_t p, int value, size_t bytes, bool use_async) {
        if (!use_async) return static_cast<int>(cudaMemset(ptr<void>(p), value, bytes));
        const cudaError_t st = cudaMemsetAsync(ptr<void>(p), value, bytes, nullptr);
        return static_cast<int>(st != cudaSuccess ? st : cudaStreamSynchronize(nullptr));
    }, release_gil(), "ptr"_a, "value"_a, "nbytes"_a, "use_async"_a = false);
    m.def("synchronize", [] { return static_cast<int>(cudaDeviceSynchronize()); }, release_gil());
    m.def("synchronize_holding_gil", [](uintptr_t s) { return static_cast<int>(cudaStreamSynchronize(stream_of(s))); },
          "stream"_a = 0, "cudaStreamSynchronize without releasing the interpreter lock (as a careless library).");
    m.def("instrumented", &cuemu_selftest::instrumented,
          "Whether emulated device code reaches the memory-access hooks (not in the sanitizer build).");
    m.def("stream_synchronize", [](uintptr_t s) { return static_cast<int>(cudaStreamSynchronize(stream_of(s))); },
          release_gil(), "stream"_a = 0);
    m.def("get_last_error", [] { return static_cast<int>(cudaGetLastError()); });
    m.def("peek_last_error", [] { return static_cast<int>(cudaPeekAtLastError()); });
    m.def("error_string", [](int e) { return std::string(cudaGetErrorString(static_cast<cudaError_t>(e))); });
    m.def("error_name", [](int e) { return std::string(cudaGetErrorName(static_cast<cudaError_t>(e))); });

    // --- self-test kernels (each returns cudaGetLastError() after its launch) ------------------
    m.def("kernel_tree_sum", [](const DevF64In& x, DevF64& out, unsigned threads) {
        check_threads(threads, 256);
        const int64_t n = static_cast<int64_t>(x.shape(0));
        if (out.shape(0) * threads < x.shape(0)) throw nb::value_error("out needs one element per block");
        return static_cast<int>(cuemu_selftest::tree_sum(x.data(), n, out.data(), threads));
    }, "x"_a, "out"_a, "threads"_a = 256);
    m.def("kernel_rotate", [](const DevF64In& x, DevF64& out, unsigned threads, int rounds) {
        if (threads == 0 || threads > 1024 || x.shape(0) % threads != 0 || out.shape(0) != x.shape(0))
            throw nb::value_error("x and out must have equal sizes that are a multiple of threads (<= 1024)");
        return static_cast<int>(
            cuemu_selftest::rotate(x.data(), out.data(), static_cast<int64_t>(x.shape(0)), threads, rounds));
    }, "x"_a, "out"_a, "threads"_a, "rounds"_a);
    m.def("kernel_phases", [](DevI64& order, unsigned blocks, unsigned threads, int rounds) {
        if (order.shape(0) != static_cast<size_t>(blocks) * threads * static_cast<size_t>(rounds))
            throw nb::value_error("order needs blocks * threads * rounds elements");
        return static_cast<int>(cuemu_selftest::phases(order.data(), blocks, threads, rounds));
    }, "order"_a, "blocks"_a, "threads"_a, "rounds"_a);
    m.def("kernel_divergent", [](int mode, DevF64& marks, unsigned blocks, unsigned threads, bool read_error) {
        if (mode < 0 || mode >= cuemu_selftest::kDivergentModes) throw nb::value_error("unknown mode");
        if (marks.shape(0) < blocks) throw nb::value_error("marks needs one element per block");
        return static_cast<int>(cuemu_selftest::divergent(mode, marks.data(), blocks, threads, read_error));
    }, "mode"_a, "marks"_a, "blocks"_a, "threads"_a, "read_error"_a = true,
       "Barrier scenario `mode` (0 valid; 1-5 misuse); returns cudaGetLastError() unless read_error is false.");
    m.def("kernel_big_stack", [](const DevF64In& x, DevF64& out, unsigned threads) {
        if (threads == 0 || x.shape(0) % threads != 0 || out.shape(0) != x.shape(0))
            throw nb::value_error("x and out must have equal sizes that are a multiple of threads");
        return static_cast<int>(
            cuemu_selftest::big_stack(x.data(), static_cast<int64_t>(x.shape(0)), out.data(), threads));
    }, "x"_a, "out"_a, "threads"_a);
    m.def("kernel_dyn_reverse", [](const DevF64In& x, DevF64& out, DevF64& first, unsigned threads,
                                   nb::object shared_bytes) {
        const size_t n = x.shape(0);
        if (threads == 0 || n % threads != 0 || out.shape(0) != n || first.shape(0) != n)
            throw nb::value_error("x, out and first must have equal sizes that are a multiple of threads");
        const size_t shared = shared_bytes.is_none() ? threads * sizeof(double) : nb::cast<size_t>(shared_bytes);
        // Sizes above the launch limit pass through so the refusal itself can be tested.
        if (shared < threads * sizeof(double))
            throw nb::value_error("shared_bytes must hold one double per thread");
        return static_cast<int>(cuemu_selftest::dyn_reverse(x.data(), out.data(), first.data(),
                                                            static_cast<int64_t>(n), threads, shared));
    }, "x"_a, "out"_a, "first"_a, "threads"_a, "shared_bytes"_a = nb::none());
    m.def("kernel_coords", [](DevI64& out, const nb::tuple& grid, const nb::tuple& block) {
        const dim3 g = to_dim3(grid), b = to_dim3(block);
        const unsigned long long threads = 1ull * g.x * g.y * g.z * b.x * b.y * b.z;
        if (out.shape(0) != threads * 12) throw nb::value_error("out needs 12 elements per thread");
        return static_cast<int>(cuemu_selftest::coords(out.data(), g, b));
    }, "out"_a, "grid"_a, "block"_a);
    m.def("kernel_count", [](const nb::tuple& grid, const nb::tuple& block, size_t shared, uintptr_t stream,
                             const std::string& name) {
        // The counter lives on the launching device so the kernel may touch it.
        double* counter = static_cast<double*>(cuemu::raw_allocate(sizeof(double), cuemu::current_device()));
        if (!counter) throw std::bad_alloc();
        const double zero = 0.0;
        double total = -1.0;
        cuemu::raw_memcpy(counter, &zero, sizeof zero, cudaMemcpyHostToDevice);
        const cudaError_t st =
            cuemu_selftest::count(counter, to_dim3(grid), to_dim3(block), shared, stream_of(stream), name.c_str());
        cuemu::raw_memcpy(&total, counter, sizeof total, cudaMemcpyDeviceToHost);
        cuemu::raw_free(counter);
        return nb::make_tuple(static_cast<int>(st), static_cast<long long>(total));
    }, "grid"_a, "block"_a, "shared"_a = 0, "stream"_a = 0, "name"_a = "cuemu_count",
       "Launch a kernel in which every thread adds one to a counter; returns (status, threads that ran).");
    m.def("kernel_warp", [](int mode, const DevF64In& x, DevF64& out, unsigned threads, int width) {
        if (mode < 0 || mode >= cuemu_selftest::kWarpModes) throw nb::value_error("unknown mode");
        if (threads == 0 || threads > 1024 || x.shape(0) % threads != 0 || out.shape(0) != 2 * x.shape(0))
            throw nb::value_error("x needs a multiple of threads (<= 1024) entries, out twice as many");
        return static_cast<int>(cuemu_selftest::warp(mode, x.data(), out.data(), static_cast<int64_t>(x.shape(0)),
                                                     threads, width));
    }, "mode"_a, "x"_a, "out"_a, "threads"_a, "width"_a = 32,
       "Warp intrinsics scenario `mode` (0 valid: team sums and broadcasts; 1-4 misuse).");
    m.def("kernel_poke", [](DevF64& a, int64_t index, double value) {
        return static_cast<int>(cuemu_selftest::poke(a.data(), index, value));
    }, "arr"_a, "index"_a, "value"_a, "One thread stores arr[index] = value, without bounds checks.");

    // --- deliberately wrong kernels (each returns cudaGetLastError() after its launch) ---------
    m.def("kernel_missing_barrier", [](const DevF64In& x, DevF64& out, unsigned threads) {
        if (threads == 0 || threads > 1024 || out.shape(0) != x.shape(0) * threads)
            throw nb::value_error("out needs threads elements per element of x");
        return static_cast<int>(cuemu_selftest::missing_barrier(x.data(), out.data(),
                                                                static_cast<unsigned>(x.shape(0)), threads));
    }, "x"_a, "out"_a, "threads"_a);
    m.def("kernel_block_tickets", [](DevF64& counter, DevF64& tickets) {
        if (counter.shape(0) != 1 || tickets.shape(0) == 0) throw nb::value_error("one counter, one ticket per block");
        return static_cast<int>(
            cuemu_selftest::block_tickets(counter.data(), tickets.data(), static_cast<unsigned>(tickets.shape(0))));
    }, "counter"_a, "tickets"_a);
    m.def("kernel_sharing", [](int mode, DevF64& a) {
        if (a.shape(0) == 0) throw nb::value_error("one element per block");
        return static_cast<int>(cuemu_selftest::sharing(mode, a.data(), static_cast<unsigned>(a.shape(0))));
    }, "mode"_a, "arr"_a);
    m.def("kernel_shared_first", [](DevF64& out, unsigned blocks, unsigned threads) {
        if (threads == 0 || threads > 64 || out.shape(0) != static_cast<size_t>(blocks) * threads)
            throw nb::value_error("out needs blocks * threads elements (threads <= 64)");
        return static_cast<int>(cuemu_selftest::shared_first(out.data(), blocks, threads));
    }, "out"_a, "blocks"_a, "threads"_a);
    m.def("kernel_spin", [](const DevF64In& flag, DevF64& out) {
        if (flag.shape(0) != 1 || out.shape(0) != 1) throw nb::value_error("one flag, one output");
        return static_cast<int>(cuemu_selftest::spin(flag.data(), out.data()));
    }, "flag"_a, "out"_a);
    m.def("kernel_math", [](int f, const DevF64In& x, const DevF64In& y, DevF64& out) {
        if (f < 0 || f >= cuemu_selftest::kMathFunctions) throw nb::value_error("unknown function");
        if (y.shape(0) != x.shape(0) || out.shape(0) != x.shape(0)) throw nb::value_error("x, y, out: equal sizes");
        return static_cast<int>(
            cuemu_selftest::math(f, x.data(), y.data(), out.data(), static_cast<int64_t>(x.shape(0))));
    }, "function"_a, "x"_a, "y"_a, "out"_a);
}
