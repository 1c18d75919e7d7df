// The OpenCL side of the peer row. The kernel is fractview's juliaColor, juliaPixel and
// juliaColorGPU line for line, with every operation rounded on its own so the image can
// be compared bit for bit with the cpu backend's.
#define CL_TARGET_OPENCL_VERSION 120
#include "opencl_julia.h"

#include <CL/cl.h>

#include <cstdio>
#include <vector>

namespace bench {
namespace {

// FP_CONTRACT OFF: no a * b + c fused into one rounding (OpenCL C allows it by default).
// The marker test `(double)d < 0.01` of the C++ source is `d <= 0.01f` here: 0.01f is the
// float just below 0.01, so for a float d the two agree, and no double support is needed.
const char* const kSource = R"CL(
#pragma OPENCL FP_CONTRACT OFF
#define WIDTH 1024
#define HEIGHT 768

typedef struct { float reel; float im; } Complex;

Complex mul_complex(Complex c1, Complex c2) {
    Complex c3;
    c3.reel = c1.reel * c2.reel - c1.im * c2.im;
    c3.im = c1.reel * c2.im + c2.reel * c1.im;
    return c3;
}

Complex add_complex(Complex c1, Complex c2) {
    Complex c3;
    c3.reel = c1.reel + c2.reel;
    c3.im = c1.im + c2.im;
    return c3;
}

float squaredMagnitude(Complex a) { return a.reel * a.reel + a.im * a.im; }

float juliaColor(float x, float y, float sx, float sy, int p) {
    Complex a = {x, y};
    const Complex seed = {sx, sy};
    for (int i = 0; i < p; ++i) {
        a = add_complex(mul_complex(a, a), seed);
        if (squaredMagnitude(a) > 4) return 1 - (float)i / (float)p;
    }
    return 0;
}

float4 juliaPixel(int i, int j, float scale, float mx, float my, int prec) {
    const float x = (float)(j - WIDTH / 2) * scale;
    const float y = (float)(i - HEIGHT / 2) * scale;
    const float grey = juliaColor(x, y, mx, my, prec);
    float4 px = (float4)(grey, grey, 1.0f, 1.0f);
    const float dx = x - mx, dy = y - my;
    const float d = sqrt(dx * dx + dy * dy);
    if (d <= 0.01f) px.x = 0;
    return px;
}

__kernel void juliaColorGPU(__global float4* pixels_gpu, float scale, float mx, float my, int prec) {
    const int index = get_local_id(0) + get_group_id(0) * get_local_size(0);
    if (index < WIDTH * HEIGHT) {
        const int i = index / WIDTH, j = index % WIDTH;
        pixels_gpu[i * WIDTH + j] = juliaPixel(i, j, scale, mx, my, prec);
    }
}
)CL";

// No -cl-mad-enable, -cl-fast-relaxed-math or -cl-unsafe-math-optimizations; division and
// sqrt correctly rounded as on the host.
const char* const kOptions = "-cl-fp32-correctly-rounded-divide-sqrt";

constexpr size_t kPixels = 1024 * 768;
constexpr size_t kImageBytes = kPixels * 4 * sizeof(float);

std::string platformText(cl_platform_id p, cl_platform_info what) {
    char b[256] = {0};
    clGetPlatformInfo(p, what, sizeof b - 1, b, nullptr);
    return b;
}

std::string failed(const char* step, cl_int err) {
    char b[96];
    snprintf(b, sizeof b, "%s failed (OpenCL error %d)", step, (int)err);
    return b;
}

}  // namespace

