// The orbit camera of the 3D viewers (gravsim, clusterview): a look-at camera turned
// about its center by a virtual trackball while a mouse button is dragged, moved nearer
// or farther by the wheel, and loaded into the GL matrices once per frame.
//
// The state is plain module globals. A program sets its start distance with
// initCamera(), registers cameraMouse and cameraMotion with freeglut and calls
// applyCamera() every frame. All math is in double precision. Only applyCamera() and the
// freeglut platform touch GL or freeglut; they live in camera_gl.cpp (library camera_gl,
// linked by the programs alone), so tests and the benchmark drive the rest, library
// camera, without a window system.
#pragma once

namespace camera {

struct Vec3 {
    double x, y, z;
};

// ---- state -------------------------------------------------------------------------

extern Vec3 eye;        // eye position, always `distance` from center after a turn
extern Vec3 center;     // the point looked at and turned about; never moved here
extern Vec3 up;         // up vector, orthogonal to eye - center
extern double distance; // where rotateView places the eye; changed by the wheel only
extern Vec3 lastRay;    // trackball vector of the last mouse position of a drag
extern int dragging;    // 1 while a drag is under way
extern int dragButton;  // the button that started the current drag

// 1.05 rounded to float and used as a double: the factor of one wheel event.
constexpr double zoomFactor = (double)1.05f;
constexpr double trackballRadius = 0.8;  // times the smaller half window extent

// Resets the camera: eye at (0, 0, startDistance) looking at the origin, y up, no drag.
void initCamera(double startDistance);

// ---- what the camera needs from the window system; tests replace it -----------------

struct Platform {
    int (*windowWidth)();
    int (*windowHeight)();
    void (*postRedisplay)();
};
// Without camera_gl: a 0 x 0 window that ignores redisplay requests. Linking camera_gl
// makes freeglut the default.
extern Platform platform;

// ---- vector helpers ----------------------------------------------------------------

double vectorLength(double x, double y, double z);
void normalize(Vec3& v);
// out = 2 (a . v) a - v: the half turn of v about the unit axis a.
void halfTurn(const Vec3& a, const Vec3& v, Vec3& out);
// out = v.x X + v.y Y + v.z Z.
void toWorld(const Vec3& v, const Vec3& X, const Vec3& Y, const Vec3& Z, Vec3& out);

// ---- the trackball -----------------------------------------------------------------

// Window pixel (from the top left) to a unit trackball vector, for a w x h window.
void mouseToRay(int x, int y, int w, int h, Vec3& out);
// The same for the current window size.
void mouseToRay(int x, int y, Vec3& out);

// Turns the camera by the rotation that carries trackball vector b (current) onto a
// (previous), then places the eye at `distance`.
void rotateView(const Vec3& a, const Vec3& b);

// freeglut callbacks: mouse (press state 0; buttons 3 and 4 are the wheel) and motion.
void cameraMouse(int button, int state, int x, int y);
void cameraMotion(int x, int y);

// Loads the fixed perspective and the look-at model-view for this frame.
void applyCamera();

// Draws count points from an array of four floats each (w = 1, the homogeneous
// coordinate), coloured per point from colors (four floats each) or, when it is null, in
// the current colour.
void drawPoints(const float* vertices, const float* colors, int count);

}  // namespace camera
