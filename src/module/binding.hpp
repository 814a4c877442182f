// Binding call arguments to parameters and converting them to qubit
// indices, with the error messages users see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "module/python.hpp"

namespace lumora::py {

// The parameters: the first `positional` may be given by position (the
// rest only by keyword), the first `required` must be given; -1 means all.
struct CallableDesc {
    const char* class_name;  // may be null
    const char* function_name;
    const char* const* params;
    Py_ssize_t param_count;
    Py_ssize_t positional = -1;
    Py_ssize_t required = -1;

    constexpr Py_ssize_t positional_count() const {
        return positional < 0 ? param_count : positional;
    }
    constexpr Py_ssize_t required_count() const { return required < 0 ? param_count : required; }
    // Whether a call with exactly `param_count` positional arguments and no
    // keywords binds as it stands.
    constexpr bool plain() const { return positional_count() == param_count; }
};

inline constexpr Py_ssize_t kMaxParams = 2;

// Fills slots[0..param_count) with borrowed references, from a fast call
// (positional array, keyword values following it, names in kwnames);
// optional parameters not given stay null.
bool bind_fastcall(const CallableDesc& desc, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);

// The same from an argument tuple and keyword dict (the constructor).
bool bind_tuple_dict(const CallableDesc& desc, PyObject* args, PyObject* kwargs, PyObject** slots);

// An int (or an object with __index__) as an unsigned machine-size integer.
// A TypeError is re-raised naming the parameter; other errors pass as they are.
bool extract_index(PyObject* object, const char* param, std::size_t* out);

// A set or frozenset (or a subclass) of such integers, without duplicates,
// in iteration order; any iterable when `any_iterable`. Each index is
// checked against `bound` (the register size) as it is converted: the
// first one at or above it fails with the engine's index failure. Long
// iterables are checked for interrupts as they are read. SIZE_MAX: no bound.
bool extract_index_set(PyObject* object, const char* param, std::vector<std::size_t>* out,
                       bool any_iterable = false, std::size_t bound = SIZE_MAX);

// An int (or an object with __index__) of any size, as a new reference to
// an int; a TypeError is re-raised naming the parameter.
PyObject* extract_big_index(PyObject* object, const char* param);

}  // namespace lumora::py
