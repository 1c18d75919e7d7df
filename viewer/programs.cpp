// The frame parameters of the four viewers.
#include "frame.h"

namespace viewer {

namespace {
constexpr GlState kImage2D{false, false, 0.0f, true};
}

const FrameParams fractviewFrame{
    "Julia Fractals", 1024, 768, kImage2D, 500, "%s:  %s, %.2f FPS", false,
    {{0x31, 1, "CPU mode"}, {0x32, 2, "GPU mode"}}, 2,
    false, StartUp::AllocateMode, CallbackOrder::DisplayIdleMotionMouse, true, "fractview", nullptr};

const FrameParams spherecastFrame{
    "Raytracer", 1024, 768, kImage2D, 500, "%s:  %s, %.2f FPS", false,
    {{0x31, 1, "CPU mode"}, {0x32, 2, "GPU mode"}, {0x33, 3, "GPU mode - constant memory"}}, 3,
    true, StartUp::AllocateMode, CallbackOrder::DisplayIdleMotionMouse, true, "spherecast", "spheres"};

// gravsim's mode keys are the characters on the digit keys of a French keyboard.
const FrameParams gravsimFrame{
    "N-Body", 800, 800, GlState{true, false, 2.0f, false}, 200, "%s (mode: %s, bodies: %i, FPS: %.2f)", true,
    {{0x26, 1, "CPU"}, {0x32, 2, "GPU"}, {0x22, 3, "GPU double buffer"}, {0x27, 4, "GPU shared memory"}}, 4,
    true, StartUp::SwitchMode, CallbackOrder::DisplayIdleMouseMotion, false, "gravsim", "bodies"};

const FrameParams clusterviewFrame{
    "K-means", 800, 800, GlState{true, true, 0.0f, false}, 200, "%s: %s, %i points, %.2f FPS", true,
    {{0x31, 1, "CPU"}, {0x32, 2, "GPU"}}, 2,
    true, StartUp::SwitchMode, CallbackOrder::DisplayIdleMouseMotion, false, "clusterview", "points"};

}  // namespace viewer
