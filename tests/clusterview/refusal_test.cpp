// clusterview when a mode key or an arrow cannot have its arrays: for every step of the
// table and every allocation k of that step, the k-th fails. The program must stay exactly
// as it was (mode, point count, every array's pointer and contents on host and device),
// say so in one line, hold no more buffers than before and leave no CUDA error behind;
// with nothing failing, the same step goes through.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../viewer/faulty_memory.h"
#include "gpu_test.h"
#include "kmeans_test.h"
#include "viewer/frame.h"

namespace cv = clusterview;

namespace {

using faulty::Buffer;

constexpr int kUp = 101, kDown = 103;
constexpr int kCount = 512;

const char* nameOf(int mode) { return mode == 1 ? "CPU" : "GPU"; }

// What entering `mode` takes at n points, in order.
std::vector<Buffer> buffersOf(int mode, int n) {
    const size_t n16 = (size_t)n * 16, n4 = (size_t)n * 4, k16 = 16 * cv::clusterCount;
    std::vector<Buffer> b{{"points", n16, false},
                          {"pointColors", n16, false},
                          {"pointLabel", n4, false},
                          {"centroids", k16, false},
                          {"centroidColors", k16, false}};
    if (mode == 2)
        b.insert(b.end(), {{"d_points", n16, true},
                           {"d_pointColors", n16, true},
                           {"d_pointLabel", n4, true},
                           {"d_centroids", k16, true},
                           {"d_centroidColors", k16, true}});
    return b;
}

std::vector<char> hostBytes(const void* p, size_t n) {
    return p ? std::vector<char>((const char*)p, (const char*)p + n) : std::vector<char>();
}
std::vector<char> deviceBytes(const void* p, size_t n) {
    std::vector<char> out;
    if (!p) return out;
    out.resize(n);
    EXPECT_EQ(cudaMemcpy(out.data(), p, n, cudaMemcpyDeviceToHost), cudaSuccess);
    return out;
}

// Everything a refused step must leave as it was.
struct Snapshot {
    int mode, count;
    std::vector<const void*> pointers;
    std::vector<std::vector<char>> contents;
    int liveHost, liveDevice;
    size_t tracked;
};

Snapshot snapshot() {
    Snapshot s{viewer::state.mode, cv::pointCount, {}, {}, faulty::ledger.liveHost, faulty::ledger.liveDevice, 0};
    const size_t n16 = (size_t)cv::pointCount * 16, n4 = (size_t)cv::pointCount * 4, k16 = 16 * cv::clusterCount;
    s.pointers = {cv::points,   cv::pointColors,   cv::pointLabel,   cv::centroids,   cv::centroidColors,
                  cv::d_points, cv::d_pointColors, cv::d_pointLabel, cv::d_centroids, cv::d_centroidColors};
    s.contents = {hostBytes(cv::points, n16),          hostBytes(cv::pointColors, n16),
                  hostBytes(cv::pointLabel, n4),        hostBytes(cv::centroids, k16),
                  hostBytes(cv::centroidColors, k16),   deviceBytes(cv::d_points, n16),
                  deviceBytes(cv::d_pointColors, n16),  deviceBytes(cv::d_pointLabel, n4),
                  deviceBytes(cv::d_centroids, k16),    deviceBytes(cv::d_centroidColors, k16)};
#if GPU_BACKEND_IS_CPU
    s.tracked = gpu::cpu::trackedAllocationCount();
#endif
    return s;
}

void expectUnchanged(const Snapshot& before) {
    const Snapshot now = snapshot();
    EXPECT_EQ(now.mode, before.mode);
    EXPECT_EQ(now.count, before.count);
    for (size_t i = 0; i < before.pointers.size(); ++i) {
        EXPECT_EQ(now.pointers[i], before.pointers[i]) << "array " << i;
        EXPECT_TRUE(now.contents[i] == before.contents[i]) << "array " << i << " changed";
    }
    EXPECT_EQ(now.liveHost, before.liveHost) << "host buffers leaked or lost";
    EXPECT_EQ(now.liveDevice, before.liveDevice) << "device buffers leaked or lost";
    EXPECT_EQ(now.tracked, before.tracked);
}

struct Step {
    int from;
    unsigned char key;  // a mode key, or 0 for the arrow
    int arrow;
    int to, countAfter;
    cudaError_t deviceError;
};

class ClusterviewRefusal : public testing::Test {
protected:
    void SetUp() override {
        cvtest::resetState();
        srand(11);
        prog = cv::program(nullptr);
        viewer::program = &prog;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
        faulty::ledger = faulty::Ledger{};
        cv::memory = faulty::memory();
    }
    void TearDown() override {
        viewer::releaseMode();
        EXPECT_EQ(faulty::ledger.liveHost, 0);
        EXPECT_EQ(faulty::ledger.liveDevice, 0);
        cv::memory = viewer::systemMemory();
        cvtest::resetState();
        viewer::program = nullptr;
    }

