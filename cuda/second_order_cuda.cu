// Second-order cone on the device.
#include "cuda/device_common.cuh"
