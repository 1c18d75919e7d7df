// The driver against hostile files: cut at every byte, damaged CRCs and lengths, huge
// sizes, chunks out of order, formats it does not take, names at the length limit, an
// output that fails half-written. Each run ends in its message with status 1, or in the
// same output file as the clean input; never a crash, and never a file left behind
// after a failure. Every run must also give back its device buffers, file descriptors
// and (under LeakSanitizer) heap blocks.
#include "gpu_test.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "console.h"
#include "files.h"
#include "gpu/runtime.h"
#include "png_builder.h"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTILE_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTILE_LEAK_CHECK 1
#endif
#endif
#ifdef HOSTILE_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

using namespace pngtest;
using testfiles::listing;
using testfiles::readFile;
using testfiles::writeFile;

namespace {

const char* const kOpenError = "Image error: Couldn't open image\n\n";
const char* const kReadError = "Image error: Could not read image data\n\n";

// One chunk of a file being put together; the file records where each chunk starts so
// that tests can damage a chosen field afterwards.
struct Chunk {
    std::string type;
    size_t start;  // offset of the length field
    size_t length;
    size_t data() const { return start + 8; }
    size_t crc() const { return start + 8 + length; }
    size_t end() const { return start + 12 + length; }
};

struct File {
    Bytes bytes = signature();
    std::vector<Chunk> chunks;
    File& add(const char* type, const Bytes& data) {
        chunks.push_back({type, bytes.size(), data.size()});
        appendChunk(bytes, type, data);
        return *this;
    }
};

const uint32_t kW = 16, kH = 12;

Bytes imageStream() { return deflate(filterRows(pattern(kW, kH, 4), kW, kH, 4, {0, 1, 2, 3, 4})); }

// The clean input: a text chunk before the image data, the data in several IDAT chunks,
// a time chunk after them.
File cleanFile() {
    File f;
    f.add("IHDR", ihdrData(kW, kH, 8, 6));
    f.add("tEXt", Bytes{'k', 0, 'v', 'a', 'l'});
    const Bytes z = imageStream();
    for (size_t pos = 0; pos < z.size(); pos += 150)
        f.add("IDAT", Bytes(z.begin() + pos, z.begin() + std::min(z.size(), pos + 150)));
    f.add("tIME", Bytes(7, 1));
    f.add("IEND", {});
    return f;
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

struct Attempt {
    int status = -1;
    std::string out;
    bool written = false;  // the output file exists after the run
    Bytes output;
};

class OilbrushHostile : public InScratchFolder {
protected:
    static inline int tried = 0, refused = 0, written = 0;
    Bytes reference;  // the output of the clean file

    void TearDown() override {
        InScratchFolder::TearDown();
#ifdef HOSTILE_LEAK_CHECK
        EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "heap blocks leaked (see the report above)";
#endif
    }
    static void TearDownTestSuite() {
        std::printf("oilbrush hostile files tried: %d (%d refused, %d written)\n", tried, refused, written);
    }

    // Types `path` at the prompt; checks that the run returned what it took and left no
    // file but its output, which it then removes so that the next run starts clean.
    Attempt runTyped(const std::string& typed, const std::string& output) {
        Attempt a;
        std::set<std::string> before = listing(dir);
#if GPU_BACKEND_IS_CPU
        const size_t buffers = gpu::cpu::trackedAllocationCount();
#endif
        const int fds = openDescriptors();
        const Console console = typeAtPrompt(typed);
        a.status = console.status;
        a.out = console.out;
        EXPECT_EQ(openDescriptors(), fds) << "a file left open";
#if GPU_BACKEND_IS_CPU
        EXPECT_EQ(gpu::cpu::trackedAllocationCount(), buffers) << "device buffers left behind";
#endif
        a.output = readFile(output);
        a.written = listing(dir).count(output.substr(dir.size() + 1)) > 0;
        if (a.written) std::remove(output.c_str());
        EXPECT_EQ(listing(dir), before) << "files other than the output appeared or went";
        ++tried;
        ++(a.status == 0 ? written : refused);
        return a;
    }

    Attempt attempt(const Bytes& data, const std::string& name = "in.png") {
        const std::string path = dir + "/" + name;
        EXPECT_TRUE(writeFile(path, data));
        return runTyped(path + "\n", path + "_swapGB.png");
    }

    std::string path(const std::string& name = "in.png") const { return dir + "/" + name; }

    // Status 1 with `message` as the last line, nothing written. `afterReading`: the
    // header was accepted, so the "Reading" line comes first.
    void expectRefused(const Attempt& a, const std::string& message, bool afterReading,
                       const std::string& name = "in.png") {
        EXPECT_EQ(a.status, 1);
        const std::string head = "PNG infile: " + (afterReading ? "Reading " + path(name) + "...\n" : std::string());
        EXPECT_EQ(a.out.compare(0, head.size(), head), 0) << a.out;
        // The codec's own lines (a zlib message, a bad header length) may come between.
        EXPECT_TRUE(a.out.size() >= message.size() && a.out.compare(a.out.size() - message.size(), message.size(),
                                                                     message) == 0)
            << a.out;
        EXPECT_EQ(a.out.find("writing to"), std::string::npos) << a.out;
        EXPECT_FALSE(a.written) << "output file left after a failure";
    }

    // Status 0 and byte for byte the clean file's output.
    void expectCorrect(const Attempt& a, const std::string& name = "in.png") {
        EXPECT_EQ(a.status, 0) << a.out;
        EXPECT_TRUE(a.written);
        EXPECT_TRUE(a.output == reference) << "output differs from the clean file's";
        const std::string tail = "writing to " + path(name) + "_swapGB.png...done.\n";
        EXPECT_TRUE(a.out.size() >= tail.size() && a.out.compare(a.out.size() - tail.size(), tail.size(), tail) == 0)
            << a.out;
    }

    void makeReference() {
        Attempt a = attempt(cleanFile().bytes);
        ASSERT_EQ(a.status, 0) << a.out;
        ASSERT_TRUE(a.written);
        reference = a.output;
        // The writer's own layout: signature, header, one IDAT, end.
        ASSERT_GT(reference.size(), 57u);
        EXPECT_EQ(getBe32(reference.data() + 16), kW);
        EXPECT_EQ(getBe32(reference.data() + 20), kH);
    }
};

TEST_F(OilbrushHostile, CutAtEveryByte) {
    REQUIRE_GPU();  // cuts that leave the image whole reach the GPU step
    makeReference();
    const File f = cleanFile();
    const size_t headerEnd = f.chunks[0].end();
    // The reader stops at the end chunk's type and never reads its CRC.
    const size_t wholeFrom = f.chunks.back().data();
    ASSERT_GT(f.chunks.size(), 5u);  // several IDAT chunks: boundaries between them too
    for (size_t cut = 0; cut < f.bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(f.bytes.size()));
        Attempt a = attempt(Bytes(f.bytes.begin(), f.bytes.begin() + cut));
        if (cut < headerEnd)
            expectRefused(a, kOpenError, false);
        else if (cut < wholeFrom)
            expectRefused(a, kReadError, true);
        else
            expectCorrect(a);
        if (HasFailure()) break;  // one cut's report is enough
    }
}

TEST_F(OilbrushHostile, DamagedCrcsLengthsAndData) {
    REQUIRE_GPU();
    makeReference();
    const File f = cleanFile();
    for (size_t k = 0; k < f.chunks.size(); ++k) {
        const Chunk& c = f.chunks[k];
        SCOPED_TRACE("chunk " + std::to_string(k) + " " + c.type);
        // Only the critical chunks the reader checks: IHDR and IDAT. Ancillary chunks are
        // skipped unchecked and the end chunk's CRC is never read: the image is whole.
        const bool header = c.type == "IHDR", data = c.type == "IDAT";
        for (int byte = 0; byte < 4; ++byte) {
            Bytes b = f.bytes;
            b[c.crc() + byte] ^= 0x10;
            Attempt a = attempt(b);
            if (header) expectRefused(a, kOpenError, false);
            else if (data) expectRefused(a, kReadError, true);
            else expectCorrect(a);
        }
        if (c.length) {
            Bytes b = f.bytes;
            b[c.data() + c.length / 2] ^= 0x01;
            Attempt a = attempt(b);
            if (header) expectRefused(a, kOpenError, false);
            else if (data) expectRefused(a, kReadError, true);
            else expectCorrect(a);
        }
        // A length far beyond the file. 4 GiB where no buffer is sized from it; 256 MiB
        // for the image data and the chunk after it, whose length sizes the chunk buffer
        // before the read fails (or before its type says it is skipped).
        Bytes b = f.bytes;
        const bool sizesBuffer = data || (k > 0 && f.chunks[k - 1].type == "IDAT");
        const uint32_t huge = sizesBuffer ? 0x10000000u : 0xFFFFFFFFu;
        for (int i = 0; i < 4; ++i) b[c.start + i] = uint8_t(huge >> (24 - 8 * i));
        Attempt a = attempt(b);
        if (header) {
            // The header length is printed as the codec reads it.
            expectRefused(a, kOpenError, false);
            EXPECT_EQ(a.out, "PNG infile: -1\n" + std::string(kOpenError));
        } else if (c.type == "IEND") {
            expectCorrect(a);  // the end chunk's length is not used
        } else {
            expectRefused(a, kReadError, true);
        }
    }
}

TEST_F(OilbrushHostile, HugeDeclaredSizes) {
    // Sizes whose buffers overflow 32 bits, or are empty: refused at the header.
    const std::pair<uint32_t, uint32_t> refusedSizes[] = {
        {0x7FFFFFFFu, 0x7FFFFFFFu}, {1u << 30, 1}, {1, 0xFFFFFFFFu}, {65536, 65536}, {0, 12}, {16, 0}};
    for (auto [w, h] : refusedSizes) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        File f;
        f.add("IHDR", ihdrData(w, h, 8, 6)).add("IDAT", imageStream()).add("IEND", {});
        Attempt a = attempt(f.bytes);
        expectRefused(a, kOpenError, false);
        EXPECT_EQ(a.out, "PNG infile: " + std::string(kOpenError));
    }
    // 8192 x 8192 fits: 256 MiB of pixels are taken, the tiny data cannot fill them, and
    // both buffers are given back.
    File f;
    f.add("IHDR", ihdrData(8192, 8192, 8, 6)).add("IDAT", imageStream()).add("IEND", {});
    Attempt a = attempt(f.bytes);
    expectRefused(a, kReadError, true);
    EXPECT_EQ(a.out, "PNG infile: Reading " + path() + "...\n" + kReadError);
}

