// The frame's decisions and operations, free of any window system.
#include <cstdio>
#include <cstdlib>

#include "frame.h"

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
}  // namespace

void allocateMode() {
    if (const ModeOps* m = opsOf(state.mode); m && m->allocate) m->allocate();
}

void releaseMode() {
    if (const ModeOps* m = opsOf(state.mode); m && m->release) m->release();
}

void switchMode(int newMode) {
    releaseMode();
    state.mode = newMode;
    allocateMode();
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
