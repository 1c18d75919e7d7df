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

int (*randomSource)() = rand;
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

cudaError_t launchComputeGPUPixel(const Sphere* scene, float dx, float dy, float d_scale, int count) {
    return launchKernel(computeGPUPixel, dim3(gridSize), dim3(blockSize), pixels_gpu, scene, dx, dy, d_scale, count);
}

cudaError_t launchComputeGPUPixelCM(float dx, float dy, float d_scale, int count) {
    return launchKernel(computeGPUPixelCM, dim3(gridSize), dim3(blockSize), pixels_gpu, dx, dy, d_scale, count);
}

// The scene is copied to the device in every frame, into a buffer of this frame's size.
void renderGPU() {
    GPU_RANGE("renderGPU");
    const size_t bytes = sceneBytes(spheres_count);
    bool ok;
    {
        GPU_RANGE("copy to device");
        // zero spheres: a null pointer, never read
        ok = viewer::gpuStep(memory.deviceAlloc((void**)&d_spheres, bytes), "d_spheres allocation");
        if (!ok) d_spheres = nullptr;
        ok = ok && viewer::gpuStep(cudaMemcpy(d_spheres, spheres, bytes, cudaMemcpyHostToDevice), "scene upload");
    }
    if (ok) {
        GPU_RANGE("launch computeGPUPixel");
        ok = viewer::gpuStep(launchComputeGPUPixel(d_spheres, offsetX, offsetY, scale, spheres_count),
                             "computeGPUPixel launch");
    }
    if (ok) {
        GPU_RANGE("copy to host");
        viewer::gpuStep(cudaMemcpy(pixels, pixels_gpu, imageBytes, cudaMemcpyDeviceToHost), "image download");
    }
    if (d_spheres) memory.deviceFree(d_spheres);
    d_spheres = nullptr;
}

int constantKernelCount() { return spheres_count < constantSphereCount ? spheres_count : constantSphereCount; }

void renderGPUConstant() {
    GPU_RANGE("renderGPUConstant");
    {
        GPU_RANGE("launch computeGPUPixelCM");
        if (!viewer::gpuStep(launchComputeGPUPixelCM(offsetX, offsetY, scale, constantKernelCount()),
                             "computeGPUPixelCM launch"))
            return;
    }
    GPU_RANGE("copy to host");
    viewer::gpuStep(cudaMemcpy(pixels, pixels_gpu, imageBytes, cudaMemcpyDeviceToHost), "image download");
}

// ---- modes ---------------------------------------------------------------------------

namespace {

size_t imageSize() { return imageBytes; }
size_t sceneSize() { return sceneBytes(spheres_count); }
size_t constantSceneSize() { return sceneBytes(constantSphereCount); }

// A new scene of the current count in the staged spheres (place 1 of the list).
bool drawScene(const viewer::Staged& b) {
    generateSpheresInto(b.at<Sphere>(1), spheres_count);
    return true;
}
// Mode 3's scene: 20 records, uploaded to spheresCM.
bool drawConstantScene(const viewer::Staged& b) {
    generateSpheresInto(b.at<Sphere>(1), constantSphereCount);
    return viewer::gpuStep(
        cudaMemcpyToSymbol(spheresCM, b.at<Sphere>(1), constantSceneSize(), 0, cudaMemcpyHostToDevice),
        "constant scene upload");
}
void enteredConstant() { spheres_count = constantSphereCount; }

constexpr viewer::Slot kScene = viewer::slot<spheres>();
const viewer::Buffer kImage{.name = "pixels", .device = false, .bytes = imageSize, .slot = viewer::slot<pixels>()};
const viewer::Buffer kDeviceImage{
    .name = "pixels_gpu", .device = true, .bytes = imageSize, .slot = viewer::slot<pixels_gpu>()};
const viewer::Buffer kCpuBuffers[] = {kImage, {.name = "spheres", .device = false, .bytes = sceneSize, .slot = kScene}};
const viewer::Buffer kGpuBuffers[] = {kCpuBuffers[0], kCpuBuffers[1], kDeviceImage};
const viewer::Buffer kConstantBuffers[] = {
    kImage, {.name = "spheres", .device = false, .bytes = constantSceneSize, .slot = kScene}, kDeviceImage};

const viewer::Mode kModes[] = {
    {.key = 0x31, .name = "CPU mode", .buffers = kCpuBuffers, .fill = drawScene, .compute = renderCPU},
    {.key = 0x32, .name = "GPU mode", .buffers = kGpuBuffers, .fill = drawScene, .compute = renderGPU},
    {.key = 0x33, .name = "GPU mode - constant memory", .buffers = kConstantBuffers, .fill = drawConstantScene,
     .entered = enteredConstant, .compute = renderGPUConstant},
};

}  // namespace

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
        if (constantMode && !viewer::gpuStep(cudaMemcpyToSymbol(spheresCM, &spheres[spheres_count], kSphereBytes,
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
    .modes = kModes, .seedsRandom = true, .startUp = viewer::StartUp::AllocateMode,
    .callbackOrder = viewer::CallbackOrder::DisplayIdleMotionMouse, .drawsKnownModesOnly = true,
    .program = "spherecast", .countName = "spheres"};

}  // namespace

const viewer::FrameParams& frame() { return kFrame; }

viewer::Program program(void (*draw)()) {
    return {.params = &kFrame, .memory = &memory, .count = currentSphereCount, .draw = draw,
            .specialKeys = specialKeys, .mouse = mouse, .motion = motion};
}

}  // namespace spherecast
