// The viewers' start-up, run without a window: every freeglut, GL and GLEW call goes to a
// recording table, and the whole sequence of each program is compared with its literal
// expected table (seed, window, GL state, buffers of mode 1, callbacks, GLEW, loop, and
// what follows if the loop returns). Text the start-up writes on standard output is
// recorded in its place in the sequence. Then the registered callbacks are called.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "clusterview/kernel.h"
#include "fractview/kernel.h"
#include "gravsim/kernel.h"
#include "recording.h"
#include "spherecast/kernel.h"
#include "viewer/startup.h"

namespace {

std::vector<std::string>& events = recording::events;

// Standard output, redirected to a file while the start-up runs.
FILE* capture = nullptr;
long captured = 0;

// Standard output written since the last event, as an event of its own.
void drainStdout() {
    if (!capture) return;
    fflush(stdout);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = pread(fileno(capture), buf, sizeof buf, captured)) > 0) {
        text.append(buf, (size_t)n);
        captured += n;
    }
    if (!text.empty()) events.push_back("stdout: " + text);
}

void record(std::string e) {
    drainStdout();
    events.push_back(std::move(e));
}

template <typename... A>
std::string fmt(const char* f, A... a) {
    char buf[200];
    snprintf(buf, sizeof buf, f, a...);
    return buf;
}

// The GL enums by their documented values, so a wrong constant shows in the sequence.
std::string glEnum(unsigned e) {
    switch (e) {
        case 0x0B71: return "GL_DEPTH_TEST";
        case 0x1700: return "GL_MODELVIEW";
        case 0x1701: return "GL_PROJECTION";
        default: return fmt("0x%X", e);
    }
}

template <typename F>
std::string callbackName(F f) {
    if ((void*)f == (void*)&viewer::display) return "display";
    if ((void*)f == (void*)&viewer::idle) return "idle";
    if ((void*)f == (void*)&viewer::motion) return "motion";
    if ((void*)f == (void*)&viewer::mouse) return "mouse";
    if ((void*)f == (void*)&viewer::keyboard) return "keyboard";
    if ((void*)f == (void*)&viewer::special) return "special";
    return f ? "?" : "null";
}

char** expectedArgv = nullptr;
unsigned glewResult = 0;
time_t fakeTime = 0;

// The callbacks as registered, to be called after the start-up.
void (*registeredDisplay)() = nullptr;
void (*registeredIdle)() = nullptr;
void (*registeredMotion)(int, int) = nullptr;
void (*registeredMouse)(int, int, int, int) = nullptr;
void (*registeredKeyboard)(unsigned char, int, int) = nullptr;
void (*registeredSpecial)(int, int, int) = nullptr;

const viewer::WindowCalls kRecording{
    [] { return fakeTime; },
    [](unsigned seed) { record(fmt("srand(%u)", seed)); },
    [](int* argc, char** argv) {
        record(fmt("glutInit(%d, %s)", argc ? *argc : -1, argv == expectedArgv ? "argv" : "?"));
    },
    [](unsigned m) { record(fmt("glutInitDisplayMode(%u)", m)); },
    [](int x, int y) { record(fmt("glutInitWindowPosition(%d, %d)", x, y)); },
    [](int w, int h) { record(fmt("glutInitWindowSize(%d, %d)", w, h)); },
    [](const char* t) {
        record(fmt("glutCreateWindow(%s)", t));
        return 1;
    },
    [](float r, float g, float b, float a) { record(fmt("glClearColor(%g, %g, %g, %g)", r, g, b, a)); },
    [](float r, float g, float b, float a) { record(fmt("glColor4f(%g, %g, %g, %g)", r, g, b, a)); },
    [](unsigned c) { record("glEnable(" + glEnum(c) + ")"); },
    [](unsigned c) { record("glDisable(" + glEnum(c) + ")"); },
    [](float s) { record(fmt("glPointSize(%g)", s)); },
    [](unsigned m) { record("glMatrixMode(" + glEnum(m) + ")"); },
    [] { record("glLoadIdentity()"); },
    [](double l, double r, double b, double t, double n, double f) {
        record(fmt("glOrtho(%g, %g, %g, %g, %g, %g)", l, r, b, t, n, f));
    },
    [](float x, float y, float z) { record(fmt("glTranslatef(%g, %g, %g)", x, y, z)); },
    [](void (*f)()) {
        registeredDisplay = f;
        record("glutDisplayFunc(" + callbackName(f) + ")");
    },
    [](void (*f)()) {
        registeredIdle = f;
        record("glutIdleFunc(" + callbackName(f) + ")");
    },
    [](void (*f)(int, int)) {
        registeredMotion = f;
        record("glutMotionFunc(" + callbackName(f) + ")");
    },
    [](void (*f)(int, int, int, int)) {
        registeredMouse = f;
        record("glutMouseFunc(" + callbackName(f) + ")");
    },
    [](void (*f)(unsigned char, int, int)) {
        registeredKeyboard = f;
        record("glutKeyboardFunc(" + callbackName(f) + ")");
    },
    [](void (*f)(int, int, int)) {
        registeredSpecial = f;
        record("glutSpecialFunc(" + callbackName(f) + ")");
    },
    [] {
        record("glewInit()");
        return glewResult;
    },
    [](unsigned e) {
        record(fmt("glewGetErrorString(%u)", e));
        return "Missing GL version";
    },
    [] { record("glutMainLoop()"); },
    [] { record("glutPostRedisplay()"); },
    [] { record("glutSwapBuffers()"); },
};

