// Memory for the arrays a search reads: large buffers are 2 MiB aligned and
// advised for transparent huge pages, which stream markedly faster than 4 KiB
// pages (fewer TLB misses, longer prefetch runs) and are cheaper to read at
// random. Freed large buffers are kept a while for reuse. Nothing here
// throws: a failed allocation is reported and changes nothing.
#pragma once

#include <cstddef>

namespace ombrix {

class PageBuffer {
public:
    PageBuffer() noexcept = default;
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();

    double* data() noexcept { return data_; }
    const double* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // Makes room for at least `needed` doubles, keeping the first `used`;
    // growth is geometric, by capacity() >> growth_shift at least (0:
    // doubling). False (and nothing changed) when memory is short.
    [[nodiscard]] bool reserve(std::size_t needed, std::size_t used, unsigned growth_shift = 0) noexcept;

private:
    double* data_ = nullptr;
    std::size_t capacity_ = 0;  // in doubles
};

// Where the huge-page advice goes: madvise(MADV_HUGEPAGE) by default. The
// advice is only a hint; a refusal (non-zero result) is ignored. Tests swap
// in a refusing advisor; nullptr restores the default.
using HugePageAdvisor = int (*)(void* start, std::size_t bytes) noexcept;
void set_huge_page_advisor(HugePageAdvisor advisor) noexcept;

// Gives the freed buffers kept for reuse back to the system.
void release_spare_pages() noexcept;

}  // namespace ombrix
