// The cpu backend refuses what a GPU refuses, and runs blocks in parallel as a GPU does:
// copies are checked whole on both sides, symbol copies take only __constant__ variables,
// a kernel handed a host pointer runs nothing, blocks run at the same time on distinct
// workers with their own shared memory, and each GPU thread has a 512 KiB stack of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gpu_test.h"

namespace {

using gpu::cpu::resetDeviceForTests;

__constant__ char constBytes[64];
char hostBytes[64];  // a plain host global: not a device symbol

// ---- copies are checked whole --------------------------------------------------------

// Each refused call runs in a child process: a copy wrongly let through writes outside
// any buffer of ours and could not be trusted to leave this process's heap intact.
TEST(CpuCopies, BothSidesAreCheckedWhole) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char *a = nullptr, *b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 4096), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&b, 4096), cudaSuccess);
    std::vector<char> host(8192, 7);
    char* before = a - 16;  // a host range from here runs 16 bytes into a
    struct Case {
        const char* what;
        std::function<cudaError_t()> call;
        cudaError_t expect;
    };
    const Case refused[] = {
        {"device to host, host range runs into an allocation", [&] { return cudaMemcpy(before, b, 32, cudaMemcpyDeviceToHost); },
         cudaErrorInvalidValue},
        {"host to device, host range runs into an allocation", [&] { return cudaMemcpy(b, before, 32, cudaMemcpyHostToDevice); },
         cudaErrorInvalidValue},
        {"default, host destination runs into an allocation", [&] { return cudaMemcpy(before, b, 32, cudaMemcpyDefault); },
         cudaErrorInvalidValue},
        {"default, host source runs into an allocation", [&] { return cudaMemcpy(b, before, 32, cudaMemcpyDefault); },
         cudaErrorInvalidValue},
        {"host to host, range runs into an allocation", [&] { return cudaMemcpy(before, host.data(), 32, cudaMemcpyHostToHost); },
         cudaErrorInvalidValue},
        {"host to device, host range covers an allocation",
         [&] { return cudaMemcpy(b, a - 256, 4096 + 512, cudaMemcpyHostToDevice); }, cudaErrorInvalidValue},
        {"host to device, host range runs into a __constant__ variable",
         [&] { return cudaMemcpy(b, constBytes - 8, 16, cudaMemcpyHostToDevice); }, cudaErrorInvalidValue},
        {"to symbol, host source runs into an allocation", [&] { return cudaMemcpyToSymbol(constBytes, before, 32); },
         cudaErrorInvalidValue},
        {"from symbol, host destination runs into an allocation",
         [&] { return cudaMemcpyFromSymbol(before, constBytes, 32); }, cudaErrorInvalidValue},
        {"from symbol, device destination runs past its allocation",
         [&] { return cudaMemcpyFromSymbol(a + 4080, constBytes, 32, 0, cudaMemcpyDeviceToDevice); },
         cudaErrorInvalidValue},
        {"to a plain host global", [&] { return cudaMemcpyToSymbol(hostBytes, host.data(), 16); }, cudaErrorInvalidSymbol},
        {"from a plain host global", [&] { return cudaMemcpyFromSymbol(host.data(), hostBytes, 16); },
         cudaErrorInvalidSymbol},
        {"memset past the end of an allocation", [&] { return cudaMemset(a + 4000, 0, 200); }, cudaErrorInvalidValue},
    };
    for (const Case& c : refused)
        EXPECT_EXIT(
            {
                cudaError_t e = c.call();
                fprintf(stderr, "returned %s\n", cudaGetErrorName(e));
                _exit(e == c.expect ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << c.what << ": expected " << cudaGetErrorName(c.expect);

    // What stays allowed: whole ranges on both sides, and symbols in both directions.
    for (int i = 0; i < 64; ++i) host[i] = char(i * 3 + 1);
    EXPECT_EQ(cudaMemcpyToSymbol(constBytes, host.data(), 64), cudaSuccess);
    EXPECT_EQ(cudaMemcpyFromSymbol(a + 4032, constBytes, 64, 0, cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(b, a, 4096, cudaMemcpyDefault), cudaSuccess);
    std::vector<char> back(4096, 0);
    EXPECT_EQ(cudaMemcpy(back.data(), b, 4096, cudaMemcpyDeviceToHost), cudaSuccess);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(back[4032 + i], char(i * 3 + 1)) << i;
    EXPECT_EQ(cudaMemset(a, 0, 4096), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(b), cudaSuccess);
}

// ---- kernels are handed device memory only -------------------------------------------

std::atomic<int> threadsRun{0};

__global__ void countThreads(int* out, const float* in, int n) {
    (void)out, (void)in, (void)n;
    threadsRun.fetch_add(1, std::memory_order_relaxed);
}

TEST(CpuLaunch, HostPointerArgumentsAreRefusedByName) {
    int* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(int)), cudaSuccess);
    float* freed = nullptr;
    ASSERT_EQ(cudaMalloc(&freed, 64), cudaSuccess);
    ASSERT_EQ(cudaFree(freed), cudaSuccess);
    std::vector<int> hostInts(64);
    float hostFloat = 0;
    const float* constFloats = reinterpret_cast<const float*>(constBytes);
    struct Case {
        int* out;
        const float* in;
        int argument;  // 0: accepted, else the refused argument's number
        const char* text;
    };
    const Case cases[] = {
        {d, nullptr, 0, nullptr},
        {d + 64, constFloats, 0, nullptr},  // just past the end; a __constant__ variable
        {hostInts.data(), nullptr, 1, "argument 1 (c.out)"},
        {d, &hostFloat, 2, "argument 2 (c.in)"},
        {d, freed, 2, "argument 2 (c.in)"},
        {d - 4, nullptr, 1, "argument 1 (c.out)"},
        {d + 65, nullptr, 1, "argument 1 (c.out)"},
    };
    for (const Case& c : cases) {
        threadsRun = 0;
        testing::internal::CaptureStderr();
        countThreads<<<2, 8>>>(c.out, c.in, 12345);
        cudaDeviceSynchronize();
        std::string err = testing::internal::GetCapturedStderr();
        if (c.argument == 0) {
            EXPECT_EQ(cudaGetLastError(), cudaSuccess);
            EXPECT_EQ(threadsRun.load(), 16);
            EXPECT_EQ(err, "");
            continue;
        }
        EXPECT_EQ(threadsRun.load(), 0) << c.text << ": a refused launch ran";
        EXPECT_EQ(err.rfind("cpu backend: kernel countThreads, " + std::string(c.text) + ": 0x", 0), 0u) << err;
        EXPECT_NE(err.find(" is not device memory\n"), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        // As a GPU fault it is sticky.
        EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress) << c.text;
        EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
        EXPECT_EQ(cudaMemcpy(hostInts.data(), d, 4, cudaMemcpyDeviceToHost), cudaErrorIllegalAddress);
        resetDeviceForTests();
    }
    EXPECT_EQ(cudaFree(d), cudaSuccess);
}

// ---- blocks run in parallel, each with its own shared memory ---------------------------

std::atomic<bool> gaveUp{false};

// Thread 0 of a block arrives and waits until `n` blocks have arrived: they are then all
// running at once. Gives up after 10 s (and lets every other block give up too).
bool rendezvous(int* arrived, int n) {
    __atomic_add_fetch(arrived, 1, __ATOMIC_ACQ_REL);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (__atomic_load_n(arrived, __ATOMIC_ACQUIRE) < n) {
        if (gaveUp.load() || std::chrono::steady_clock::now() > until) {
            gaveUp = true;
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

__global__ void meetOnDistinctWorkers(int* arrived, int n, unsigned long long* worker, int* timedOut) {
    if (threadIdx.x != 0) return;
    worker[blockIdx.x] = std::hash<std::thread::id>()(std::this_thread::get_id());
    if (!rendezvous(arrived, n)) timedOut[blockIdx.x] = 1;
}

// Every block fills its shared array, meets all the others (whose arrays are then filled
// too), and reads its own array back.
__global__ void sharedStaysPrivate(int* arrived, int n, int* bad, int* timedOut) {
    __shared__ int slot[64];
    slot[threadIdx.x] = int(blockIdx.x) + 1;
    __syncthreads();
    if (threadIdx.x == 0 && !rendezvous(arrived, n)) timedOut[blockIdx.x] = 1;
    __syncthreads();
    for (unsigned k = 0; k < 64; ++k)
        if (slot[(threadIdx.x + k) % 64] != int(blockIdx.x) + 1) bad[blockIdx.x] = 1;
}

class CpuWorkers : public testing::TestWithParam<unsigned> {
protected:
    void SetUp() override { previous_ = gpu::cpu::workerCount(); }
    void TearDown() override { gpu::cpu::setWorkerCount(previous_); }
    unsigned previous_ = 0;
};

TEST_P(CpuWorkers, BlocksRunAtTheSameTimeOnDistinctWorkers) {
    const unsigned n = GetParam();
    gpu::cpu::setWorkerCount(n);
    ASSERT_EQ(gpu::cpu::workerCount(), n);
    int *arrived = nullptr, *timedOut = nullptr;
    unsigned long long* worker = nullptr;
    ASSERT_EQ(cudaMalloc(&arrived, sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&timedOut, n * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&worker, n * sizeof(unsigned long long)), cudaSuccess);
    ASSERT_EQ(cudaMemset(arrived, 0, sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMemset(timedOut, 0, n * sizeof(int)), cudaSuccess);
    gaveUp = false;
    meetOnDistinctWorkers<<<n, 32>>>(arrived, int(n), worker, timedOut);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<int> late(n);
    std::vector<unsigned long long> ids(n);
    ASSERT_EQ(cudaMemcpy(late.data(), timedOut, n * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(ids.data(), worker, n * sizeof(unsigned long long), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(std::count(late.begin(), late.end(), 1), 0) << "the " << n << " blocks never ran at the same time";
    EXPECT_EQ(std::set<unsigned long long>(ids.begin(), ids.end()).size(), n) << "blocks shared a worker";
    cudaFree(arrived), cudaFree(timedOut), cudaFree(worker);
}

TEST_P(CpuWorkers, BlocksRunningAtTheSameTimeNeverSeeEachOthersSharedMemory) {
    const unsigned n = GetParam();
    gpu::cpu::setWorkerCount(n);
    ASSERT_EQ(gpu::cpu::workerCount(), n);
    int *arrived = nullptr, *bad = nullptr, *timedOut = nullptr;
    ASSERT_EQ(cudaMalloc(&arrived, sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&bad, n * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&timedOut, n * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMemset(arrived, 0, sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMemset(bad, 0, n * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMemset(timedOut, 0, n * sizeof(int)), cudaSuccess);
    gaveUp = false;
    sharedStaysPrivate<<<n, 64>>>(arrived, int(n), bad, timedOut);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<int> wrong(n), late(n);
    ASSERT_EQ(cudaMemcpy(wrong.data(), bad, n * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(late.data(), timedOut, n * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(std::count(late.begin(), late.end(), 1), 0) << "the " << n << " blocks never ran at the same time";
    EXPECT_EQ(std::count(wrong.begin(), wrong.end(), 1), 0) << "a block saw another block's __shared__ data";
    cudaFree(arrived), cudaFree(bad), cudaFree(timedOut);
}

INSTANTIATE_TEST_SUITE_P(Workers, CpuWorkers, testing::Values(2u, 3u, 4u));

// ---- each GPU thread has a 512 KiB stack of its own ------------------------------------

constexpr size_t kBigLocals = 400 * 1024;

// Every thread fills 400 KiB of locals with its own pattern, waits at a barrier for the
// whole block to have done the same, and checks its pattern.
__global__ void bigLocals(int* bad) {
    volatile unsigned char local[kBigLocals];
    const unsigned seed = blockIdx.x * blockDim.x + threadIdx.x + 1;
    for (size_t i = 0; i < kBigLocals; i += 61) local[i] = (unsigned char)(seed * 37 + i);
    __syncthreads();
    for (size_t i = 0; i < kBigLocals; i += 61)
        if (local[i] != (unsigned char)(seed * 37 + i)) bad[seed - 1] = 1;
}

TEST(CpuStacks, FourHundredKiBOfLocalsAcrossABarrier) {
    int* bad = nullptr;
    const int blocks = 3, threads = 16;
    ASSERT_EQ(cudaMalloc(&bad, blocks * threads * sizeof(int)), cudaSuccess);
    ASSERT_EQ(cudaMemset(bad, 0, blocks * threads * sizeof(int)), cudaSuccess);
    bigLocals<<<blocks, threads>>>(bad);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<int> wrong(blocks * threads);
    ASSERT_EQ(cudaMemcpy(wrong.data(), bad, wrong.size() * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(std::count(wrong.begin(), wrong.end(), 1), 0) << "a thread's locals were overwritten";
    cudaFree(bad);
}

__global__ void hugeLocals(int* out) {
    volatile unsigned char local[600 * 1024];
    for (size_t i = 0; i < sizeof local; i += 4096) local[i] = (unsigned char)i;
    out[threadIdx.x] = local[threadIdx.x * 4096];
}

TEST(CpuStacks, OutgrowingTheStackIsAClearFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int* out = nullptr;
    ASSERT_EQ(cudaMalloc(&out, 4 * sizeof(int)), cudaSuccess);
    EXPECT_DEATH((hugeLocals<<<1, 4>>>(out), cudaDeviceSynchronize()),
                 "cpu backend: a GPU thread outgrew its 512 KiB stack");
    cudaFree(out);
}

}  // namespace
