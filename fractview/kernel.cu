// fractview: the filled Julia set of z -> z^2 + c, one pixel per GPU thread.
//
// Modes (keys 1 and 2), what each changes and what to watch:
//   1  CPU mode  renderCPU: one host thread colours the 786,432 pixels row by row.
//   2  GPU mode  juliaColorGPU: one GPU thread per pixel, 1536 blocks of 512. Each thread
//                iterates its own point, so near the set's edge the 32 threads of a warp
//                stop at different steps and wait for the slowest (divergence); the 12.6 MB
//                image then comes back over the bus every frame, and at high frame rates
//                that copy, not the arithmetic, is what the frame waits for.
//
// Controls (handled at the end of this file): a mouse button, or a drag, picks c under the
// pointer; the wheel zooms; the up and down arrows set the iteration cap (1 to 50); the
// keys 1 and 2 pick the mode; ESC quits.
#include "kernel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace fractview {

using viewer::allocated;
using viewer::cudaCheck;

// ---- state -------------------------------------------------------------------------------

float scale = 0.003f;
float mx = 0;
float my = 0;
int prec = 15;
float4* pixels = nullptr;
float4* pixels_gpu = nullptr;

void resetView() {
    scale = 0.003f;
    mx = 0;
    my = 0;
    prec = 15;
}

// ---- per-pixel arithmetic (host and device) -----------------------------------------

__host__ __device__ Complex mul_complex(Complex c1, Complex c2) {
    Complex c3;
    c3.reel = c1.reel * c2.reel - c1.im * c2.im;
    c3.im = c1.reel * c2.im + c2.reel * c1.im;
    return c3;
}

__host__ __device__ Complex add_complex(Complex c1, Complex c2) {
    Complex c3;
    c3.reel = c1.reel + c2.reel;
    c3.im = c1.im + c2.im;
    return c3;
}

__host__ __device__ float squaredMagnitude(Complex a) { return a.reel * a.reel + a.im * a.im; }

__host__ __device__ float juliaColor(float x, float y, float sx, float sy, int p) {
    Complex a{x, y};
    const Complex seed{sx, sy};
    for (int i = 0; i < p; ++i) {
        a = add_complex(mul_complex(a, a), seed);
        if (squaredMagnitude(a) > 4) return 1 - (float)i / (float)p;
    }
    return 0;
}

__host__ __device__ float4 juliaPixel(int i, int j, float scale, float mx, float my, int prec) {
    const float x = (float)(j - kWidth / 2) * scale;
    const float y = (float)(i - kHeight / 2) * scale;
    const float grey = juliaColor(x, y, mx, my, prec);
    float4 px = make_float4(grey, grey, 1.0f, 1.0f);
    // The marker disc around c; the comparison is made in double, so a distance equal
    // to the float nearest 0.01 (just below it) is inside.
    const float dx = x - mx, dy = y - my;
    const float d = sqrtf(dx * dx + dy * dy);
    if ((double)d < 0.01) px.x = 0;
    return px;
}

// ---- the CPU loop (mode 1) -------------------------------------------------------------

void renderCPU() {
    GPU_RANGE("renderCPU");
    for (int i = 0; i < kHeight; ++i)
        for (int j = 0; j < kWidth; ++j) pixels[i * kWidth + j] = juliaPixel(i, j, scale, mx, my, prec);
}

// ---- the kernel (mode 2) -----------------------------------------------------------------

// One thread per pixel: its place in the grid is its pixel's index. Neighbouring threads
// write neighbouring pixels, so a warp's 32 stores land in one run of memory (coalesced).
__global__ void juliaColorGPU(float4* pixels_gpu, float scale, float mx, float my, int prec) {
    const int index = threadIdx.x + blockIdx.x * blockDim.x;
    if (index < kPixels) {
        const int i = index / kWidth, j = index % kWidth;
        float4* p_g = pixels_gpu + (i * kWidth + j);
        *p_g = juliaPixel(i, j, scale, mx, my, prec);
    }
}

