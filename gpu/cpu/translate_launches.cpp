// The cpu backend's build step for kernel files (gpu_sources() in cmake/GpuBackend.cmake):
//
//   translate_launches <in.cu> <out.cpp>
//
// writes the .cu file's launch translation (translate.h) to <out.cpp>, its #line naming
// the .cu file by its absolute path. A malformed launch is reported as
// "<in.cu>:LINE: error: ..." and nothing is written.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "gpu/cpu/translate.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <in.cu> <out.cpp>\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: error: cannot read it\n", argv[1]);
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string out;
    const std::string where = std::filesystem::absolute(argv[1]).lexically_normal().string();
    if (!gpu::cpu::translateLaunches(argv[1], text, where, out)) return 1;
    std::error_code ignored;  // a folder that cannot be made shows as the write failing
    std::filesystem::create_directories(std::filesystem::path(argv[2]).parent_path(), ignored);
    std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
    file << out;
    file.close();
    if (!file) {
        std::fprintf(stderr, "%s: error: cannot write it\n", argv[2]);
        return 1;
    }
    return 0;
}
