// For each vertex operator w, the local complementations that bring w to
// the identity: 0 complements the vertex itself (w <- w.14), 1 its partner
// (w <- w.6).
#pragma once

#include <array>
#include <cstdint>

#include "clifford/local_clifford.hpp"

namespace lumora {

// clang-format off

struct ReductionSequence {
    std::uint8_t length;
    std::array<std::uint8_t, 5> steps;
};

inline constexpr std::uint8_t kStepAtVertex = 0;
inline constexpr std::uint8_t kStepAtPartner = 1;

inline constexpr std::array<ReductionSequence, kLcCount> vop_reduction_seq = {{
    {4, {0, 0, 0, 0}},
    {2, {0, 0}},
    {4, {0, 0, 1, 1}},
    {2, {1, 1}},
    {3, {0, 0, 1}},
    {1, {1}},
    {3, {1, 1, 1}},
    {3, {1, 0, 0}},
    {3, {0, 1, 0}},
    {5, {0, 0, 0, 1, 0}},
    {5, {0, 1, 1, 1, 0}},
    {5, {0, 1, 0, 0, 0}},
    {3, {1, 1, 0}},
    {3, {0, 1, 1}},
    {3, {0, 0, 0}},
    {1, {0}},
    {4, {0, 1, 1, 1}},
    {4, {0, 1, 0, 0}},
    {2, {0, 1}},
    {4, {0, 0, 0, 1}},
    {4, {1, 0, 0, 0}},
    {4, {1, 1, 1, 0}},
    {2, {1, 0}},
    {4, {0, 0, 1, 0}},
}};

// clang-format on

}  // namespace lumora
