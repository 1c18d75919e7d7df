// Run by the tsan build's tests: ThreadSanitizer sees queued work as a GPU runs it, ordered
// with the host and with other streams by CUDA's synchronizations and by nothing else.
//   tsan_order_check managed    the host reads managed memory a queued kernel writes, with
//                               no synchronizing call between (the forgotten
//                               cudaDeviceSynchronize)
//   tsan_order_check pinned     the same with page-locked memory (cudaMallocHost)
//   tsan_order_check streams    a kernel of one stream reads what a kernel of another
//                               stream writes, with no event between them
//   tsan_order_check synced     the first two with cudaDeviceSynchronize in place
//   tsan_order_check event      the streams with an event recorded and waited for
// The first three must end in a race report naming their kernel; the others in "clean".
#include <cstdio>
#include <cstring>

#include "gpu/runtime.h"

namespace {

constexpr int n = 1 << 10;

__global__ void addArrays(const float* x, float* y) {
    for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x) y[i] = x[i] + y[i];
}

__global__ void produce(float* data) {
    for (int i = threadIdx.x; i < n; i += blockDim.x) data[i] = float(i);
}

__global__ void consume(const float* data, float* out) {
    for (int i = threadIdx.x; i < n; i += blockDim.x) out[i] = data[i] * 2.0f;
}

// The host's side of "managed", "pinned" and "synced": y = x + y, then y read back.
int hostReadsKernelResult(bool managed, bool sync) {
    float *x, *y;
    if (managed ? cudaMallocManaged(&x, n * sizeof(float)) || cudaMallocManaged(&y, n * sizeof(float))
                : cudaMallocHost(&x, n * sizeof(float)) || cudaMallocHost(&y, n * sizeof(float)))
        return 2;
    for (int i = 0; i < n; ++i) x[i] = 1.0f, y[i] = 2.0f;
    addArrays<<<4, 64>>>(x, y);
    if (sync) cudaDeviceSynchronize();  // the call a learner forgets
    float sum = 0;
    for (int i = 0; i < n; ++i) sum += y[i];
    cudaDeviceSynchronize();
    if (managed) cudaFree(x), cudaFree(y);
    else cudaFreeHost(x), cudaFreeHost(y);
    return sum == 3.0f * n ? 0 : 1;
}

int streamsShareABuffer(bool event) {
    float *data, *out;
    cudaStream_t s1, s2;
    cudaEvent_t produced;
    if (cudaMalloc(&data, n * sizeof(float)) || cudaMalloc(&out, n * sizeof(float))) return 2;
    cudaStreamCreateWithFlags(&s1, cudaStreamNonBlocking);
    cudaStreamCreateWithFlags(&s2, cudaStreamNonBlocking);
    cudaEventCreateWithFlags(&produced, cudaEventDisableTiming);
    produce<<<1, 64, 0, s1>>>(data);
    if (event) {
        cudaEventRecord(produced, s1);
        cudaStreamWaitEvent(s2, produced, 0);
    }
    consume<<<1, 64, 0, s2>>>(data, out);
    cudaDeviceSynchronize();
    float last = 0;
    cudaMemcpy(&last, out + n - 1, sizeof last, cudaMemcpyDeviceToHost);
    cudaEventDestroy(produced);
    cudaStreamDestroy(s1);
    cudaStreamDestroy(s2);
    cudaFree(data);
    cudaFree(out);
    return !event || last == 2.0f * (n - 1) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* which = argc > 1 ? argv[1] : "";
    int r = 2;
    if (!strcmp(which, "managed")) r = hostReadsKernelResult(true, false);
    else if (!strcmp(which, "pinned")) r = hostReadsKernelResult(false, false);
    else if (!strcmp(which, "streams")) r = streamsShareABuffer(false);
    else if (!strcmp(which, "synced")) r = hostReadsKernelResult(true, true) | hostReadsKernelResult(false, true);
    else if (!strcmp(which, "event")) r = streamsShareABuffer(true);
    if (r == 0) printf("%s: clean\n", which);
    return r;
}
