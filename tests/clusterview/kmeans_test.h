// Shared by clusterview's tests: state reset between tests and a scripted draw source.
#pragma once

#include <cstring>
#include <vector>

#include "clusterview/kernel.h"

namespace cvtest {

// The generator's draws come from this script, in order; past its end every draw is 0.
inline std::vector<int> script;
inline size_t scriptPos = 0;
inline int scripted() { return scriptPos < script.size() ? script[scriptPos++] : (++scriptPos, 0); }

inline void useScript(std::vector<int> draws) {
    script = std::move(draws);
    scriptPos = 0;
    clusterview::randomSource = scripted;
}

// Releases whatever a test left allocated and restores the defaults.
inline void resetState() {
    viewer::releaseMode();
    clusterview::randomSource = rand;
    clusterview::pointCount = clusterview::startPointCount;
}

inline bool sameBits(const float4& a, const float4& b) { return memcmp(&a, &b, sizeof(float4)) == 0; }

}  // namespace cvtest
