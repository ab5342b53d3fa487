// Hooks shared by the runtime half (runtime.cpp) and the execution half (launch.cpp) of libcuemu.
#pragma once

#include "cuemu_control.h"

#include <string>

namespace cuemu {
namespace internal {

// Calling thread's sticky last error (only failures are recorded, like the real runtime).
void set_last_error(cudaError_t status);

// Consumes a pending injection for `name`; true (and *status set) if one fired.
bool take_injection(const char* name, cudaError_t* status);

// Configured status of the device layer (cudaSuccess when devices are "present").
cudaError_t device_layer_status();
int device_count();
int current_device();

// Opens every allocation of `device` for reading and writing while a kernel runs on it.
void begin_device_work(int device);
void end_device_work(int device);

void record_launch(LaunchRecord record);

// Remembers why a launch failed and arms the error that the next synchronize reports.
void note_launch_failure(const std::string& reason);

}  // namespace internal
}  // namespace cuemu
