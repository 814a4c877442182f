// Binding call arguments to parameters and converting them to qubit
// indices, with the error messages users see.
#pragma once

#include <cstddef>
#include <vector>

#include "module/python.hpp"

namespace lumora::py {

// Every callable here has only required positional-or-keyword parameters.
struct CallableDesc {
    const char* class_name;  // may be null
    const char* function_name;
    const char* const* params;
    Py_ssize_t param_count;
};

inline constexpr Py_ssize_t kMaxParams = 2;

// Fills slots[0..param_count) with borrowed references, from a fast call
// (positional array, keyword values following it, names in kwnames).
bool bind_fastcall(const CallableDesc& desc, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots);

// The same from an argument tuple and keyword dict (the constructor).
bool bind_tuple_dict(const CallableDesc& desc, PyObject* args, PyObject* kwargs, PyObject** slots);

// An int (or an object with __index__) as an unsigned machine-size integer.
// A TypeError is re-raised naming the parameter; other errors pass as they are.
bool extract_index(PyObject* object, const char* param, std::size_t* out);

// A set or frozenset (or a subclass) of such integers, without duplicates,
// in iteration order.
bool extract_index_set(PyObject* object, const char* param, std::vector<std::size_t>* out);

}  // namespace lumora::py
