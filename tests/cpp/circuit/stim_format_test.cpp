// The stim circuit format: canonical printing, round trips over every
// instruction, errors with their positions, counts, fusion, validation.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <string>

#include "circuit/circuit.hpp"

namespace {

using namespace lumora::circuit;

// Parses, prints, and checks the text is a fixed point: parse(print(c)) == c
// and printing again gives the same text.
std::string canonical(const std::string& text) {
    Circuit c = parse_stim(text);
    std::string printed = to_stim_text(c);
    Circuit again = parse_stim(printed);
    EXPECT_TRUE(again == c) << "round trip changed the circuit of:\n" << text;
    EXPECT_EQ(to_stim_text(again), printed);
    return printed;
}

struct CanonicalCase {
    const char* input;
    const char* expected;
};

const CanonicalCase kCanonical[] = {
    {"H 0\nH 1\n", "H 0 1\n"},
    {"cnot 0 1 2 3", "CX 0 1 2 3\n"},
    {"H_XZ 5\nSQRT_Z 1\nSQRT_Z_DAG 2\nZCX 0 1\nZCY 0 1\nZCZ 0 1\n",
     "H 5\nS 1\nS_DAG 2\nCX 0 1\nCY 0 1\nCZ 0 1\n"},
    {"MZ 0\nRZ 1\nMRZ 2\nCORRELATED_ERROR(0.1) X1\nSWAPCZ 0 1\n",
     "M 0\nR 1\nMR 2\nE(0.1) X1\nCZSWAP 0 1\n"},
    {"M(0.1) 0 !1\nM(0.1) 2\n", "M(0.1) 0 !1 2\n"},
    {"M(0.1) 0\nM(0.2) 1\n", "M(0.1) 0\nM(0.2) 1\n"},
    {"MPP X0*Y1 !Z2\nMPP x3 * y4", "MPP X0*Y1 !Z2 X3*Y4\n"},
    {"SPP !X0*Z1\nSPP_DAG Y2", "SPP !X0*Z1\nSPP_DAG Y2\n"},
    {"DETECTOR(1, 2) rec[-1]\nDETECTOR(1, 2) rec[-1]\n",
     "DETECTOR(1, 2) rec[-1]\nDETECTOR(1, 2) rec[-1]\n"},
    {"REPEAT 3 {\nH 0\n}", "REPEAT 3 {\n    H 0\n}\n"},
    {"REPEAT 3 {\n\tREPEAT 2 {\n M 0\n }\n}\nH 1\n",
     "REPEAT 3 {\n    REPEAT 2 {\n        M 0\n    }\n}\nH 1\n"},
    {"  \t# comment\n\nTICK  # trailing\r\nTICK\r\n", "TICK\nTICK\n"},
    {"X_ERROR[my tag](0.125) 0", "X_ERROR[my tag](0.125) 0\n"},
    {"H[a\\Cb\\Bc\\nd\\re] 0", "H[a\\Cb\\Bc\\nd\\re] 0\n"},
    {"CX rec[-1] 0 sweep[2] 1", "CX rec[-1] 0 sweep[2] 1\n"},
    {"CZ 0 rec[-1]\nXCZ 0 rec[-2]\nYCZ 1 sweep[0]",
     "CZ 0 rec[-1]\nXCZ 0 rec[-2]\nYCZ 1 sweep[0]\n"},
    {"DETECTOR(1e3, -0.5, .25, +2) rec[-1]", "DETECTOR(1000, -0.5, 0.25, 2) rec[-1]\n"},
    {"DETECTOR(0.30000000000000004, 1e-300) rec[-1]",
     "DETECTOR(0.30000000000000004, 1e-300) rec[-1]\n"},
    {"M(-0) 0", "M(0) 0\n"},
    {"OBSERVABLE_INCLUDE(2) rec[-1] X3", "OBSERVABLE_INCLUDE(2) rec[-1] X3\n"},
    {"IF rec[-1] !rec[-3] {\n H 0\n CX 0 1\n}", "IF rec[-1] !rec[-3] {\n    H 0\n    CX 0 1\n}\n"},
    {"REPEAT[t] 2 {\n}", "REPEAT[t] 2 {\n}\n"},
    {"E(0.1) X0 Y1\nE(0.1) Z2", "E(0.1) X0 Y1\nE(0.1) Z2\n"},
    {"MPAD 0 1\nMPAD(0.01) 1", "MPAD 0 1\nMPAD(0.01) 1\n"},
    {"H\nH 0", "H 0\n"},
    {"M[] 0", "M 0\n"},
    {"QUBIT_COORDS(0.5, 1) 3\nSHIFT_COORDS(0, 0, 1)",
     "QUBIT_COORDS(0.5, 1) 3\nSHIFT_COORDS(0, 0, 1)\n"},
    {"PAULI_CHANNEL_1(0.1, 0.2, 0.3) 0", "PAULI_CHANNEL_1(0.1, 0.2, 0.3) 0\n"},
    {"HERALDED_PAULI_CHANNEL_1(0.01,0.02,0.03,0.04) 0",
     "HERALDED_PAULI_CHANNEL_1(0.01, 0.02, 0.03, 0.04) 0\n"},
    {"M 4294967294 !00", "M 4294967294 !0\n"},
    {"DETECTOR rec[-2147483648]", "DETECTOR rec[-2147483648]\n"},
    {"REPEAT 1000000000000000000 {\n}", "REPEAT 1000000000000000000 {\n}\n"},
    {"REPEAT 5{\n}  # c", "REPEAT 5 {\n}\n"},
    {"", ""},
};

class CanonicalTest : public testing::TestWithParam<CanonicalCase> {};

TEST_P(CanonicalTest, PrintsCanonicalTextAndRoundTrips) {
    EXPECT_EQ(canonical(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Format, CanonicalTest, testing::ValuesIn(kCanonical));

// A valid canonical line for every gate, built from its rules.
std::string example_line(const GateInfo& g, std::string_view name) {
    std::string s(name);
    if (g.gate == Gate::REPEAT) {
        return s + " 2 {\n    H 0\n}";
    }
    if (g.gate == Gate::IF) {
        return s + " rec[-1] !rec[-2] {\n    H 0\n}";
    }
    std::size_t n = g.min_args;
    if (g.args == ArgRule::coordinates) {
        n = 2;
    }
    for (std::size_t k = 0; k < n; k++) {
        s += k == 0 ? "(" : ", ";
        s += g.args == ArgRule::observable_index ? "3"
             : g.args == ArgRule::coordinates    ? "-1.5"
                                                 : "0.0625";
    }
    s += n ? ")" : "";
    switch (g.targets) {
        case TargetRule::none:
            break;
        case TargetRule::qubits:
            s += g.takes_inverted ? " 0 !1" : " 0 1";
            break;
        case TargetRule::qubit_pairs:
            s += g.takes_inverted ? " 0 !1 2 3" : " 0 1 2 3";
            break;
        case TargetRule::pauli_products:
            s += " X0*!Y1 Z2";
            break;
        case TargetRule::paulis:
            s += " X0 Y1";
            break;
        case TargetRule::records:
            s += " rec[-1] rec[-2]";
            break;
        case TargetRule::records_or_paulis:
            s += " rec[-1] Z2";
            break;
        case TargetRule::bits:
            s += " 0 1";
            break;
        case TargetRule::conditions:
            break;
    }
    return s;
}

TEST(Format, EveryGateNameAndAliasParsesToItsGateAndRoundTrips) {
    for (std::size_t k = 0; k < kGateCount; k++) {
        const GateInfo& g = gate_info(static_cast<Gate>(k));
        std::string line = example_line(g, g.name);
        Circuit c = parse_stim(line);
        ASSERT_EQ(c.instructions.size(), 1u) << line;
        EXPECT_EQ(c.instructions[0].gate, g.gate) << line;
        EXPECT_EQ(canonical(line), line + "\n");
        std::string lower = line;
        for (std::size_t j = 0; j < g.name.size(); j++) {
            lower[j] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[j])));
        }
        EXPECT_EQ(canonical(lower), line + "\n");
    }
    for (const GateAlias& a : gate_aliases()) {
        const GateInfo& g = gate_info(a.gate);
        EXPECT_EQ(canonical(example_line(g, a.alias)), example_line(g, g.name) + "\n") << a.alias;
    }
}

