// <cuda_runtime_api.h> of the cpu backend: the whole runtime subset (see cuda_runtime.h).
#pragma once
#if defined(__NVCC__)
#include_next <cuda_runtime_api.h>
#else
#include "gpu/cpu/backend.h"
#endif
