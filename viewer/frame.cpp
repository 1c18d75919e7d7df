// The frame's decisions and operations, free of any window system.
#include "frame.h"

#include <cstdio>
#include <cstdlib>

#include "gpu/ranges.h"

namespace viewer {

const Program* program = nullptr;
State state;
Platform platform{nullptr, nullptr};
cudaError_t (*gpuResult)(cudaError_t err, const char* step) = nullptr;

Memory systemMemory() {
    return Memory{
        [](size_t n) { return malloc(n); },
        [](void* p) { free(p); },
        [](void** p, size_t n) { return cudaMalloc(p, n); },
        [](void* p) { return cudaFree(p); },
    };
}

bool titleDue(int now, int lastTitleTime, int intervalMs) { return now - lastTitleTime > intervalMs; }

float frameRate(int frameCount, int now, int lastTitleTime) {
    int frames = frameCount * 1000;
    int elapsed = now - lastTitleTime;
    return (float)frames / (float)elapsed;
}

const char* modeName(const FrameParams& params, int mode) {
    return mode >= 1 && mode <= params.modes.count ? params.modes[mode - 1].name : "";
}

void formatTitle(char* buf, const FrameParams& params, const char* name, int count, float fps) {
    if (params.titleShowsCount)
        snprintf(buf, kTitleBufferSize, params.titleFormat, params.title, name, count, (double)fps);
    else
        snprintf(buf, kTitleBufferSize, params.titleFormat, params.title, name, (double)fps);
}

namespace {

char refusalText[200];  // the last refusal
char failureText[300];  // the line of the last failed GPU step

const Mode* modeAt(int mode) {
    const List<Mode>& modes = program->params->modes;
    return mode >= 1 && mode <= modes.count ? &modes[mode - 1] : nullptr;
}

bool isGpuMode(const Mode& m) {
    for (const Buffer& b : m.buffers)
        if (b.device) return true;
    return false;
}

// Errors after which a GPU context is unusable (kernel faults): illegal address, launch
// timeout, device assert, hardware stack error, illegal instruction, misaligned address,
// invalid address space, invalid program counter, launch failure.
bool sticky(cudaError_t err) {
    const int e = (int)err;
    return e == 700 || e == 702 || e == 710 || (e >= 714 && e <= 719);
}

void freeBuffer(const Buffer& b) {
    void* p = b.slot.get();
    if (p) {
        if (b.device)
            program->memory->deviceFree(p);
        else
            program->memory->hostFree(p);
    }
    b.slot.set(nullptr);
}

void releaseBuffers(int mode) {
    const Mode* m = modeAt(mode);
    if (!m) return;
    for (const Buffer& b : m->buffers) freeBuffer(b);
    if (m->released) m->released();
}

// The buffers taken so far for a new mode: the first one that cannot be had is told to
// refuse(), and undo() then returns every one taken. A zero-byte buffer is null.
class Staging {
public:
    explicit Staging(const Memory& memory) : memory_(memory) {}
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    bool take(const Buffer& b) {
        if (count_ == kMaxBuffers) abort();  // a mode with more buffers needs a larger table
        void*& q = got_[count_];
        q = nullptr;
        const size_t bytes = b.bytes();
        if (bytes > 0 && !(b.device ? device(&q, bytes, b.name) : host(&q, bytes, b.name))) return false;
        count_ += 1;
        return true;
    }

    // Returns what was taken, newest first.
    void undo(const List<Buffer>& buffers) {
        while (count_ > 0) {
            void* p = got_[--count_];
            if (!p) continue;
            if (buffers[count_].device)
                memory_.deviceFree(p);
            else
                memory_.hostFree(p);
        }
    }

    Staged staged() const { return Staged{got_}; }

private:
    bool host(void** q, size_t bytes, const char* name) {
        *q = memory_.hostAlloc(bytes);
        if (!*q) refuse(name, bytes, false, "out of memory");
        return *q != nullptr;
    }

    bool device(void** q, size_t bytes, const char* name) {
        cudaError_t err = memory_.deviceAlloc(q, bytes);
        if (err == cudaSuccess && *q) return true;
        // The runtime also keeps the error as its last one; clear it, or the next launch
        // of the running mode would read it as its own.
        cudaGetLastError();
        *q = nullptr;
        refuse(name, bytes, true, err != cudaSuccess ? cudaGetErrorString(err) : "no memory");
        return false;
    }

