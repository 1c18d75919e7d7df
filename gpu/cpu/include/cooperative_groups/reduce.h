// <cooperative_groups/reduce.h> of the cpu backend: part of gpu/cpu/cooperative_groups.h.
#pragma once
#if defined(__NVCC__)
#include_next <cooperative_groups/reduce.h>
#else
#include "gpu/cpu/cooperative_groups.h"
#endif
