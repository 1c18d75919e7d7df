// The frame on freeglut and GLEW: start-up sequence, callbacks, main loop.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "frame.h"
#include "gpu/runtime.h"

namespace viewer {
namespace {

int glutElapsed() { return glutGet(GLUT_ELAPSED_TIME); }
void glutTitle(const char* t) { glutSetWindowTitle(t); }

void display() {
    computeFrame();
    const FrameParams& p = *program->params;
    bool known = false;
    for (int i = 0; i < p.modeCount; ++i) known = known || p.modes[i].number == state.mode;
    if (program->draw && (known || !p.drawsKnownModesOnly)) program->draw();
    glutSwapBuffers();
}

void idle() { glutPostRedisplay(); }

void special(int key, int x, int y) {
    if (program->specialKeys) program->specialKeys(key, x, y);
}
void mouse(int button, int s, int x, int y) {
    if (program->mouse) program->mouse(button, s, x, y);
}
void motion(int x, int y) {
    if (program->motion) program->motion(x, y);
}

void initGL(int* argc, char** argv) {
    const FrameParams& p = *program->params;
    glutInit(argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE);
    glutInitWindowPosition(0, 0);
    glutInitWindowSize(p.width, p.height);
    glutCreateWindow(p.title);
    glClearColor(0, 0, 0, 0);
    if (p.gl.whiteColor) glColor4f(1, 1, 1, 1);
    if (p.gl.depthTest)
        glEnable(GL_DEPTH_TEST);
    else
        glDisable(GL_DEPTH_TEST);
    if (p.gl.pointSize > 0) glPointSize(p.gl.pointSize);
    if (p.gl.imageProjection) {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0, p.width, p.height, 0, 0, 1);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glTranslatef(0.375f, 0.375f, 0);
    }
}

}  // namespace

int run(const Program& prog, int argc, char** argv) {
    program = &prog;
    platform = Platform{glutElapsed, glutTitle};
    const FrameParams& p = *prog.params;
    if (p.seedsRandom) srand((unsigned)time(nullptr));
    initGL(&argc, argv);
    if (p.startUp == StartUp::AllocateMode)
        allocateMode();
    else
        switchMode(1);
    glutDisplayFunc(display);
    glutIdleFunc(idle);
    if (p.callbackOrder == CallbackOrder::DisplayIdleMotionMouse) {
        glutMotionFunc(motion);
        glutMouseFunc(mouse);
    } else {
        glutMouseFunc(mouse);
        glutMotionFunc(motion);
    }
    glutKeyboardFunc(keyboard);
    glutSpecialFunc(special);
    GLenum err = glewInit();
    if (err != 0) printf("ERROR: %s\n", (const char*)glewGetErrorString(err));
    glutMainLoop();
    releaseMode();
    return 1;
}

}  // namespace viewer
