// The oil-painting filter: the CPU reference first, then the kernels. Every output pixel
// takes the average colour of the most frequent intensity class in its window; alpha
// stays the centre pixel's.
#include <vector>

#include "kernel.h"

namespace oilbrush {

namespace {

constexpr int kLevels = 20;
constexpr int kClasses = kLevels + 1;
constexpr unsigned kTile = 20;  // the shared tiles are kTile x kTile; larger blocks use only that much

__host__ __device__ inline unsigned outPixel(int r, int g, int b, unsigned centre) {
    return (centre & 0xFF000000u) | (unsigned(b & 255) << 16) | (unsigned(g & 255) << 8) | unsigned(r & 255);
}

}  // namespace

void oilPaintingCPU(const unsigned* in, unsigned* out, unsigned n, unsigned width, int height, int radius,
                    int levels) {
    std::vector<int> intensityCount(levels + 1), averageR(levels + 1), averageG(levels + 1), averageB(levels + 1);
    for (unsigned i = 0; i < n; ++i) {
        const int x = int(i % width), y = int(i / width);
        for (int c = 0; c <= levels; ++c) intensityCount[c] = averageR[c] = averageG[c] = averageB[c] = 0;
        for (int k = y - radius; k < y + radius; ++k) {
            if (k < 0 || k >= height) continue;
            for (int l = x - radius; l < x + radius; ++l) {
                if (l < 0 || l >= int(width)) continue;
                const unsigned pix = in[size_t(k) * width + l];
                const int c = curIntensity(pix, levels);
                intensityCount[c] += 1;
                averageR[c] += pix & 255;
                averageG[c] += (pix >> 8) & 255;
                averageB[c] += (pix >> 16) & 255;
            }
        }
        int curMax = 0, maxIndex = 0;
        for (int c = 0; c <= levels; ++c)
            if (intensityCount[c] > curMax) {
                curMax = intensityCount[c];
                maxIndex = c;
            }
        out[i] = outPixel(averageR[maxIndex] / curMax, averageG[maxIndex] / curMax, averageB[maxIndex] / curMax, in[i]);
    }
}

// Tiles of 20 x 20 overlapping by 10: each thread loads one cell, and the threads whose
// 10 x 10 window (offsets -5..4) lies inside the tile write their pixel.
__global__ void oilPaintingGPU_sm(const unsigned* in, unsigned* out, unsigned n, int width, int height) {
    __shared__ unsigned sm[20][20];
    const int bx = blockIdx.x, by = blockIdx.y;
    const int tx = threadIdx.x, ty = threadIdx.y;
    const int row = by * 10 + ty;
    const int col = bx * 10 + tx;
    // A plain linear index: past the right edge it runs into the next row. Cells past
    // the end of the buffer are never read there; they hold the pixel of the same column
    // in the last row (the bottom edge repeated), so windows of the last rows see image
    // colours rather than a band of black.
    const long long cell = (long long)row * width + col;
    long long source = cell;
    if (source >= (long long)n) source -= ((source - (long long)n) / width + 1) * width;
    if (unsigned(tx) < kTile && unsigned(ty) < kTile) sm[tx][ty] = in[source];
    __syncthreads();

    if (!(row < height && col < width)) return;
    // The window fits the tile exactly when tx and ty are in 5..blockDim - 5; the
    // other threads would count an incomplete window and write nothing, so they stop here.
    const unsigned sizeX = blockDim.x < kTile ? blockDim.x : kTile;
    const unsigned sizeY = blockDim.y < kTile ? blockDim.y : kTile;
    const bool inBlock = unsigned(tx - 5) < sizeX && unsigned(tx + 4) < sizeX && unsigned(ty - 5) < sizeY &&
                         unsigned(ty + 4) < sizeY;
    if (!inBlock) return;

    int intensityCount[kClasses], averageR[kClasses], averageG[kClasses], averageB[kClasses];
    for (int c = 0; c < kClasses; ++c) intensityCount[c] = averageR[c] = averageG[c] = averageB[c] = 0;
    for (int x = -5; x < 5; ++x)
        for (int y = -5; y < 5; ++y) {
            const unsigned pix = sm[tx + x][ty + y];
            const int c = curIntensity(pix, kLevels);
            intensityCount[c] += 1;
            averageR[c] += pix & 255;
            averageG[c] += (pix >> 8) & 255;
            averageB[c] += (pix >> 16) & 255;
        }
    int curMax = 0, maxIndex = 0;
    for (int count = 0; count < kClasses; ++count)
        if (intensityCount[count] > curMax) {
            curMax = intensityCount[count];
            maxIndex = count;
        }
    out[cell] = outPixel(averageR[maxIndex] / curMax, averageG[maxIndex] / curMax, averageB[maxIndex] / curMax,
                         sm[tx][ty]);
}

// No tile: neighbours by linear index, so a window crossing a row end continues in the
// neighbouring row. The class is chosen while counting: first to reach the top count wins.
__global__ void oilPaintingGPU(const unsigned* in, unsigned* out, unsigned n, int width, int height) {
    (void)height;
    const long long index = (long long)(blockIdx.x * blockDim.x + threadIdx.x) +
                            (long long)(threadIdx.y + blockDim.y * blockIdx.y) * width;
    if (index >= (long long)n) return;
    int intensityCount[kClasses], averageR[kClasses], averageG[kClasses], averageB[kClasses];
    for (int c = 0; c < kClasses; ++c) intensityCount[c] = averageR[c] = averageG[c] = averageB[c] = 0;
    int curMax = 0, maxIndex = 0;
    for (int x = -5; x < 5; ++x)
        for (int y = -5; y < 5; ++y) {
            const long long j = index + x + (long long)y * width;
            if (j < 0 || j >= (long long)n) continue;
            const unsigned pix = in[j];
            const int c = curIntensity(pix, kLevels);
            intensityCount[c] += 1;
            averageR[c] += pix & 255;
            averageG[c] += (pix >> 8) & 255;
            averageB[c] += (pix >> 16) & 255;
            if (intensityCount[c] > curMax) {
                curMax = intensityCount[c];
                maxIndex = c;
            }
        }
    out[index] = outPixel(averageR[maxIndex] / curMax, averageG[maxIndex] / curMax, averageB[maxIndex] / curMax,
                          in[index]);
}

// Tiled like oilPaintingGPU_sm but with an 11 x 11 window and no overlap of writes:
// threads 5..14 of each tile write its 10 x 10 centre.
__global__ void GPU_calc_share_memory(const unsigned* in, unsigned* out, unsigned n, int h, int w) {
    (void)n;
    __shared__ unsigned sm[20][20];
    const int tx = threadIdx.x, ty = threadIdx.y;
    const int y = blockIdx.y * 10 + ty;
    const int x = blockIdx.x * 10 + tx;
    const long long i = (long long)y * w + x;
    // Cells outside the image are not loaded; they hold 0 (transparent black).
    if (unsigned(tx) < kTile && unsigned(ty) < kTile) sm[tx][ty] = (x < w && y < h) ? in[i] : 0u;
    __syncthreads();
    if (!(x < w && y < h) || tx < 5 || tx > 14 || ty < 5 || ty > 14) return;

    int intensityCount[kClasses], averageR[kClasses], averageG[kClasses], averageB[kClasses];
    for (int k = 0; k < kClasses; ++k) intensityCount[k] = averageR[k] = averageG[k] = averageB[k] = 0;
    for (int k = -5; k <= 5; ++k)
        for (int l = -5; l <= 5; ++l) {
            const unsigned pix = sm[tx + k][ty + l];
            const int c = curIntensity(pix, kLevels);
            intensityCount[c] += 1;
            averageR[c] += pix & 255;
            averageG[c] += (pix >> 8) & 255;
            averageB[c] += (pix >> 16) & 255;
        }
    int curMax = 0, maxIndex = 0;
    for (int k = 0; k < kClasses; ++k)
        if (intensityCount[k] > curMax) {
            curMax = intensityCount[k];
            maxIndex = k;
        }
    if (curMax == 0) curMax = 1;
    out[i] = outPixel(averageR[maxIndex] / curMax, averageG[maxIndex] / curMax, averageB[maxIndex] / curMax,
                      sm[tx][ty]);
}

// A first example kernel, kept as written: every thread runs the whole loop, so all
// threads store the same words.
__global__ void exampleCPU_swapGB(const unsigned* in, unsigned* out, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        const unsigned p = in[i];
        const unsigned r = p & 255, g = (p >> 8) & 255, b = (p >> 16) & 255, a = p >> 24;
        out[i] = a << 24 | g << 16 | b << 8 | r;
    }
}

}  // namespace oilbrush
