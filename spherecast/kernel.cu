// spherecast: a random scene of up to 101 shaded spheres seen down the z axis, traced at
// every pixel of a 1024 x 768 image, one pixel per GPU thread.
//
// Modes (keys 1 to 3), what each changes and what to watch:
//   1  CPU mode                    renderCPU: one host thread traces every pixel against every sphere.
//   2  GPU mode                    computeGPUPixel: one thread per pixel, 1536 blocks of 512, the
//                                  scene copied to global memory every frame (cudaMalloc, cudaMemcpy,
//                                  cudaFree per frame). All threads of a warp read the same sphere at
//                                  the same time; the caches serve them.
//   3  GPU mode - constant memory  computeGPUPixelCM: the same kernel reading the scene from
//                                  spheresCM, uploaded once with cudaMemcpyToSymbol. Every thread of a
//                                  warp reads the same record at once, so a read is one broadcast;
//                                  constant memory holds 20 records, so this mode stops at 20 spheres.
//
// Controls (handled at the end of this file): a mouse button, or a drag, puts the scene
// origin under the pointer; the wheel zooms; the up arrow adds a random sphere, the down
// arrow drops the last one; the keys 1 to 3 pick the mode; ESC quits.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace spherecast {

using viewer::allocated;
using viewer::cudaCheck;

int spheres_count = startSphereCount;
Sphere* spheres = nullptr;
float4* pixels = nullptr;
float4* pixels_gpu = nullptr;
Sphere* d_spheres = nullptr;
float scale = 1.0f;
float offsetX = 0.0f;
float offsetY = 0.0f;

// Mode 3's scene, in the GPU's constant memory.
__constant__ Sphere spheresCM[constantSphereCount];

int (*randomSource)() = rand;

namespace {
constexpr int kKeyUp = 101;    // GLUT_KEY_UP
constexpr int kKeyDown = 103;  // GLUT_KEY_DOWN
constexpr size_t kSphereBytes = sizeof(Sphere);
size_t sceneBytes(int count) { return (size_t)count * kSphereBytes; }
}  // namespace

// ---- scene ---------------------------------------------------------------------------

int randomDraw() { return randomSource() & 0x7FFF; }

void randomSphere(Sphere* s) {
    s->x = (float)(randomDraw() % 1024);
    s->y = (float)(randomDraw() % 768);
    s->z = (float)(randomDraw() % 200);
    s->r = randomDraw() / 32767.0f;
    s->g = randomDraw() / 32767.0f;
    s->b = randomDraw() / 32767.0f;
    s->radius = (float)(randomDraw() % 150 + 15);
}

void generateSpheresInto(Sphere* scene, int count) {
    for (int k = 0; k < count; ++k) randomSphere(&scene[k]);
}

void generateSpheres() { generateSpheresInto(spheres, spheres_count); }

// ---- the CPU loop (mode 1) -----------------------------------------------------------------

// One host thread, rows outer.
void renderCPU() {
    GPU_RANGE("renderCPU");
    for (int i = 0; i < imageHeight; ++i)
        for (int j = 0; j < imageWidth; ++j)
            pixels[i * imageWidth + j] = tracePixel(i, j, spheres, spheres_count, scale, offsetX, offsetY);
}

// ---- the kernels (modes 2 and 3) ------------------------------------------------------------

// One thread per pixel, the scene in global memory.
__global__ void computeGPUPixel(float4* pixels_gpu, const Sphere* spheres, float dx, float dy, float d_scale,
                                int spheres_count) {
    int index = blockIdx.x * blockDim.x + threadIdx.x;
    int i = index / imageWidth, j = index % imageWidth;
    pixels_gpu[i * imageWidth + j] = tracePixel(i, j, spheres, spheres_count, d_scale, dx, dy);
}

// The same, every thread reading the scene from constant memory: the threads of a warp
// read the same record at the same time, which constant memory serves as one broadcast.
__global__ void computeGPUPixelCM(float4* pixels_gpu, float dx, float dy, float d_scale, int spheres_count) {
    int index = blockIdx.x * blockDim.x + threadIdx.x;
    int i = index / imageWidth, j = index % imageWidth;
    pixels_gpu[i * imageWidth + j] = tracePixel(i, j, spheresCM, spheres_count, d_scale, dx, dy);
}

// The launches: gridSize x blockSize = 1536 x 512 threads, one per pixel exactly, so the
// kernels need no bounds test.
cudaError_t launchComputeGPUPixel(const Sphere* scene, float dx, float dy, float d_scale, int count) {
    computeGPUPixel<<<gridSize, blockSize>>>(pixels_gpu, scene, dx, dy, d_scale, count);
    return cudaGetLastError();
}

cudaError_t launchComputeGPUPixelCM(float dx, float dy, float d_scale, int count) {
    computeGPUPixelCM<<<gridSize, blockSize>>>(pixels_gpu, dx, dy, d_scale, count);
    return cudaGetLastError();
}

// ---- the modes: allocate, release, compute -----------------------------------------------------

// Mode 1: the host image and a new scene of the current count.
bool allocateCPU() {
    pixels = (float4*)malloc(imageBytes);
    if (!allocated(pixels, "pixels", imageBytes)) return false;
    spheres = (Sphere*)malloc(sceneBytes(spheres_count));
    if (!allocated(spheres, "spheres", sceneBytes(spheres_count))) return false;
    generateSpheres();
    return true;
}

void releaseCPU() {
    free(pixels);
    free(spheres);
    pixels = nullptr;
    spheres = nullptr;
}

// Modes 2 and 3 also hold the device image.
void releaseGPU() {
    cudaFree(pixels_gpu);
    pixels_gpu = nullptr;
}

