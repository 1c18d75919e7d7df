// <driver_types.h> of the cpu backend: part of the runtime subset, which comes whole (see
// cuda_runtime.h).
#pragma once
#if defined(__NVCC__)
#include_next <driver_types.h>
#else
#include "gpu/cpu/backend.h"
#endif
