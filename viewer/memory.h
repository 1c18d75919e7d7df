// Where a viewer's modes get their buffers, and the staged allocation of a mode switch or
// count change: every buffer of the new state is taken first, while the running mode
// still holds its own; only when all of them came is the old state released. A step that
// cannot have its buffers thus leaves the program exactly as it was.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "gpu/runtime.h"
#include "viewer/frame.h"

namespace viewer {

// The allocator table of a program's modes. Tests swap in counting or failing functions.
struct Memory {
    void* (*hostAlloc)(size_t bytes);
    void (*hostFree)(void* p);
    cudaError_t (*deviceAlloc)(void** p, size_t bytes);
    cudaError_t (*deviceFree)(void* p);
};

inline Memory systemMemory() {
    return Memory{
        [](size_t n) { return malloc(n); },
        [](void* p) { free(p); },
        [](void** p, size_t n) { return cudaMalloc(p, n); },
        [](void* p) { return cudaFree(p); },
    };
}

// The buffers taken so far for a new state. The first one that cannot be had is told to
// the frame with refuse(), and undo() then returns every buffer taken. A zero-byte
// buffer is a null pointer and takes nothing.
class Staging {
public:
    explicit Staging(const Memory& memory) : memory_(memory) {}
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    template <typename T>
    bool host(T** p, size_t bytes, const char* name) {
        *p = nullptr;
        if (bytes == 0) return true;
        void* q = memory_.hostAlloc(bytes);
        if (!q) {
            refuse(name, bytes, false, "out of memory");
            return false;
        }
        keep(q, false);
        *p = static_cast<T*>(q);
        return true;
    }

    template <typename T>
    bool device(T** p, size_t bytes, const char* name) {
        *p = nullptr;
        if (bytes == 0) return true;
        void* q = nullptr;
        cudaError_t err = memory_.deviceAlloc(&q, bytes);
        if (err != cudaSuccess || !q) {
            // The runtime also keeps the error as its last one; clear it, or the next
            // launch of the running mode would read it as its own.
            cudaGetLastError();
            refuse(name, bytes, true, err != cudaSuccess ? cudaGetErrorString(err) : "no memory");
            return false;
        }
        keep(q, true);
        *p = static_cast<T*>(q);
        return true;
    }

    // Returns what was taken, newest first.
    void undo() {
        while (count_ > 0) {
            const Taken& t = taken_[--count_];
            if (t.device)
                memory_.deviceFree(t.p);
            else
                memory_.hostFree(t.p);
        }
    }

private:
    struct Taken {
        void* p;
        bool device;
    };
    static constexpr int kMaxBuffers = 12;

    void keep(void* p, bool device) {
        if (count_ == kMaxBuffers) abort();  // a mode with more buffers needs a larger table
        taken_[count_++] = Taken{p, device};
    }

    const Memory& memory_;
    Taken taken_[kMaxBuffers] = {};
    int count_ = 0;
};

}  // namespace viewer
