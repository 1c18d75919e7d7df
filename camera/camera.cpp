// The camera's state and math; nothing here touches GL.
#include "camera.h"

#include <cmath>

namespace camera {

Vec3 eye{0, 0, 10};
Vec3 center{0, 0, 0};
Vec3 up{0, 1, 0};
double distance = 10.0;
Vec3 lastRay{0, 0, 0};
int dragging = 0;
int dragButton = 0;

namespace {
int noWindowSize() { return 0; }
void noRedisplay() {}
}  // namespace

// Constant-initialised, so camera_gl's start-up code that installs freeglut always runs
// after it.
Platform platform{noWindowSize, noWindowSize, noRedisplay};

void initCamera(double startDistance) {
    eye = Vec3{0, 0, startDistance};
    center = Vec3{0, 0, 0};
    up = Vec3{0, 1, 0};
    distance = startDistance;
    lastRay = Vec3{0, 0, 0};
    dragging = 0;
    dragButton = 0;
}

double vectorLength(double x, double y, double z) { return std::sqrt(x * x + y * y + z * z); }

void normalize(Vec3& v) {
    double len = vectorLength(v.x, v.y, v.z);
    v.x /= len;
    v.y /= len;
    v.z /= len;
}

void halfTurn(const Vec3& a, const Vec3& v, Vec3& out) {
    double s = 2 * (a.x * v.x + a.y * v.y + a.z * v.z);
    out = Vec3{s * a.x - v.x, s * a.y - v.y, s * a.z - v.z};
}

void toWorld(const Vec3& v, const Vec3& X, const Vec3& Y, const Vec3& Z, Vec3& out) {
    out = Vec3{v.x * X.x + v.y * Y.x + v.z * Z.x, v.x * X.y + v.y * Y.y + v.z * Z.y,
               v.x * X.z + v.y * Y.z + v.z * Z.z};
}

void mouseToRay(int x, int y, int w, int h, Vec3& out) {
    int cx = w / 2, cy = h / 2;
    double dx = x - cx, dy = cy - y;
    double radius = (cx < cy ? cx : cy) * trackballRadius;
    double planar = dx * dx + dy * dy;
    double dz = std::sqrt(planar) >= radius ? 0.0 : std::sqrt(radius * radius - dx * dx - dy * dy);
    double len = vectorLength(dx, dy, dz);
    // A window with a zero half extent has a trackball of radius 0, and its centre pixel
    // no direction: it counts as the centre of a normal trackball, facing the viewer.
    if (len == 0) {
        out = Vec3{0, 0, 1};
        return;
    }
    out = Vec3{dx / len, dy / len, dz / len};
}

void mouseToRay(int x, int y, Vec3& out) { mouseToRay(x, y, platform.windowWidth(), platform.windowHeight(), out); }

void rotateView(const Vec3& a, const Vec3& b) {
    Vec3 zDirection{eye.x - center.x, eye.y - center.y, eye.z - center.z};
    normalize(zDirection);
    double upLength = vectorLength(up.x, up.y, up.z);
    double upAlongZ = up.x * zDirection.x + up.y * zDirection.y + up.z * zDirection.z;
    Vec3 yDirection{up.x - upAlongZ * zDirection.x, up.y - upAlongZ * zDirection.y, up.z - upAlongZ * zDirection.z};
    normalize(yDirection);
    Vec3 xDirection{yDirection.y * zDirection.z - yDirection.z * zDirection.y,
                    yDirection.z * zDirection.x - yDirection.x * zDirection.z,
                    yDirection.x * zDirection.y - yDirection.y * zDirection.x};
    Vec3 e1, e2;
    toWorld(a, xDirection, yDirection, zDirection, e1);
    toWorld(b, xDirection, yDirection, zDirection, e2);
    Vec3 e{e1.x + e2.x, e1.y + e2.y, e1.z + e2.z};
    // Opposite trackball vectors (a jump from one edge of the window to the other) have no
    // bisector; normalising it would make the whole camera NaN for good. Such a jump turns
    // nothing.
    if (vectorLength(e.x, e.y, e.z) > 1e-9) {
        normalize(e);
        Vec3* axes[3] = {&zDirection, &xDirection, &yDirection};
        for (Vec3* axis : axes) {
            Vec3 temp;
            halfTurn(e, *axis, temp);
            halfTurn(e1, temp, *axis);
        }
    }
    eye = Vec3{center.x + distance * zDirection.x, center.y + distance * zDirection.y,
               center.z + distance * zDirection.z};
    up = Vec3{upLength * yDirection.x, upLength * yDirection.y, upLength * yDirection.z};
}

void cameraMouse(int button, int state, int x, int y) {
    Vec3 thisRay;
    mouseToRay(x, y, thisRay);
    if (state == 0) {
        if (dragging) return;  // a second button during a drag is ignored
        dragging = 1;
        dragButton = button;
        mouseToRay(x, y, lastRay);
    } else {
        if (!dragging || button != dragButton) return;
        dragging = 0;
    }
    // freeglut reports one wheel step as a press and a release; both apply the factor.
    if (button == 3) distance = distance / zoomFactor;
    if (button == 4) distance = distance * zoomFactor;
    rotateView(lastRay, thisRay);
    platform.postRedisplay();
}

void cameraMotion(int x, int y) {
    if (!dragging) return;
    Vec3 thisRay;
    mouseToRay(x, y, thisRay);
    rotateView(lastRay, thisRay);
    lastRay = thisRay;
    platform.postRedisplay();
}

}  // namespace camera
