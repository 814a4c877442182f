// The 24 single-qubit Clifford operators, modulo global phase, and the
// constant tables the engine computes with. Operator j = 4k + p: p is the
// Pauli part (0 identity, 1 X, 2 Y, 3 Z) applied first, k the class that
// fixes how j permutes the three Pauli axes.
#pragma once

#include <array>
#include <cstdint>

namespace lumora {

// clang-format off

using LcOp = std::uint8_t;
// Axis codes, shared by the tables, measurement and the Python Axis members.
using AxisCode = std::uint8_t;

inline constexpr int kLcCount = 24;

inline constexpr LcOp kLcIdentity = 0;
inline constexpr LcOp kLcX = 1;
inline constexpr LcOp kLcY = 2;
inline constexpr LcOp kLcZ = 3;
inline constexpr LcOp kLcSdag = 5;
inline constexpr LcOp kLcS = 6;
inline constexpr LcOp kLcH = 10;
// X -> +X, Y -> -Z, Z -> +Y: what a local complementation puts on its vertex.
inline constexpr LcOp kLcSqrtX = 14;
// X.H and Z.H (H first): what an X measurement puts on its pivot.
inline constexpr LcOp kLcXH = 9;
inline constexpr LcOp kLcZH = 11;

inline constexpr AxisCode kAxisX = 0;
inline constexpr AxisCode kAxisY = 1;
inline constexpr AxisCode kAxisZ = 2;

// lc_mul[a][b] is the product a.b: b acts first, then a.
inline constexpr std::array<std::array<LcOp, kLcCount>, kLcCount> lc_mul = {{
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23},
    {1, 0, 3, 2, 6, 7, 4, 5, 11, 10, 9, 8, 13, 12, 15, 14, 19, 18, 17, 16, 22, 23, 20, 21},
    {2, 3, 0, 1, 5, 4, 7, 6, 10, 11, 8, 9, 15, 14, 13, 12, 17, 16, 19, 18, 23, 22, 21, 20},
    {3, 2, 1, 0, 7, 6, 5, 4, 9, 8, 11, 10, 14, 15, 12, 13, 18, 19, 16, 17, 21, 20, 23, 22},
    {4, 5, 6, 7, 0, 1, 2, 3, 20, 21, 22, 23, 16, 17, 18, 19, 12, 13, 14, 15, 8, 9, 10, 11},
    {5, 4, 7, 6, 2, 3, 0, 1, 23, 22, 21, 20, 17, 16, 19, 18, 15, 14, 13, 12, 10, 11, 8, 9},
    {6, 7, 4, 5, 1, 0, 3, 2, 22, 23, 20, 21, 19, 18, 17, 16, 13, 12, 15, 14, 11, 10, 9, 8},
    {7, 6, 5, 4, 3, 2, 1, 0, 21, 20, 23, 22, 18, 19, 16, 17, 14, 15, 12, 13, 9, 8, 11, 10},
    {8, 9, 10, 11, 16, 17, 18, 19, 0, 1, 2, 3, 20, 21, 22, 23, 4, 5, 6, 7, 12, 13, 14, 15},
    {9, 8, 11, 10, 18, 19, 16, 17, 3, 2, 1, 0, 21, 20, 23, 22, 7, 6, 5, 4, 14, 15, 12, 13},
    {10, 11, 8, 9, 17, 16, 19, 18, 2, 3, 0, 1, 23, 22, 21, 20, 5, 4, 7, 6, 15, 14, 13, 12},
    {11, 10, 9, 8, 19, 18, 17, 16, 1, 0, 3, 2, 22, 23, 20, 21, 6, 7, 4, 5, 13, 12, 15, 14},
    {12, 13, 14, 15, 20, 21, 22, 23, 16, 17, 18, 19, 0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7},
    {13, 12, 15, 14, 22, 23, 20, 21, 19, 18, 17, 16, 1, 0, 3, 2, 11, 10, 9, 8, 6, 7, 4, 5},
    {14, 15, 12, 13, 21, 20, 23, 22, 18, 19, 16, 17, 3, 2, 1, 0, 9, 8, 11, 10, 7, 6, 5, 4},
    {15, 14, 13, 12, 23, 22, 21, 20, 17, 16, 19, 18, 2, 3, 0, 1, 10, 11, 8, 9, 5, 4, 7, 6},
    {16, 17, 18, 19, 8, 9, 10, 11, 12, 13, 14, 15, 4, 5, 6, 7, 20, 21, 22, 23, 0, 1, 2, 3},
    {17, 16, 19, 18, 10, 11, 8, 9, 15, 14, 13, 12, 5, 4, 7, 6, 23, 22, 21, 20, 2, 3, 0, 1},
    {18, 19, 16, 17, 9, 8, 11, 10, 14, 15, 12, 13, 7, 6, 5, 4, 21, 20, 23, 22, 3, 2, 1, 0},
    {19, 18, 17, 16, 11, 10, 9, 8, 13, 12, 15, 14, 6, 7, 4, 5, 22, 23, 20, 21, 1, 0, 3, 2},
    {20, 21, 22, 23, 12, 13, 14, 15, 4, 5, 6, 7, 8, 9, 10, 11, 0, 1, 2, 3, 16, 17, 18, 19},
    {21, 20, 23, 22, 14, 15, 12, 13, 7, 6, 5, 4, 9, 8, 11, 10, 3, 2, 1, 0, 18, 19, 16, 17},
    {22, 23, 20, 21, 13, 12, 15, 14, 6, 7, 4, 5, 11, 10, 9, 8, 1, 0, 3, 2, 19, 18, 17, 16},
    {23, 22, 21, 20, 15, 14, 13, 12, 5, 4, 7, 6, 10, 11, 8, 9, 2, 3, 0, 1, 17, 16, 19, 18}
}};

