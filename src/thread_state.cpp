// Creating each thread's state before the first call can need it.
#include "thread_state.hpp"

#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>

namespace ombrix::py {
namespace {

// Far more than the thread-local blocks and destructor records need: if this
// much can be allocated and freed, creating them will not fail.
constexpr std::size_t kThreadReserve = std::size_t{64} << 10;

// Marks the threads whose state exists. Reading and setting a key allocates
// nothing for the first keys of a process and fails softly otherwise.
struct ReadyKey {
    pthread_key_t key;
    bool valid = pthread_key_create(&key, nullptr) == 0;
};

char ready_marker;

// The registered preparations, newest first. Constant-initialised, so that a
// registration made by another file's static initialisation finds it ready.
constinit std::atomic<const ThreadPreparation*> preparations{nullptr};

struct Probe {};

// Thrown and caught once per thread: the C++ runtime (either of them) then
// creates the thread's exception state, without naming its internals.
[[gnu::noinline]] void create_exception_state() noexcept {
    try {
        throw Probe{};
    } catch (const Probe&) {
    }
}

}  // namespace

ThreadPreparation::ThreadPreparation(void (*prepare)() noexcept) noexcept
    : prepare_(prepare), next_(preparations.load(std::memory_order_relaxed)) {
    while (!preparations.compare_exchange_weak(next_, this, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

bool prepare_thread() noexcept {
    static ReadyKey ready;
    if (ready.valid && pthread_getspecific(ready.key) != nullptr) return true;
    // Through a volatile pointer: a compiler may drop a malloc whose block is
    // only freed (clang does), and the probe with it.
    static void* (*volatile const probe_malloc)(std::size_t) = std::malloc;
    void* reserve = probe_malloc(kThreadReserve);
    if (!reserve) {
        PyErr_NoMemory();
        return false;
    }
    std::free(reserve);
    create_exception_state();
    for (const ThreadPreparation* p = preparations.load(std::memory_order_acquire); p; p = p->next_) p->prepare_();
    if (ready.valid) pthread_setspecific(ready.key, &ready_marker);
    return true;
}

}  // namespace ombrix::py
