// fractview: the window and its drawing; everything else is in the core (kernel.cu).
#include <GL/glew.h>
#include <GL/freeglut.h>

#include "kernel.h"

namespace {

// The raster position is never set, so the image lands at the window origin: row 0 on
// the bottom row, covering the whole client area.
void draw() { glDrawPixels(fractview::kWidth, fractview::kHeight, GL_RGBA, GL_FLOAT, fractview::pixels); }

}  // namespace

int main(int argc, char** argv) {
    gpu::announceBackend("fractview");
    static const viewer::Program program = fractview::program(draw);
    return viewer::run(program, argc, argv);
}
