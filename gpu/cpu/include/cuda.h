// <cuda.h> of the cpu backend: the toolkit's version and, as nvcc gives every .cu file, the
// runtime subset (see cuda_runtime.h). The driver API (cu* calls) is not provided.
#pragma once
#if defined(__NVCC__)
#include_next <cuda.h>
#else
#define CUDA_VERSION 13000
#include "gpu/cpu/backend.h"
#endif
