// The frame's decisions and operations, free of any window system.
#include <cstdio>
#include <cstdlib>

#include "frame.h"
#include "gpu/ranges.h"

namespace viewer {

const Program* program = nullptr;
State state;
Platform platform{nullptr, nullptr};

bool titleDue(int now, int lastTitleTime, int intervalMs) { return now - lastTitleTime > intervalMs; }

float frameRate(int frameCount, int now, int lastTitleTime) {
    int frames = frameCount * 1000;
    int elapsed = now - lastTitleTime;
    return (float)frames / (float)elapsed;
}

const char* modeName(const FrameParams& params, int mode) {
    for (int i = 0; i < params.modeCount; ++i)
        if (params.modes[i].number == mode) return params.modes[i].name;
    return "";
}

void formatTitle(char* buf, const FrameParams& params, const char* name, int count, float fps) {
    if (params.titleShowsCount)
        snprintf(buf, kTitleBufferSize, params.titleFormat, params.title, name, count, (double)fps);
    else
        snprintf(buf, kTitleBufferSize, params.titleFormat, params.title, name, (double)fps);
}

namespace {
const ModeOps* opsOf(int mode) {
    if (mode < 1 || mode > kMaxModes) return nullptr;
    return &program->modes[mode];
}

char refusalText[200];  // the last refusal, told by a mode's allocate

// Enters newMode: its buffers first, then the old mode's release. False when refused.
bool enter(int newMode, void (*releaseOld)()) {
    refusalText[0] = '\0';
    const ModeOps* next = opsOf(newMode);
    if (next && next->allocate) {
        if (!next->allocate(releaseOld)) return false;
    } else if (releaseOld) {
        releaseOld();  // a mode without buffers has nothing to take
    }
    state.mode = newMode;
    state.entered = true;
    return true;
}

void (*currentRelease())() {
    const ModeOps* m = opsOf(state.mode);
    return m ? m->release : nullptr;
}

// A refused step: one line; with nothing entered yet there is nothing to keep running.
void refused() {
    if (!state.entered) cannotStart(program->params->program);
    reportRefusal();
}

}  // namespace

bool allocateMode() {
    if (enter(state.mode, nullptr)) return true;
    refused();
    return false;
}

void releaseMode() {
    if (const ModeOps* m = opsOf(state.mode); m && m->release) m->release();
    state.entered = false;
}

bool switchMode(int newMode) {
    if (enter(newMode, currentRelease())) return true;
    refused();
    return false;
}

bool changeCount(int* count, int newCount) {
    const int oldCount = *count;
    *count = newCount;
    if (enter(state.mode, currentRelease())) return true;
    *count = oldCount;
    refused();
    return false;
}

void refuse(const char* buffer, size_t bytes, bool device, const char* reason) {
    snprintf(refusalText, sizeof refusalText, "cannot allocate %zu bytes of %s memory for %s (%s)", bytes,
             device ? "device" : "host", buffer, reason);
}

const char* refusal() { return refusalText[0] ? refusalText : "cannot allocate the buffers of the mode"; }

void reportRefusal() {
    if (!program) {  // a core driven without the frame (benchmark, tests)
        fprintf(stderr, "%s\n", refusal());
        return;
    }
    const FrameParams& p = *program->params;
    char count[64] = "";
    if (p.countName && program->count) snprintf(count, sizeof count, " at %d %s", program->count(), p.countName);
    fprintf(stderr, "%s: %s; staying in mode %d (%s)%s\n", p.program, refusal(), state.mode, modeName(p, state.mode),
            count);
}

void cannotStart(const char* name) {
    fprintf(stderr, "%s: %s; exiting\n", name, refusal());
    exit(1);
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
    if (const ModeOps* m = opsOf(state.mode); m && m->compute) m->compute();
}

void keyboard(unsigned char key, int, int) {
    if (key == 0x1B) exit(0);
    const FrameParams& p = *program->params;
    for (int i = 0; i < p.modeCount; ++i)
        if (p.modes[i].key == key) {
            switchMode(p.modes[i].number);
            return;
        }
}

}  // namespace viewer