    void run(const Step& s) {
        SCOPED_TRACE("from mode " + std::to_string(s.from) + (s.key ? std::string(", key ") + (char)s.key
                                                                     : ", arrow " + std::to_string(s.arrow)));
        cv::pointCount = kCount;
        faulty::arm(0);
        ASSERT_TRUE(viewer::switchMode(s.from));
        viewer::computeFrame();  // a running state: labels, colours and centroids of one iteration
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
            EXPECT_EQ(err, faulty::refusalLine("clusterview", takes[k - 1], s.deviceError, s.from, nameOf(s.from),
                                               " at " + std::to_string(kCount) + " points"));
            EXPECT_FALSE(faulty::cudaErrorLeft()) << "the refused allocation's error was left for the next launch";
            if (HasFailure()) return;
        }
        viewer::computeFrame();  // the running mode still iterates
        faulty::arm(0);
        testing::internal::CaptureStderr();
        press(s);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(faulty::ledger.calls, (int)takes.size());
        EXPECT_EQ(viewer::state.mode, s.to);
        EXPECT_EQ(cv::pointCount, s.countAfter);
        EXPECT_EQ(faulty::ledger.liveHost, 5);
        EXPECT_EQ(faulty::ledger.liveDevice, s.to == 2 ? 5 : 0);
        viewer::computeFrame();
        EXPECT_FALSE(faulty::cudaErrorLeft());
    }

    static void press(const Step& s) {
        if (s.key)
            viewer::keyboard(s.key, 0, 0);
        else
            cv::specialKeys(s.arrow, 0, 0);
    }
    viewer::Program prog{};
};

TEST_F(ClusterviewRefusal, CpuModeKeepsEverythingWhenItsArraysCannotBeHad) {
    const Step steps[] = {
        {1, '1', 0, 1, kCount, cudaErrorMemoryAllocation},
        {1, 0, kUp, 1, 2 * kCount, cudaErrorMemoryAllocation},
        {1, 0, kDown, 1, kCount / 2, cudaErrorMemoryAllocation},
    };
    for (const Step& s : steps) {
        run(s);
        if (HasFailure()) return;
    }
}

TEST_F(ClusterviewRefusal, EveryModeKeepsEverythingWhenTheNextArraysCannotBeHad) {
    REQUIRE_GPU();
    const Step steps[] = {
        {1, '2', 0, 2, kCount, cudaErrorMemoryAllocation},
        {2, '1', 0, 1, kCount, cudaErrorMemoryAllocation},
        {2, '2', 0, 2, kCount, cudaErrorNoDevice},
        {2, 0, kUp, 2, 2 * kCount, cudaErrorMemoryAllocation},
        {2, 0, kDown, 2, kCount / 2, cudaErrorInitializationError},
    };
    for (const Step& s : steps) {
        run(s);
        if (HasFailure()) return;
    }
}

// A cuda build on a machine without a device: the GPU mode is refused for real.
TEST(ClusterviewNoDevice, GpuModeIsRefusedAndTheCpuModeRuns) {
    if (gpu::deviceAvailable()) GTEST_SKIP() << "a device answers: the refusal without one is tested on a machine without";
    cvtest::resetState();
    viewer::Program p = cv::program(nullptr);
    viewer::program = &p;
    viewer::platform = viewer::Platform{[] { return 0; }, [](const char*) {}};
    viewer::state = viewer::State{};
    cv::pointCount = kCount;
    ASSERT_TRUE(viewer::switchMode(1));
    const float4* held = cv::points;
    testing::internal::CaptureStderr();
    viewer::keyboard('2', 0, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(viewer::state.mode, 1);
    EXPECT_EQ(cv::points, held);
    EXPECT_NE(err.find("clusterview: cannot allocate 8192 bytes of device memory for d_points ("), std::string::npos)
        << err;
    EXPECT_NE(err.find("; staying in mode 1 (CPU) at 512 points\n"), std::string::npos) << err;
    viewer::computeFrame();
    cvtest::resetState();
    viewer::program = nullptr;
}

}  // namespace
