// spherecast's core: a random scene of up to 101 shaded spheres seen down the z axis,
// traced at every pixel of a 1024 x 768 image on the CPU (mode 1), by a kernel reading the
// scene from global memory (mode 2) or from constant memory (mode 3). Window-free: tests
// and the benchmark drive the same globals and functions as the program.
#pragma once

#include <cmath>
#include <cstddef>

#include "gpu/runtime.h"
#include "viewer/frame.h"

namespace spherecast {

constexpr int imageWidth = 1024;
constexpr int imageHeight = 768;
constexpr int pixelCount = imageWidth * imageHeight;            // 786,432
constexpr size_t imageBytes = sizeof(float4) * pixelCount;      // 12,582,912
constexpr int startSphereCount = 20;
constexpr int maxSphereCount = 101;
constexpr int constantSphereCount = 20;  // what spheresCM holds
constexpr float missValue = -2e10f;
constexpr float zoomStep = 1.05f;
constexpr unsigned gridSize = 1536, blockSize = 512;
static_assert(gridSize * blockSize == (unsigned)pixelCount, "one thread per pixel: the kernels have no bounds test");

// One sphere: colour, radius, centre. Copied byte for byte to the device and to spheresCM.
struct Sphere {
    float r, g, b;
    float radius;
    float x, y, z;  // a larger z is nearer the viewer

    // The surface height over scene point (cx, cy), with the shade dz / radius in *sh;
    // missValue (and *sh untouched) when the point is not strictly inside the disc.
    __host__ __device__ float hit(float cx, float cy, float* sh) const {
        float dx = cx - x;
        float dy = cy - y;
        float dz2 = radius * radius - dx * dx - dy * dy;
        if (dz2 > 0) {
            float dz = sqrtf(dz2);
            *sh = dz / radius;
            return dz + z;
        }
        return missValue;
    }
};
static_assert(sizeof(Sphere) == 28, "the record is seven floats, no padding");

// The colour of pixel (row i, column j): the covering sphere with the largest key z x shade,
// the lowest index among equal keys, black (alpha 0) where none covers it. Shared by the
// CPU loop and both kernels so that all three give the same bits.
__host__ __device__ __forceinline__ float4 tracePixel(int i, int j, const Sphere* s, int count, float scale,
                                                       float offX, float offY) {
    float x = (float)(j - imageWidth / 2) * scale - offX;
    float y = (float)(i - imageHeight / 2) * scale - offY;
    float4 p = make_float4(0.0f, 0.0f, 0.0f, 0.0f);
    float closest = missValue;
    for (int k = 0; k < count; ++k) {
        float sh;
        float hit = s[k].hit(x, y, &sh);
        if (hit > missValue) {  // sh is only set on a hit
            float tmp = s[k].z * sh;
            if (tmp > closest) {
                closest = tmp;
                p.x = s[k].r * sh;
                p.y = s[k].g * sh;
                p.z = s[k].b * sh;
                p.w = 1.0f;
            }
        }
    }
    return p;
}

// ---- state (null when the mode holding it is not allocated) -------------------------

extern int spheres_count;
extern Sphere* spheres;
extern float4* pixels;
extern float4* pixels_gpu;
extern Sphere* d_spheres;
// spheresCM, the constant-memory scene of mode 3, lives in kernel.cu only: a __constant__
// array is visible to kernels of its own file.
extern float scale, offsetX, offsetY;

// Source of the random draws: the C library's rand. Tests replace it.
extern int (*randomSource)();

// ---- scene ---------------------------------------------------------------------------

// One draw, kept within 0..32767 whatever the generator's range.
int randomDraw();
// Seven draws: x, y, z, r, g, b, radius.
void randomSphere(Sphere* s);
// Records 0 .. count - 1 of scene, in index order.
void generateSpheresInto(Sphere* scene, int count);
// The same for the current scene: spheres_count records of spheres.
void generateSpheres();

// ---- the kernels and their launches ------------------------------------------------

__global__ void computeGPUPixel(float4* pixels_gpu, const Sphere* spheres, float dx, float dy, float d_scale,
                                int spheres_count);
__global__ void computeGPUPixelCM(float4* pixels_gpu, float dx, float dy, float d_scale, int spheres_count);
// The launches renderGPU and renderGPUConstant make: the whole image into pixels_gpu,
// gridSize x blockSize (the benchmark times these).
cudaError_t launchComputeGPUPixel(const Sphere* scene, float dx, float dy, float d_scale, int count);
cudaError_t launchComputeGPUPixelCM(float dx, float dy, float d_scale, int count);

// ---- the modes: allocate, release, compute --------------------------------------------

// The modes' compute steps. Mode 1 holds pixels and spheres; modes 2 and 3 also
// pixels_gpu. Entering a mode draws a new scene; mode 3 makes its scene of 20 records and
// uploads it to spheresCM. Each mode is the triple allocate, release, compute in kernel.cu;
// the frame enters and leaves them (viewer::enter for the benchmark and tests).
void renderCPU();
void renderGPU();
void renderGPUConstant();

// The count the constant-memory kernel is given: never more than spheresCM holds.
int constantKernelCount();

// ---- keys, mouse -------------------------------------------------------------------------

// Up adds one random sphere (up to 101; in mode 3 up to the 20 that spheresCM holds),
// down drops the last one (down to 0). A resize that fails keeps the scene as it was,
// with the refusal line on stderr; a failed upload to spheresCM is a failed GPU step.
void specialKeys(int key, int x, int y);
// Buttons 0-2 pan so the scene origin sits under the pointer; 3 and 4 are the wheel.
void mouse(int button, int state, int x, int y);
void motion(int x, int y);

int currentSphereCount();

// The frame table (window, title, modes) and the program for the frame; draw is the
// window's drawing step.
const viewer::FrameParams& frame();
viewer::Program program(void (*draw)());

}  // namespace spherecast
