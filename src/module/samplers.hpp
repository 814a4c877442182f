// The sampler classes, MeasurementSampler and DetectorSampler, which
// Circuit.compile_sampler and Circuit.compile_detector_sampler return.
#pragma once

#include "module/python.hpp"

namespace lumora::py {

// Circuit.compile_sampler(*, seed=None) and
// Circuit.compile_detector_sampler(*, seed=None), for the Circuit `self`.
PyObject* circuit_compile_sampler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* circuit_compile_detector_sampler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);

// Each returns the class, creating it at its first use in the process;
// nullptr with an error set when it cannot be created.
PyTypeObject* measurement_sampler_type();
PyTypeObject* detector_sampler_type();

}  // namespace lumora::py
