// The per-thread state that the C++ runtime and the indexes create lazily,
// created up front on each thread's first call.
//
// glibc ends the process when it cannot allocate a thread's thread-local
// storage (the C++ runtime's exception state, our search buffers and
// generator), and that storage is allocated on first use: for the exception
// state, by the first throw, which under memory exhaustion is exactly the
// std::bad_alloc we mean to report. So every entry point makes sure the
// calling thread's state exists before it can be needed.
#pragma once

namespace ombrix::py {

// Per-thread state that some part of the core creates lazily, created by
// `prepare` on the thread's first call instead. Defined as a static object
// by the Python layer that needs it, so that it is registered while the
// module loads, before any call can come in; it must outlive the module.
class ThreadPreparation {
public:
    explicit ThreadPreparation(void (*prepare)() noexcept) noexcept;
    ThreadPreparation(const ThreadPreparation&) = delete;
    ThreadPreparation& operator=(const ThreadPreparation&) = delete;

private:
    friend bool prepare_thread() noexcept;
    void (*prepare_)() noexcept;
    const ThreadPreparation* next_;  // the one registered before
};

// True when the calling thread's state exists, creating it on the thread's
// first call. False with MemoryError set when memory is too short to
// create it; nothing has been touched then.
bool prepare_thread() noexcept;

}  // namespace ombrix::py
