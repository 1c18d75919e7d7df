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

// The launched variant: 20 x 20 tiles in shared memory stepping by 10 pixels; threads
// 5..15 of each tile write. Grid (width / 10, height / 10), block (20, 20).
__global__ void oilPaintingGPU_sm(const unsigned* in, unsigned* out, unsigned n, int width, int height);
// Global memory, one thread per pixel, neighbours by linear index.
__global__ void oilPaintingGPU(const unsigned* in, unsigned* out, unsigned n, int width, int height);
// Tiled, 11 x 11 window, each block writing its 10 x 10 centre. Height before width.
__global__ void GPU_calc_share_memory(const unsigned* in, unsigned* out, unsigned n, int h, int w);
// Every thread swaps green and blue of the whole image.
__global__ void exampleCPU_swapGB(const unsigned* in, unsigned* out, unsigned n);

// Host reference with a window clipped at the image borders (offsets -radius..radius-1).
void oilPaintingCPU(const unsigned* in, unsigned* out, unsigned n, unsigned width, int height, int radius,
                    int levels);

}  // namespace oilbrush
