// The reader: header checks, the chunk loop, CRCs, inflate and the row filters.
#include <cstdio>

#include "codec_helpers.h"

using namespace pngtest;

namespace {

// A small image of the given format with the given per-row filters, as one file.
FileSpec simpleSpec(uint32_t w, uint32_t h, uint8_t depth, uint8_t color, std::vector<int> filters = {0}) {
    FileSpec s;
    s.width = w;
    s.height = h;
    s.depth = depth;
    s.color = color;
    const int bpp = channels(color) * depth / 8;
    s.zdata = deflate(filterRows(pattern(w, h, bpp), w, h, bpp, filters));
    return s;
}

Bytes headerOnly(const Bytes& ihdr) {
    Bytes f = signature();
    appendChunk(f, "IHDR", ihdr);
    return f;
}

int openOnly(const Bytes& file) {
    MemoryReader reader{file.data(), file.size()};
    png_handle h{};
    return png_open(&h, readFromMemory, &reader);
}

class PngRead : public ::testing::Test {
protected:
    void SetUp() override { AllocCounter::reset(); }
    void TearDown() override { EXPECT_EQ(AllocCounter::live(), 0) << "codec buffers leaked"; }
};

TEST_F(PngRead, ShortFilesAndWrongSignature) {
    Bytes sig = signature();
    EXPECT_EQ(decodeBytes(Bytes(sig.begin(), sig.begin() + 7)).open, PNGE_END_OF_FILE);
    EXPECT_EQ(decodeBytes({}).open, PNGE_END_OF_FILE);
    Bytes wrong = sig;
    wrong[1] = 'Q';
    EXPECT_EQ(decodeBytes(wrong).open, PNGE_SIGNATURE);

    Bytes full = headerOnly(ihdrData(4, 4, 8, 6));
    // Signature plus length only, then a header cut inside its 17 bytes.
    EXPECT_EQ(decodeBytes(Bytes(full.begin(), full.begin() + 12)).open, PNGE_END_OF_FILE);
    EXPECT_EQ(decodeBytes(Bytes(full.begin(), full.begin() + 20)).open, PNGE_END_OF_FILE);
    // Header complete but its CRC missing.
    EXPECT_EQ(decodeBytes(Bytes(full.begin(), full.begin() + 29)).open, PNGE_CHECKSUM);
}

TEST_F(PngRead, FirstChunkLengthOtherThan13IsPrinted) {
    Bytes f = signature();
    Bytes data = ihdrData(4, 4, 8, 6);
    data.push_back(0);
    appendChunk(f, "IHDR", data);
    testing::internal::CaptureStdout();
    int result = decodeBytes(f).open;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "14\n");
    EXPECT_EQ(result, PNGE_CHECKSUM);
}

TEST_F(PngRead, HeaderCrcMismatch) {
    Bytes f = headerOnly(ihdrData(4, 4, 8, 6));
    f[28] ^= 0x01;  // last header data byte, CRC unchanged
    EXPECT_EQ(decodeBytes(f).open, PNGE_CHECKSUM);
}

TEST_F(PngRead, HeaderTypeIsCoveredByCrcButNotCompared) {
    Bytes f = signature();
    appendChunk(f, "ABCD", ihdrData(3, 2, 8, 2));
    Decoded d = decodeBytes(f);
    EXPECT_EQ(d.open, PNGE_NONE);
    EXPECT_EQ(d.h.width, 3u);
}

TEST_F(PngRead, EveryColourTypeOpensAtDepths8And16) {
    const struct { uint8_t color; int channels; } types[] = {{0, 1}, {2, 3}, {4, 2}, {6, 4}};
    for (auto t : types)
        for (uint8_t depth : {8, 16}) {
            Decoded d = decodeBytes(headerOnly(ihdrData(640, 480, depth, t.color)));
            EXPECT_EQ(d.open, PNGE_NONE) << int(t.color) << "/" << int(depth);
            EXPECT_EQ(d.h.width, 640u);
            EXPECT_EQ(d.h.height, 480u);
            EXPECT_EQ(d.h.depth, depth);
            EXPECT_EQ(d.h.color, t.color);
            EXPECT_EQ(d.h.bytes_per_pixel, t.channels * depth / 8);
        }
}

