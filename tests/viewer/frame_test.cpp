// The viewer frame: title refresh, rate, title texts, mode switching and keys, driven
// with made-up times and a recording program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "viewer/frame.h"

namespace {

std::vector<std::string> events;
int fakeNow = 0;
int fakeCount = 0;
std::string lastTitle;

int nowMs() { return fakeNow; }
void setTitle(const char* t) { lastTitle = t; }
// A recording allocate: enters at once, releasing the old mode after its own buffers.
bool alloc1(void (*releaseOld)()) {
    events.push_back("alloc1");
    if (releaseOld) releaseOld();
    return true;
}
void release1() { events.push_back("release1"); }
void compute1() { events.push_back("compute1"); }
bool alloc2(void (*releaseOld)()) {
    events.push_back("alloc2");
    if (releaseOld) releaseOld();
    return true;
}
void release2() { events.push_back("release2"); }
void compute2() { events.push_back("compute2:" + lastTitle); }
int count() { return fakeCount; }

viewer::Program recording(const viewer::FrameParams& params) {
    viewer::Program p{};
    p.params = &params;
    p.modes[1] = {alloc1, release1, compute1};
    p.modes[2] = {alloc2, release2, compute2};
    p.count = count;
    return p;
}

class Frame : public testing::Test {
protected:
    void use(const viewer::FrameParams& params) {
        prog = recording(params);
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
    viewer::formatTitle(buf, viewer::fractviewFrame, "CPU mode", 0, viewer::frameRate(30, 600, 0));
    EXPECT_STREQ(buf, "Julia Fractals:  CPU mode, 50.00 FPS");
    viewer::formatTitle(buf, viewer::spherecastFrame, viewer::modeName(viewer::spherecastFrame, 3), 0, 12.345f);
    EXPECT_STREQ(buf, "Raytracer:  GPU mode - constant memory, 12.35 FPS");
    viewer::formatTitle(buf, viewer::gravsimFrame, viewer::modeName(viewer::gravsimFrame, 3), 1024,
                        viewer::frameRate(25, 1250, 1000));
    EXPECT_STREQ(buf, "N-Body (mode: GPU double buffer, bodies: 1024, FPS: 100.00)");
    viewer::formatTitle(buf, viewer::clusterviewFrame, viewer::modeName(viewer::clusterviewFrame, 2), 2097152,
                        viewer::frameRate(3, 300, 0));
    EXPECT_STREQ(buf, "K-means: GPU, 2097152 points, 10.00 FPS");
    EXPECT_STREQ(viewer::modeName(viewer::fractviewFrame, 3), "");
    EXPECT_STREQ(viewer::modeName(viewer::gravsimFrame, 0), "");
}

TEST_F(Frame, TitleRefreshCountsFramesAndDescribesTheComingMode) {
    use(viewer::fractviewFrame);
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
    use(viewer::gravsimFrame);
    fakeCount = 1536;
    framesAt({150, 201});
    EXPECT_EQ(lastTitle, "N-Body (mode: CPU, bodies: 1536, FPS: 9.95)");
}

TEST_F(Frame, SwitchAllocatesThenReleasesEvenForTheCurrentMode) {
    use(viewer::fractviewFrame);
    viewer::allocateMode();
    viewer::keyboard('2', 0, 0);
    viewer::keyboard('2', 0, 0);
    viewer::keyboard('1', 0, 0);
    EXPECT_EQ(events, (std::vector<std::string>{"alloc1", "alloc2", "release1", "alloc2", "release2", "alloc1",
                                                 "release2"}));
    EXPECT_EQ(viewer::state.mode, 1);
}

TEST_F(Frame, OtherKeysAndUnknownModesDoNothing) {
    use(viewer::gravsimFrame);
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

// A mode whose allocate is refused when refuseNext is set: it tells the frame what it
// could not get and returns without releasing anything.
bool refuseNext = false;
bool refusing(int mode, void (*releaseOld)()) {
    events.push_back("alloc" + std::to_string(mode));
    if (refuseNext) {
        viewer::refuse(mode == 1 ? "pos" : "d_pos0", 4096, mode != 1, mode == 1 ? "out of memory" : "no CUDA device");
        return false;
    }
    if (releaseOld) releaseOld();
    return true;
}
bool refusing1(void (*releaseOld)()) { return refusing(1, releaseOld); }
bool refusing2(void (*releaseOld)()) { return refusing(2, releaseOld); }

TEST_F(Frame, RefusedStepKeepsModeAndCountAndSaysSoOnce) {
    const struct {
        const viewer::FrameParams* params;
        int from;
        unsigned char key;  // a mode key, or 0 for a count change to 2048
        const char* line;
    } rows[] = {
        {&viewer::fractviewFrame, 1, '2',
         "fractview: cannot allocate 4096 bytes of device memory for d_pos0 (no CUDA device); staying in mode 1 "
         "(CPU mode)\n"},
        {&viewer::spherecastFrame, 2, '1',
         "spherecast: cannot allocate 4096 bytes of host memory for pos (out of memory); staying in mode 2 "
         "(GPU mode) at 1024 spheres\n"},
        {&viewer::gravsimFrame, 2, 0,
         "gravsim: cannot allocate 4096 bytes of device memory for d_pos0 (no CUDA device); staying in mode 2 (GPU) "
         "at 1024 bodies\n"},
        {&viewer::clusterviewFrame, 1, 0,
         "clusterview: cannot allocate 4096 bytes of host memory for pos (out of memory); staying in mode 1 (CPU) "
         "at 1024 points\n"},
        {&viewer::clusterviewFrame, 1, '1',  // the current mode again
         "clusterview: cannot allocate 4096 bytes of host memory for pos (out of memory); staying in mode 1 (CPU) "
         "at 1024 points\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        use(*row.params);
        prog.modes[1].allocate = refusing1;
        prog.modes[2].allocate = refusing2;
        fakeCount = 1024;
        refuseNext = false;
        ASSERT_TRUE(viewer::switchMode(row.from));
        events.clear();
        refuseNext = true;
        testing::internal::CaptureStderr();
        bool entered = row.key ? viewer::switchMode(row.key == '1' ? 1 : 2) : viewer::changeCount(&fakeCount, 2048);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.line);
        EXPECT_FALSE(entered);
        EXPECT_EQ(viewer::state.mode, row.from);
        EXPECT_EQ(fakeCount, 1024);
        // The new mode was tried; the old one was not released.
        EXPECT_EQ(events, (std::vector<std::string>{row.key == '1' ? "alloc1" : row.key ? "alloc2"
                                                                            : "alloc" + std::to_string(row.from)}));
        // Nothing refused: the same step goes through and releases the old mode after.
        refuseNext = false;
        events.clear();
        testing::internal::CaptureStderr();
        entered = row.key ? viewer::switchMode(row.key == '1' ? 1 : 2) : viewer::changeCount(&fakeCount, 2048);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(entered);
        EXPECT_EQ(fakeCount, row.key ? 1024 : 2048);
        EXPECT_EQ(events.size(), 2u);
        EXPECT_EQ(events.back(), "release" + std::to_string(row.from));
    }
    refuseNext = false;
}

// Before any mode runs there is nothing to keep: a refusal ends the program.
TEST_F(Frame, RefusalAtStartUpExitsWithStatusOne) {
    use(viewer::gravsimFrame);
    prog.modes[1].allocate = refusing1;
    refuseNext = true;
    EXPECT_EXIT(viewer::switchMode(1), testing::ExitedWithCode(1),
                "^gravsim: cannot allocate 4096 bytes of host memory for pos \\(out of memory\\); exiting\n$");
    use(viewer::spherecastFrame);
    prog.modes[1].allocate = refusing1;
    EXPECT_EXIT(viewer::allocateMode(), testing::ExitedWithCode(1), "^spherecast: cannot allocate 4096 bytes");
    refuseNext = false;
}

TEST_F(Frame, EscapeExitsWithStatusZero) {
    use(viewer::spherecastFrame);
    EXPECT_EXIT(viewer::keyboard(0x1B, 10, 10), testing::ExitedWithCode(0), "");
}

}  // namespace
