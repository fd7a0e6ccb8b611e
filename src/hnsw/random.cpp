// Random words for the level draw: the system's entropy, and the per-thread
// generator seeded from it.
#include "hnsw/random.hpp"

#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <thread>

namespace ombrix {
namespace {

std::uint64_t splitmix64(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The system's entropy call: on Linux the getrandom system call itself (C
// libraries before glibc 2.25 have no wrapper for it, and a build for them
// runs on newer systems too); getentropy on macOS and the BSDs. Elsewhere,
// or when the kernel lacks the call, the random device serves.
bool fill_from_system(unsigned char* out, std::size_t size) noexcept {
#if defined(__linux__) && defined(SYS_getrandom)
    std::size_t done = 0;
    while (done < size) {
        const long got = syscall(SYS_getrandom, out + done, size - done, 0u);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)
    // getentropy gives at most 256 bytes a call.
    for (std::size_t done = 0; done < size; done += 256)
        if (getentropy(out + done, std::min<std::size_t>(256, size - done)) != 0) return false;
    return true;
#else
    static_cast<void>(out);
    static_cast<void>(size);
    return false;
#endif
}

bool fill_from_urandom(unsigned char* out, std::size_t size) noexcept {
    int fd;
    do fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, out + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    close(fd);
    return done == size;
}

class Xoshiro256 final : public RandomSource {
public:
    Xoshiro256() noexcept {
        unsigned char bytes[sizeof state_];
        if (fill_from_system(bytes, sizeof bytes) || fill_from_urandom(bytes, sizeof bytes)) {
            std::memcpy(state_, bytes, sizeof state_);
        } else {
            // No entropy source at all: still unpredictable enough that two
            // threads or two runs do not share a stream.
            std::uint64_t seed =
                static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                reinterpret_cast<std::uintptr_t>(this) ^
                (static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id())) << 1) ^
                static_cast<std::uint64_t>(getpid());
            for (auto& word : state_) word = splitmix64(seed);
        }
        // The all-zero state is the one state xoshiro never leaves.
        if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) {
            std::uint64_t seed = reinterpret_cast<std::uintptr_t>(this);
            for (auto& word : state_) word = splitmix64(seed);
        }
    }

    std::uint64_t next_u64() noexcept override {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }

    std::uint64_t state_[4];
};

}  // namespace

RandomSource& thread_random() noexcept {
    thread_local Xoshiro256 generator;
    return generator;
}

}  // namespace ombrix
