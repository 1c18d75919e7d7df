// The frame's start-up and callbacks on a WindowCalls table.
#include "viewer/startup.h"

#include <cstdio>

#include "gpu/runtime.h"

namespace viewer {

WindowCalls calls{};

namespace {

// freeglut initialisation, the window, and the program's fixed GL state.
void initGL(int* argc, char** argv) {
    const FrameParams& p = *program->params;
    calls.glutInit(argc, argv);
    calls.glutInitDisplayMode(kDisplayModeRgbDouble);
    calls.glutInitWindowPosition(0, 0);
    calls.glutInitWindowSize(p.width, p.height);
    calls.glutCreateWindow(p.title);
    calls.glClearColor(0, 0, 0, 0);
    if (p.gl.whiteColor) calls.glColor4f(1, 1, 1, 1);
    if (p.gl.depthTest)
        calls.glEnable(kGlDepthTest);
    else
        calls.glDisable(kGlDepthTest);
    if (p.gl.pointSize > 0) calls.glPointSize(p.gl.pointSize);
    if (p.gl.imageProjection) {
        calls.glMatrixMode(kGlProjection);
        calls.glLoadIdentity();
        calls.glOrtho(0, p.width, p.height, 0, 0, 1);
        calls.glMatrixMode(kGlModelView);
        calls.glLoadIdentity();
        calls.glTranslatef(0.375f, 0.375f, 0);
    }
}

bool knownMode(const FrameParams& p, int mode) { return mode >= 1 && mode <= p.modes.count; }

}  // namespace

void display() {
    computeFrame();
    GPU_RANGE("draw");  // the drawing and the swap, until the end of the frame
    const FrameParams& p = *program->params;
    if (program->draw && (!p.drawsKnownModesOnly || knownMode(p, state.mode))) program->draw();
    calls.glutSwapBuffers();
}

void idle() { calls.glutPostRedisplay(); }

void mouse(int button, int s, int x, int y) {
    if (program->mouse) program->mouse(button, s, x, y);
}

void motion(int x, int y) {
    if (program->motion) program->motion(x, y);
}

void special(int key, int x, int y) {
    if (program->specialKeys) program->specialKeys(key, x, y);
    settleFailure();
}

int startUp(const Program& prog, const WindowCalls& windowCalls, int argc, char** argv) {
    program = &prog;
    calls = windowCalls;
    const FrameParams& p = *prog.params;
    if (p.seedsRandom) calls.srand((unsigned)calls.time());
    initGL(&argc, argv);
    if (p.startUp == StartUp::AllocateMode)
        allocateMode();
    else
        switchMode(1);
    calls.glutDisplayFunc(display);
    calls.glutIdleFunc(idle);
    if (p.callbackOrder == CallbackOrder::DisplayIdleMotionMouse) {
        calls.glutMotionFunc(motion);
        calls.glutMouseFunc(mouse);
    } else {
        calls.glutMouseFunc(mouse);
        calls.glutMotionFunc(motion);
    }
    calls.glutKeyboardFunc(keyboard);
    calls.glutSpecialFunc(special);
    unsigned err = calls.glewInit();
    if (err != 0) printf("ERROR: %s\n", calls.glewGetErrorString(err));
    calls.glutMainLoop();
    releaseMode();
    return 1;
}

}  // namespace viewer
