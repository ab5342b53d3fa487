// Plain C++ interface of the device back end (no CUDA or binding headers): device
// availability and the blocking-wait brackets. Launcher declarations live in one header
// per family. Every pointer handed to a launcher is device memory on `device`; every
// launcher makes `device` current for its duration and restores the caller's current
// device before it returns.
#pragma once

#include <cstdint>

namespace velkora::torv::cones::device {

// A cudaStream_t carried as an integer handle; 0 is the legacy default stream.
using StreamHandle = std::uint64_t;

// True exactly when cudaGetDeviceCount succeeds and reports at least one device.
bool cuda_device_available();

// Brackets of every blocking wait of the back end (a stream synchronisation, a copy into
// host memory, a device-wide free), defined by the layer that calls the back end: the
// module releases the interpreter lock in between, so that Python threads and host
// callbacks queued on any stream run while the device works. The back end depends on no
// interpreter. begin's result is handed to end.
void* blocking_wait_begin() noexcept;
void blocking_wait_end(void* token) noexcept;

// Toolkit generation the module was built against.
const char* cuda_runtime_version_text();

}  // namespace velkora::torv::cones::device
