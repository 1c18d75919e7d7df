// clusterview's K-means: the point cloud, the assignment on the CPU and as a kernel, the
// centroid update, the two modes and the point-count keys.
#include "kernel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

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

int (*draw)() = rand;
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

void* hostAlloc(size_t bytes, const char* name) {
    void* p = malloc(bytes);
    if (!p && bytes > 0) {
        fprintf(stderr, "clusterview: out of memory: cannot allocate %zu bytes for %s\n", bytes, name);
        exit(1);
    }
    return p;
}

void requireCuda(cudaError_t err, const char* what) {
    if (err != cudaSuccess) {
        fprintf(stderr, "clusterview: %s failed: %s\n", what, cudaGetErrorString(err));
        exit(1);
    }
}

// ---- data ------------------------------------------------------------------------------

void generatePointsInto(float4* result, int count, float scale) {
    Blob blobs[blobCount];
    for (int b = 0; b < blobCount; ++b) {
        float ux = signedUnit(draw());
        float uy = signedUnit(draw());
        float uz = signedUnit(draw());
        float q = (float)((draw() % 1000) * 3);
        float reach = (float)pow((double)(q / 1000.0f), 4.0);
        blobs[b].centre = make_float4(reach * scale * ux, reach * scale * uy, reach * scale * uz, 1.0f);
        blobs[b].spread = unit(draw()) + 0.5f;
    }
    for (int i = 0; i < count; ++i) {
        const Blob& blob = blobs[draw() % blobCount];
        float e, f, g;
        do {  // a zero direction has no length to divide by: draw it again
            e = signedUnit(draw());
            f = signedUnit(draw());
            g = signedUnit(draw());
        } while (e == 0.0f && f == 0.0f && g == 0.0f);
        float m = (float)((draw() % 1000) * 2) / 1000.0f;
        float len = sqrtf(e * e + f * f + g * g);
        float h = (float)pow((double)(m / len), 2.5);
        float k = blob.spread * blob.spread * h * scale;
        result[i] = make_float4(blob.centre.x + k * e, blob.centre.y + k * f, blob.centre.z + k * g, 1.0f);
    }
}

float4* generatePoints(int count, float scale) {
    float4* result = (float4*)hostAlloc(bytesOf(count, sizeof(float4)), "points");
    generatePointsInto(result, count, scale);
    return result;
}

float4 randomColor() {
    float4 color;
    color.x = unit(draw());
    color.y = unit(draw());
    color.z = unit(draw());
    color.w = 1.0f;
    return color;
}

namespace {

// The arrays of a new state, taken before the old state is let go.
struct Arrays {
    float4 *points = nullptr, *pointColors = nullptr, *centroids = nullptr, *centroidColors = nullptr;
    int* pointLabel = nullptr;
};
struct DeviceArrays {
    float4 *points = nullptr, *pointColors = nullptr, *centroids = nullptr, *centroidColors = nullptr;
    unsigned* pointLabel = nullptr;
};

bool takeArrays(viewer::Staging& stage, Arrays& a) {
    const size_t n16 = bytesOf(pointCount, sizeof(float4)), k16 = sizeof(float4) * clusterCount;
    return stage.host(&a.points, n16, "points") && stage.host(&a.pointColors, n16, "pointColors") &&
           stage.host(&a.pointLabel, bytesOf(pointCount, sizeof(int)), "pointLabel") &&
           stage.host(&a.centroids, k16, "centroids") && stage.host(&a.centroidColors, k16, "centroidColors");
}

bool takeDeviceArrays(viewer::Staging& stage, DeviceArrays& d) {
    const size_t n16 = bytesOf(pointCount, sizeof(float4)), k16 = sizeof(float4) * clusterCount;
    return stage.device(&d.points, n16, "d_points") && stage.device(&d.pointColors, n16, "d_pointColors") &&
           stage.device(&d.pointLabel, bytesOf(pointCount, sizeof(unsigned)), "d_pointLabel") &&
           stage.device(&d.centroids, k16, "d_centroids") && stage.device(&d.centroidColors, k16, "d_centroidColors");
}

// A new cloud, its first 128 points as centroids, and the cluster colours.
void initArrays(const Arrays& a) {
    generatePointsInto(a.points, pointCount, 1.0f);
    for (int k = 0; k < clusterCount; ++k) {
        a.centroids[k] = a.points[k];
        a.centroidColors[k] = randomColor();
    }
    // The assignment writes red, green and blue; the rest starts defined (opaque black),
    // so the first upload and draw never read uninitialised memory.
    for (int i = 0; i < pointCount; ++i) {
        a.pointLabel[i] = 0;
        a.pointColors[i] = make_float4(0.0f, 0.0f, 0.0f, 1.0f);
    }
}

void install(const Arrays& a) {
    points = a.points;
    pointColors = a.pointColors;
    pointLabel = a.pointLabel;
    centroids = a.centroids;
    centroidColors = a.centroidColors;
}

}  // namespace

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
        requireCuda(launchKernel(kernelAssign, assignGrid(pointCount), assignBlock(pointCount), d_points,
                                 d_centroids, d_pointColors, d_centroidColors, d_pointLabel),
                    "kernelAssign launch");
    }
    {
        GPU_RANGE("copy to host");
        requireCuda(
            cudaMemcpy(pointLabel, d_pointLabel, bytesOf(pointCount, sizeof(unsigned)), cudaMemcpyDeviceToHost),
            "label download");
        requireCuda(
            cudaMemcpy(pointColors, d_pointColors, bytesOf(pointCount, sizeof(float4)), cudaMemcpyDeviceToHost),
            "colour download");
    }
    updateCentroids();
    GPU_RANGE("copy to device");
    requireCuda(cudaMemcpy(d_centroids, centroids, sizeof(float4) * clusterCount, cudaMemcpyHostToDevice),
                "centroid upload");
}

