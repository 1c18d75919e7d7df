// The reading side: signature, header chunk, chunk loop, one inflate stream over the
// IDAT run, then the per-row filters undone into the caller's buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "png_internal.h"

using namespace png_detail;

namespace {

const uint8_t type_idat[4] = {'I', 'D', 'A', 'T'};
const uint8_t type_iend[4] = {'I', 'E', 'N', 'D'};

// zlib may leave msg null (e.g. Z_BUF_ERROR); its code text stands in then.
const char* stream_message(const z_stream* stream, int result) {
    return stream->msg ? stream->msg : zError(result);
}

int read_header_chunk(png_handle* handle) {
    uint32_t length = 0;
    if (io_read_be32(handle, &length) != PNGE_NONE) return PNGE_END_OF_FILE;
    if (length != 13) {
        std::printf("%d\n", static_cast<int>(length));
        return PNGE_CHECKSUM;
    }
    uint8_t ihdr[17];
    if (io_read(handle, ihdr, 1, 17) < 17) return PNGE_END_OF_FILE;
    uint32_t orig_crc = 0;
    if (io_read_be32(handle, &orig_crc) != PNGE_NONE) return PNGE_CHECKSUM;
    if (crc32(crc32(0, nullptr, 0), ihdr, 17) != orig_crc) return PNGE_CHECKSUM;

    // Stored before the tests, so a refused image still shows what it is.
    handle->width = load_be32(ihdr + 4);
    handle->height = load_be32(ihdr + 8);
    handle->depth = ihdr[12];
    handle->color = ihdr[13];
    handle->compression = ihdr[14];
    handle->filter = ihdr[15];
    handle->interlace = ihdr[16];
    return check_format(handle->width, handle->height, handle->depth, handle->color, handle->interlace);
}

int inflate_begin(png_handle* handle) {
    z_stream* stream = static_cast<z_stream*>(allocate(sizeof(z_stream)));
    if (!stream) return PNGE_NO_MEMORY;
    std::memset(stream, 0, sizeof(z_stream));
    handle->zstream = stream;
    if (inflateInit_(stream, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) != Z_OK) return PNGE_ZLIB;
    stream->next_out = handle->raw_data;
    stream->avail_out = handle->raw_size;
    return PNGE_NONE;
}

// Inflates one piece of chunk data. The result and zlib's message are kept for the caller,
// which reports them only once the chunk's CRC has passed: a damaged chunk is a checksum
// error whichever byte was hit.
int inflate_piece(png_handle* handle, uint8_t* data, uint32_t length, const char** message) {
    z_stream* stream = handle->zstream;
    if (!stream) return PNGE_NO_MEMORY;
    stream->next_in = data;
    stream->avail_in = length;
    int result = inflate(stream, Z_SYNC_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) {
        *message = stream_message(stream, result);
        return PNGE_ZLIB;
    }
    // Input left over: the image's raw_size bytes are full, the data is longer.
    return stream->avail_in != 0 ? PNGE_ZLIB : PNGE_NONE;
}

int inflate_finish(png_handle* handle) {
    z_stream* stream = handle->zstream;
    if (!stream) return PNGE_NO_MEMORY;
    int result = inflateEnd(stream);
    if (result != Z_OK) {
        std::printf("ZLIB says: %s\n", stream_message(stream, result));
        // The record stays referenced by the handle; release it anyway so nothing leaks.
        handle->zstream = nullptr;
        release(stream);
        return PNGE_ZLIB;
    }
    handle->zstream = nullptr;
    release(stream);
    return PNGE_NONE;
}

// Chunk data is read and inflated in pieces of this size, so no buffer is sized by a
// length field: a tiny file declaring a 4 GiB chunk costs one piece, not 4 GiB.
constexpr uint32_t kPieceSize = 64 * 1024;

// One IDAT chunk's data and CRC; the stream stands just after its type.
int read_idat_chunk(png_handle* handle, uint8_t* piece, uint32_t length) {
    uLong crc = crc32(0, type_idat, 4);
    int inflated = PNGE_NONE;
    const char* message = nullptr;
    while (length > 0) {
        const uint32_t n = length < kPieceSize ? length : kPieceSize;
        if (io_read(handle, piece, 1, n) < n) return PNGE_FILE;
        crc = crc32(crc, piece, n);
        if (inflated == PNGE_NONE) inflated = inflate_piece(handle, piece, n, &message);
        length -= n;
    }
    uint32_t orig_crc = 0;
    if (io_read_be32(handle, &orig_crc) != PNGE_NONE || crc != orig_crc) return PNGE_CHECKSUM;
    if (message) std::printf("%s\n", message);
    return inflated;
}

// The run of consecutive IDAT chunks; the stream stands just after the first one's type.
int read_image_data(png_handle* handle, uint32_t length) {
    uint8_t* piece = static_cast<uint8_t*>(allocate(kPieceSize));
    if (!piece) return PNGE_NO_MEMORY;
    int result = inflate_begin(handle);
    if (result != PNGE_NONE) {
        if (handle->zstream) inflate_finish(handle);
        release(piece);
        return result;
    }
    uint8_t type[4];
    for (;;) {
        result = read_idat_chunk(handle, piece, length);
        if (result != PNGE_NONE) break;
        length = 0;
        io_read_be32(handle, &length);
        if (io_read(handle, type, 1, 4) < 4) {
            result = PNGE_FILE;
            break;
        }
        if (std::memcmp(type, type_idat, 4) != 0) {
            if (std::memcmp(type, type_iend, 4) == 0) {
                result = PNGE_FINISHED;
            } else {
                io_read(handle, nullptr, uint64_t(length) + 4, 1);
                result = PNGE_NONE;
            }
            break;
        }
    }
    // Image data that ends before the whole image is inflated is an error, not rows of
    // whatever the buffer held.
    if ((result == PNGE_NONE || result == PNGE_FINISHED) && handle->zstream->avail_out != 0) result = PNGE_ZLIB;
    release(piece);
    inflate_finish(handle);
    return result;
}

int read_chunk(png_handle* handle) {
    uint32_t length = 0;
    io_read_be32(handle, &length);  // a short read shows in the type read below
    uint8_t type[4];
    if (io_read(handle, type, 1, 4) < 4) return PNGE_FILE;
    if (std::memcmp(type, type_idat, 4) == 0) {
        // IDAT chunks must be consecutive; a second run would restart the image.
        if (handle->raw_data) return PNGE_FILE;
        handle->raw_size = handle->height * (handle->width * handle->bytes_per_pixel + 1);
        handle->raw_data = static_cast<uint8_t*>(allocate(handle->raw_size));
        if (!handle->raw_data) return PNGE_NO_MEMORY;
        return read_image_data(handle, length);
    }
    if (std::memcmp(type, type_iend, 4) == 0) return PNGE_FINISHED;
    io_read(handle, nullptr, uint64_t(length) + 4, 1);  // ancillary chunks: skipped, not CRC-tested
    return PNGE_NONE;
}

int paeth_predictor(int a, int b, int c) {
    int p = a + b - c;
    int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    if (pb <= pc) return b;
    return c;
}

// Sub and Average on whole pixels of 2, 4 or 8 bytes, W holding one pixel: its bytes are added
// and averaged lane by lane with no carry between them, the same bytes as the loops below.
template <typename W>
W lanes_add(W a, W b) {
    const W high = W(0x8080808080808080ull), low = W(~high);
    return ((a & low) + (b & low)) ^ ((a ^ b) & high);
}

template <typename W>
W lanes_average(W a, W b) {  // floor((a + b) / 2) in each byte
    return W((a & b) + (((a ^ b) >> 1) & W(0x7F7F7F7F7F7F7F7Full)));
}

// Sub adds the pixel on the left; Average adds the mean of left and above (above is 0
// without a prior row).
template <typename W>
void unfilter_pixels(bool average, uint8_t* r, const uint8_t* x, const uint8_t* prior, size_t stride) {
    W left = 0, above = 0, in;
    for (size_t i = 0; i < stride; i += sizeof(W)) {
        std::memcpy(&in, x + i, sizeof(W));
        if (!average) {
            left = lanes_add(in, left);
        } else {
            if (prior) std::memcpy(&above, prior + i, sizeof(W));
            left = lanes_add(in, lanes_average(left, above));
        }
        std::memcpy(r + i, &left, sizeof(W));
    }
}

// Whether a Sub (1) or Average (3) row was undone a pixel at a time.
bool unfilter_words(uint8_t f, size_t bpp, uint8_t* r, const uint8_t* x, const uint8_t* prior, size_t stride) {
    if (bpp == 2)
        unfilter_pixels<uint16_t>(f == 3, r, x, prior, stride);
    else if (bpp == 4)
        unfilter_pixels<uint32_t>(f == 3, r, x, prior, stride);
    else if (bpp == 8)
        unfilter_pixels<uint64_t>(f == 3, r, x, prior, stride);
    else
        return false;
    return true;
}

int unfilter_rows(png_handle* handle, uint8_t* destination) {
    const size_t bpp = handle->bytes_per_pixel;
    const size_t stride = size_t(handle->width) * bpp;
    const size_t raw_size = handle->raw_size;
    const uint8_t* prior = nullptr;
    size_t p = 0, o = 0;
    while (p < raw_size) {
        const uint8_t f = handle->raw_data[p++];
        uint8_t* x = handle->raw_data + p;
        if (handle->depth == 16) {
            // Filters work bytewise at equal positions within a sample, so swapping
            // before unfiltering gives least-significant-first samples afterwards.
            for (size_t i = 0; i + 1 < stride; i += 2) {
                uint8_t t = x[i];
                x[i] = x[i + 1];
                x[i + 1] = t;
            }
        }
        uint8_t* r = destination + o;
        switch (f) {
            case 0:
                std::memcpy(r, x, stride);
                break;
            case 1:
                if (unfilter_words(f, bpp, r, x, prior, stride)) break;
                for (size_t i = 0; i < bpp && i < stride; ++i) r[i] = x[i];
                for (size_t i = bpp; i < stride; ++i) r[i] = uint8_t(x[i] + r[i - bpp]);
                break;
            case 2:
                if (prior) {
                    for (size_t i = 0; i < stride; ++i) r[i] = uint8_t(x[i] + prior[i]);
                } else {
                    std::memcpy(r, x, stride);
                }
                break;
            case 3:
                if (unfilter_words(f, bpp, r, x, prior, stride)) break;
                if (prior) {
                    for (size_t i = 0; i < bpp && i < stride; ++i) r[i] = uint8_t(x[i] + (prior[i] >> 1));
                    for (size_t i = bpp; i < stride; ++i)
                        r[i] = uint8_t(x[i] + ((unsigned(r[i - bpp]) + prior[i]) >> 1));
                } else {
                    for (size_t i = 0; i < bpp && i < stride; ++i) r[i] = x[i];
                    for (size_t i = bpp; i < stride; ++i) r[i] = uint8_t(x[i] + (r[i - bpp] >> 1));
                }
                break;
            case 4:
                if (prior) {
                    for (size_t i = 0; i < bpp && i < stride; ++i) r[i] = uint8_t(x[i] + prior[i]);
                    for (size_t i = bpp; i < stride; ++i)
                        r[i] = uint8_t(x[i] + paeth_predictor(r[i - bpp], prior[i], prior[i - bpp]));
                } else {
                    // No prior row: the predictor always picks the left byte.
                    for (size_t i = 0; i < bpp && i < stride; ++i) r[i] = x[i];
                    for (size_t i = bpp; i < stride; ++i) r[i] = uint8_t(x[i] + r[i - bpp]);
                }
                break;
            default:
                return PNGE_BAD_FILTER;
        }
        prior = r;
        o += stride;
        p += stride;
    }
    return PNGE_NONE;
}

}  // namespace

