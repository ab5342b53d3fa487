// Plain C++ interface of the device back end (no CUDA or binding headers): device
// selection and availability. Launcher declarations live in one header per family.
// Every pointer handed to a launcher is device memory on `device`.
#pragma once

#include <cstdint>

namespace velkora::torv::cones::device {

// A cudaStream_t carried as an integer handle; 0 is the legacy default stream.
using StreamHandle = std::uint64_t;

// True exactly when cudaGetDeviceCount succeeds and reports at least one device.
bool cuda_device_available();

// Makes `device` current for the calling host thread (cudaSetDevice only when needed).
void ensure_device(int device);

// Toolkit generation the module was built against.
const char* cuda_runtime_version_text();

}  // namespace velkora::torv::cones::device
