// gravsim's kernels, for .cu files. Launch with blocks of blockSize threads and
// (n + blockSize - 1) / blockSize blocks; computeBodyGPU_sm needs exactly blockSize.
#pragma once

#include "kernel.h"

namespace gravsim {

// Reads positions from d_pos_i in global memory in every thread.
__global__ void computeBodyGPU(const float4* d_pos_i, float4* d_pos_o, const float4* d_vel_i, float4* d_vel_o,
                               const float* d_mass, int n);
// The same with the pair roles chosen by buffer_mode: 0 reads the _i pair and writes the _o
// pair, anything else the reverse.
__global__ void computeBodyGPUBuffer(float4* d_pos_i, float4* d_pos_o, float4* d_vel_i, float4* d_vel_o,
                                     const float* d_mass, int n, int buffer_mode);
// Stages the positions in tiles of blockSize in shared memory.
__global__ void computeBodyGPU_sm(const float4* d_pos_i, float4* d_pos_o, const float4* d_vel_i, float4* d_vel_o,
                                  const float* d_mass, int n);

}  // namespace gravsim
