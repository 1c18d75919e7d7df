// The viewer frame: title refresh, rate, title texts, mode switching and keys, driven
// with made-up times and a recording program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clusterview/kernel.h"
#include "fractview/kernel.h"
#include "gravsim/kernel.h"
#include "recording.h"
#include "spherecast/kernel.h"
#include "viewer/frame.h"

namespace {

std::vector<std::string>& events = recording::events;
int fakeNow = 0;
int fakeCount = 0;
std::string lastTitle;

int nowMs() { return fakeNow; }
void setTitle(const char* t) { lastTitle = t; }
void compute1() { events.push_back("compute1"); }
void compute2() { events.push_back("compute2:" + lastTitle); }
int count() { return fakeCount; }

class Frame : public testing::Test {
protected:
    void use(const viewer::FrameParams& params) {
        prog = recording::program(params, compute1, compute2, count);
        viewer::program = &prog;
        viewer::state = viewer::State{};
        viewer::platform = viewer::Platform{nowMs, setTitle};
        events.clear();
        lastTitle.clear();
        fakeNow = 0;
        fakeCount = 0;
    }
    // Runs frames at the given times.
    void framesAt(std::initializer_list<int> times) {
        for (int t : times) {
            fakeNow = t;
            viewer::computeFrame();
        }
    }
    viewer::Program prog{};
};

TEST(FrameDecisions, RefreshOnlyStrictlyAfterTheInterval) {
    EXPECT_FALSE(viewer::titleDue(500, 0, 500));
    EXPECT_TRUE(viewer::titleDue(501, 0, 500));
    EXPECT_FALSE(viewer::titleDue(1200, 1000, 200));
    EXPECT_TRUE(viewer::titleDue(1201, 1000, 200));
    EXPECT_EQ(viewer::frameRate(30, 600, 0), 50.0f);
    EXPECT_EQ(viewer::frameRate(1, 3001, 0), 1000.0f / 3001.0f);
}

TEST(FrameDecisions, TitleTextsOfTheFourPrograms) {
    char buf[viewer::kTitleBufferSize];
    viewer::formatTitle(buf, fractview::frame(), "CPU mode", 0, viewer::frameRate(30, 600, 0));
    EXPECT_STREQ(buf, "Julia Fractals:  CPU mode, 50.00 FPS");
    viewer::formatTitle(buf, spherecast::frame(), viewer::modeName(spherecast::frame(), 3), 0, 12.345f);
    EXPECT_STREQ(buf, "Raytracer:  GPU mode - constant memory, 12.35 FPS");
    viewer::formatTitle(buf, gravsim::frame(), viewer::modeName(gravsim::frame(), 3), 1024,
                        viewer::frameRate(25, 1250, 1000));
    EXPECT_STREQ(buf, "N-Body (mode: GPU double buffer, bodies: 1024, FPS: 100.00)");
    viewer::formatTitle(buf, clusterview::frame(), viewer::modeName(clusterview::frame(), 2), 2097152,
                        viewer::frameRate(3, 300, 0));
    EXPECT_STREQ(buf, "K-means: GPU, 2097152 points, 10.00 FPS");
    EXPECT_STREQ(viewer::modeName(fractview::frame(), 3), "");
    EXPECT_STREQ(viewer::modeName(gravsim::frame(), 0), "");
}

TEST_F(Frame, TitleRefreshCountsFramesAndDescribesTheComingMode) {
    use(fractview::frame());
    viewer::state.mode = 2;
    framesAt({100, 200, 300, 400, 500});  // 500 is not more than 500 ms
    EXPECT_EQ(lastTitle, "");
    EXPECT_EQ(viewer::state.frameCount, 5);
    framesAt({600});
    // The refresh comes before the compute step and counts the frame being computed.
    EXPECT_EQ(events.back(), "compute2:Julia Fractals:  GPU mode, 10.00 FPS");
    EXPECT_EQ(viewer::state.frameCount, 0);
    EXPECT_EQ(viewer::state.lastTitleTime, 600);
    framesAt({1100});
    EXPECT_EQ(viewer::state.frameCount, 1);
    framesAt({1101});
    EXPECT_EQ(lastTitle, "Julia Fractals:  GPU mode, 3.99 FPS");  // 2 frames in 501 ms
}

TEST_F(Frame, TitleCarriesTheProgramsCount) {
    use(gravsim::frame());
    fakeCount = 1536;
    framesAt({150, 201});
    EXPECT_EQ(lastTitle, "N-Body (mode: CPU, bodies: 1536, FPS: 9.95)");
}

TEST_F(Frame, SwitchAllocatesThenReleasesEvenForTheCurrentMode) {
    use(fractview::frame());
    viewer::allocateMode();
    viewer::keyboard('2', 0, 0);
    viewer::keyboard('2', 0, 0);
    viewer::keyboard('1', 0, 0);
    EXPECT_EQ(events, (std::vector<std::string>{"allocate1", "allocate2", "release1", "allocate2", "release2",
                                                 "allocate1", "release2"}));
    EXPECT_EQ(viewer::state.mode, 1);
}

TEST_F(Frame, OtherKeysAndUnknownModesDoNothing) {
    use(gravsim::frame());
    for (int k : {0x31, 0x33, 0x34, 0x61, 0x20, 0xE9}) viewer::keyboard((unsigned char)k, 0, 0);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(viewer::state.mode, 1);
    viewer::keyboard(0x26, 0, 0);
    viewer::keyboard(0x27, 0, 0);
    EXPECT_EQ(viewer::state.mode, 4);
    events.clear();
    // Mode 4 has no functions in the recording program: nothing runs, the name is "".
    viewer::computeFrame();
    viewer::switchMode(7);
    framesAt({1000});
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(lastTitle, "N-Body (mode: , bodies: 0, FPS: 2.00)");
}

// ---- refused steps -----------------------------------------------------------------------

// The recording modes are refused while recording::refuseNext is set: mode 1's host
// buffer "pos", mode 2's device buffer "d_pos0", 4096 bytes each; NO_DEVICE in a line
// stands for the runtime's text of cudaErrorNoDevice.
TEST_F(Frame, RefusedStepKeepsModeAndCountAndSaysSoOnce) {
    const struct {
        const viewer::FrameParams* params;
        int from;
        unsigned char key;  // a mode key, or 0 for a count change to 2048
        const char* line;
    } rows[] = {
        {&fractview::frame(), 1, '2',
         "fractview: cannot allocate 4096 bytes of device memory for d_pos0 (NO_DEVICE); staying in mode 1 "
         "(CPU mode)\n"},
        {&spherecast::frame(), 2, '1',
         "spherecast: cannot allocate 4096 bytes of host memory for pos (out of memory); staying in mode 2 "
         "(GPU mode) at 1024 spheres\n"},
        {&gravsim::frame(), 2, 0,
         "gravsim: cannot allocate 4096 bytes of device memory for d_pos0 (NO_DEVICE); staying in mode 2 (GPU) "
         "at 1024 bodies\n"},
        {&clusterview::frame(), 1, 0,
         "clusterview: cannot allocate 4096 bytes of host memory for pos (out of memory); staying in mode 1 (CPU) "
         "at 1024 points\n"},
        {&clusterview::frame(), 1, '1',  // the current mode again
         "clusterview: cannot allocate 4096 bytes of host memory for pos (out of memory); staying in mode 1 (CPU) "
         "at 1024 points\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        std::string line = row.line;
        if (size_t at = line.find("NO_DEVICE"); at != std::string::npos)
            line.replace(at, 9, cudaGetErrorString(cudaErrorNoDevice));
        use(*row.params);
        fakeCount = 1024;
        ASSERT_TRUE(viewer::switchMode(row.from));
        events.clear();
        recording::refuseNext = true;
        testing::internal::CaptureStderr();
        bool entered = row.key ? viewer::switchMode(row.key == '1' ? 1 : 2) : viewer::changeCount(&fakeCount, 2048);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
        EXPECT_FALSE(entered);
        EXPECT_EQ(viewer::state.mode, row.from);
        EXPECT_EQ(fakeCount, 1024);
        // The new mode was tried; the old one was not released.
        EXPECT_EQ(events, (std::vector<std::string>{row.key == '1' ? "allocate1" : row.key ? "allocate2"
                                                                               : "allocate" + std::to_string(row.from)}));
        // Nothing refused: the same step goes through and releases the old mode after.
        recording::refuseNext = false;
        events.clear();
        testing::internal::CaptureStderr();
        entered = row.key ? viewer::switchMode(row.key == '1' ? 1 : 2) : viewer::changeCount(&fakeCount, 2048);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(entered);
        EXPECT_EQ(fakeCount, row.key ? 1024 : 2048);
        EXPECT_EQ(events.size(), 2u);
        EXPECT_EQ(events.back(), "release" + std::to_string(row.from));
    }
}

// Before any mode runs there is nothing to keep: a refusal ends the program.
TEST_F(Frame, RefusalAtStartUpExitsWithStatusOne) {
    use(gravsim::frame());
    recording::refuseNext = true;
    EXPECT_EXIT(viewer::switchMode(1), testing::ExitedWithCode(1),
                "^gravsim: cannot allocate 4096 bytes of host memory for pos \\(out of memory\\); exiting\n$");
    use(spherecast::frame());
    recording::refuseNext = true;
    EXPECT_EXIT(viewer::allocateMode(), testing::ExitedWithCode(1), "^spherecast: cannot allocate 4096 bytes");
}

TEST_F(Frame, EscapeExitsWithStatusZero) {
    use(spherecast::frame());
    EXPECT_EXIT(viewer::keyboard(0x1B, 10, 10), testing::ExitedWithCode(0), "");
}

}  // namespace