TEST_F(OilbrushHostile, ChunksMissingOrOutOfOrder) {
    REQUIRE_GPU();
    makeReference();
    const Bytes ihdr = ihdrData(kW, kH, 8, 6);
    const Bytes z = imageStream();
    const Bytes firstHalf(z.begin(), z.begin() + z.size() / 2), secondHalf(z.begin() + z.size() / 2, z.end());
    struct Case {
        const char* what;
        File file;
        bool whole;
    };
    std::vector<Case> cases;
    cases.push_back({"IEND first", File().add("IHDR", ihdr).add("IEND", {}).add("IDAT", z), false});
    cases.push_back({"no image data", File().add("IHDR", ihdr).add("tEXt", {'a', 0, 'b'}).add("IEND", {}), false});
    cases.push_back({"only a zero-length IDAT", File().add("IHDR", ihdr).add("IDAT", {}).add("IEND", {}), false});
    cases.push_back({"zero-length IDAT first",
                     File().add("IHDR", ihdr).add("IDAT", {}).add("IDAT", z).add("IEND", {}), true});
    cases.push_back({"zero-length IDAT between",
                     File().add("IHDR", ihdr).add("IDAT", firstHalf).add("IDAT", {}).add("IDAT", secondHalf).add(
                         "IEND", {}),
                     true});
    cases.push_back({"IDAT after IEND is never read",
                     File().add("IHDR", ihdr).add("IDAT", z).add("IEND", {}).add("IDAT", Bytes(9, 7)), true});
    cases.push_back({"image data in two runs",
                     File().add("IHDR", ihdr).add("IDAT", firstHalf).add("tEXt", {'a', 0, 'b'}).add("IDAT",
                                                                                                     secondHalf).add(
                         "IEND", {}),
                     false});
    cases.push_back({"no end chunk", File().add("IHDR", ihdr).add("IDAT", z), false});
    // Streams that are valid zlib but the wrong size for the image, or a bad filter.
    Bytes rows = filterRows(pattern(kW, kH, 4), kW, kH, 4, {0});
    Bytes longer = rows;
    longer.insert(longer.end(), rows.begin(), rows.begin() + 65);  // one row too many
    cases.push_back({"one row too many", File().add("IHDR", ihdr).add("IDAT", deflate(longer)).add("IEND", {}), false});
    cases.push_back({"one row short",
                     File().add("IHDR", ihdr).add("IDAT", deflate(Bytes(rows.begin(), rows.end() - 65))).add("IEND", {}),
                     false});
    Bytes badFilter = rows;
    badFilter[65 * 5] = 5;
    cases.push_back({"filter type 5", File().add("IHDR", ihdr).add("IDAT", deflate(badFilter)).add("IEND", {}), false});
    cases.push_back({"not a zlib stream", File().add("IHDR", ihdr).add("IDAT", Bytes(40, 0xFF)).add("IEND", {}), false});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Attempt a = attempt(c.file.bytes);
        if (c.whole) expectCorrect(a); else expectRefused(a, kReadError, true);
    }
    // No header at all: the first chunk's length is printed, then the refusal.
    Attempt a = attempt(File().add("IDAT", z).add("IEND", {}).bytes);
    expectRefused(a, kOpenError, false);
    EXPECT_EQ(a.out, "PNG infile: " + std::to_string(z.size()) + "\n" + kOpenError);
}

