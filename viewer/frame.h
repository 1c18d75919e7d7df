// The viewer frame shared by fractview, spherecast, gravsim and clusterview: one freeglut
// window redrawn without pause, one compute step of the current mode per frame, and the
// program's name, mode and frame rate in the title at a fixed interval.
//
// Each program fills in a Program (its frame parameters from the table in programs.cpp,
// plus its own mode functions and input handlers); the frame does the rest. Everything a
// frame decides is a plain function of its inputs, so tests drive it with made-up times.
#pragma once

#include <cstddef>

namespace viewer {

constexpr int kTitleBufferSize = 200;
constexpr int kMaxModes = 4;

struct ModeKey {
    unsigned char key;  // keyboard character that selects the mode
    int number;         // the mode number, from 1
    const char* name;   // shown in the title
};

enum class StartUp {
    AllocateMode,  // allocateMode() for mode 1 (fractview, spherecast)
    SwitchMode,    // switchMode(1) (gravsim, clusterview)
};

enum class CallbackOrder {
    DisplayIdleMotionMouse,  // fractview, spherecast
    DisplayIdleMouseMotion,  // gravsim, clusterview
};

// The fixed OpenGL state set right after the window exists, in this order: clear colour
// (0, 0, 0, 0); white current colour; depth test on or off; point size; the 2D image
// projection (orthographic over the window, 0.375 pixel translation).
struct GlState {
    bool whiteColor;
    bool depthTest;
    float pointSize;  // 0: left alone
    bool imageProjection;
};

// The frame parameters of one program.
struct FrameParams {
    const char* title;  // program title: window title at creation and first title argument
    int width, height;
    GlState gl;
    int refreshMs;              // the title is refreshed when more than this has elapsed
    const char* titleFormat;    // printf format of the refreshed title
    bool titleShowsCount;       // format takes (title, mode name, count, fps), else (title, name, fps)
    ModeKey modes[kMaxModes];
    int modeCount;
    bool seedsRandom;           // srand(time(NULL)) first thing at start-up
    StartUp startUp;
    CallbackOrder callbackOrder;
    bool drawsKnownModesOnly;   // display draws only when mode is one of the program's modes
    const char* program;        // the program's name, first on every line it writes to stderr
    const char* countName;      // what Program::count counts ("bodies"), or null
};

extern const FrameParams fractviewFrame;
extern const FrameParams spherecastFrame;
extern const FrameParams gravsimFrame;
extern const FrameParams clusterviewFrame;

// One mode's functions; a null entry does nothing.
//
// allocate enters the mode: it takes every buffer of the mode (at the current count) and
// makes its data while the running mode still holds its own. Only when all of it came does
// it call releaseOld (the running mode's release, or null) and install the new buffers.
// When anything cannot be had it returns what it took, tells refuse() what was missing
// and returns false: the running mode, its buffers and its picture are untouched.
struct ModeOps {
    bool (*allocate)(void (*releaseOld)());
    void (*release)();
    void (*compute)();
};

// What a program gives the frame.
struct Program {
    const FrameParams* params;
    ModeOps modes[kMaxModes + 1];  // indexed by mode number; entry 0 unused
    int (*count)();                // the count shown in the title (titleShowsCount only)
    void (*draw)();                // drawing of display(), between computeFrame and the swap
    void (*specialKeys)(int key, int x, int y);
    void (*mouse)(int button, int state, int x, int y);
    void (*motion)(int x, int y);
};

// The frame state of the running program.
struct State {
    int mode = 1;
    int frameCount = 0;
    int lastTitleTime = 0;
    bool entered = false;  // a mode has been entered: from then on a refused step keeps it
};

// What the frame needs from the window system; tests replace it.
struct Platform {
    int (*elapsedMs)();
    void (*setTitle)(const char* title);
};

// The program this process runs, its frame state and its platform. Set once by run() (or
// by a test) before any other call.
extern const Program* program;
extern State state;
extern Platform platform;

// ---- pure decisions ------------------------------------------------------------------

// True when the title is due: strictly more than the interval since the last refresh.
bool titleDue(int now, int lastTitleTime, int intervalMs);

// frameCount * 1000 / (now - last), integer product and difference, float quotient.
float frameRate(int frameCount, int now, int lastTitleTime);

// The mode's name, or "" for a number that is not one of the program's modes.
const char* modeName(const FrameParams& params, int mode);

// Formats the title into buf (kTitleBufferSize characters).
void formatTitle(char* buf, const FrameParams& params, const char* modeName, int count, float fps);

// ---- the frame's operations ----------------------------------------------------------

// allocateMode enters the current mode at start-up (nothing to release). switchMode enters
// newMode, the current one included (which makes new data), and releases the old mode's
// buffers only once the new ones are had. A refused step prints one line on stderr and
// returns false with mode, count and buffers as they were; a refusal before any mode was
// entered leaves nothing to run and exits with status 1.
bool allocateMode();
void releaseMode();
bool switchMode(int newMode);
// Sets *count to newCount and enters the current mode again at that count (the arrow keys
// of gravsim and clusterview); a refusal puts the old count back.
bool changeCount(int* count, int newCount);
void computeFrame();

// ---- refusals ------------------------------------------------------------------------

// Told by a mode's allocate (through viewer::Staging) before it returns false: the buffer
// it could not get, its size, host or device memory, and why.
void refuse(const char* buffer, size_t bytes, bool device, const char* reason);
// The last refusal: "cannot allocate N bytes of device memory for d_pos0 (out of memory)".
const char* refusal();
// The one line of a refused step on stderr: the program, the refusal and what it keeps:
// "gravsim: cannot allocate ...; staying in mode 1 (CPU) at 16384 bodies".
void reportRefusal();
// The line for a program that cannot start (or a direct allocation outside the frame that
// cannot be had), then exit with status 1.
[[noreturn]] void cannotStart(const char* program);

// Keyboard callback body: ESC exits with status 0 at once, a mode key switches modes,
// anything else is ignored.
void keyboard(unsigned char key, int x, int y);

// The whole program: start-up sequence, freeglut main loop. Returns 1 if the loop ever
// returns.
int run(const Program& program, int argc, char** argv);

}  // namespace viewer
