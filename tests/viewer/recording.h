// A recording stand-in for a program's modes, on the program's own frame table: mode 1
// holds one host buffer "pos", mode 2 one device buffer "d_pos0" (4096 bytes each), any
// further mode nothing. Taking a mode's buffer records "allocate<n>", returning a held one
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

inline bool allocate1() {
    events.push_back("allocate1");
    held1 = refuseNext ? nullptr : &blocks[1];
    return viewer::allocated(held1, "pos", 4096);
}
inline bool allocate2() {
    events.push_back("allocate2");
    held2 = refuseNext ? nullptr : &blocks[2];
    return viewer::allocated(refuseNext ? cudaErrorNoDevice : cudaSuccess, "d_pos0", 4096);
}
inline bool allocateNothing() { return true; }
inline void releaseNothing() {}
inline void release1() {
    if (held1) events.push_back("release1");
    held1 = nullptr;
}
inline void release2() {
    if (held2) events.push_back("release2");
    held2 = nullptr;
}
inline void* const kBuffers[] = {&held1, &held2};
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
        modes[i] = viewer::Mode{real.modes[i].key, real.modes[i].name, allocateNothing, releaseNothing, nullptr};
        if (i == 0) modes[i] = {real.modes[i].key, real.modes[i].name, allocate1, release1, compute1};
        if (i == 1) modes[i] = {real.modes[i].key, real.modes[i].name, allocate2, release2, compute2, true};
    }
    params = real;
    params.modes.items = modes;
    params.buffers = kBuffers;
    viewer::Program p{};
    p.params = &params;
    p.count = count;
    return p;
}

}  // namespace recording
