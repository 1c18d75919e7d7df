// Kernels with barriers against plain OpenMP loops doing the same job on as many threads as
// the kernel has workers, timed in turns, and the price of one __syncthreads() by block size.
//
//   wavefrontTile   a dynamic program (an alignment score) in 16 x 16 tiles, one grid per
//                   anti-diagonal of tiles; 16 threads a tile, a barrier per anti-diagonal
//                   of the tile (31 a tile)
//   rowStencil      a 17-tap filter along the rows of an image; a block of 256 walks down a
//                   1024-column strip, each row in a shared tile with its halo, one barrier
//                   a row (two tiles used in turn)
//   diffuseTile     a 5-point diffusion step in 16 x 16 tiles with a one-cell halo; one
//                   barrier, one kernel an iteration
//   matMulTiled     C = A B in 16 x 16 tiles of shared memory; two barriers a tile step
//   barrierRounds   two barriers a round, against the same kernel without them
//
// Every kernel's result is checked against its OpenMP twin's (the same arithmetic in the
// same order: the same bits), and each pair's time ratio is a bar.
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gpu/runtime.h"
#include "harness.h"

namespace {

std::string text(const char* f, double a = 0, double b = 0, double c = 0, double d = 0) {
    char buf[320];
    snprintf(buf, sizeof buf, f, a, b, c, d);
    return buf;
}

unsigned hostThreads() {
#if GPU_BACKEND_IS_CPU
    return gpu::cpu::workerCount();
#else
    return std::max(1u, std::thread::hardware_concurrency());
#endif
}

// ---- the wavefront: an alignment score, H[i][j] from its three upper-left neighbours ----

constexpr int kWave = 2048;  // sequence lengths; H is (kWave + 1)^2 with row and column 0
constexpr int kT = 16;       // tile side

__host__ __device__ inline int imax(int a, int b) { return a > b ? a : b; }

__host__ __device__ inline int score(int diag, int up, int left, unsigned char a, unsigned char b) {
    return imax(diag + (a == b ? 2 : -1), imax(up, left) - 1);
}

// Block b of the launch for anti-diagonal d of tiles: tile (ti, tj) with ti + tj = d.
// Thread r computes row r of the tile, one cell per step, cell (r, k - r) at step k.
__global__ void wavefrontTile(int* H, const unsigned char* a, const unsigned char* b, int d, int tiles) {
    __shared__ int t[kT + 1][kT + 1];
    const int ti = imax(0, d - (tiles - 1)) + int(blockIdx.x), tj = d - ti;
    const int r = threadIdx.x, i0 = ti * kT, j0 = tj * kT, w = kWave + 1;
    t[0][r + 1] = H[i0 * w + j0 + r + 1];  // the row above the tile
    t[r + 1][0] = H[(i0 + r + 1) * w + j0];  // the column left of it
    if (r == 0) t[0][0] = H[i0 * w + j0];
    const unsigned char ar = a[i0 + r];
    __syncthreads();
    for (int k = 0; k < 2 * kT - 1; ++k) {
        const int c = k - r;
        if (c >= 0 && c < kT) t[r + 1][c + 1] = score(t[r][c], t[r][c + 1], t[r + 1][c], ar, b[j0 + c]);
        __syncthreads();  // the next anti-diagonal reads this one
    }
    for (int c = 0; c < kT; ++c) H[(i0 + r + 1) * w + j0 + c + 1] = t[r + 1][c + 1];
}

void wavefrontOpenMP(int* H, const unsigned char* a, const unsigned char* b, unsigned threads) {
    const int tiles = kWave / kT, w = kWave + 1;
#pragma omp parallel num_threads(threads)
    for (int d = 0; d < 2 * tiles - 1; ++d) {
        const int first = std::max(0, d - (tiles - 1)), last = std::min(d, tiles - 1);
#pragma omp for schedule(static)
        for (int ti = first; ti <= last; ++ti) {
            const int tj = d - ti;
            for (int i = ti * kT + 1; i <= ti * kT + kT; ++i)
                for (int j = tj * kT + 1; j <= tj * kT + kT; ++j)
                    H[i * w + j] = score(H[(i - 1) * w + j - 1], H[(i - 1) * w + j], H[i * w + j - 1], a[i - 1], b[j - 1]);
        }
    }
}

void benchWavefront(unsigned threads) {
    const int w = kWave + 1, tiles = kWave / kT;
    std::vector<unsigned char> a(kWave), b(kWave);
    unsigned s = 7;
    for (int i = 0; i < kWave; ++i) {
        s = s * 1664525u + 1013904223u;
        a[i] = (s >> 28) & 3;
        b[i] = (s >> 24) & 3;
    }
    std::vector<int> start(size_t(w) * w, 0), host(start), fromKernel(start.size());
    for (int i = 0; i < w; ++i) start[size_t(i) * w] = start[i] = -i;
    int* d_H = nullptr;
    unsigned char *d_a = nullptr, *d_b = nullptr;
    cudaMalloc(&d_H, start.size() * sizeof(int));
    cudaMalloc(&d_a, kWave);
    cudaMalloc(&d_b, kWave);
    cudaMemcpy(d_H, start.data(), start.size() * sizeof(int), cudaMemcpyHostToDevice);
    cudaMemcpy(d_a, a.data(), kWave, cudaMemcpyHostToDevice);
    cudaMemcpy(d_b, b.data(), kWave, cudaMemcpyHostToDevice);
    host = start;
    int corner = 0;
    const bench::Pair turns = bench::measureInTurns(
        [&] {
            for (int d = 0; d < 2 * tiles - 1; ++d) {
                const int count = std::min(d, tiles - 1) - std::max(0, d - (tiles - 1)) + 1;
                wavefrontTile<<<count, kT>>>(d_H, d_a, d_b, d, tiles);
            }
            cudaMemcpy(&corner, d_H + size_t(w) * w - 1, sizeof(int), cudaMemcpyDeviceToHost);
        },
        [&] { wavefrontOpenMP(host.data(), a.data(), b.data(), threads); });
    cudaMemcpy(fromKernel.data(), d_H, start.size() * sizeof(int), cudaMemcpyDeviceToHost);
    cudaFree(d_H), cudaFree(d_a), cudaFree(d_b);
    const bool same = fromKernel == host;
    const double cells = double(kWave) * kWave, barriers = double(tiles) * tiles * kT * (2 * kT);
    const std::string math = text("%.3g cells, %.3g thread-barriers (%.0f a cell), %.0f launches", cells, barriers,
                                  barriers / cells, 2 * tiles - 1);
    bench::addRow({"barriers", "wavefrontTile, 16-thread tiles", turns.a, 0, "", math, 0,
                   text("%.2fx the OpenMP loop's time", turns.aOverB) + (same ? "; same scores" : "; SCORES DIFFER")});
    bench::addRow({"barriers", text("wavefront, OpenMP, %.0f threads", threads), turns.b, 0, "", math, 0,
                   "tiles of a diagonal split over the threads, each tile row by row"});
    bench::addBar({"barriers: wavefront kernel over its OpenMP loop", same ? turns.aOverB : 1e9, 3.0, false});
}

// ---- the row stencil: 17 taps along each row -------------------------------------------

constexpr int kRowW = 4096, kRowH = 1024, kRad = 8, kRowBlock = 256, kPerThread = 4;
constexpr int kStrip = kRowBlock * kPerThread;  // columns a block writes
__constant__ float rowTaps[2 * kRad + 1];
float hostTaps[2 * kRad + 1];

__host__ __device__ inline int clampX(int x) { return x < 0 ? 0 : x >= kRowW ? kRowW - 1 : x; }

// A block walks down the rows of its strip; row y + 1 is fetched into the other tile while
// row y is filtered, so one barrier a row keeps the two apart.
__global__ void rowStencil(const float* in, float* out) {
    __shared__ float tile[2][kStrip + 2 * kRad];
    const int x0 = blockIdx.x * kStrip, tx = threadIdx.x;
    auto fetch = [&](int y, float* t) {
        for (int i = tx; i < kStrip + 2 * kRad; i += kRowBlock) t[i] = in[y * kRowW + clampX(x0 + i - kRad)];
    };
    fetch(0, tile[0]);
    __syncthreads();
    for (int y = 0; y < kRowH; ++y) {
        const float* t = tile[y & 1];
        if (y + 1 < kRowH) fetch(y + 1, tile[(y + 1) & 1]);
        for (int q = 0; q < kPerThread; ++q) {
            const int x = tx + q * kRowBlock;  // neighbouring threads, neighbouring columns
            float acc = 0.0f;
            for (int k = 0; k <= 2 * kRad; ++k) acc += rowTaps[k] * t[x + k];
            out[y * kRowW + x0 + x] = acc;
        }
        __syncthreads();  // row y read by all, row y + 1 fetched by all
    }
}

void rowStencilOpenMP(const float* in, float* out, unsigned threads) {
#pragma omp parallel for num_threads(threads) schedule(static)
    for (int y = 0; y < kRowH; ++y)
        for (int x = 0; x < kRowW; ++x) {
            float acc = 0.0f;
            for (int k = 0; k <= 2 * kRad; ++k) acc += hostTaps[k] * in[y * kRowW + clampX(x + k - kRad)];
            out[y * kRowW + x] = acc;
        }
}

// ---- the 2-D stencil: diffusion in 16 x 16 tiles ---------------------------------------

constexpr int kGrid = 2048, kSteps = 4;

__host__ __device__ inline int clampG(int v) { return v < 0 ? 0 : v >= kGrid ? kGrid - 1 : v; }

__host__ __device__ inline float diffuse(float c, float n, float s, float w, float e) {
    return c + 0.2f * ((n + s) + (w + e) - 4.0f * c);
}

__global__ void diffuseTile(const float* in, float* out) {
    __shared__ float t[kT + 2][kT + 2];
    const int tx = threadIdx.x, ty = threadIdx.y;
    const int x = blockIdx.x * kT + tx, y = blockIdx.y * kT + ty;
    t[ty + 1][tx + 1] = in[y * kGrid + x];
    // The halo: the edge threads of the tile fetch the cells beside them (clamped at the
    // border of the grid).
    if (tx == 0) t[ty + 1][0] = in[y * kGrid + clampG(x - 1)];
    if (tx == kT - 1) t[ty + 1][kT + 1] = in[y * kGrid + clampG(x + 1)];
    if (ty == 0) t[0][tx + 1] = in[clampG(y - 1) * kGrid + x];
    if (ty == kT - 1) t[kT + 1][tx + 1] = in[clampG(y + 1) * kGrid + x];
    __syncthreads();  // the tile and its halo are whole
    out[y * kGrid + x] = diffuse(t[ty + 1][tx + 1], t[ty][tx + 1], t[ty + 2][tx + 1], t[ty + 1][tx], t[ty + 1][tx + 2]);
}

void diffuseOpenMP(float* a, float* b, unsigned threads) {
    for (int step = 0; step < kSteps; ++step) {
        const float* in = step % 2 ? b : a;
        float* out = step % 2 ? a : b;
#pragma omp parallel for num_threads(threads) schedule(static)
        for (int y = 0; y < kGrid; ++y)
            for (int x = 0; x < kGrid; ++x)
                out[y * kGrid + x] = diffuse(in[y * kGrid + x], in[clampG(y - 1) * kGrid + x],
                                             in[clampG(y + 1) * kGrid + x], in[y * kGrid + clampG(x - 1)],
                                             in[y * kGrid + clampG(x + 1)]);
    }
}

// ---- the tiled multiply -----------------------------------------------------------------

constexpr int kMat = 512;

__global__ void matMulTiled(const float* A, const float* B, float* C) {
    __shared__ float As[kT][kT], Bs[kT][kT];
    const int tx = threadIdx.x, ty = threadIdx.y;
    const int row = blockIdx.y * kT + ty, col = blockIdx.x * kT + tx;
    float acc = 0.0f;
    for (int k0 = 0; k0 < kMat; k0 += kT) {
        As[ty][tx] = A[row * kMat + k0 + tx];
        Bs[ty][tx] = B[(k0 + ty) * kMat + col];
        __syncthreads();  // both tiles whole
        for (int k = 0; k < kT; ++k) acc += As[ty][k] * Bs[k][tx];
        __syncthreads();  // nobody overwrites a tile another thread still reads
    }
    C[row * kMat + col] = acc;
}

// Each C[i][j] summed over k in ascending order, as a thread of the kernel sums it.
void matMulOpenMP(const float* A, const float* B, float* C, unsigned threads) {
#pragma omp parallel for num_threads(threads) schedule(static)
    for (int i = 0; i < kMat; ++i) {
        float* c = C + i * kMat;
        std::fill(c, c + kMat, 0.0f);
        for (int k = 0; k < kMat; ++k) {
            const float a = A[i * kMat + k];
            for (int j = 0; j < kMat; ++j) c[j] += a * B[k * kMat + j];
        }
    }
}

// ---- the price of a barrier -------------------------------------------------------------

// Two barriers a round, each thread reading its neighbour's slot between them; the same
// without barriers reads its own.
__global__ void barrierRounds(float* out, int rounds) {
    __shared__ float s[1024];
    const unsigned t = threadIdx.x;
    float acc = 0;
    for (int r = 0; r < rounds; ++r) {
        s[t] = acc + t;
        __syncthreads();
        acc += s[(t + 1) % blockDim.x];
        __syncthreads();
    }
    out[blockIdx.x * blockDim.x + t] = acc;
}

__global__ void noBarrierRounds(float* out, int rounds) {
    __shared__ float s[1024];
    const unsigned t = threadIdx.x;
    float acc = 0;
    for (int r = 0; r < rounds; ++r) {
        s[t] = acc + t;
        acc += s[t];
    }
    out[blockIdx.x * blockDim.x + t] = acc;
}

std::vector<float> pattern(size_t n, unsigned seed) {
    std::vector<float> v(n);
    for (float& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = float(seed >> 8) / float(1u << 24) - 0.5f;
    }
    return v;
}

}  // namespace

