// The codec against its rules written out here: the reader's row filters undone byte by
// byte (Paeth's tie order, Average in full width, 16-bit pairs swapped before unfiltering)
// on random and tie-heavy rows, and the writer's file byte for byte.
#include <cstdlib>
#include <utility>

#include "codec_helpers.h"

using namespace pngtest;

namespace {

int predict(int f, int a, int b, int c) {  // a left, b above, c upper-left
    if (f == 1) return a;
    if (f == 2) return b;
    if (f == 3) return (a + b) / 2;
    if (f != 4) return 0;
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// decode: raw (filter byte and stride bytes a row) to pixel rows. encode: pixel rows to raw,
// row k under filters[k % size]. One loop, so both use the same predictor.
Bytes unfilter(Bytes raw, size_t stride, size_t bpp, int depth) {
    Bytes out(raw.size() / (stride + 1) * stride);
    for (size_t p = 0, o = 0; p < raw.size(); p += stride + 1, o += stride) {
        for (size_t i = 0; depth == 16 && i + 1 < stride; i += 2) std::swap(raw[p + 1 + i], raw[p + 2 + i]);
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= bpp ? out[o + i - bpp] : 0, b = o ? out[o - stride + i] : 0;
            const int c = o && i >= bpp ? out[o - stride + i - bpp] : 0;
            out[o + i] = uint8_t(raw[p + 1 + i] + predict(raw[p], a, b, c));
        }
    }
    return out;
}
Bytes encode(const Bytes& rows, size_t stride, size_t bpp, const std::vector<int>& filters) {
    Bytes raw;
    for (size_t o = 0, k = 0; o < rows.size(); o += stride, ++k) {
        const int f = filters[k % filters.size()];
        raw.push_back(uint8_t(f));
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= bpp ? rows[o + i - bpp] : 0, b = o ? rows[o - stride + i] : 0;
            const int c = o && i >= bpp ? rows[o - stride + i - bpp] : 0;
            raw.push_back(uint8_t(rows[o + i] - predict(f, a, b, c)));
        }
    }
    return raw;
}

Bytes noise(size_t n, uint32_t seed, int values) {  // values 0: any byte; else 0, 50, ... (values - 1) x 50
    Bytes b(n);
    for (uint8_t& v : b) {
        seed = seed * 1664525u + 1013904223u;
        v = uint8_t(values ? (seed >> 16) % values * 50 : seed >> 24);
    }
    return b;
}

TEST(PngReference, ReaderUndoesTheRowFiltersByteForByte) {
    png_set_allocator(nullptr, nullptr);
    const struct {
        uint32_t w, h;
        uint8_t depth, color;
        std::vector<int> filters;
        int values;  // 0: random filtered bytes; else a picture of these few grey levels, encoded
        std::vector<size_t> split;  // IDAT payload sizes
    } cases[] = {
        {31, 17, 8, 6, {0, 1, 2, 3, 4}, 0, {}},   {29, 23, 8, 2, {3, 4, 1, 4}, 0, {100}},
        {1, 9, 8, 0, {3, 4, 2, 1}, 0, {}},        {40, 30, 8, 0, {4}, 5, {}},
        {40, 30, 8, 4, {4, 4, 3}, 4, {7}},        {33, 12, 8, 6, {4, 1, 3, 2, 0}, 6, {}},
        {21, 11, 16, 4, {4, 3, 2, 1, 0}, 0, {}},  {13, 8, 16, 0, {1, 4, 3}, 0, {}},
        {9, 7, 16, 6, {2, 4, 3}, 0, {50}},
    };
    for (const auto& c : cases) {
        const size_t bpp = size_t(channels(c.color)) * c.depth / 8, stride = c.w * bpp;
        Bytes raw = c.values ? encode(noise(c.h * stride, c.w + c.h, c.values), stride, bpp, c.filters)
                             : noise(c.h * (stride + 1), c.w * 131 + c.h, 0);
        for (uint32_t k = 0; !c.values && k < c.h; ++k)
            raw[k * (stride + 1)] = uint8_t(c.filters[k % c.filters.size()]);
        const Decoded d = decodeBytes(assemble(FileSpec{c.w, c.h, c.depth, c.color, deflate(raw), c.split}));
        ASSERT_EQ(d.open, PNGE_NONE);
        EXPECT_EQ(d.read, PNGE_NONE);
        EXPECT_TRUE(d.pixels == unfilter(raw, stride, bpp, c.depth))
            << c.w << "x" << c.h << " depth " << int(c.depth) << " colour " << int(c.color);
    }
}

// Signature; IHDR of 13 bytes (width, height, depth, colour, then three zeros); one IDAT
// holding compress() of the rows, each behind a filter byte 0; IEND. CRCs over type and data.
TEST(PngReference, WriterFileIsExactlyTheLayout) {
    png_set_allocator(nullptr, nullptr);
    const struct {
        uint32_t w, h;
        uint8_t color;
    } cases[] = {{1, 1, 6}, {1, 13, 0}, {17, 1, 2}, {200, 100, 6}, {64, 48, 4}};
    for (const auto& c : cases) {
        const size_t stride = c.w * size_t(channels(c.color));
        const Bytes pixels = pattern(c.w, c.h, channels(c.color), c.w + c.h);
        Bytes filtered;
        for (uint32_t k = 0; k < c.h; ++k) {
            filtered.push_back(0);
            filtered.insert(filtered.end(), pixels.begin() + k * stride, pixels.begin() + (k + 1) * stride);
        }
        Bytes want = signature();
        appendChunk(want, "IHDR", ihdrData(c.w, c.h, 8, c.color));
        appendChunk(want, "IDAT", deflate(filtered));  // compress(): zlib's default level
        appendChunk(want, "IEND", {});

        MemoryWriter out;
        png_handle h{};
        ASSERT_EQ(png_create(&h, writeToMemory, &out), PNGE_NONE);
        h.compression = h.filter = h.interlace = 1;  // never copied into the file
        EXPECT_EQ(png_write_image(&h, c.w, c.h, 8, c.color, pixels.data()), PNGE_NONE);
        EXPECT_TRUE(out.data == want) << c.w << "x" << c.h << " colour " << int(c.color) << ": " << out.data.size()
                                      << " bytes, want " << want.size();
    }
}

}  // namespace
