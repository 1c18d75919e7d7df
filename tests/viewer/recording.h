// A recording stand-in for a program's modes, on the program's own frame table: mode 1
// holds one host buffer "pos", mode 2 one device buffer "d_pos0" (4096 bytes each), any
// further mode nothing. Taking a mode's buffer records "allocate<n>", returning it
// "release<n>"; with refuseNext set the allocation is refused.
#pragma once

#include <string>
#include <vector>

#include "viewer/frame.h"

namespace recording {

inline std::vector<std::string> events;
inline bool refuseNext = false;
inline char blocks[3];
inline void *held1, *held2;

inline size_t bytes1() {
    events.push_back("allocate1");
    return 4096;
}
inline size_t bytes2() {
    events.push_back("allocate2");
    return 4096;
}

inline viewer::Memory memory{
    [](size_t) -> void* { return refuseNext ? nullptr : &blocks[1]; },
    [](void*) { events.push_back("release1"); },
    [](void** p, size_t) {
        *p = refuseNext ? nullptr : &blocks[2];
        return refuseNext ? cudaErrorNoDevice : cudaSuccess;
    },
    [](void*) {
        events.push_back("release2");
        return cudaSuccess;
    },
};

inline const viewer::Buffer kBuffer1[] = {{"pos", false, bytes1, viewer::slot<held1>()}};
inline const viewer::Buffer kBuffer2[] = {{"d_pos0", true, bytes2, viewer::slot<held2>()}};
inline viewer::Mode modes[8];
inline viewer::FrameParams params;

// The program with `real`'s frame table and keys, the recording modes computing with
// compute1 and compute2, and count as its count. Starts with no buffer held.
inline viewer::Program program(const viewer::FrameParams& real, void (*compute1)(), void (*compute2)(),
                               int (*count)() = nullptr) {
    events.clear();
    refuseNext = false;
    held1 = held2 = nullptr;
    for (int i = 0; i < real.modes.count; ++i) {
        modes[i] = viewer::Mode{real.modes[i].key, real.modes[i].name, {}, nullptr, nullptr, nullptr, nullptr};
        if (i == 0) modes[i].buffers = kBuffer1, modes[i].compute = compute1;
        if (i == 1) modes[i].buffers = kBuffer2, modes[i].compute = compute2;
    }
    params = real;
    params.modes.items = modes;
    viewer::Program p{};
    p.params = &params;
    p.memory = &memory;
    p.count = count;
    return p;
}

}  // namespace recording
