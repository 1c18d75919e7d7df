// A small PNG codec on top of zlib: reads non-interlaced greyscale, truecolour and
// their alpha variants at 8 or 16 bits per sample, and writes the same formats as one
// IDAT chunk with filter type 0.
//
// C-style C++ on purpose: the functions keep C++ linkage, so a program can link libpng
// (which exports a C symbol png_write_image) beside this codec.
#pragma once

#include <cstddef>
#include <cstdint>

struct z_stream_s;

// Result codes. 0 is success, 1 means the end chunk was reached, negatives are errors.
enum {
    PNGE_FINISHED = 1,
    PNGE_NONE = 0,
    PNGE_FILE = -1,
    PNGE_SIGNATURE = -2,
    PNGE_READ = -3,
    PNGE_END_OF_FILE = -4,
    PNGE_CHECKSUM = -5,
    PNGE_NO_MEMORY = -6,
    PNGE_ZLIB = -7,
    PNGE_BAD_FILTER = -8,
    PNGE_UNSUPPORTED = -9,
    PNGE_BAD_ARGUMENTS = -10,
};

// I/O callbacks, fread/fwrite-like: return the number of whole elements transferred.
// A read with a null destination is a skip of size x count bytes.
typedef size_t (*png_read_callback)(void* destination, size_t size, size_t count, void* io_context);
typedef size_t (*png_write_callback)(const void* source, size_t size, size_t count, void* io_context);

typedef void* (*png_alloc_function)(size_t size);
typedef void (*png_free_function)(void* block);

// One image being read or written; owned by the caller.
struct png_handle {
    z_stream_s* zstream;               // inflate stream of the decode in progress
    png_read_callback read_function;   // or null: io_context is a FILE*
    png_write_callback write_function; // or null: io_context is a FILE*
    void* io_context;
    uint8_t* raw_data;                 // inflated, still-filtered scanlines
    uint32_t raw_size;                 // height x (width x bytes_per_pixel + 1)
    uint32_t width;
    uint32_t height;
    uint8_t depth;
    uint8_t color;
    uint8_t compression;
    uint8_t filter;
    uint8_t interlace;
    uint8_t bytes_per_pixel;           // channels x depth / 8; 255 for an unknown colour type
};

// Every buffer the codec allocates goes through these hooks; null selects malloc / free.
int png_set_allocator(png_alloc_function alloc, png_free_function release);

// Reading: open (signature and header), inspect the fields, read the pixels once, close.
int png_open(png_handle* handle, png_read_callback read_function, void* io_context);
int png_open_path(png_handle* handle, const char* path);
// destination holds height x width x bytes_per_pixel bytes; rows top first, 16-bit
// samples least significant byte first.
int png_read_pixels(png_handle* handle, void* destination);
// fclose of io_context (handles opened by path or with a FILE*). A failing close of a
// written file gives PNGE_FILE.
int png_close(png_handle* handle);

// Writing: create, write the whole image once, close.
int png_create(png_handle* handle, png_write_callback write_function, void* io_context);
int png_create_path(png_handle* handle, const char* path);
int png_write_image(png_handle* handle, uint32_t width, uint32_t height, uint8_t depth, uint8_t color,
                    const void* pixels);

// Prints the header fields on standard output.
void png_describe(const png_handle* handle);
// The constant message of a result code.
const char* png_error_text(int code);
