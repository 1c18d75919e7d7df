// CUDA's vector types (char1 ... double4) and their make_ functions, with the toolkit's
// alignments (vector_types.h): a 2-vector is aligned to its size, a 4-vector to its size
// up to 16 bytes, 1- and 3-vectors to their element. dim3 converts to and from uint3.
#pragma once

#define GPU_CPU_VEC1(T, name)                                                  \
    struct name {                                                              \
        T x;                                                                   \
    };                                                                         \
    inline name make_##name(T x) { return name{x}; }
#define GPU_CPU_VEC2(T, name)                                                  \
    struct alignas(2 * sizeof(T)) name {                                       \
        T x, y;                                                                \
    };                                                                         \
    inline name make_##name(T x, T y) { return name{x, y}; }
#define GPU_CPU_VEC3(T, name)                                                  \
    struct name {                                                              \
        T x, y, z;                                                             \
    };                                                                         \
    inline name make_##name(T x, T y, T z) { return name{x, y, z}; }
#define GPU_CPU_VEC4(T, name)                                                  \
    struct alignas(4 * sizeof(T) < 16 ? 4 * sizeof(T) : 16) name {             \
        T x, y, z, w;                                                          \
    };                                                                         \
    inline name make_##name(T x, T y, T z, T w) { return name{x, y, z, w}; }
#define GPU_CPU_VECS(T, base) \
    GPU_CPU_VEC1(T, base##1) GPU_CPU_VEC2(T, base##2) GPU_CPU_VEC3(T, base##3) GPU_CPU_VEC4(T, base##4)

GPU_CPU_VECS(signed char, char)
GPU_CPU_VECS(unsigned char, uchar)
GPU_CPU_VECS(short, short)
GPU_CPU_VECS(unsigned short, ushort)
GPU_CPU_VECS(int, int)
GPU_CPU_VECS(unsigned int, uint)
GPU_CPU_VECS(long, long)
GPU_CPU_VECS(unsigned long, ulong)
GPU_CPU_VECS(long long, longlong)
GPU_CPU_VECS(unsigned long long, ulonglong)
GPU_CPU_VECS(float, float)
GPU_CPU_VECS(double, double)

#undef GPU_CPU_VECS
#undef GPU_CPU_VEC1
#undef GPU_CPU_VEC2
#undef GPU_CPU_VEC3
#undef GPU_CPU_VEC4

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};
