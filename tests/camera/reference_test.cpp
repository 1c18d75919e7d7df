// The orbit camera bit for bit against a literal reference written out here: long random
// scripts of presses, releases, wheel events and motions in windows of several shapes,
// the whole camera state compared after every event; and the exact values of a quarter
// drag and of one wheel step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "camera/camera.h"

namespace {

using V3 = camera::Vec3;
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double length(V3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }
V3 unitOf(V3 v) {
    const double l = length(v);
    return {v.x / l, v.y / l, v.z / l};
}
V3 halfTurn(V3 a, V3 v) {
    const double s = 2 * dot(a, v);
    return {s * a.x - v.x, s * a.y - v.y, s * a.z - v.z};
}
V3 toWorld(V3 v, V3 X, V3 Y, V3 Z) {
    return {v.x * X.x + v.y * Y.x + v.z * Z.x, v.x * X.y + v.y * Y.y + v.z * Z.y, v.x * X.z + v.y * Y.z + v.z * Z.z};
}

struct Camera {
    int w, h;
    V3 eye, center, up, lastRay;
    double distance;
    int dragging, button, redisplays;

    V3 ray(int px, int py) const {
        const int cx = w / 2, cy = h / 2;
        const double dx = px - cx, dy = cy - py, radius = (cx < cy ? cx : cy) * 0.8;
        const double dz = std::sqrt(dx * dx + dy * dy) >= radius ? 0 : std::sqrt(radius * radius - dx * dx - dy * dy);
        return unitOf({dx, dy, dz});
    }
    void rotate(V3 a, V3 b) {
        V3 z = unitOf({eye.x - center.x, eye.y - center.y, eye.z - center.z});
        const double upLength = length(up), along = dot(up, z);
        V3 y = unitOf({up.x - along * z.x, up.y - along * z.y, up.z - along * z.z});
        V3 x = {y.y * z.z - y.z * z.y, y.z * z.x - y.x * z.z, y.x * z.y - y.y * z.x};
        const V3 e1 = toWorld(a, x, y, z), e2 = toWorld(b, x, y, z), e = {e1.x + e2.x, e1.y + e2.y, e1.z + e2.z};
        if (length(e) > 1e-9)  // opposite vectors have no bisector: no turn
            for (V3* axis : {&z, &x, &y}) *axis = halfTurn(e1, halfTurn(unitOf(e), *axis));
        eye = {center.x + distance * z.x, center.y + distance * z.y, center.z + distance * z.z};
        up = {upLength * y.x, upLength * y.y, upLength * y.z};
    }
    void mouse(int b, int state, int px, int py) {
        const V3 thisRay = ray(px, py);
        if (state == 0) {
            if (dragging) return;
            dragging = 1, button = b, lastRay = ray(px, py);
        } else {
            if (!dragging || b != button) return;
            dragging = 0;
        }
        if (b == 3) distance = distance / 1.0499999523162842;
        if (b == 4) distance = distance * 1.0499999523162842;
        rotate(lastRay, thisRay);
        ++redisplays;
    }
    void motion(int px, int py) {
        if (!dragging) return;
        const V3 thisRay = ray(px, py);
        rotate(lastRay, thisRay);
        lastRay = thisRay;
        ++redisplays;
    }
};

Camera reference(int w, int h, double start) { return {w, h, {0, 0, start}, {0, 0, 0}, {0, 1, 0}, {0, 0, 0}, start, 0, 0, 0}; }

int windowW, windowH, redisplays;

void startProgram(int w, int h, double start) {
    windowW = w, windowH = h, redisplays = 0;
    camera::platform = {[] { return windowW; }, [] { return windowH; }, [] { ++redisplays; }};
    camera::initCamera(start);
}

bool same(const V3& a, const V3& b) { return std::memcmp(&a, &b, sizeof b) == 0; }

void expectSameState(const Camera& r, const char* after) {
    using namespace camera;
    ASSERT_TRUE(same(eye, r.eye)) << after << ": eye (" << eye.x << ", " << eye.y << ", " << eye.z << ")";
    ASSERT_TRUE(same(up, r.up)) << after << ": up (" << up.x << ", " << up.y << ", " << up.z << ")";
    ASSERT_TRUE(same(center, r.center)) << after;
    ASSERT_TRUE(same(lastRay, r.lastRay)) << after << ": lastRay";
    ASSERT_EQ(std::memcmp(&distance, &r.distance, sizeof(double)), 0) << after << ": distance " << distance;
    ASSERT_EQ(dragging, r.dragging) << after;
    ASSERT_EQ(dragButton, r.button) << after;
    ASSERT_EQ(redisplays, r.redisplays) << after;
}

TEST(CameraReference, RandomEventScripts) {
    const struct {
        unsigned seed;
        int w, h;
        double start;
    } cases[] = {{1, 800, 800, 10}, {2, 640, 480, 300}, {3, 801, 599, 10}, {4, 800, 800, 300}};
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << t.w << " x " << t.h << ", seed " << t.seed);
        startProgram(t.w, t.h, t.start);
        Camera ref = reference(t.w, t.h, t.start);
        expectSameState(ref, "start");
        std::mt19937 rng(t.seed);
        for (int k = 0; k < 4000; ++k) {
            const int x = (int)(rng() % (t.w + 100)) - 50, y = (int)(rng() % (t.h + 100)) - 50;
            const unsigned what = rng() % 20;
            char event[64];
            if (what < 9) {
                camera::cameraMotion(x, y);
                ref.motion(x, y);
                snprintf(event, sizeof event, "event %d: motion to (%d, %d)", k, x, y);
            } else {
                const int button = (int)(what % 5), state = (int)(rng() % 2);
                camera::cameraMouse(button, state, x, y);
                ref.mouse(button, state, x, y);
                snprintf(event, sizeof event, "event %d: button %d state %d at (%d, %d)", k, button, state, x, y);
            }
            expectSameState(ref, event);
        }
    }
}

