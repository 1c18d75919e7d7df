// Against libpng: its files decode to its samples, our files decode with it.
#include "codec_helpers.h"
#include "libpng_oracle.h"

using namespace pngtest;

namespace {

TEST(PngOracle, FilesLibpngWritesDecodeToTheSameSamples) {
    png_set_allocator(nullptr, nullptr);
    const int filterSets[] = {oracle::kNone, oracle::kSub, oracle::kUp, oracle::kAvg, oracle::kPaeth, oracle::kAll};
    for (int color : {0, 2, 4, 6})
        for (int depth : {8, 16})
            for (int filters : filterSets) {
                const uint32_t w = 61, h = 29;
                const int bpp = channels(uint8_t(color)) * depth / 8;
                const Bytes samples = pattern(w, h, bpp, uint32_t(color * 31 + depth));
                // A 64-byte zbuf: many small IDAT chunks.
                const Bytes file = oracle::encode(w, h, depth, color, samples, filters, 64);
                ASSERT_FALSE(file.empty());
                Decoded d = decodeBytes(file);
                ASSERT_EQ(d.open, PNGE_NONE);
                EXPECT_EQ(d.read, PNGE_NONE);
                EXPECT_EQ(d.pixels, toReaderOrder(samples, depth))
                    << "colour " << color << " depth " << depth << " filters " << filters;
            }
}

TEST(PngOracle, FilesWeWriteDecodeWithLibpng) {
    png_set_allocator(nullptr, nullptr);
    for (int color : {0, 2, 4, 6})
        for (int depth : {8, 16}) {
            const uint32_t w = 45, h = 33;
            const int bpp = channels(uint8_t(color)) * depth / 8;
            const Bytes samples = pattern(w, h, bpp, uint32_t(color + depth));
            MemoryWriter out;
            png_handle handle{};
            png_create(&handle, writeToMemory, &out);
            const Bytes ours = toReaderOrder(samples, depth);
            ASSERT_EQ(png_write_image(&handle, w, h, uint8_t(depth), uint8_t(color), ours.data()), PNGE_NONE);
            oracle::Image img;
            std::string error;
            ASSERT_TRUE(oracle::decode(out.data, &img, &error)) << error;
            EXPECT_EQ(img.width, w);
            EXPECT_EQ(img.height, h);
            EXPECT_EQ(img.depth, depth);
            EXPECT_EQ(img.color, color);
            EXPECT_EQ(img.samples, samples) << "colour " << color << " depth " << depth;
        }
}

TEST(PngOracle, LibpngSeesADamagedCrcInOurFile) {
    // The oracle really checks CRCs, so the test above means something.
    MemoryWriter out;
    png_handle handle{};
    png_create(&handle, writeToMemory, &out);
    ASSERT_EQ(png_write_image(&handle, 8, 8, 8, 6, pattern(8, 8, 4).data()), PNGE_NONE);
    out.data[42] ^= 0x01;
    oracle::Image img;
    std::string error;
    EXPECT_FALSE(oracle::decode(out.data, &img, &error));
}

}  // namespace
