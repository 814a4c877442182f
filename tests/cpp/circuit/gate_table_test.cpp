// The gate table: tableaux against the unitary matrices of stim's gate
// reference, against its decompositions into H, S and CX, and against
// inverse identities; names, aliases and flags.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "circuit/circuit.hpp"
#include "clifford_math.hpp"
#include "gate_reference.hpp"

namespace {

using namespace lumora::circuit;
using namespace circuit_test;

std::string text_of(const char* decomposition) {
    std::string s = decomposition;
    std::replace(s.begin(), s.end(), ';', '\n');
    return s;
}

std::vector<Mat> system_generators() {
    std::vector<Mat> g;
    for (unsigned q = 0; q < 2; q++) {
        for (char p : {'X', 'Z'}) {
            g.push_back(embed(pauli_1q(p), {q}));
        }
    }
    return g;
}

// The gate's tableau as images of X0, Z0, X1, Z1 in a two-qubit system.
std::vector<Mat> gate_images(const GateInfo& g) {
    Instruction op;
    op.gate = g.gate;
    op.targets = {Target::qubit_target(0), Target::qubit_target(1)};
    if (!g.two_qubit) {
        op.targets.pop_back();
    }
    return instruction_images(op, 0);
}

void expect_same_images(const std::vector<Mat>& a, const std::vector<Mat>& b,
                        const std::string& what) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); k++) {
        EXPECT_LT(max_diff(a[k], b[k]), 1e-9) << what << ": generator " << k;
    }
}

class DocMatrixTest : public testing::TestWithParam<NamedText> {};

TEST_P(DocMatrixTest, TableauIsConjugationByTheUnitary) {
    const GateInfo* g = find_gate(GetParam().name);
    ASSERT_NE(g, nullptr);
    Mat u = parse_doc_matrix(GetParam().text);
    ASSERT_LT(max_diff(u * dagger(u), identity(u.n)), 1e-9) << "matrix text misread";
    std::vector<Mat> images = tableau_images(*g);
    std::vector<Mat> gens;
    if (u.n == 2) {
        gens = {pauli_1q('X'), pauli_1q('Z')};
    } else {
        gens = system_generators();
    }
    ASSERT_EQ(images.size(), gens.size());
    for (std::size_t k = 0; k < gens.size(); k++) {
        EXPECT_LT(max_diff(u * gens[k] * dagger(u), images[k]), 1e-9)
            << g->name << " image of generator " << k << " is " << g->tableau[k];
    }
}

INSTANTIATE_TEST_SUITE_P(Gates, DocMatrixTest, testing::ValuesIn(kDocMatrices),
                         [](const auto& info) { return std::string(info.param.name); });

class DocDecompositionTest : public testing::TestWithParam<NamedText> {};

