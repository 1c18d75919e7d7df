// Compiled by the test gpu.launch_outside_kernel_file and never linked: a launch from a
// file that is not a kernel file must not compile, on either backend.
#include "gpu/runtime.h"

__global__ void setOne(int* p) { *p = 1; }

cudaError_t launchFromHostFile(int* p) { return launchKernel(setOne, dim3(1), dim3(1), p); }
