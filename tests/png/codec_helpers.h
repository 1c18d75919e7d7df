// Decoding through the codec from memory, with allocator hooks that count and can fail.
#pragma once

#include <gtest/gtest.h>

#include "png_builder.h"
#include "png_codec.h"

namespace pngtest {

struct AllocCounter {
    static inline int allocations = 0;
    static inline int frees = 0;
    static inline int failAt = 0;  // 1-based allocation that returns null; 0: none
    static inline std::vector<size_t> sizes;

    static void* alloc(size_t n) {
        ++allocations;
        if (failAt && allocations == failAt) return nullptr;
        sizes.push_back(n);
        return std::malloc(n);
    }
    static void release(void* p) {
        ++frees;
        std::free(p);
    }
    // Allocations that succeeded and were not given back.
    static int live() { return allocations - (failAt && allocations >= failAt ? 1 : 0) - frees; }
    static void reset(int fail = 0) {
        allocations = frees = 0;
        failAt = fail;
        sizes.clear();
        png_set_allocator(alloc, release);
    }
};

struct Decoded {
    int open = 0;
    int read = 0;
    png_handle h{};
    Bytes pixels;
};

// Opens and, when the header is accepted, decodes. `sentinel` fills the destination
// first so that rows never written can be told apart.
inline Decoded decodeBytes(const Bytes& file, uint8_t sentinel = 0xEE) {
    Decoded d;
    MemoryReader reader{file.data(), file.size()};
    d.open = png_open(&d.h, readFromMemory, &reader);
    if (d.open != PNGE_NONE) return d;
    d.pixels.assign(size_t(d.h.width) * d.h.height * d.h.bytes_per_pixel, sentinel);
    d.read = png_read_pixels(&d.h, d.pixels.data());
    return d;
}

// File-order samples to the reader's layout: 16-bit samples least significant byte first.
inline Bytes toReaderOrder(Bytes samples, int depth) {
    if (depth == 16)
        for (size_t i = 0; i + 1 < samples.size(); i += 2) std::swap(samples[i], samples[i + 1]);
    return samples;
}

}  // namespace pngtest
