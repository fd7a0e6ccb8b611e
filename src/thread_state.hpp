// The per-thread state that the C++ runtime and the indexes create lazily.
//
// glibc ends the process when it cannot allocate a thread's thread-local
// storage (the C++ runtime's exception state, our search buffers and
// generator), and that storage is allocated on first use: for the exception
// state, by the first throw, which under memory exhaustion is exactly the
// std::bad_alloc we mean to report. So every entry point makes sure the
// calling thread's state exists before it can be needed.
#pragma once

namespace ombrix::py {

// True when the calling thread's state exists, creating it on the thread's
// first call. False with MemoryError set when memory is too short to
// create it; nothing has been touched then.
bool prepare_thread() noexcept;

}  // namespace ombrix::py