// A program whose modes, drawing and handlers only say that they ran.
void compute1() { record("compute1"); }
void draw() { record("draw"); }
void programMouse(int b, int s, int x, int y) { record(fmt("program mouse(%d, %d, %d, %d)", b, s, x, y)); }
void programMotion(int x, int y) { record(fmt("program motion(%d, %d)", x, y)); }
void programSpecial(int k, int x, int y) { record(fmt("program special(%d, %d, %d)", k, x, y)); }

int fakeNow = 0;
std::string title;

viewer::Program recordingProgram(const viewer::FrameParams& params) {
    viewer::Program p = recording::program(params, compute1, nullptr);
    p.draw = draw;
    p.specialKeys = programSpecial;
    p.mouse = programMouse;
    p.motion = programMotion;
    return p;
}

// Runs the start-up of the program with these parameters; returns the sequence.
std::vector<std::string> startUp(const viewer::Program& prog, unsigned glewReturns, int& result) {
    static char a0[] = "viewer", a1[] = "-display", a2[] = ":5";
    static char* argv[] = {a0, a1, a2, nullptr};
    expectedArgv = argv;
    glewResult = glewReturns;
    fakeTime = (time_t)0x100000000 + 1765000000;  // truncated to unsigned: 1765000000
    events.clear();
    viewer::state = viewer::State{};
    viewer::platform = viewer::Platform{[] { return fakeNow; }, [](const char* t) { title = t; }};

    fflush(stdout);
    int saved = dup(1);
    capture = tmpfile();
    captured = 0;
    dup2(fileno(capture), 1);
    // Mode 1's buffer left in its slot: the start-up that enters mode 1 with switchMode
    // releases it first, the one with allocateMode does not.
    recording::held1 = &recording::blocks[1];
    result = viewer::startUp(prog, kRecording, 3, argv);
    drainStdout();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    fclose(capture);
    capture = nullptr;
    return events;
}

struct Case {
    const char* name;
    const viewer::FrameParams* params;
    unsigned glewReturns;
    std::vector<std::string> expected;
};

// The pieces of the sequences, joined in order by calls().
using Calls = std::vector<std::string>;
Calls window(int w, int h, const char* title) {
    return {"glutInit(3, argv)", "glutInitDisplayMode(2)", "glutInitWindowPosition(0, 0)",
            "glutInitWindowSize(" + std::to_string(w) + ", " + std::to_string(h) + ")",
            "glutCreateWindow(" + std::string(title) + ")", "glClearColor(0, 0, 0, 0)"};
}
const Calls kImageGl = {"glDisable(GL_DEPTH_TEST)", "glMatrixMode(GL_PROJECTION)", "glLoadIdentity()",
                        "glOrtho(0, 1024, 768, 0, 0, 1)", "glMatrixMode(GL_MODELVIEW)", "glLoadIdentity()",
                        "glTranslatef(0.375, 0.375, 0)", "allocate1"};
const Calls kMotionFirst = {"glutDisplayFunc(display)", "glutIdleFunc(idle)", "glutMotionFunc(motion)",
                            "glutMouseFunc(mouse)", "glutKeyboardFunc(keyboard)", "glutSpecialFunc(special)",
                            "glewInit()"};