BENCH_SECTION(barriers) {
    // First, before any OpenMP loop has run (its threads spin a while after each loop and
    // would take the worker's core): the price of __syncthreads() for one thread, by block
    // size: 16384 threads in blocks of 16 to 1024, two barriers a round, timed in turns with
    // the same kernel without them, on one worker. A row's time is one thread passing one barrier (the median of the turns'
    // differences over the thread-barriers), drawn by scripts/bench.sh --plot.
    const int total = 16384, rounds = 50;
    float* d_b = nullptr;
    cudaMalloc(&d_b, total * sizeof(float));
    float probe = 0;
#if GPU_BACKEND_IS_CPU
    gpu::cpu::setWorkerCount(1);  // one worker: the price a thread pays, not a share of the machine
#endif
    // Twice on the cpu backend: as it runs these blocks (loops split at the barriers, the
    // kernel parser having proved them uniform), then on fibers, as it runs every kernel
    // the parser cannot prove (one switch a thread a barrier).
    double worst = 0;
    for (int fibers = 0; fibers < (GPU_BACKEND_IS_CPU ? 2 : 1); ++fibers) {
#if GPU_BACKEND_IS_CPU
        gpu::cpu::setSplitBlocks(!fibers);
#endif
        const std::string how = fibers ? " on fibers" : "";
        for (unsigned size = 16; size <= 1024; size *= 2) {
            const unsigned blocks = total / size;
            const bench::Pair turns = bench::measureInTurns(
                [&] {
                    barrierRounds<<<blocks, size>>>(d_b, rounds);
                    cudaMemcpy(&probe, d_b, sizeof(float), cudaMemcpyDeviceToHost);
                },
                [&] {
                    noBarrierRounds<<<blocks, size>>>(d_b, rounds);
                    cudaMemcpy(&probe, d_b, sizeof(float), cudaMemcpyDeviceToHost);
                });
            const double perThread = double(total) * rounds * 2;
            bench::Stats price = turns.aMinusB;
            price.median_ms /= perThread;
            price.min_ms /= perThread;
            price.max_ms /= perThread;
            if (!fibers) worst = std::max(worst, price.median_ms * 1e6);
            bench::Row row{"barriers",
                           "__syncthreads() per thread" + how + ", " + std::to_string(size) + "-thread blocks",
                           price,
                           0,
                           "",
                           text("%.0f thread-barriers (%.0f blocks, 2 x %.0f rounds)", perThread, blocks, rounds),
                           0,
                           text("%.1f ns a thread a barrier; kernel without barriers %.2f ms", price.median_ms * 1e6,
                                turns.b.median_ms)};
            row.n = size;
            row.series = "__syncthreads() per thread" + how;
            bench::addRow(row);
        }
    }
#if GPU_BACKEND_IS_CPU
    gpu::cpu::setSplitBlocks(true);
    gpu::cpu::setWorkerCount(0);
    bench::addBar({"barriers: ns a thread a barrier, worst of blocks of 16 to 1024", worst, 10.0, false});
#endif
    cudaFree(d_b);

    const unsigned threads = hostThreads();
    benchWavefront(threads);

    {  // the row stencil
        for (int k = 0; k <= 2 * kRad; ++k) hostTaps[k] = 1.0f / float(1 + (k - kRad) * (k - kRad));
        cudaMemcpyToSymbol(rowTaps, hostTaps, sizeof hostTaps);
        const size_t n = size_t(kRowW) * kRowH;
        const std::vector<float> img = pattern(n, 3);
        std::vector<float> host(n), fromKernel(n);
        float *d_in = nullptr, *d_out = nullptr;
        cudaMalloc(&d_in, n * sizeof(float));
        cudaMalloc(&d_out, n * sizeof(float));
        cudaMemcpy(d_in, img.data(), n * sizeof(float), cudaMemcpyHostToDevice);
        float probe = 0;
        const bench::Pair turns = bench::measureInTurns(
            [&] {
                rowStencil<<<kRowW / kStrip, kRowBlock>>>(d_in, d_out);
                cudaMemcpy(&probe, d_out, sizeof(float), cudaMemcpyDeviceToHost);
            },
            [&] { rowStencilOpenMP(img.data(), host.data(), threads); });
        cudaMemcpy(fromKernel.data(), d_out, n * sizeof(float), cudaMemcpyDeviceToHost);
        cudaFree(d_in), cudaFree(d_out);
        const bool same = fromKernel == host;
        const std::string math = text("%.3g outputs x %.0f taps, %.3g thread-barriers (1 a row a thread, %.0f outputs each)",
                                      double(n), 2 * kRad + 1, double(kRowH) * (kRowW / kPerThread), kPerThread) +
                                 text(", %.3g B read and written", 2.0 * n * sizeof(float));
        bench::addRow({"barriers", "rowStencil, blocks of 256", turns.a, 0, "", math, 0,
                       text("%.2fx the OpenMP loop's time", turns.aOverB) + (same ? "; same bits" : "; RESULTS DIFFER")});
        bench::addRow({"barriers", text("row stencil, OpenMP, %.0f threads", threads), turns.b, 0, "", math, 0,
                       "rows split over the threads"});
        bench::addBar({"barriers: row stencil kernel over its OpenMP loop", same ? turns.aOverB : 1e9, 1.25, false});
    }

    {  // the 2-D stencil
        const size_t n = size_t(kGrid) * kGrid;
        const std::vector<float> start = pattern(n, 5);
        std::vector<float> a(start), b(n), fromKernel(n);
        float *d_a = nullptr, *d_b = nullptr;
        cudaMalloc(&d_a, n * sizeof(float));
        cudaMalloc(&d_b, n * sizeof(float));
        float probe = 0;
        const dim3 grid(kGrid / kT, kGrid / kT), block(kT, kT);
        const bench::Pair turns = bench::measureInTurns(
            [&] {
                cudaMemcpy(d_a, start.data(), n * sizeof(float), cudaMemcpyHostToDevice);
                for (int step = 0; step < kSteps; ++step)
                    diffuseTile<<<grid, block>>>(step % 2 ? d_b : d_a, step % 2 ? d_a : d_b);
                cudaMemcpy(&probe, d_a, sizeof(float), cudaMemcpyDeviceToHost);
            },
            [&] {
                std::copy(start.begin(), start.end(), a.begin());
                diffuseOpenMP(a.data(), b.data(), threads);
            });
        cudaMemcpy(fromKernel.data(), d_a, n * sizeof(float), cudaMemcpyDeviceToHost);
        cudaFree(d_a), cudaFree(d_b);
        const bool same = fromKernel == a;
        const std::string math =
            text("%.3g cells x %.0f steps, 1 thread-barrier a cell a step, %.3g B in and out a step (plus a %.3g B upload)",
                 double(n), kSteps, 2.0 * n * sizeof(float), double(n) * sizeof(float));
        bench::addRow({"barriers", "diffuseTile, 16x16 tiles", turns.a, 0, "", math, 0,
                       text("%.2fx the OpenMP loop's time", turns.aOverB) + (same ? "; same bits" : "; RESULTS DIFFER")});
        bench::addRow({"barriers", text("2-D stencil, OpenMP, %.0f threads", threads), turns.b, 0, "", math, 0,
                       "rows split over the threads; starts with a copy of the grid, as the kernel with its upload"});
        bench::addBar({"barriers: 2-D stencil kernel over its OpenMP loop", same ? turns.aOverB : 1e9, 3.0, false});
    }

    {  // the tiled multiply
        const size_t n = size_t(kMat) * kMat;
        const std::vector<float> A = pattern(n, 11), B = pattern(n, 13);
        std::vector<float> host(n), fromKernel(n);
        float *d_A = nullptr, *d_B = nullptr, *d_C = nullptr;
        cudaMalloc(&d_A, n * sizeof(float));
        cudaMalloc(&d_B, n * sizeof(float));
        cudaMalloc(&d_C, n * sizeof(float));
        cudaMemcpy(d_A, A.data(), n * sizeof(float), cudaMemcpyHostToDevice);
        cudaMemcpy(d_B, B.data(), n * sizeof(float), cudaMemcpyHostToDevice);
        float probe = 0;
        const bench::Pair turns = bench::measureInTurns(
            [&] {
                matMulTiled<<<dim3(kMat / kT, kMat / kT), dim3(kT, kT)>>>(d_A, d_B, d_C);
                cudaMemcpy(&probe, d_C, sizeof(float), cudaMemcpyDeviceToHost);
            },
            [&] { matMulOpenMP(A.data(), B.data(), host.data(), threads); });
        cudaMemcpy(fromKernel.data(), d_C, n * sizeof(float), cudaMemcpyDeviceToHost);
        cudaFree(d_A), cudaFree(d_B), cudaFree(d_C);
        const bool same = fromKernel == host;
        const double flops = 2.0 * kMat * kMat * kMat, barriers = double(n) * 2 * (kMat / kT);
        const std::string math = text("%.3g flops, %.3g thread-barriers (two per 16 multiply-adds), %.3g B in",
                                      flops, barriers, 2.0 * n * sizeof(float));
        bench::addRow({"barriers", "matMulTiled, 16x16 tiles, 512^3", turns.a, 0, "", math, 0,
                       text("%.2fx the OpenMP loop's time; %.2f GFLOP/s", turns.aOverB, flops / turns.a.median_ms / 1e6) +
                           (same ? "; same bits" : "; RESULTS DIFFER")});
        bench::addRow({"barriers", text("multiply, OpenMP, %.0f threads", threads), turns.b, 0, "", math, 0,
                       text("rows of C split over the threads, i-k-j order; %.2f GFLOP/s", flops / turns.b.median_ms / 1e6)});
        bench::addBar({"barriers: tiled multiply kernel over its OpenMP loop", same ? turns.aOverB : 1e9, 1.25, false});
    }

}
