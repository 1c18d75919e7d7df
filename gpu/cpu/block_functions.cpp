// The block functions the build adds for kernels whose barriers every thread of a block
// reaches (backend.h; the kernel parser is gpu/cpu/split/), and the per-worker scratch
// memory that holds their threads' values across barriers.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "gpu/cpu/internal.h"
#include "gpu/cpu/tsan.h"

namespace gpu::cpu {
namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<const void*, const void*> functions;
};

// Filled by static initializers of the kernel files, possibly before main: made on first use.
Registry& registry() {
    static Registry r;
    return r;
}

bool splitOnAtStart() {
    const char* v = std::getenv("GPUDEMOS_SPLIT_BLOCKS");
    return !(v && std::strcmp(v, "0") == 0);
}

std::atomic<bool> splitOn{splitOnAtStart()};

struct Scratch {
    void* memory = nullptr;
    size_t bytes = 0;
    Scratch() = default;
    Scratch(Scratch&& o) noexcept : memory(o.memory), bytes(o.bytes) { o.memory = nullptr; }
    ~Scratch() { std::free(memory); }
};
thread_local std::vector<Scratch> slots;

}  // namespace

bool registerBlockFunction(const void* kernel, const void* blockFunction) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.functions[kernel] = blockFunction;
    return true;
}

const void* blockFunctionOf(const void* kernel) {
    if (GPU_TSAN_ON || !splitOn.load(std::memory_order_relaxed)) return nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    const auto it = r.functions.find(kernel);
    return it == r.functions.end() ? nullptr : it->second;
}

void setSplitBlocks(bool on) { splitOn.store(on, std::memory_order_relaxed); }

void* threadArrayMemory(unsigned slot, size_t bytes) {
    if (slot >= slots.size()) slots.resize(slot + 1);
    Scratch& scratch = slots[slot];
    if (bytes > scratch.bytes) {
        std::free(scratch.memory);
        scratch.bytes = (bytes + 4095) & ~size_t(4095);
        scratch.memory = std::aligned_alloc(64, scratch.bytes);
        if (!scratch.memory) {
            std::fprintf(stderr, "cpu backend: out of memory for %zu bytes of thread arrays\n", bytes);
            std::abort();
        }
    }
    return scratch.memory;
}

}  // namespace gpu::cpu
