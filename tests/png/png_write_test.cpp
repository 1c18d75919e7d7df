// The writer's file layout and failures, png_describe and png_error_text.
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>

#include "codec_helpers.h"
#include "png_internal.h"

using namespace pngtest;

namespace {

class PngWrite : public ::testing::Test {
protected:
    void SetUp() override { AllocCounter::reset(); }
    void TearDown() override {
        EXPECT_EQ(AllocCounter::live(), 0) << "codec buffers leaked";
        png_detail::compress_function = compress;
    }
};

int writeToBytes(MemoryWriter* out, uint32_t w, uint32_t h, uint8_t depth, uint8_t color, const Bytes& pixels) {
    png_handle h_{};
    png_create(&h_, writeToMemory, out);
    return png_write_image(&h_, w, h, depth, color, pixels.data());
}

TEST_F(PngWrite, OnePixelFileLayout) {
    MemoryWriter out;
    png_handle h{};
    ASSERT_EQ(png_create(&h, writeToMemory, &out), PNGE_NONE);
    h.compression = 3;  // never copied into the written header
    h.filter = 4;
    h.interlace = 1;
    ASSERT_EQ(png_write_image(&h, 1, 1, 8, 6, Bytes{9, 8, 7, 6}.data()), PNGE_NONE);
    const Bytes& f = out.data;
    ASSERT_GE(f.size(), 57u);
    const uint32_t n = getBe32(&f[33]);
    EXPECT_EQ(f.size(), 57u + n);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 8), signature());
    EXPECT_EQ(getBe32(&f[8]), 13u);
    EXPECT_EQ(std::string(f.begin() + 12, f.begin() + 16), "IHDR");
    EXPECT_EQ(getBe32(&f[16]), 1u);
    EXPECT_EQ(getBe32(&f[20]), 1u);
    EXPECT_EQ(Bytes(f.begin() + 24, f.begin() + 29), (Bytes{8, 6, 0, 0, 0}));
    EXPECT_EQ(getBe32(&f[29]), crc32(0, &f[12], 17));
    EXPECT_EQ(std::string(f.begin() + 37, f.begin() + 41), "IDAT");
    EXPECT_EQ(getBe32(&f[41 + n]), crc32(0, &f[37], 4 + n));
    EXPECT_EQ(getBe32(&f[45 + n]), 0u);
    EXPECT_EQ(std::string(f.begin() + 49 + n, f.begin() + 53 + n), "IEND");
    EXPECT_EQ(getBe32(&f[53 + n]), crc32(0, reinterpret_cast<const Bytef*>("IEND"), 4));
    // The compressed rows are the filter byte 0 and the pixel bytes.
    Bytes inflated(16);
    uLongf len = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &len, &f[41], n), Z_OK);
    inflated.resize(len);
    EXPECT_EQ(inflated, (Bytes{0, 9, 8, 7, 6}));
}

TEST_F(PngWrite, RoundTripThroughTheReader) {
    for (uint8_t color : {0, 2, 4, 6})
        for (uint8_t depth : {8, 16}) {
            const int bpp = channels(color) * depth / 8;
            const Bytes pixels = pattern(37, 21, bpp, color + depth);
            MemoryWriter out;
            ASSERT_EQ(writeToBytes(&out, 37, 21, depth, color, pixels), PNGE_NONE);
            Decoded d = decodeBytes(out.data);
            ASSERT_EQ(d.open, PNGE_NONE);
            EXPECT_EQ(d.read, PNGE_NONE);
            EXPECT_EQ(d.pixels, pixels) << "colour " << int(color) << " depth " << int(depth);
            // One IDAT: length at 33, then IEND right after it.
            const uint32_t n = getBe32(&out.data[33]);
            EXPECT_EQ(out.data.size(), 57u + n);
        }
}

