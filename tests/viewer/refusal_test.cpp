// A mode key or an arrow whose buffers cannot be had, in each viewer: for every step of a
// program's table and every allocation k of that step, the k-th fails. The program must
// stay exactly as it was (mode, count, every buffer's pointer and contents, host and
// device, and any state of its own), say so in one line, hold no more buffers than before
// and leave no CUDA error behind; a program with a picture draws the same one in the next
// frame. With nothing failing, the same step goes through with exactly the buffers listed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "clusterview/kernel.h"
#include "faulty_memory.h"
#include "fractview/kernel.h"
#include "gpu_test.h"
#include "gravsim/kernel.h"
#include "holdings.h"
#include "spherecast/kernel.h"

namespace {

using faulty::Buffer;
constexpr int kUp = 101, kDown = 103;
constexpr cudaError_t kOom = cudaErrorMemoryAllocation;

struct Step {
    int from;
    unsigned char key;  // a mode key, or 0 for the arrow
    int arrow;
    int to, countAfter;
    cudaError_t deviceError;
    int fromCount = -1;  // the running count is first brought down to this (-1: the case's)
};

struct Case {
    const char* name;
    viewer::Program prog;
    void (*reset)();  // defaults, the test's count and view, a seed
    const char* countWord;  // the count in the refusal line ("bodies"), or null
    const char* picture;  // the host image the running mode draws again unchanged, or null
    bool samePictureAfter;  // the entered mode draws the same picture of the same view
    const char* fresh;      // a host buffer entering the mode draws anew, or null
    int (*own)();           // state of the program's own a refusal must keep, or null
    std::vector<Step> cpuSteps, gpuSteps;
};

// ---- the four programs -----------------------------------------------------------------

const Case kCases[] = {
    {"fractview", fractview::program(nullptr),
     [] {
         fractview::resetView();
         fractview::prec = 4;  // short frames
     },
     nullptr, "pixels", true, nullptr, nullptr,
     {{1, '1', 0, 1, 0, kOom}},
     {{1, '2', 0, 2, 0, kOom}, {2, '1', 0, 1, 0, kOom}, {2, '2', 0, 2, 0, cudaErrorNoDevice}}},
    {"spherecast", spherecast::program(nullptr),
     [] {
         spherecast::spheres_count = 5;
         spherecast::scale = 1.7f;  // a view of the whole random scene
         spherecast::offsetX = -500.0f;
         spherecast::offsetY = -380.0f;
         srand(17);
     },
     "spheres", "pixels", false, "spheres", nullptr,
     {{1, '1', 0, 1, 5, kOom},
      {1, 0, kUp, 1, 6, kOom, 5},
      {1, 0, kUp, 1, 1, kOom, 0}},
     {{1, '2', 0, 2, 5, kOom},
      {2, '3', 0, 3, 20, cudaErrorNoDevice},
      {3, '1', 0, 1, 5, kOom, 5},
      {3, '3', 0, 3, 20, kOom, 5},
      {2, '2', 0, 2, 5, cudaErrorInitializationError},
      {3, 0, kUp, 3, 6, kOom, 5},
      {2, 0, kUp, 2, 1, kOom, 0}}},
    {"gravsim", gravsim::program(nullptr),
     [] {
         gravsim::bodyCount = 64;
         srand(7);
     },
     "bodies", nullptr, false, "pos", [] { return gravsim::currentBuffer; },
     {{1, '&', 0, 1, 64, kOom}, {1, 0, kUp, 1, 80, kOom}, {1, 0, kDown, 1, 48, kOom}},
     {{1, '2', 0, 2, 64, kOom},
      {2, '&', 0, 1, 64, kOom},
      {2, '"', 0, 3, 64, cudaErrorNoDevice},
      {3, '\'', 0, 4, 64, kOom},
      {4, '\'', 0, 4, 64, cudaErrorInitializationError},
      {4, '2', 0, 2, 64, kOom},
      {2, 0, kUp, 2, 80, kOom},
      {3, 0, kDown, 3, 48, cudaErrorNoDevice},
      {4, 0, kUp, 4, 80, kOom}}},
    {"clusterview", clusterview::program(nullptr),
     [] {
         clusterview::randomSource = rand;
         clusterview::pointCount = 512;
         srand(11);
     },
     "points", nullptr, false, "points", nullptr,
     {{1, '1', 0, 1, 512, kOom}, {1, 0, kUp, 1, 1024, kOom}, {1, 0, kDown, 1, 256, kOom}},
     {{1, '2', 0, 2, 512, kOom},
      {2, '1', 0, 1, 512, kOom},
      {2, '2', 0, 2, 512, cudaErrorNoDevice},
      {2, 0, kUp, 2, 1024, kOom},
      {2, 0, kDown, 2, 256, cudaErrorInitializationError}}},
};

// ---- the harness -------------------------------------------------------------------------

// What entering `mode` at `count` takes, in order: spherecast's arrows take only the
// resized scene, and its mode 3 a scene of the 20 records constant memory holds.
std::vector<Buffer> takes(const Case& c, int mode, int count, bool arrow) {
    if (arrow) return {{"spheres", (size_t)count * 28, false}};
    const bool constant = !strcmp(c.name, "spherecast") && mode == 3;
    return holdings::modeBuffers(c.name, mode, constant ? spherecast::constantSphereCount : count);
}

const viewer::Mode& modeOf(const Case& c, int mode) { return c.prog.params->modes[mode - 1]; }
int countOf(const Case& c) { return c.prog.count ? c.prog.count() : 0; }

// What the running mode's buffer b holds now.
std::vector<char> contents(const Case& c, const Buffer& b) {
    const void* p = holdings::named(c.name, b.name);
    std::vector<char> out;
    if (!p) return out;
    out.resize(b.bytes);
    if (b.device)
        EXPECT_EQ(cudaMemcpy(out.data(), p, out.size(), cudaMemcpyDeviceToHost), cudaSuccess);
    else if (!out.empty())
        memcpy(out.data(), p, out.size());
    return out;
}

std::vector<char> contentsOf(const Case& c, const char* name) {
    for (const Buffer& b : holdings::modeBuffers(c.name, viewer::state.mode, countOf(c)))
        if (name && !strcmp(b.name, name)) return contents(c, b);
    return {};
}

// Everything a refused step must leave as it was.
struct Snapshot {
    int mode, count, own;
    std::vector<const void*> pointers;    // every buffer global of the program
    std::vector<std::vector<char>> held;  // the running mode's buffers
    size_t deviceBuffers;
};

void expectUnchanged(const Snapshot& before, const Snapshot& now) {
    EXPECT_EQ(now.mode, before.mode);
    EXPECT_EQ(now.count, before.count);
    EXPECT_EQ(now.own, before.own);
    EXPECT_EQ(now.pointers, before.pointers) << "a buffer was replaced";
    EXPECT_TRUE(now.held == before.held) << "a buffer's contents changed";
    EXPECT_EQ(now.deviceBuffers, before.deviceBuffers) << "device buffers leaked or lost";
}

Snapshot snapshot(const Case& c) {
    Snapshot s{viewer::state.mode, countOf(c), c.own ? c.own() : 0, {}, {}, faulty::deviceBuffers()};
    for (const holdings::Global& g : holdings::of(c.name)) s.pointers.push_back(holdings::valueOf(g));
    for (const Buffer& b : holdings::modeBuffers(c.name, viewer::state.mode, countOf(c)))
        s.held.push_back(contents(c, b));
    return s;
}

size_t devicesAtStart = 0;  // device buffers held by others before the case

void press(const Case& c, const Step& s) {
    if (s.key)
        viewer::keyboard(s.key, 0, 0);
    else
        c.prog.specialKeys(s.arrow, 0, 0);
}

std::string keeps(const Case& c, int count) {
    return c.countWord ? " at " + std::to_string(count) + " " + c.countWord : "";
}

void run(const Case& c, const Step& s) {
    SCOPED_TRACE(std::string(c.name) + " from mode " + std::to_string(s.from) +
                 (s.key ? std::string(", key ") + (char)s.key : ", arrow " + std::to_string(s.arrow)));
    faulty::arm(0);
    c.reset();
    ASSERT_TRUE(viewer::switchMode(s.from));
    while (s.fromCount >= 0 && countOf(c) > s.fromCount) c.prog.specialKeys(kDown, 0, 0);
    const int count = countOf(c);
    viewer::computeFrame();  // a running state
    const std::vector<char> shown = contentsOf(c, c.picture);
    if (c.picture && count > 0) {
        int lit = 0;
        for (size_t i = 0; i < shown.size(); i += 16) lit += ((const float4*)&shown[i])->w == 1.0f;
        ASSERT_GT(lit, 1000) << "a picture worth keeping";
    }
    const std::vector<Buffer> taken = takes(c, s.to, s.countAfter, s.key == 0 && c.picture);
    std::vector<std::string> names;
    for (const Buffer& b : taken) names.push_back(b.name);
    for (size_t k = 1; k <= taken.size(); ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        const Snapshot before = snapshot(c);
        faulty::arm((int)k, s.deviceError);
        testing::internal::CaptureStderr();
        press(c, s);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(faulty::ledger.taken, std::vector<std::string>(names.begin(), names.begin() + (long)k))
            << "allocations went on after a refusal";
        expectUnchanged(before, snapshot(c));
        EXPECT_EQ(err, faulty::refusalLine(c.name, taken[k - 1], s.deviceError, s.from,
                                           viewer::modeName(*c.prog.params, s.from), keeps(c, count)));
        EXPECT_FALSE(faulty::cudaErrorLeft()) << "the refused allocation's error was left for the next launch";
        if (c.picture) {  // the running mode draws the same picture again
            memset(holdings::named(c.name, c.picture), 0x7f, shown.size());
            viewer::computeFrame();
            EXPECT_TRUE(contentsOf(c, c.picture) == shown) << "the next frame drew something else";
        }
        if (testing::Test::HasFailure()) return;
    }
    viewer::computeFrame();  // the running mode still computes
    EXPECT_FALSE(faulty::cudaErrorLeft());
    // Nothing failing: the step goes through, with every buffer listed and nothing else.
    faulty::arm(0);
    const std::vector<char> old = contentsOf(c, c.fresh);
    testing::internal::CaptureStderr();
    press(c, s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(faulty::ledger.taken, names);
    EXPECT_EQ(viewer::state.mode, s.to);
    EXPECT_EQ(countOf(c), s.countAfter);
    size_t device = 0;
    for (const Buffer& b : takes(c, s.to, s.countAfter, false)) device += b.device && b.bytes > 0;
    if (GPU_BACKEND_IS_CPU) EXPECT_EQ(faulty::deviceBuffers(), devicesAtStart + device);
    if (c.fresh && s.countAfter == count && s.key) EXPECT_FALSE(contentsOf(c, c.fresh) == old) << "no new data";
    viewer::computeFrame();
    if (c.samePictureAfter) EXPECT_TRUE(contentsOf(c, c.picture) == shown) << "another picture of the same view";
    EXPECT_FALSE(faulty::cudaErrorLeft());
}

void runAll(bool gpu) {
    const faulty::Installed hook;
    for (const Case& c : kCases) {
        viewer::state = viewer::State{};
        viewer::program = &c.prog;
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        devicesAtStart = faulty::deviceBuffers();
        c.reset();
        for (const Step& s : gpu ? c.gpuSteps : c.cpuSteps) {
            run(c, s);
            if (testing::Test::HasFailure()) break;
        }
        viewer::releaseMode();
        EXPECT_EQ(faulty::deviceBuffers(), devicesAtStart) << c.name;
        for (const holdings::Global& g : holdings::of(c.name)) EXPECT_EQ(holdings::valueOf(g), nullptr) << g.name;
        if (testing::Test::HasFailure()) return;
    }
}

TEST(Refusal, CpuModeKeepsEverythingWhenItsBuffersCannotBeHad) { runAll(false); }

TEST(Refusal, EveryModeKeepsEverythingWhenTheNextBuffersCannotBeHad) {
    REQUIRE_GPU();
    runAll(true);
}

// A cuda build on a machine without a device: the GPU modes are refused for real.
TEST(Refusal, WithoutADeviceTheGpuModesAreRefusedAndTheCpuModeRuns) {
    if (gpu::deviceAvailable()) GTEST_SKIP() << "a device answers: the refusal without one is tested on a machine without";
    const struct {
        int caseIndex;
        const char* keys;
        const char* refused;  // the start of the line, then what it keeps
        const char* keeps;
    } rows[] = {
        {0, "2", "fractview: cannot allocate 12582912 bytes of device memory for pixels_gpu (",
         "; staying in mode 1 (CPU mode)\n"},
        {1, "23", "spherecast: cannot allocate 12582912 bytes of device memory for pixels_gpu (",
         "; staying in mode 1 (CPU mode) at 5 spheres\n"},
        {2, "2\"'", "gravsim: cannot allocate 1024 bytes of device memory for d_pos0 (",
         "; staying in mode 1 (CPU) at 64 bodies\n"},
        {3, "2", "clusterview: cannot allocate 8192 bytes of device memory for d_points (",
         "; staying in mode 1 (CPU) at 512 points\n"},
    };
    for (const auto& row : rows) {
        const Case& c = kCases[row.caseIndex];
        SCOPED_TRACE(c.name);
        c.reset();
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        ASSERT_TRUE(viewer::enter(c.prog, 1));
        const void* held = holdings::valueOf(holdings::of(c.name)[0]);
        testing::internal::CaptureStderr();
        for (const char* k = row.keys; *k; ++k) viewer::keyboard((unsigned char)*k, 0, 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(viewer::state.mode, 1);
        EXPECT_EQ(holdings::valueOf(holdings::of(c.name)[0]), held);
        EXPECT_NE(err.find(row.refused), std::string::npos) << err;
        EXPECT_NE(err.find(row.keeps), std::string::npos) << err;
        viewer::computeFrame();
        viewer::releaseMode();
    }
}

// At start-up nothing runs yet, so there is nothing to keep: the program ends, status 1.
TEST(Refusal, AtStartUpTheProgramEndsWithTheLine) {
    // Earlier launches started the worker pool; a forked child would wait on it at exit.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        int caseIndex, mode;  // mode 0: allocateMode, the programs' own start-up
        int failAt;           // the allocation that is refused, from 1
        cudaError_t error;
        const char* line;
    } rows[] = {
        {0, 0, 1, kOom,
         "^fractview: cannot allocate 12582912 bytes of host memory for pixels \\(out of memory\\); exiting\n$"},
        {0, 2, 2, kOom, "^fractview: cannot allocate 12582912 bytes of device memory for pixels_gpu"},
        {1, 0, 1, kOom,
         "^spherecast: cannot allocate 12582912 bytes of host memory for pixels \\(out of memory\\); exiting\n$"},
        {2, 2, 4, cudaErrorNoDevice,
         "^gravsim: cannot allocate 16384 bytes of device memory for d_pos0 \\(no CUDA-capable device is "
         "detected\\); exiting\n$"},
    };
    const faulty::Installed hook;
    for (const auto& row : rows) {
        const Case& c = kCases[row.caseIndex];
        SCOPED_TRACE(row.line);
        viewer::state = viewer::State{};
        viewer::program = &c.prog;
        if (row.caseIndex == 2) gravsim::bodyCount = gravsim::startBodyCount;
        faulty::arm(row.failAt, row.error);
        EXPECT_EXIT(row.mode ? viewer::enter(c.prog, row.mode) : viewer::allocateMode(), testing::ExitedWithCode(1),
                    row.line);
    }
}

}  // namespace
