#include "engine/failure.hpp"

#include <atomic>

#include "engine/neighbor_set.hpp"

namespace lumora {

namespace {

std::atomic<bool (*)()> interrupt_check{nullptr};

// The usual intervals, kept while every step checks; 0 when not.
std::uint32_t saved_poll_interval = 0;
std::size_t saved_poll_slice = 0;

}  // namespace

std::string index_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

void fail_index(std::size_t len, std::size_t index) {
    throw EngineFailure(index_message(len, index));
}

void set_interrupt_check(bool (*check)()) noexcept {
    interrupt_check.store(check, std::memory_order_relaxed);
}

namespace {
thread_local const std::atomic<bool>* thread_stop = nullptr;
}  // namespace

void set_thread_stop_flag(const std::atomic<bool>* stop) noexcept {
    thread_stop = stop;
}

void poll_interrupt() {
    if (thread_stop != nullptr) {
        if (thread_stop->load(std::memory_order_relaxed)) {
            throw Interrupted();
        }
        return;
    }
    bool (*check)() = interrupt_check.load(std::memory_order_relaxed);
    if (check != nullptr && check()) {
        throw Interrupted();
    }
}

void set_poll_every_step(bool on) noexcept {
    if (on && saved_poll_interval == 0) {
        saved_poll_interval = store_limits.poll_interval;
        saved_poll_slice = poll_slice;
        store_limits.poll_interval = 1;
        poll_slice = 1;
    } else if (!on && saved_poll_interval != 0) {
        store_limits.poll_interval = saved_poll_interval;
        poll_slice = saved_poll_slice;
        saved_poll_interval = 0;
    }
}

void unreachable(const char* what) {
    throw EngineFailure(std::string("internal error: entered unreachable code: ") + what);
}

}  // namespace lumora