TEST_F(PngRead, RefusedFormatsKeepTheHeaderFields) {
    struct Case { uint8_t depth, color, interlace; uint8_t bpp; };
    const Case cases[] = {
        {8, 3, 0, 1},   // palette
        {4, 0, 0, 0},   // low depths
        {2, 2, 0, 0},
        {1, 0, 0, 0},
        {8, 6, 1, 4},   // interlaced
        {8, 5, 0, 255}, // no channel count
        {8, 7, 0, 255},
    };
    for (const Case& c : cases) {
        Decoded d = decodeBytes(headerOnly(ihdrData(33, 17, c.depth, c.color, c.interlace)));
        EXPECT_EQ(d.open, PNGE_UNSUPPORTED) << int(c.depth) << "/" << int(c.color) << "/" << int(c.interlace);
        EXPECT_EQ(d.h.width, 33u);
        EXPECT_EQ(d.h.height, 17u);
        EXPECT_EQ(d.h.depth, c.depth);
        EXPECT_EQ(d.h.color, c.color);
        EXPECT_EQ(d.h.interlace, c.interlace);
        EXPECT_EQ(d.h.bytes_per_pixel, c.bpp);
        // Reading pixels of a refused handle must not size any buffer from it.
        uint8_t dummy[4];
        EXPECT_EQ(png_read_pixels(&d.h, dummy), PNGE_UNSUPPORTED);
    }
}

TEST_F(PngRead, SizesThatWouldOverflowAreUnsupported) {
    // 0xFFFFFFFF x 8 bytes wraps 32 bits; a huge square overflows raw_size; empty images hold nothing.
    EXPECT_EQ(decodeBytes(headerOnly(ihdrData(0xFFFFFFFFu, 1, 16, 6))).open, PNGE_UNSUPPORTED);
    EXPECT_EQ(decodeBytes(headerOnly(ihdrData(65536, 65536, 8, 6))).open, PNGE_UNSUPPORTED);
    EXPECT_EQ(decodeBytes(headerOnly(ihdrData(0x20000000u, 2, 8, 6))).open, PNGE_UNSUPPORTED);
    EXPECT_EQ(decodeBytes(headerOnly(ihdrData(0, 5, 8, 6))).open, PNGE_UNSUPPORTED);
    EXPECT_EQ(decodeBytes(headerOnly(ihdrData(5, 0, 8, 6))).open, PNGE_UNSUPPORTED);
    // The largest raw buffer that still fits 32 bits is accepted: height x (stride + 1) = 2^32 - 1.
    EXPECT_EQ(openOnly(headerOnly(ihdrData(0xFFFFFFFEu, 1, 8, 0))), PNGE_NONE);
    EXPECT_EQ(openOnly(headerOnly(ihdrData(0xFFFFFFFFu, 1, 8, 0))), PNGE_UNSUPPORTED);
}

TEST_F(PngRead, ArgumentsAndPaths) {
    png_handle h{};
    EXPECT_EQ(png_open(&h, nullptr, nullptr), PNGE_BAD_ARGUMENTS);
    EXPECT_EQ(png_open_path(&h, "/nonexistent/dir/file.png"), PNGE_FILE);

    // A file opened by path decodes like memory and is closed by png_close.
    FileSpec s = simpleSpec(9, 7, 8, 6);
    Bytes f = assemble(s);
    char path[] = "/tmp/pngtestXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* out = fdopen(fd, "wb");
    fwrite(f.data(), 1, f.size(), out);
    fclose(out);
    ASSERT_EQ(png_open_path(&h, path), PNGE_NONE);
    Bytes pixels(9 * 7 * 4);
    EXPECT_EQ(png_read_pixels(&h, pixels.data()), PNGE_NONE);
    EXPECT_EQ(png_close(&h), PNGE_NONE);
    EXPECT_EQ(pixels, pattern(9, 7, 4));
    std::remove(path);
}

TEST_F(PngRead, EveryFilterTypeDecodes) {
    // One filter for all rows, then all five mixed, in every colour type and depth.
    const std::vector<std::vector<int>> plans = {{0}, {1}, {2}, {3}, {4}, {4, 3, 2, 1, 0, 1, 3}};
    for (uint8_t color : {0, 2, 4, 6})
        for (uint8_t depth : {8, 16})
            for (const auto& plan : plans) {
                const int bpp = channels(color) * depth / 8;
                Decoded d = decodeBytes(assemble(simpleSpec(23, 11, depth, color, plan)));
                ASSERT_EQ(d.open, PNGE_NONE);
                EXPECT_EQ(d.read, PNGE_NONE);
                EXPECT_EQ(d.pixels, toReaderOrder(pattern(23, 11, bpp), depth))
                    << "colour " << int(color) << " depth " << int(depth) << " filter " << plan[0];
            }
}

