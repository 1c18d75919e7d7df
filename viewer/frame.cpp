// The frame's decisions and operations, free of any window system.
#include "frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gpu/ranges.h"

namespace viewer {

const Program* program = nullptr;
State state;
Platform platform{nullptr, nullptr};
cudaError_t (*testFault)(cudaError_t err, const char* what, Checked kind) = nullptr;

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

// Errors after which a GPU context is unusable (kernel faults): illegal address, launch
// timeout, device assert, hardware stack error, illegal instruction, misaligned address,
// invalid address space, invalid program counter, launch failure.
bool sticky(cudaError_t err) {
    const int e = (int)err;
    return e == 700 || e == 702 || e == 710 || (e >= 714 && e <= 719);
}

// Everything mode `mode` holds: a GPU mode's device buffers and mode 1's.
void releaseBuffers(int mode) {
    const Mode* m = modeAt(mode);
    if (!m) return;
    m->release();
    if (m->gpu) modeAt(1)->release();
}

// The values of the program's buffer globals, set aside: while they are, the globals are
// null and a mode's allocate takes new buffers into them.
class SetAside {
public:
    SetAside() {
        for (void* global : program->params->buffers) {
            void* p;
            memcpy(&p, global, sizeof p);
            saved_.push_back(p);
            memset(global, 0, sizeof p);
        }
    }
    // Puts the set-aside values back.
    void restore() {
        for (size_t i = 0; i < saved_.size(); ++i) memcpy(program->params->buffers[(int)i], &saved_[i], sizeof(void*));
    }

private:
    std::vector<void*> saved_;
};

enum class Entry { Entered, Refused, Failed };

// Enters newMode: its allocate takes the new buffers and data while the running mode's are
// set aside; only then is the running mode released. Refused (with refusal() set) or
// Failed (a GPU step of its data failed) return what the new mode took and leave the old
// mode as it was, until the failure is settled.
Entry enterMode(int newMode, bool releaseOld) {
    refusalText[0] = '\0';
    const Mode* next = modeAt(newMode);
    if (next && state.deviceLost && next->gpu) return Entry::Failed;
    if (!next) {  // a number without a mode has nothing to take
        if (releaseOld) releaseBuffers(state.mode);
        state.mode = newMode;
        state.entered = true;
        return Entry::Entered;
    }
    SetAside running;
    if (!next->allocate()) {
        releaseBuffers(newMode);
        running.restore();
        return state.failed ? Entry::Failed : Entry::Refused;
    }
    if (releaseOld) {
        SetAside taken;
        running.restore();
        releaseBuffers(state.mode);
        taken.restore();
    }
    state.mode = newMode;
    state.entered = true;
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

namespace {
bool refuse(const char* buffer, size_t bytes, bool device, const char* reason) {
    snprintf(refusalText, sizeof refusalText, "cannot allocate %zu bytes of %s memory for %s (%s)", bytes,
             device ? "device" : "host", buffer, reason);
    return false;
}
}  // namespace

bool allocated(cudaError_t err, const char* buffer, size_t bytes) {
    if (testFault) err = testFault(err, buffer, Checked::DeviceBuffer);
    if (err == cudaSuccess) return true;
    // The runtime also keeps the error as its last one; read it, or the next launch of the
    // running mode would be taken to have failed.
    cudaGetLastError();
    return refuse(buffer, bytes, true, cudaGetErrorString(err));
}

bool allocated(const void* hostBuffer, const char* buffer, size_t bytes) {
    cudaError_t err = hostBuffer || bytes == 0 ? cudaSuccess : cudaErrorMemoryAllocation;
    if (testFault) err = testFault(err, buffer, Checked::HostBuffer);
    return err == cudaSuccess || refuse(buffer, bytes, false, "out of memory");
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

bool cudaCheck(cudaError_t err, const char* step) {
    if (testFault) err = testFault(err, step, Checked::Step);
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
    if (const Mode* m = modeAt(state.mode); m && m->gpu) m->release();
    state.mode = 1;
}

void computeFrame() {
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
