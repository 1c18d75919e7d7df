// spherecast when a mode key or the up arrow cannot have its buffers: for every step of the
// table and every allocation k of that step, the k-th fails. The program must stay exactly
// as it was (mode, sphere count, the scene, every buffer's pointer, the picture), say so in
// one line, hold no more buffers than before and leave no CUDA error behind; the next frame
// draws the same picture (in mode 3 from the constant scene it had). With nothing failing,
// the same step goes through.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../viewer/faulty_memory.h"
#include "gpu_test.h"
#include "spherecast_test.h"

using namespace sctest;

namespace {

using faulty::Buffer;

constexpr int kUp = 101, kDown = 103;
constexpr int kCount = 5;  // spheres in the running scene

const char* nameOf(int mode) {
    return mode == 1 ? "CPU mode" : mode == 2 ? "GPU mode" : "GPU mode - constant memory";
}

// What entering `mode` with `count` spheres takes, in order (mode 3 makes 20).
std::vector<Buffer> buffersOf(int mode, int count) {
    std::vector<Buffer> b{{"pixels", sc::imageBytes, false},
                          {"spheres", (size_t)(mode == 3 ? sc::constantSphereCount : count) * sizeof(sc::Sphere), false}};
    if (mode >= 2) b.push_back({"pixels_gpu", sc::imageBytes, true});
    return b;
}

std::vector<char> sceneBytes() {
    return std::vector<char>((const char*)sc::spheres, (const char*)(sc::spheres + sc::spheres_count));
}

void* failingResize(void*, size_t) { return nullptr; }

enum class Press { ModeKey, Up };

struct Step {
    int from;
    Press press;
    unsigned char key;
    int fromCount;             // spheres in the running scene
    bool resizeFails;          // the up arrow's realloc fails (instead of the k-th allocation)
    int to, countAfter;
    cudaError_t deviceError;
};

class SpherecastRefusal : public testing::Test {
protected:
    void SetUp() override {
        resetState();
        srand(17);
        faulty::ledger = faulty::Ledger{};
        sc::memory = faulty::memory();
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        // A view of the whole random scene.
        sc::scale = 1.7f;
        sc::offsetX = -500.0f;
        sc::offsetY = -380.0f;
    }
    void TearDown() override {
        viewer::releaseMode();
        EXPECT_EQ(faulty::ledger.liveHost, 0);
        EXPECT_EQ(faulty::ledger.liveDevice, 0);
        resetState();
    }

    void run(const Step& s) {
        SCOPED_TRACE("from mode " + std::to_string(s.from) + " at " + std::to_string(s.fromCount) +
                     (s.press == Press::Up ? " spheres, up" : std::string(" spheres, key ") + (char)s.key));
        faulty::arm(0);
        sc::resize = realloc;
        ASSERT_TRUE(viewer::switchMode(s.from));
        while (sc::spheres_count > s.fromCount) sc::specialKeys(kDown, 0, 0);
        ASSERT_EQ(sc::spheres_count, s.fromCount);
        viewer::computeFrame();
        const std::vector<float4> shown = image();
        ASSERT_GT(litPixels(shown), s.fromCount ? 1000 : -1) << "a picture worth keeping";
        std::vector<Buffer> takes;
        if (s.press == Press::ModeKey)
            takes = buffersOf(s.to, s.fromCount);
        else if (!s.resizeFails)
            takes = {{"spheres", (size_t)s.countAfter * sizeof(sc::Sphere), false}};
        const size_t failures = s.resizeFails ? 1 : takes.size();
        for (size_t k = 1; k <= failures; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
            const float4 *image0 = sc::pixels, *deviceImage = sc::pixels_gpu;
            const sc::Sphere* scene = sc::spheres;
            const std::vector<char> records = sceneBytes();
            const int liveHost = faulty::ledger.liveHost, liveDevice = faulty::ledger.liveDevice;
#if GPU_BACKEND_IS_CPU
            const size_t tracked = gpu::cpu::trackedAllocationCount();
#endif
            faulty::arm(s.resizeFails ? 0 : (int)k, s.deviceError);
            if (s.resizeFails) sc::resize = failingResize;
            testing::internal::CaptureStderr();
            press(s);
            const std::string err = testing::internal::GetCapturedStderr();
            sc::resize = realloc;
            EXPECT_EQ(faulty::ledger.calls, s.resizeFails ? 0 : (int)k) << "allocations went on after a refusal";
            EXPECT_EQ(viewer::state.mode, s.from);
            EXPECT_EQ(sc::spheres_count, s.fromCount);
            EXPECT_EQ(sc::pixels, image0);
            EXPECT_EQ(sc::pixels_gpu, deviceImage);
            EXPECT_EQ(sc::spheres, scene);
            EXPECT_TRUE(sceneBytes() == records) << "the scene changed";
            EXPECT_TRUE(sameImage(image(), shown)) << "the picture changed";
            EXPECT_EQ(faulty::ledger.liveHost, liveHost) << "host buffers leaked or lost";
            EXPECT_EQ(faulty::ledger.liveDevice, liveDevice) << "device buffers leaked or lost";
#if GPU_BACKEND_IS_CPU
            EXPECT_EQ(gpu::cpu::trackedAllocationCount(), tracked);
#endif
            const Buffer failed = s.resizeFails ? Buffer{"spheres", (size_t)s.countAfter * sizeof(sc::Sphere), false}
                                                : takes[k - 1];
            EXPECT_EQ(err, faulty::refusalLine("spherecast", failed, s.deviceError, s.from, nameOf(s.from),
                                               " at " + std::to_string(s.fromCount) + " spheres"));
            EXPECT_FALSE(faulty::cudaErrorLeft()) << "the refused allocation's error was left for the next launch";
            // The running mode draws the same picture again.
            std::memset((void*)sc::pixels, 0x7f, sc::imageBytes);
            viewer::computeFrame();
            EXPECT_TRUE(sameImage(image(), shown)) << "the next frame drew something else";
            if (HasFailure()) return;
        }
        faulty::arm(0);
        testing::internal::CaptureStderr();
        press(s);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(faulty::ledger.calls, (int)takes.size());
        EXPECT_EQ(viewer::state.mode, s.to);
        EXPECT_EQ(sc::spheres_count, s.countAfter);
        EXPECT_EQ(faulty::ledger.liveHost, s.countAfter > 0 ? 2 : 1);
        EXPECT_EQ(faulty::ledger.liveDevice, s.to >= 2 ? 1 : 0);
        viewer::computeFrame();
        EXPECT_FALSE(faulty::cudaErrorLeft());
    }

