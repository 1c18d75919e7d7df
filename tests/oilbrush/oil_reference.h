// An independent model of what each oil-painting variant writes: per output pixel,
// with the window read straight from the image, no tiles and no threads. Unwritten
// pixels come out as `unwritten`. Also the test images and their bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace oilref {

using Words = std::vector<uint32_t>;

inline int classOf(uint32_t p) {
    const int avg = int(((p & 255) + ((p >> 8) & 255) + ((p >> 16) & 255)) / 3);
    return 20 * avg / 255;  // floor(20 avg / 255)
}

inline uint32_t paint(const std::vector<uint32_t>& window, uint32_t centre, bool firstToReach = false) {
    int count[21] = {}, sum[21][3] = {};
    int reached[21] = {};  // position in the window where the class reached its count
    for (size_t k = 0; k < window.size(); ++k) {
        const uint32_t p = window[k];
        const int c = classOf(p);
        ++count[c];
        reached[c] = int(k);
        for (int ch = 0; ch < 3; ++ch) sum[c][ch] += (p >> (8 * ch)) & 255;
    }
    int best = 0;
    for (int c = 1; c <= 20; ++c) {
        if (count[c] > count[best] || (firstToReach && count[c] == count[best] && count[c] && reached[c] < reached[best]))
            best = c;
    }
    const int n = count[best];
    return (centre & 0xFF000000u) | uint32_t(sum[best][2] / n) << 16 | uint32_t(sum[best][1] / n) << 8 |
           uint32_t(sum[best][0] / n);
}

// oilPaintingGPU_sm with the driver's grid: pixels (X, Y) with 5 <= X <= 10 (w / 10) + 5
// and the same for Y are written; the window reads linear indices, so past the right
// edge it continues in the next row, and cells past the buffer repeat the last row.
inline Words tiled(const Words& in, int w, int h, uint32_t unwritten) {
    Words out(in.size(), unwritten);
    const long long n = (long long)in.size();
    if (w < 10 || h < 10) return out;
    for (int Y = 5; Y < h && Y <= 10 * (h / 10) + 5; ++Y)
        for (int X = 5; X < w && X <= 10 * (w / 10) + 5; ++X) {
            std::vector<uint32_t> window;
            for (int dx = -5; dx < 5; ++dx)
                for (int dy = -5; dy < 5; ++dy) {
                    long long j = (long long)(Y + dy) * w + (X + dx);
                    while (j >= n) j -= w;  // past the buffer: the last row's pixel of that column
                    window.push_back(in[j]);
                }
            out[size_t(Y) * w + X] = paint(window, in[size_t(Y) * w + X]);
        }
    return out;
}

// oilPaintingGPU: every pixel; neighbours j = i + dx + dy w kept while 0 <= j < n; the
// class that reached the top count first in the scan wins a tie.
inline Words linear(const Words& in, int w) {
    Words out(in.size());
    const long long n = (long long)in.size();
    for (long long i = 0; i < n; ++i) {
        std::vector<uint32_t> window;
        for (int dx = -5; dx < 5; ++dx)
            for (int dy = -5; dy < 5; ++dy) {
                const long long j = i + dx + (long long)dy * w;
                if (j >= 0 && j < n) window.push_back(in[j]);
            }
        out[i] = paint(window, in[i], true);
    }
    return out;
}

// GPU_calc_share_memory over a grid of gx x gy blocks: each block's 10 x 10 centre
// inside the image, 11 x 11 window, cells outside the image 0.
inline Words centres(const Words& in, int w, int h, int gx, int gy, uint32_t unwritten) {
    Words out(in.size(), unwritten);
    for (int by = 0; by < gy; ++by)
        for (int bx = 0; bx < gx; ++bx)
            for (int Y = 10 * by + 5; Y < 10 * by + 15 && Y < h; ++Y)
                for (int X = 10 * bx + 5; X < 10 * bx + 15 && X < w; ++X) {
                    std::vector<uint32_t> window;
                    for (int dx = -5; dx <= 5; ++dx)
                        for (int dy = -5; dy <= 5; ++dy) {
                            const int x = X + dx, y = Y + dy;
                            window.push_back(x < w && y < h ? in[size_t(y) * w + x] : 0u);
                        }
                    out[size_t(Y) * w + X] = paint(window, in[size_t(Y) * w + X]);
                }
    return out;
}

// Pixel words as the bytes R, G, B, A of 8-bit RGBA rows, and back.
inline std::vector<uint8_t> bytesOf(const Words& words) {
    std::vector<uint8_t> b(words.size() * 4);
    for (size_t i = 0; i < words.size(); ++i)
        for (int k = 0; k < 4; ++k) b[i * 4 + k] = uint8_t(words[i] >> (8 * k));
    return b;
}
inline Words wordsOf(const std::vector<uint8_t>& b) {
    Words w(b.size() / 4);
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = b[4 * i] | b[4 * i + 1] << 8 | b[4 * i + 2] << 16 | uint32_t(b[4 * i + 3]) << 24;
    return w;
}

// A photograph-like image: smooth colour gradients, a disc with a hard edge, noise.
inline Words photo(int w, int h, uint32_t seed = 3) {
    Words p(size_t(w) * h);
    uint32_t s = seed;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            int r = 40 + 180 * x / w, g = 60 + 150 * y / h, b = 200 - 150 * (x + y) / (w + h);
            const int dx = x - w / 2, dy = y - h / 2;
            if (dx * dx + dy * dy < (w * w) / 16) {
                r = 230 - r / 3;
                g = 200 - g / 2;
                b = 40 + b / 4;
            }
            const int noise = int(s >> 28) - 8;
            auto clamp = [](int v) { return uint32_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            p[size_t(y) * w + x] = 0xFF000000u | clamp(b + noise) << 16 | clamp(g + noise) << 8 | clamp(r + noise);
        }
    return p;
}

}  // namespace oilref
