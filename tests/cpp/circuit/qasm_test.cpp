// OpenQASM 2.0: every qelib1 gate is checked against its unitary (from the
// OpenQASM 2.0 / qelib1.inc definitions) up to global phase, at every
// Clifford angle; then registers, broadcasting, gate definitions,
// measurement records and if, and errors with their positions.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "circuit/circuit.hpp"
#include "clifford_math.hpp"
#include "gate_reference.hpp"

namespace {

using namespace lumora::circuit;
using namespace circuit_test;

const double kPi = std::acos(-1.0);
const C kI(0, 1);

std::string program(const std::string& body) {
    return "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[2];\ncreg c[2];\n" + body;
}

// --- unitaries from the OpenQASM 2.0 definitions (qubit q[0] = low bit)

Mat rz_(double a) {
    return Mat{2, {std::exp(-kI * (a / 2)), 0, 0, std::exp(kI * (a / 2))}};
}
Mat ry_(double t) {
    return Mat{2, {std::cos(t / 2), -std::sin(t / 2), std::sin(t / 2), std::cos(t / 2)}};
}
Mat rx_(double t) {
    return Mat{2, {std::cos(t / 2), -kI * std::sin(t / 2), -kI * std::sin(t / 2), std::cos(t / 2)}};
}
// U(theta, phi, lambda) = Rz(phi) Ry(theta) Rz(lambda) (OpenQASM 2.0 paper).
Mat u_(double t, double p, double l) {
    return rz_(p) * ry_(t) * rz_(l);
}
Mat phase_(double l) {
    return Mat{2, {1, 0, 0, std::exp(kI * l)}};
}
// Controlled-v, control q[0] (low bit), target q[1].
Mat controlled_(const Mat& v) {
    Mat m = identity(4);
    m.at(1, 1) = v.at(0, 0);
    m.at(1, 3) = v.at(0, 1);
    m.at(3, 1) = v.at(1, 0);
    m.at(3, 3) = v.at(1, 1);
    return m;
}
// exp(-i t/2 P⊗P)
Mat pauli_rotation_(char p, double t) {
    Mat pp = kron(pauli_1q(p), pauli_1q(p));
    return C(std::cos(t / 2)) * identity(4) + (-kI * std::sin(t / 2)) * pp;
}

// --- the unitary of a parsed circuit on qubits 0 and 1

Mat circuit_unitary(const Circuit& c) {
    Mat u = identity(4);
    for (const Instruction& op : c.instructions) {
        const GateInfo& g = gate_info(op.gate);
        EXPECT_TRUE(g.unitary) << g.name;
        Mat m = doc_matrix(g.name);
        std::size_t width = g.two_qubit ? 2 : 1;
        for (std::size_t k = 0; k < op.targets.size(); k += width) {
            std::vector<unsigned> t;
            for (std::size_t j = k; j < k + width; j++) {
                t.push_back(op.targets[j].value);
            }
            u = embed(m, t) * u;
        }
    }
    return u;
}

// Distance between a and b after removing the best global phase.
double phase_distance(const Mat& a, const Mat& b) {
    C overlap = trace(dagger(b) * a);
    C phase = std::abs(overlap) > 1e-12 ? overlap / std::abs(overlap) : C(1);
    return max_diff(a, phase * b);
}

// Whether u maps every Pauli generator to a signed Pauli product: the
// definition of a Clifford unitary.
bool is_clifford(const Mat& u) {
    std::vector<Mat> paulis;
    for (char hi : {'I', 'X', 'Y', 'Z'}) {
        for (char lo : {'I', 'X', 'Y', 'Z'}) {
            paulis.push_back(kron(pauli_1q(hi), pauli_1q(lo)));
        }
    }
    for (unsigned q = 0; q < 2; q++) {
        for (char p : {'X', 'Z'}) {
            Mat image = u * embed(pauli_1q(p), {q}) * dagger(u);
            bool found = false;
            for (const Mat& candidate : paulis) {
                found = found || max_diff(image, candidate) < 1e-9 ||
                        max_diff(image, C(-1) * candidate) < 1e-9;
            }
            if (!found) {
                return false;
            }
        }
    }
    return true;
}

struct GateCase {
    const char* name;
    int params;
    int qubits;
    std::function<Mat(const std::vector<double>&)> unitary;  // on q[0] (and q[1])
};

Mat on_q0(const Mat& m) {
    return kron(identity(2), m);
}

const GateCase kGates[] = {
    {"id", 0, 1, [](auto&) { return identity(4); }},
    {"x", 0, 1, [](auto&) { return on_q0(pauli_1q('X')); }},
    {"y", 0, 1, [](auto&) { return on_q0(pauli_1q('Y')); }},
    {"z", 0, 1, [](auto&) { return on_q0(pauli_1q('Z')); }},
    {"h", 0, 1, [](auto&) { return on_q0(u_(kPi / 2, 0, kPi)); }},
    {"s", 0, 1, [](auto&) { return on_q0(phase_(kPi / 2)); }},
    {"sdg", 0, 1, [](auto&) { return on_q0(phase_(-kPi / 2)); }},
    {"sx", 0, 1,
     [](auto&) {
         return on_q0(Mat{2, {C(1, 1) / 2., C(1, -1) / 2., C(1, -1) / 2., C(1, 1) / 2.}});
     }},
    {"sxdg", 0, 1,
     [](auto&) {
         return on_q0(Mat{2, {C(1, -1) / 2., C(1, 1) / 2., C(1, 1) / 2., C(1, -1) / 2.}});
     }},
    {"u0", 1, 1, [](auto&) { return identity(4); }},
    {"U", 3, 1, [](auto& a) { return on_q0(u_(a[0], a[1], a[2])); }},
    {"u3", 3, 1, [](auto& a) { return on_q0(u_(a[0], a[1], a[2])); }},
    {"u", 3, 1, [](auto& a) { return on_q0(u_(a[0], a[1], a[2])); }},
    {"u2", 2, 1, [](auto& a) { return on_q0(u_(kPi / 2, a[0], a[1])); }},
    {"u1", 1, 1, [](auto& a) { return on_q0(phase_(a[0])); }},
    {"p", 1, 1, [](auto& a) { return on_q0(phase_(a[0])); }},
    {"rx", 1, 1, [](auto& a) { return on_q0(rx_(a[0])); }},
    {"ry", 1, 1, [](auto& a) { return on_q0(ry_(a[0])); }},
    {"rz", 1, 1, [](auto& a) { return on_q0(rz_(a[0])); }},
    {"CX", 0, 2, [](auto&) { return controlled_(pauli_1q('X')); }},
    {"cx", 0, 2, [](auto&) { return controlled_(pauli_1q('X')); }},
    {"cy", 0, 2, [](auto&) { return controlled_(pauli_1q('Y')); }},
    {"cz", 0, 2, [](auto&) { return controlled_(pauli_1q('Z')); }},
    {"swap", 0, 2, [](auto&) { return Mat{4, {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}}; }},
    {"cu1", 1, 2, [](auto& a) { return controlled_(phase_(a[0])); }},
    {"cp", 1, 2, [](auto& a) { return controlled_(phase_(a[0])); }},
    {"crz", 1, 2, [](auto& a) { return controlled_(rz_(a[0])); }},
    {"crx", 1, 2, [](auto& a) { return controlled_(rx_(a[0])); }},
    {"cry", 1, 2, [](auto& a) { return controlled_(ry_(a[0])); }},
    // qelib1's cu3 is controlled-u3 with u3 = exp(i(phi+lambda)/2) U.
    {"cu3", 3, 2,
     [](auto& a) {
         return controlled_(std::exp(kI * ((a[1] + a[2]) / 2)) * u_(a[0], a[1], a[2]));
     }},
    {"cu", 4, 2,
     [](auto& a) {
         return controlled_(std::exp(kI * (a[3] + (a[1] + a[2]) / 2)) * u_(a[0], a[1], a[2]));
     }},
    {"rzz", 1, 2, [](auto& a) { return pauli_rotation_('Z', a[0]); }},
    {"rxx", 1, 2, [](auto& a) { return pauli_rotation_('X', a[0]); }},
};

std::string call(const GateCase& g, const std::vector<std::string>& angles) {
    std::string s = g.name;
    for (std::size_t k = 0; k < angles.size(); k++) {
        s += (k ? ", " : "(") + angles[k];
    }
    s += angles.empty() ? "" : ")";
    return s + (g.qubits == 2 ? " q[0], q[1];\n" : " q[0];\n");
}

class QasmGateTest : public testing::TestWithParam<GateCase> {};

// Every combination of angles k*pi/2 (k = -1..4): the gate is accepted iff
// its unitary is Clifford, and then the stim gates it becomes multiply to
// that unitary up to global phase.
TEST_P(QasmGateTest, MultiplesOfHalfPiMapToTheSameUnitary) {
    const GateCase& g = GetParam();
    const char* texts[] = {"-pi/2", "0", "pi/2", "pi", "3*pi/2", "2*pi"};
    const double values[] = {-kPi / 2, 0, kPi / 2, kPi, 3 * kPi / 2, 2 * kPi};
    std::size_t combos = 1;
    for (int k = 0; k < g.params; k++) {
        combos *= 6;
    }
    std::size_t accepted = 0;
    for (std::size_t combo = 0; combo < combos; combo++) {
        std::vector<std::string> angles;
        std::vector<double> vals;
        for (std::size_t k = 0, rest = combo; k < static_cast<std::size_t>(g.params);
             k++, rest /= 6) {
            angles.push_back(texts[rest % 6]);
            vals.push_back(values[rest % 6]);
        }
        std::string stmt = call(g, angles);
        Mat expected = g.unitary(vals);
        if (!is_clifford(expected)) {
            EXPECT_THROW(parse_qasm(program(stmt)), ParseError) << stmt;
            continue;
        }
        Circuit c = parse_qasm(program(stmt));
        EXPECT_LT(phase_distance(circuit_unitary(c), expected), 1e-9) << stmt << to_stim_text(c);
        accepted++;
    }
    EXPECT_GT(accepted, 0u);
}

// Angles within 1e-9 of a Clifford angle are snapped; angles clearly away
// from one are refused at the gate unless the unitary is Clifford anyway.
TEST_P(QasmGateTest, OtherAnglesAreRefusedAtTheGateUnlessClifford) {
    const GateCase& g = GetParam();
    if (g.params == 0) {
        return;
    }
    std::vector<double> near_vals(static_cast<std::size_t>(g.params), kPi / 2);
    if (is_clifford(g.unitary(near_vals))) {
        std::vector<std::string> near(static_cast<std::size_t>(g.params), "pi/2 + 1e-10");
        Circuit c = parse_qasm(program(call(g, near)));
        EXPECT_LT(phase_distance(circuit_unitary(c), g.unitary(near_vals)), 1e-8) << call(g, near);
    }
    const std::pair<const char*, double> others[] = {
        {"pi/4", kPi / 4}, {"0.1", 0.1}, {"pi/2 + 1e-6", kPi / 2 + 1e-6}};
    for (const auto& [text, value] : others) {
        std::vector<std::string> angles(static_cast<std::size_t>(g.params), text);
        std::vector<double> vals(static_cast<std::size_t>(g.params), value);
        std::string stmt = call(g, angles);
        if (is_clifford(g.unitary(vals))) {
            Circuit c = parse_qasm(program(stmt));
            EXPECT_LT(phase_distance(circuit_unitary(c), g.unitary(vals)), 1e-9) << stmt;
            continue;
        }
        try {
            parse_qasm(program(stmt));
            ADD_FAILURE() << "accepted " << stmt;
        } catch (const ParseError& e) {
            EXPECT_EQ(e.line, 5u) << e.what();
            EXPECT_EQ(e.column, 1u) << e.what();
            EXPECT_NE(e.message.find("not a Clifford"), std::string::npos) << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Qelib, QasmGateTest, testing::ValuesIn(kGates), [](const auto& info) {
    return std::string(info.param.name) +
           (info.param.name[0] == 'U' || info.param.name[0] == 'C' ? "_builtin" : "");
});

TEST(Qasm, AnglesOfPhasesThatCancelAreStillClifford) {
    // u3(0, a, -a) is the identity for any a; u3(pi, a, a + pi) is X up to phase.
    Circuit c = parse_qasm(program("u3(0, 0.3, -0.3) q[0];\nu3(pi, 0.7, 0.7 + pi) q[1];\n"));
    EXPECT_EQ(to_stim_text(c), "I 0\nX 1\n");
    Circuit d = parse_qasm(program("u3(pi, 0.7, 0.7) q[0];\n"));
    EXPECT_LT(phase_distance(circuit_unitary(d), on_q0(u_(kPi, 0.7, 0.7))), 1e-9);
}

TEST(Qasm, ExpressionsEvaluateLikeTheSpec) {
    const std::pair<const char*, const char*> same[] = {
        {"-pi/2", "3*pi/2"},
        {"pi*3/2", "3*pi/2"},
        {"2*pi - pi/2", "3*pi/2"},
        {"sqrt(4)*pi/4", "pi/2"},
        {"ln(exp(pi))", "pi"},
        {"(pi)^1", "pi"},
        {"-(-pi)", "pi"},
        {"cos(0)*pi", "pi"},
        {"pi/2^1", "pi/2"},
        {"2^2*pi/8", "pi/2"},
        {"tan(0) + sin(0) + pi", "pi"},
        {"1.5707963267948966", "pi/2"},
        {"+pi", "pi"},
        {"pi - -pi/2", "3*pi/2"},
        {"15707963267948966e-16", "pi/2"},
    };
    for (const auto& [expr, value] : same) {
        EXPECT_TRUE(parse_qasm(program(std::string("rz(") + expr + ") q[0];")) ==
                    parse_qasm(program(std::string("rz(") + value + ") q[0];")))
            << expr;
    }
}

struct ProgramCase {
    const char* body;      // after the OPENQASM and include lines
    const char* expected;  // canonical stim text
};

const ProgramCase kPrograms[] = {
    // Qubits are numbered across registers in declaration order.
    {"qreg a[2];\nqreg b[3];\nh b;\ncx a[0], b[1];\nx a;\n", "H 2 3 4\nCX 0 3\nX 0 1\n"},
    {"qreg a[2];\nqreg b[2];\ncx a, b;\n", "CX 0 2 1 3\n"},
    {"qreg a[1];\nqreg b[3];\ncz a[0], b;\n", "CZ 0 1 0 2 0 3\n"},
    {"qreg q[3];\nreset q;\nbarrier q;\nreset q[1];\n", "R 0 1 2\nTICK\nR 1\n"},
    {"qreg q[2];\ncreg c[2];\nmeasure q -> c;\nmeasure q[1] -> c[0];\n", "M 0 1 1\n"},
    // c[0] holds record 0, c[1] record 1; value 2 = c[1]c[0] = 10.
    {"qreg q[2];\ncreg c[2];\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[1];\nif(c==2) x q[0];\n",
     "M 0 1\nIF !rec[-2] rec[-1] {\n    X 0\n}\n"},
    // Only the last write to a bit counts; lookbacks are relative to the IF.
    {"qreg q[2];\ncreg c[2];\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[0];\nh q[0];\n"
     "measure q[0] -> c[1];\nif(c==3) cx q[0], q[1];\n",
     "M 0 1\nH 0\nM 0\nIF rec[-2] rec[-1] {\n    CX 0 1\n}\n"},
    // A bit never measured is 0: asking for 1 there can never hold.
    {"qreg q[1];\ncreg c[2];\nmeasure q[0] -> c[0];\nif(c==2) x q[0];\nif(c==3) x q[0];\n"
     "if(c==1) y q[0];\n",
     "M 0\nIF rec[-1] {\n    Y 0\n}\n"},
    // Values wider than the register never match; value 0 of an unmeasured
    // register always holds.
    {"qreg q[1];\ncreg c[1];\nif(c==2) x q[0];\nif(c==0) z q[0];\n", "Z 0\n"},
    // A conditioned user gate becomes one IF block with the whole expansion.
    {"qreg q[2];\ncreg c[1];\ngate bell a, b { h a; cx a, b; }\nmeasure q[1] -> c[0];\n"
     "if(c==1) bell q[0], q[1];\n",
     "M 1\nIF rec[-1] {\n    H 0\n    CX 0 1\n}\n"},
    // Parameters and formal qubits are substituted; definitions nest.
    {"qreg q[3];\ngate rot(t) a { rz(t) a; }\ngate pair(t, u) a, b { rot(t) a; rot(u) b; cx b, a; "
     "}\n"
     "pair(pi/2, -pi/2) q[2], q[0];\n",
     "S 2\nS_DAG 0\nCX 0 2\n"},
    {"qreg q[1];\ngate g a { barrier a; x a; }\nopaque magic a;\ng q[0];\n", "X 0\n"},
    {"qreg q[2];\ncp(pi) q[0], q[1];\ncrz(pi) q[0], q[1];\nrzz(pi) q[0], q[1];\n",
     "CZ 0 1 0 1\nS_DAG 0\nZ 0 1\n"},
    {"// comment\nqreg q[1]; // trailing\r\nU(pi/2, 0, pi) q[0]; CX q[0], q[0 ];\n", nullptr},
};

class QasmProgramTest : public testing::TestWithParam<ProgramCase> {};

TEST_P(QasmProgramTest, TranslatesToStim) {
    std::string text = std::string("OPENQASM 2.0;\ninclude \"qelib1.inc\";\n") + GetParam().body;
    if (GetParam().expected == nullptr) {
        EXPECT_THROW(parse_qasm(text), ParseError);
        return;
    }
    Circuit c = parse_qasm(text);
    EXPECT_EQ(to_stim_text(c), GetParam().expected);
    EXPECT_TRUE(parse_stim(to_stim_text(c)) == c);
}

INSTANTIATE_TEST_SUITE_P(Qasm, QasmProgramTest, testing::ValuesIn(kPrograms));

struct QasmError {
    const char* text;  // a whole program
    std::size_t line, column;
    const char* message;
};

const char* kHead = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[3];\ncreg c[2];\n";

const QasmError kQasmErrors[] = {
    {"t q[0];", 5, 1, "gate 't' is not a Clifford"},
    {"h q[0];\n  tdg q[1];", 6, 3, "gate 'tdg' is not a Clifford"},
    {"rx(pi/4) q[0];", 5, 1, "not a Clifford"},
    {"ccx q[0], q[1], q[2];", 5, 1, "gate 'ccx' is not a Clifford"},
    {"gate g a { t a; }\nh q[0];\ng q[1];", 7, 1, "inside gate 'g' defined at line 5"},
    {"opaque magic a;\nmagic q[0];", 6, 1, "opaque gate 'magic'"},
    {"foo q[0];", 5, 1, "undefined gate 'foo'"},
    {"qreg r[1];\nh q[5];", 6, 5, "outside register 'q' of size 3"},
    {"qreg r[2];\ncx q, r;", 6, 7, "different sizes"},
    {"if(c==1) measure q[0] -> c[0];", 5, 10, "cannot be conditioned"},
    {"if(c==1) reset q[0];", 5, 10, "cannot be conditioned"},
    {"if(q==1) x q[0];", 5, 4, "not a classical register"},
    {"cx q[0], q[0];", 5, 10, "same qubit twice"},
    {"gate g a { g a; }", 5, 12, "cannot use itself"},
    {"gate g a, a { x a; }", 5, 11, "repeated"},
    {"gate g(t) a { rz(s) a; }", 5, 18, "unknown identifier 's'"},
    {"rz q[0];", 5, 1, "takes 1 parameter, got 0"},
    {"cx q[0];", 5, 1, "takes 2 qubits, got 1"},
    {"h c[0];", 5, 3, "classical register"},
    {"measure q[0] -> q[1];", 5, 17, "expected a classical"},
    {"x q[0]", 5, 7, "expected ';'"},
    {"qreg q[2];", 5, 6, "already defined"},
    {"qreg r[0];", 5, 8, "at least one"},
    {"h q[0]; @", 5, 9, "unexpected character '@'"},
    {"rz(1/0) q[0];", 5, 1, "not a Clifford"},
    {"rz("
     "((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((("
     "((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((("
     "((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((("
     "0",
     5, 205, "nested too deeply"},
    {"qreg big[4000000000];\nh big;", 6, 1, "more than 2^24"},
};

class QasmErrorTest : public testing::TestWithParam<QasmError> {};

TEST_P(QasmErrorTest, ReportsLineColumnAndReason) {
    std::string text = std::string(kHead) + GetParam().text;
    try {
        parse_qasm(text);
        FAIL() << "parsed: " << GetParam().text;
    } catch (const ParseError& e) {
        EXPECT_EQ(e.line, GetParam().line) << e.what();
        EXPECT_EQ(e.column, GetParam().column) << e.what();
        EXPECT_NE(e.message.find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Qasm, QasmErrorTest, testing::ValuesIn(kQasmErrors));

TEST(QasmHeader, VersionIncludeAndQelibAreChecked) {
    const QasmError cases[] = {
        {"qreg q[1];", 1, 1, "OPENQASM 2.0"},
        {"OPENQASM 3.0;\nqreg q[1];", 1, 10, "only OpenQASM version 2.0"},
        {"OPENQASM 2.0;\ninclude \"stdgates.inc\";", 2, 9, "only include \"qelib1.inc\""},
        {"OPENQASM 2.0;\nqreg q[1];\nh q[0];", 3, 1, "missing include \"qelib1.inc\""},
        {"OPENQASM 2.0;\ngate h a { U(pi/2, 0, pi) a; }\ninclude \"qelib1.inc\";", 3, 9,
         "already defined"},
        {"OPENQASM 2.0;\ninclude \"qelib1.inc", 2, 9, "unterminated string"},
    };
    for (const QasmError& e : cases) {
        try {
            parse_qasm(e.text);
            ADD_FAILURE() << "parsed: " << e.text;
        } catch (const ParseError& err) {
            EXPECT_EQ(err.line, e.line) << err.what();
            EXPECT_EQ(err.column, e.column) << err.what();
            EXPECT_NE(err.message.find(e.message), std::string::npos) << err.what();
        }
    }
    // Without the include, only U and CX exist.
    EXPECT_EQ(
        to_stim_text(parse_qasm("OPENQASM 2.0;\nqreg q[2];\nU(pi, 0, pi) q[0];\nCX q[0], q[1];")),
        "X 0\nCX 0 1\n");
}

TEST(QasmLimits, LongPrefixChainsAreRefusedWithoutDeepRecursion) {
    for (const char* op : {"+", "-", "("}) {
        std::string text = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[1];\nrz(";
        for (int k = 0; k < 1000000; k++) {
            text += op;
        }
        text += "pi) q[0];";
        try {
            parse_qasm(text);
            ADD_FAILURE() << op;
        } catch (const ParseError& e) {
            EXPECT_NE(e.message.find("nested too deeply"), std::string::npos) << e.what();
        }
    }
}

TEST(QasmLimits, ExponentialDefinitionsHitTheExpansionLimit) {
    std::string text =
        "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[1];\ngate g0 a { x a; x a; }\n";
    for (int k = 1; k <= 30; k++) {
        text += "gate g" + std::to_string(k) + " a { g" + std::to_string(k - 1) + " a; g" +
                std::to_string(k - 1) + " a; }\n";
    }
    text += "g30 q[0];\n";
    try {
        parse_qasm(text);
        FAIL();
    } catch (const ParseError& e) {
        EXPECT_EQ(e.line, 35u);
        EXPECT_NE(e.message.find("more than 2^24"), std::string::npos);
    }
}

}  // namespace
