// clusterview's core: a cloud of random 3D points clustered into 128 clusters by K-means,
// one iteration per frame, on the CPU (mode 1) or with the assignment on the GPU (mode 2).
// Window-free: tests and the benchmark drive the same globals and functions as the program.
#pragma once

#include <cmath>
#include <cstddef>

#include "gpu/runtime.h"
#include "viewer/frame.h"

namespace clusterview {

constexpr int clusterCount = 128;
constexpr int blobCount = 128;
constexpr int startPointCount = 1 << 21;  // 2,097,152
constexpr int minPointCount = 256;
// The up arrow stops here: 36 bytes a point on the host and as many on the device in
// GPU mode (2.25 GiB each), every byte count below 2^31, and doubling never overflows.
constexpr int maxPointCount = 1 << 26;  // 67,108,864
constexpr int assignBlockSize = 512;

// ---- state (null when the mode holding it is not allocated) -------------------------

extern int pointCount;
extern float4* points;
extern float4* pointColors;
extern int* pointLabel;
extern float4* centroids;
extern float4* centroidColors;

extern float4* d_points;
extern float4* d_centroids;
extern float4* d_pointColors;
extern float4* d_centroidColors;
extern unsigned* d_pointLabel;

// Source of the generator's draws: the C library's rand. Tests replace it with a script.
extern int (*randomSource)();

// ---- data ------------------------------------------------------------------------------

// A new cloud of count points in 128 blobs into result. A point whose random offset
// direction comes out as zero has its direction drawn again.
void generatePointsInto(float4* result, int count, float scale);
// The same into a new array (malloc) that the caller frees; null when it cannot be had.
float4* generatePoints(int count, float scale);
float4 randomColor();

// ---- assignment and update ---------------------------------------------------------

// The nearest centroid by Euclidean distance in x, y, z; a tie goes to the lower index,
// and cluster 0 is always the first candidate.
__host__ __device__ inline int nearestCentroid(float4 p, const float4* c) {
    float dmin = 0;
    int closestCluster = 0;
    for (int j = 0; j < clusterCount; ++j) {
        float tx = p.x - c[j].x, ty = p.y - c[j].y, tz = p.z - c[j].z;
        float distance = sqrtf(tx * tx + ty * ty + tz * tz);
        if (distance < dmin || j == 0) {
            dmin = distance;
            closestCluster = j;
        }
    }
    return closestCluster;
}

// One thread per point; the launch covers exactly the points (see assignGrid).
__global__ void kernelAssign(const float4* d_points, const float4* d_centroids, float4* d_pointColors,
                             const float4* d_centroidColors, unsigned* d_pointLabel);

// Launch shape of kernelAssign for count points: 512-thread blocks, or one block of count
// threads below that, since the kernel has no count to stop at.
dim3 assignGrid(int count);
dim3 assignBlock(int count);
// The launch stepGPU makes: kernelAssign over the pointCount points of the device buffers
// (the benchmark times this one).
cudaError_t launchKernelAssign();

// The assignment of every point on the host (the loop the kernel replaces).
void assignCPU();

// Each centroid to the mean of its points; a cluster without points keeps its centroid.
void updateCentroids();

// ---- the modes: allocate, release, compute ----------------------------------------------

// The modes' compute steps. Mode 1 holds points, pointColors, pointLabel, centroids and
// centroidColors; mode 2 also their device twins. Each mode is the triple allocate,
// release, step in kernel.cu; each entry makes a new cloud (its first 128 points the
// centroids) and uploads it. The frame enters and leaves them (viewer::enter for the
// benchmark and tests).
void stepCPU();
void stepGPU();

// ---- keys ------------------------------------------------------------------------------

// Up doubles pointCount (up to maxPointCount), down halves it (not below 256); either
// then re-enters the current mode with a new cloud (viewer::changeCount: a refusal keeps
// the count).
void specialKeys(int key, int x, int y);

int currentPointCount();

// The frame table (window, title, modes) and the program for the frame; draw is the
// window's drawing step.
const viewer::FrameParams& frame();
viewer::Program program(void (*draw)());

}  // namespace clusterview
