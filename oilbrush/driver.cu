// The console driver: prompt, load, filter on the GPU, save beside the input.
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

#include "driver.h"
#include "kernel.h"

namespace oilbrush {

namespace {

FILE* input = stdin;  // where the name and the closing key press come from

// The closing "press a key" pause, only for a person at a terminal: piped or scripted
// runs end at once.
void pause() {
    const int fd = fileno(input);
    if (!isatty(fd)) return;
    std::printf("Press any key to continue . . . ");
    std::fflush(stdout);
    // Drop the rest of the typed line, then take one key without waiting for Enter.
    int c;
    while ((c = std::fgetc(input)) != EOF && c != '\n') {
    }
    termios saved;
    if (tcgetattr(fd, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
        unsigned char key;
        if (read(fd, &key, 1) < 0) {
        }
        tcsetattr(fd, TCSANOW, &saved);
    }
    std::printf("\n");
}

// The output starts as the input, so pixels the kernel does not write keep it.
bool copyToDevice(unsigned** d_in, unsigned** d_out, const unsigned char* pixels, size_t bytes) {
    GPU_RANGE("copy to device");
    return cudaMalloc(d_in, bytes) == cudaSuccess && cudaMalloc(d_out, bytes) == cudaSuccess &&
           cudaMemcpy(*d_in, pixels, bytes, cudaMemcpyHostToDevice) == cudaSuccess &&
           cudaMemcpy(*d_out, pixels, bytes, cudaMemcpyHostToDevice) == cudaSuccess;
}

// A refused shape (an image under 10 pixels wide or high) is skipped: the output stays the
// input. On a GPU the launch returns before the kernel ends and the copy waits for it, so
// the one range holds the kernel's time.
bool filterToHost(unsigned char* result, const unsigned* d_in, unsigned* d_out, size_t n, int width, int height) {
    GPU_RANGE("oilPaintingGPU_sm and copy to host");
    launchOilPaintingGPU_sm(d_in, d_out, unsigned(n), width, height);
    return cudaMemcpy(result, d_out, n * 4, cudaMemcpyDeviceToHost) == cudaSuccess;
}

}  // namespace

int imageError(const char* message) {
    std::printf("Image error: %s\n", message);
    std::fflush(stdout);
    pause();
    return 1;
}

unsigned imageWidth(const Image* image) { return image->png.width; }
unsigned imageHeight(const Image* image) { return image->png.height; }
size_t imagePixelCount(const Image* image) { return size_t(image->png.width) * image->png.height; }
unsigned char* imagePixels(const Image* image) { return image->pixels; }
unsigned char* allocateImagePixels(const Image* image) {
    return static_cast<unsigned char*>(std::malloc(imagePixelCount(image) * 4));
}
void closeImage(Image* image) { png_close(&image->png); }
void freeImage(Image* image) {
    std::free(image->pixels);
    std::free(image);
}

Image* loadImage(const char* path) {
    GPU_RANGE("decode");
    Image* image = static_cast<Image*>(std::calloc(1, sizeof(Image)));
    if (!image) {
        imageError("Could not allocate memory\n");
        return nullptr;
    }
    if (png_open_path(&image->png, path) != PNGE_NONE) {
        if (image->png.io_context) png_close(&image->png);
        freeImage(image);
        imageError("Couldn't open image\n");
        return nullptr;
    }
    std::printf("Reading %s...\n", path);
    const char* refusal = nullptr;
    if (image->png.color != 6)
        refusal = "Only true color alpha images supported\n";
    else if (image->png.depth != 8)  // 16-bit samples would need 8 bytes a pixel word
        refusal = "Only 8-bit true color alpha images supported\n";
    else if (!(image->pixels = allocateImagePixels(image)))
        refusal = "Could not allocate memory\n";
    else if (png_read_pixels(&image->png, image->pixels) != PNGE_NONE)
        refusal = "Could not read image data\n";
    if (refusal) {
        closeImage(image);
        freeImage(image);
        imageError(refusal);
        return nullptr;
    }
    return image;
}

int saveImage(const char* path, const void* pixels, const Image* image) {
    GPU_RANGE("encode");
    png_handle handle;
    if (png_create_path(&handle, path) != PNGE_NONE) return imageError("Could not open image to save\n");
    int result = png_write_image(&handle, image->png.width, image->png.height, image->png.depth, image->png.color,
                                 pixels);
    // The close flushes the file: a failure there is a broken file too.
    const int closed = png_close(&handle);
    if (result != PNGE_NONE || closed != PNGE_NONE) {
        // What did get written is a cut-off file under the output's name: take it away.
        std::remove(path);
        return imageError("Could not save image data\n");
    }
    return 0;
}

int runOilbrush(FILE* in) {
    input = in;
    char infile[50];
    char outfile[50];
    std::printf("PNG infile: ");
    std::fflush(stdout);
    // Read with a bound; one more character than fits the output name is enough to
    // tell a name that is too long.
    char format[16];
    std::snprintf(format, sizeof format, "%%%ds", kMaxNameLength + 1);
    if (std::fscanf(input, format, infile) != 1) return imageError("No file name given\n");
    if (std::strlen(infile) > size_t(kMaxNameLength))
        return imageError("File name too long: at most 38 characters\n");

    png_set_allocator(nullptr, nullptr);
    Image* image = loadImage(infile);
    if (!image) return 1;

    const unsigned char* pixels = imagePixels(image);
    unsigned char* result = allocateImagePixels(image);
    const int width = int(imageWidth(image));
    const int height = int(imageHeight(image));
    const size_t bytes = imagePixelCount(image) * 4;
    if (!result) {
        closeImage(image);
        freeImage(image);
        return imageError("Could not allocate memory\n");
    }

    unsigned* d_img_data = nullptr;
    unsigned* d_out = nullptr;
    const bool copied = copyToDevice(&d_img_data, &d_out, pixels, bytes);

    std::printf("%d x %d pixels\n", width, height);
    std::printf("buffer size: %zu bytes\n", bytes);
    std::printf("processing...\n");
    std::fflush(stdout);

    const bool gpuOk = copied && filterToHost(result, d_img_data, d_out, imagePixelCount(image), width, height);
    cudaFree(d_img_data);
    cudaFree(d_out);
    if (!gpuOk) {
        closeImage(image);
        freeImage(image);
        std::free(result);
        return imageError("Could not process the image on the GPU\n");
    }

    std::snprintf(outfile, sizeof outfile, "%s_swapGB.png", infile);
    std::printf("writing to %s...", outfile);
    std::fflush(stdout);
    const int saved = saveImage(outfile, result, image);
    closeImage(image);
    freeImage(image);
    std::free(result);
    if (saved != 0) return saved;
    std::printf("done.\n");
    std::fflush(stdout);
    pause();
    return 0;
}

}  // namespace oilbrush
