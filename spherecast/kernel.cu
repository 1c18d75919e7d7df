// spherecast's ray tracer: the random scene, the CPU loop and the two kernels (scene in
// global memory, scene in constant memory), the three modes and the keys and mouse.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>

namespace spherecast {

int spheres_count = startSphereCount;
Sphere* spheres = nullptr;
float4* pixels = nullptr;
float4* pixels_gpu = nullptr;
Sphere* d_spheres = nullptr;
float scale = 1.0f;
float offsetX = 0.0f;
float offsetY = 0.0f;

__constant__ Sphere spheresCM[constantSphereCount];

int (*draw)() = rand;
void* (*resize)(void* p, size_t bytes) = realloc;
viewer::Memory memory = viewer::systemMemory();

namespace {

constexpr int kKeyUp = 101;    // GLUT_KEY_UP
constexpr int kKeyDown = 103;  // GLUT_KEY_DOWN
constexpr size_t kSphereBytes = sizeof(Sphere);

size_t sceneBytes(int count) { return (size_t)count * kSphereBytes; }

// Resizes the host scene to count records, keeping the first ones. realloc(p, 0) may free
// p and return null, which would read as a failure, so an empty scene is freed outright
// (and grows again through the allocator table).
bool resizeScene(int count) {
    if (count == 0) {
        if (spheres) memory.hostFree(spheres);
        spheres = nullptr;
        return true;
    }
    void* p = spheres ? resize(spheres, sceneBytes(count)) : memory.hostAlloc(sceneBytes(count));
    if (!p) {
        viewer::refuse("spheres", sceneBytes(count), false, "out of memory");
        viewer::reportRefusal();
        return false;
    }
    spheres = (Sphere*)p;
    return true;
}

// Enters a mode: the image, a scene of count records and, for the GPU modes, the device
// image are taken and the scene drawn (and, for mode 3, uploaded) before the old mode is
// released; nothing changes when any of them cannot be had.
bool enterMode(void (*releaseOld)(), int count, bool gpu, bool constant) {
    viewer::Staging stage(memory);
    float4 *image, *deviceImage = nullptr;
    Sphere* scene;
    if (!stage.host(&image, imageBytes, "pixels") || !stage.host(&scene, sceneBytes(count), "spheres") ||
        (gpu && !stage.device(&deviceImage, imageBytes, "pixels_gpu"))) {
        stage.undo();
        return false;
    }
    generateSpheresInto(scene, count);
    if (constant)
        requireCuda(cudaMemcpyToSymbol(spheresCM, scene, sceneBytes(constantSphereCount), 0, cudaMemcpyHostToDevice),
                    "constant scene upload");
    if (releaseOld) releaseOld();
    pixels = image;
    spheres = scene;
    pixels_gpu = deviceImage;
    spheres_count = count;
    return true;
}

}  // namespace

void deviceAlloc(void** p, size_t bytes, const char* name) {
    cudaError_t err = memory.deviceAlloc(p, bytes);
    if (err != cudaSuccess) {
        fprintf(stderr, "spherecast: out of device memory: cannot allocate %zu bytes for %s (%s)\n", bytes, name,
                cudaGetErrorString(err));
        exit(1);
    }
}

void requireCuda(cudaError_t err, const char* what) {
    if (err != cudaSuccess) {
        fprintf(stderr, "spherecast: %s failed: %s\n", what, cudaGetErrorString(err));
        exit(1);
    }
}

// ---- scene ---------------------------------------------------------------------------

int randomDraw() { return draw() & 0x7FFF; }

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

// ---- the three renderers -----------------------------------------------------------

// Mode 1: the reference, one host thread, rows outer.
void renderCPU() {
    GPU_RANGE("renderCPU");
    for (int i = 0; i < imageHeight; ++i)
        for (int j = 0; j < imageWidth; ++j)
            pixels[i * imageWidth + j] = tracePixel(i, j, spheres, spheres_count, scale, offsetX, offsetY);
}

// Mode 2: one thread per pixel, the scene in global memory.
__global__ void computeGPUPixel(float4* pixels_gpu, const Sphere* spheres, float dx, float dy, float d_scale,
                                int spheres_count) {
    int index = blockIdx.x * blockDim.x + threadIdx.x;
    int i = index / imageWidth, j = index % imageWidth;
    pixels_gpu[i * imageWidth + j] = tracePixel(i, j, spheres, spheres_count, d_scale, dx, dy);
}

// Mode 3: the same, every thread reading the scene from constant memory.
__global__ void computeGPUPixelCM(float4* pixels_gpu, float dx, float dy, float d_scale, int spheres_count) {
    int index = blockIdx.x * blockDim.x + threadIdx.x;
    int i = index / imageWidth, j = index % imageWidth;
    pixels_gpu[i * imageWidth + j] = tracePixel(i, j, spheresCM, spheres_count, d_scale, dx, dy);
}

void renderGPU() {
    GPU_RANGE("renderGPU");
    const size_t bytes = sceneBytes(spheres_count);
    {
        GPU_RANGE("copy to device");
        deviceAlloc((void**)&d_spheres, bytes, "d_spheres");  // zero spheres: a null pointer, never read
        requireCuda(cudaMemcpy(d_spheres, spheres, bytes, cudaMemcpyHostToDevice), "scene upload");
    }
    {
        GPU_RANGE("launch computeGPUPixel");
        requireCuda(launchKernel(computeGPUPixel, dim3(gridSize), dim3(blockSize), pixels_gpu,
                                 (const Sphere*)d_spheres, offsetX, offsetY, scale, spheres_count),
                    "computeGPUPixel launch");
    }
    {
        GPU_RANGE("copy to host");
        requireCuda(cudaMemcpy(pixels, pixels_gpu, imageBytes, cudaMemcpyDeviceToHost), "image download");
    }
    if (d_spheres) memory.deviceFree(d_spheres);
    d_spheres = nullptr;
}

int constantKernelCount() { return spheres_count < constantSphereCount ? spheres_count : constantSphereCount; }

void renderGPUConstant() {
    GPU_RANGE("renderGPUConstant");
    {
        GPU_RANGE("launch computeGPUPixelCM");
        requireCuda(launchKernel(computeGPUPixelCM, dim3(gridSize), dim3(blockSize), pixels_gpu, offsetX, offsetY,
                                 scale, constantKernelCount()),
                    "computeGPUPixelCM launch");
    }
    GPU_RANGE("copy to host");
    requireCuda(cudaMemcpy(pixels, pixels_gpu, imageBytes, cudaMemcpyDeviceToHost), "image download");
}

// ---- modes ---------------------------------------------------------------------------

bool enterCPU(void (*releaseOld)()) { return enterMode(releaseOld, spheres_count, false, false); }
bool enterGPU(void (*releaseOld)()) { return enterMode(releaseOld, spheres_count, true, false); }
bool enterGPUConstant(void (*releaseOld)()) { return enterMode(releaseOld, constantSphereCount, true, true); }

void allocateCPU() {
    if (!enterCPU(nullptr)) viewer::cannotStart("spherecast");
}

void allocateGPU() {
    if (!enterGPU(nullptr)) viewer::cannotStart("spherecast");
}

void allocateGPUConstant() {
    if (!enterGPUConstant(nullptr)) viewer::cannotStart("spherecast");
}

void releaseCPU() {
    if (pixels) memory.hostFree(pixels);
    if (spheres) memory.hostFree(spheres);
    pixels = nullptr;
    spheres = nullptr;
}

void releaseGPU() {
    releaseCPU();
    if (pixels_gpu) memory.deviceFree(pixels_gpu);
    pixels_gpu = nullptr;
}

// ---- keys and mouse --------------------------------------------------------------------

void specialKeys(int key, int, int) {
    const bool constantMode = viewer::state.mode == 3;
    if (key == kKeyUp) {
        // Constant memory holds 20 records, and the kernel must see no more than those.
        const int limit = constantMode ? constantSphereCount : maxSphereCount;
        if (spheres_count >= limit || !resizeScene(spheres_count + 1)) return;
        randomSphere(&spheres[spheres_count]);
        // Mode 3 draws from constant memory: the new record goes there too, so the picture
        // is the scene in the host array (after a down arrow, not the dropped record).
        if (constantMode)
            requireCuda(cudaMemcpyToSymbol(spheresCM, &spheres[spheres_count], kSphereBytes,
                                           sceneBytes(spheres_count), cudaMemcpyHostToDevice),
                        "constant scene upload");
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

viewer::Program frameProgram() {
    viewer::Program p{};
    p.params = &viewer::spherecastFrame;
    p.modes[1] = {enterCPU, releaseCPU, renderCPU};
    p.modes[2] = {enterGPU, releaseGPU, renderGPU};
    p.modes[3] = {enterGPUConstant, releaseGPU, renderGPUConstant};
    p.count = currentSphereCount;
    p.specialKeys = specialKeys;
    p.mouse = mouse;
    p.motion = motion;
    return p;
}

}  // namespace spherecast
