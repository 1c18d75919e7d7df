// The viewer frame: one freeglut window redrawn without pause, one compute step of the
// current mode per frame, and the program's name, mode and frame rate in the title at a
// fixed interval.
//
// A program describes itself in a FrameParams table (window, title, GL state, its modes,
// the globals holding their buffers) and a Program (that table plus its count, drawing and
// input handlers); the frame does the rest. Everything a frame decides is a plain
// function of its inputs, so tests drive it with made-up times.
#pragma once

#include <cstddef>

#include "gpu/runtime.h"

namespace viewer {

constexpr int kTitleBufferSize = 200;

// A fixed-length table given as a C array: List<Mode>{kModes}.
template <typename T>
struct List {
    const T* items = nullptr;
    int count = 0;
    constexpr List() = default;
    template <int N>
    constexpr List(const T (&a)[N]) : items(a), count(N) {}
    const T* begin() const { return items; }
    const T* end() const { return items + count; }
    const T& operator[](int i) const { return items[i]; }
};

// One mode: a row of the program's mode table. Its number is its place in the table, from 1.
//
// A mode is the triple the programs are written as: allocate takes the mode's buffers into
// the program's globals (malloc, cudaMalloc) and makes its data (random draws, uploads);
// release returns them (free, cudaFree) and sets the globals to null; compute runs one
// frame. A GPU mode holds mode 1's host buffers too (its allocate calls mode 1's), but its
// release returns only its device buffers: leaving a GPU mode runs its release and then
// mode 1's, and falling back to mode 1 after a failed step runs only its own.
struct Mode {
    unsigned char key;   // keyboard character that selects the mode
    const char* name;    // shown in the title
    bool (*allocate)();  // false when a buffer was refused (allocated) or a GPU step failed (cudaCheck)
    void (*release)();   // safe on null globals
    void (*compute)();
    bool gpu = false;  // a GPU mode, as above
};

enum class StartUp {
    AllocateMode,  // allocateMode() for mode 1
    SwitchMode,    // switchMode(1)
};

enum class CallbackOrder {
    DisplayIdleMotionMouse,
    DisplayIdleMouseMotion,
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
    int refreshMs;            // the title is refreshed when more than this has elapsed
    const char* titleFormat;  // printf format of the refreshed title
    bool titleShowsCount;     // format takes (title, mode name, count, fps), else (title, name, fps)
    List<Mode> modes;
    // The addresses of the program's buffer globals (&pixels, &pixels_gpu, ...). While a new
    // mode takes its buffers, the frame sets the running mode's aside, so a refusal can put
    // them back untouched: new buffers are had before the old ones go.
    List<void*> buffers;
    bool seedsRandom;  // srand(time(NULL)) first thing at start-up
    StartUp startUp;
    CallbackOrder callbackOrder;
    bool drawsKnownModesOnly;  // display draws only when mode is one of the program's modes
    const char* program;       // the program's name, first on every line it writes to stderr
    const char* countName;     // what Program::count counts ("bodies"), or null
};

// What a program gives the frame.
struct Program {
    const FrameParams* params;
    int (*count)();  // the count shown in the title (titleShowsCount only)
    void (*draw)();  // drawing of display(), between computeFrame and the swap
    void (*specialKeys)(int key, int x, int y);
    void (*mouse)(int button, int state, int x, int y);
    void (*motion)(int x, int y);
    void (*setUp)();  // first thing run() does (a camera's start view), or null
};

// The frame state of the running program.
struct State {
    int mode = 1;
    int frameCount = 0;
    int lastTitleTime = 0;
    bool entered = false;     // a mode has been entered: from then on a refused step keeps it
    bool failed = false;      // a GPU step failed in this step (cudaCheck); the frame falls back after it
    bool deviceLost = false;  // a kernel fault: the device refuses every GPU mode from now on
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

// allocateMode enters the current mode at start-up (nothing to release); releaseMode
// returns every buffer the program's modes hold. switchMode enters newMode, the current
// one included (which makes new data), and releases the old mode's buffers only once the
// new ones are had. A refused step prints one line on stderr and returns false with mode,
// count and buffers as they were; a refusal before any mode was entered leaves nothing to
// run and exits with status 1.
bool allocateMode();
void releaseMode();
bool switchMode(int newMode);
// Sets *count to newCount and enters the current mode again at that count (the arrow keys
// of the programs with a count); a refusal puts the old count back.
bool changeCount(int* count, int newCount);
void computeFrame();

// The way in without a window (benchmark, tests): makes prog the running program and
// enters its mode `mode` exactly as switchMode does (releaseMode leaves it).
bool enter(const Program& prog, int mode);

// ---- the checks around allocations and CUDA calls ---------------------------------------

// The result of taking one of a mode's buffers: cudaMalloc's result, or the pointer malloc
// returned (null is a refusal unless bytes is 0). On a refusal it reads the runtime's error
// (so the next launch does not take it for its own), keeps "cannot allocate N bytes of
// device memory for d_pos0 (out of memory)" for the refusal line and returns false; the
// mode's allocate then returns false, and the frame returns what it took and keeps the
// running mode.
bool allocated(cudaError_t err, const char* buffer, size_t bytes);
bool allocated(const void* hostBuffer, const char* buffer, size_t bytes);

// The result of a CUDA call inside a frame or a mode's data upload (a copy, a launch's
// cudaGetLastError(), a per-frame allocation). True on success. On failure it reads the
// runtime's error, keeps "<program>: <step> failed: <CUDA error>; back to mode 1 (<name>)"
// (the step's first failure only) and returns false; the caller returns at once, and the
// frame then says the line, releases the mode's device buffers and goes on in mode 1.
// After a kernel fault (sticky on a GPU) every GPU mode key is refused with that line.
bool cudaCheck(cudaError_t err, const char* step);

// Tests only: sees every result the two checks are given (what: the buffer or the step)
// and may replace it, to make any allocation or CUDA call of a program fail (null: none).
enum class Checked { Step, HostBuffer, DeviceBuffer };
extern cudaError_t (*testFault)(cudaError_t err, const char* what, Checked kind);

// The last refusal: "cannot allocate N bytes of device memory for d_pos0 (out of memory)".
const char* refusal();
// The one line of a refused step on stderr: the program, the refusal and what it keeps:
// "<program>: cannot allocate ...; staying in mode 1 (CPU) at 16384 bodies".
void reportRefusal();

// Applies a failure cudaCheck recorded: called by the frame after a compute step, a mode's
// allocate and the input handlers.
void settleFailure();

// Keyboard callback body: ESC exits with status 0 at once, a mode key switches modes,
// anything else is ignored.
void keyboard(unsigned char key, int x, int y);

// The whole program: start-up sequence, freeglut main loop. Returns 1 if the loop ever
// returns.
int run(const Program& program, int argc, char** argv);

}  // namespace viewer
