// Each viewer under churn: a thousand random mode keys and arrows from a fixed seed, a
// frame computed after each (or after one in a few), then the program's own release. The
// running mode must hold exactly its buffers, each at its size for the current count, and
// no other mode's; nothing may be left at the end; meanwhile the title, the mode, the
// walked value and what the frame computes follow the keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "clusterview/kernel.h"
#include "faulty_memory.h"
#include "fractview/kernel.h"
#include "gpu_test.h"
#include "gravsim/kernel.h"
#include "holdings.h"
#include "spherecast/kernel.h"

namespace {

constexpr int kUp = 101, kDown = 103;  // GLUT_KEY_UP, GLUT_KEY_DOWN
constexpr int kEvents = 1000;

// One program's walk. A pick of rng() % picks selects a mode key (keyOf) or an arrow; the
// arrows walk a value (the count, or fractview's iteration cap) between floor and ceiling,
// down to the floor first, as a user would press it.
struct Walk {
    const char* name;
    viewer::Program prog;
    void (*setUp)();
    unsigned picks;
    int (*modeOf)(unsigned pick);           // the mode a pick selects, 0 for an arrow
    bool (*up)(unsigned pick, bool climbing);  // which way an arrow goes
    int* value;
    int (*stepped)(int value, bool up);  // the value after an arrow
    int floor, ceiling;
    int (*entered)(int mode, int value);  // the value after a mode key
    unsigned frameEvery;                  // a frame after one event in this many, at random
    const char* titleFormat;              // the title after a frame: mode name, value
    void (*beforeFrame)();                // poisons what the frame must write, keeps what it needs
    void (*afterFrame)(int mode);         // what the frame computed
    void (*afterEvent)(int mode);         // the program's own state after each event, or null
    int minSwitches, minArrows, minFrames, minFramesPerMode;
    bool reachesCeiling;
};

int now = 0;
std::string title;

// ---- fractview: the picture is this frame's, at this cap -----------------------------

constexpr int kProbeRow = 384, kProbeCol = 942;  // plane point (1.29, 0): escapes in step 2
float4& fvAt(int i, int j) { return fractview::pixels[i * fractview::kWidth + j]; }

void fvPoison() {
    for (float4* p : {&fvAt(0, 0), &fvAt(kProbeRow, 512), &fvAt(kProbeRow, kProbeCol)}) *p = make_float4(NAN, -7, -7, -7);
}
// White corner, blue centre, and a point that escapes in the second step, which shows 0 at
// cap 1 and 1 - 1/p above.
void fvCheck(int) {
    const float4 corner = fvAt(0, 0), centre = fvAt(kProbeRow, 512), probe = fvAt(kProbeRow, kProbeCol);
    ASSERT_TRUE(corner.x == 1 && corner.y == 1 && corner.z == 1 && corner.w == 1);
    ASSERT_TRUE(centre.x == 0 && centre.y == 0 && centre.z == 1 && centre.w == 1);
    const int p = fractview::prec;
    const float grey = p == 1 ? 0.0f : 1.0f - 1.0f / (float)p;
    ASSERT_EQ(probe.x, grey);
    ASSERT_EQ(probe.y, grey);
}

// ---- spherecast: the picture is the host scene's, in every mode ------------------------

namespace sc = spherecast;
bool pixelOf(float x, float y, int* i, int* j) {
    *j = (int)std::lround((x + sc::offsetX) / sc::scale) + sc::imageWidth / 2;
    *i = (int)std::lround((y + sc::offsetY) / sc::scale) + sc::imageHeight / 2;
    return *i >= 0 && *i < sc::imageHeight && *j >= 0 && *j < sc::imageWidth;
}
// At a corner and each sphere's centre (mode 3 draws from the records it uploaded, which
// must be the host's first ones).
template <typename F>
void forEachProbe(F f) {
    f(0, 0);
    for (int k = 0; k < sc::spheres_count; ++k)
        if (int i, j; pixelOf(sc::spheres[k].x, sc::spheres[k].y, &i, &j)) f(i, j);
}
void scPoison() {
    forEachProbe([](int i, int j) { sc::pixels[i * sc::imageWidth + j] = make_float4(NAN, -1, -1, -1); });
}
int emptyFrames = 0, modeThreeFrames = 0;
void scCheck(int mode) {
    emptyFrames += sc::spheres_count == 0;
    modeThreeFrames += mode == 3;
    forEachProbe([](int i, int j) {
        const float4 want = sc::tracePixel(i, j, sc::spheres, sc::spheres_count, sc::scale, sc::offsetX, sc::offsetY);
        ASSERT_EQ(memcmp(&sc::pixels[i * sc::imageWidth + j], &want, sizeof want), 0) << "pixel " << i << "," << j;
    });
    ASSERT_EQ(sc::d_spheres, nullptr);  // the per-frame scene copy is gone again
}

// ---- gravsim: one frame moves each body by the velocity it was drawn with ---------------

std::vector<float4> posBefore, velBefore;
void gsKeep() {
    posBefore.assign(gravsim::pos, gravsim::pos + gravsim::bodyCount);
    velBefore.assign(gravsim::vel, gravsim::vel + gravsim::bodyCount);
}
void gsCheck(int mode) {
    for (int i = 0; i < gravsim::bodyCount; ++i) {
        const float4 p = gravsim::pos[i], b = posBefore[i], v = velBefore[i];
        ASSERT_TRUE(p.x == b.x + v.x && p.y == b.y + v.y && p.z == b.z + v.z) << "body " << i;
        ASSERT_EQ(p.w, 1.0f) << "body " << i;  // drawn as the homogeneous coordinate
    }
    if (mode >= 3) ASSERT_EQ(gravsim::currentBuffer, 1);
}
int gsLadder(int n, bool up) {
    if (up) return n < 16 ? n + 1 : n < 128 ? n + 16 : n < 1024 ? n + 128 : n + 512;
    return n > 1024 ? n - 512 : n > 128 ? n - 128 : n > 16 ? n - 16 : n > 1 ? n - 1 : n;
}

// ---- clusterview: every point assigned and coloured anew --------------------------------

namespace cv = clusterview;
void cvPoison() {
    for (int i = 0; i < cv::pointCount; ++i) {
        cv::pointLabel[i] = -1;
        cv::pointColors[i].x = cv::pointColors[i].y = cv::pointColors[i].z = NAN;
    }
}
void cvCheck(int) {
    for (int i = 0; i < cv::pointCount; ++i) {
        const int c = cv::pointLabel[i];
        ASSERT_TRUE(c >= 0 && c < cv::clusterCount) << "point " << i << " label " << c;
        const float4 p = cv::pointColors[i], want = cv::centroidColors[c];
        ASSERT_TRUE(p.x == want.x && p.y == want.y && p.z == want.z && p.w == 1.0f) << "point " << i;
    }
    for (int k = 0; k < cv::clusterCount; ++k)
        ASSERT_TRUE(std::isfinite(cv::centroids[k].x) && std::isfinite(cv::centroids[k].y) &&
                    std::isfinite(cv::centroids[k].z))
            << "centroid " << k;
}

const Walk kWalks[] = {
    // Each frame is a whole 1024 x 768 image: the cap stays at 4 or below.
    {"fractview", fractview::program(nullptr), fractview::resetView, 4,
     [](unsigned pick) { return pick < 2 ? (int)pick + 1 : 0; }, [](unsigned pick, bool) { return pick == 2; },
     &fractview::prec, [](int p, bool up) { return up ? p + 1 : p > 1 ? p - 1 : p; }, 1, 4,
     [](int, int p) { return p; }, 8, "Julia Fractals:  %s, 2.00 FPS", fvPoison, fvCheck, nullptr, 300, 300, 80, 0,
     false},
    // Out of 32: keys 1 and 2 five times each, key 3 once (it resets the scene to 20
    // spheres, which the walk then takes down), up ten times, down eleven.
    {"spherecast", spherecast::program(nullptr),
     [] {
         // A view that holds the whole random scene, set as a user would: eleven wheel
         // steps out, then a click that puts the scene centre mid-window.
         for (int k = 0; k < 11; ++k) sc::mouse(4, 0, 0, 0);
         sc::mouse(0, 0, 220, 606);
     },
     32, [](unsigned pick) { return pick <= 10 ? (pick < 5 ? 1 : pick < 10 ? 2 : 3) : 0; },
     [](unsigned pick, bool) { return pick <= 20; }, &sc::spheres_count,
     [](int n, bool up) { return up ? n + 1 : n > 0 ? n - 1 : n; }, 1, 4,
     [](int mode, int n) { return mode == 3 ? sc::constantSphereCount : n; }, 8, "Raytracer:  %s, 2.00 FPS",
     scPoison, scCheck, nullptr, 250, 500, 80, 0, false},
    // Out of 12: each mode key once, an arrow eight times, three in four the heading's way;
    // the ceiling passes one block of the kernels while a CPU step stays short.
    {"gravsim", gravsim::program(nullptr), nullptr, 12,
     [](unsigned pick) { return pick < 4 ? (int)pick + 1 : 0; },
     [](unsigned pick, bool climbing) { return (pick < 10) == climbing; }, &gravsim::bodyCount, gsLadder, 1, 640,
     [](int, int n) { return n; }, 1, "N-Body (mode: %s, bodies: %d, FPS: 4.98)", gsKeep, gsCheck,
     [](int mode) {
         if (mode >= 3) ASSERT_EQ(gravsim::currentBuffer, 0);  // every entry starts from pair 0
     },
     250, 500, 999, 50, true},
    // Out of 8: each mode key once, an arrow six times, five in six the heading's way.
    {"clusterview", clusterview::program(nullptr), nullptr, 8,
     [](unsigned pick) { return pick < 2 ? (int)pick + 1 : 0; },
     [](unsigned pick, bool climbing) { return (pick < 7) == climbing; }, &cv::pointCount,
     [](int n, bool up) { return up ? n * 2 : n > cv::minPointCount ? n / 2 : n; }, cv::minPointCount, 2048,
     [](int, int n) { return n; }, 1, "K-means: %s, %d points, 4.98 FPS", cvPoison, cvCheck, nullptr, 150, 600, 999,
     100, true},
};

// What every event must leave: the running mode's buffers at their sizes, no other's.
void checkHolding(const Walk& w, int mode, size_t devicesBefore, size_t deviceBytesBefore) {
    size_t device = 0, deviceBytes = 0;
    std::vector<std::string> held;
    const int count = w.value == &fractview::prec ? 0 : *w.value;  // fractview's walk is its cap
    for (const faulty::Buffer& b : holdings::modeBuffers(w.name, mode, count)) {
        const void* p = holdings::named(w.name, b.name);
        held.push_back(b.name);
        if (b.bytes > 0) ASSERT_NE(p, nullptr) << b.name;
        if (b.device) device += 1, deviceBytes += b.bytes;
#if defined(__GLIBC__)
        if (!b.device && p) ASSERT_GE(malloc_usable_size(const_cast<void*>(p)), b.bytes) << b.name;
#endif
    }
    for (const holdings::Global& g : holdings::of(w.name))
        if (std::find(held.begin(), held.end(), g.name) == held.end())
            ASSERT_EQ(holdings::valueOf(g), nullptr) << g.name << " held outside its modes";
#if GPU_BACKEND_IS_CPU
    ASSERT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore + device);
    ASSERT_EQ(gpu::cpu::trackedAllocationBytes(), deviceBytesBefore + deviceBytes);
#endif
    (void)devicesBefore, (void)deviceBytesBefore, (void)deviceBytes, (void)device;
}

