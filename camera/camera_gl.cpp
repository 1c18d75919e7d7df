// The camera on GL and freeglut: the per-frame matrices and the default platform.
#include <GL/freeglut.h>
#include <GL/glu.h>

#include "camera.h"

namespace camera {
namespace {
int glutWidth() { return glutGet(GLUT_WINDOW_WIDTH); }
int glutHeight() { return glutGet(GLUT_WINDOW_HEIGHT); }
void glutRedisplay() { glutPostRedisplay(); }
}  // namespace

// Programs link this file for applyCamera(), which brings freeglut in as the platform.
const bool glutInstalled = (platform = Platform{glutWidth, glutHeight, glutRedisplay}, true);

void applyCamera() {
    // Fixed perspective: the windows are square and never reshaped, and zooming moves the
    // eye, not the field of view.
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(50, 1, 1, 1000);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    gluLookAt(eye.x, eye.y, eye.z, center.x, center.y, center.z, up.x, up.y, up.z);
}

void drawPoints(const float* vertices, const float* colors, int count) {
    glEnableClientState(GL_VERTEX_ARRAY);
    if (colors) glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(4, GL_FLOAT, 0, vertices);
    if (colors) glColorPointer(4, GL_FLOAT, 0, colors);
    glDrawArrays(GL_POINTS, 0, count);
    if (colors) glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
}

}  // namespace camera
