// How failures cross the boundary: engine failures become PanicException,
// other C++ exceptions their closest Python error.
#pragma once

#include "module/python.hpp"

namespace lumora::py {

// Raises PanicException(message) and writes a diagnostic to stderr.
void raise_panic(const char* message);

// Translates the C++ exception being handled into a Python error. Call it
// only from inside a catch block.
void raise_current_exception() noexcept;

// TypeError "'{qualified type name}' object cannot be cast as '{target}'".
void raise_cannot_cast(PyObject* object, const char* target);

// Runs body (which returns a new reference or nullptr with an error set)
// and turns any C++ exception it throws into a Python error.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace lumora::py
