#include "module/values.hpp"

#include <new>
#include <string>

#include "module/access.hpp"
#include "module/errors.hpp"
#include "module/module_state.hpp"

namespace lumora::py {

namespace {

// MeasurementResult and Axis: one member byte and an access counter.
struct EnumObject {
    PyObject_HEAD std::uint8_t value;
    AccessCounter access;
};

struct OutcomeObject {
    PyObject_HEAD std::uint8_t result;
    std::uint8_t axis;
};

struct EnumClass {
    const char* class_name;
    const char* qualified_name;
    const char* doc;
    const char* const* members;  // indexed by member byte
    std::uint8_t member_count;
    PyTypeObject* ModuleState::* type;  // where the class is kept
};

constexpr const char* kResultMembers[] = {"PlusOne", "MinusOne"};
constexpr const char* kAxisMembers[] = {"X", "Y", "Z"};
constexpr const char* kResultTexts[] = {"+1", "-1"};

EnumClass result_class{"MeasurementResult",
                       "lumora.MeasurementResult",
                       "Result of a single-qubit measurement.\n\nExposed to Python as "
                       "`lumora.MeasurementResult`.",
                       kResultMembers,
                       2,
                       &ModuleState::measurement_result};
EnumClass axis_class{"Axis", "lumora.Axis", nullptr, kAxisMembers, 3, &ModuleState::axis};

void value_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* alloc_member(PyTypeObject* type, std::uint8_t value) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object != nullptr) {
        auto* member = reinterpret_cast<EnumObject*>(object);
        member->value = value;
        new (&member->access) AccessCounter(0);
    }
    return object;
}

// Reads a member under shared access, as every special method does.
template <class Read>
PyObject* read_member(PyObject* self, Read read) {
    auto* member = reinterpret_cast<EnumObject*>(self);
    AccessLease lease(member->access, Access::shared);
    if (!lease.held()) {
        PyErr_SetString(PyExc_RuntimeError, lease.refusal());
        return nullptr;
    }
    return read(member->value);
}

template <EnumClass& C>
PyObject* enum_repr(PyObject* self) {
    return read_member(self, [](std::uint8_t value) {
        return PyUnicode_FromFormat("%s.%s", C.class_name, C.members[value]);
    });
}

PyObject* enum_int(PyObject* self) {
    return read_member(self, [](std::uint8_t value) { return PyLong_FromLong(value); });
}

