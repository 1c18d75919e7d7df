// <cooperative_groups.h> of the cpu backend (gpu/cpu/cooperative_groups.h).
#pragma once
#if defined(__NVCC__)
#include_next <cooperative_groups.h>
#else
#include "gpu/cpu/cooperative_groups.h"
#endif
