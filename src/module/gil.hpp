// Long engine work runs without the interpreter lock, so that threads with
// simulators of their own run in parallel. The simulator stays held by the
// call (its access counter), and the interrupt checks take the lock back
// for the moment they ask Python whether a signal arrived.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/python.hpp"

namespace lumora::py {

// While it lives, this thread runs without the interpreter lock; no Python
// object may be touched meanwhile.
class WithoutGil {
public:
    WithoutGil() noexcept;
    ~WithoutGil();
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
};

// Runs f with the lock held again when this thread has let it go, and
// simply runs it otherwise.
template <class F>
decltype(auto) with_gil(F&& f);

// Runs f without the lock when the work is long enough to pay for letting
// it go (a few hundred nanoseconds); single gates on small neighbourhoods
// keep it.
template <class F>
decltype(auto) long_work(bool is_long, F&& f) {
    if (!is_long) {
        return f();
    }
    WithoutGil released;
    return f();
}

// Sizes from which work runs without the lock: neighbourhoods of a gate or
// measurement, qubits of a register walked whole, qubits of a preview.
inline constexpr std::uint32_t kLongDegree = 1024;
inline constexpr std::size_t kLongRegister = std::size_t{1} << 14;
inline constexpr std::size_t kLongPreview = 64;

// Whether this thread has let the lock go (and the state it saved).
PyThreadState*& released_thread_state() noexcept;

template <class F>
decltype(auto) with_gil(F&& f) {
    PyThreadState*& saved = released_thread_state();
    if (saved == nullptr) {
        return f();
    }
    PyThreadState* state = saved;
    saved = nullptr;
    PyEval_RestoreThread(state);
    struct Again {
        PyThreadState*& saved;
        ~Again() { saved = PyEval_SaveThread(); }
    } again{saved};
    return f();
}

}  // namespace lumora::py
