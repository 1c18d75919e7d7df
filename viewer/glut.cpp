// The frame on freeglut and GLEW: the real WindowCalls table, and run().
#include <GL/glew.h>
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "viewer/escape_watch.h"
#include "viewer/frame.h"
#include "viewer/startup.h"

namespace viewer {

static_assert(kDisplayModeRgbDouble == (GLUT_RGB | GLUT_DOUBLE));
static_assert(kGlDepthTest == GL_DEPTH_TEST);
static_assert(kGlModelView == GL_MODELVIEW);
static_assert(kGlProjection == GL_PROJECTION);

namespace {

int glutElapsed() { return glutGet(GLUT_ELAPSED_TIME); }
void glutTitle(const char* t) { glutSetWindowTitle(t); }

int createWindow(const char* title) {
    int id = glutCreateWindow(title);
    if (!startEscapeWatch()) fprintf(stderr, "ESC is read between frames only: no key watcher on this display\n");
    return id;
}

const WindowCalls kGlutCalls{
    [] { return time(nullptr); },
    [](unsigned seed) { srand(seed); },
    glutInit,
    glutInitDisplayMode,
    glutInitWindowPosition,
    glutInitWindowSize,
    createWindow,
    glClearColor,
    glColor4f,
    glEnable,
    glDisable,
    glPointSize,
    glMatrixMode,
    glLoadIdentity,
    glOrtho,
    glTranslatef,
    glutDisplayFunc,
    glutIdleFunc,
    glutMotionFunc,
    glutMouseFunc,
    glutKeyboardFunc,
    glutSpecialFunc,
    [] { return (unsigned)glewInit(); },
    [](unsigned err) { return (const char*)glewGetErrorString(err); },
    glutMainLoop,
    glutPostRedisplay,
    glutSwapBuffers,
};

}  // namespace

int run(const Program& prog, int argc, char** argv) {
    if (prog.setUp) prog.setUp();
    platform = Platform{glutElapsed, glutTitle};
    return startUp(prog, kGlutCalls, argc, argv);
}

}  // namespace viewer
