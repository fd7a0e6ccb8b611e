// The per-object access counter: 0 free, -1 held exclusively, n > 0 held by
// n shared users. Conflicts are refused at once; nothing ever waits.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace ombrix::py {

class AccessCounter {
public:
    bool acquire_shared() noexcept {
        std::int64_t seen = state_.load(std::memory_order_relaxed);
        while (seen != -1) {
            if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) return true;
        }
        return false;
    }
    bool acquire_exclusive() noexcept {
        std::int64_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::int64_t> state_{0};
};

enum class Access { Shared, Exclusive };

// Holds the counter for the rest of a call; on a conflict, ok() is false and
// the RuntimeError is set.
class AccessGuard {
public:
    AccessGuard(AccessCounter& counter, Access mode) noexcept : counter_(counter), mode_(mode) {
        held_ = mode == Access::Shared ? counter.acquire_shared() : counter.acquire_exclusive();
        if (!held_)
            PyErr_SetString(PyExc_RuntimeError,
                            mode == Access::Shared ? "Already mutably borrowed" : "Already borrowed");
    }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    ~AccessGuard() {
        if (!held_) return;
        if (mode_ == Access::Shared) counter_.release_shared();
        else counter_.release_exclusive();
    }
    bool ok() const noexcept { return held_; }

private:
    AccessCounter& counter_;
    Access mode_;
    bool held_;
};

}  // namespace ombrix::py
