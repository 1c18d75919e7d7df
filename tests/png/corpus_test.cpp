// Every file of the fuzz corpus kept in tests/png/corpus, through the public reader, from
// a file and from memory: each one decodes to an image that fits its buffer exactly, or
// ends with one of the reader's error codes; every buffer the codec takes is returned.
#include <algorithm>
#include <cstdio>
#include <string>

#include "codec_helpers.h"
#include "files.h"
#include "libpng_oracle.h"

using namespace pngtest;

namespace {

// As the fuzz target: headers may announce gigabytes, which the corpus run does not
// allocate; such an image is opened but not decoded.
const size_t kLimit = 64u << 20;
const size_t kGuard = 64;  // bytes after the destination that must stay untouched
const uint8_t kGuardByte = 0xC3;

// The codec's allocations, counted and filled with a chosen byte: a decode that lets
// bytes it never wrote reach the image gives different pixels under different fills.
int liveBlocks = 0;
uint8_t fillByte = 0;
void* fillingAlloc(size_t n) {
    void* p = std::malloc(n);
    if (p) {
        std::memset(p, fillByte, n);
        ++liveBlocks;
    }
    return p;
}
void countingFree(void* p) {
    if (p) --liveBlocks;
    std::free(p);
}

// The reader stops at the end chunk's type, so minimised files often lack its CRC,
// which libpng wants; a file cut there gets it back for the comparison.
Bytes withEndCrc(Bytes file) {
    static const uint8_t end[8] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    for (size_t cut = 4; cut < 8 && cut <= file.size(); ++cut)
        if (std::equal(end, end + cut, file.end() - cut)) {
            file.insert(file.end(), end + cut, end + 8);
            break;
        }
    return file;
}

bool isReaderError(int code) { return code <= PNGE_FILE && code >= PNGE_UNSUPPORTED; }

struct Outcome {
    int open = 0;
    int read = 0;
    bool decoded = false;  // read attempted
    png_handle h;
    Bytes pixels;
};

// Opens (from a file, or from memory on a handle full of garbage), then decodes into a
// buffer of exactly the announced size followed by a guard.
Outcome decodeOnce(const std::string& path, const Bytes* memory) {
    Outcome o;
    std::memset(&o.h, 0xA5, sizeof o.h);  // the reader must not rely on a cleared handle
    MemoryReader reader{memory ? memory->data() : nullptr, memory ? memory->size() : 0};
    o.open = memory ? png_open(&o.h, readFromMemory, &reader) : png_open_path(&o.h, path.c_str());
    if (o.open == PNGE_NONE) {
        const size_t bytes = size_t(o.h.width) * o.h.height * o.h.bytes_per_pixel;
        if (bytes <= kLimit / 4) {
            o.decoded = true;
            Bytes buffer(bytes + kGuard, kGuardByte);
            o.read = png_read_pixels(&o.h, buffer.data());
            EXPECT_TRUE(std::all_of(buffer.begin() + bytes, buffer.end(), [](uint8_t b) { return b == kGuardByte; }))
                << "written past the " << bytes << "-byte destination";
            EXPECT_EQ(o.h.raw_data, nullptr) << "scanline buffer still referenced";
            EXPECT_EQ(o.h.zstream, nullptr) << "inflate stream still referenced";
            buffer.resize(bytes);
            o.pixels = std::move(buffer);
        }
    }
    if (!memory) EXPECT_EQ(png_close(&o.h), PNGE_NONE);
    return o;
}

// What an accepted header must say, and what a decoded image must be: the writer's
// file of it reads back to the same bytes.
void checkImage(const Outcome& o) {
    EXPECT_GT(o.h.width, 0u);
    EXPECT_GT(o.h.height, 0u);
    EXPECT_TRUE(o.h.depth == 8 || o.h.depth == 16) << int(o.h.depth);
    EXPECT_TRUE(o.h.color == 0 || o.h.color == 2 || o.h.color == 4 || o.h.color == 6) << int(o.h.color);
    EXPECT_EQ(o.h.interlace, 0);
    EXPECT_EQ(o.h.bytes_per_pixel, channels(o.h.color) * o.h.depth / 8);
    if (!o.decoded || o.read != PNGE_NONE) return;

    MemoryWriter out;
    png_handle w{};
    ASSERT_EQ(png_create(&w, writeToMemory, &out), PNGE_NONE);
    ASSERT_EQ(png_write_image(&w, o.h.width, o.h.height, o.h.depth, o.h.color, o.pixels.data()), PNGE_NONE);
    Decoded back = decodeBytes(out.data);
    EXPECT_EQ(back.open, PNGE_NONE);
    EXPECT_EQ(back.read, PNGE_NONE);
    EXPECT_TRUE(back.pixels == o.pixels) << "written and read back differently";
}

TEST(PngCorpus, EveryFileDecodesConsistentlyOrFailsCleanly) {
    const std::set<std::string> names = testfiles::listing(PNG_CORPUS_DIR);  // sorted
    // An empty or missing folder would pass everything below without looking at a file.
    ASSERT_GE(names.size(), 20u) << "corpus not found in " << PNG_CORPUS_DIR;
    int decoded = 0, refused = 0, compared = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = std::string(PNG_CORPUS_DIR) + "/" + name;
        const Bytes bytes = testfiles::readFile(path);

        liveBlocks = 0;
        png_set_allocator(fillingAlloc, countingFree);
        testing::internal::CaptureStdout();  // the codec's zlib lines
        fillByte = 0x00;
        Outcome fromFile = decodeOnce(path, nullptr);
        fillByte = 0xFF;
        Outcome fromMemory = decodeOnce(path, &bytes);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(liveBlocks, 0) << "codec buffers not returned";

        // The two I/O paths (fread and fseek, or the callbacks) and the two fills must
        // agree.
        EXPECT_EQ(fromFile.open, fromMemory.open);
        EXPECT_EQ(fromFile.read, fromMemory.read);
        EXPECT_TRUE(fromFile.pixels == fromMemory.pixels);

        const Outcome& o = fromMemory;
        if (o.open != PNGE_NONE) {
            EXPECT_TRUE(isReaderError(o.open)) << "png_open gave " << o.open;
            ++refused;
            continue;
        }
        checkImage(o);
        if (!o.decoded) continue;
        if (o.read != PNGE_NONE) {
            EXPECT_TRUE(isReaderError(o.read)) << "png_read_pixels gave " << o.read;
            ++refused;
            continue;
        }
        ++decoded;
        // Where libpng reads the file as well, it must see the same samples.
        oracle::Image ref;
        std::string error;
        if (oracle::decode(withEndCrc(bytes), &ref, &error) && ref.depth == o.h.depth && ref.color == o.h.color) {
            EXPECT_TRUE(toReaderOrder(ref.samples, ref.depth) == o.pixels) << "differs from libpng";
            ++compared;
        }
    }
    png_set_allocator(nullptr, nullptr);
    // A corpus of only broken files, or only good ones, would not cover both paths.
    EXPECT_GT(decoded, 0);
    EXPECT_GT(refused, 0);
    RecordProperty("files", int(names.size()));
    RecordProperty("decoded", decoded);
    RecordProperty("compared_with_libpng", compared);
}

}  // namespace
