// The viewer frame: one freeglut window redrawn without pause, one compute step of the
// current mode per frame, and the program's name, mode and frame rate in the title at a
// fixed interval.
//
// A program describes itself in a FrameParams table (window, title, GL state, its modes
// and their buffers) and a Program (that table plus its allocator table, count, drawing
// and input handlers); the frame does the rest. Everything a frame decides is a plain
// function of its inputs, so tests drive it with made-up times.
#pragma once

#include <cstddef>
#include <type_traits>

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

// A program global of pointer type that a mode's buffer is installed in.
struct Slot {
    void* (*get)();
    void (*set)(void* p);
};
template <auto& Global>
constexpr Slot slot() {
    using T = std::remove_reference_t<decltype(Global)>;
    return Slot{[]() -> void* { return Global; }, [](void* p) { Global = static_cast<T>(p); }};
}

// One buffer of a mode: its name in messages, host or device memory, its size at the
// program's current count (0: none, the slot holds null), and where it is installed.
struct Buffer {
    const char* name;
    bool device;
    size_t (*bytes)();
    Slot slot;
};

// A mode's new buffers, in the order of its list, before they are installed.
struct Staged {
    void* const* p;
    template <typename T>
    T* at(int i) const {
        return static_cast<T*>(p[i]);
    }
};

// One mode: a row of the program's mode table. Its number is its place in the table, from 1.
//
// Entering it takes every buffer of the list at the current count; fill then makes the
// mode's data in them (random draws, uploads) while the running mode still holds its own.
// Only then is the running mode released and the buffers installed, and entered() sets the
// mode's own state (released() after the mode's buffers are returned). A GPU mode (one with device buffers) lists mode 1's buffers as its host
// buffers: falling back to mode 1 keeps those and frees the device ones.
struct Mode {
    unsigned char key;  // keyboard character that selects the mode
    const char* name;   // shown in the title
    List<Buffer> buffers;
    bool (*fill)(const Staged& staged);  // false when a GPU step failed (see gpuStep)
    void (*entered)();
    void (*compute)();
    void (*released)();  // after its buffers are returned
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
    bool seedsRandom;  // srand(time(NULL)) first thing at start-up
    StartUp startUp;
    CallbackOrder callbackOrder;
    bool drawsKnownModesOnly;  // display draws only when mode is one of the program's modes
    const char* program;       // the program's name, first on every line it writes to stderr
    const char* countName;     // what Program::count counts ("bodies"), or null
};

// The allocator table of a program's modes. Tests swap in counting or failing functions.
struct Memory {
    void* (*hostAlloc)(size_t bytes);
    void (*hostFree)(void* p);
    cudaError_t (*deviceAlloc)(void** p, size_t bytes);
    cudaError_t (*deviceFree)(void* p);
};
Memory systemMemory();

// What a program gives the frame.
struct Program {
    const FrameParams* params;
    Memory* memory;  // where its modes get and return their buffers
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
    bool failed = false;      // a GPU step failed in this step; the frame falls back after it
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

// ---- refusals ------------------------------------------------------------------------

// Told by the staging of a mode before it gives up: the buffer it could not get, its
// size, host or device memory, and why.
void refuse(const char* buffer, size_t bytes, bool device, const char* reason);
// The last refusal: "cannot allocate N bytes of device memory for d_pos0 (out of memory)".
const char* refusal();
// The one line of a refused step on stderr: the program, the refusal and what it keeps:
// "<program>: cannot allocate ...; staying in mode 1 (CPU) at 16384 bodies".
void reportRefusal();

// ---- a GPU step that fails -----------------------------------------------------------

// Every CUDA result of a step inside a frame (a per-frame allocation, a copy, a launch)
// passes here. On success it returns true. On failure it clears the runtime's error,
// keeps the line "<program>: <step> failed: <CUDA error>; back to mode 1 (<name>)" (the
// step's first failure only) and returns false; the caller returns at once, and the frame
// then says the line, frees the GPU mode's device buffers and goes on in mode 1. After a
// kernel fault (sticky on a GPU) every GPU mode key is refused with that same line.
bool gpuStep(cudaError_t err, const char* step);
// Tests only: sees every result gpuStep is given and may replace it (null: none).
extern cudaError_t (*gpuResult)(cudaError_t err, const char* step);
// Applies a failure gpuStep recorded: called by the frame after a compute step, a mode's
// fill and the input handlers.
void settleFailure();

// Keyboard callback body: ESC exits with status 0 at once, a mode key switches modes,
// anything else is ignored.
void keyboard(unsigned char key, int x, int y);

// The whole program: start-up sequence, freeglut main loop. Returns 1 if the loop ever
// returns.
int run(const Program& program, int argc, char** argv);

}  // namespace viewer