TEST_F(PngRead, PaethTiesGoLeftThenAbove) {
    // 2 x 2 greyscale: row 0 = (c, b) unfiltered, row 1 under Paeth. Byte 0 of row 1
    // predicts from above (only b is non-zero), so x0 = a - c puts a at its place;
    // byte 1 then sees left a, above b, upper-left c and a prediction of x1 = 90 less.
    struct Case { uint8_t a, b, c, predicted; };
    const Case cases[] = {
        {10, 25, 20, 10},  // pa = pc = 5 < pb: left wins over upper-left
        {25, 10, 20, 10},  // pb = pc = 5 < pa: above wins over upper-left
        {30, 60, 60, 30},  // pa = 0
        {90, 15, 50, 50},  // pc smallest: upper-left
    };
    for (const Case& c : cases) {
        FileSpec s;
        s.width = 2;
        s.height = 2;
        s.color = 0;
        s.zdata = deflate({0, c.c, c.b, 4, uint8_t(c.a - c.c), 90});
        Decoded d = decodeBytes(assemble(s));
        EXPECT_EQ(d.read, PNGE_NONE);
        EXPECT_EQ(d.pixels, (Bytes{c.c, c.b, c.a, uint8_t(c.predicted + 90)}))
            << int(c.a) << " " << int(c.b) << " " << int(c.c);
    }
}

TEST_F(PngRead, SixteenBitSamplesComeOutLeastSignificantByteFirst) {
    FileSpec s;
    s.width = 1;
    s.height = 1;
    s.depth = 16;
    s.color = 0;
    s.zdata = deflate({0, 0x12, 0x34});
    Decoded d = decodeBytes(assemble(s));
    EXPECT_EQ(d.read, PNGE_NONE);
    EXPECT_EQ(d.pixels, (Bytes{0x34, 0x12}));
    // Under Sub the carry between bytes of a sample must not propagate: 0x00FF + 0x0001 per byte.
    s.width = 2;
    s.zdata = deflate({1, 0x00, 0xFF, 0x00, 0x01});
    d = decodeBytes(assemble(s));
    EXPECT_EQ(d.pixels, (Bytes{0xFF, 0x00, 0x00, 0x00}));
}

TEST_F(PngRead, OnePixelFromFiveInflatedBytes) {
    FileSpec s;
    s.width = 1;
    s.height = 1;
    s.color = 6;
    s.zdata = deflate({0, 1, 2, 3, 4});
    Decoded d = decodeBytes(assemble(s));
    EXPECT_EQ(d.read, PNGE_NONE);
    EXPECT_EQ(d.pixels, (Bytes{1, 2, 3, 4}));
}

TEST_F(PngRead, AncillaryChunksAreSkippedUnchecked) {
    FileSpec s = simpleSpec(17, 9, 8, 2, {1, 4});
    Bytes text;
    appendChunk(text, "tEXt", Bytes{'k', 'e', 'y', 0, 'v', 'a', 'l'});
    text[text.size() - 1] ^= 0xFF;  // damaged CRC goes unnoticed
    s.between = text;
    s.after = text;  // after the last IDAT, too
    Decoded d = decodeBytes(assemble(s));
    EXPECT_EQ(d.read, PNGE_NONE);
    EXPECT_EQ(d.pixels, pattern(17, 9, 3));
}