TEST_F(OilbrushHostile, FormatsItDoesNotTake) {
    // Checked right after the header: nothing is decoded into a buffer sized for 4 bytes
    // a pixel, even for a 16-bit file whose data is missing or whose size is large.
    const std::string onlyRgba = "Image error: Only true color alpha images supported\n\n";
    const std::string only8 = "Image error: Only 8-bit true color alpha images supported\n\n";
    struct Case {
        uint32_t w, h;
        uint8_t depth, color;
        bool withData;
        std::string message;
    };
    const Case cases[] = {
        {kW, kH, 16, 6, false, only8}, {8192, 8192, 16, 6, false, only8}, {kW, kH, 16, 0, true, onlyRgba},
        {kW, kH, 16, 2, true, onlyRgba}, {kW, kH, 16, 4, true, onlyRgba}, {kW, kH, 8, 0, true, onlyRgba},
        {kW, kH, 8, 4, true, onlyRgba},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth) + " colour " + std::to_string(c.color));
        File f;
        f.add("IHDR", ihdrData(c.w, c.h, c.depth, c.color));
        if (c.withData) {
            const int bpp = channels(c.color) * c.depth / 8;
            f.add("IDAT", deflate(filterRows(pattern(c.w, c.h, bpp), c.w, c.h, bpp, {1})));
        }
        f.add("IEND", {});
        Attempt a = attempt(f.bytes);
        expectRefused(a, c.message, true);
        EXPECT_EQ(a.out, "PNG infile: Reading " + path() + "...\n" + c.message);
    }
    // Palette, depths below 8 and interlace are refused by the reader at the header.
    const Bytes refusedHeaders[] = {ihdrData(kW, kH, 8, 3), ihdrData(kW, kH, 4, 6), ihdrData(kW, kH, 8, 6, 1),
                                    ihdrData(kW, kH, 8, 5)};
    for (const Bytes& h : refusedHeaders) {
        Attempt a = attempt(File().add("IHDR", h).add("IDAT", imageStream()).add("IEND", {}).bytes);
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(a.out, "PNG infile: " + std::string(kOpenError));
        EXPECT_FALSE(a.written);
    }
}

