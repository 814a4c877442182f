// Qubit indices: 32 bits, which bounds a register at kMaxQubits qubits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora {

using Qubit = std::uint32_t;
// The empty slot of a hash set; no qubit has this index because a register
// holds at most kMaxQubits qubits.
inline constexpr Qubit kNoQubit = 0xFFFFFFFFu;
inline constexpr std::size_t kMaxQubits = 0xFFFFFFFFu;

}  // namespace lumora
