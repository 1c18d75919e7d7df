// freeglut reads keys only between frames, on its one thread, so a frame (or a mode
// switch) that takes minutes would hold ESC back for minutes. The watcher is a second
// thread with its own connection to the X server that selects key presses on the
// program's window: the server hands such an event to every client that asked for it, so
// freeglut still gets every key as before. The thread sleeps in XNextEvent until a key
// comes: nothing happens per frame. On ESC it ends the process at once with status 0,
// as the keyboard callback would; nothing needs saving.
#include "viewer/escape_watch.h"

#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace viewer {
namespace {

void watchKeys(Display* dpy) {
    for (;;) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == MappingNotify) XRefreshKeyboardMapping(&ev.xmapping);  // a new keyboard map
        if (ev.type != KeyPress) continue;
        // The character freeglut's keyboard callback would get for this press.
        char c = 0;
        KeySym sym;
        if (XLookupString(&ev.xkey, &c, 1, &sym, nullptr) == 1 && (unsigned char)c == 0x1B) {
            fflush(stdout);
            _exit(0);
        }
    }
}

}  // namespace

bool startEscapeWatch() {
    // freeglut made its window current: the drawable is the X window, and the display
    // name is the one freeglut opened (also when given with -display).
    Display* glutDisplay = glXGetCurrentDisplay();
    Window window = glXGetCurrentDrawable();
    if (!glutDisplay || !window) return false;
    Display* dpy = XOpenDisplay(DisplayString(glutDisplay));
    if (!dpy) return false;
    XSelectInput(dpy, window, KeyPressMask);
    // The first XLookupString fetches the keyboard map from the server; do that now, not
    // in round trips to a busy server at the moment ESC comes.
    XKeyEvent probe{};
    probe.type = KeyPress;
    probe.display = dpy;
    probe.window = window;
    probe.keycode = XKeysymToKeycode(dpy, XK_Escape);
    char c = 0;
    KeySym sym;
    XLookupString(&probe, &c, 1, &sym, nullptr);
    XSync(dpy, False);  // selected before the program goes on: no early ESC is missed
    std::thread(watchKeys, dpy).detach();
    return true;
}

}  // namespace viewer