TEST_F(PngWrite, SixteenBitSamplesAreStoredMostSignificantFirst) {
    MemoryWriter out;
    ASSERT_EQ(writeToBytes(&out, 1, 1, 16, 0, Bytes{0x34, 0x12}), PNGE_NONE);
    const uint32_t n = getBe32(&out.data[33]);
    Bytes inflated(8);
    uLongf len = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &len, &out.data[41], n), Z_OK);
    inflated.resize(len);
    EXPECT_EQ(inflated, (Bytes{0, 0x12, 0x34}));
}

TEST_F(PngWrite, FormatsTheReaderRefusesAreNotWritten) {
    MemoryWriter out;
    const Bytes pixels(64, 1);
    EXPECT_EQ(writeToBytes(&out, 2, 2, 8, 5, pixels), PNGE_UNSUPPORTED);  // no channel count
    EXPECT_EQ(writeToBytes(&out, 2, 2, 4, 0, pixels), PNGE_UNSUPPORTED);
    EXPECT_EQ(writeToBytes(&out, 2, 2, 8, 3, pixels), PNGE_UNSUPPORTED);
    EXPECT_EQ(writeToBytes(&out, 0, 2, 8, 6, pixels), PNGE_UNSUPPORTED);
    EXPECT_EQ(writeToBytes(&out, 0x40000000u, 2, 8, 6, pixels), PNGE_UNSUPPORTED);
    EXPECT_TRUE(out.data.empty());
}

TEST_F(PngWrite, CreateArguments) {
    png_handle h{};
    EXPECT_EQ(png_create(&h, nullptr, nullptr), PNGE_BAD_ARGUMENTS);
    EXPECT_EQ(png_create_path(&h, "/nonexistent/dir/out.png"), PNGE_FILE);
}

TEST_F(PngWrite, ShortWritesAreErrors) {
    const Bytes pixels = pattern(8, 8, 4);
    MemoryWriter full;
    ASSERT_EQ(writeToBytes(&full, 8, 8, 8, 6, pixels), PNGE_NONE);
    // Cut at every place: in the signature, the header, the IDAT, the end chunk.
    for (size_t limit = 0; limit < full.data.size(); ++limit) {
        MemoryWriter out;
        out.limit = limit;
        EXPECT_EQ(writeToBytes(&out, 8, 8, 8, 6, pixels), PNGE_FILE) << "limit " << limit;
    }
}

TEST_F(PngWrite, FailingCompressIsAnError) {
    png_detail::compress_function = [](unsigned char*, unsigned long*, const unsigned char*, unsigned long) {
        return Z_BUF_ERROR;
    };
    MemoryWriter out;
    EXPECT_EQ(writeToBytes(&out, 4, 4, 8, 6, pattern(4, 4, 4)), PNGE_ZLIB);
    png_detail::compress_function = [](unsigned char*, unsigned long*, const unsigned char*, unsigned long) {
        return Z_MEM_ERROR;
    };
    EXPECT_EQ(writeToBytes(&out, 4, 4, 8, 6, pattern(4, 4, 4)), PNGE_NO_MEMORY);
    // Nothing past the header claims to be image data.
    EXPECT_EQ(out.data.size(), 2 * 33u);
}

TEST_F(PngWrite, FailedAllocationsAreNoMemory) {
    for (int k = 1; k <= 2; ++k) {  // filtered rows, then the chunk buffer
        AllocCounter::reset(k);
        MemoryWriter out;
        EXPECT_EQ(writeToBytes(&out, 4, 4, 8, 6, pattern(4, 4, 4)), PNGE_NO_MEMORY);
        EXPECT_EQ(AllocCounter::live(), 0);
    }
    AllocCounter::reset();
}

