// The launch and error rule that both backends keep, as the CUDA runtime does (gpu/runtime.h):
// a refused launch runs nothing and is pending until one cudaGetLastError() reads it; a
// launch leaves an earlier unread error pending; a kernel fault is sticky. The same
// sequences run on either backend.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "gpu_test.h"

namespace {

__global__ void writeIndex(int* out) { out[threadIdx.x] = int(threadIdx.x) + 1; }

// A kernel that faults: on the cpu backend a barrier that cannot complete (threads 32 and
// up end while the others wait), on a GPU a write through a null pointer.
__global__ void faultingKernel(int* out) {
#if GPU_BACKEND_IS_CPU
    if (threadIdx.x >= 32) return;
    __syncthreads();
    out[blockIdx.x * 32 + threadIdx.x] = 1;
#else
    int* wild = out - reinterpret_cast<uintptr_t>(out) / sizeof(int);
    wild[threadIdx.x] = 1;
#endif
}

// After a fault: the cpu backend's test-only reset, a device reset on a GPU.
void clearFault() {
#if GPU_BACKEND_IS_CPU
    gpu::cpu::resetDeviceForTests();
#else
    cudaDeviceReset();
#endif
}

TEST(LaunchErrors, ARefusedLaunchIsPendingOnce) {  // and runs nothing: runtime_test.cu
    REQUIRE_GPU();
    int* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(int)), cudaSuccess);
    for (dim3 block : {dim3(0), dim3(1025), dim3(32, 33)}) {
        writeIndex<<<1, block>>>(d);
        EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    EXPECT_EQ(cudaFree(d), cudaSuccess);
}

TEST(LaunchErrors, AnEarlierUnreadErrorStaysPendingAndTheLaunchStillRuns) {
    REQUIRE_GPU();
    int* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(int)), cudaSuccess);
    int hostInt = 0;
    struct Case {
        const char* what;
        std::function<cudaError_t()> call;
    };
    const Case earlier[] = {
        {"cudaMalloc of an absurd size", [] { void* p = nullptr; return cudaMalloc(&p, SIZE_MAX / 2); }},
        {"cudaFree of a host pointer", [&] { return cudaFree(&hostInt); }},
        {"cudaMemcpy with an unknown direction", [&] { return cudaMemcpy(d, &hostInt, 4, cudaMemcpyKind(7)); }},
    };
    for (const Case& c : earlier) {
        ASSERT_EQ(cudaMemset(d, 0, 64 * sizeof(int)), cudaSuccess);
        const cudaError_t error = c.call();
        ASSERT_NE(error, cudaSuccess) << c.what;
        writeIndex<<<1, 64>>>(d);
        EXPECT_EQ(cudaGetLastError(), error) << c.what;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << c.what;
        std::vector<int> out(64);
        ASSERT_EQ(cudaMemcpy(out.data(), d, sizeof(int) * 64, cudaMemcpyDeviceToHost), cudaSuccess) << c.what;
        for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i], i + 1) << c.what;
    }
    EXPECT_EQ(cudaFree(d), cudaSuccess);
}

TEST(LaunchErrors, AKernelFaultIsSticky) {
    REQUIRE_GPU();
    int* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(int)), cudaSuccess);
    testing::internal::CaptureStderr();
    faultingKernel<<<2, 64>>>(d);
    const cudaError_t launched = cudaGetLastError();
    const cudaError_t fault = cudaDeviceSynchronize();
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(fault, cudaSuccess) << "the kernel did not fault";
    // The launch returns before the grid runs, on both backends: the fault comes with the
    // synchronizing call at the latest.
    EXPECT_TRUE(launched == cudaSuccess || launched == fault) << cudaGetErrorName(launched);
    if (GPU_BACKEND_IS_CPU) {
        // The cpu backend says what went wrong.
        EXPECT_EQ(fault, cudaErrorLaunchFailure);
        EXPECT_NE(err.find("ended while others wait at __syncthreads()"), std::string::npos) << err;
    }
    std::vector<int> out(64);
    void* p = nullptr;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(cudaGetLastError(), fault) << round;
        EXPECT_EQ(cudaPeekAtLastError(), fault) << round;
        EXPECT_EQ(cudaMemcpy(out.data(), d, sizeof(int) * 64, cudaMemcpyDeviceToHost), fault) << round;
        EXPECT_EQ(cudaMalloc(&p, 256), fault) << round;
        writeIndex<<<1, 64>>>(d);
        EXPECT_EQ(cudaGetLastError(), fault) << round;
    }
    clearFault();
    if (GPU_BACKEND_IS_CPU) EXPECT_EQ(cudaFree(d), cudaSuccess);  // a device reset frees it on a GPU
    // Only the reset brings the device back.
    ASSERT_EQ(cudaMalloc(&d, 64 * sizeof(int)), cudaSuccess);
    writeIndex<<<1, 64>>>(d);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(out.data(), d, sizeof(int) * 64, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(out[63], 64);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
}

}  // namespace
