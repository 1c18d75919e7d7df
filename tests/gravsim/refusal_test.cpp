// gravsim when a mode key or an arrow cannot have its arrays: for every step of the table
// and every allocation k of that step, the k-th fails. The program must stay exactly as it
// was (mode, count, every array's pointer and contents, host and device, and the buffer
// pair in use), say so in one line, hold no more buffers than before, and leave no CUDA
// error behind; with nothing failing, the same step goes through.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../viewer/faulty_memory.h"
#include "gpu_test.h"
#include "gravsim/kernel.h"
#include "viewer/frame.h"

namespace {

using namespace gravsim;
using faulty::Buffer;

constexpr int kUp = 101, kDown = 103;
constexpr int kCount = 64;

const char* nameOf(int mode) {
    static const char* names[] = {"", "CPU", "GPU", "GPU double buffer", "GPU shared memory"};
    return names[mode];
}

// What entering `mode` takes at n bodies, in order.
std::vector<Buffer> buffersOf(int mode, int n) {
    const size_t v = (size_t)n * 16, m = (size_t)n * 4;
    std::vector<Buffer> b{{"pos", v, false}, {"vel", v, false}, {"mass", m, false}};
    if (mode >= 2)
        b.insert(b.end(), {{"d_pos0", v, true}, {"d_pos1", v, true}, {"d_vel0", v, true}, {"d_vel1", v, true},
                           {"d_mass", m, true}});
    return b;
}

template <typename T>
std::vector<T> hostCopy(const T* p, int n) {
    return p ? std::vector<T>(p, p + n) : std::vector<T>();
}
template <typename T>
std::vector<T> deviceCopy(const T* p, int n) {
    std::vector<T> out;
    if (!p) return out;
    out.resize(n);
    EXPECT_EQ(cudaMemcpy(out.data(), p, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return out;
}

// Everything a refused step must leave as it was.
struct Snapshot {
    int mode, count, currentBuffer;
    const void* pointers[8];
    std::vector<float4> pos, vel, dPos0, dPos1, dVel0, dVel1;
    std::vector<float> mass, dMass;
    int liveHost, liveDevice;
#if GPU_BACKEND_IS_CPU
    size_t tracked;
#endif
};

Snapshot snapshot() {
    const int n = bodyCount;
    Snapshot s{viewer::state.mode, n, gravsim::currentBuffer,
               {gravsim::pos, gravsim::vel, gravsim::mass, d_pos0, d_pos1, d_vel0, d_vel1, d_mass}};
    s.pos = hostCopy(gravsim::pos, n);
    s.vel = hostCopy(gravsim::vel, n);
    s.mass = hostCopy(gravsim::mass, n);
    s.dPos0 = deviceCopy(d_pos0, n);
    s.dPos1 = deviceCopy(d_pos1, n);
    s.dVel0 = deviceCopy(d_vel0, n);
    s.dVel1 = deviceCopy(d_vel1, n);
    s.dMass = deviceCopy(d_mass, n);
    s.liveHost = faulty::ledger.liveHost;
    s.liveDevice = faulty::ledger.liveDevice;
#if GPU_BACKEND_IS_CPU
    s.tracked = gpu::cpu::trackedAllocationCount();
#endif
    return s;
}

template <typename T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

void expectUnchanged(const Snapshot& before) {
    const Snapshot now = snapshot();
    EXPECT_EQ(now.mode, before.mode);
    EXPECT_EQ(now.count, before.count);
    EXPECT_EQ(now.currentBuffer, before.currentBuffer);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(now.pointers[i], before.pointers[i]) << "array " << i;
    EXPECT_TRUE(sameBytes(now.pos, before.pos) && sameBytes(now.vel, before.vel) && sameBytes(now.mass, before.mass))
        << "host arrays changed";
    EXPECT_TRUE(sameBytes(now.dPos0, before.dPos0) && sameBytes(now.dPos1, before.dPos1) &&
                sameBytes(now.dVel0, before.dVel0) && sameBytes(now.dVel1, before.dVel1) &&
                sameBytes(now.dMass, before.dMass))
        << "device arrays changed";
    EXPECT_EQ(now.liveHost, before.liveHost) << "host buffers leaked or lost";
    EXPECT_EQ(now.liveDevice, before.liveDevice) << "device buffers leaked or lost";
#if GPU_BACKEND_IS_CPU
    EXPECT_EQ(now.tracked, before.tracked);
#endif
}

struct Step {
    int from;
    unsigned char key;  // a mode key, or 0 for the arrow
    int arrow;
    int to, countAfter;
    cudaError_t deviceError;
};

viewer::Program program;

class GravsimRefusal : public ::testing::Test {
protected:
    void SetUp() override {
        program = gravsim::program(nullptr);
        viewer::program = &program;
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        viewer::state = viewer::State{};
        faulty::ledger = faulty::Ledger{};
        memory = faulty::memory();
        bodyCount = kCount;
        srand(7);
    }
    void TearDown() override {
        viewer::releaseMode();
        EXPECT_EQ(faulty::ledger.liveHost, 0);
        EXPECT_EQ(faulty::ledger.liveDevice, 0);
        memory = viewer::systemMemory();
        bodyCount = startBodyCount;
    }

    void run(const Step& s) {
        SCOPED_TRACE("from mode " + std::to_string(s.from) + (s.key ? std::string(", key ") + (char)s.key
                                                                     : ", arrow " + std::to_string(s.arrow)));
        bodyCount = kCount;
        faulty::arm(0);
        ASSERT_TRUE(viewer::switchMode(s.from));
        viewer::computeFrame();  // a running state: stepped once (modes 3 and 4 on their second pair)
        const std::vector<Buffer> takes = buffersOf(s.to, s.countAfter);
        for (size_t k = 1; k <= takes.size(); ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
            const Snapshot before = snapshot();
            faulty::arm((int)k, s.deviceError);
            testing::internal::CaptureStderr();
            press(s);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(faulty::ledger.calls, (int)k) << "allocations went on after a refusal";
            expectUnchanged(before);
            EXPECT_EQ(err, faulty::refusalLine("gravsim", takes[k - 1], s.deviceError, s.from, nameOf(s.from),
                                               " at " + std::to_string(kCount) + " bodies"));
            EXPECT_FALSE(faulty::cudaErrorLeft()) << "the refused allocation's error was left for the next launch";
            if (HasFailure()) return;
        }
        // The running mode still steps.
        viewer::computeFrame();
        EXPECT_FALSE(faulty::cudaErrorLeft());
        // Nothing failing: the step goes through, with every buffer of the table and nothing else.
        faulty::arm(0);
        const std::vector<float4> old = hostCopy(pos, bodyCount);
        testing::internal::CaptureStderr();
        press(s);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(faulty::ledger.calls, (int)takes.size());
        EXPECT_EQ(viewer::state.mode, s.to);
        EXPECT_EQ(bodyCount, s.countAfter);
        EXPECT_EQ(faulty::ledger.liveHost, 3);
        EXPECT_EQ(faulty::ledger.liveDevice, s.to >= 2 ? 5 : 0);
        EXPECT_FALSE(s.countAfter == kCount && sameBytes(hostCopy(pos, bodyCount), old)) << "no new cloud";
        viewer::computeFrame();
        EXPECT_FALSE(faulty::cudaErrorLeft());
    }

    static void press(const Step& s) {
        if (s.key)
            viewer::keyboard(s.key, 0, 0);
        else
            specialKeys(s.arrow, 0, 0);
    }
};

TEST_F(GravsimRefusal, CpuModeKeepsEverythingWhenItsArraysCannotBeHad) {
    const Step steps[] = {
        {1, '&', 0, 1, kCount, cudaErrorMemoryAllocation},  // the current mode again
        {1, 0, kUp, 1, 80, cudaErrorMemoryAllocation},
        {1, 0, kDown, 1, 48, cudaErrorMemoryAllocation},
    };
    for (const Step& s : steps) {
        run(s);
        if (HasFailure()) return;
    }
}

TEST_F(GravsimRefusal, EveryModeKeepsEverythingWhenTheNextArraysCannotBeHad) {
    REQUIRE_GPU();
    const Step steps[] = {
        {1, '2', 0, 2, kCount, cudaErrorMemoryAllocation},
        {2, '&', 0, 1, kCount, cudaErrorMemoryAllocation},
        {2, '"', 0, 3, kCount, cudaErrorNoDevice},
        {3, '\'', 0, 4, kCount, cudaErrorMemoryAllocation},
        {4, '\'', 0, 4, kCount, cudaErrorInitializationError},
        {4, '2', 0, 2, kCount, cudaErrorMemoryAllocation},
        {2, 0, kUp, 2, 80, cudaErrorMemoryAllocation},
        {3, 0, kDown, 3, 48, cudaErrorNoDevice},
        {4, 0, kUp, 4, 80, cudaErrorMemoryAllocation},
    };
    for (const Step& s : steps) {
        run(s);
        if (HasFailure()) return;
    }
}

// A cuda build on a machine without a device: the GPU modes are refused for real.
TEST(GravsimNoDevice, GpuModesAreRefusedAndTheCpuModeRuns) {
    if (gpu::deviceAvailable()) GTEST_SKIP() << "a device answers: the refusal without one is tested on a machine without";
    viewer::Program p = gravsim::program(nullptr);
    viewer::program = &p;
    viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
    viewer::state = viewer::State{};
    bodyCount = kCount;
    ASSERT_TRUE(viewer::switchMode(1));
    const float4* held = pos;
    testing::internal::CaptureStderr();
    for (unsigned char key : {'2', '"', '\''}) viewer::keyboard(key, 0, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_EQ(pos, held);
    EXPECT_NE(err.find("gravsim: cannot allocate 1024 bytes of device memory for d_pos0 ("), std::string::npos) << err;
    EXPECT_NE(err.find("; staying in mode 1 (CPU) at 64 bodies\n"), std::string::npos) << err;
    viewer::computeFrame();
    viewer::releaseMode();
    bodyCount = startBodyCount;
}

}  // namespace
