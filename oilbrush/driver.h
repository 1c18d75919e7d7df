// oilbrush: the console driver, from the prompt to the saved file. Kept free of GPU
// declarations so that plain C++ (main, tests) can include it.
#pragma once

#include <cstddef>
#include <cstdio>

#include "png_codec.h"

namespace oilbrush {

struct Image {
    png_handle png;           // open on the input file until closeImage
    unsigned char* pixels;    // width x height pixel words
};

// Longest typed name whose output name "<name>_swapGB.png" still fits 50 characters.
constexpr int kMaxNameLength = 38;

// Prints "Image error: <message>", waits for a key when input is a terminal; returns 1.
int imageError(const char* message);
Image* loadImage(const char* path);  // null after imageError
int saveImage(const char* path, const void* pixels, const Image* image);  // 0, or 1 after imageError
unsigned imageWidth(const Image* image);
unsigned imageHeight(const Image* image);
size_t imagePixelCount(const Image* image);
unsigned char* imagePixels(const Image* image);
unsigned char* allocateImagePixels(const Image* image);
void closeImage(Image* image);
void freeImage(Image* image);

// The whole dialogue: prompt, read a name from `input`, filter, save. Output on
// standard output. Returns the exit status (0 success, 1 after an image error).
int runOilbrush(FILE* input);

}  // namespace oilbrush
