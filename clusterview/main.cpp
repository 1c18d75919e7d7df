// clusterview: K-means on a cloud of 2,097,152 random points, one iteration per frame, the
// points drawn in their cluster's colour and the centroids in white, under an orbit camera.
// Keys: 1 CPU, 2 GPU, up/down double or halve the points, ESC quits; drag turns, wheel zooms.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include "camera/camera.h"
#include "clusterview/kernel.h"
#include "gpu/runtime.h"
#include "viewer/frame.h"

namespace {

void drawKMeans() {
    using namespace clusterview;
    camera::applyCamera();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (!points || !centroids) return;  // a mode without data draws nothing

    glPointSize(1);
    camera::drawPoints((const float*)points, (const float*)pointColors, pointCount);
    glPointSize(5);
    glColor4f(1, 1, 1, 1);
    camera::drawPoints((const float*)centroids, nullptr, clusterCount);
}

}  // namespace

int main(int argc, char** argv) {
    gpu::announceBackend("clusterview");
    static const viewer::Program program = clusterview::program(drawKMeans);
    return viewer::run(program, argc, argv);
}