void churn(const Walk& w) {
    SCOPED_TRACE(w.name);
#if GPU_BACKEND_IS_CPU
    const size_t devicesBefore = gpu::cpu::trackedAllocationCount();
    const size_t deviceBytesBefore = gpu::cpu::trackedAllocationBytes();
#else
    const size_t devicesBefore = 0, deviceBytesBefore = 0;
#endif
    cudaGetLastError();  // clear anything earlier tests left
    viewer::state = viewer::State{};
    now = 0;
    viewer::platform = viewer::Platform{[] { return now; }, [](const char* t) { title = t; }};
    srand(20261207u);
    ASSERT_TRUE(viewer::enter(w.prog, 1));  // start-up
    if (w.setUp) w.setUp();
    int mode = 1, value = *w.value;
    while (value > w.floor) {
        w.prog.specialKeys(kDown, 0, 0);
        value = w.stepped(value, false);
        ASSERT_EQ(*w.value, value);
        ASSERT_NO_FATAL_FAILURE(checkHolding(w, mode, devicesBefore, deviceBytesBefore));
    }

    std::mt19937 rng(20261207u);
    int switches = 0, arrows = 0, frames = 0, framesPerMode[5] = {}, highest = 0;
    bool climbing = true;
    for (int event = 0; event < kEvents; ++event) {
        const unsigned pick = rng() % w.picks;
        if (const int m = w.modeOf(pick)) {
            mode = m;
            value = w.entered(mode, value);
            viewer::keyboard(w.prog.params->modes[m - 1].key, 0, 0);
            ++switches;
        } else {
            // The walk heads up to the ceiling, then down to the floor, and again.
            if (value >= w.ceiling) climbing = false;
            if (value <= w.floor) climbing = true;
            const bool up = w.up(pick, climbing) && value < w.ceiling;
            w.prog.specialKeys(up ? kUp : kDown, 0, 0);
            value = w.stepped(value, up);
            ++arrows;
        }
        highest = value > highest ? value : highest;
        SCOPED_TRACE("event " + std::to_string(event) + ", mode " + std::to_string(mode) + ", value " +
                     std::to_string(value));
        ASSERT_EQ(viewer::state.mode, mode);
        ASSERT_EQ(*w.value, value);
        ASSERT_NO_FATAL_FAILURE(checkHolding(w, mode, devicesBefore, deviceBytesBefore));
        if (w.afterEvent) ASSERT_NO_FATAL_FAILURE(w.afterEvent(mode));

        if (w.frameEvery > 1 && rng() % w.frameEvery != 0 && event != kEvents - 1) continue;
        ++frames;
        ++framesPerMode[mode];
        w.beforeFrame();
        now += w.prog.params->refreshMs + 1;
        viewer::computeFrame();
        char want[viewer::kTitleBufferSize];
        snprintf(want, sizeof want, w.titleFormat, viewer::modeName(*w.prog.params, mode), value);
        ASSERT_EQ(title, want);
        ASSERT_NO_FATAL_FAILURE(w.afterFrame(mode));
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    }
    // The walk really went everywhere it may.
    EXPECT_GT(switches, w.minSwitches);
    EXPECT_GT(arrows, w.minArrows);
    EXPECT_GT(frames, w.minFrames);
    for (int m = 1; m <= w.prog.params->modes.count; ++m) EXPECT_GT(framesPerMode[m], w.minFramesPerMode) << m;
    if (w.reachesCeiling) EXPECT_EQ(highest, w.ceiling);
    printf("%s churn: %d switches, %d arrows, %d frames, up to %d\n", w.name, switches, arrows, frames, highest);

    viewer::releaseMode();  // what the program does when its main loop returns
    for (const holdings::Global& g : holdings::of(w.name)) EXPECT_EQ(holdings::valueOf(g), nullptr) << g.name;
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(gpu::cpu::trackedAllocationCount(), devicesBefore);
    EXPECT_EQ(gpu::cpu::trackedAllocationBytes(), deviceBytesBefore);
#endif
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(Churn, ThousandKeysLeaveNothingBehind) {
    REQUIRE_GPU();  // the GPU modes run kernels
    for (const Walk& w : kWalks) {
        churn(w);
        if (testing::Test::HasFailure()) return;
    }
    EXPECT_GT(emptyFrames, 0) << "spherecast never drew an empty scene";
    EXPECT_GE(modeThreeFrames, 5) << "spherecast drew mode 3 too rarely";
}

}  // namespace