int png_open(png_handle* handle, png_read_callback read_function, void* io_context) {
    handle->read_function = read_function;
    handle->write_function = nullptr;
    handle->io_context = io_context;
    handle->zstream = nullptr;
    handle->raw_data = nullptr;
    handle->raw_size = 0;
    handle->width = handle->height = 0;
    handle->depth = handle->color = handle->compression = handle->filter = handle->interlace = 0;
    handle->bytes_per_pixel = 0;
    if (!read_function && !io_context) return PNGE_BAD_ARGUMENTS;
    uint8_t bytes[8];
    if (io_read(handle, bytes, 1, 8) < 8) return PNGE_END_OF_FILE;
    if (std::memcmp(bytes, signature, 8) != 0) return PNGE_SIGNATURE;
    int result = read_header_chunk(handle);
    handle->bytes_per_pixel = bytes_per_pixel_of(handle->color, handle->depth);
    return result;
}

int png_open_path(png_handle* handle, const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return PNGE_FILE;
    return png_open(handle, nullptr, file);
}

int png_read_pixels(png_handle* handle, void* destination) {
    // A handle whose header was refused must not size buffers from it.
    int result = check_format(handle->width, handle->height, handle->depth, handle->color, handle->interlace);
    if (result != PNGE_NONE) return result;
    while ((result = read_chunk(handle)) == PNGE_NONE) {
    }
    if (result == PNGE_FINISHED) {
        // An end chunk before any image data leaves nothing to unfilter.
        result = handle->raw_data ? unfilter_rows(handle, static_cast<uint8_t*>(destination)) : PNGE_END_OF_FILE;
    }
    release(handle->raw_data);
    handle->raw_data = nullptr;
    return result;
}
