#include "flat/page_buffer.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
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

}  // namespace

void set_huge_page_advisor(HugePageAdvisor replacement) noexcept {
    advisor.store(replacement ? replacement : default_advice);
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

PageBuffer::~PageBuffer() { std::free(data_); }

bool PageBuffer::reserve(std::size_t needed, std::size_t used) noexcept {
    if (needed <= capacity_) return true;
    constexpr std::size_t max_doubles = (std::size_t{1} << 62) / sizeof(double);
    if (needed > max_doubles) return false;
    std::size_t doubles = std::max(needed, std::min(max_doubles, capacity_ * 2));
    std::size_t bytes = doubles * sizeof(double);
    const bool huge = bytes >= kHugePage;
    if (huge) bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = nullptr;
    if (posix_memalign(&memory, huge ? kHugePage : kCacheLine, bytes) != 0 || !memory) return false;
    if (huge) (void)advisor.load()(memory, bytes);
    if (used) std::memcpy(memory, data_, used * sizeof(double));
    std::free(data_);
    data_ = static_cast<double*>(memory);
    capacity_ = bytes / sizeof(double);
    return true;
}

}  // namespace ombrix
