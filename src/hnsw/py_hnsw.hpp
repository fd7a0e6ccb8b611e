// The PyHNSW type object, for the module entry.
#pragma once

#include <Python.h>

namespace ombrix::py {

// The PyHNSW type object (borrowed), created on first call; nullptr with an
// exception set on failure.
PyObject* hnsw_type();

}  // namespace ombrix::py