TEST(Format, TargetsAreDecodedIntoTheirFields) {
    Circuit c = parse_stim("MPP !X7*y4000000000\nCX rec[-5] 3 sweep[9] 2\n");
    const auto& mpp = c.instructions[0].targets;
    ASSERT_EQ(mpp.size(), 3u);
    EXPECT_EQ(mpp[0], Target::pauli_target('X', 7, true));
    EXPECT_EQ(mpp[1].kind, Target::Kind::combiner);
    EXPECT_EQ(mpp[2], Target::pauli_target('Y', 4000000000u));
    const auto& cx = c.instructions[1].targets;
    ASSERT_EQ(cx.size(), 4u);
    EXPECT_EQ(cx[0], Target::record_target(5));
    EXPECT_EQ(cx[1], Target::qubit_target(3));
    EXPECT_EQ(cx[2], Target::sweep_target(9));
    EXPECT_EQ(sizeof(Target), 8u);
}

TEST(Format, ArgumentsReadBackExactly) {
    Circuit c = parse_stim("DETECTOR(0.1, 1e-320, 123456789012345678, -2.5e+10, 1e-400) rec[-1]");
    const auto& args = c.instructions[0].args;
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(args[0], 0.1);
    EXPECT_EQ(args[1], 1e-320);
    EXPECT_EQ(args[2], 123456789012345678.0);
    EXPECT_EQ(args[3], -2.5e10);
    EXPECT_EQ(args[4], 0.0);
    EXPECT_FALSE(std::signbit(parse_stim("M(-0.0) 0").instructions[0].args[0]));
}

