#include "module/faults.hpp"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>

#include "engine/engine.hpp"
#include "module/binding.hpp"
#include "module/gil.hpp"
#include "module/module_state.hpp"
#include "module/simulator.hpp"

namespace lumora::py {

// Counts one allocation; false when it must fail.
bool allocation_permitted() noexcept {
    // Only the module's own C++ allocations count.
    std::atomic<long>& allocations_left = module_state().allocations_left;
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
PyObject* run_inject_faults(PyTypeObject* /*type*/, CallArgs& args) {
    long allocations;
    long polls;
    if (!count_argument(args.objects[0], "allocations", &allocations) ||
        !count_argument(args.objects[1], "polls", &polls)) {
        return nullptr;
    }
    // While interrupts are injected, long operations check at every step.
    set_poll_every_step(polls >= 0);
    module_state().polls_left = polls;
    module_state().allocations_left.store(allocations, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

}  // namespace

bool faults_armed() noexcept {
    const ModuleState& state = module_state();
    return state.polls_left >= 0 || state.allocations_left.load(std::memory_order_relaxed) >= 0;
}

bool interrupt_requested() {
    return with_gil([] {
        // Read and written with the interpreter lock held.
        long& polls_left = module_state().polls_left;
        if (polls_left >= 0 && polls_left-- == 0) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            return true;
        }
        return PyErr_CheckSignals() != 0;
    });
}

constexpr MethodInfo m_inject_faults{
    {"Lumora", "_inject_faults", kFaultParams, 2, 0, 0},
    Access::shared,
    Params::objects,
    nullptr,
    &run_inject_faults,
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

// The other forms, so that every allocation the module makes (the standard
// library's temporary buffers ask for nothrow ones) is counted and comes back
// to the free above, not to an allocator of another library.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (!lumora::py::allocation_permitted()) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
}

void operator delete[](void* p) noexcept {
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#endif
