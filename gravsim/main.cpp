// gravsim: the N-body simulator in a freeglut window. The core (kernel.cu) holds the
// state, the modes and the keys; this file draws the bodies and starts the frame.
#include <GL/freeglut.h>

#include "camera/camera.h"
#include "gpu/runtime.h"
#include "gravsim/kernel.h"
#include "viewer/frame.h"

namespace {

// The positions straight from the host array, one white 2-pixel point per body.
void drawBodies() {
    camera::applyCamera();
    glClear(GL_COLOR_BUFFER_BIT);
    camera::drawPoints((const float*)gravsim::pos, nullptr, gravsim::bodyCount);
}

}  // namespace

int main(int argc, char** argv) {
    gpu::announceBackend("gravsim");
    static const viewer::Program program = gravsim::program(drawBodies);
    return viewer::run(program, argc, argv);
}
