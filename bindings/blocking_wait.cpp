// The module's side of the back end's blocking waits: the interpreter lock is released
// for the wait and taken back after it. Every Python object of the call stays referenced
// by the call's arguments meanwhile, and no Python API is used until the lock is back.
#include <Python.h>

#include "cuda/device_api.hpp"

namespace velkora::torv::cones::device {

void* blocking_wait_begin() noexcept { return PyGILState_Check() ? PyEval_SaveThread() : nullptr; }

void blocking_wait_end(void* token) noexcept {
    if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

}  // namespace velkora::torv::cones::device