    static constexpr int kMaxBuffers = 12;
    const Memory& memory_;
    void* got_[kMaxBuffers] = {};
    int count_ = 0;
};

enum class Entry { Entered, Refused, Failed };

// Enters newMode: every buffer of it first, its data, then the old mode's release and the
// new buffers installed. Refused (with refusal() set) or Failed (a GPU step of its data
// failed) leave the old mode as it was, until the failure is settled.
Entry enterMode(int newMode, bool releaseOld) {
    refusalText[0] = '\0';
    const Mode* next = modeAt(newMode);
    if (next && state.deviceLost && isGpuMode(*next)) return Entry::Failed;
    if (!next) {  // a number without a mode has nothing to take
        if (releaseOld) releaseBuffers(state.mode);
        state.mode = newMode;
        state.entered = true;
        return Entry::Entered;
    }
    Staging stage(*program->memory);
    for (const Buffer& b : next->buffers)
        if (!stage.take(b)) {
            stage.undo(next->buffers);
            return Entry::Refused;
        }
    if (next->fill && !next->fill(stage.staged())) {
        stage.undo(next->buffers);
        return Entry::Failed;
    }
    if (releaseOld) releaseBuffers(state.mode);
    for (int i = 0; i < next->buffers.count; ++i) next->buffers[i].slot.set(stage.staged().p[i]);
    state.mode = newMode;
    state.entered = true;
    if (next->entered) next->entered();
    return Entry::Entered;
}

[[noreturn]] void cannotStart() {
    fprintf(stderr, "%s: %s; exiting\n", program->params->program, refusal());
    exit(1);
}

// The outcome of a step: a refusal is one line (with nothing entered yet there is nothing
// to keep running); a failure goes back to mode 1, or is told again after a kernel fault.
bool settle(Entry e) {
    if (e == Entry::Entered) return true;
    if (e == Entry::Refused) {
        if (!state.entered) cannotStart();
        reportRefusal();
    } else if (state.failed) {
        settleFailure();
    } else {
        fputs(failureText, stderr);  // a GPU mode after a kernel fault
    }
    return false;
}

}  // namespace

bool allocateMode() { return settle(enterMode(state.mode, false)); }

void releaseMode() {
    if (!program) return;
    for (int mode = 1; mode <= program->params->modes.count; ++mode) releaseBuffers(mode);
    state.entered = false;
}

bool switchMode(int newMode) { return settle(enterMode(newMode, true)); }

bool enter(const Program& prog, int mode) {
    program = &prog;
    return switchMode(mode);
}

bool changeCount(int* count, int newCount) {
    const int oldCount = *count;
    *count = newCount;
    Entry e = enterMode(state.mode, true);
    if (e != Entry::Entered) *count = oldCount;
    return settle(e);
}

void refuse(const char* buffer, size_t bytes, bool device, const char* reason) {
    snprintf(refusalText, sizeof refusalText, "cannot allocate %zu bytes of %s memory for %s (%s)", bytes,
             device ? "device" : "host", buffer, reason);
}

const char* refusal() { return refusalText[0] ? refusalText : "cannot allocate the buffers of the mode"; }

void reportRefusal() {
    if (!program) {  // a core driven without the frame
        fprintf(stderr, "%s\n", refusal());
        return;
    }
    const FrameParams& p = *program->params;
    char count[64] = "";
    if (p.countName && program->count) snprintf(count, sizeof count, " at %d %s", program->count(), p.countName);
    fprintf(stderr, "%s: %s; staying in mode %d (%s)%s\n", p.program, refusal(), state.mode, modeName(p, state.mode),
            count);
}

bool gpuStep(cudaError_t err, const char* step) {
    if (gpuResult) err = gpuResult(err, step);
    if (err == cudaSuccess) return true;
    cudaGetLastError();  // the runtime's copy of the error, which the next call would read
    if (state.failed) return false;  // the step's first failure is the one told
    const char* name = program ? program->params->program : "gpu";
    snprintf(failureText, sizeof failureText, "%s: %s failed: %s; back to mode 1 (%s)\n", name, step,
             cudaGetErrorString(err), program ? modeName(*program->params, 1) : "");
    state.failed = true;
    if (sticky(err)) state.deviceLost = true;
    return false;
}

void settleFailure() {
    if (!state.failed) return;
    state.failed = false;
    fputs(failureText, stderr);
    if (const Mode* m = modeAt(state.mode))
        for (const Buffer& b : m->buffers)
            if (b.device) freeBuffer(b);
    state.mode = 1;
}

void computeFrame() {
    GPU_RANGE("computeFrame");
    state.frameCount += 1;
    int now = platform.elapsedMs();
    const FrameParams& p = *program->params;
    if (titleDue(now, state.lastTitleTime, p.refreshMs)) {
        char title[kTitleBufferSize];
        float fps = frameRate(state.frameCount, now, state.lastTitleTime);
        formatTitle(title, p, modeName(p, state.mode), program->count ? program->count() : 0, fps);
        platform.setTitle(title);
        state.lastTitleTime = now;
        state.frameCount = 0;
    }
    if (const Mode* m = modeAt(state.mode); m && m->compute) {
        m->compute();
        settleFailure();
    }
}

void keyboard(unsigned char key, int, int) {
    if (key == 0x1B) exit(0);
    const List<Mode>& modes = program->params->modes;
    for (int i = 0; i < modes.count; ++i)
        if (modes[i].key == key) {
            switchMode(i + 1);
            return;
        }
}

}  // namespace viewer
