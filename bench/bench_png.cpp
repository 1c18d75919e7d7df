// The PNG codec beside libpng: decode and encode of the same images in the same run.
// libpng writes with its defaults (adaptive filters, default zlib level); ours writes
// filter type 0 at zlib's default level.
#include <png.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "png_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A photograph-like image in file order: smooth gradients, a few hard edges, mild noise.
Bytes photo(uint32_t w, uint32_t h, int channels, int depth) {
    const int bytes = depth / 8;
    Bytes p(size_t(w) * h * channels * bytes);
    uint32_t s = 12345;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c) {
                s = s * 1664525u + 1013904223u;
                double v = 0.5 + 0.4 * std::sin(x * 0.004 * (c + 1) + y * 0.003) * std::cos(y * 0.005 - c);
                if ((x / 256 + y / 192) % 3 == 0) v = 1.0 - v;  // edges
                if (c == 3) v = 1.0;                             // opaque alpha
                const int noise = int(s >> 29) - 4;              // -4..3 steps of the low byte
                const uint32_t full = uint32_t(v * (bytes == 2 ? 65535.0 : 255.0));
                const uint32_t sample =
                    uint32_t(std::min<int64_t>(bytes == 2 ? 65535 : 255, std::max<int64_t>(0, int64_t(full) + noise)));
                uint8_t* d = &p[((size_t(y) * w + x) * channels + c) * bytes];
                if (bytes == 2) {
                    d[0] = uint8_t(sample >> 8);
                    d[1] = uint8_t(sample);
                } else {
                    d[0] = uint8_t(sample);
                }
            }
    return p;
}

// --- libpng, memory in and out ---

struct Source {
    const Bytes* in;
    size_t pos;
};

void lpWrite(png_structp png, png_bytep data, size_t n) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
void lpFlush(png_structp) {}
void lpRead(png_structp png, png_bytep data, size_t n) {
    auto* s = static_cast<Source*>(png_get_io_ptr(png));
    if (s->pos + n > s->in->size()) png_error(png, "short file");
    std::memcpy(data, s->in->data() + s->pos, n);
    s->pos += n;
}