// ---- modes and keys ------------------------------------------------------------------

bool enterCPU(void (*releaseOld)()) {
    viewer::Staging stage(memory);
    Arrays a;
    if (!takeArrays(stage, a)) {
        stage.undo();
        return false;
    }
    initArrays(a);
    if (releaseOld) releaseOld();
    install(a);
    return true;
}

bool enterGPU(void (*releaseOld)()) {
    viewer::Staging stage(memory);
    Arrays a;
    DeviceArrays d;
    if (!takeArrays(stage, a) || !takeDeviceArrays(stage, d)) {
        stage.undo();
        return false;
    }
    initArrays(a);
    const size_t n16 = bytesOf(pointCount, sizeof(float4)), n4 = bytesOf(pointCount, sizeof(unsigned));
    const size_t k16 = sizeof(float4) * clusterCount;
    requireCuda(cudaMemcpy(d.points, a.points, n16, cudaMemcpyHostToDevice), "point upload");
    requireCuda(cudaMemcpy(d.pointColors, a.pointColors, n16, cudaMemcpyHostToDevice), "colour upload");
    requireCuda(cudaMemcpy(d.pointLabel, a.pointLabel, n4, cudaMemcpyHostToDevice), "label upload");
    requireCuda(cudaMemcpy(d.centroids, a.centroids, k16, cudaMemcpyHostToDevice), "centroid upload");
    requireCuda(cudaMemcpy(d.centroidColors, a.centroidColors, k16, cudaMemcpyHostToDevice),
                "centroid colour upload");
    if (releaseOld) releaseOld();
    install(a);
    d_points = d.points;
    d_pointColors = d.pointColors;
    d_pointLabel = d.pointLabel;
    d_centroids = d.centroids;
    d_centroidColors = d.centroidColors;
    return true;
}

void initKMeans() {
    if (!enterCPU(nullptr)) viewer::cannotStart("clusterview");
}

void allocateCPU() { initKMeans(); }

void allocateGPU() {
    if (!enterGPU(nullptr)) viewer::cannotStart("clusterview");
}

void releaseCPU() {
    for (void* p : {(void*)points, (void*)pointLabel, (void*)pointColors, (void*)centroids, (void*)centroidColors})
        if (p) memory.hostFree(p);
    points = nullptr;
    pointLabel = nullptr;
    pointColors = nullptr;
    centroids = nullptr;
    centroidColors = nullptr;
}

void releaseGPU() {
    releaseCPU();
    for (void* p : {(void*)d_points, (void*)d_pointColors, (void*)d_pointLabel, (void*)d_centroids,
                    (void*)d_centroidColors})
        if (p) memory.deviceFree(p);
    d_points = nullptr;
    d_pointColors = nullptr;
    d_pointLabel = nullptr;
    d_centroids = nullptr;
    d_centroidColors = nullptr;
}

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

viewer::Program frameProgram() {
    viewer::Program p{};
    p.params = &viewer::clusterviewFrame;
    p.modes[1] = {enterCPU, releaseCPU, stepCPU};
    p.modes[2] = {enterGPU, releaseGPU, stepGPU};
    p.count = currentPointCount;
    p.specialKeys = specialKeys;
    return p;
}

}  // namespace clusterview
