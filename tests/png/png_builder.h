// Test-side PNG assembly: chunks with correct CRCs, rows under chosen filter types, the
// zlib stream split into IDAT chunks of chosen sizes. Independent of the codec, so
// damaged and unusual files can be made on purpose.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace pngtest {

using Bytes = std::vector<uint8_t>;

inline void putBe32(Bytes& out, uint32_t v) {
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

inline uint32_t getBe32(const uint8_t* b) {
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

inline Bytes signature() { return {137, 80, 78, 71, 13, 10, 26, 10}; }

// length, type, data, CRC over type and data.
inline void appendChunk(Bytes& out, const char* type, const Bytes& data) {
    putBe32(out, uint32_t(data.size()));
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    putBe32(out, uint32_t(crc32(0, typed.data(), uInt(typed.size()))));
}

inline Bytes ihdrData(uint32_t w, uint32_t h, uint8_t depth, uint8_t color, uint8_t interlace = 0) {
    Bytes d;
    putBe32(d, w);
    putBe32(d, h);
    d.push_back(depth);
    d.push_back(color);
    d.push_back(0);
    d.push_back(0);
    d.push_back(interlace);
    return d;
}

inline int channels(uint8_t color) {
    switch (color) {
        case 0: return 1;
        case 2: return 3;
        case 4: return 2;
        case 6: return 4;
        default: return 0;
    }
}

inline int paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// Rows in file order (16-bit samples most significant byte first) filtered with
// filters[row % filters.size()]; each row gets its filter byte in front.
inline Bytes filterRows(const Bytes& rows, uint32_t w, uint32_t h, int bpp, const std::vector<int>& filters) {
    const size_t stride = size_t(w) * bpp;
    Bytes out;
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* r = rows.data() + y * stride;
        const uint8_t* up = y ? r - stride : nullptr;
        int f = filters[y % filters.size()];
        out.push_back(uint8_t(f));
        for (size_t i = 0; i < stride; ++i) {
            int a = i >= size_t(bpp) ? r[i - bpp] : 0;
            int b = up ? up[i] : 0;
            int c = (up && i >= size_t(bpp)) ? up[i - bpp] : 0;
            int pred = 0;
            if (f == 1) pred = a;
            if (f == 2) pred = b;
            if (f == 3) pred = (a + b) / 2;
            if (f == 4) pred = paeth(a, b, c);
            out.push_back(uint8_t(r[i] - pred));
        }
    }
    return out;
}

inline Bytes deflate(const Bytes& raw, int level = Z_DEFAULT_COMPRESSION) {
    uLongf len = compressBound(uLong(raw.size()));
    Bytes out(len);
    compress2(out.data(), &len, raw.data(), uLong(raw.size()), level);
    out.resize(len);
    return out;
}

// A whole file. The zlib stream is cut into IDAT chunks of the given sizes in turn
// (the last size repeats); empty sizes mean one chunk. `between` goes after the header,
// `after` between the last IDAT and IEND.
struct FileSpec {
    uint32_t width = 0, height = 0;
    uint8_t depth = 8, color = 6;
    Bytes zdata;
    std::vector<size_t> split;
    Bytes between, after;
};

inline Bytes assemble(const FileSpec& s) {
    Bytes f = signature();
    appendChunk(f, "IHDR", ihdrData(s.width, s.height, s.depth, s.color));
    f.insert(f.end(), s.between.begin(), s.between.end());
    size_t pos = 0, k = 0;
    do {
        size_t n = s.split.empty() ? s.zdata.size() : s.split[std::min(k, s.split.size() - 1)];
        n = std::min(n, s.zdata.size() - pos);
        appendChunk(f, "IDAT", Bytes(s.zdata.begin() + pos, s.zdata.begin() + pos + n));
        pos += n;
        ++k;
    } while (pos < s.zdata.size());
    f.insert(f.end(), s.after.begin(), s.after.end());
    appendChunk(f, "IEND", {});
    return f;
}

// A photograph-like test pattern in file order: gradients, a hard edge and some noise,
// so that every filter type has real work.
inline Bytes pattern(uint32_t w, uint32_t h, int bpp, uint32_t seed = 1) {
    Bytes p(size_t(w) * h * bpp);
    uint32_t s = seed;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < bpp; ++c) {
                s = s * 1103515245u + 12345u;
                int v = int((x * (3 + c) + y * (5 - c % 3)) & 255);
                if (x > w / 2) v = 255 - v;
                if ((s >> 16) % 7 == 0) v = int((s >> 8) & 255);
                p[(size_t(y) * w + x) * bpp + c] = uint8_t(v);
            }
    return p;
}

// Reads from memory through the codec's callback interface; a null destination skips.
struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

inline size_t readFromMemory(void* destination, size_t size, size_t count, void* context) {
    auto* m = static_cast<MemoryReader*>(context);
    const size_t left = m->size - m->pos;
    if (!destination) {
        const size_t want = size * count;  // a skip
        m->pos += want < left ? want : left;
        return want <= left ? count : 0;
    }
    const size_t n = size ? std::min(count, left / size) : 0;
    if (n) std::memcpy(destination, m->data + m->pos, n * size);
    m->pos += n * size;
    return n;
}

struct MemoryWriter {
    Bytes data;
    size_t limit = SIZE_MAX;  // bytes accepted before writes come up short
};

inline size_t writeToMemory(const void* source, size_t size, size_t count, void* context) {
    auto* m = static_cast<MemoryWriter*>(context);
    const size_t room = m->limit - std::min(m->limit, m->data.size());
    const size_t n = size ? std::min(count, room / size) : 0;
    const uint8_t* s = static_cast<const uint8_t*>(source);
    m->data.insert(m->data.end(), s, s + n * size);
    return n;
}

}  // namespace pngtest
