// Lets a long call be interrupted: between two units of work, run the pending
// signal handlers (Ctrl-C's KeyboardInterrupt among them), at most once per
// interval so that the check costs nothing measurable.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "storage/stop_check.hpp"

namespace ombrix::py {

class SignalPoll {
public:
    // The clock is read once every `stride` calls of poll(): raise it where a
    // unit of work is much cheaper than reading the clock.
    explicit SignalPoll(std::uint32_t stride = 1) noexcept : stride_(stride ? stride : 1) {}

    // False when a handler raised: its exception is pending and the call
    // should stop, keeping what it has stored.
    bool poll() noexcept {
        if (++calls_ < stride_) return true;
        calls_ = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return true;
        next_ = now + kInterval;
        return PyErr_CheckSignals() == 0;
    }

    // For a core call: stop once a handler raised.
    StopCheck stop_check() noexcept {
        return {[](void* self) noexcept { return !static_cast<SignalPoll*>(self)->poll(); }, this};
    }

private:
    static constexpr std::chrono::milliseconds kInterval{2};
    std::uint32_t stride_;
    std::uint32_t calls_ = 0;
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + kInterval;
};

}  // namespace ombrix::py
