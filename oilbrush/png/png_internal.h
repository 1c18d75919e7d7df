// Shared inside the codec: allocator hooks, the byte I/O layer and the format rules.
#pragma once

#include <cstdint>

#include "png_codec.h"

namespace png_detail {

extern png_alloc_function alloc_hook;
extern png_free_function free_hook;

void* allocate(size_t size);  // through alloc_hook, never asked for 0 bytes
void release(void* block);    // through free_hook; null is ignored

extern const uint8_t signature[8];

// zlib's compress, replaceable so that tests can make it fail.
extern int (*compress_function)(unsigned char* dest, unsigned long* dest_len, const unsigned char* source,
                                unsigned long source_len);

// Elements read (a skip with destination null returns fseek's result for a file).
size_t io_read(png_handle* handle, void* destination, size_t size, size_t count);
size_t io_write(png_handle* handle, const void* source, size_t size, size_t count);
int io_read_be32(png_handle* handle, uint32_t* out);
int io_write_be32(png_handle* handle, uint32_t value);
uint32_t load_be32(const uint8_t* bytes);
void store_be32(uint8_t* bytes, uint32_t value);

// 1, 3, 1, 2, 4 for colour types 0, 2, 3, 4, 6; -1 for any other.
int channels_of(uint8_t color);
uint8_t bytes_per_pixel_of(uint8_t color, uint8_t depth);

// 0 when the codec can hold the image: a colour type it reads, depth 8 or 16, no
// interlace, a non-empty size whose scanline buffer height x (stride + 1) fits the
// 32-bit raw_size. Otherwise PNGE_UNSUPPORTED.
int check_format(uint32_t width, uint32_t height, uint8_t depth, uint8_t color, uint8_t interlace);

}  // namespace png_detail