TEST_F(PngRead, ImageDataSplitOverChunksOfDifferentSizes) {
    FileSpec s = simpleSpec(64, 32, 8, 6, {0, 1, 2, 3, 4});
    const Bytes expected = pattern(64, 32, 4);
    for (const auto& split : std::vector<std::vector<size_t>>{{1}, {7, 1, 300, 2}, {5, 50, 500}}) {
        s.split = split;
        AllocCounter::reset();
        Decoded d = decodeBytes(assemble(s));
        EXPECT_EQ(d.read, PNGE_NONE);
        EXPECT_EQ(d.pixels, expected);
        // Raw data, one piece buffer for the whole run whatever the chunk sizes, stream record.
        const auto& sizes = AllocCounter::sizes;
        ASSERT_EQ(sizes.size(), 3u);
        EXPECT_EQ(sizes[0], 32u * (64 * 4 + 1));
        EXPECT_LE(sizes[1], 64u * 1024);
    }
    // One stored (uncompressed) chunk several read pieces long, cut anywhere by a second.
    FileSpec big = simpleSpec(160, 120, 16, 6);
    big.zdata = deflate(filterRows(pattern(160, 120, 8), 160, 120, 8, {0, 4}), Z_NO_COMPRESSION);
    ASSERT_GT(big.zdata.size(), 2u * 64 * 1024);
    for (const auto& split : std::vector<std::vector<size_t>>{{}, {64 * 1024 + 3, 1000000}}) {
        big.split = split;
        Decoded d = decodeBytes(assemble(big));
        EXPECT_EQ(d.read, PNGE_NONE);
        EXPECT_EQ(d.pixels, toReaderOrder(pattern(160, 120, 8), 16));
    }
    // Empty IDAT chunks in the run are legal.
    Bytes f = signature();
    appendChunk(f, "IHDR", ihdrData(64, 32, 8, 6));
    appendChunk(f, "IDAT", {});
    appendChunk(f, "IDAT", s.zdata);
    appendChunk(f, "IDAT", {});
    appendChunk(f, "IEND", {});
    Decoded d = decodeBytes(f);
    EXPECT_EQ(d.read, PNGE_NONE);
    EXPECT_EQ(d.pixels, expected);
}

TEST_F(PngRead, DamagedImageDataIsACrcError) {
    FileSpec s = simpleSpec(16, 16, 8, 6);
    s.split = {40};
    const Bytes good = assemble(s);
    const size_t firstIdat = 8 + 25;
    Bytes bit = good;
    bit[firstIdat + 8 + 3] ^= 0x10;  // payload
    EXPECT_EQ(decodeBytes(bit).read, PNGE_CHECKSUM);
    Bytes crc = good;
    crc[firstIdat + 8 + 40 + 1] ^= 0xFF;  // CRC byte of the first chunk
    EXPECT_EQ(decodeBytes(crc).read, PNGE_CHECKSUM);
    // Damage in the second chunk of the run.
    Bytes second = good;
    second[firstIdat + 12 + 40 + 8 + 2] ^= 0x01;
    EXPECT_EQ(decodeBytes(second).read, PNGE_CHECKSUM);
}

TEST_F(PngRead, BadFilterAfterEarlierRowsWereWritten) {
    const uint32_t w = 5, h = 6;
    Bytes rows = pattern(w, h, 4);
    Bytes raw = filterRows(rows, w, h, 4, {0, 1, 2});
    raw[3 * (w * 4 + 1)] = 5;
    FileSpec s;
    s.width = w;
    s.height = h;
    s.zdata = deflate(raw);
    Decoded d = decodeBytes(assemble(s), 0xEE);
    EXPECT_EQ(d.read, PNGE_BAD_FILTER);
    const size_t stride = w * 4;
    EXPECT_EQ(Bytes(d.pixels.begin(), d.pixels.begin() + 3 * stride), Bytes(rows.begin(), rows.begin() + 3 * stride));
    EXPECT_EQ(Bytes(d.pixels.begin() + 4 * stride, d.pixels.end()), Bytes(2 * stride, 0xEE));
}

TEST_F(PngRead, ImageDataShorterOrLongerThanTheImage) {
    const uint32_t w = 8, h = 8;
    Bytes raw = filterRows(pattern(w, h, 4), w, h, 4, {0});
    FileSpec s;
    s.width = w;
    s.height = h;
    // Three rows missing: an error, not rows of leftover memory.
    s.zdata = deflate(Bytes(raw.begin(), raw.end() - 3 * (w * 4 + 1)));
    EXPECT_EQ(decodeBytes(assemble(s)).read, PNGE_ZLIB);
    // The stream cut off mid-way, but chunk and CRC intact.
    s.zdata = deflate(raw, 0);
    s.zdata.resize(s.zdata.size() / 2);
    EXPECT_EQ(decodeBytes(assemble(s)).read, PNGE_ZLIB);
    // One row too many.
    Bytes longer = raw;
    longer.insert(longer.end(), raw.begin(), raw.begin() + w * 4 + 1);
    s.zdata = deflate(longer);
    EXPECT_EQ(decodeBytes(assemble(s)).read, PNGE_ZLIB);
}

