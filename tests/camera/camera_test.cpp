// The orbit camera driven through its callbacks in a made-up 800 x 800 window.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "camera/camera.h"

namespace {

int windowW = 800, windowH = 800, redisplays = 0;
int fakeWidth() { return windowW; }
int fakeHeight() { return windowH; }
void fakeRedisplay() { ++redisplays; }

class Camera : public ::testing::Test {
protected:
    void SetUp() override {
        windowW = windowH = 800;
        redisplays = 0;
        camera::platform = camera::Platform{fakeWidth, fakeHeight, fakeRedisplay};
        camera::initCamera(10.0);
    }
};

void expectVec(const camera::Vec3& v, double x, double y, double z, double tol = 1e-12) {
    EXPECT_NEAR(v.x, x, tol);
    EXPECT_NEAR(v.y, y, tol);
    EXPECT_NEAR(v.z, z, tol);
}

double eyeDistance() {
    using camera::center;
    using camera::eye;
    return camera::vectorLength(eye.x - center.x, eye.y - center.y, eye.z - center.z);
}

double dot(const camera::Vec3& a, const camera::Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

TEST_F(Camera, TrackballVectors) {
    camera::Vec3 v;
    camera::mouseToRay(400, 400, v);
    expectVec(v, 0, 0, 1);
    camera::mouseToRay(400, 80, v);  // exactly on the circle of radius 320
    expectVec(v, 0, 1, 0);
    camera::mouseToRay(0, 0, v);  // beyond it: stays in the screen plane
    expectVec(v, -std::sqrt(0.5), std::sqrt(0.5), 0);
    camera::mouseToRay(500, 300, v);  // inside: lifted onto the sphere
    double r = 320, dz = std::sqrt(r * r - 2 * 100.0 * 100.0);
    expectVec(v, 100 / r, 100 / r, dz / r);
    EXPECT_NEAR(camera::vectorLength(v.x, v.y, v.z), 1.0, 1e-15);
    // The window size is read on every call, and y grows upwards.
    windowW = 400;
    windowH = 200;
    camera::mouseToRay(200, 0, v);
    expectVec(v, 0, 1, 0);
}

TEST_F(Camera, ZeroSizedWindowStillGivesAUnitVector) {
    camera::Vec3 v;
    camera::mouseToRay(0, 0, 1, 1, v);  // half extents 0: radius 0, no direction
    expectVec(v, 0, 0, 1);
    camera::mouseToRay(1, 0, 1, 1, v);
    expectVec(v, 1, 0, 0);
}

TEST_F(Camera, DragFromCentreToCircleTurnsEyeAQuarter) {
    camera::cameraMouse(0, 0, 400, 400);
    EXPECT_EQ(camera::dragging, 1);
    camera::cameraMotion(720, 400);
    camera::cameraMouse(0, 1, 720, 400);
    EXPECT_EQ(camera::dragging, 0);
    expectVec(camera::eye, -10, 0, 0);
    expectVec(camera::up, 0, 1, 0);
    EXPECT_EQ(camera::distance, 10.0);
    EXPECT_EQ(redisplays, 3);  // press, motion, release
}

TEST_F(Camera, WheelStepDividesOrMultipliesTwice) {
    camera::cameraMouse(3, 0, 400, 400);
    camera::cameraMouse(3, 1, 400, 400);
    EXPECT_NEAR(camera::distance, 9.0702956, 1e-7);
    EXPECT_EQ(camera::distance, 10.0 / 1.0499999523162842 / 1.0499999523162842);
    EXPECT_NEAR(eyeDistance(), camera::distance, 1e-12);
    expectVec(camera::eye, 0, 0, camera::distance);

    camera::initCamera(10.0);
    camera::cameraMouse(4, 0, 123, 456);
    camera::cameraMouse(4, 1, 123, 456);
    EXPECT_NEAR(camera::distance, 11.0249989, 1e-7);
    EXPECT_NEAR(eyeDistance(), camera::distance, 1e-12);

    camera::initCamera(300.0);  // clusterview's start
    expectVec(camera::eye, 0, 0, 300);
    EXPECT_EQ(camera::distance, 300.0);
}

TEST_F(Camera, OtherButtonsDuringADragAreIgnored) {
    camera::cameraMouse(0, 0, 400, 400);
    camera::cameraMouse(2, 0, 500, 400);  // second button pressed
    camera::cameraMouse(3, 0, 500, 400);  // wheel during the drag
    camera::cameraMouse(3, 1, 500, 400);
    camera::cameraMouse(2, 1, 500, 400);  // its release does not end the drag
    EXPECT_EQ(camera::dragging, 1);
    EXPECT_EQ(camera::dragButton, 0);
    EXPECT_EQ(camera::distance, 10.0);
    expectVec(camera::eye, 0, 0, 10);  // none of them turned anything
    EXPECT_EQ(redisplays, 1);
    camera::cameraMotion(720, 400);  // the left drag goes on
    expectVec(camera::eye, -10, 0, 0);
    camera::cameraMouse(0, 1, 720, 400);
    EXPECT_EQ(camera::dragging, 0);
    camera::cameraMotion(400, 400);  // no drag: motion does nothing
    expectVec(camera::eye, -10, 0, 0);
    camera::cameraMouse(0, 1, 400, 400);  // a release without a drag does nothing
    EXPECT_EQ(redisplays, 3);
}

TEST_F(Camera, ClickWithoutMotionChangesNothing) {
    camera::cameraMouse(1, 0, 610, 170);
    camera::cameraMouse(1, 1, 610, 170);
    expectVec(camera::eye, 0, 0, 10);
    expectVec(camera::up, 0, 1, 0);
    EXPECT_EQ(camera::distance, 10.0);
}

TEST_F(Camera, EyeStaysAtDistanceAfterManyDrags) {
    srand(7);
    for (int drag = 0; drag < 200; ++drag) {
        camera::cameraMouse(drag % 3, 0, rand() % 800, rand() % 800);
        for (int step = 0; step < 10; ++step) camera::cameraMotion(rand() % 1000 - 100, rand() % 1000 - 100);
        camera::cameraMouse(drag % 3, 1, rand() % 800, rand() % 800);
        if (drag % 20 == 0) {
            camera::cameraMouse(3 + drag % 40 / 20, 0, 0, 0);
            camera::cameraMouse(3 + drag % 40 / 20, 1, 0, 0);
        }
    }
    EXPECT_NE(camera::eye.z, 10.0);  // it did turn
    EXPECT_NEAR(eyeDistance(), camera::distance, 1e-9);
    EXPECT_NEAR(camera::vectorLength(camera::up.x, camera::up.y, camera::up.z), 1.0, 1e-9);
    camera::Vec3 back{camera::eye.x - camera::center.x, camera::eye.y - camera::center.y,
                      camera::eye.z - camera::center.z};
    EXPECT_NEAR(dot(camera::up, back), 0.0, 1e-9);
}

TEST_F(Camera, JumpBetweenOppositeEdgesKeepsTheCameraFinite) {
    // (0, 400) and (800, 400) give opposite trackball vectors, which have no bisector.
    camera::cameraMouse(0, 0, 0, 400);
    camera::cameraMotion(800, 400);
    camera::cameraMouse(0, 1, 800, 400);
    for (double c : {camera::eye.x, camera::eye.y, camera::eye.z, camera::up.x, camera::up.y, camera::up.z})
        EXPECT_TRUE(std::isfinite(c));
    EXPECT_NEAR(eyeDistance(), 10.0, 1e-12);
    camera::cameraMouse(0, 0, 400, 400);  // and the camera still turns afterwards
    camera::cameraMotion(720, 400);
    camera::cameraMouse(0, 1, 720, 400);
    expectVec(camera::eye, -10, 0, 0);
}

TEST(CameraHelpers, HalfTurnAndToWorld) {
    camera::Vec3 out;
    camera::halfTurn(camera::Vec3{0, 0, 1}, camera::Vec3{1, 2, 3}, out);  // half turn about z
    expectVec(out, -1, -2, 3);
    camera::toWorld(camera::Vec3{1, 2, 3}, camera::Vec3{0, 1, 0}, camera::Vec3{0, 0, 1}, camera::Vec3{1, 0, 0}, out);
    expectVec(out, 3, 1, 2);
    camera::Vec3 v{3, 0, 4};
    camera::normalize(v);
    expectVec(v, 0.6, 0, 0.8);
}

}  // namespace
