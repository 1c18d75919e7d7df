// <cuda_runtime.h> of the cpu backend: the CUDA runtime subset that runs kernels on CPU
// cores (gpu/cpu/backend.h). The cpu build puts this folder first for every target that
// links gpu, and includes this header into every translated .cu file, as nvcc does.
// Should nvcc itself meet this folder on its search path, the toolkit's header is used.
#pragma once
#if defined(__NVCC__)
#include_next <cuda_runtime.h>
#else
#include "gpu/cpu/backend.h"
#endif