PyObject* comparison_result(int op, Py_ssize_t left, Py_ssize_t right) {
    if (op == Py_EQ) {
        return PyBool_FromLong(left == right);
    }
    if (op == Py_NE) {
        return PyBool_FromLong(left != right);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// Members equal members of the same class with the same byte, and integers
// equal to their byte. Everything else, ordering included, is left to the
// interpreter (identity for ==, TypeError for <).
template <EnumClass& C>
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    PyTypeObject* type = module_state().*C.type;
    if (!PyObject_TypeCheck(self, type)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    auto* member = reinterpret_cast<EnumObject*>(self);
    AccessLease lease(member->access, Access::shared);
    if (!lease.held() || op > Py_GE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const Py_ssize_t value = member->value;
    if (PyObject_TypeCheck(other, type)) {
        auto* other_member = reinterpret_cast<EnumObject*>(other);
        AccessLease other_lease(other_member->access, Access::shared);
        if (!other_lease.held()) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        return comparison_result(op, value, other_member->value);
    }
    Ref index(PyNumber_Index(other));
    if (!index) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    const Py_ssize_t number = PyLong_AsSsize_t(index.get());
    if (number == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return comparison_result(op, number, value);
}

// Pickled as the class attribute it equals (results are new objects, so
// pickle's by-name path, which wants the very object, does not apply).
template <EnumClass& C>
PyObject* enum_reduce(PyObject* self, PyObject*) {
    return read_member(self, [self](std::uint8_t value) -> PyObject* {
        Ref builtins(PyImport_ImportModule("builtins"));
        if (!builtins) {
            return nullptr;
        }
        Ref getattr_function(PyObject_GetAttrString(builtins.get(), "getattr"));
        if (!getattr_function) {
            return nullptr;
        }
        return Py_BuildValue("(O(Os))", getattr_function.get(),
                             reinterpret_cast<PyObject*>(Py_TYPE(self)), C.members[value]);
    });
}

template <EnumClass& C>
PyMethodDef enum_methods[] = {
    {"__reduce__", &enum_reduce<C>, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nSupport for pickle: the member, by name."},
    {nullptr, nullptr, 0, nullptr},
};

template <EnumClass& C>
PyTypeObject* enum_type() {
    PyTypeObject*& kept = module_state().*C.type;
    if (kept != nullptr) {
        return kept;
    }
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&enum_repr<C>)},
        {Py_nb_int, reinterpret_cast<void*>(&enum_int)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare<C>)},
        {Py_tp_methods, enum_methods<C>},
        // Last before the end marker: without a docstring it ends the list.
        {C.doc != nullptr ? Py_tp_doc : 0, const_cast<char*>(C.doc)},
        {0, nullptr},
    };
    PyTypeObject* type = create_type(C.qualified_name, C.class_name, sizeof(EnumObject),
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
    if (type == nullptr) {
        return nullptr;
    }
    // The class attributes are made once and shared by every access.
    for (std::uint8_t i = 0; i < C.member_count; ++i) {
        Ref member(alloc_member(type, i));
        if (!member || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), C.members[i],
                                              member.get()) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    kept = type;
    return type;
}

PyObject* outcome_result(PyObject* self, void*) {
    return new_measurement_result(reinterpret_cast<OutcomeObject*>(self)->result);
}

PyObject* outcome_axis(PyObject* self, void*) {
    return new_axis(reinterpret_cast<OutcomeObject*>(self)->axis);
}

PyObject* outcome_str(PyObject* self) {
    if (!PyObject_TypeCheck(self, module_state().outcome)) {
        raise_cannot_cast(self, "Outcome");
        return nullptr;
    }
    auto* outcome = reinterpret_cast<OutcomeObject*>(self);
    return PyUnicode_FromFormat("(%s, %s)", kAxisMembers[outcome->axis],
                                kResultTexts[outcome->result]);
}

// Pickled as its result and axis, rebuilt by Outcome._rebuild.
PyObject* outcome_reduce(PyObject* self, PyObject*) {
    auto* outcome = reinterpret_cast<OutcomeObject*>(self);
    Ref rebuild(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_rebuild"));
    if (!rebuild) {
        return nullptr;
    }
    return Py_BuildValue("(O(ii))", rebuild.get(), outcome->result, outcome->axis);
}

PyObject* outcome_rebuild(PyObject* /*type*/, PyObject* args) {
    int result = 0;
    int axis = 0;
    if (!PyArg_ParseTuple(args, "ii:_rebuild", &result, &axis)) {
        return nullptr;
    }
    if (result < 0 || result > 1 || axis < 0 || axis > 2) {
        PyErr_Format(PyExc_ValueError, "no Outcome has result %d and axis %d", result, axis);
        return nullptr;
    }
    return new_outcome(static_cast<std::uint8_t>(result), static_cast<std::uint8_t>(axis));
}

PyMethodDef outcome_methods[] = {
    {"__reduce__", &outcome_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nSupport for pickle: the result and the axis."},
    {"_rebuild", &outcome_rebuild, METH_VARARGS | METH_CLASS,
     "_rebuild($type, result, axis, /)\n--\n\nThe Outcome of a result bit (0 for +1) and an "
     "axis code (0 X, 1 Y, 2 Z): what pickle calls to load."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef outcome_properties[] = {
    {"result", &outcome_result, nullptr, nullptr, nullptr},
    {"axis", &outcome_axis, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_type(const char* qualified_name, const char* class_name, int basic_size,
                          unsigned int flags, PyType_Slot* slots) {
    PyType_Spec type_spec{qualified_name, basic_size, 0, flags, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        raise_panic((std::string("failed to create type object for ") + class_name).c_str());
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* measurement_result_type() {
    return enum_type<result_class>();
}

PyTypeObject* axis_type() {
    return enum_type<axis_class>();
}

PyTypeObject* outcome_type() {
    PyTypeObject*& kept = module_state().outcome;
    if (kept != nullptr) {
        return kept;
    }
    static const char doc[] =
        "Measurement outcome and the axis that was measured.\n\nReturned in the values of "
        "`peek_measure_set`.";
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc)},
        {Py_tp_getset, outcome_properties},
        {Py_tp_methods, outcome_methods},
        {Py_tp_str, reinterpret_cast<void*>(&outcome_str)},
        {0, nullptr},
    };
    kept = create_type("lumora.Outcome", "Outcome", sizeof(OutcomeObject),
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
    return kept;
}

PyObject* new_measurement_result(std::uint8_t bit) {
    PyTypeObject* type = measurement_result_type();
    return type == nullptr ? nullptr : alloc_member(type, bit);
}

void set_measurement_result(PyObject* result, std::uint8_t bit) noexcept {
    reinterpret_cast<EnumObject*>(result)->value = bit;
}

PyObject* new_axis(std::uint8_t axis) {
    PyTypeObject* type = axis_type();
    return type == nullptr ? nullptr : alloc_member(type, axis);
}

PyObject* new_outcome(std::uint8_t bit, std::uint8_t axis) {
    PyTypeObject* type = outcome_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (object != nullptr) {
        auto* outcome = reinterpret_cast<OutcomeObject*>(object);
        outcome->result = bit;
        outcome->axis = axis;
    }
    return object;
}

PyObject* new_zeroed_array(std::uint64_t rows, std::uint64_t columns, bool two_dimensional,
                           const char* dtype, std::uint8_t** data) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return nullptr;
    }
    Ref shape(two_dimensional ? Py_BuildValue("(KK)", static_cast<unsigned long long>(rows),
                                              static_cast<unsigned long long>(columns))
                              : Py_BuildValue("(K)", static_cast<unsigned long long>(rows)));
    if (!shape) {
        return nullptr;
    }
    Ref array(PyObject_CallMethod(numpy.get(), "zeros", "Os", shape.get(), dtype));
    if (!array) {
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    *data = static_cast<std::uint8_t*>(view.buf);
    PyBuffer_Release(&view);  // the array keeps its memory; nothing else holds it
    return array.release();
}

}  // namespace lumora::py
