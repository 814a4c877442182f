#include "module/gil.hpp"

#include "module/access.hpp"

namespace lumora::py {

PyThreadState*& released_thread_state() noexcept {
    thread_local PyThreadState* saved = nullptr;
    return saved;
}

WithoutGil::WithoutGil() noexcept {
    // A fork meanwhile must not free what this thread is changing.
    mark_leases_detached(true);
    released_thread_state() = PyEval_SaveThread();
}

WithoutGil::~WithoutGil() {
    PyThreadState*& saved = released_thread_state();
    PyEval_RestoreThread(saved);
    saved = nullptr;
    mark_leases_detached(false);
}

}  // namespace lumora::py
