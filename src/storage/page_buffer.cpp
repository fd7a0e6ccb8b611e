// Page buffers: aligned allocation with the huge-page advice, and the pool of
// freed large buffers kept for reuse.
#include "storage/page_buffer.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ombrix {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kCacheLine = 64;

int default_advice(void* start, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    return madvise(start, bytes, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
    return 0;
#endif
}

std::atomic<HugePageAdvisor> advisor{default_advice};

// Freed huge-page buffers, kept for the next buffer of about their size.
// Fresh pages come from the system zeroed, and zeroing costs about as much
// as filling them: without this, building an index again and again (or one
// of several of the same size) spends much of its time waiting for cleared
// pages. The C library keeps freed heap memory for the same reason,
// but returns buffers of this alignment to the system at once. Bounded, so
// that a freed index holds on to little; given back when memory runs short.
class SparePages {
public:
    // The smallest spare of at least `bytes` and at most twice that (the
    // newest of equals: likelier still in cache), or nullptr; `bytes` becomes
    // the spare's size.
    void* take(std::size_t& bytes) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i)
            if (spares_[i].bytes >= bytes && spares_[i].bytes / 2 <= bytes &&
                (best == count_ || spares_[i].bytes <= spares_[best].bytes))
                best = i;
        if (best == count_) return nullptr;
        const Spare taken = spares_[best];
        remove(best);
        bytes = taken.bytes;
        return taken.memory;
    }

    // Keeps `memory` for reuse (dropping the oldest spares to make room), or
    // frees it when it is too large to keep.
    void give(void* memory, std::size_t bytes) noexcept {
        if (bytes > kKeepAtMost) return std::free(memory);
        std::lock_guard<std::mutex> lock(mutex_);
        while (count_ == kSlots || total_ + bytes > kKeepAtMost) free_oldest();
        spares_[count_++] = {memory, bytes};
        total_ += bytes;
    }

    // Frees every spare; false when there was none.
    bool free_all() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool any = count_ > 0;
        while (count_ > 0) free_oldest();
        return any;
    }

private:
    static constexpr std::size_t kSlots = 4;
    static constexpr std::size_t kKeepAtMost = std::size_t{64} << 20;
    struct Spare {
        void* memory;
        std::size_t bytes;
    };

    void free_oldest() noexcept {
        std::free(spares_[0].memory);
        remove(0);
    }

    void remove(std::size_t i) noexcept {
        total_ -= spares_[i].bytes;
        std::move(spares_ + i + 1, spares_ + count_, spares_ + i);
        --count_;
    }

    std::mutex mutex_;
    Spare spares_[kSlots] = {};  // the first count_ in use, oldest first
    std::size_t count_ = 0;
    std::size_t total_ = 0;  // bytes held
};

// Never destroyed: a buffer may still be freed after static destructors ran.
SparePages& spare_pages() noexcept {
    alignas(SparePages) static unsigned char storage[sizeof(SparePages)];
    static SparePages* const pages = new (storage) SparePages;
    return *pages;
}

bool is_huge(std::size_t bytes) noexcept { return bytes >= kHugePage; }

void release(double* data, std::size_t capacity) noexcept {
    const std::size_t bytes = capacity * sizeof(double);
    if (data && is_huge(bytes)) return spare_pages().give(data, bytes);
    std::free(data);
}

// `bytes` rounded up to whole huge pages for a large buffer; may grow further
// to the size of a reused spare.
void* allocate(std::size_t& bytes) noexcept {
    const bool huge = is_huge(bytes);
    if (huge) {
        bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        if (void* spare = spare_pages().take(bytes)) return spare;
    }
    // When memory is short, the spares go back to the system and it is asked again.
    do {
        void* memory = nullptr;
        if (posix_memalign(&memory, huge ? kHugePage : kCacheLine, bytes) == 0 && memory) {
            if (huge) (void)advisor.load()(memory, bytes);
            return memory;
        }
    } while (spare_pages().free_all());
    return nullptr;
}

}  // namespace

void set_huge_page_advisor(HugePageAdvisor replacement) noexcept {
    advisor.store(replacement ? replacement : default_advice);
}

void release_spare_pages() noexcept { (void)spare_pages().free_all(); }

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        release(data_, capacity_);
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

PageBuffer::~PageBuffer() { release(data_, capacity_); }

bool PageBuffer::reserve(std::size_t needed, std::size_t used, unsigned growth_shift) noexcept {
    if (needed <= capacity_) return true;
    constexpr std::size_t max_doubles = (std::size_t{1} << 62) / sizeof(double);
    if (needed > max_doubles) return false;
    const std::size_t doubles = std::max(needed, std::min(max_doubles, capacity_ + (capacity_ >> growth_shift)));
    std::size_t bytes = doubles * sizeof(double);
    void* memory = allocate(bytes);
    if (!memory) return false;
    if (used) std::memcpy(memory, data_, used * sizeof(double));
    release(data_, capacity_);
    data_ = static_cast<double*>(memory);
    capacity_ = bytes / sizeof(double);
    return true;
}

}  // namespace ombrix
