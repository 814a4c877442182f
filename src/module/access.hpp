// The per-object access counter: 0 free, 1..0xFFFFFFFE that many shared
// users, all ones one exclusive user. It refuses a call that re-enters an
// object in use, for example from an argument's __index__.
//
// The count is stamped with the fork generation in which it was taken. A
// child process does not inherit the other threads that held access in its
// parent, so a count from an earlier generation counts as free there. The
// thread that forked does go on in the child (a signal handler that forks
// in the middle of a long call returns into that call), so its own leases
// are carried into the child's generation: the object stays held there
// until that call returns, and its half-done state is never readable.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace lumora::py {

enum class Access : std::uint8_t { shared, exclusive };

// High half: fork generation; low half: the count.
using AccessCounter = std::atomic<std::uint64_t>;

inline constexpr std::uint32_t kExclusive = 0xFFFFFFFFu;

// Advanced in every forked child; see register_fork_handler().
inline std::atomic<std::uint32_t> fork_generation{0};

class AccessLease;

// The leases this thread holds, newest first, linked through the leases.
inline thread_local AccessLease* leases_of_this_thread = nullptr;

void carry_leases_into_child() noexcept;

// Installs, once per process, the child-side fork handler.
inline void register_fork_handler() noexcept {
    static const int registered = ::pthread_atfork(nullptr, nullptr, &carry_leases_into_child);
    static_cast<void>(registered);
}

// Holds access for one call and gives it back however the call ends.
class AccessLease {
public:
    AccessLease(AccessCounter& counter, Access kind) noexcept
        : counter_(counter),
          kind_(kind),
          generation_(fork_generation.load(std::memory_order_relaxed)),
          held_(take()) {
        if (held_) {
            below_ = leases_of_this_thread;
// The lease takes itself off the list when it ends, before its storage goes.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
            leases_of_this_thread = this;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
        }
    }
    AccessLease(const AccessLease&) = delete;
    AccessLease& operator=(const AccessLease&) = delete;
    ~AccessLease() {
        if (!held_) {
            return;
        }
        unlink();
        // Only a count from this generation is ours to give back.
        if (generation_ != fork_generation.load(std::memory_order_relaxed)) {
            return;
        }
        if (kind_ == Access::exclusive) {
            counter_.store(stamp(0), std::memory_order_release);
        } else {
            counter_.fetch_sub(1, std::memory_order_release);
        }
    }

    bool held() const noexcept { return held_; }

    // "Already borrowed" when exclusive access was refused, "Already
    // mutably borrowed" when shared access was.
    const char* refusal() const noexcept {
        return kind_ == Access::exclusive ? "Already borrowed" : "Already mutably borrowed";
    }

private:
    friend void carry_leases_into_child() noexcept;

    // Leases end in the order they began, so this is normally the top.
    void unlink() noexcept {
        AccessLease** link = &leases_of_this_thread;
        while (*link != nullptr && *link != this) {
            link = &(*link)->below_;
        }
        if (*link == this) {
            *link = below_;
        }
    }

    std::uint64_t stamp(std::uint32_t count) const noexcept {
        return std::uint64_t{generation_} << 32 | count;
    }

    std::uint32_t current_count(std::uint64_t word) const noexcept {
        return static_cast<std::uint32_t>(word >> 32) == generation_
                   ? static_cast<std::uint32_t>(word)
                   : 0;
    }

    bool take() noexcept {
        std::uint64_t seen = counter_.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint32_t count = current_count(seen);
            std::uint64_t wanted;
            if (kind_ == Access::exclusive) {
                if (count != 0) {
                    return false;
                }
                wanted = stamp(kExclusive);
            } else {
                // The last shared count below the exclusive mark stays unused.
                if (count >= kExclusive - 1) {
                    return false;
                }
                wanted = stamp(count + 1);
            }
            if (counter_.compare_exchange_weak(seen, wanted, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
                return true;
            }
        }
    }

    AccessCounter& counter_;
    Access kind_;
    std::uint32_t generation_;
    bool held_;
    AccessLease* below_ = nullptr;
};

// In the child, on the thread that forked: a new generation, in which this
// thread's leases hold again what they held; everything else is free.
inline void carry_leases_into_child() noexcept {
    const std::uint32_t generation = fork_generation.fetch_add(1, std::memory_order_relaxed) + 1;
    for (AccessLease* lease = leases_of_this_thread; lease != nullptr; lease = lease->below_) {
        lease->generation_ = generation;
        lease->counter_.store(lease->stamp(0), std::memory_order_relaxed);
    }
    for (AccessLease* lease = leases_of_this_thread; lease != nullptr; lease = lease->below_) {
        if (lease->kind_ == Access::exclusive) {
            lease->counter_.store(lease->stamp(kExclusive), std::memory_order_relaxed);
        } else {
            lease->counter_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

}  // namespace lumora::py
