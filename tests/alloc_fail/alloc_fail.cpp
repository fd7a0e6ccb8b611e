// Allocation-failure injection for tests, loaded with LD_PRELOAD.
//
// Interposes the malloc family and operator new. While armed, every
// allocation of at least `min_counted` bytes is counted; the `nth` counted one
// fails (and, when `persistent`, every one after it), and so does every
// allocation of exactly `size` bytes. The sizes of the first counted
// allocations are recorded, so that a caller can fail each size in turn.
// A failing operator new throws std::bad_alloc (its nothrow forms return
// null), a failing malloc returns null with ENOMEM, as when memory is gone.
// Python drives it through ctypes (`ctypes.CDLL(None).alloc_fail_arm`).
//
// Under AddressSanitizer the library goes first in LD_PRELOAD (with
// ASAN_OPTIONS=verify_asan_link_order=0) and forwards to the sanitizer's
// allocator, found like libc's with dlsym(RTLD_NEXT).
#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
using FreeFn = void (*)(void*);
using MemalignFn = void* (*)(std::size_t, std::size_t);
using PosixMemalignFn = int (*)(void**, std::size_t, std::size_t);
using NewNothrowFn = void* (*)(std::size_t, const std::nothrow_t&);
using NewAlignedFn = void* (*)(std::size_t, std::align_val_t);
using NewAlignedNothrowFn = void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&);

std::atomic<bool> armed{false};
std::atomic<long> counted{0};
std::atomic<long> failed{0};
long fail_nth = 0;
bool fail_persistent = false;
std::size_t fail_size = 0;
std::size_t min_counted = 0;
constexpr long kRecorded = 4096;
std::size_t recorded[kRecorded];

// Allocations made inside an interposed operator new are not counted again.
// Initial-exec: a preloaded library's TLS is static, so this never allocates.
__thread int depth __attribute__((tls_model("initial-exec"))) = 0;

// dlsym itself may allocate before the real functions are known; those few
// requests are served from here and never freed.
alignas(std::max_align_t) unsigned char bootstrap[1 << 16];
std::atomic<std::size_t> bootstrap_used{0};
__thread int resolving __attribute__((tls_model("initial-exec"))) = 0;

bool from_bootstrap(const void* p) { return p >= bootstrap && p < bootstrap + sizeof bootstrap; }

void* bootstrap_alloc(std::size_t n) {
    const std::size_t rounded = (n + 15) & ~std::size_t{15};
    const std::size_t at = bootstrap_used.fetch_add(rounded);
    if (at + rounded > sizeof bootstrap) return nullptr;
    return bootstrap + at;
}

template <class Fn>
Fn next(const char* name) {
    ++resolving;
    Fn fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    --resolving;
    return fn;
}