bool libpngEncode(const Bytes& samples, uint32_t w, uint32_t h, int depth, int color, Bytes* out) {
    out->clear();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows(h);
    const size_t stride = samples.size() / h;
    for (uint32_t y = 0; y < h; ++y) rows[y] = const_cast<png_bytep>(&samples[y * stride]);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, lpWrite, lpFlush);
    png_set_IHDR(png, info, w, h, depth, color, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool libpngDecode(const Bytes& file, Bytes* samples) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Source src{&file, 0};
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &src, lpRead);
    png_read_info(png, info);
    const uint32_t h = png_get_image_height(png, info);
    const size_t stride = png_get_rowbytes(png, info);
    samples->resize(stride * h);
    rows.resize(h);
    for (uint32_t y = 0; y < h; ++y) rows[y] = &(*samples)[y * stride];
    png_read_image(png, rows.data());
    png_read_end(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// --- the codec, memory in and out ---

struct Memory {
    const uint8_t* data;
    size_t size, pos;
};

size_t readMemory(void* d, size_t size, size_t count, void* ctx) {
    auto* m = static_cast<Memory*>(ctx);
    const size_t want = size * count, left = m->size - m->pos;
    if (!d) {
        m->pos += std::min(want, left);
        return want <= left ? count : 0;
    }
    const size_t n = std::min(count, left / size);
    std::memcpy(d, m->data + m->pos, n * size);
    m->pos += n * size;
    return n;
}

size_t writeMemory(const void* s, size_t size, size_t count, void* ctx) {
    auto* out = static_cast<Bytes*>(ctx);
    const uint8_t* b = static_cast<const uint8_t*>(s);
    out->insert(out->end(), b, b + size * count);
    return count;
}

int codecDecode(const Bytes& file, Bytes* pixels) {
    Memory m{file.data(), file.size(), 0};
    png_handle h;
    int r = png_open(&h, readMemory, &m);
    if (r != PNGE_NONE) return r;
    pixels->resize(size_t(h.width) * h.height * h.bytes_per_pixel);
    return png_read_pixels(&h, pixels->data());
}

int codecEncode(const Bytes& pixels, uint32_t w, uint32_t h, int depth, int color, Bytes* out) {
    out->clear();
    png_handle handle;
    png_create(&handle, writeMemory, out);
    return png_write_image(&handle, w, h, uint8_t(depth), uint8_t(color), pixels.data());
}

std::string fmt(const char* f, double a, double b = 0, double c = 0) {
    char buf[256];
    snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

void benchImage(const char* label, uint32_t w, uint32_t h, int depth, int color, int channels) {
    png_set_allocator(nullptr, nullptr);
    const Bytes samples = photo(w, h, channels, depth);  // file order
    const double mib = double(samples.size()) / (1 << 20);

    Bytes libFile, ourFile, scratch;
    libpngEncode(samples, w, h, depth, color, &libFile);
    // Our writer takes the reader's layout: 16-bit samples least significant byte first.
    Bytes ours = samples;
    if (depth == 16)
        for (size_t i = 0; i + 1 < ours.size(); i += 2) std::swap(ours[i], ours[i + 1]);
    codecEncode(ours, w, h, depth, color, &ourFile);

    // Both decoders check their output against the image, once.
    Bytes a, b;
    const bool sameDecode = codecDecode(libFile, &a) == PNGE_NONE && a == ours && libpngDecode(ourFile, &b) &&
                            b == samples;

    const bench::Pair decodes = bench::measureInTurns(
        [&] { libpngDecode(libFile, &scratch); bench::keep(scratch.data()); },
        [&] { codecDecode(libFile, &scratch); bench::keep(scratch.data()); }, 5, 4.0);
    const bench::Stats &libDec = decodes.a, &ourDec = decodes.b;
    bench::Row row;
    row.group = "png codec";
    row.name = std::string("decode ") + label + " (libpng's file)";
    row.stats = ourDec;
    row.baseline_ms = libDec.median_ms;
    row.baseline = "libpng";
    row.math = fmt("%.1f MiB of samples from a %.2f MiB file: inflate + unfilter, one pass each", mib,
                   double(libFile.size()) / (1 << 20));
    row.note = fmt("time ratio ours/libpng %.2f; ", 1 / decodes.aOverB) +
               (sameDecode ? "samples match libpng" : "SAMPLES DIFFER");
    bench::addRow(row);
    if (depth == 8 && color == 6)
        bench::addBar({std::string("png codec: decode time over libpng's, ") + label, 1 / decodes.aOverB,
                       1.0, false});

    bench::Stats libEnc = bench::measure([&] { libpngEncode(samples, w, h, depth, color, &scratch); }, 3, 3.0);
    bench::Stats ourEnc = bench::measure([&] { codecEncode(ours, w, h, depth, color, &scratch); }, 3, 3.0);
    row = bench::Row();
    row.group = "png codec";
    row.name = std::string("encode ") + label;
    row.stats = ourEnc;
    row.baseline_ms = libEnc.median_ms;
    row.baseline = "libpng defaults";
    row.math = fmt("%.1f MiB of samples deflated at zlib's default level; ours filter 0, libpng adaptive", mib);
    row.note = fmt("time ratio ours/libpng %.2f; file size ours/libpng %.2f (%.2f / ", ourEnc.median_ms / libEnc.median_ms,
                   double(ourFile.size()) / double(libFile.size()), double(ourFile.size()) / (1 << 20)) +
               fmt("%.2f MiB)", double(libFile.size()) / (1 << 20));
    bench::addRow(row);
}

}  // namespace

BENCH_SECTION(png_codec) {
    benchImage("2048x2048 RGBA8", 2048, 2048, 8, 6, 4);
    benchImage("2048x2048 grey16", 2048, 2048, 16, 0, 1);
}