bool OpenclJulia::open() {
    cl_uint count = 0;
    if (clGetPlatformIDs(0, nullptr, &count) != CL_SUCCESS || count == 0) {
        why_ = "no OpenCL platform";
        return false;
    }
    std::vector<cl_platform_id> platforms(count);
    clGetPlatformIDs(count, platforms.data(), nullptr);
    cl_platform_id pocl = nullptr;
    std::string seen;
    for (cl_platform_id p : platforms) {
        const std::string name = platformText(p, CL_PLATFORM_NAME);
        seen += (seen.empty() ? "" : ", ") + name;
        if (name.find("Portable Computing Language") != std::string::npos || name.find("PoCL") != std::string::npos)
            pocl = p;
    }
    if (!pocl) {
        why_ = "no PoCL platform (OpenCL platforms: " + seen + ")";
        return false;
    }
    cl_device_id dev = nullptr;
    if (clGetDeviceIDs(pocl, CL_DEVICE_TYPE_CPU, 1, &dev, nullptr) != CL_SUCCESS) {
        why_ = "PoCL has no CPU device";
        return false;
    }
    char name[256] = {0};
    clGetDeviceInfo(dev, CL_DEVICE_NAME, sizeof name - 1, name, nullptr);
    cl_uint units = 0;
    clGetDeviceInfo(dev, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof units, &units, nullptr);
    std::string version = platformText(pocl, CL_PLATFORM_VERSION);  // "OpenCL 3.0 PoCL 3.1+debian  Linux, ..."
    version = version.substr(0, version.find("  "));
    device_ = version + ", " + name;
    units_ = units;

    cl_int err = CL_SUCCESS;
    cl_context context = clCreateContext(nullptr, 1, &dev, nullptr, nullptr, &err);
    if (err != CL_SUCCESS) return why_ = failed("clCreateContext", err), false;
    context_ = context;
    cl_command_queue queue = clCreateCommandQueue(context, dev, 0, &err);
    if (err != CL_SUCCESS) return why_ = failed("clCreateCommandQueue", err), false;
    queue_ = queue;
    const char* source = kSource;
    cl_program program = clCreateProgramWithSource(context, 1, &source, nullptr, &err);
    if (err != CL_SUCCESS) return why_ = failed("clCreateProgramWithSource", err), false;
    program_ = program;
    if ((err = clBuildProgram(program, 1, &dev, kOptions, nullptr, nullptr)) != CL_SUCCESS) {
        char log[2048] = {0};
        clGetProgramBuildInfo(program, dev, CL_PROGRAM_BUILD_LOG, sizeof log - 1, log, nullptr);
        why_ = failed("clBuildProgram", err) + ": " + log;
        return false;
    }
    cl_kernel kernel = clCreateKernel(program, "juliaColorGPU", &err);
    if (err != CL_SUCCESS) return why_ = failed("clCreateKernel", err), false;
    kernel_ = kernel;
    cl_mem image = clCreateBuffer(context, CL_MEM_READ_WRITE, kImageBytes, nullptr, &err);
    if (err != CL_SUCCESS) return why_ = failed("clCreateBuffer", err), false;
    image_ = image;
    return true;
}

OpenclJulia::~OpenclJulia() {
    if (image_) clReleaseMemObject((cl_mem)image_);
    if (kernel_) clReleaseKernel((cl_kernel)kernel_);
    if (program_) clReleaseProgram((cl_program)program_);
    if (queue_) clReleaseCommandQueue((cl_command_queue)queue_);
    if (context_) clReleaseContext((cl_context)context_);
}

bool OpenclJulia::run(float scale, float mx, float my, int prec) {
    cl_kernel k = (cl_kernel)kernel_;
    cl_mem image = (cl_mem)image_;
    clSetKernelArg(k, 0, sizeof image, &image);
    clSetKernelArg(k, 1, sizeof scale, &scale);
    clSetKernelArg(k, 2, sizeof mx, &mx);
    clSetKernelArg(k, 3, sizeof my, &my);
    clSetKernelArg(k, 4, sizeof prec, &prec);
    const size_t global = 1536 * 512, local = 512;
    cl_command_queue q = (cl_command_queue)queue_;
    cl_int err = clEnqueueNDRangeKernel(q, k, 1, nullptr, &global, &local, 0, nullptr, nullptr);
    if (err == CL_SUCCESS) err = clFinish(q);
    if (err != CL_SUCCESS) why_ = failed("the launch", err);
    return err == CL_SUCCESS;
}

std::vector<float> OpenclJulia::image() {
    std::vector<float> out(kPixels * 4, -1.0f);
    clEnqueueReadBuffer((cl_command_queue)queue_, (cl_mem)image_, CL_TRUE, 0, kImageBytes, out.data(), 0, nullptr,
                        nullptr);
    return out;
}

}  // namespace bench