#define REAL(type, name)               \
    static type real_##name = nullptr; \
    if (!real_##name) real_##name = next<type>(#name)

bool should_fail(std::size_t size) {
    if (depth > 0 || !armed.load(std::memory_order_relaxed)) return false;
    if (size == fail_size && fail_size != 0) {
        failed.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (size < min_counted) return false;
    const long c = counted.fetch_add(1, std::memory_order_relaxed) + 1;
    if (c <= kRecorded) recorded[c - 1] = size;
    const bool fail = fail_nth != 0 && (c == fail_nth || (fail_persistent && c > fail_nth));
    if (fail) failed.fetch_add(1, std::memory_order_relaxed);
    return fail;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void alloc_fail_arm(long nth, int persistent, unsigned long size,
                                                           unsigned long counted_from) {
    armed.store(false);
    counted.store(0);
    failed.store(0);
    fail_nth = nth;
    fail_persistent = persistent != 0;
    fail_size = size;
    min_counted = counted_from;
    armed.store(true);
}

// Disarms; returns the number of allocations counted while armed.
__attribute__((visibility("default"))) long alloc_fail_disarm(void) {
    armed.store(false);
    return counted.load();
}

// Copies the sizes of up to `max` of the allocations counted since the last
// arm into `out`, in order; returns how many it copied.
__attribute__((visibility("default"))) long alloc_fail_sizes(unsigned long* out, long max) {
    long n = counted.load();
    if (n > kRecorded) n = kRecorded;
    if (n > max) n = max;
    for (long i = 0; i < n; ++i) out[i] = recorded[i];
    return n;
}

// Allocations failed since the last arm.
__attribute__((visibility("default"))) long alloc_fail_failed(void) { return failed.load(); }

__attribute__((visibility("default"))) void* malloc(std::size_t n) {
    if (resolving) return bootstrap_alloc(n);
    REAL(MallocFn, malloc);
    if (should_fail(n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_malloc(n);
}

__attribute__((visibility("default"))) void* calloc(std::size_t count, std::size_t n) {
    if (resolving) {
        if (n != 0 && count > SIZE_MAX / n) return nullptr;
        return bootstrap_alloc(count * n);  // static storage is zeroed
    }
    REAL(CallocFn, calloc);
    if (should_fail(count * n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_calloc(count, n);
}

__attribute__((visibility("default"))) void free(void* p) {
    // What dlsym frees while free itself is being looked up is leaked.
    if (!p || from_bootstrap(p) || resolving) return;
    REAL(FreeFn, free);
    real_free(p);
}

__attribute__((visibility("default"))) void* realloc(void* p, std::size_t n) {
    if (from_bootstrap(p)) {
        // Only dlsym's own buffers live there; copy out what fits.
        void* fresh = malloc(n);
        if (fresh) std::memcpy(fresh, p, n < 256 ? n : 256);
        return fresh;
    }
    REAL(ReallocFn, realloc);
    if (should_fail(n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_realloc(p, n);
}

__attribute__((visibility("default"))) int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    REAL(PosixMemalignFn, posix_memalign);
    if (should_fail(n)) return ENOMEM;
    return real_posix_memalign(out, alignment, n);
}

__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment, std::size_t n) {
    REAL(MemalignFn, aligned_alloc);
    if (should_fail(n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_aligned_alloc(alignment, n);
}

__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t n) {
    REAL(MemalignFn, memalign);
    if (should_fail(n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_memalign(alignment, n);
}

}  // extern "C"

// operator new. The library must not depend on libstdc++ (a preloaded
// libstdc++ would get static TLS and hide the lazily allocated per-thread
// state of the real process), so the real operators and the bad_alloc thrower
// are looked up at run time: after this library (the sanitizer's), or in
// libstdc++, which ombrix loads privately.
namespace {

void* cxx_symbol(const char* name) {
    ++resolving;
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        static void* libstdcxx = nullptr;
        if (!libstdcxx) libstdcxx = dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD);
        if (libstdcxx) symbol = dlsym(libstdcxx, name);
    }
    --resolving;
    return symbol;
}

#define REAL_CXX(type, var, name) \
    static type var = nullptr;    \
    if (!var) var = reinterpret_cast<type>(cxx_symbol(name))

[[noreturn]] void throw_bad_alloc() {
    using ThrowFn = void (*)();
    REAL_CXX(ThrowFn, thrower, "_ZSt17__throw_bad_allocv");
    thrower();
    __builtin_trap();
}

// A real operator, looked up on first use.
struct Real {
    const char* name;
    void* fn = nullptr;
    template <class Fn>
    Fn get() {
        if (!fn) fn = cxx_symbol(name);
        return reinterpret_cast<Fn>(fn);
    }
};

const std::nothrow_t kNothrow{};

// The throwing forms call the real nothrow form, so that nothing throws
// through a frame of this library except its own bad_alloc. libstdc++'s
// nothrow form calls the throwing one again: inside, that goes straight on.
void* counted_new(std::size_t n, Real& plain, Real& nothrow) {
    if (depth > 0) return plain.get<void* (*)(std::size_t)>()(n);
    if (should_fail(n)) throw_bad_alloc();
    ++depth;
    void* p = nothrow.get<NewNothrowFn>()(n, kNothrow);
    --depth;
    if (!p) throw_bad_alloc();
    return p;
}

void* counted_new_nothrow(std::size_t n, Real& nothrow) {
    if (depth == 0 && should_fail(n)) return nullptr;
    ++depth;
    void* p = nothrow.get<NewNothrowFn>()(n, kNothrow);
    --depth;
    return p;
}

void* counted_new_aligned(std::size_t n, std::align_val_t alignment, Real& plain, Real& nothrow) {
    if (depth > 0) return plain.get<NewAlignedFn>()(n, alignment);
    if (should_fail(n)) throw_bad_alloc();
    ++depth;
    void* p = nothrow.get<NewAlignedNothrowFn>()(n, alignment, kNothrow);
    --depth;
    if (!p) throw_bad_alloc();
    return p;
}

void* counted_new_aligned_nothrow(std::size_t n, std::align_val_t alignment, Real& nothrow) {
    if (depth == 0 && should_fail(n)) return nullptr;
    ++depth;
    void* p = nothrow.get<NewAlignedNothrowFn>()(n, alignment, kNothrow);
    --depth;
    return p;
}

Real new_plain{"_Znwm"}, new_nothrow{"_ZnwmRKSt9nothrow_t"};
Real array_plain{"_Znam"}, array_nothrow{"_ZnamRKSt9nothrow_t"};
Real new_aligned{"_ZnwmSt11align_val_t"}, new_aligned_nothrow{"_ZnwmSt11align_val_tRKSt9nothrow_t"};
Real array_aligned{"_ZnamSt11align_val_t"}, array_aligned_nothrow{"_ZnamSt11align_val_tRKSt9nothrow_t"};

}  // namespace

#define EXPORT __attribute__((visibility("default")))

EXPORT void* operator new(std::size_t n) { return counted_new(n, new_plain, new_nothrow); }
EXPORT void* operator new[](std::size_t n) { return counted_new(n, array_plain, array_nothrow); }
EXPORT void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_new_nothrow(n, new_nothrow); }
EXPORT void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return counted_new_nothrow(n, array_nothrow);
}
EXPORT void* operator new(std::size_t n, std::align_val_t alignment) {
    return counted_new_aligned(n, alignment, new_aligned, new_aligned_nothrow);
}
EXPORT void* operator new[](std::size_t n, std::align_val_t alignment) {
    return counted_new_aligned(n, alignment, array_aligned, array_aligned_nothrow);
}
EXPORT void* operator new(std::size_t n, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return counted_new_aligned_nothrow(n, alignment, new_aligned_nothrow);
}
EXPORT void* operator new[](std::size_t n, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return counted_new_aligned_nothrow(n, alignment, array_aligned_nothrow);
}
