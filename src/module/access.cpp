#include "module/access.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace lumora::py {

void register_fork_handler() noexcept {
#if defined(__unix__) || defined(__APPLE__)
    static const int registered = ::pthread_atfork(nullptr, nullptr, &carry_leases_into_child);
    static_cast<void>(registered);
#endif
}

// In the child, on the thread that forked: a new generation, in which this
// thread's leases hold again what they held; everything else is free, and
// the leases of threads the child does not have leave the list.
void carry_leases_into_child() noexcept {
    ModuleState& state = module_state();
    const std::uint32_t generation =
        state.fork_generation.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::thread::id self = std::this_thread::get_id();
    AccessLease* kept = nullptr;
    for (AccessLease* lease = state.leases; lease != nullptr;) {
        AccessLease* next = lease->next_;
        if (lease->owner_ != self && lease->detached_) {
            // Another thread was changing this object without the lock: its
            // half-done state is never readable in the child.
            lease->counter_.store(std::uint64_t{generation} << 32 | kExclusive,
                                  std::memory_order_relaxed);
        }
        if (lease->owner_ == self) {
            lease->generation_ = generation;
            lease->counter_.store(lease->stamp(0), std::memory_order_relaxed);
            lease->prev_ = nullptr;
            lease->next_ = kept;
            if (kept != nullptr) {
                kept->prev_ = lease;
            }
            kept = lease;
        }
        lease = next;
    }
    state.leases = kept;
    for (AccessLease* lease = kept; lease != nullptr; lease = lease->next_) {
        if (lease->kind_ == Access::exclusive) {
            lease->counter_.store(lease->stamp(kExclusive), std::memory_order_relaxed);
        } else {
            lease->counter_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void mark_leases_detached(bool on) noexcept {
    const std::thread::id self = std::this_thread::get_id();
    for (AccessLease* lease = module_state().leases; lease != nullptr; lease = lease->next_) {
        if (lease->owner_ == self) {
            lease->detached_ = on;
        }
    }
}

}  // namespace lumora::py