TEST(Format, TagsAreStoredUnescaped) {
    Circuit c = parse_stim("TICK[a\\Cb\\Bc\\nd\\re #not a comment]");
    EXPECT_EQ(c.instructions[0].tag, "a]b\\c\nd\re #not a comment");
}

TEST(Format, StructuralEqualityNoticesEveryField) {
    const std::pair<const char*, const char*> different[] = {
        {"H 0", "H 1"},
        {"H 0", "S 0"},
        {"M(0.1) 0", "M(0.2) 0"},
        {"M 0", "M !0"},
        {"H[a] 0", "H[b] 0"},
        {"MPP X0", "MPP Y0"},
        {"CX rec[-1] 0", "CX sweep[1] 0"},
        {"REPEAT 2 {\nH 0\n}", "REPEAT 3 {\nH 0\n}"},
        {"REPEAT 2 {\nH 0\n}", "REPEAT 2 {\nH 1\n}"},
        {"REPEAT 2 {\nREPEAT 2 {\nH 0\n}\n}", "REPEAT 2 {\nREPEAT 2 {\nX 0\n}\n}"},
        {"IF rec[-1] {\nH 0\n}", "IF !rec[-1] {\nH 0\n}"},
        {"IF rec[-1] {\nH 0\n}", "REPEAT 1 {\nH 0\n}"},
        {"H 0\nH 0", "H 0"},
    };
    for (const auto& [a, b] : different) {
        EXPECT_FALSE(parse_stim(a) == parse_stim(b)) << a << " vs " << b;
        EXPECT_TRUE(parse_stim(a) == parse_stim(a)) << a;
    }
}

struct ErrorCase {
    const char* input;
    std::size_t line;
    std::size_t column;
    const char* message;  // a part of the message
};

