// The writing side: signature, header, one IDAT with every row under filter type 0,
// end chunk. Plus the header printer.
#include <cstdio>
#include <cstring>

#include <zlib.h>

#include "png_internal.h"

namespace png_detail {
int (*compress_function)(unsigned char*, unsigned long*, const unsigned char*, unsigned long) = compress;
}

using namespace png_detail;

namespace {

int write_header(png_handle* handle) {
    if (io_write(handle, signature, 1, 8) < 8) return PNGE_FILE;
    if (io_write_be32(handle, 13) != PNGE_NONE) return PNGE_FILE;
    uint8_t ihdr[17] = {73, 72, 68, 82};
    store_be32(ihdr + 4, handle->width);
    store_be32(ihdr + 8, handle->height);
    ihdr[12] = handle->depth;
    ihdr[13] = handle->color;
    ihdr[14] = 0;
    ihdr[15] = 0;
    ihdr[16] = 0;
    if (io_write(handle, ihdr, 1, 17) < 17) return PNGE_FILE;
    return io_write_be32(handle, static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), ihdr, 17)));
}

int write_image_data(png_handle* handle, const uint8_t* filtered, size_t size) {
    // compressBound covers zlib's worst case, so compress never runs out of room on
    // incompressible rows; 8 more bytes hold the type in front and the CRC behind.
    const uLong bound = compressBound(static_cast<uLong>(size));
    uint8_t* buffer = static_cast<uint8_t*>(allocate(bound + 8));
    if (!buffer) return PNGE_NO_MEMORY;
    std::memcpy(buffer, "IDAT", 4);
    uLongf written = bound;
    int z = compress_function(buffer + 4, &written, filtered, static_cast<uLong>(size));
    if (z != Z_OK || written > UINT32_MAX - 8) {
        release(buffer);
        return z == Z_MEM_ERROR ? PNGE_NO_MEMORY : PNGE_ZLIB;
    }
    store_be32(buffer + 4 + written, static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), buffer, static_cast<uInt>(written + 4))));
    int result = io_write_be32(handle, static_cast<uint32_t>(written));
    if (result == PNGE_NONE && io_write(handle, buffer, 1, written + 8) < written + 8) result = PNGE_FILE;
    release(buffer);
    if (result != PNGE_NONE) return result;

    if (io_write_be32(handle, 0) != PNGE_NONE) return PNGE_FILE;
    if (io_write(handle, "IEND", 1, 4) < 4) return PNGE_FILE;
    return io_write_be32(handle, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("IEND"), 4)));
}

const char* color_name(uint8_t color) {
    switch (color) {
        case 0: return "greyscale";
        case 2: return "truecolor";
        case 3: return "palette";
        case 4: return "greyscale with alpha";
        case 6: return "truecolor with alpha";
        default: return "unknown, this is not good";
    }
}

}  // namespace

int png_create(png_handle* handle, png_write_callback write_function, void* io_context) {
    handle->zstream = nullptr;
    handle->raw_data = nullptr;
    handle->raw_size = 0;
    handle->write_function = write_function;
    handle->read_function = nullptr;
    handle->io_context = io_context;
    if (!write_function && !io_context) return PNGE_BAD_ARGUMENTS;
    return PNGE_NONE;
}

int png_create_path(png_handle* handle, const char* path) {
    FILE* file = std::fopen(path, "wb");
    if (!file) return PNGE_FILE;
    return png_create(handle, nullptr, file);
}

int png_write_image(png_handle* handle, uint32_t width, uint32_t height, uint8_t depth, uint8_t color,
                    const void* pixels) {
    handle->width = width;
    handle->height = height;
    handle->depth = depth;
    handle->color = color;
    handle->bytes_per_pixel = bytes_per_pixel_of(color, depth);
    // Only what the reader reads: an unknown colour type would size rows as 255 bytes a
    // pixel and read far past the caller's buffer.
    int result = check_format(width, height, depth, color, 0);
    if (result != PNGE_NONE) return result;

    const size_t stride = size_t(width) * handle->bytes_per_pixel;
    const size_t size = (stride + 1) * height;
    uint8_t* filtered = static_cast<uint8_t*>(allocate(size));
    if (!filtered) return PNGE_NO_MEMORY;
    const uint8_t* source = static_cast<const uint8_t*>(pixels);
    for (size_t i = 0; i < height; ++i) {
        uint8_t* row = filtered + i * (stride + 1);
        row[0] = 0;
        std::memcpy(row + 1, source + i * stride, stride);
        if (depth == 16) {
            // The buffer holds samples least significant byte first, as the reader
            // produces them; the file wants them most significant first.
            for (size_t k = 1; k < stride; k += 2) {
                uint8_t t = row[k];
                row[k] = row[k + 1];
                row[k + 1] = t;
            }
        }
    }
    result = write_header(handle);
    if (result == PNGE_NONE) result = write_image_data(handle, filtered, size);
    release(filtered);
    return result;
}

void png_describe(const png_handle* handle) {
    const char* unknown = "unknown, this is not good";
    std::printf("PNG INFO:\n");
    std::printf("\twidth:\t\t%d\n", static_cast<int>(handle->width));
    std::printf("\theight:\t\t%d\n", static_cast<int>(handle->height));
    std::printf("\tdepth:\t\t%d\n", handle->depth);
    std::printf("\tcolor:\t\t%s\n", color_name(handle->color));
    std::printf("\tcompression:\t%s\n", handle->compression == 0 ? "inflate/deflate" : unknown);
    std::printf("\tfilter:\t\t%s\n", handle->filter == 0 ? "adaptive" : unknown);
    std::printf("\tinterlace:\t%s\n", handle->interlace == 0 ? "no interlace" : "interlace");
}