TEST_F(PngRead, ZlibErrorsPrintTheStreamMessage) {
    FileSpec s = simpleSpec(4, 4, 8, 6);
    s.zdata = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF};  // header fine, then an invalid block type
    testing::internal::CaptureStdout();
    int result = decodeBytes(assemble(s)).read;
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, PNGE_ZLIB);
    EXPECT_EQ(printed, "invalid block type\n");
    s.zdata = {0x00, 0x01, 0x02};  // not even a zlib header
    testing::internal::CaptureStdout();
    result = decodeBytes(assemble(s)).read;
    printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, PNGE_ZLIB);
    EXPECT_EQ(printed, "incorrect header check\n");
}

TEST_F(PngRead, StructuralErrors) {
    // End chunk before any image data.
    Bytes f = headerOnly(ihdrData(4, 4, 8, 6));
    appendChunk(f, "IEND", {});
    EXPECT_EQ(decodeBytes(f).read, PNGE_END_OF_FILE);
    // The file ends after the header, after a chunk length, and inside an IDAT payload.
    EXPECT_EQ(decodeBytes(headerOnly(ihdrData(4, 4, 8, 6))).read, PNGE_FILE);
    Bytes good = assemble(simpleSpec(4, 4, 8, 6));
    EXPECT_EQ(decodeBytes(Bytes(good.begin(), good.begin() + 33 + 6)).read, PNGE_FILE);
    EXPECT_EQ(decodeBytes(Bytes(good.begin(), good.begin() + 33 + 8 + 5)).read, PNGE_FILE);
    // A second IDAT run after an ancillary chunk would restart the image.
    FileSpec s = simpleSpec(4, 4, 8, 6);
    Bytes broken = signature();
    appendChunk(broken, "IHDR", ihdrData(4, 4, 8, 6));
    appendChunk(broken, "IDAT", s.zdata);
    appendChunk(broken, "tEXt", {'a', 0, 'b'});
    appendChunk(broken, "IDAT", s.zdata);
    appendChunk(broken, "IEND", {});
    EXPECT_EQ(decodeBytes(broken).read, PNGE_FILE);
}

TEST_F(PngRead, EveryFailedAllocationIsNoMemoryWithoutLeaks) {
    const Bytes f = assemble([] {
        FileSpec s = simpleSpec(20, 10, 8, 6);
        s.split = {10, 100};
        return s;
    }());
    AllocCounter::reset();
    ASSERT_EQ(decodeBytes(f).read, PNGE_NONE);
    const int total = AllocCounter::allocations;
    ASSERT_GE(total, 3);  // raw data, chunk piece buffer, stream record
    for (int k = 1; k <= total; ++k) {
        AllocCounter::reset(k);
        EXPECT_EQ(decodeBytes(f).read, PNGE_NO_MEMORY) << "allocation " << k;
        EXPECT_EQ(AllocCounter::live(), 0) << "allocation " << k;
    }
    AllocCounter::reset();
}

// A length field is a claim, not a size: a file of about a hundred bytes that declares a
// 4 GiB chunk is refused as cut short, and nothing on the way allocates more than a
// small constant beyond the bytes the file really holds.
TEST_F(PngRead, DeclaredChunkLengthsReserveNothing) {
    const FileSpec small = simpleSpec(2, 2, 8, 6);
    struct Case {
        const char* what;
        bool firstIdatComplete;  // a good IDAT before the huge one
        const char* hugeType;
        int expected;
    };
    const Case cases[] = {
        {"first IDAT claims 4 GiB", false, "IDAT", PNGE_FILE},
        {"second IDAT of the run claims 4 GiB", true, "IDAT", PNGE_FILE},
        {"ancillary chunk claims 4 GiB", false, "tEXt", PNGE_FILE},
    };
    for (const Case& c : cases) {
        Bytes f = signature();
        appendChunk(f, "IHDR", ihdrData(2, 2, 8, 6));
        if (c.firstIdatComplete) appendChunk(f, "IDAT", Bytes(small.zdata.begin(), small.zdata.begin() + 4));
        putBe32(f, 0xFFFFFFF0u);
        f.insert(f.end(), c.hugeType, c.hugeType + 4);
        f.insert(f.end(), small.zdata.begin(), small.zdata.end());
        ASSERT_LT(f.size(), 120u) << c.what;
        AllocCounter::reset();
        EXPECT_EQ(decodeBytes(f).read, c.expected) << c.what;
        size_t largest = 0;
        for (size_t n : AllocCounter::sizes) largest = std::max(largest, n);
        EXPECT_LE(largest, (1u << 20) + f.size()) << c.what;
        EXPECT_EQ(AllocCounter::live(), 0) << c.what;
    }
    AllocCounter::reset();
}

}  // namespace
