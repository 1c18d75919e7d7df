// Shared by the tests of GPU code: a GPU test needs somewhere to run its kernels. The
// cpu backend always has one; a cuda build without a device skips, saying why.
#pragma once

#include <gtest/gtest.h>

#include "gpu/runtime.h"

#define REQUIRE_GPU()                                                                       \
    do {                                                                                    \
        if (!::gpu::deviceAvailable()) GTEST_SKIP() << "no CUDA device answers: GPU test skipped"; \
    } while (0)
