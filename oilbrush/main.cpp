// oilbrush: asks for a PNG file, paints it in oils on the GPU, writes <name>_swapGB.png.
#include "driver.h"
#include "gpu/runtime.h"

int main() {
    gpu::announceBackend("oilbrush");
    return oilbrush::runOilbrush(stdin);
}
