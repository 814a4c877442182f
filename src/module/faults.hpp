// Interrupt checks of the module, and the fault injection that lets the
// Python tests make any call fail at any allocation or any interrupt check.
#pragma once

#include <cstddef>

#include "module/python.hpp"

namespace lumora::py {

// Whether the running call must stop: a pending signal whose handler
// raised (Ctrl-C), or an injected interrupt. The Python error is set.
bool interrupt_requested();

// Whether an injected fault is armed; loops then check at every step.
bool faults_armed() noexcept;

// For loops over results: checks every 65536 steps (every step while a
// fault is armed) whether the call must stop.
inline bool interrupted_at(std::size_t step) {
    constexpr std::size_t kMask = 0xFFFF;
    return ((step & kMask) == kMask || faults_armed()) && interrupt_requested();
}

}  // namespace lumora::py
