// The one place that includes Python.h, and the few C API differences
// between the supported interpreter versions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumora::py {

// Owns one reference and releases it on every path.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref moved(std::move(other));
        std::swap(p_, moved.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

// The qualified name of a type, as a new reference.
inline PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

// The value of an exact int that fits one machine word and is not
// negative, read without a call; false for anything else (the caller then
// takes the general conversion).
inline bool small_index(PyObject* object, std::size_t* out) {
    if (!PyLong_CheckExact(object)) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(object);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
    if (value < 0) {
        return false;
    }
    *out = static_cast<std::size_t>(value);
    return true;
#else
    const Py_ssize_t size = Py_SIZE(object);
    if (size != 0 && size != 1) {
        return false;
    }
    *out = size == 0 ? 0 : reinterpret_cast<PyLongObject*>(object)->ob_digit[0];
    return true;
#endif
}

// Takes the raised exception, normalised, out of the error indicator.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises an exception object again; steals the reference.
inline void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

}  // namespace lumora::py
