// Helper of the oilbrush end-to-end test, independent of the program's codec:
//   e2e_check make <photo|rgb|damaged|small> <path>   writes an input with libpng
//   e2e_check verify <input> <output>                 checks the output with libpng
#include <cstdio>
#include <cstring>
#include <string>

#include "files.h"
#include "libpng_oracle.h"
#include "oil_reference.h"

using oilref::bytesOf;
using oilref::Words;
using oilref::wordsOf;

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "e2e_check: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && !std::strcmp(argv[1], "make")) {
        const std::string kind = argv[2];
        std::vector<uint8_t> file;
        if (kind == "photo") file = oracle::encode(320, 240, 8, 6, bytesOf(oilref::photo(320, 240)));
        if (kind == "small") file = oracle::encode(7, 40, 8, 6, bytesOf(oilref::photo(7, 40)));
        if (kind == "rgb") file = oracle::encode(16, 16, 8, 2, std::vector<uint8_t>(16 * 16 * 3, 90));
        if (kind == "damaged") {
            file = oracle::encode(64, 64, 8, 6, bytesOf(oilref::photo(64, 64)));
            file[33 + 8 + 20] ^= 0x08;  // a payload byte of the first IDAT
        }
        if (file.empty()) return fail("unknown kind " + kind);
        return testfiles::writeFile(argv[3], file) ? 0 : fail("cannot write " + std::string(argv[3]));
    }
    if (argc == 4 && !std::strcmp(argv[1], "verify")) {
        oracle::Image in, out;
        std::string error;
        if (!oracle::decode(testfiles::readFile(argv[2]), &in, &error)) return fail("input: " + error);
        if (!oracle::decode(testfiles::readFile(argv[3]), &out, &error)) return fail("output: " + error);
        if (out.width != in.width || out.height != in.height || out.depth != 8 || out.color != 6)
            return fail("output header differs from the input's");
        const Words img = wordsOf(in.samples);
        const uint32_t unwritten = 0x01020304u;  // not a pixel of the opaque inputs
        Words want = oilref::tiled(img, int(in.width), int(in.height), unwritten);
        for (size_t i = 0; i < want.size(); ++i)
            if (want[i] == unwritten) want[i] = img[i];
        if (wordsOf(out.samples) != want) return fail("output pixels differ from the reference");
        std::printf("verified %ux%u\n", out.width, out.height);
        return 0;
    }
    return fail("usage: e2e_check make <photo|rgb|damaged|small> <path> | verify <input> <output>");
}
