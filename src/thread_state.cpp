#include "thread_state.hpp"

#include <Python.h>
#include <pthread.h>

#include <cstdlib>
#include <cxxabi.h>

#include "hnsw/hnsw.hpp"

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

}  // namespace

bool prepare_thread() noexcept {
    static ReadyKey ready;
    if (ready.valid && pthread_getspecific(ready.key) != nullptr) return true;
    void* reserve = std::malloc(kThreadReserve);
    if (!reserve) {
        PyErr_NoMemory();
        return false;
    }
    std::free(reserve);
    // Declared const, so an unused result would let the call be dropped.
    abi::__cxa_eh_globals* volatile globals = abi::__cxa_get_globals();
    static_cast<void>(globals);
    prepare_index_thread_state();
    if (ready.valid) pthread_setspecific(ready.key, &ready_marker);
    return true;
}

}  // namespace ombrix::py
