#include "libpng_oracle.h"

#include <png.h>

#include <cstring>

namespace oracle {

namespace {

struct Sink {
    std::vector<uint8_t>* out;
};

void writeData(png_structp png, png_bytep data, size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void flushData(png_structp) {}

struct Source {
    const std::vector<uint8_t>* in;
    size_t pos;
};

void readData(png_structp png, png_bytep data, size_t length) {
    auto* s = static_cast<Source*>(png_get_io_ptr(png));
    if (s->pos + length > s->in->size()) png_error(png, "read past the end");
    std::memcpy(data, s->in->data() + s->pos, length);
    s->pos += length;
}

void onError(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    if (error) *error = message;
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

}  // namespace

std::vector<uint8_t> encode(uint32_t w, uint32_t h, int depth, int color, const std::vector<uint8_t>& samples,
                            int filters, size_t zbuf) {
    std::vector<uint8_t> out;
    std::string error;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, onError, onWarning);
    png_infop info = png_create_info_struct(png);
    const size_t stride = samples.size() / h;
    std::vector<png_bytep> rows(h);
    for (uint32_t y = 0; y < h; ++y) rows[y] = const_cast<png_bytep>(samples.data() + y * stride);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, writeData, flushData);
    png_set_IHDR(png, info, w, h, depth, color, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
    png_set_compression_buffer_size(png, zbuf);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

bool decode(const std::vector<uint8_t>& file, Image* out, std::string* error) {
    std::string message;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, onError, onWarning);
    png_infop info = png_create_info_struct(png);
    Source source{&file, 0};
    std::vector<png_bytep> rows;  // declared before setjmp: a longjmp must not skip its destructor
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (error) *error = message;
        return false;
    }
    png_set_read_fn(png, &source, readData);
    png_read_info(png, info);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->depth = png_get_bit_depth(png, info);
    out->color = png_get_color_type(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    out->samples.assign(stride * out->height, 0);
    rows.resize(out->height);
    for (uint32_t y = 0; y < out->height; ++y) rows[y] = out->samples.data() + y * stride;
    png_read_image(png, rows.data());
    png_read_end(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace oracle