TEST_P(DocDecompositionTest, TableauIsTheProductOfItsDecomposition) {
    const GateInfo* g = find_gate(GetParam().name);
    ASSERT_NE(g, nullptr);
    Circuit c = parse_stim(text_of(GetParam().text));
    expect_same_images(circuit_images(c), gate_images(*g), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Gates, DocDecompositionTest, testing::ValuesIn(kDocDecompositions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GateTable, EveryUnitaryGateWithATableauIsCoveredByTheReferenceTables) {
    std::set<std::string> matrices, decompositions;
    for (const auto& m : kDocMatrices) {
        matrices.insert(m.name);
    }
    for (const auto& d : kDocDecompositions) {
        decompositions.insert(d.name);
    }
    for (std::size_t k = 0; k < kGateCount; k++) {
        const GateInfo& g = gate_info(static_cast<Gate>(k));
        bool has_tableau = !g.tableau[0].empty();
        EXPECT_EQ(has_tableau, g.unitary && !g.pauli_product) << g.name;
        if (has_tableau) {
            EXPECT_TRUE(matrices.count(std::string(g.name))) << g.name;
            EXPECT_TRUE(decompositions.count(std::string(g.name))) << g.name;
        }
    }
}

// A gate followed by its inverse is the identity.
const NamedText kInversePairs[] = {
    {"I", "I"},
    {"X", "X"},
    {"Y", "Y"},
    {"Z", "Z"},
    {"H", "H"},
    {"H_XY", "H_XY"},
    {"H_YZ", "H_YZ"},
    {"H_NXY", "H_NXY"},
    {"H_NXZ", "H_NXZ"},
    {"H_NYZ", "H_NYZ"},
    {"S", "S_DAG"},
    {"SQRT_X", "SQRT_X_DAG"},
    {"SQRT_Y", "SQRT_Y_DAG"},
    {"C_XYZ", "C_ZYX"},
    {"CX", "CX"},
    {"CY", "CY"},
    {"CZ", "CZ"},
    {"XCX", "XCX"},
    {"XCY", "XCY"},
    {"XCZ", "XCZ"},
    {"YCX", "YCX"},
    {"YCY", "YCY"},
    {"YCZ", "YCZ"},
    {"SWAP", "SWAP"},
    {"II", "II"},
    {"ISWAP", "ISWAP_DAG"},
    {"SQRT_XX", "SQRT_XX_DAG"},
    {"SQRT_YY", "SQRT_YY_DAG"},
    {"SQRT_ZZ", "SQRT_ZZ_DAG"},
    {"CXSWAP", "SWAPCX"},
    {"CZSWAP", "CZSWAP"},
};

class InverseTest : public testing::TestWithParam<NamedText> {};

TEST_P(InverseTest, GateThenInverseIsIdentity) {
    for (const auto& [first, second] : {std::pair{GetParam().name, GetParam().text},
                                        std::pair{GetParam().text, GetParam().name}}) {
        const bool two = find_gate(first)->two_qubit;
        std::string targets = two ? " 0 1\n" : " 0\n";
        Circuit c = parse_stim(std::string(first) + targets + second + targets);
        expect_same_images(circuit_images(c), system_generators(),
                           std::string(first) + " then " + second);
    }
}

INSTANTIATE_TEST_SUITE_P(Gates, InverseTest, testing::ValuesIn(kInversePairs),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GateTable, AxisCyclingGatesHavePeriodThree) {
    for (const char* name :
         {"C_XYZ", "C_ZYX", "C_NXYZ", "C_XNYZ", "C_XYNZ", "C_NZYX", "C_ZNYX", "C_ZYNX"}) {
        std::string line = std::string(name) + " 0\n";
        Circuit once = parse_stim(line);
        Circuit thrice;
        for (int k = 0; k < 3; k++) {
            thrice.append(once.instructions[0]);
        }
        // Fusion merges the three into one instruction with three targets 0.
        ASSERT_EQ(thrice.instructions.size(), 1u);
        expect_same_images(circuit_images(thrice), system_generators(), name);
        EXPECT_GT(max_diff(circuit_images(once)[0], system_generators()[0]), 0.5) << name;
    }
}

TEST(GateTable, TwoQubitTableauDistinguishesTargetOrder) {
    // CX 0 1 and CX 1 0 differ; XCZ is CX with reversed targets.
    auto images = [](const char* text) { return circuit_images(parse_stim(text)); };
    expect_same_images(images("XCZ 0 1\n"), images("CX 1 0\n"), "XCZ vs reversed CX");
    EXPECT_GT(max_diff(images("CX 0 1\n")[0], images("CX 1 0\n")[0]), 0.5);
}

const std::pair<const char*, const char*> kAliases[] = {
    {"CNOT", "CX"},
    {"ZCX", "CX"},
    {"ZCY", "CY"},
    {"ZCZ", "CZ"},
    {"H_XZ", "H"},
    {"SQRT_Z", "S"},
    {"SQRT_Z_DAG", "S_DAG"},
    {"MZ", "M"},
    {"RZ", "R"},
    {"MRZ", "MR"},
    {"CORRELATED_ERROR", "E"},
    {"SWAPCZ", "CZSWAP"},
};

TEST(GateNames, DocumentedAliasesResolveToTheirCanonicalGate) {
    for (const auto& [alias, canonical] : kAliases) {
        const GateInfo* a = find_gate(alias);
        ASSERT_NE(a, nullptr) << alias;
        EXPECT_EQ(a->name, canonical) << alias;
    }
    EXPECT_EQ(gate_aliases().size(), std::size(kAliases));
}

TEST(GateNames, LookupIsCaseInsensitiveAndExact) {
    for (std::size_t k = 0; k < kGateCount; k++) {
        const GateInfo& g = gate_info(static_cast<Gate>(k));
        EXPECT_EQ(g.gate, static_cast<Gate>(k));
        std::string lower(g.name);
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(find_gate(lower), &g) << lower;
        EXPECT_EQ(find_gate(g.name), &g);
        EXPECT_EQ(find_gate(std::string(g.name) + "_"), nullptr);
    }
    EXPECT_EQ(find_gate(""), nullptr);
    EXPECT_EQ(find_gate("CNOTT"), nullptr);
    EXPECT_EQ(find_gate(std::string(100, 'H')), nullptr);
}

TEST(GateNames, NearestNameSuggestsTheClosestSpelling) {
    const std::pair<const char*, const char*> cases[] = {
        {"CNT", "CNOT"},         {"cnt", "CNOT"},
        {"DETECTR", "DETECTOR"}, {"REPEET", "REPEAT"},
        {"MPPP", "MPP"},         {"X_EROR", "X_ERROR"},
        {"SQRTX", "SQRT_X"},     {"depolarize", "DEPOLARIZE1"},
    };
    for (const auto& [typo, expected] : cases) {
        EXPECT_EQ(nearest_gate_name(typo), expected) << typo;
    }
}

// Sections of stim's gate reference, as flags.
TEST(GateTable, FlagsFollowTheReferenceSections) {
    auto names_where = [](auto pred) {
        std::set<std::string> out;
        for (std::size_t k = 0; k < kGateCount; k++) {
            const GateInfo& g = gate_info(static_cast<Gate>(k));
            if (pred(g)) {
                out.insert(std::string(g.name));
            }
        }
        return out;
    };
    using S = std::set<std::string>;
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.measurement; }),
              (S{"M", "MX", "MY", "MR", "MRX", "MRY", "MPP", "MXX", "MYY", "MZZ", "MPAD",
                 "HERALDED_ERASE", "HERALDED_PAULI_CHANNEL_1"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.reset; }),
              (S{"MR", "MRX", "MRY", "R", "RX", "RY"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.is_measure_reset(); }),
              (S{"MR", "MRX", "MRY"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.pauli_product; }),
              (S{"MPP", "SPP", "SPP_DAG"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.annotation; }),
              (S{"DETECTOR", "OBSERVABLE_INCLUDE", "QUBIT_COORDS", "SHIFT_COORDS", "TICK"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.block; }), (S{"REPEAT", "IF"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return !g.fusable; }),
              (S{"DETECTOR", "OBSERVABLE_INCLUDE", "QUBIT_COORDS", "SHIFT_COORDS", "TICK", "E",
                 "ELSE_CORRELATED_ERROR", "REPEAT", "IF"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.classical != 0; }),
              (S{"CX", "CY", "CZ", "XCZ", "YCZ"}));
    EXPECT_EQ(names_where([](const GateInfo& g) { return g.two_qubit && !g.unitary; }),
              (S{"MXX", "MYY", "MZZ", "DEPOLARIZE2", "PAULI_CHANNEL_2", "II_ERROR"}));
    for (std::size_t k = 0; k < kGateCount; k++) {
        const GateInfo& g = gate_info(static_cast<Gate>(k));
        if (g.unitary) {
            EXPECT_EQ(g.max_args, 0) << g.name;
            EXPECT_EQ(g.two_qubit, g.targets == TargetRule::qubit_pairs) << g.name;
        }
    }
}

TEST(GateTable, FindByTableauInvertsTheTable) {
    int found = 0;
    for (std::size_t k = 0; k < kGateCount; k++) {
        const GateInfo& g = gate_info(static_cast<Gate>(k));
        if (g.is_unitary_1q()) {
            EXPECT_EQ(find_1q_gate_by_tableau(g.tableau[0], g.tableau[1]), &g) << g.name;
            found++;
        }
    }
    EXPECT_EQ(found, 24);  // the single-qubit Clifford group modulo phase
    EXPECT_EQ(find_1q_gate_by_tableau("+X", "+X"), nullptr);
}

}  // namespace
