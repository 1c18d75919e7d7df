// A device copy of a host vector for tests that run kernels on their own data: uploaded
// when made, downloaded on demand, freed at the end of its scope.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "gpu/runtime.h"

template <typename T>
struct DeviceBuffer {
    T* data = nullptr;
    size_t size = 0;

    explicit DeviceBuffer(const std::vector<T>& host) : size(host.size()) {
        EXPECT_EQ(cudaMalloc(&data, size * sizeof(T)), cudaSuccess);
        EXPECT_EQ(cudaMemcpy(data, host.data(), size * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer() { cudaFree(data); }

    std::vector<T> download() const {
        std::vector<T> host(size);
        EXPECT_EQ(cudaMemcpy(host.data(), data, size * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }
};