TEST_F(PngWrite, FullDeviceFailsTheWriteOrTheClose) {
    struct stat st;
    if (stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full here";
    // Small: everything fits the stdio buffer, so only the flush in png_close fails.
    png_handle h{};
    ASSERT_EQ(png_create_path(&h, "/dev/full"), PNGE_NONE);
    EXPECT_EQ(png_write_image(&h, 2, 2, 8, 6, pattern(2, 2, 4).data()), PNGE_NONE);
    EXPECT_EQ(png_close(&h), PNGE_FILE);
    // Large and incompressible: the write itself comes up short.
    ASSERT_EQ(png_create_path(&h, "/dev/full"), PNGE_NONE);
    Bytes noise(256 * 256 * 4);
    uint32_t s = 7;
    for (auto& b : noise) b = uint8_t((s = s * 1664525u + 1013904223u) >> 24);
    EXPECT_EQ(png_write_image(&h, 256, 256, 8, 6, noise.data()), PNGE_FILE);
    png_close(&h);
}

TEST_F(PngWrite, WrittenFileByPath) {
    char path[] = "/tmp/pngwriteXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    png_handle h{};
    ASSERT_EQ(png_create_path(&h, path), PNGE_NONE);
    const Bytes pixels = pattern(30, 20, 4);
    EXPECT_EQ(png_write_image(&h, 30, 20, 8, 6, pixels.data()), PNGE_NONE);
    EXPECT_EQ(png_close(&h), PNGE_NONE);
    png_handle r{};
    ASSERT_EQ(png_open_path(&r, path), PNGE_NONE);
    Bytes back(pixels.size());
    EXPECT_EQ(png_read_pixels(&r, back.data()), PNGE_NONE);
    EXPECT_EQ(png_close(&r), PNGE_NONE);
    EXPECT_EQ(back, pixels);
    std::remove(path);
}

TEST(PngDescribe, PrintsTheHeaderBlock) {
    png_handle h{};
    h.width = 640;
    h.height = 480;
    h.depth = 8;
    h.color = 6;
    testing::internal::CaptureStdout();
    png_describe(&h);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PNG INFO:\n\twidth:\t\t640\n\theight:\t\t480\n\tdepth:\t\t8\n\tcolor:\t\ttruecolor with alpha\n"
              "\tcompression:\tinflate/deflate\n\tfilter:\t\tadaptive\n\tinterlace:\tno interlace\n");
    const char* names[] = {"greyscale", "?", "truecolor", "palette", "greyscale with alpha",
                           "unknown, this is not good", "truecolor with alpha", "unknown, this is not good"};
    for (int c : {0, 2, 3, 4, 5, 6, 7}) {
        h.color = uint8_t(c);
        testing::internal::CaptureStdout();
        png_describe(&h);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("\tcolor:\t\t") + names[c] + "\n"), std::string::npos) << c;
    }
    h.compression = 1;
    h.filter = 2;
    h.interlace = 1;
    testing::internal::CaptureStdout();
    png_describe(&h);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\tcompression:\tunknown, this is not good\n\tfilter:\t\tunknown, this is not good\n"
                       "\tinterlace:\tinterlace\n"),
              std::string::npos);
}

TEST(PngErrorText, MessagesOfEveryCode) {
    EXPECT_STREQ(png_error_text(1), "PNG done");
    EXPECT_STREQ(png_error_text(0), "No error");
    EXPECT_STREQ(png_error_text(-1), "Unknown file error.");
    EXPECT_STREQ(png_error_text(-2), "No PNG header found. Are you sure this is a PNG?");
    EXPECT_STREQ(png_error_text(-3), "Failure while reading file.");
    EXPECT_STREQ(png_error_text(-4), "Reached end of file.");
    EXPECT_STREQ(png_error_text(-5), "CRC or chunk length error.");
    EXPECT_STREQ(png_error_text(-6), "Could not allocate memory.");
    EXPECT_STREQ(png_error_text(-7), "zlib reported an error.");
    EXPECT_STREQ(png_error_text(-8), "Unknown filter method used in scanline.");
    EXPECT_STREQ(png_error_text(-9), "The PNG is unsupported by this codec.");
    EXPECT_STREQ(png_error_text(-10),
                 "Wrong combination of arguments passed to png_open. You must use either a read_function or "
                 "supply a file pointer to use.");
    EXPECT_STREQ(png_error_text(-11), "Unknown error.");
    EXPECT_STREQ(png_error_text(2), "Unknown error.");
}

}  // namespace
