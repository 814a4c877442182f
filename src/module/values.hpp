// The result classes MeasurementResult, Axis and Outcome.
#pragma once

#include <cstdint>

#include "module/python.hpp"

namespace lumora::py {

// Each returns the class, creating it at its first use in the process;
// nullptr with an error set when it cannot be created.
PyTypeObject* measurement_result_type();
PyTypeObject* axis_type();
PyTypeObject* outcome_type();

// New instances; nullptr with an error set on failure.
PyObject* new_measurement_result(std::uint8_t bit);
PyObject* new_axis(std::uint8_t axis);
PyObject* new_outcome(std::uint8_t bit, std::uint8_t axis);

// Sets the bit of a MeasurementResult made by new_measurement_result() and
// not yet seen by Python code.
void set_measurement_result(PyObject* result, std::uint8_t bit) noexcept;

// A new numpy array of zeros of the given shape (one or two dimensions,
// `columns` 0 for one) and dtype ("bool", "uint8"), and where its memory
// is: numpy's, which C++ may write without the interpreter lock while
// nothing else holds the array.
PyObject* new_zeroed_array(std::uint64_t rows, std::uint64_t columns, bool two_dimensional,
                           const char* dtype, std::uint8_t** data);

// Creates a heap type from its slots; a failure is reported as the panic
// "failed to create type object for" and the class name.
PyTypeObject* create_type(const char* qualified_name, const char* class_name, int basic_size,
                          unsigned int flags, PyType_Slot* slots);

}  // namespace lumora::py
