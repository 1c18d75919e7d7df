// Cooperative groups as reductions and scans write them today: a block, its tiles of 4 to
// 32 threads, the coalesced threads of a branch and a cooperative grid; each result
// against the same computation done by the host over the tile's values.
#include <gtest/gtest.h>

#include <cooperative_groups.h>
#include <cooperative_groups/reduce.h>
#include <cooperative_groups/scan.h>

#include <algorithm>
#include <vector>

#include "gpu_test.h"

namespace cg = cooperative_groups;

namespace {

constexpr int kThreads = 96;  // three warps
constexpr int kOps = 16;      // results a thread writes

__device__ int valueOf(unsigned t) { return int((t * 37 + 11) % 23) - 7; }

// Every tile operation, for tiles of n threads: out[op * kThreads + t].
template <typename Tile>
__device__ void tileOps(const Tile& tile, int* out) {
    const unsigned t = threadIdx.x;
    const int v = valueOf(t);
    int* o = out + t;
    o[0 * kThreads] = int(tile.thread_rank());
    o[1 * kThreads] = int(tile.meta_group_rank() * 100 + tile.meta_group_size());
    o[2 * kThreads] = tile.shfl(v, 1);
    o[3 * kThreads] = tile.shfl_up(v, 1);
    o[4 * kThreads] = tile.shfl_down(v, 2);
    o[5 * kThreads] = tile.shfl_xor(v, 1);
    o[6 * kThreads] = int(tile.ballot(v > 0));
    o[7 * kThreads] = tile.any(v == 15) * 10 + tile.all(v > -8);
    o[8 * kThreads] = int(tile.match_any(int(v % 3 == 0)));
    o[9 * kThreads] = cg::reduce(tile, v, cg::plus<int>());
    o[10 * kThreads] = cg::reduce(tile, v, cg::less<int>()) * 100 + cg::reduce(tile, v, cg::greater<int>());
    o[11 * kThreads] = cg::reduce(tile, v & 0xff, cg::bit_and<int>()) ^ cg::reduce(tile, v & 0xff, cg::bit_or<int>()) << 8;
    o[12 * kThreads] = cg::reduce(tile, unsigned(v), cg::bit_xor<unsigned>());
    o[13 * kThreads] = cg::inclusive_scan(tile, v, cg::plus<int>());
    o[14 * kThreads] = cg::exclusive_scan(tile, v, cg::plus<int>());
    tile.sync();
    o[15 * kThreads] = cg::inclusive_scan(tile, v, cg::greater<int>());
}

__global__ void tilesOf(unsigned n, int* out, int* dynamicRank) {
    cg::thread_block block = cg::this_thread_block();
    if (n == 32) tileOps(cg::tiled_partition<32>(block), out);
    if (n == 16) tileOps(cg::tiled_partition<16>(block), out);
    if (n == 8) tileOps(cg::tiled_partition<8>(block), out);
    if (n == 4) tileOps(cg::tiled_partition<4>(block), out);
    // A tile of a size known only at run time: its rank and size.
    cg::thread_group tile = cg::tiled_partition(block, n);
    dynamicRank[block.thread_rank()] = int(tile.thread_rank() * 100 + tile.size());
}

// What tileOps writes, computed by the host.
std::vector<int> expectedTileOps(unsigned n) {
    std::vector<int> out(kOps * kThreads);
    auto value = [](unsigned t) { return int((t * 37 + 11) % 23) - 7; };
    for (unsigned t = 0; t < kThreads; ++t) {
        const unsigned base = t / n * n, r = t - base;
        auto at = [&](unsigned rank) { return value(base + rank); };
        int sum = 0, lo = 99, hi = -99, andv = 0xff, orv = 0, inc = 0, ex = 0, run = -99;
        unsigned xorv = 0, ballot = 0, match = 0;
        bool any15 = false, allAbove = true;
        for (unsigned k = 0; k < n; ++k) {
            const int w = at(k);
            sum += w, lo = std::min(lo, w), hi = std::max(hi, w), andv &= w & 0xff, orv |= w & 0xff, xorv ^= unsigned(w);
            if (w > 0) ballot |= 1u << k;
            if ((w % 3 == 0) == (value(t) % 3 == 0)) match |= 1u << k;
            any15 |= w == 15, allAbove &= w > -8;
            if (k <= r) inc += w, run = std::max(run, w);
            if (k < r) ex += w;
        }
        int* o = &out[t];
        o[0] = int(r);
        o[kThreads] = int(t / n * 100 + (kThreads + n - 1) / n);
        o[2 * kThreads] = at(1 % n);
        o[3 * kThreads] = r >= 1 ? at(r - 1) : value(t);
        o[4 * kThreads] = r + 2 < n ? at(r + 2) : value(t);
        o[5 * kThreads] = at(r ^ 1u) * (n > 1) + value(t) * (n == 1);
        o[6 * kThreads] = int(ballot);
        o[7 * kThreads] = any15 * 10 + allAbove;
        o[8 * kThreads] = int(match);
        o[9 * kThreads] = sum;
        o[10 * kThreads] = lo * 100 + hi;
        o[11 * kThreads] = andv ^ orv << 8;
        o[12 * kThreads] = int(xorv);
        o[13 * kThreads] = inc;
        o[14 * kThreads] = ex;
        o[15 * kThreads] = run;
    }
    return out;
}

TEST(CooperativeGroups, TileOperationsMatchTheHost) {
    REQUIRE_GPU();
    int *d, *ranks;
    ASSERT_EQ(cudaMalloc(&d, kOps * kThreads * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&ranks, kThreads * sizeof(int)), cudaSuccess);
    for (unsigned n : {4u, 8u, 16u, 32u}) {
        tilesOf<<<1, kThreads>>>(n, d, ranks);
        std::vector<int> got(kOps * kThreads), dynamic(kThreads);
        ASSERT_EQ(cudaMemcpy(got.data(), d, got.size() * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess) << n;
        ASSERT_EQ(cudaMemcpy(dynamic.data(), ranks, kThreads * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
        for (unsigned t = 0; t < kThreads; ++t) ASSERT_EQ(dynamic[t], int(t % n * 100 + n)) << n << " " << t;
        const std::vector<int> want = expectedTileOps(n);
        for (int op = 0; op < kOps; ++op)
            for (int t = 0; t < kThreads; ++t)
                ASSERT_EQ(got[op * kThreads + t], want[op * kThreads + t]) << "tile " << n << ", op " << op << ", thread " << t;
    }
    cudaFree(d);
    cudaFree(ranks);
}

// The odd lanes of each warp take a branch; there they form one coalesced group of 16.
__global__ void oddLanes(int* out) {
    cg::thread_block block = cg::this_thread_block();
    // Thread 0 takes no branch below: on the cpu backend a block whose thread 0 reaches no
    // barrier or warp call runs its threads one by one, without lanes to coalesce. The
    // barrier first puts every thread on a fiber of its own.
    block.sync();
    const unsigned t = block.thread_rank();
    int r = -1;
    if (t % 2) {
        cg::coalesced_group odd = cg::coalesced_threads();
        r = int(odd.size()) * 10000 + int(odd.thread_rank()) * 100 + cg::reduce(odd, int(t % 32), cg::plus<int>()) % 100;
    }
    out[t] = r;
}

// One grid-wide sync between writing and reading what other blocks wrote.
__global__ void rotateAcrossBlocks(const int* in, int* scratch, int* out, int n) {
    cg::grid_group grid = cg::this_grid();
    const int i = int(grid.thread_rank());
    if (i < n) scratch[i] = in[i] * 2;
    grid.sync();
    if (i < n) out[i] = scratch[(i + blockDim.x) % n] + int(grid.is_valid());
}

TEST(CooperativeGroups, CoalescedThreadsAndTheWholeGrid) {
    REQUIRE_GPU();
    int* d;
    const int n = 4 * 64;
    ASSERT_EQ(cudaMalloc(&d, 3 * n * sizeof(int)), cudaSuccess);
    oddLanes<<<1, 64>>>(d);
    std::vector<int> got(n);
    ASSERT_EQ(cudaMemcpy(got.data(), d, 64 * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    for (int t = 0; t < 64; ++t)
        EXPECT_EQ(got[t], t % 2 ? 16 * 10000 + (t % 32) / 2 * 100 + 256 % 100 : -1) << t;  // 1 + 3 + ... + 31 = 256

    int supported = 0, sms = 0, perSm = 0;
    ASSERT_EQ(cudaDeviceGetAttribute(&supported, cudaDevAttrCooperativeLaunch, 0), cudaSuccess);
    ASSERT_EQ(cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, 0), cudaSuccess);
    ASSERT_EQ(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&perSm, rotateAcrossBlocks, 64, 0), cudaSuccess);
    ASSERT_TRUE(supported && perSm >= 1);
    const int blocks = std::min(4, sms * perSm), count = blocks * 64;
    std::vector<int> in(count);
    for (int i = 0; i < count; ++i) in[i] = i;
    ASSERT_EQ(cudaMemcpy(d, in.data(), count * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
    int *src = d, *scratch = d + n, *dst = d + 2 * n;
    int c = count;
    void* args[] = {&src, &scratch, &dst, &c};
    ASSERT_EQ(cudaLaunchCooperativeKernel(rotateAcrossBlocks, blocks, 64, args), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(got.data(), dst, count * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    for (int i = 0; i < count; ++i) ASSERT_EQ(got[i], (i + 64) % count * 2 + 1) << i;
    // More blocks than can run at once: refused, as a GPU refuses it.
    EXPECT_EQ(cudaLaunchCooperativeKernel(rotateAcrossBlocks, sms * perSm + 1, 64, args),
              cudaErrorCooperativeLaunchTooLarge);
    cudaGetLastError();
    cudaFree(d);
}

}  // namespace