const Calls kMouseFirst = {"glutDisplayFunc(display)", "glutIdleFunc(idle)", "glutMouseFunc(mouse)",
                           "glutMotionFunc(motion)", "glutKeyboardFunc(keyboard)", "glutSpecialFunc(special)",
                           "glewInit()"};
const Calls kSeed = {"srand(1765000000)"}, kLoop = {"glutMainLoop()", "release1"};
Calls glewFails(unsigned e) {
    return {"glewGetErrorString(" + std::to_string(e) + ")", "stdout: ERROR: Missing GL version\n"};
}
Calls calls(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
const Calls kPoints = {"glColor4f(1, 1, 1, 1)", "glDisable(GL_DEPTH_TEST)", "glPointSize(2)", "allocate1",
                       "release1"};

const Case kCases[] = {
    {"fractview", &fractview::frame(), 0, calls({window(1024, 768, "Julia Fractals"), kImageGl, kMotionFirst, kLoop})},
    {"spherecast", &spherecast::frame(), 0,
     calls({kSeed, window(1024, 768, "Raytracer"), kImageGl, kMotionFirst, kLoop})},
    {"gravsim", &gravsim::frame(), 0, calls({kSeed, window(800, 800, "N-Body"), kPoints, kMouseFirst, kLoop})},
    {"clusterview", &clusterview::frame(), 0,
     calls({kSeed, window(800, 800, "K-means"),
            {"glColor4f(1, 1, 1, 1)", "glEnable(GL_DEPTH_TEST)", "allocate1", "release1"}, kMouseFirst, kLoop})},
    // A failing glewInit: one line on standard output, then the program carries on.
    {"gravsim, GLEW fails", &gravsim::frame(), 1,
     calls({kSeed, window(800, 800, "N-Body"), kPoints, kMouseFirst, glewFails(1), kLoop})},
    {"fractview, GLEW fails", &fractview::frame(), 4,
     calls({window(1024, 768, "Julia Fractals"), kImageGl, kMotionFirst, glewFails(4), kLoop})},
};

TEST(StartUp, ExactCallSequenceOfEachProgram) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        viewer::Program prog = recordingProgram(*c.params);
        int result = 0;
        std::vector<std::string> got = startUp(prog, c.glewReturns, result);
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(result, 1);  // the main loop returned
        EXPECT_EQ(viewer::program, &prog);
        EXPECT_EQ(viewer::state.mode, 1);
    }
}

// The callbacks as registered reach the program's handlers; a frame computes, draws
// (only a known mode, in fractview and spherecast) and swaps, in this order.
TEST(StartUp, RegisteredCallbacksReachTheProgram) {
    for (const viewer::FrameParams* params : {&fractview::frame(), &gravsim::frame()}) {
        SCOPED_TRACE(params->title);
        viewer::Program prog = recordingProgram(*params);
        int result = 0;
        startUp(prog, 0, result);
        events.clear();
        recording::held1 = &recording::blocks[1];  // mode 1 running, as before the loop returned
        fakeNow = params->refreshMs + 1;
        title.clear();
        registeredDisplay();
        registeredIdle();
        registeredMouse(0, 1, 20, 30);
        registeredMotion(40, 50);
        registeredSpecial(101, 7, 8);
        registeredKeyboard('2', 0, 0);
        EXPECT_EQ(events, (std::vector<std::string>{"compute1", "draw", "glutSwapBuffers()", "glutPostRedisplay()",
                                                     "program mouse(0, 1, 20, 30)", "program motion(40, 50)",
                                                     "program special(101, 7, 8)", "allocate2", "release1"}));
        EXPECT_EQ(title.rfind(params->title, 0), 0u) << title;  // the refresh came with the frame

        // A mode number outside the table: fractview draws nothing, gravsim still draws.
        viewer::state.mode = 3 + (params == &gravsim::frame() ? 2 : 0);
        events.clear();
        registeredDisplay();
        if (params->drawsKnownModesOnly)
            EXPECT_EQ(events, (std::vector<std::string>{"glutSwapBuffers()"}));
        else
            EXPECT_EQ(events, (std::vector<std::string>{"draw", "glutSwapBuffers()"}));
    }
}

}  // namespace
