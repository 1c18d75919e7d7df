// Shared by the viewer tests: a program's modes entered and left without a window, as the
// benchmark does.
#pragma once

#include <cstddef>
#include <vector>

#include "viewer/frame.h"

namespace viewertest {

// A scripted random source: the draws come from the script, in order; past its end every
// draw is 0. useScript installs it as *source.
inline std::vector<int> script;
inline size_t scriptPos = 0;
inline int scripted() { return scriptPos < script.size() ? script[scriptPos++] : (++scriptPos, 0); }

inline void useScript(int (**source)(), std::vector<int> draws) {
    script = std::move(draws);
    scriptPos = 0;
    *source = scripted;
}

// Enters mode `mode` of the program Make(nullptr) builds (once per executable).
template <viewer::Program (*Make)(void (*)())>
bool enterMode(int mode) {
    static const viewer::Program program = Make(nullptr);
    return viewer::enter(program, mode);
}

}  // namespace viewertest
