// The oil-painting filter: every output pixel takes the average colour of the most frequent
// intensity class in its window; alpha stays the centre pixel's. The variants, what each changes:
//
//   oilPaintingCPU         host reference: a window of any radius clipped at the image borders
//   oilPaintingGPU_sm      the one the program runs: 20 x 20 tiles in shared memory stepping by 10
//   oilPaintingGPU         no tile: window read from global memory by linear index, class chosen while counting
//   GPU_calc_share_memory  tiles of oilPaintingGPU_sm, 11 x 11 window, each block writes only its 10 x 10 centre
//   exampleCPU_swapGB      no filter: every thread swaps green and blue of the whole image
//
// Each kernel's launch shape is in the launcher below it.
#include <vector>

#include "kernel.h"

namespace oilbrush {

namespace {

constexpr int kLevels = 20;
constexpr int kClasses = kLevels + 1;
constexpr unsigned kTile = 20;  // the shared tiles are kTile x kTile; larger blocks use only that much

// One window's tallies per intensity class: the neighbours counted in it and the sums of
// their red, green and blue. The arrays are the caller's: per thread on the GPU.
struct ClassTally {
    int* intensityCount;
    int* averageR;
    int* averageG;
    int* averageB;
    int levels;

    __host__ __device__ ClassTally(int* count, int* r, int* g, int* b, int levels_)
        : intensityCount(count), averageR(r), averageG(g), averageB(b), levels(levels_) {
        for (int c = 0; c <= levels; ++c) intensityCount[c] = averageR[c] = averageG[c] = averageB[c] = 0;
    }
    // Counts one neighbour; returns its class.
    __host__ __device__ int add(unsigned pix) const {
        const int c = curIntensity(pix, levels);
        intensityCount[c] += 1;
        averageR[c] += pix & 255;
        averageG[c] += (pix >> 8) & 255;
        averageB[c] += (pix >> 16) & 255;
        return c;
    }
    // The fullest class by a scan from class 0: among equal counts the lowest wins.
    __host__ __device__ void scan(int& curMax, int& maxIndex) const {
        for (int count = 0; count <= levels; ++count)
            if (intensityCount[count] > curMax) {
                curMax = intensityCount[count];
                maxIndex = count;
            }
    }
    // The chosen class's average colour under the centre pixel's alpha.
    __host__ __device__ unsigned paint(int maxIndex, int curMax, unsigned centre) const {
        const int r = averageR[maxIndex] / curMax, g = averageG[maxIndex] / curMax, b = averageB[maxIndex] / curMax;
        return (centre & 0xFF000000u) | (unsigned(b & 255) << 16) | (unsigned(g & 255) << 8) | unsigned(r & 255);
    }
};

}  // namespace

void oilPaintingCPU(const unsigned* in, unsigned* out, unsigned n, unsigned width, int height, int radius,
                    int levels) {
    std::vector<int> intensityCount(levels + 1), averageR(levels + 1), averageG(levels + 1), averageB(levels + 1);
    for (unsigned i = 0; i < n; ++i) {
        const int x = int(i % width), y = int(i / width);
        const ClassTally tally(intensityCount.data(), averageR.data(), averageG.data(), averageB.data(), levels);
        for (int k = y - radius; k < y + radius; ++k) {
            if (k < 0 || k >= height) continue;
            for (int l = x - radius; l < x + radius; ++l) {
                if (l < 0 || l >= int(width)) continue;
                tally.add(in[size_t(k) * width + l]);
            }
        }
        int curMax = 0, maxIndex = 0;
        tally.scan(curMax, maxIndex);
        out[i] = tally.paint(maxIndex, curMax, in[i]);
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
    __syncthreads();  // every cell loaded before any thread reads its neighbours'

    if (!(row < height && col < width)) return;
    // The window fits the tile exactly when tx and ty are in 5..blockDim - 5; the
    // other threads would count an incomplete window and write nothing, so they stop here.
    const unsigned sizeX = blockDim.x < kTile ? blockDim.x : kTile;
    const unsigned sizeY = blockDim.y < kTile ? blockDim.y : kTile;
    const bool inBlock = unsigned(tx - 5) < sizeX && unsigned(tx + 4) < sizeX && unsigned(ty - 5) < sizeY &&
                         unsigned(ty + 4) < sizeY;
    if (!inBlock) return;

    int intensityCount[kClasses], averageR[kClasses], averageG[kClasses], averageB[kClasses];
    const ClassTally tally(intensityCount, averageR, averageG, averageB, kLevels);
    for (int x = -5; x < 5; ++x)
        for (int y = -5; y < 5; ++y) tally.add(sm[tx + x][ty + y]);
    int curMax = 0, maxIndex = 0;
    tally.scan(curMax, maxIndex);
    out[cell] = tally.paint(maxIndex, curMax, sm[tx][ty]);
}

// Grid (width / 10, height / 10) of 20 x 20 blocks: the 10 is the overlap of neighbouring
// tiles, 5 pixels of halo on each side. Under 10 pixels wide or high a grid dimension is 0:
// the launch is refused and nothing is written.
cudaError_t launchOilPaintingGPU_sm(const unsigned* in, unsigned* out, unsigned n, int width, int height) {
    const dim3 nbT(20, 20, 1);
    const dim3 nbB(unsigned(width) / (nbT.x - 10), unsigned(height) / (nbT.y - 10), 1);
    oilPaintingGPU_sm<<<nbB, nbT>>>(in, out, n, width, height);
    return cudaGetLastError();
}

// No tile: neighbours by linear index, so a window crossing a row end continues in the
// neighbouring row. The class is chosen while counting: first to reach the top count wins.
__global__ void oilPaintingGPU(const unsigned* in, unsigned* out, unsigned n, int width, int height) {
    (void)height;
    const long long index = (long long)(blockIdx.x * blockDim.x + threadIdx.x) +
                            (long long)(threadIdx.y + blockDim.y * blockIdx.y) * width;
    if (index >= (long long)n) return;
    int intensityCount[kClasses], averageR[kClasses], averageG[kClasses], averageB[kClasses];
    const ClassTally tally(intensityCount, averageR, averageG, averageB, kLevels);
    int curMax = 0, maxIndex = 0;
    for (int x = -5; x < 5; ++x)
        for (int y = -5; y < 5; ++y) {
            const long long j = index + x + (long long)y * width;
            if (j < 0 || j >= (long long)n) continue;
            const int c = tally.add(in[j]);
            if (intensityCount[c] > curMax) {
                curMax = intensityCount[c];
                maxIndex = c;
            }
        }
    out[index] = tally.paint(maxIndex, curMax, in[index]);
}

// One thread per pixel in blocks of `block`, as many as cover the image.
cudaError_t launchOilPaintingGPU(const unsigned* in, unsigned* out, unsigned n, int width, int height, dim3 block) {
    const dim3 grid((unsigned(width) + block.x - 1) / block.x, (unsigned(height) + block.y - 1) / block.y, 1);
    oilPaintingGPU<<<grid, block>>>(in, out, n, width, height);
    return cudaGetLastError();
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
    __syncthreads();  // every cell loaded before any thread reads its neighbours'
    if (!(x < w && y < h) || tx < 5 || tx > 14 || ty < 5 || ty > 14) return;

    int intensityCount[kClasses], averageR[kClasses], averageG[kClasses], averageB[kClasses];
    const ClassTally tally(intensityCount, averageR, averageG, averageB, kLevels);
    for (int k = -5; k <= 5; ++k)
        for (int l = -5; l <= 5; ++l) tally.add(sm[tx + k][ty + l]);
    int curMax = 0, maxIndex = 0;
    tally.scan(curMax, maxIndex);
    if (curMax == 0) curMax = 1;
    out[i] = tally.paint(maxIndex, curMax, sm[tx][ty]);
}

// Blocks of 20 x 20 stepping by 10, enough to cover the image: (w + 9) / 10 by (h + 9) / 10.
cudaError_t launchGPU_calc_share_memory(const unsigned* in, unsigned* out, unsigned n, int h, int w) {
    const dim3 grid((unsigned(w) + 9) / 10, (unsigned(h) + 9) / 10, 1);
    GPU_calc_share_memory<<<grid, dim3(20, 20, 1)>>>(in, out, n, h, w);
    return cudaGetLastError();
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

// One thread does the whole image.
cudaError_t launchExampleCPU_swapGB(const unsigned* in, unsigned* out, unsigned n) {
    exampleCPU_swapGB<<<1, 1>>>(in, out, n);
    return cudaGetLastError();
}

}  // namespace oilbrush
