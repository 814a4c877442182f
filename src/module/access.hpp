// The per-object access counter: 0 free, 1..0xFFFFFFFE that many shared
// users, all ones one exclusive user. It refuses a call that re-enters an
// object in use, for example from an argument's __index__.
#pragma once

#include <atomic>
#include <cstdint>

namespace lumora::py {

enum class Access : std::uint8_t { shared, exclusive };

using AccessCounter = std::atomic<std::uint32_t>;

inline constexpr std::uint32_t kExclusive = 0xFFFFFFFFu;

inline bool take_shared(AccessCounter& counter) noexcept {
    std::uint32_t seen = counter.load(std::memory_order_relaxed);
    do {
        // The last shared count below the exclusive mark stays unused.
        if (seen >= kExclusive - 1) {
            return false;
        }
    } while (!counter.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed));
    return true;
}

inline bool take_exclusive(AccessCounter& counter) noexcept {
    std::uint32_t expected = 0;
    return counter.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                           std::memory_order_relaxed);
}

// Holds access for one call and gives it back however the call ends.
class AccessLease {
public:
    AccessLease(AccessCounter& counter, Access kind) noexcept
        : counter_(counter),
          kind_(kind),
          held_(kind == Access::exclusive ? take_exclusive(counter) : take_shared(counter)) {}
    AccessLease(const AccessLease&) = delete;
    AccessLease& operator=(const AccessLease&) = delete;
    ~AccessLease() {
        if (!held_) {
            return;
        }
        if (kind_ == Access::exclusive) {
            counter_.store(0, std::memory_order_release);
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
    AccessCounter& counter_;
    Access kind_;
    bool held_;
};

}  // namespace lumora::py
