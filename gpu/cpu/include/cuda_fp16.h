// <cuda_fp16.h> of the cpu backend: __half and __half2 (gpu/cpu/fp16.h).
#pragma once
#if defined(__NVCC__)
#include_next <cuda_fp16.h>
#else
#include "gpu/cpu/fp16.h"
#endif
