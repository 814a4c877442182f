#include "module/binding.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/engine.hpp"
#include "module/errors.hpp"
#include "module/faults.hpp"

namespace lumora::py {

namespace {

std::string full_name(const CallableDesc& desc) {
    std::string name;
    if (desc.class_name != nullptr) {
        name += desc.class_name;
        name += '.';
    }
    name += desc.function_name;
    name += "()";
    return name;
}

bool too_many_positional(const CallableDesc& desc, Py_ssize_t nargs) {
    const Py_ssize_t most = desc.positional_count();
    if (nargs <= most) {
        return false;
    }
    const Py_ssize_t least = std::min(desc.required_count(), most);
    if (least < most) {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zd to %zd positional arguments but %zd %s given",
                     full_name(desc).c_str(), least, most, nargs, nargs == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     full_name(desc).c_str(), most, nargs, nargs == 1 ? "was" : "were");
    }
    return true;
}

// Matches one keyword argument by its UTF-8 name against the parameters.
bool bind_keyword(const CallableDesc& desc, PyObject* name, PyObject* value, PyObject** slots) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (text == nullptr) {
        // A name that cannot be encoded matches no parameter.
        PyErr_Clear();
    } else {
        for (Py_ssize_t i = 0; i < desc.param_count; ++i) {
            const char* param = desc.params[i];
            if (std::strlen(param) == static_cast<std::size_t>(length) &&
                std::memcmp(param, text, static_cast<std::size_t>(length)) == 0) {
                if (slots[i] != nullptr) {
                    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                                 full_name(desc).c_str(), param);
                    return false;
                }
                slots[i] = value;
                return true;
            }
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 full_name(desc).c_str(), name);
    return false;
}

bool all_given(const CallableDesc& desc, PyObject* const* slots) {
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < desc.required_count(); ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(desc.params[i]);
        }
    }
    if (missing.empty()) {
        return true;
    }
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                names += " and ";
            } else if (i + 1 == missing.size()) {
                names += ", and ";
            } else {
                names += ", ";
            }
        }
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 full_name(desc).c_str(), missing.size(), missing.size() == 1 ? "" : "s",
                 names.c_str());
    return false;
}

// Rewrites a TypeError raised while converting the argument of `param`.
void name_argument_in_error(const char* param) {
    PyObject* raised = take_raised_exception();
    if (raised == nullptr) {
        return;
    }
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_raised_exception(raised);
        return;
    }
    Ref original(raised);
    Ref text(PyObject_Str(original.get()));
    if (!text) {
        return;
    }
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) {
        return;
    }
    Ref renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) {
        return;
    }
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(renamed.get(), cause);
    }
    PyErr_SetObject(PyExc_TypeError, renamed.get());
}

bool convert_index(PyObject* object, std::size_t* out) {
    if (small_index(object, out)) {
        return true;
    }
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index(PyNumber_Index(object));
        if (!index) {
            return false;
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    if constexpr (SIZE_MAX < ULLONG_MAX) {
        if (value > SIZE_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    *out = static_cast<std::size_t>(value);
    return true;
}

}  // namespace

bool bind_fastcall(const CallableDesc& desc, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots) {
    if (too_many_positional(desc, nargs)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(desc, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) {
            return false;
        }
    }
    return all_given(desc, slots);
}

bool bind_tuple_dict(const CallableDesc& desc, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (too_many_positional(desc, nargs)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (!bind_keyword(desc, name, value, slots)) {
                return false;
            }
        }
    }
    return all_given(desc, slots);
}

bool extract_index(PyObject* object, const char* param, std::size_t* out) {
    if (convert_index(object, out)) {
        return true;
    }
    name_argument_in_error(param);
    return false;
}

PyObject* extract_big_index(PyObject* object, const char* param) {
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) {
        name_argument_in_error(param);
    }
    return index;
}

bool extract_index_set(PyObject* object, const char* param, std::vector<std::size_t>* out,
                       bool any_iterable, std::size_t bound) {
    if (!any_iterable && !PyAnySet_Check(object)) {
        raise_cannot_cast(object, "set");
        name_argument_in_error(param);
        return false;
    }
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) {
        name_argument_in_error(param);
        return false;
    }
    // Distinct objects can still name the same qubit through __index__.
    FlatIndexSet seen;
    for (std::size_t step = 0;; ++step) {
        Ref item{PyIter_Next(iterator.get())};
        if (!item) {
            break;
        }
        std::size_t q;
        if (!convert_index(item.get(), &q)) {
            name_argument_in_error(param);
            return false;
        }
        if (bound != SIZE_MAX && q >= bound) {
            raise_panic(index_message(bound, q).c_str());
            return false;
        }
        if (seen.insert(q)) {
            out->push_back(q);
        }
        if (interrupted_at(step)) {
            return false;
        }
    }
    if (PyErr_Occurred()) {
        name_argument_in_error(param);
        return false;
    }
    return true;
}

}  // namespace lumora::py
