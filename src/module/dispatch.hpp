// How a call from Python reaches the engine. Every method is one row
// (MethodInfo): its parameters, the access it takes, how its arguments are
// converted, and a thin run function; one call sequence serves them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "module/access.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/module_state.hpp"
#include "module/python.hpp"
#include "module/simulator_object.hpp"

namespace lumora::py {

// How a method's arguments are converted before it runs.
enum class Params : std::uint8_t {
    indices,    // each a qubit index
    qubit_set,  // one set of qubit indices
    objects,    // passed as they are (null when an optional one is left out)
};

// The converted arguments of one call.
struct CallArgs {
    std::size_t index[kMaxParams];
    std::vector<std::size_t> qubits;     // only for a qubit set
    PyObject* objects[kMaxParams] = {};  // borrowed
};

// One row of a method table. Instance methods have `run` and take `access`
// to the simulator; class methods (and the constructor) have `on_class`,
// which receives the class.
struct MethodInfo {
    CallableDesc desc;
    Access access;
    Params params;
    PyObject* (*run)(Simulator& sim, CallArgs& args);
    PyObject* (*on_class)(PyTypeObject* type, CallArgs& args);
    const char* doc;
};

namespace detail {

inline bool convert_args(const MethodInfo& m, PyObject* const* params, CallArgs& out) {
    if (m.params == Params::qubit_set) {
        return extract_index_set(params[0], m.desc.params[0], &out.qubits);
    }
    if (m.params == Params::objects) {
        for (Py_ssize_t i = 0; i < m.desc.param_count; ++i) {
            out.objects[i] = params[i];
        }
        return true;
    }
    for (Py_ssize_t i = 0; i < m.desc.param_count; ++i) {
        if (!extract_index(params[i], m.desc.params[i], &out.index[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace detail

// The call sequence: bind the arguments, check the receiver, take access,
// convert, run, release. Never throws: C++ failures become Python errors.
// Inline, so that each method's entry folds its own row into it.
inline PyObject* invoke(const MethodInfo& m, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* bound[kMaxParams] = {};
    PyObject* const* params = args;
    if (kwnames != nullptr || nargs != m.desc.param_count || !m.desc.plain()) {
        if (!bind_fastcall(m.desc, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        params = bound;
    }
    if (m.on_class != nullptr) {
        return guarded([&]() -> PyObject* {
            CallArgs converted;
            if (!detail::convert_args(m, params, converted)) {
                return nullptr;
            }
            return m.on_class(reinterpret_cast<PyTypeObject*>(self), converted);
        });
    }
    if (!PyObject_TypeCheck(self, module_state().simulator)) {
        raise_cannot_cast(self, "Lumora");
        return nullptr;
    }
    auto* object = reinterpret_cast<SimulatorObject*>(self);
    AccessLease lease(object->access, m.access);
    if (!lease.held()) {
        PyErr_SetString(PyExc_RuntimeError, lease.refusal());
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        CallArgs converted;
        if (!detail::convert_args(m, params, converted)) {
            return nullptr;
        }
        return m.run(object->sim, converted);
    });
}

// The same for the constructor, from an argument tuple and keyword dict.
PyObject* invoke_new(const MethodInfo& m, PyTypeObject* type, PyObject* args,
                     PyObject* kwargs) noexcept;

template <const MethodInfo& M>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(M, self, args, nargs, kwnames);
}

template <const MethodInfo& M>
PyMethodDef method_row() {
    return {M.desc.function_name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<M>)),
            METH_FASTCALL | METH_KEYWORDS | (M.on_class != nullptr ? METH_CLASS : 0), M.doc};
}

}  // namespace lumora::py