// Mode 2.
bool allocateGPU() {
    if (!allocateCPU()) return false;
    return allocated(cudaMalloc(&pixels_gpu, imageBytes), "pixels_gpu", imageBytes);
}

// The scene is copied to the device in every frame, into a buffer of this frame's size
// (zero spheres: a null pointer, never read).
void renderGPU() {
    GPU_RANGE("renderGPU");
    const size_t bytes = sceneBytes(spheres_count);
    if (cudaCheck(cudaMalloc(&d_spheres, bytes), "d_spheres allocation") &&
        cudaCheck(cudaMemcpy(d_spheres, spheres, bytes, cudaMemcpyHostToDevice), "scene upload") &&
        cudaCheck(launchComputeGPUPixel(d_spheres, offsetX, offsetY, scale, spheres_count), "computeGPUPixel launch"))
        // On a GPU the launch returns at once; this copy waits for the kernel to finish.
        cudaCheck(cudaMemcpy(pixels, pixels_gpu, imageBytes, cudaMemcpyDeviceToHost), "image download");
    cudaFree(d_spheres);
    d_spheres = nullptr;
}

// Mode 3: a scene of the 20 records constant memory holds, uploaded once.
bool allocateConstant() {
    const int count = spheres_count;
    spheres_count = constantSphereCount;
    const bool ok = allocateGPU() && cudaCheck(cudaMemcpyToSymbol(spheresCM, spheres, sceneBytes(constantSphereCount)),
                                               "constant scene upload");
    if (!ok) spheres_count = count;  // refused: the running mode keeps its count
    return ok;
}

// The count the constant-memory kernel is given: never more than spheresCM holds.
int constantKernelCount() { return spheres_count < constantSphereCount ? spheres_count : constantSphereCount; }

void renderGPUConstant() {
    GPU_RANGE("renderGPUConstant");
    if (cudaCheck(launchComputeGPUPixelCM(offsetX, offsetY, scale, constantKernelCount()), "computeGPUPixelCM launch"))
        cudaCheck(cudaMemcpy(pixels, pixels_gpu, imageBytes, cudaMemcpyDeviceToHost), "image download");
}

namespace {

void* const kBuffers[] = {&pixels, &spheres, &pixels_gpu};

const viewer::Mode kModes[] = {
    {.key = 0x31, .name = "CPU mode", .allocate = allocateCPU, .release = releaseCPU, .compute = renderCPU},
    {.key = 0x32, .name = "GPU mode", .allocate = allocateGPU, .release = releaseGPU, .compute = renderGPU,
     .gpu = true},
    {.key = 0x33, .name = "GPU mode - constant memory", .allocate = allocateConstant, .release = releaseGPU,
     .compute = renderGPUConstant, .gpu = true},
};

// Resizes the host scene to count records, keeping the first ones: the new array is had
// before the old one goes, so a refusal keeps the scene.
bool resizeScene(int count) {
    Sphere* resized = (Sphere*)malloc(sceneBytes(count));
    if (!allocated(resized, "spheres", sceneBytes(count))) {
        free(resized);
        viewer::reportRefusal();
        return false;
    }
    const int kept = count < spheres_count ? count : spheres_count;
    if (kept > 0) memcpy(resized, spheres, sceneBytes(kept));
    free(spheres);
    spheres = resized;
    return true;
}

}  // namespace

// ---- controls ----------------------------------------------------------------------------------

void specialKeys(int key, int, int) {
    const bool constantMode = viewer::state.mode == 3;
    if (key == kKeyUp) {
        // Constant memory holds 20 records, and the kernel must see no more than those.
        const int limit = constantMode ? constantSphereCount : maxSphereCount;
        if (spheres_count >= limit || !resizeScene(spheres_count + 1)) return;
        randomSphere(&spheres[spheres_count]);
        // Mode 3 draws from constant memory: the new record goes there too, so the picture
        // is the scene in the host array (after a down arrow, not the dropped record).
        if (constantMode && !cudaCheck(cudaMemcpyToSymbol(spheresCM, &spheres[spheres_count], kSphereBytes,
                                                          sceneBytes(spheres_count), cudaMemcpyHostToDevice),
                                       "constant scene upload"))
            return;
        spheres_count += 1;
    } else if (key == kKeyDown) {
        if (spheres_count <= 0 || !resizeScene(spheres_count - 1)) return;
        spheres_count -= 1;
    }
}

void mouse(int button, int, int x, int y) {
    if (button >= 0 && button <= 2) {
        motion(x, y);
    } else if (button == 3) {
        scale = scale / zoomStep;
    } else if (button == 4) {
        scale = scale * zoomStep;
    }
}

void motion(int x, int y) {
    offsetX = (float)(x - imageWidth / 2) * scale;
    offsetY = -((float)(y - imageHeight / 2) * scale);
}

int currentSphereCount() { return spheres_count; }

namespace {

const viewer::FrameParams kFrame{
    .title = "Raytracer", .width = 1024, .height = 768, .gl = {.imageProjection = true},
    .refreshMs = 500, .titleFormat = "%s:  %s, %.2f FPS",
    .modes = kModes, .buffers = kBuffers, .seedsRandom = true, .startUp = viewer::StartUp::AllocateMode,
    .callbackOrder = viewer::CallbackOrder::DisplayIdleMotionMouse, .drawsKnownModesOnly = true,
    .program = "spherecast", .countName = "spheres"};

}  // namespace

const viewer::FrameParams& frame() { return kFrame; }

viewer::Program program(void (*draw)()) {
    return {.params = &kFrame, .count = currentSphereCount, .draw = draw,
            .specialKeys = specialKeys, .mouse = mouse, .motion = motion};
}

}  // namespace spherecast
