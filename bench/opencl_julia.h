// fractview's Julia kernel written in OpenCL C, run on PoCL (the OpenCL runtime for CPU
// cores): the peer the cpu backend is measured against. Built only where CMake finds
// OpenCL (GPUDEMOS_OPENCL); elsewhere open() says why it cannot run.
#pragma once

#include <string>
#include <vector>

namespace bench {

class OpenclJulia {
public:
    // Finds the PoCL platform, builds the kernel and makes a 1024 x 768 float4 image on the
    // device. False with the reason in why() when any step fails.
    bool open();
    ~OpenclJulia();

    // One launch of 1536 work-groups of 512, waited for; false (and why()) when refused.
    bool run(float scale, float mx, float my, int prec);
    // The image as four floats a pixel, in fractview's pixel order.
    std::vector<float> image();

    const std::string& why() const { return why_; }
    const std::string& device() const { return device_; }
    unsigned computeUnits() const { return units_; }

private:
    std::string why_, device_;
    unsigned units_ = 0;
    void* context_ = nullptr;
    void* queue_ = nullptr;
    void* program_ = nullptr;
    void* kernel_ = nullptr;
    void* image_ = nullptr;
};

}  // namespace bench