// The launch: 1536 blocks of 512 threads cover the 786,432 pixels exactly; 512 is a
// multiple of the 32-thread warp. The benchmark calls it with other shapes too.
cudaError_t launchJuliaColorGPU(dim3 grid, dim3 block, float scale, float mx, float my, int prec) {
    juliaColorGPU<<<grid, block>>>(pixels_gpu, scale, mx, my, prec);
    return cudaGetLastError();
}

// ---- the modes: allocate, release, compute -------------------------------------------------

// Mode 1: the host image.
bool allocateCPU() {
    pixels = (float4*)malloc(kImageBytes);
    return allocated(pixels, "pixels", kImageBytes);
}

void releaseCPU() {
    free(pixels);
    pixels = nullptr;
}

// Mode 2: the host image and the device image the kernel writes.
bool allocateGPU() {
    if (!allocateCPU()) return false;
    return allocated(cudaMalloc(&pixels_gpu, kImageBytes), "pixels_gpu", kImageBytes);
}

// Only the device image: the frame runs mode 1's release after it (a GPU mode's host
// buffers are mode 1's), and cudaFree of a null pointer does nothing, so a mode refused
// half-way through its allocate is released the same way.
void releaseGPU() {
    cudaFree(pixels_gpu);
    pixels_gpu = nullptr;
}

cudaError_t renderGPUWith(dim3 grid, dim3 block) {
    GPU_RANGE("renderGPU");
    const cudaError_t launched = launchJuliaColorGPU(grid, block, scale, mx, my, prec);
    if (!cudaCheck(launched, "juliaColorGPU launch")) return launched;
    // On a GPU the launch returns at once; this copy waits for the kernel to finish.
    cudaCheck(cudaMemcpy(pixels, pixels_gpu, kImageBytes, cudaMemcpyDeviceToHost), "image download");
    return launched;
}

void renderGPU() { renderGPUWith(dim3(1536), dim3(512)); }

namespace {

void* const kBuffers[] = {&pixels, &pixels_gpu};

const viewer::Mode kModes[] = {
    {.key = 0x31, .name = "CPU mode", .allocate = allocateCPU, .release = releaseCPU, .compute = renderCPU},
    {.key = 0x32, .name = "GPU mode", .allocate = allocateGPU, .release = releaseGPU, .compute = renderGPU,
     .gpu = true},
};

}  // namespace

// ---- controls ----------------------------------------------------------------------------

namespace {
void setC(int x, int y) {
    mx = (float)(x - kWidth / 2) * scale;
    my = -((float)(y - kHeight / 2) * scale);
}
}  // namespace

// Buttons 0-2 set c; 3 and 4 are the wheel. Press and release act alike.
void mouse(int button, int, int x, int y) {
    if (button <= 2) setC(x, y);
    if (button == 3)
        scale = scale / 1.05f;
    else if (button == 4)
        scale = scale * 1.05f;
}

void motion(int x, int y) { setC(x, y); }

void specialKeys(int key, int, int) {
    constexpr int kKeyUp = 101, kKeyDown = 103;  // GLUT_KEY_UP, GLUT_KEY_DOWN
    if (key == kKeyUp) {
        if (prec < kMaxPrec) prec += 1;
    } else if (key == kKeyDown) {
        if (prec > kMinPrec) prec -= 1;
    }
}

namespace {

const viewer::FrameParams kFrame{
    .title = "Julia Fractals", .width = 1024, .height = 768, .gl = {.imageProjection = true},
    .refreshMs = 500, .titleFormat = "%s:  %s, %.2f FPS",
    .modes = kModes, .buffers = kBuffers, .startUp = viewer::StartUp::AllocateMode,
    .callbackOrder = viewer::CallbackOrder::DisplayIdleMotionMouse, .drawsKnownModesOnly = true,
    .program = "fractview"};

}  // namespace

const viewer::FrameParams& frame() { return kFrame; }

viewer::Program program(void (*draw)()) {
    return {.params = &kFrame, .draw = draw, .specialKeys = specialKeys, .mouse = mouse,
            .motion = motion};
}

}  // namespace fractview
