// Shared by spherecast's tests: state reset, a scripted draw source, hand-made scenes.
#pragma once

#include <cstdlib>
#include <cstring>
#include <vector>

#include "spherecast/kernel.h"
#include "viewer/frame.h"
#include "viewer_test.h"

namespace sctest {

namespace sc = spherecast;

using viewertest::script;
using viewertest::scriptPos;
using viewertest::scripted;
inline void useScript(std::vector<int> draws) { viewertest::useScript(&sc::randomSource, std::move(draws)); }

// The frame runs spherecast's modes, so switchMode and the keys act as in the program.
inline viewer::Program& frame() {
    static viewer::Program p = sc::program(nullptr);
    return p;
}

// Releases whatever a test left allocated and restores every default.
inline void resetState() {
    viewer::releaseMode();
    sc::randomSource = rand;
    viewer::testFault = nullptr;
    sc::spheres_count = sc::startSphereCount;
    sc::scale = 1.0f;
    sc::offsetX = 0.0f;
    sc::offsetY = 0.0f;
    viewer::program = &frame();
    viewer::state = viewer::State{};
}

inline sc::Sphere sphere(float x, float y, float z, float radius, float r = 1, float g = 1, float b = 1) {
    sc::Sphere s;
    s.r = r;
    s.g = g;
    s.b = b;
    s.radius = radius;
    s.x = x;
    s.y = y;
    s.z = z;
    return s;
}

// Pixel (row i, column j) of the current image.
inline const float4& pixel(int i, int j) { return sc::pixels[i * sc::imageWidth + j]; }

inline bool sameBits(const float4& a, const float4& b) { return memcmp(&a, &b, sizeof(float4)) == 0; }

inline std::vector<float4> image() { return std::vector<float4>(sc::pixels, sc::pixels + sc::pixelCount); }

inline bool sameImage(const std::vector<float4>& a, const std::vector<float4>& b) {
    return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(float4)) == 0;
}

inline int litPixels(const std::vector<float4>& img) {
    int n = 0;
    for (const float4& p : img) n += p.w == 1.0f;
    return n;
}

}  // namespace sctest
