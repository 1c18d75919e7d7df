// oilbrush: the oil-painting kernels and their CPU reference.
//
// Pixel word: red in bits 0-7, green 8-15, blue 16-23, alpha 24-31, i.e. the R, G, B, A
// bytes of an 8-bit RGBA row read as a little-endian word.
#pragma once

#include "gpu/runtime.h"

namespace oilbrush {

// Intensity class of a pixel with `levels` levels: the channel average scaled in double
// precision, then divided by 255 in single precision. Equals floor(levels x avg / 255).
__host__ __device__ inline int curIntensity(unsigned p, int levels) {
    const int avg = int(((p & 255u) + ((p >> 8) & 255u) + ((p >> 16) & 255u)) / 3u);
    const int t = int(double(avg) * double(levels));
    return int(float(t) / 255.0f);
}

// The variants (kernel.cu opens with what each changes) and their launchers, which hold
// the launch shapes and return cudaGetLastError() after the launch: a refused shape, a
// fault, or an error left unread before it.
__global__ void oilPaintingGPU_sm(const unsigned* in, unsigned* out, unsigned n, int width, int height);
cudaError_t launchOilPaintingGPU_sm(const unsigned* in, unsigned* out, unsigned n, int width, int height);
__global__ void oilPaintingGPU(const unsigned* in, unsigned* out, unsigned n, int width, int height);
cudaError_t launchOilPaintingGPU(const unsigned* in, unsigned* out, unsigned n, int width, int height,
                                 dim3 block = dim3(16, 16, 1));
// Height before width.
__global__ void GPU_calc_share_memory(const unsigned* in, unsigned* out, unsigned n, int h, int w);
cudaError_t launchGPU_calc_share_memory(const unsigned* in, unsigned* out, unsigned n, int h, int w);
__global__ void exampleCPU_swapGB(const unsigned* in, unsigned* out, unsigned n);
cudaError_t launchExampleCPU_swapGB(const unsigned* in, unsigned* out, unsigned n);

// Host reference with a window clipped at the image borders (offsets -radius..radius-1).
void oilPaintingCPU(const unsigned* in, unsigned* out, unsigned n, unsigned width, int height, int radius,
                    int levels);

}  // namespace oilbrush
