// The vector types the kernels compute in (GCC and clang vector extensions)
// and their loads: doubles, and float32 storage widened to doubles.
#pragma once

#include <cstddef>
#include <cstring>

namespace ombrix::simd {

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef float v2f __attribute__((vector_size(8)));
typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));

// Doubles in a vector of type V.
template <class V>
constexpr std::size_t width = sizeof(V) / sizeof(double);

// The float vector as wide (in lanes) as a double vector V.
template <class V>
struct FloatsOf;
template <>
struct FloatsOf<v2d> {
    using type = v2f;
};
template <>
struct FloatsOf<v4d> {
    using type = v4f;
};
template <>
struct FloatsOf<v8d> {
    using type = v8f;
};

template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// width<V> floats, each widened exactly to a double.
template <class V>
[[gnu::always_inline]] inline V load_floats(const float* p) {
    typename FloatsOf<V>::type f;
    std::memcpy(&f, p, sizeof f);
    return __builtin_convertvector(f, V);
}

}  // namespace ombrix::simd