TEST_F(OilbrushHostile, NamesAtTheLengthLimit) {
    REQUIRE_GPU();
    makeReference();
    // A typed name of exactly the longest length works and its output name (49
    // characters) is written whole.
    const std::string base = dir + "/";
    const std::string name38 = std::string(oilbrush::kMaxNameLength - base.size(), 'n');
    ASSERT_EQ((base + name38).size(), size_t(oilbrush::kMaxNameLength));
    Attempt a = attempt(cleanFile().bytes, name38);
    expectCorrect(a, name38);
    EXPECT_EQ((path(name38) + "_swapGB.png").size(), 49u);
    // One more character is refused before anything is opened, even though the file
    // exists and its first 38 characters name another valid file: a cut name would read
    // that one and write over its output.
    ASSERT_TRUE(writeFile(path(name38), cleanFile().bytes));
    const std::string name39 = name38 + "x";
    ASSERT_TRUE(writeFile(path(name39), cleanFile().bytes));
    a = runTyped(path(name39) + "\n", path(name39) + "_swapGB.png");
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.out, "PNG infile: Image error: File name too long: at most 38 characters\n\n");
    EXPECT_FALSE(a.written);
    EXPECT_EQ(listing(dir), (std::set<std::string>{"in.png", name38, name39}));  // in.png: the reference
}

TEST_F(OilbrushHostile, OutputThatFailsHalfWritten) {
    REQUIRE_GPU();
    // A file size limit lets the output be created and its first bytes written, then
    // refuses the rest: the half-written file must not stay under the output's name.
    File f;
    const uint32_t w = 64, h = 64;
    f.add("IHDR", ihdrData(w, h, 8, 6));
    Bytes noise(size_t(w) * h * 4);
    uint32_t s = 7;
    for (uint8_t& v : noise) v = uint8_t((s = s * 1103515245u + 12345u) >> 24);  // barely compresses
    f.add("IDAT", deflate(filterRows(noise, w, h, 4, {0}))).add("IEND", {});
    ASSERT_TRUE(writeFile(path(), f.bytes));

    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
    rlimit limited = saved;
    limited.rlim_cur = 4096;  // the output needs over 16 KiB; captured output fits
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    Attempt a = runTyped(path() + "\n", path() + "_swapGB.png");
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.out, "PNG infile: Reading " + path() + "...\n64 x 64 pixels\nbuffer size: 16384 bytes\n"
                     "processing...\nwriting to " + path() + "_swapGB.png...Image error: Could not save image data\n\n");
    EXPECT_FALSE(a.written) << "a half-written output file of " << a.output.size() << " bytes was left";
}

}  // namespace
