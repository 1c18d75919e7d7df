// <device_launch_parameters.h> of the cpu backend: threadIdx, blockIdx, blockDim, gridDim
// and warpSize, which the runtime subset already gives (see cuda_runtime.h).
#pragma once
#if defined(__NVCC__)
#include_next <device_launch_parameters.h>
#else
#include "gpu/cpu/backend.h"
#endif
