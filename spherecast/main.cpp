// spherecast: a random scene of shaded spheres traced at every pixel each frame and drawn
// as one pixel rectangle. Keys: 1 CPU, 2 GPU, 3 GPU with the scene in constant memory,
// up/down add or remove a sphere, ESC quits; a click or drag pans, the wheel zooms.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include "gpu/runtime.h"
#include "spherecast/kernel.h"
#include "viewer/frame.h"

namespace {

// The raster position is never moved, so buffer row 0 is the window's bottom row.
void drawImage() {
    if (spherecast::pixels)
        glDrawPixels(spherecast::imageWidth, spherecast::imageHeight, GL_RGBA, GL_FLOAT, spherecast::pixels);
}

}  // namespace

int main(int argc, char** argv) {
    gpu::announceBackend("spherecast");
    static const viewer::Program program = spherecast::program(drawImage);
    return viewer::run(program, argc, argv);
}
