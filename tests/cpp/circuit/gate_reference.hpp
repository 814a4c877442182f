// Tables transcribed from stim's gate reference (doc/gates.md), for tests.
#pragma once

#include <string_view>

#include "clifford_math.hpp"

namespace circuit_test {

struct NamedText {
    const char* name;
    const char* text;
};

// "Unitary Matrix" sections of stim's gate reference (qubit 0 = low bit).
inline const NamedText kDocMatrices[] = {
    {"CX",
     "[+1  ,     ,     ,     ] [    ,     ,     , +1  ] [    ,     , +1  ,     ] [    , +1  ,     "
     ",     ]"},
    {"CXSWAP",
     "[+1  ,     ,     ,     ] [    ,     , +1  ,     ] [    ,     ,     , +1  ] [    , +1  ,     "
     ",     ]"},
    {"CY",
     "[+1  ,     ,     ,     ] [    ,     ,     ,   -i] [    ,     , +1  ,     ] [    ,   +i,     "
     ",     ]"},
    {"CZ",
     "[+1  ,     ,     ,     ] [    , +1  ,     ,     ] [    ,     , +1  ,     ] [    ,     ,     "
     ", -1  ]"},
    {"CZSWAP",
     "[+1  ,     ,     ,     ] [    ,     , +1  ,     ] [    , +1  ,     ,     ] [    ,     ,     "
     ", -1  ]"},
    {"C_NXYZ", "[+1+i, +1-i] [-1-i, +1-i] / 2"},
    {"C_NZYX", "[+1+i, -1-i] [+1-i, +1-i] / 2"},
    {"C_XNYZ", "[+1+i, -1+i] [+1+i, +1-i] / 2"},
    {"C_XYNZ", "[+1-i, +1+i] [-1+i, +1+i] / 2"},
    {"C_XYZ", "[+1-i, -1-i] [+1-i, +1+i] / 2"},
    {"C_ZNYX", "[+1-i, +1-i] [-1-i, +1+i] / 2"},
    {"C_ZYNX", "[+1-i, -1+i] [+1+i, +1+i] / 2"},
    {"C_ZYX", "[+1+i, +1+i] [-1+i, +1-i] / 2"},
    {"H", "[+1  , +1  ] [+1  , -1  ] / sqrt(2)"},
    {"H_NXY", "[    , +1+i] [+1-i,     ] / sqrt(2)"},
    {"H_NXZ", "[-1  , +1  ] [+1  , +1  ] / sqrt(2)"},
    {"H_NYZ", "[-1  ,   -i] [  +i, +1  ] / sqrt(2)"},
    {"H_XY", "[    , +1-i] [+1+i,     ] / sqrt(2)"},
    {"H_YZ", "[+1  ,   -i] [  +i, -1  ] / sqrt(2)"},
    {"I", "[+1  ,     ] [    , +1  ]"},
    {"II",
     "[+1  ,     ,     ,     ] [    , +1  ,     ,     ] [    ,     , +1  ,     ] [    ,     ,     "
     ", +1  ]"},
    {"ISWAP",
     "[+1  ,     ,     ,     ] [    ,     ,   +i,     ] [    ,   +i,     ,     ] [    ,     ,     "
     ", +1  ]"},
    {"ISWAP_DAG",
     "[+1  ,     ,     ,     ] [    ,     ,   -i,     ] [    ,   -i,     ,     ] [    ,     ,     "
     ", +1  ]"},
    {"S", "[+1  ,     ] [    ,   +i]"},
    {"SQRT_X", "[+1+i, +1-i] [+1-i, +1+i] / 2"},
    {"SQRT_XX",
     "[+1+i,     ,     , +1-i] [    , +1+i, +1-i,     ] [    , +1-i, +1+i,     ] [+1-i,     ,     "
     ", +1+i] / 2"},
    {"SQRT_XX_DAG",
     "[+1-i,     ,     , +1+i] [    , +1-i, +1+i,     ] [    , +1+i, +1-i,     ] [+1+i,     ,     "
     ", +1-i] / 2"},
    {"SQRT_X_DAG", "[+1-i, +1+i] [+1+i, +1-i] / 2"},
    {"SQRT_Y", "[+1+i, -1-i] [+1+i, +1+i] / 2"},
    {"SQRT_YY",
     "[+1+i,     ,     , -1+i] [    , +1+i, +1-i,     ] [    , +1-i, +1+i,     ] [-1+i,     ,     "
     ", +1+i] / 2"},
    {"SQRT_YY_DAG",
     "[+1-i,     ,     , -1-i] [    , +1-i, +1+i,     ] [    , +1+i, +1-i,     ] [-1-i,     ,     "
     ", +1-i] / 2"},
    {"SQRT_Y_DAG", "[+1-i, +1-i] [-1+i, +1-i] / 2"},
    {"SQRT_ZZ",
     "[+1  ,     ,     ,     ] [    ,   +i,     ,     ] [    ,     ,   +i,     ] [    ,     ,     "
     ", +1  ]"},
    {"SQRT_ZZ_DAG",
     "[+1  ,     ,     ,     ] [    ,   -i,     ,     ] [    ,     ,   -i,     ] [    ,     ,     "
     ", +1  ]"},
    {"SWAP",
     "[+1  ,     ,     ,     ] [    ,     , +1  ,     ] [    , +1  ,     ,     ] [    ,     ,     "
     ", +1  ]"},
    {"SWAPCX",
     "[+1  ,     ,     ,     ] [    ,     ,     , +1  ] [    , +1  ,     ,     ] [    ,     , +1  "
     ",     ]"},
    {"S_DAG", "[+1  ,     ] [    ,   -i]"},
    {"X", "[    , +1  ] [+1  ,     ]"},
    {"XCX",
     "[+1  , +1  , +1  , -1  ] [+1  , +1  , -1  , +1  ] [+1  , -1  , +1  , +1  ] [-1  , +1  , +1  "
     ", +1  ] / 2"},
    {"XCY",
     "[+1  , +1  ,   -i,   +i] [+1  , +1  ,   +i,   -i] [  +i,   -i, +1  , +1  ] [  -i,   +i, +1  "
     ", +1  ] / 2"},
    {"XCZ",
     "[+1  ,     ,     ,     ] [    , +1  ,     ,     ] [    ,     ,     , +1  ] [    ,     , +1  "
     ",     ]"},
    {"Y", "[    ,   -i] [  +i,     ]"},
    {"YCX",
     "[+1  ,   -i, +1  ,   +i] [  +i, +1  ,   -i, +1  ] [+1  ,   +i, +1  ,   -i] [  -i, +1  ,   "
     "+i, +1  ] / 2"},
    {"YCY",
     "[+1  ,   -i,   -i, +1  ] [  +i, +1  , -1  ,   -i] [  +i, -1  , +1  ,   -i] [+1  ,   +i,   "
     "+i, +1  ] / 2"},
    {"YCZ",
     "[+1  ,     ,     ,     ] [    , +1  ,     ,     ] [    ,     ,     ,   -i] [    ,     ,   "
     "+i,     ]"},
    {"Z", "[+1  ,     ] [    , -1  ]"},
};

// "Decomposition (into H, S, CX, M, R)" sections of stim's gate reference.
inline const NamedText kDocDecompositions[] = {
    {"CX", "CNOT 0 1"},
    {"CXSWAP", "CNOT 1 0; CNOT 0 1"},
    {"CY", "S 1; S 1; S 1; CNOT 0 1; S 1"},
    {"CZ", "H 1; CNOT 0 1; H 1"},
    {"CZSWAP", "H 0; CX 0 1; CX 1 0; H 1"},
    {"C_NXYZ", "S 0; S 0; S 0; H 0; S 0; S 0"},
    {"C_NZYX", "S 0; S 0; H 0; S 0; S 0; S 0"},
    {"C_XNYZ", "S 0; H 0"},
    {"C_XYNZ", "S 0; H 0; S 0; S 0"},
    {"C_XYZ", "S 0; S 0; S 0; H 0"},
    {"C_ZNYX", "H 0; S 0; S 0; S 0"},
    {"C_ZYNX", "S 0; S 0; H 0; S 0"},
    {"C_ZYX", "H 0; S 0"},
    {"H", "H 0"},
    {"H_NXY", "S 0; H 0; S 0; S 0; H 0"},
    {"H_NXZ", "S 0; S 0; H 0; S 0; S 0"},
    {"H_NYZ", "S 0; S 0; H 0; S 0; H 0"},
    {"H_XY", "H 0; S 0; S 0; H 0; S 0"},
    {"H_YZ", "H 0; S 0; H 0; S 0; S 0"},
    {"I", ""},
    {"II", ""},
    {"ISWAP", "H 0; CNOT 0 1; CNOT 1 0; H 1; S 1; S 0"},
    {"ISWAP_DAG", "S 0; S 0; S 0; S 1; S 1; S 1; H 1; CNOT 1 0; CNOT 0 1; H 0"},
    {"S", "S 0"},
    {"SQRT_X", "H 0; S 0; H 0"},
    {"SQRT_XX", "H 0; CNOT 0 1; H 1; S 0; S 1; H 0; H 1"},
    {"SQRT_XX_DAG", "H 0; CNOT 0 1; H 1; S 0; S 0; S 0; S 1; S 1; S 1; H 0; H 1"},
    {"SQRT_X_DAG", "S 0; H 0; S 0"},
    {"SQRT_Y", "S 0; S 0; H 0"},
    {"SQRT_YY", "S 0; S 0; S 0; S 1; S 1; S 1; H 0; CNOT 0 1; H 1; S 0; S 1; H 0; H 1; S 0; S 1"},
    {"SQRT_YY_DAG",
     "S 0; S 0; S 0; S 1; H 0; CNOT 0 1; H 1; S 0; S 1; H 0; H 1; S 0; S 1; S 1; S 1"},
    {"SQRT_Y_DAG", "H 0; S 0; S 0"},
    {"SQRT_ZZ", "H 1; CNOT 0 1; H 1; S 0; S 1"},
    {"SQRT_ZZ_DAG", "H 1; CNOT 0 1; H 1; S 0; S 0; S 0; S 1; S 1; S 1"},
    {"SWAP", "CNOT 0 1; CNOT 1 0; CNOT 0 1"},
    {"SWAPCX", "CNOT 0 1; CNOT 1 0"},
    {"S_DAG", "S 0; S 0; S 0"},
    {"X", "H 0; S 0; S 0; H 0"},
    {"XCX", "H 0; CNOT 0 1; H 0"},
    {"XCY", "H 0; S 1; S 1; S 1; CNOT 0 1; H 0; S 1"},
    {"XCZ", "CNOT 1 0"},
    {"Y", "S 0; S 0; H 0; S 0; S 0; H 0"},
    {"YCX", "S 0; S 0; S 0; H 1; CNOT 1 0; S 0; H 1"},
    {"YCY", "S 0; S 0; S 0; S 1; S 1; S 1; H 0; CNOT 0 1; H 0; S 0; S 1"},
    {"YCZ", "S 0; S 0; S 0; CNOT 1 0; S 0"},
    {"Z", "S 0; S 0"},
};

// The unitary of a canonical gate name, from kDocMatrices.
inline Mat doc_matrix(std::string_view name) {
    for (const NamedText& m : kDocMatrices) {
        if (name == m.name) {
            return parse_doc_matrix(m.text);
        }
    }
    return Mat{0, {}};
}

}  // namespace circuit_test
