// Shared by the viewer tests: a program's modes entered and left without a window, as the
// benchmark does.
#pragma once

#include "viewer/frame.h"

namespace viewertest {

// Enters mode `mode` of the program Make(nullptr) builds (once per executable).
template <viewer::Program (*Make)(void (*)())>
bool enterMode(int mode) {
    static const viewer::Program program = Make(nullptr);
    return viewer::enter(program, mode);
}

}  // namespace viewertest