const ErrorCase kErrors[] = {
    {"CNT 0 1", 1, 1, "unknown instruction 'CNT' (did you mean 'CNOT'?)"},
    {"H 0\nX_ERROR(1.5) 0", 2, 9, "probability in [0, 1]"},
    {"H 0\n  CX 0 0", 2, 8, "equal qubits"},
    {"CX 0 1 2", 1, 8, "pairs"},
    {"M 0 rec[-1]", 1, 5, "qubit targets"},
    {"DEPOLARIZE1(0.76) 0", 1, 13, "[0, 0.75]"},
    {"DEPOLARIZE2(0.95) 0 1", 1, 13, "[0, 0.9375]"},
    {"PAULI_CHANNEL_1(0.5, 0.5, 0.1) 0", 1, 16, "summing to at most 1"},
    {"X_ERROR(nan) 0", 1, 9, "expected a number"},
    {"X_ERROR(inf) 0", 1, 9, "expected a number"},
    {"X_ERROR(1e999) 0", 1, 9, "out of range"},
    {"X_ERROR(0x1) 0", 1, 10, "expected ',' or ')'"},
    {"X_ERROR(0.1,) 0", 1, 13, "expected a number"},
    {"X_ERROR 0", 1, 8, "takes 1 argument, got 0"},
    {"H(0.1) 0", 1, 2, "no arguments"},
    {"M 4294967295", 1, 3, "qubit index above 4294967294"},
    {"M 99999999999999999999999", 1, 3, "qubit index above"},
    {"DETECTOR rec[-0]", 1, 15, "rec[-0]"},
    {"DETECTOR rec[-2147483649]", 1, 15, "above 2147483648"},
    {"DETECTOR rec[-1", 1, 16, "expected ']'"},
    {"REPEAT 0 {\n}", 1, 8, "at least 1"},
    {"REPEAT 1000000000000000001 {\n}", 1, 8, "above 1000000000000000000"},
    {"REPEAT 5\nH 0\n}", 1, 9, "expected '{'"},
    {"REPEAT(2) 5 {\n}", 1, 7, "no parens arguments"},
    {"REPEAT {\n}", 1, 8, "repetition count"},
    {"H 0\n}\n", 2, 1, "without a matching '{'"},
    {"REPEAT 2 {\nH 0\n", 1, 10, "no matching '}'"},
    {"REPEAT 2 {\n}\nREPEAT 3 {\n  REPEAT 4 {\n  }\n", 3, 10, "no matching '}'"},
    {"REPEAT 2 {\n} H 0", 2, 3, "expected the end of the line"},
    {"H 0 {\n}", 1, 5, "only REPEAT and IF open blocks"},
    {"H 0 1 x", 1, 7, "expected a target"},
    {"H 0 H 1", 1, 5, "expected a target"},
    {"H 0x1", 1, 4, "expected a space after the target"},
    {"M(0.1)0", 1, 7, "expected a space before the target"},
    {"H 0\nIF {\n}", 2, 4, "at least one condition"},
    {"IF rec[-1] {\nM 0\n}", 2, 1, "only unitary Clifford gates"},
    {"IF rec[-1] {\nREPEAT 2 {\n}\n}", 2, 1, "cannot appear inside an IF"},
    {"IF rec[-1] {\nIF rec[-1] {\n}\n}", 2, 1, "cannot appear inside an IF"},
    {"IF rec[-1] {\n  CX rec[-1] 0\n}", 2, 6, "classically controlled"},
    {"IF 0 {\n}", 1, 4, "conditions rec[-k]"},
    {"IF rec[-1]\nH 0", 1, 11, "expected '{'"},
    {"MPP X0**Y1", 1, 8, "combiner"},
    {"MPP X0*", 1, 7, "combiner"},
    {"MPP *X0", 1, 5, "combiner"},
    {"MPP 0", 1, 5, "Pauli products"},
    {"E(0.1) X0*Y1", 1, 10, "Pauli targets"},
    {"E(0.1) !X0", 1, 8, "inverted"},
    {"H[unterminated 0", 1, 2, "no closing ']'"},
    {"H[a\nb] 0", 1, 4, "no closing ']'"},
    {"H[a\\x] 0", 1, 4, "unknown escape"},
    {"MPAD 2", 1, 6, "values 0 and 1"},
    {"MPAD !1", 1, 6, "inverted"},
    {"TICK 0", 1, 6, "takes no targets"},
    {"SHIFT_COORDS(1) 0", 1, 17, "takes no targets"},
    {"DETECTOR X0", 1, 10, "record targets"},
    {"CX 0 rec[-1]", 1, 6, "first of a pair"},
    {"XCZ rec[-1] 0", 1, 5, "second of a pair"},
    {"CZ rec[-1] rec[-2]", 1, 12, "two classical"},
    {"SWAP rec[-1] 0", 1, 6, "qubit pairs"},
    {"H !0", 1, 3, "inverted"},
    {"R !0", 1, 3, "inverted"},
    {"CX sweep[0] !1", 1, 13, "inverted"},
    {"M 0\r1", 1, 4, "carriage return"},
    {"H 0 # fine\n\x01", 2, 1, "byte 0x01"},
    {"OBSERVABLE_INCLUDE(1.5) rec[-1]", 1, 20, "integer"},
    {"OBSERVABLE_INCLUDE(-1) rec[-1]", 1, 20, "integer"},
    {"OBSERVABLE_INCLUDE rec[-1]", 1, 19, "takes 1 argument"},
    {"SWAP 0 0", 1, 8, "equal qubits"},
    {"MZZ !0 !0", 1, 8, "equal qubits"},
    {"QUBIT_COORDS(1) !0", 1, 17, "inverted"},
    {"DETECTOR(1) rec[-1] !rec[-2]", 1, 21, "inverted"},
    {"M !sweep[1]", 1, 3, "sweep targets cannot be inverted"},
    {"HERALDED_PAULI_CHANNEL_1(0.1, 0.2, 0.3) 0", 1, 25, "4 arguments, got 3"},
    {"I_ERROR(0.6, 0.6) 0", 1, 8, "summing to at most 1"},
    {"7 0", 1, 1, "expected an instruction name"},
};

class ErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorTest, ReportsLineColumnAndReason) {
    const ErrorCase& e = GetParam();
    try {
        parse_stim(e.input);
        FAIL() << "parsed: " << e.input;
    } catch (const ParseError& err) {
        EXPECT_EQ(err.line, e.line) << err.what();
        EXPECT_EQ(err.column, e.column) << err.what();
        EXPECT_NE(err.message.find(e.message), std::string::npos) << err.what();
        std::string prefix =
            "line " + std::to_string(e.line) + ", column " + std::to_string(e.column) + ": ";
        EXPECT_EQ(std::string(err.what()).rfind(prefix, 0), 0u) << err.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Format, ErrorTest, testing::ValuesIn(kErrors));

struct CountCase {
    const char* input;
    std::uint64_t qubits, measurements, detectors, observables;
};

const CountCase kCounts[] = {
    {"", 0, 0, 0, 0},
    {"H 5", 6, 0, 0, 0},
    {"M 0 !1 2", 3, 3, 0, 0},
    {"MPP X0*Y1*Z2 X3", 4, 2, 0, 0},
    {"MXX 0 1 2 3\nMZZ !4 5", 6, 3, 0, 0},
    {"MPAD 0 1 1", 2, 3, 0, 0},  // stim counts the bit values as qubits
    {"HERALDED_ERASE(0.1) 0 7", 8, 2, 0, 0},
    {"HERALDED_PAULI_CHANNEL_1(0.1, 0, 0, 0) 3", 4, 1, 0, 0},
    {"MR 0\nMRX 1\nMRY 2\nR 9\nRX 1\nRY 1\nMX 0\nMY 0", 10, 5, 0, 0},
    {"REPEAT 10 {\n M 0 1\n DETECTOR rec[-1]\n REPEAT 3 {\n  MX 2\n  DETECTOR rec[-1]\n }\n}\n"
     "OBSERVABLE_INCLUDE(4) rec[-1]",
     3, 50, 40, 5},
    {"QUBIT_COORDS(1, 2) 99", 100, 0, 0, 0},
    {"OBSERVABLE_INCLUDE(0) Z7\nOBSERVABLE_INCLUDE(2) rec[-1]", 8, 0, 0, 3},
    {"E(0.1) X0 Y11\nSPP Z4", 12, 0, 0, 0},
    {"CX rec[-1] 5 sweep[9] 6", 7, 0, 0, 0},
    {"IF rec[-1] {\n H 12\n}", 13, 0, 0, 0},
    {"DETECTOR(1, 2) rec[-1]\nDETECTOR rec[-2]", 0, 0, 2, 0},
    {"M 4294967294", 4294967295ull, 1, 0, 0},
    {"REPEAT 1000000000000000000 {\n M 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n}", 18,
     18000000000000000000ull, 0, 0},
};

class CountTest : public testing::TestWithParam<CountCase> {};

TEST_P(CountTest, CountsWithoutUnrolling) {
    Circuit c = parse_stim(GetParam().input);
    EXPECT_EQ(c.num_qubits(), GetParam().qubits);
    EXPECT_EQ(c.num_measurements(), GetParam().measurements);
    EXPECT_EQ(c.num_detectors(), GetParam().detectors);
    EXPECT_EQ(c.num_observables(), GetParam().observables);
}

INSTANTIATE_TEST_SUITE_P(Format, CountTest, testing::ValuesIn(kCounts));

TEST(Counts, OverflowIsACircuitError) {
    Circuit nested = parse_stim(
        "REPEAT 1000000000000000000 {\n REPEAT 1000000 {\n  M 0\n  DETECTOR rec[-1]\n }\n}");
    EXPECT_THROW(nested.num_measurements(), CircuitError);
    EXPECT_THROW(nested.num_detectors(), CircuitError);
    EXPECT_EQ(nested.num_qubits(), 1u);
    Circuit wide = parse_stim(
        "REPEAT 1000000000000000000 {\n M 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18\n}");
    EXPECT_THROW(wide.num_measurements(), CircuitError);
    Circuit sum = parse_stim(
        "REPEAT 1000000000000000000 {\n M 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 "
        "15 16 17\n}\nREPEAT 1000000000000000000 {\n M 0\n}");
    EXPECT_THROW(sum.num_measurements(), CircuitError);
}

std::string nested_repeats(std::size_t depth) {
    std::string s;
    for (std::size_t k = 0; k < depth; k++) {
        s += "REPEAT 1 {\n";
    }
    s += "M 0\n";
    for (std::size_t k = 0; k < depth; k++) {
        s += "}\n";
    }
    return s;
}

TEST(Nesting, TheDeepestNestingParsesAndRoundTrips) {
    std::string text = nested_repeats(kMaxNesting);
    Circuit c = parse_stim(text);
    EXPECT_EQ(c.num_measurements(), 1u);
    EXPECT_TRUE(parse_stim(to_stim_text(c)) == c);
}

TEST(Nesting, DeeperNestingIsRefusedWithoutRecursion) {
    for (std::size_t depth : {kMaxNesting + 1, std::size_t{1000000}}) {
        std::string text;
        for (std::size_t k = 0; k < depth; k++) {
            text += "REPEAT 1 {\n";
        }
        try {
            parse_stim(text);
            FAIL();
        } catch (const ParseError& e) {
            EXPECT_EQ(e.line, kMaxNesting + 1);
            EXPECT_NE(e.message.find("deeper than " + std::to_string(kMaxNesting)),
                      std::string::npos);
        }
    }
}

struct FusionCase {
    const char* first;
    const char* second;
    bool fused;
};

const FusionCase kFusion[] = {
    {"H 0", "H 1", true},
    {"H 0", "S 1", false},
    {"M(0.1) 0", "M(0.1) 1", true},
    {"M(0.1) 0", "M(0.2) 1", false},
    {"M 0", "M(0) 1", false},
    {"H[a] 0", "H 1", false},
    {"H[a] 0", "H[a] 1", true},
    {"MPP X0", "MPP Y1*Z2", true},
    {"CX rec[-1] 0", "CX rec[-1] 1", true},
    {"MPAD 0", "MPAD 1", true},
    {"DEPOLARIZE2(0.1) 0 1", "DEPOLARIZE2(0.1) 2 3", true},
    {"DETECTOR rec[-1]", "DETECTOR rec[-1]", false},
    {"OBSERVABLE_INCLUDE(0) rec[-1]", "OBSERVABLE_INCLUDE(0) rec[-2]", false},
    {"TICK", "TICK", false},
    {"E(0.1) X0", "E(0.1) X1", false},
    {"ELSE_CORRELATED_ERROR(0.1) X0", "ELSE_CORRELATED_ERROR(0.1) X1", false},
    {"QUBIT_COORDS(1) 0", "QUBIT_COORDS(1) 1", false},
    {"SHIFT_COORDS(1)", "SHIFT_COORDS(1)", false},
};

class FusionTest : public testing::TestWithParam<FusionCase> {};

TEST_P(FusionTest, AppendMergesOnlyFusableEqualInstructions) {
    const FusionCase& f = GetParam();
    Instruction a = parse_stim(f.first).instructions.at(0);
    Instruction b = parse_stim(f.second).instructions.at(0);
    Circuit c;
    c.append(a);
    c.append(b);
    ASSERT_EQ(c.instructions.size(), f.fused ? 1u : 2u);
    if (f.fused) {
        std::vector<Target> joined = a.targets;
        joined.insert(joined.end(), b.targets.begin(), b.targets.end());
        EXPECT_EQ(c.instructions[0].targets, joined);
    }
    // The parser fuses consecutive lines by the same rule.
    Circuit parsed = parse_stim(std::string(f.first) + "\n" + f.second);
    EXPECT_TRUE(parsed == c);
}

INSTANTIATE_TEST_SUITE_P(Circuit, FusionTest, testing::ValuesIn(kFusion));

TEST(Append, NegativeZeroArgumentsFuseWithZero) {
    Circuit c;
    c.append(Instruction{Gate::M, {-0.0}, {Target::qubit_target(0)}, "", 0, 0});
    c.append(Instruction{Gate::M, {0.0}, {Target::qubit_target(1)}, "", 0, 0});
    ASSERT_EQ(c.instructions.size(), 1u);
    EXPECT_EQ(to_stim_text(c), "M(0) 0 1\n");
}

TEST(Append, BlocksBuiltThroughTheApiPrintAndReparse) {
    Circuit c;
    c.append(parse_stim("M 0 1").instructions[0]);
    Circuit& body = c.append_repeat(5, "loop");
    body.append(parse_stim("H 0").instructions[0]);
    Circuit& cond = c.append_if({Target::record_target(1), Target::record_target(2, true)});
    cond.append(parse_stim("X 1").instructions[0]);
    EXPECT_EQ(to_stim_text(c),
              "M 0 1\nREPEAT[loop] 5 {\n    H 0\n}\nIF rec[-1] !rec[-2] {\n    X 1\n}\n");
    EXPECT_TRUE(parse_stim(to_stim_text(c)) == c);
    EXPECT_THROW(c.append_repeat(0), CircuitError);
    EXPECT_THROW(c.append_if({}), CircuitError);
    Instruction dangling{Gate::REPEAT, {}, {}, "", 2, 99};
    EXPECT_THROW(c.append(dangling), CircuitError);
}

struct InvalidCase {
    const char* what;
    Instruction op;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

const InvalidCase kInvalid[] = {
    {"args to a gate without args", {Gate::H, {0.1}, {Target::qubit_target(0)}, "", 0, 0}},
    {"missing probability", {Gate::X_ERROR, {}, {Target::qubit_target(0)}, "", 0, 0}},
    {"NaN probability", {Gate::X_ERROR, {kNaN}, {Target::qubit_target(0)}, "", 0, 0}},
    {"infinite coordinate", {Gate::QUBIT_COORDS, {INFINITY}, {Target::qubit_target(0)}, "", 0, 0}},
    {"odd pair count", {Gate::CX, {}, {Target::qubit_target(0)}, "", 0, 0}},
    {"equal pair", {Gate::CZ, {}, {Target::qubit_target(1), Target::qubit_target(1)}, "", 0, 0}},
    {"record target on M", {Gate::M, {}, {Target::record_target(1)}, "", 0, 0}},
    {"leading combiner",
     {Gate::MPP, {}, {Target::combiner_target(), Target::pauli_target('X', 0)}, "", 0, 0}},
    {"qubit too large", {Gate::H, {}, {Target::qubit_target(4294967295u)}, "", 0, 0}},
    {"rec[-0]", {Gate::DETECTOR, {}, {Target::record_target(0)}, "", 0, 0}},
    {"bad pauli letter", {Gate::MPP, {}, {Target::pauli_target('Q', 0)}, "", 0, 0}},
    {"qubit with a pauli letter",
     {Gate::H, {}, {Target{Target::Kind::qubit, false, 'X', 0}}, "", 0, 0}},
    {"REPEAT 0", {Gate::REPEAT, {}, {}, "", 0, 0}},
    {"REPEAT too many", {Gate::REPEAT, {}, {}, "", kMaxRepeatCount + 1, 0}},
    {"repeat count on H", {Gate::H, {}, {Target::qubit_target(0)}, "", 3, 0}},
    {"body on H", {Gate::H, {}, {Target::qubit_target(0)}, "", 0, 3}},
    {"IF without conditions", {Gate::IF, {}, {}, "", 0, 0}},
    {"observable index not an integer",
     {Gate::OBSERVABLE_INCLUDE, {0.5}, {Target::record_target(1)}, "", 0, 0}},
    {"unknown gate enum", {static_cast<Gate>(250), {}, {}, "", 0, 0}},
};

class InvalidTest : public testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidTest, ValidateInstructionRefuses) {
    EXPECT_THROW(validate_instruction(GetParam().op), CircuitError) << GetParam().what;
    Circuit c;
    EXPECT_THROW(c.append(GetParam().op), CircuitError) << GetParam().what;
    EXPECT_TRUE(c.instructions.empty());
}

INSTANTIATE_TEST_SUITE_P(Circuit, InvalidTest, testing::ValuesIn(kInvalid));

TEST(Validate, AcceptsWhatTheParserProduces) {
    for (const CanonicalCase& c : kCanonical) {
        for (const Instruction& op : parse_stim(c.input).instructions) {
            EXPECT_NO_THROW(validate_instruction(op)) << c.input;
        }
    }
}

}  // namespace
