// The oil-painting kernels against the independent model in oil_reference.h, and the
// intensity classes, ties and alpha rules on small made-up windows.
#include "device_buffer.h"
#include "gpu_test.h"
#include "kernel.h"
#include "oil_reference.h"

using oilref::Words;

namespace {

const uint32_t kSentinel = 0xDEADBEEFu;

// The image on the device, and an output buffer of sentinels: what stays a sentinel was
// not written.
struct Device {
    DeviceBuffer<uint32_t> in, out;
    unsigned n;
    explicit Device(const Words& image) : in(image), out(Words(image.size(), kSentinel)), n(unsigned(image.size())) {}
};

Words runTiled(const Words& image, int w, int h, cudaError_t* launched = nullptr) {
    Device d(image);
    const cudaError_t e = oilbrush::launchOilPaintingGPU_sm(d.in.data, d.out.data, d.n, w, h);
    if (launched) *launched = e;
    return d.out.download();
}

uint32_t grey(int v, uint32_t alpha = 0xFF) { return alpha << 24 | uint32_t(v) << 16 | uint32_t(v) << 8 | uint32_t(v); }

// Only column x0..x0+9 of rows y0..y0+9 set to `a`, `countA` of them, the rest `b`;
// pixel (15, 15)'s window (offsets -5..4) is exactly that square.
Words window(int countA, uint32_t a, uint32_t b, int w = 40, int h = 40) {
    Words img(size_t(w) * h, b);
    int placed = 0;
    for (int y = 10; y < 20; ++y)
        for (int x = 10; x < 20; ++x)
            if (placed++ < countA) img[size_t(y) * w + x] = a;
    return img;
}

TEST(OilIntensity, EqualsFloorOfTwentyTimesAverageOver255) {
    for (int avg = 0; avg <= 255; ++avg)
        EXPECT_EQ(oilbrush::curIntensity(grey(avg), 20), 20 * avg / 255) << avg;
    // The class table's edges, and alpha plays no part.
    EXPECT_EQ(oilbrush::curIntensity(grey(12), 20), 0);
    EXPECT_EQ(oilbrush::curIntensity(grey(13), 20), 1);
    EXPECT_EQ(oilbrush::curIntensity(grey(254, 0), 20), 19);
    EXPECT_EQ(oilbrush::curIntensity(grey(255, 0), 20), 20);
    // The average is an integer division of the three channels: (255 + 255 + 254) / 3 = 254.
    EXPECT_EQ(oilbrush::curIntensity(0xFFFEFFFFu, 20), 19);
    for (int levels : {1, 7, 100})
        for (int avg = 0; avg <= 255; ++avg) EXPECT_EQ(oilbrush::curIntensity(grey(avg), levels), levels * avg / 255);
}

TEST(OilTiled, MatchesTheModelAndLeavesTheRestAlone) {
    REQUIRE_GPU();
    for (auto [w, h] : {std::pair{100, 100}, {109, 37}, {40, 23}, {10, 10}}) {
        const Words img = oilref::photo(w, h, uint32_t(w * h));
        const Words got = runTiled(img, w, h);
        const Words want = oilref::tiled(img, w, h, kSentinel);
        int mismatches = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i] != want[i] && ++mismatches <= 5)
                ADD_FAILURE() << w << "x" << h << " pixel (" << i % w << ", " << i / w << "): " << std::hex << got[i]
                              << " want " << want[i];
        EXPECT_EQ(mismatches, 0) << w << "x" << h;
    }
    // The written region by itself, for 100 x 100 and 109 wide.
    Words got = runTiled(oilref::photo(100, 100), 100, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            EXPECT_EQ(got[size_t(y) * 100 + x] == kSentinel, x < 5 || y < 5) << x << "," << y;
    got = runTiled(oilref::photo(109, 20), 109, 20);
    for (int x = 0; x < 109; ++x) EXPECT_EQ(got[size_t(10) * 109 + x] == kSentinel, x < 5 || x > 105) << x;
}

TEST(OilTiled, BelowTenPixelsTheLaunchIsRefused) {
    REQUIRE_GPU();
    for (auto [w, h] : {std::pair{9, 50}, {50, 9}, {3, 3}}) {
        const Words img = oilref::photo(w, h);
        cudaError_t e = cudaSuccess;
        const Words got = runTiled(img, w, h, &e);
        EXPECT_NE(e, cudaSuccess);
        EXPECT_EQ(got, Words(img.size(), kSentinel));
    }
}

TEST(OilTiled, UniformImageIsUnchanged) {
    REQUIRE_GPU();
    const Words img(64 * 48, 0x80336699u);
    const Words got = runTiled(img, 64, 48);
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != kSentinel) ASSERT_EQ(got[i], img[i]) << i;
}

