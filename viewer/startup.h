// The frame's start-up and callbacks, free of any window system: every freeglut, GL and
// GLEW call they make goes through a WindowCalls table. glut.cpp holds the real table
// (viewer_glut); tests hand startUp() a recording one and check the exact call sequence
// without a window or a GL library.
#pragma once

#include <ctime>

#include "viewer/frame.h"

namespace viewer {

// The values of the few window-system constants the start-up passes (glut.cpp checks
// them against the real headers).
constexpr unsigned kDisplayModeRgbDouble = 2;  // GLUT_RGB | GLUT_DOUBLE
constexpr unsigned kGlDepthTest = 0x0B71;      // GL_DEPTH_TEST
constexpr unsigned kGlModelView = 0x1700;      // GL_MODELVIEW
constexpr unsigned kGlProjection = 0x1701;     // GL_PROJECTION

struct WindowCalls {
    // C library: the seed comes first, before any window call.
    time_t (*time)();  // time(NULL)
    void (*srand)(unsigned seed);

    // freeglut start-up.
    void (*glutInit)(int* argc, char** argv);
    void (*glutInitDisplayMode)(unsigned mode);
    void (*glutInitWindowPosition)(int x, int y);
    void (*glutInitWindowSize)(int width, int height);
    int (*glutCreateWindow)(const char* title);

    // GL state.
    void (*glClearColor)(float r, float g, float b, float a);
    void (*glColor4f)(float r, float g, float b, float a);
    void (*glEnable)(unsigned cap);
    void (*glDisable)(unsigned cap);
    void (*glPointSize)(float size);
    void (*glMatrixMode)(unsigned mode);
    void (*glLoadIdentity)();
    void (*glOrtho)(double left, double right, double bottom, double top, double zNear, double zFar);
    void (*glTranslatef)(float x, float y, float z);

    // Callback registration.
    void (*glutDisplayFunc)(void (*f)());
    void (*glutIdleFunc)(void (*f)());
    void (*glutMotionFunc)(void (*f)(int x, int y));
    void (*glutMouseFunc)(void (*f)(int button, int state, int x, int y));
    void (*glutKeyboardFunc)(void (*f)(unsigned char key, int x, int y));
    void (*glutSpecialFunc)(void (*f)(int key, int x, int y));

    // GLEW, the loop.
    unsigned (*glewInit)();
    const char* (*glewGetErrorString)(unsigned error);
    void (*glutMainLoop)();

    // Used by the callbacks, once per frame.
    void (*glutPostRedisplay)();
    void (*glutSwapBuffers)();
};

// The table the callbacks call through; set by startUp().
extern WindowCalls calls;

// The start-up sequence on the given table: seed (programs that draw random numbers),
// window and GL state, buffers of mode 1, callbacks, GLEW (its failure is one line on
// standard output, then carry on), main loop; if the loop returns, the mode's buffers are
// released and the result is 1. `platform` must be set by the caller.
int startUp(const Program& program, const WindowCalls& windowCalls, int argc, char** argv);

// The callbacks startUp() registers.
void display();
void idle();
void mouse(int button, int state, int x, int y);
void motion(int x, int y);
void special(int key, int x, int y);

}  // namespace viewer
