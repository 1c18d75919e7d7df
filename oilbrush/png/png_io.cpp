// Allocator hooks, byte I/O, result messages and the format rules.
#include <cstdio>
#include <cstdlib>

#include "png_internal.h"

namespace png_detail {

png_alloc_function alloc_hook = nullptr;
png_free_function free_hook = nullptr;

void* allocate(size_t size) {
    // malloc(0) may return null, which would read as a failed allocation.
    if (size == 0) size = 1;
    return alloc_hook ? alloc_hook(size) : std::malloc(size);
}

void release(void* block) {
    if (!block) return;
    if (free_hook) free_hook(block); else std::free(block);
}

const uint8_t signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

size_t io_read(png_handle* handle, void* destination, size_t size, size_t count) {
    if (handle->read_function) return handle->read_function(destination, size, count, handle->io_context);
    FILE* file = static_cast<FILE*>(handle->io_context);
    if (destination) return std::fread(destination, size, count, file);
    return static_cast<size_t>(std::fseek(file, static_cast<long>(size * count), SEEK_CUR));
}

size_t io_write(png_handle* handle, const void* source, size_t size, size_t count) {
    if (handle->write_function) return handle->write_function(source, size, count, handle->io_context);
    return std::fwrite(source, size, count, static_cast<FILE*>(handle->io_context));
}

uint32_t load_be32(const uint8_t* b) {
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

void store_be32(uint8_t* b, uint32_t value) {
    b[0] = uint8_t(value >> 24);
    b[1] = uint8_t(value >> 16);
    b[2] = uint8_t(value >> 8);
    b[3] = uint8_t(value);
}

int io_read_be32(png_handle* handle, uint32_t* out) {
    uint8_t bytes[4];
    if (io_read(handle, bytes, 1, 4) < 4) return PNGE_FILE;
    *out = load_be32(bytes);
    return PNGE_NONE;
}

int io_write_be32(png_handle* handle, uint32_t value) {
    uint8_t bytes[4];
    store_be32(bytes, value);
    return io_write(handle, bytes, 1, 4) < 4 ? PNGE_FILE : PNGE_NONE;
}

int channels_of(uint8_t color) {
    switch (color) {
        case 0: return 1;
        case 2: return 3;
        case 3: return 1;
        case 4: return 2;
        case 6: return 4;
        default: return -1;
    }
}

uint8_t bytes_per_pixel_of(uint8_t color, uint8_t depth) {
    return static_cast<uint8_t>(channels_of(color) * (depth / 8));
}

int check_format(uint32_t width, uint32_t height, uint8_t depth, uint8_t color, uint8_t interlace) {
    if (color == 3 || channels_of(color) < 0) return PNGE_UNSUPPORTED;
    if (depth != 8 && depth != 16) return PNGE_UNSUPPORTED;
    if (interlace != 0) return PNGE_UNSUPPORTED;
    if (width == 0 || height == 0) return PNGE_UNSUPPORTED;
    // 64-bit arithmetic: width x 8 + 1 and the product below cannot wrap.
    const uint64_t stride = uint64_t(width) * bytes_per_pixel_of(color, depth);
    if (uint64_t(height) * (stride + 1) > UINT32_MAX) return PNGE_UNSUPPORTED;
    return PNGE_NONE;
}

}  // namespace png_detail

using namespace png_detail;

int png_set_allocator(png_alloc_function alloc, png_free_function release_fn) {
    alloc_hook = alloc ? alloc : std::malloc;
    free_hook = release_fn ? release_fn : std::free;
    return PNGE_NONE;
}

int png_close(png_handle* handle) {
    if (!handle->io_context) return PNGE_NONE;
    FILE* file = static_cast<FILE*>(handle->io_context);
    handle->io_context = nullptr;
    // For a written file the close flushes the last bytes: its failure is a lost file.
    return std::fclose(file) == 0 ? PNGE_NONE : PNGE_FILE;
}

const char* png_error_text(int code) {
    switch (code) {
        case PNGE_FINISHED: return "PNG done";
        case PNGE_NONE: return "No error";
        case PNGE_FILE: return "Unknown file error.";
        case PNGE_SIGNATURE: return "No PNG header found. Are you sure this is a PNG?";
        case PNGE_READ: return "Failure while reading file.";
        case PNGE_END_OF_FILE: return "Reached end of file.";
        case PNGE_CHECKSUM: return "CRC or chunk length error.";
        case PNGE_NO_MEMORY: return "Could not allocate memory.";
        case PNGE_ZLIB: return "zlib reported an error.";
        case PNGE_BAD_FILTER: return "Unknown filter method used in scanline.";
        case PNGE_UNSUPPORTED: return "The PNG is unsupported by this codec.";
        case PNGE_BAD_ARGUMENTS:
            return "Wrong combination of arguments passed to png_open. You must use either a read_function or "
                   "supply a file pointer to use.";
        default: return "Unknown error.";
    }
}
