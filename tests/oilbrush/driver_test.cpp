// The driver in-process: the dialogue byte for byte, the file beside the input, and
// every error path with its message and status.
#include "gpu_test.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "console.h"
#include "files.h"
#include "gpu/runtime.h"
#include "libpng_oracle.h"
#include "oil_reference.h"

using oilref::Words;
using testfiles::readFile;
using testfiles::writeFile;

namespace {

class OilbrushDriver : public InScratchFolder {
protected:
    void TearDown() override {
        InScratchFolder::TearDown();
#if GPU_BACKEND_IS_CPU
        EXPECT_EQ(gpu::cpu::trackedAllocationCount(), 0u) << "device buffers left behind";
#endif
    }
    // An RGBA image written by libpng.
    std::string photo(const std::string& name, int w, int h, Words* pixels = nullptr) {
        Words img = oilref::photo(w, h, uint32_t(w + h));
        if (pixels) *pixels = img;
        EXPECT_TRUE(writeFile(dir + "/" + name, oracle::encode(w, h, 8, 6, oilref::bytesOf(img))));
        return dir + "/" + name;
    }
};

TEST_F(OilbrushDriver, SuccessDialogueAndOutputFile) {
    REQUIRE_GPU();  // the flow reaches the GPU step
    Words img;
    const std::string in = photo("photo.png", 256, 128, &img);
    Console r = typeAtPrompt(in + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "PNG infile: Reading " + in + "...\n256 x 128 pixels\nbuffer size: 131072 bytes\nprocessing...\n"
                     "writing to " + in + "_swapGB.png...done.\n");
    oracle::Image out;
    std::string error;
    ASSERT_TRUE(oracle::decode(readFile(in + "_swapGB.png"), &out, &error)) << error;
    EXPECT_EQ(out.width, 256u);
    EXPECT_EQ(out.height, 128u);
    EXPECT_EQ(out.depth, 8);
    EXPECT_EQ(out.color, 6);
    // What the kernel writes, and the input everywhere else.
    const uint32_t unwritten = 0x01020304u;  // alpha 1: never a filtered pixel of this opaque image
    Words want = oilref::tiled(img, 256, 128, unwritten);
    for (size_t i = 0; i < want.size(); ++i)
        if (want[i] == unwritten) want[i] = img[i];
    EXPECT_EQ(oilref::wordsOf(out.samples), want);
}

TEST_F(OilbrushDriver, SmallImageIsWrittenOutUnchanged) {
    REQUIRE_GPU();  // the flow reaches the GPU step
    Words img;
    const std::string in = photo("s.png", 9, 30, &img);
    Console r = typeAtPrompt(in);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("9 x 30 pixels\nbuffer size: 1080 bytes\nprocessing...\n"), std::string::npos);
    oracle::Image out;
    std::string error;
    ASSERT_TRUE(oracle::decode(readFile(in + "_swapGB.png"), &out, &error)) << error;
    EXPECT_EQ(oilref::wordsOf(out.samples), img);
}

TEST_F(OilbrushDriver, WithoutADeviceTheImageIsNotSavedAsDone) {
    // A cuda build on a machine without a GPU: allocation and copies fail, and that is
    // an error instead of the unfiltered image written out with "done.".
    if (gpu::deviceAvailable()) GTEST_SKIP() << "a device answers: this path needs a cuda build without one";
    const std::string in = photo("nogpu.png", 20, 20);
    Console r = typeAtPrompt(in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "PNG infile: Reading " + in + "...\n20 x 20 pixels\nbuffer size: 1600 bytes\nprocessing...\n"
                     "Image error: Could not process the image on the GPU\n\n");
    EXPECT_TRUE(readFile(in + "_swapGB.png").empty());
}

TEST_F(OilbrushDriver, MissingFile) {
    Console r = typeAtPrompt(dir + "/none.png\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "PNG infile: Image error: Couldn't open image\n\n");
}

TEST_F(OilbrushDriver, OnlyEightBitTruecolourWithAlpha) {
    const std::string rgb = dir + "/rgb.png";
    ASSERT_TRUE(writeFile(rgb, oracle::encode(16, 16, 8, 2, std::vector<uint8_t>(16 * 16 * 3, 100))));
    Console r = typeAtPrompt(rgb);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "PNG infile: Reading " + rgb + "...\nImage error: Only true color alpha images supported\n\n");
    const std::string deep = dir + "/deep.png";
    ASSERT_TRUE(writeFile(deep, oracle::encode(16, 16, 16, 6, std::vector<uint8_t>(16 * 16 * 8, 100))));
    r = typeAtPrompt(deep);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "PNG infile: Reading " + deep + "...\nImage error: Only 8-bit true color alpha images supported\n\n");
}

TEST_F(OilbrushDriver, DamagedImageData) {
    const std::string in = photo("bad.png", 40, 30);
    std::vector<uint8_t> f = readFile(in);
    f[33 + 8 + 10] ^= 0x40;  // inside the first IDAT payload
    ASSERT_TRUE(writeFile(in, f));
    Console r = typeAtPrompt(in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "PNG infile: Reading " + in + "...\nImage error: Could not read image data\n\n");
}

TEST_F(OilbrushDriver, OutputThatCannotBeCreatedOrWritten) {
    REQUIRE_GPU();  // the flow reaches the GPU step
    // A folder in the output's place cannot be opened for writing, even by root.
    const std::string in = photo("ro.png", 20, 20);
    ASSERT_EQ(mkdir((in + "_swapGB.png").c_str(), 0755), 0);
    Console r = typeAtPrompt(in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "PNG infile: Reading " + in + "...\n20 x 20 pixels\nbuffer size: 1600 bytes\nprocessing...\n"
                     "writing to " + in + "_swapGB.png...Image error: Could not open image to save\n\n");
    // A full device: the file opens, the bytes are lost at the close. Never "done.".
    struct stat st;
    if (stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full here";
    const std::string full = photo("full.png", 20, 20);
    ASSERT_EQ(symlink("/dev/full", (full + "_swapGB.png").c_str()), 0);
    r = typeAtPrompt(full);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("writing to " + full + "_swapGB.png...Image error: Could not save image data\n\n"),
              std::string::npos)
        << r.out;
}

TEST_F(OilbrushDriver, NamesAndEndOfInput) {
    Console r = typeAtPrompt("");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "PNG infile: Image error: No file name given\n\n");
    r = typeAtPrompt("   \n\t ");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "PNG infile: Image error: No file name given\n\n");
    // 38 characters fit the output name; 39 and more are refused before anything is
    // read, never truncated into another file's name.
    const std::string name38 = dir + "/" + std::string(38 - dir.size() - 1, 'a');
    ASSERT_EQ(name38.size(), 38u);
    Console ok = typeAtPrompt(name38);
    EXPECT_EQ(ok.out, "PNG infile: Image error: Couldn't open image\n\n");  // long enough, just missing
    for (size_t len : {39u, 49u, 60u, 200u}) {
        r = typeAtPrompt(std::string(len, 'b') + ".png\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "PNG infile: Image error: File name too long: at most 38 characters\n\n") << len;
    }
}

TEST_F(OilbrushDriver, OnlyTheFirstWordCounts) {
    REQUIRE_GPU();
    const std::string in = photo("w.png", 12, 12);
    Console r = typeAtPrompt(in + " extra words\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("writing to " + in + "_swapGB.png...done.\n"), std::string::npos);
}

}  // namespace
