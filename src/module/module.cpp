// The extension module's entry point.
#include <atomic>
#include <cstdint>

#include "module/circuits.hpp"
#include "module/errors.hpp"
#include "module/module_state.hpp"
#include "module/python.hpp"
#include "module/samplers.hpp"
#include "module/simulator.hpp"
#include "module/values.hpp"

namespace lumora::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumora",
    "Graph-state based quantum circuit simulator exposed as the `lumora` Python module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) {
        return false;
    }
    Ref all_name(PyUnicode_InternFromString("__all__"));
    if (!all_name) {
        return false;
    }
    Ref all(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) {
            return false;
        }
    } else if (!PyList_Check(all.get())) {
        raise_cannot_cast(all.get(), "list");
        return false;
    }
    Ref class_name(PyUnicode_InternFromString(name));
    return class_name && PyList_Append(all.get(), class_name.get()) == 0 &&
           PyObject_SetAttr(module, class_name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    // The module keeps process-wide objects, so no other interpreter may
    // use it.
    ModuleState& kept = module_state();
    std::int64_t expected = -1;
    if (!kept.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "lumora does not support sub-interpreters: it can only be used from "
                        "the interpreter that first imported it");
        return nullptr;
    }
    if (kept.module != nullptr) {
        return Py_NewRef(kept.module);
    }
    Ref module(PyModule_Create(&module_def));
    if (!module || !add_class(module.get(), "MeasurementResult", measurement_result_type()) ||
        !add_class(module.get(), "Outcome", outcome_type()) ||
        !add_class(module.get(), "Axis", axis_type()) ||
        !add_class(module.get(), "Lumora", simulator_type()) ||
        !add_class(module.get(), "Circuit", circuit_type()) ||
        !add_class(module.get(), "GateTarget", gate_target_type()) ||
        !add_class(module.get(), "CircuitInstruction", circuit_instruction_type()) ||
        !add_class(module.get(), "CircuitRepeatBlock", circuit_repeat_block_type()) ||
        !add_class(module.get(), "CircuitIfBlock", circuit_if_block_type()) ||
        !add_class(module.get(), "MeasurementSampler", measurement_sampler_type()) ||
        !add_class(module.get(), "DetectorSampler", detector_sampler_type())) {
        return nullptr;
    }
    if (PyModule_AddStringConstant(module.get(), "__version__", LUMORA_VERSION) < 0) {
        return nullptr;
    }
    kept.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace lumora::py

PyMODINIT_FUNC PyInit_lumora() {
    return lumora::py::guarded([] { return lumora::py::init_module(); });
}
