#pragma once

#include <Python.h>

namespace ombrix::py {

// The PyFlat type object (borrowed), created on first call; nullptr with an
// exception set on failure.
PyObject* flat_type();

}  // namespace ombrix::py
