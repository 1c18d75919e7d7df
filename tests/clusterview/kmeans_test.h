// Shared by clusterview's tests: state reset between tests and a scripted draw source.
#pragma once

#include <cstring>
#include <vector>

#include "clusterview/kernel.h"
#include "viewer_test.h"

namespace cvtest {

using viewertest::script;
using viewertest::scriptPos;
using viewertest::scripted;
inline void useScript(std::vector<int> draws) { viewertest::useScript(&clusterview::randomSource, std::move(draws)); }

// Releases whatever a test left allocated and restores the defaults.
inline void resetState() {
    viewer::releaseMode();
    clusterview::randomSource = rand;
    clusterview::pointCount = clusterview::startPointCount;
}

inline bool sameBits(const float4& a, const float4& b) { return memcmp(&a, &b, sizeof(float4)) == 0; }

}  // namespace cvtest