static_assert(lc_mul[kLcX][kLcH] == kLcXH && lc_mul[kLcZ][kLcH] == kLcZH);

inline constexpr std::array<LcOp, kLcCount> lc_inv = {{0, 1, 2, 3, 4, 6, 5, 7, 8, 11, 10, 9, 12, 13, 15, 14, 20, 22, 23, 21, 16, 19, 17, 18}};

// lc_axis_onto_x[j] is the axis a with j.a.j^dagger = +-X.
inline constexpr std::array<AxisCode, kLcCount> lc_axis_onto_x = {{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 1, 1}};

// lc_conj_axis[a][j] is the axis of j.a.j^dagger; the sign is lc_conj_sign.
inline constexpr std::array<std::array<AxisCode, kLcCount>, 3> lc_conj_axis = {{
    {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2},
    {1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0},
    {2, 2, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1}
}};

// 1 when j.a.j^dagger carries a minus sign. Classes 1, 2 and 3 have a class
// representative that flips every axis; a Pauli part other than a itself
// anticommutes with a and flips it once more.
constexpr std::uint8_t lc_conj_sign_rule(LcOp j, AxisCode a) {
    const int k = j / 4;
    const int p = j % 4;
    const bool class_flips = k >= 1 && k <= 3;
    const bool pauli_flips = p != 0 && p != a + 1;
    return class_flips != pauli_flips ? 1 : 0;
}

// The rule evaluated once for every operator and axis.
inline constexpr auto lc_conj_sign_table = [] {
    std::array<std::array<std::uint8_t, kLcCount>, 3> table{};
    for (AxisCode a = 0; a < 3; ++a) {
        for (int j = 0; j < kLcCount; ++j) {
            table[a][j] = lc_conj_sign_rule(static_cast<LcOp>(j), a);
        }
    }
    return table;
}();

constexpr std::uint8_t lc_conj_sign(LcOp j, AxisCode a) {
    return lc_conj_sign_table[a][j];
}

// clang-format on

}  // namespace lumora