TEST(OilTiled, ClassBoundariesTiesAndAlpha) {
    REQUIRE_GPU();
    auto centre = [](const Words& img) { return runTiled(img, 40, 40)[15 * 40 + 15]; };
    // 51 of 13 against 49 of 12: separate classes, so the larger one wins outright; in
    // one class the average would be 12.
    EXPECT_EQ(centre(window(51, grey(13), grey(12))) & 0xFFFFFF, grey(13) & 0xFFFFFF);
    EXPECT_EQ(centre(window(51, grey(255), grey(254))) & 0xFFFFFF, grey(255) & 0xFFFFFF);
    // Same class: 12 and 0 average to (51 x 12) / 100 = 6.
    EXPECT_EQ(centre(window(51, grey(12), grey(0))) & 0xFFFFFF, grey(6) & 0xFFFFFF);
    // A 50/50 window of black and white: the tie goes to the lower class, black.
    EXPECT_EQ(centre(window(50, grey(255), grey(0))) & 0xFFFFFF, 0u);
    EXPECT_EQ(centre(window(50, grey(0), grey(255))) & 0xFFFFFF, 0u);
    // Alpha is the centre pixel's, whatever its neighbours hold.
    Words img = window(100, 0x00FFFFFFu, 0u);  // all transparent white
    img[15 * 40 + 15] = 0xC8FFFFFFu;
    EXPECT_EQ(centre(img), 0xC8FFFFFFu);
    img[15 * 40 + 15] = 0x00FFFFFFu;
    img[15 * 40 + 14] = 0xFF000000u;  // an opaque neighbour changes nothing about alpha
    EXPECT_EQ(centre(img) >> 24, 0u);
}

TEST(OilLinear, MatchesTheModel) {
    REQUIRE_GPU();
    for (auto [w, h] : {std::pair{100, 100}, {109, 37}, {7, 5}}) {
        const Words img = oilref::photo(w, h, 11);
        Device d(img);
        // 16 x 16 blocks covering the image; surplus threads past n write nothing.
        ASSERT_EQ(oilbrush::launchOilPaintingGPU(d.in.data, d.out.data, d.n, w, h), cudaSuccess);
        EXPECT_EQ(d.out.download(), oilref::linear(img, w)) << w << "x" << h;
    }
}

TEST(OilLinear, TieGoesToTheClassThatGotThereFirst) {
    REQUIRE_GPU();
    // n = 5 with a width of 20: pixel 0 sees exactly j = 0..4, in that order.
    auto first = [](Words img) {
        Device d(img);
        EXPECT_EQ(oilbrush::launchOilPaintingGPU(d.in.data, d.out.data, 5u, 20, 1, dim3(1, 1, 1)), cudaSuccess);
        return d.out.download()[0] & 0xFFFFFF;
    };
    // Two black, two white: black reaches 2 at j = 2, white at j = 3.
    EXPECT_EQ(first({grey(255), grey(0), grey(0), grey(255), grey(128)}), 0u);
    // White reaches 2 at j = 1, black at j = 3: white wins, where a scan of the classes
    // afterwards would have taken black.
    EXPECT_EQ(first({grey(255), grey(255), grey(0), grey(0), grey(128)}), 0xFFFFFFu);
}

TEST(OilCentres, MatchesTheModel) {
    REQUIRE_GPU();
    for (auto [w, h] : {std::pair{100, 100}, {109, 37}}) {
        const Words img = oilref::photo(w, h, 5);
        Device d(img);
        ASSERT_EQ(oilbrush::launchGPU_calc_share_memory(d.in.data, d.out.data, d.n, h, w), cudaSuccess);
        EXPECT_EQ(d.out.download(), oilref::centres(img, w, h, (w + 9) / 10, (h + 9) / 10, kSentinel))
            << w << "x" << h;
    }
}

TEST(OilSwap, ExchangesGreenAndBlue) {
    REQUIRE_GPU();
    const Words img = {0x11223344u, 0xAABBCCDDu, 0x00FF0000u, 0x0000FF00u};
    Device d(img);
    ASSERT_EQ(oilbrush::launchExampleCPU_swapGB(d.in.data, d.out.data, d.n), cudaSuccess);
    EXPECT_EQ(d.out.download(), (Words{0x11332244u, 0xAACCBBDDu, 0x0000FF00u, 0x00FF0000u}));
}

TEST(OilCpuReference, ClippedWindowAndModel) {
    const int w = 30, h = 20;
    Words img = oilref::photo(w, h, 9);
    Words out(img.size());
    oilbrush::oilPaintingCPU(img.data(), out.data(), unsigned(img.size()), w, h, 5, 20);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::vector<uint32_t> window;
            for (int k = std::max(0, y - 5); k < std::min(h, y + 5); ++k)
                for (int l = std::max(0, x - 5); l < std::min(w, x + 5); ++l) window.push_back(img[size_t(k) * w + l]);
            ASSERT_EQ(out[size_t(y) * w + x], oilref::paint(window, img[size_t(y) * w + x])) << x << "," << y;
        }
    // The top-left corner counts its 5 x 5 patch only: 13 white in it against 12 black
    // wins, although black dominates just outside.
    Words corner(size_t(w) * h, grey(0));
    for (int i = 0; i < 13; ++i) corner[size_t(i / 5) * w + i % 5] = grey(255);
    oilbrush::oilPaintingCPU(corner.data(), out.data(), unsigned(corner.size()), w, h, 5, 20);
    EXPECT_EQ(out[0], grey(255));
    EXPECT_EQ(out[6], grey(0));  // (6, 0) sees columns 1..10 of rows 0..4: 10 white of 50
}

}  // namespace
