#include "module/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "circuit/errors.hpp"
#include "engine/engine.hpp"
#include "module/module_state.hpp"

namespace lumora::py {

namespace {

constexpr const char kPanicDoc[] =
    "Raised when the native code of an extension module fails during a call from Python.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "usually propagates all the way up the stack and makes the interpreter exit.";

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

PyObject* panic_exception_type() {
    PyObject*& panic = module_state().panic;
    if (panic == nullptr) {
        panic = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                          PyExc_BaseException, nullptr);
        if (panic == nullptr) {
            abort_at_boundary();
        }
    }
    return panic;
}

}  // namespace

void raise_panic(const char* message) {
    std::fprintf(stderr, "lumora: native code failed: %s\n", message);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    Ref text(PyUnicode_FromString(message));
    if (!text) {
        return;
    }
    PyErr_SetObject(type, text.get());
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const SameQubitError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const InvalidData& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const NotAUnionOfGroups& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const circuit::ParseError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const circuit::CircuitError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const SizeLimitError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const OutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const Interrupted&) {
        // The interrupt check has normally set the Python error already.
        if (!PyErr_Occurred()) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    } catch (const EngineFailure& e) {
        raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        abort_at_boundary();
    }
}

void raise_cannot_cast(PyObject* object, const char* target) {
    Ref name(type_qualname(Py_TYPE(object)));
    if (!name) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), target);
}

}  // namespace lumora::py