TEST(CameraReference, ExactValuesOfAQuarterDragAndAWheelStep) {
    // gravsim's camera: a press at the centre, a motion onto the circle to the right and the
    // release there turn the eye a quarter, to the left.
    startProgram(800, 800, 10);
    Camera ref = reference(800, 800, 10);
    camera::cameraMouse(0, 0, 400, 400), ref.mouse(0, 0, 400, 400);
    camera::cameraMotion(720, 400), ref.motion(720, 400);
    camera::cameraMouse(0, 1, 720, 400), ref.mouse(0, 1, 720, 400);
    expectSameState(ref, "quarter drag");
    EXPECT_EQ(camera::eye.x, -10.0);
    EXPECT_EQ(camera::eye.y, 0.0);
    EXPECT_NEAR(camera::eye.z, 0, 4e-15);  // the two half turns leave a rounding here
    EXPECT_EQ(camera::up.x, 0.0);
    EXPECT_EQ(camera::up.y, 1.0);
    EXPECT_EQ(camera::up.z, 0.0);

    // One wheel step is a press and a release, each applying 1.05 rounded to float.
    const struct {
        int button;
        double start, distance, about;
    } steps[] = {{3, 10, 10 / 1.0499999523162842 / 1.0499999523162842, 9.0702956},
                 {4, 10, 10 * 1.0499999523162842 * 1.0499999523162842, 11.0249989},
                 {3, 300, 300 / 1.0499999523162842 / 1.0499999523162842, 272.1088683}};
    for (const auto& s : steps) {
        startProgram(800, 800, s.start);
        ref = reference(800, 800, s.start);
        camera::cameraMouse(s.button, 0, 123, 456), ref.mouse(s.button, 0, 123, 456);
        camera::cameraMouse(s.button, 1, 123, 456), ref.mouse(s.button, 1, 123, 456);
        expectSameState(ref, "wheel step");
        EXPECT_EQ(camera::distance, s.distance);
        EXPECT_NEAR(camera::distance, s.about, 1e-7);
        EXPECT_NEAR(camera::eye.z, s.distance, 1e-12);
    }
}

}  // namespace
