// libpng as the independent oracle. Kept behind plain types so that no test file needs
// both png.h and the codec's header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace oracle {

// Which row filters libpng may use: one of its PNG_FILTER_* masks.
enum Filters { kNone = 0x08, kSub = 0x10, kUp = 0x20, kAvg = 0x40, kPaeth = 0x80, kAll = 0xF8 };

// Encodes samples given in file order (16-bit most significant byte first). A small
// zbuf makes libpng cut the image data into many IDAT chunks. Empty on failure.
std::vector<uint8_t> encode(uint32_t w, uint32_t h, int depth, int color, const std::vector<uint8_t>& samples,
                            int filters = kAll, size_t zbuf = 8192);

struct Image {
    uint32_t width = 0, height = 0;
    int depth = 0, color = 0;
    std::vector<uint8_t> samples;  // file order
};

// Decodes with libpng, which checks every CRC; false with the reason on failure.
bool decode(const std::vector<uint8_t>& file, Image* out, std::string* error);

}  // namespace oracle
