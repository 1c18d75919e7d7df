// Writes a seed corpus for the PNG fuzz target: small valid files of every colour type
// and depth, every filter type, split image data, ancillary chunks, and a few damaged
// ones. Usage: png_seed_corpus <folder>
#include <cstdio>
#include <string>

#include "files.h"
#include "png_builder.h"
#include "png_codec.h"

using namespace pngtest;

namespace {

int written = 0;

void save(const std::string& folder, const std::string& name, const Bytes& data) {
    const std::string path = folder + "/" + name + ".png";
    if (!testfiles::writeFile(path, data)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    ++written;
}

size_t toMemory(const void* source, size_t size, size_t count, void* context) {
    auto* out = static_cast<Bytes*>(context);
    const uint8_t* s = static_cast<const uint8_t*>(source);
    out->insert(out->end(), s, s + size * count);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    png_set_allocator(nullptr, nullptr);
    for (uint8_t color : {0, 2, 4, 6})
        for (uint8_t depth : {8, 16}) {
            const int bpp = channels(color) * depth / 8;
            const std::string tag = "c" + std::to_string(color) + "d" + std::to_string(depth);
            for (int f = 0; f <= 4; ++f) {
                FileSpec s;
                s.width = 7;
                s.height = 5;
                s.depth = depth;
                s.color = color;
                s.zdata = deflate(filterRows(pattern(7, 5, bpp, f + 1), 7, 5, bpp, {f, (f + 1) % 5}));
                if (f == 2) s.split = {3, 11};
                if (f == 3) appendChunk(s.between, "tEXt", Bytes{'k', 0, 'v'});
                if (f == 4) appendChunk(s.after, "tIME", Bytes(7, 1));
                save(dir, tag + "f" + std::to_string(f), assemble(s));
            }
            // One from the codec's own writer.
            Bytes out;
            png_handle h{};
            png_create(&h, toMemory, &out);
            Bytes pixels = pattern(16, 3, bpp);
            png_write_image(&h, 16, 3, depth, color, pixels.data());
            save(dir, tag + "w", out);
        }
    // Damaged and unusual: bad filter byte, IEND first, short stream, palette header.
    FileSpec s;
    s.width = 3;
    s.height = 3;
    s.zdata = deflate({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    save(dir, "badfilter", assemble(s));
    s.zdata = deflate({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    save(dir, "short", assemble(s));
    Bytes f = signature();
    appendChunk(f, "IHDR", ihdrData(2, 2, 8, 3));
    appendChunk(f, "IEND", {});
    save(dir, "palette", f);
    f = signature();
    appendChunk(f, "IHDR", ihdrData(2, 2, 8, 6));
    appendChunk(f, "IEND", {});
    save(dir, "noidat", f);
    std::printf("%d seed files in %s\n", written, dir.c_str());
    return 0;
}
