// clusterview's K-means: the point cloud, the assignment on the CPU and as a kernel, the
// centroid update, the two modes and the point-count keys.
#include "kernel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "camera/camera.h"

namespace clusterview {

int pointCount = startPointCount;
float4* points = nullptr;
float4* pointColors = nullptr;
int* pointLabel = nullptr;
float4* centroids = nullptr;
float4* centroidColors = nullptr;

float4* d_points = nullptr;
float4* d_centroids = nullptr;
float4* d_pointColors = nullptr;
float4* d_centroidColors = nullptr;
unsigned* d_pointLabel = nullptr;

int (*randomSource)() = rand;
viewer::Memory memory = viewer::systemMemory();

namespace {

constexpr int kKeyUp = 101;    // GLUT_KEY_UP
constexpr int kKeyDown = 103;  // GLUT_KEY_DOWN

// 0.000 to 0.999 on a grid of 1/1000.
float unit(int d) { return (float)(d % 1000) / 1000.0f; }
// -1.000 to 0.998.
float signedUnit(int d) { return unit(d) * 2.0f - 1.0f; }

struct Blob {
    float4 centre;
    float spread;
};

size_t bytesOf(int count, size_t element) { return (size_t)count * element; }

}  // namespace

// ---- data ------------------------------------------------------------------------------

void generatePointsInto(float4* result, int count, float scale) {
    Blob blobs[blobCount];
    for (int b = 0; b < blobCount; ++b) {
        float ux = signedUnit(randomSource());
        float uy = signedUnit(randomSource());
        float uz = signedUnit(randomSource());
        float q = (float)((randomSource() % 1000) * 3);
        float reach = (float)pow((double)(q / 1000.0f), 4.0);
        blobs[b].centre = make_float4(reach * scale * ux, reach * scale * uy, reach * scale * uz, 1.0f);
        blobs[b].spread = unit(randomSource()) + 0.5f;
    }
    for (int i = 0; i < count; ++i) {
        const Blob& blob = blobs[randomSource() % blobCount];
        float e, f, g;
        do {  // a zero direction has no length to divide by: draw it again
            e = signedUnit(randomSource());
            f = signedUnit(randomSource());
            g = signedUnit(randomSource());
        } while (e == 0.0f && f == 0.0f && g == 0.0f);
        float m = (float)((randomSource() % 1000) * 2) / 1000.0f;
        float len = sqrtf(e * e + f * f + g * g);
        float h = (float)pow((double)(m / len), 2.5);
        float k = blob.spread * blob.spread * h * scale;
        result[i] = make_float4(blob.centre.x + k * e, blob.centre.y + k * f, blob.centre.z + k * g, 1.0f);
    }
}

float4* generatePoints(int count, float scale) {
    float4* result = (float4*)malloc(bytesOf(count, sizeof(float4)));
    if (!result) return nullptr;
    generatePointsInto(result, count, scale);
    return result;
}

float4 randomColor() {
    float4 color;
    color.x = unit(randomSource());
    color.y = unit(randomSource());
    color.z = unit(randomSource());
    color.w = 1.0f;
    return color;
}

// ---- assignment and update ---------------------------------------------------------

__global__ void kernelAssign(const float4* d_points, const float4* d_centroids, float4* d_pointColors,
                             const float4* d_centroidColors, unsigned* d_pointLabel) {
    int index = blockIdx.x * blockDim.x + threadIdx.x;
    int c = nearestCentroid(d_points[index], d_centroids);
    d_pointLabel[index] = (unsigned)c;
    d_pointColors[index].x = d_centroidColors[c].x;
    d_pointColors[index].y = d_centroidColors[c].y;
    d_pointColors[index].z = d_centroidColors[c].z;
}

dim3 assignBlock(int count) { return dim3(count < assignBlockSize ? (unsigned)count : assignBlockSize); }
dim3 assignGrid(int count) {
    unsigned block = assignBlock(count).x;
    return dim3(((unsigned)count + block - 1) / block);
}

cudaError_t launchKernelAssign() {
    return launchKernel(kernelAssign, assignGrid(pointCount), assignBlock(pointCount), d_points, d_centroids,
                        d_pointColors, d_centroidColors, d_pointLabel);
}

void assignCPU() {
    for (int i = 0; i < pointCount; ++i) {
        int c = nearestCentroid(points[i], centroids);
        pointLabel[i] = c;
        pointColors[i].x = centroidColors[c].x;
        pointColors[i].y = centroidColors[c].y;
        pointColors[i].z = centroidColors[c].z;
    }
}

void updateCentroids() {
    float sx[clusterCount] = {}, sy[clusterCount] = {}, sz[clusterCount] = {};
    int members[clusterCount] = {};
    for (int i = 0; i < pointCount; ++i) {
        unsigned c = (unsigned)pointLabel[i];
        if (c >= (unsigned)clusterCount) continue;  // never from the assignment; keeps sums in bounds
        sx[c] += points[i].x;
        sy[c] += points[i].y;
        sz[c] += points[i].z;
        members[c] += 1;
    }
    for (int k = 0; k < clusterCount; ++k) {
        if (members[k] == 0) continue;  // an empty cluster keeps its centroid (0 / 0 would be NaN)
        centroids[k].x = sx[k] / (float)members[k];
        centroids[k].y = sy[k] / (float)members[k];
        centroids[k].z = sz[k] / (float)members[k];
    }
}

void stepCPU() {
    GPU_RANGE("stepCPU");
    assignCPU();
    updateCentroids();
}

void stepGPU() {
    GPU_RANGE("stepGPU");
    {
        GPU_RANGE("launch kernelAssign");
        if (!viewer::gpuStep(launchKernelAssign(), "kernelAssign launch"))
            return;
    }
    {
        GPU_RANGE("copy to host");
        if (!viewer::gpuStep(cudaMemcpy(pointLabel, d_pointLabel, bytesOf(pointCount, sizeof(unsigned)),
                                        cudaMemcpyDeviceToHost),
                             "label download") ||
            !viewer::gpuStep(cudaMemcpy(pointColors, d_pointColors, bytesOf(pointCount, sizeof(float4)),
                                        cudaMemcpyDeviceToHost),
                             "colour download"))
            return;
    }
    updateCentroids();
    GPU_RANGE("copy to device");
    viewer::gpuStep(cudaMemcpy(d_centroids, centroids, sizeof(float4) * clusterCount, cudaMemcpyHostToDevice),
                    "centroid upload");
}

// ---- modes and keys ------------------------------------------------------------------

namespace {

size_t pointVectors() { return bytesOf(pointCount, sizeof(float4)); }
size_t pointLabels() { return bytesOf(pointCount, sizeof(int)); }
size_t clusterVectors() { return sizeof(float4) * clusterCount; }

// A new cloud in the staged host arrays (places 0 to 4: points, pointColors, pointLabel,
// centroids, centroidColors), its first 128 points as centroids, and the cluster colours.
bool drawCloud(const viewer::Staged& b) {
    float4 *pts = b.at<float4>(0), *colors = b.at<float4>(1), *cents = b.at<float4>(3);
    int* labels = b.at<int>(2);
    generatePointsInto(pts, pointCount, 1.0f);
    for (int k = 0; k < clusterCount; ++k) {
        cents[k] = pts[k];
        b.at<float4>(4)[k] = randomColor();
    }
    // The assignment writes red, green and blue; the rest starts defined (opaque black),
    // so the first upload and draw never read uninitialised memory.
    for (int i = 0; i < pointCount; ++i) {
        labels[i] = 0;
        colors[i] = make_float4(0.0f, 0.0f, 0.0f, 1.0f);
    }
    return true;
}

// The cloud, then every host array to its device twin (places 5 to 9).
bool drawAndUpload(const viewer::Staged& b) {
    drawCloud(b);
    const char* steps[] = {"point upload", "colour upload", "label upload", "centroid upload",
                           "centroid colour upload"};
    const size_t bytes[] = {pointVectors(), pointVectors(), pointLabels(), clusterVectors(), clusterVectors()};
    for (int i = 0; i < 5; ++i)
        if (!viewer::gpuStep(cudaMemcpy(b.at<void>(5 + i), b.at<void>(i), bytes[i], cudaMemcpyHostToDevice),
                             steps[i]))
            return false;
    return true;
}

const viewer::Buffer kCpuBuffers[] = {
    {.name = "points", .device = false, .bytes = pointVectors, .slot = viewer::slot<points>()},
    {.name = "pointColors", .device = false, .bytes = pointVectors, .slot = viewer::slot<pointColors>()},
    {.name = "pointLabel", .device = false, .bytes = pointLabels, .slot = viewer::slot<pointLabel>()},
    {.name = "centroids", .device = false, .bytes = clusterVectors, .slot = viewer::slot<centroids>()},
    {.name = "centroidColors", .device = false, .bytes = clusterVectors, .slot = viewer::slot<centroidColors>()},
};
const viewer::Buffer kGpuBuffers[] = {
    kCpuBuffers[0], kCpuBuffers[1], kCpuBuffers[2], kCpuBuffers[3], kCpuBuffers[4],
    {.name = "d_points", .device = true, .bytes = pointVectors, .slot = viewer::slot<d_points>()},
    {.name = "d_pointColors", .device = true, .bytes = pointVectors, .slot = viewer::slot<d_pointColors>()},
    {.name = "d_pointLabel", .device = true, .bytes = pointLabels, .slot = viewer::slot<d_pointLabel>()},
    {.name = "d_centroids", .device = true, .bytes = clusterVectors, .slot = viewer::slot<d_centroids>()},
    {.name = "d_centroidColors", .device = true, .bytes = clusterVectors, .slot = viewer::slot<d_centroidColors>()},
};

const viewer::Mode kModes[] = {
    {.key = 0x31, .name = "CPU", .buffers = kCpuBuffers, .fill = drawCloud, .compute = stepCPU},
    {.key = 0x32, .name = "GPU", .buffers = kGpuBuffers, .fill = drawAndUpload, .compute = stepGPU},
};

}  // namespace

void specialKeys(int key, int, int) {
    int next = pointCount;
    if (key == kKeyUp) {
        if (next < maxPointCount) next *= 2;
    } else if (key == kKeyDown) {
        if (next > minPointCount) next /= 2;
    } else {
        return;
    }
    // Arrays that cannot be had keep the running cloud and its count.
    viewer::changeCount(&pointCount, next);
}

int currentPointCount() { return pointCount; }

namespace {

void setUpCamera() { camera::initCamera(300.0); }

const viewer::FrameParams kFrame{
    .title = "K-means", .width = 800, .height = 800, .gl = {.whiteColor = true, .depthTest = true},
    .refreshMs = 200, .titleFormat = "%s: %s, %i points, %.2f FPS", .titleShowsCount = true,
    .modes = kModes, .seedsRandom = true, .startUp = viewer::StartUp::SwitchMode,
    .callbackOrder = viewer::CallbackOrder::DisplayIdleMouseMotion,
    .program = "clusterview", .countName = "points"};

}  // namespace

const viewer::FrameParams& frame() { return kFrame; }

viewer::Program program(void (*draw)()) {
    return {.params = &kFrame, .memory = &memory, .count = currentPointCount, .draw = draw,
            .specialKeys = specialKeys, .mouse = camera::cameraMouse, .motion = camera::cameraMotion,
            .setUp = setUpCamera};
}

}  // namespace clusterview
