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
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(4, GL_FLOAT, 0, points);
    glColorPointer(4, GL_FLOAT, 0, pointColors);
    glDrawArrays(GL_POINTS, 0, pointCount);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);

    glPointSize(5);
    glColor4f(1, 1, 1, 1);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(4, GL_FLOAT, 0, centroids);
    glDrawArrays(GL_POINTS, 0, clusterCount);
    glDisableClientState(GL_VERTEX_ARRAY);
}

}  // namespace

int main(int argc, char** argv) {
    gpu::announceBackend("clusterview");
    static const viewer::Program program = clusterview::program(drawKMeans);
    return viewer::run(program, argc, argv);
}
