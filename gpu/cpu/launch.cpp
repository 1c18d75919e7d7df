// The start of a launch: the configuration checks the CUDA runtime makes (grid, block,
// dynamic shared memory, the stream), the queueing of its grid, and the refusal of a kernel handed a
// pointer that is not device memory, named by the argument's text.
#include <cstdio>
#include <string>
#include <vector>

#include "gpu/cpu/queue.h"

namespace gpu::cpu {

cudaError_t checkLaunchConfig(dim3 g, dim3 b) {
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) return cudaErrorInvalidConfiguration;
    if (b.x > 1024 || b.y > 1024 || b.z > 64) return cudaErrorInvalidConfiguration;
    if ((uint64_t)b.x * b.y * b.z > 1024) return cudaErrorInvalidConfiguration;
    if (g.x > 2147483647u || g.y > 65535 || g.z > 65535) return cudaErrorInvalidConfiguration;
    return cudaSuccess;
}

namespace {
thread_local bool runningKernel = false;
}  // namespace

void setRunningKernel(bool running) { runningKernel = running; }

cudaError_t beginLaunch(const LaunchConfig& c, const void* kernel) {
    if (cudaError_t k = sticky()) return k;
    if (runningKernel) {
        // A kernel launching a kernel: a fault of the running grid.
        if (setSticky(cudaErrorNotSupported))
            fprintf(stderr, "cpu backend: a launch from device code: dynamic parallelism is not supported\n");
        return sticky();
    }
    if (!resolveStream(c.stream)) {
        fprintf(stderr, "cpu backend: a launch on stream %p, which is no stream of this device\n", (void*)c.stream);
        return record(cudaErrorInvalidResourceHandle);
    }
    // As a GPU: more than 48 KiB of shared memory a block is an invalid configuration (the
    // toolkit's driver_types.h says so of cudaErrorInvalidConfiguration), unless the
    // kernel opted in to more with cudaFuncSetAttribute. Static __shared__ arrays are not
    // counted here.
    const size_t limit = dynamicSharedLimit(kernel);
    if (c.sharedBytes > limit) {
        fprintf(stderr, "cpu backend: a launch asks for %zu bytes of dynamic shared memory; a block may have "
                "%zu%s\n", c.sharedBytes, limit, limit == kMaxSharedBytes ? " (48 KiB)" : " (the kernel's opt-in)");
        return record(cudaErrorInvalidConfiguration);
    }
    return record(checkLaunchConfig(c.grid, c.block));
}

void queueGrid(const char* kernel, const LaunchDesc& desc, void (*destroy)(const void*), cudaStream_t stream,
               bool cooperative) {
    auto op = makeOp(cooperative ? Op::Kind::Host : Op::Kind::Kernel);
    if (cooperative) {
        const Op* self = op.get();  // the op owns fn: it outlives every call of it
        op->fn = [self] {
            if (!sticky()) runCooperative(self->desc);
        };
    }
    op->desc = desc;
    op->destroy = destroy;
    op->name = kernel;
    enqueue(resolveStream(stream), op);
    Quiet q;
    op.reset();
}

namespace {

// The text of kernel argument `index` in "a, b, ...", the argument list as written at the
// launch; empty when the text cannot be split into `count` arguments.
std::string argumentText(const char* text, unsigned index, unsigned count) {
    std::vector<std::string> parts(1);
    int depth = 0;
    char quote = 0;
    for (const char* c = text; *c; ++c) {
        if (quote) {
            if (*c == '\\' && c[1]) parts.back() += *c++;
            else if (*c == quote) quote = 0;
        } else if (*c == '"' || *c == '\'') {
            quote = *c;
        } else if (*c == '(' || *c == '[' || *c == '{') {
            ++depth;
        } else if (*c == ')' || *c == ']' || *c == '}') {
            --depth;
        } else if (*c == ',' && depth == 0) {
            parts.emplace_back();
            continue;
        }
        parts.back() += *c;
    }
    if (parts.size() != count) return {};
    std::string s = parts[index];
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

cudaError_t checkKernelPointers(const char* kernel, const char* argText, const void* const* ptrs, unsigned n) {
    unsigned bad = n;
    for (unsigned i = 0; i < n && bad == n; ++i)
        if (ptrs[i] && !isDeviceArgument(ptrs[i])) bad = i;
    if (bad == n) return cudaSuccess;
    std::string name = argumentText(argText, bad, n);
    if (!name.empty()) name = " (" + name + ")";
    fprintf(stderr, "cpu backend: kernel %s, argument %u%s: %p is not device memory\n", kernel, bad + 1, name.c_str(),
            ptrs[bad]);
    setSticky(cudaErrorIllegalAddress);
    return sticky();
}

}  // namespace gpu::cpu
