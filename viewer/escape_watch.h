// ESC that works also in the middle of a frame that takes minutes (see escape_watch.cpp).
#pragma once

namespace viewer {

// Call right after the window is created, on the thread whose GL context is current.
// Returns false, with nothing started, when the window or the display cannot be had.
bool startEscapeWatch();

}  // namespace viewer
