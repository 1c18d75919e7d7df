// libFuzzer target: arbitrary bytes through png_open and png_read_pixels from memory.
// Whatever decodes is written back and read again, and must come out unchanged.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "png_codec.h"

namespace {

struct Memory {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

size_t readMemory(void* destination, size_t size, size_t count, void* context) {
    auto* m = static_cast<Memory*>(context);
    const size_t left = m->size - m->pos;
    if (!destination) {  // a skip
        const size_t want = size * count;
        m->pos += want < left ? want : left;
        return want <= left ? count : 0;
    }
    const size_t n = size ? (count < left / size ? count : left / size) : 0;
    std::memcpy(destination, m->data + m->pos, n * size);
    m->pos += n * size;
    return n;
}

size_t writeMemory(const void* source, size_t size, size_t count, void* context) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const uint8_t* s = static_cast<const uint8_t*>(source);
    out->insert(out->end(), s, s + size * count);
    return count;
}

// Headers may announce gigabytes; the codec then sees a failed allocation instead.
const size_t kLimit = 64u << 20;

void* limitedAlloc(size_t n) { return n > kLimit ? nullptr : std::malloc(n); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    png_set_allocator(limitedAlloc, std::free);
    Memory in{data, size, 0};
    png_handle h;
    std::memset(&h, 0xA5, sizeof h);  // the codec must not rely on a cleared handle
    if (png_open(&h, readMemory, &in) != PNGE_NONE) return 0;
    const size_t bytes = size_t(h.width) * h.height * h.bytes_per_pixel;
    if (bytes > kLimit / 4) return 0;  // leaves the writer room within the limit
    std::vector<uint8_t> pixels(bytes);
    if (png_read_pixels(&h, pixels.data()) != PNGE_NONE) return 0;

    std::vector<uint8_t> file;
    png_handle w;
    png_create(&w, writeMemory, &file);
    if (png_write_image(&w, h.width, h.height, h.depth, h.color, pixels.data()) != PNGE_NONE) std::abort();
    Memory again{file.data(), file.size(), 0};
    png_handle r;
    if (png_open(&r, readMemory, &again) != PNGE_NONE) std::abort();
    std::vector<uint8_t> back(bytes);
    if (png_read_pixels(&r, back.data()) != PNGE_NONE || back != pixels) std::abort();
    return 0;
}
