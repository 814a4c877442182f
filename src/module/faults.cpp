#include "module/faults.hpp"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>

#include "engine/failure.hpp"
#include "engine/neighbor_set.hpp"
#include "module/binding.hpp"

namespace lumora::py {

namespace {

// Allocations still allowed before every further one fails, as when memory
// runs out; -1: no limit. Only the module's own C++ allocations count.
std::atomic<long> allocations_left{-1};

// Interrupt checks still passed before one requests an interrupt; -1: none.
// Read and written with the interpreter lock held.
long polls_left = -1;
std::uint32_t saved_poll_interval = 0;
std::size_t saved_poll_slice = 0;

}  // namespace

// Counts one allocation; false when it must fail.
bool allocation_permitted() noexcept {
    long left = allocations_left.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) {
            return false;
        }
        if (allocations_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            break;
        }
    }
    return true;
}

namespace {

// An optional non-negative count: -1 for None.
bool count_argument(PyObject* value, const char* name, long* out) {
    *out = -1;
    if (value == nullptr || value == Py_None) {
        return true;
    }
    std::size_t count;
    if (!extract_index(value, name, &count)) {
        return false;
    }
    *out = count > static_cast<std::size_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(count);
    return true;
}

constexpr const char* kFaultParams[] = {"allocations", "polls"};
constexpr CallableDesc kInjectFaults{"Lumora", "_inject_faults", kFaultParams, 2, 0, 0};

PyObject* inject_faults(PyObject* /*type*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* bound[2] = {};
    long allocations;
    long polls;
    if (!bind_fastcall(kInjectFaults, args, nargs, kwnames, bound) ||
        !count_argument(bound[0], "allocations", &allocations) ||
        !count_argument(bound[1], "polls", &polls)) {
        return nullptr;
    }
    // While interrupts are injected, long operations check at every step.
    if (polls >= 0 && saved_poll_interval == 0) {
        saved_poll_interval = store_limits.poll_interval;
        saved_poll_slice = poll_slice;
        store_limits.poll_interval = 1;
        poll_slice = 1;
    } else if (polls < 0 && saved_poll_interval != 0) {
        store_limits.poll_interval = saved_poll_interval;
        poll_slice = saved_poll_slice;
        saved_poll_interval = 0;
    }
    polls_left = polls;
    allocations_left.store(allocations, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

}  // namespace

bool faults_armed() noexcept {
    return polls_left >= 0 || allocations_left.load(std::memory_order_relaxed) >= 0;
}

bool interrupt_requested() {
    if (polls_left >= 0 && polls_left-- == 0) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return true;
    }
    return PyErr_CheckSignals() != 0;
}

PyMethodDef inject_faults_method = {
    "_inject_faults", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&inject_faults)),
    METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
    "_inject_faults($type, /, *, allocations=None, polls=None)\n--\n\nFor lumora's own tests: "
    "from now on the first `allocations` C++ allocations of the module succeed and every later "
    "one fails; the first `polls` interrupt checks pass and the next one raises "
    "KeyboardInterrupt, long operations checking at every step meanwhile. None (the default) "
    "turns either off."};

}  // namespace lumora::py

// The module's C++ allocations, countable by the fault injection above. The
// module's link keeps these local to it (see CMakeLists.txt), so that they
// replace nothing outside it.
#if defined(__linux__)
void* operator new(std::size_t size) {
    if (!lumora::py::allocation_permitted()) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

// The replacements pair malloc with free; the compiler cannot see that the
// two replacements belong together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#endif
