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
//
// Held leases are kept in one list with the thread that holds each. Leases
// are taken and given back with the interpreter lock held, which guards the
// list; the fork handler runs in the child's one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "module/module_state.hpp"

namespace lumora::py {

enum class Access : std::uint8_t { shared, exclusive };

// High half: fork generation; low half: the count.
using AccessCounter = std::atomic<std::uint64_t>;

inline constexpr std::uint32_t kExclusive = 0xFFFFFFFFu;

void carry_leases_into_child() noexcept;

// Marks this thread's leases as held by work running without the
// interpreter lock (or no longer): in a forked child, an object such a
// lease holds stays held, since the work that was changing it is gone.
void mark_leases_detached(bool on) noexcept;

// Installs, once per process, the child-side fork handler.
void register_fork_handler() noexcept;

// Holds access for one call and gives it back however the call ends.
class AccessLease {
public:
    AccessLease(AccessCounter& counter, Access kind) noexcept
        : counter_(counter),
          kind_(kind),
          generation_(module_state().fork_generation.load(std::memory_order_relaxed)),
          held_(take()) {
        if (held_) {
            link();
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
        if (generation_ != module_state().fork_generation.load(std::memory_order_relaxed)) {
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
    friend void mark_leases_detached(bool on) noexcept;

    // Marks this thread's leases as held by work running without the
    // interpreter lock (or no longer): in a forked child, an object such a
    // lease holds stays held, since the work that was changing it is gone.
    void mark_leases_detached(bool on) noexcept;

    void link() noexcept {
        owner_ = std::this_thread::get_id();
        AccessLease*& head = module_state().leases;
        next_ = head;
        if (next_ != nullptr) {
            next_->prev_ = this;
        }
// The lease takes itself off the list when it ends, before its storage goes.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
        head = this;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
    }

    void unlink() noexcept {
        (prev_ != nullptr ? prev_->next_ : module_state().leases) = next_;
        if (next_ != nullptr) {
            next_->prev_ = prev_;
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
    std::thread::id owner_;
    bool detached_ = false;
    AccessLease* prev_ = nullptr;
    AccessLease* next_ = nullptr;
};

}  // namespace lumora::py