    static void press(const Step& s) {
        if (s.press == Press::ModeKey)
            viewer::keyboard(s.key, 0, 0);
        else
            sc::specialKeys(kUp, 0, 0);
    }
};

TEST_F(SpherecastRefusal, CpuModeKeepsItsSceneAndPicture) {
    const cudaError_t oom = cudaErrorMemoryAllocation;
    const Step steps[] = {
        {1, Press::ModeKey, '1', kCount, false, 1, kCount, oom},
        {1, Press::Up, 0, kCount, true, 1, kCount + 1, oom},
        {1, Press::Up, 0, 0, false, 1, 1, oom},  // an empty scene grows through the allocator
    };
    for (const Step& s : steps) {
        run(s);
        if (HasFailure()) return;
    }
}

TEST_F(SpherecastRefusal, EveryModeKeepsItsSceneAndPicture) {
    REQUIRE_GPU();
    const cudaError_t oom = cudaErrorMemoryAllocation;
    const Step steps[] = {
        {1, Press::ModeKey, '2', kCount, false, 2, kCount, oom},
        {2, Press::ModeKey, '3', kCount, false, 3, sc::constantSphereCount, cudaErrorNoDevice},
        {3, Press::ModeKey, '1', kCount, false, 1, kCount, oom},
        {3, Press::ModeKey, '3', kCount, false, 3, sc::constantSphereCount, oom},
        {2, Press::ModeKey, '2', kCount, false, 2, kCount, cudaErrorInitializationError},
        {3, Press::Up, 0, kCount, true, 3, kCount + 1, oom},
        {2, Press::Up, 0, 0, false, 2, 1, oom},
    };
    for (const Step& s : steps) {
        run(s);
        if (HasFailure()) return;
    }
}

// A cuda build on a machine without a device: the GPU modes are refused for real.
TEST(SpherecastNoDevice, GpuModesAreRefusedAndTheCpuModeRuns) {
    if (gpu::deviceAvailable()) GTEST_SKIP() << "a device answers: the refusal without one is tested on a machine without";
    resetState();
    viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
    ASSERT_TRUE(viewer::allocateMode());
    const float4* held = sc::pixels;
    testing::internal::CaptureStderr();
    viewer::keyboard('2', 0, 0);
    viewer::keyboard('3', 0, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_EQ(sc::spheres_count, sc::startSphereCount);
    EXPECT_EQ(sc::pixels, held);
    EXPECT_NE(err.find("spherecast: cannot allocate 12582912 bytes of device memory for pixels_gpu ("),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("; staying in mode 1 (CPU mode) at 20 spheres\n"), std::string::npos) << err;
    viewer::computeFrame();
    resetState();
}

}  // namespace
