// Hooks shared by the runtime half (runtime.cpp: devices, memory, streams, errors) and the
// execution half (launch.cpp: fibers, blocks, memory-access hooks) of libcuemu.
#pragma once

#include "cuemu_control.h"

#include <string>
#include <utility>
#include <vector>

namespace cuemu {
namespace internal {

// Calling thread's last error (only failures are recorded, like the real runtime).
void set_last_error(cudaError_t status);

// Consumes a pending injection for `name`; true (and *status set) if one fired.
bool take_injection(const char* name, cudaError_t* status);

// Configured status of the device layer (cudaSuccess when devices are "present").
cudaError_t device_layer_status();
int device_count();
int current_device();

// Current modes (a copy; cheap enough to read once per launch).
Modes current_modes();

// Opens every allocation of `device` for reading and writing while a kernel runs on it.
void begin_device_work(int device);
void end_device_work(int device);

// [begin, end) of every live device allocation, sorted (for the race checks of one launch).
std::vector<std::pair<uintptr_t, uintptr_t>> allocation_ranges();

void record_launch(LaunchRecord record);

// One queued kernel: everything needed to run it later, on whichever thread synchronises.
struct KernelTask {
    std::string name;
    dim3 grid;
    dim3 block;
    size_t shared_bytes = 0;
    void (*body)(void*) = nullptr;
    void* ctx = nullptr;
    void (*destroy)(void*) = nullptr;
    int device = 0;
    unsigned long long window_first = 0, window_count = 0;  // run_only_blocks window (count 0: all)
    bool race_checks = false;
    cudaError_t injected = cudaSuccess;  // an injected execution fault: the kernel does not run
    unsigned long long sequence = 0;     // launch number, for the seeded random orders

    KernelTask() = default;
    KernelTask(const KernelTask&) = delete;
    KernelTask& operator=(const KernelTask&) = delete;
    ~KernelTask() {
        if (destroy) destroy(ctx);
    }
};

// Runs a kernel to completion (kernels run one at a time in the process); cudaSuccess, or the
// execution fault with *reason set.
cudaError_t execute_kernel(KernelTask& task, std::string* reason);

// Takes (and clears) the calling thread's run_only_blocks window.
std::pair<unsigned long long, unsigned long long> take_block_window();

// Whether the calling thread's launches are exempt from race checks.
bool race_checks_exempt();

// Whether the calling thread is running a kernel with perturbed math.
bool perturbing_math();

// Remembers why a kernel failed (for last_launch_failure).
void note_launch_failure(const std::string& reason);

}  // namespace internal
}  // namespace cuemu
