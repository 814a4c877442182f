#include "circuit/gate_table.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace lumora::circuit {
namespace {

constexpr std::uint8_t kAny = GateInfo::kAnyArgs;
constexpr std::uint8_t kFirst = 1;   // first target of a pair may be classical
constexpr std::uint8_t kSecond = 2;  // second target of a pair may be classical

// Builders for the families of the table; each sets every field.
constexpr GateInfo blank(std::string_view name, Gate g) {
    return GateInfo{name,  g,     false,         false, false, false,
                    false, false, false,         false, false, TargetRule::none,
                    false, 0,     ArgRule::none, 0,     0,     0.0,
                    {}};
}

constexpr GateInfo unitary_1q(std::string_view name, Gate g, std::string_view x,
                              std::string_view z) {
    GateInfo r = blank(name, g);
    r.unitary = true;
    r.fusable = true;
    r.targets = TargetRule::qubits;
    r.tableau = {x, z, {}, {}};
    return r;
}

constexpr GateInfo unitary_2q(std::string_view name, Gate g, std::string_view x0,
                              std::string_view z0, std::string_view x1, std::string_view z1,
                              std::uint8_t classical = 0) {
    GateInfo r = blank(name, g);
    r.unitary = true;
    r.two_qubit = true;
    r.fusable = true;
    r.targets = TargetRule::qubit_pairs;
    r.classical = classical;
    r.tableau = {x0, z0, x1, z1};
    return r;
}

constexpr GateInfo pauli_phasing(std::string_view name, Gate g) {
    GateInfo r = blank(name, g);
    r.unitary = true;
    r.pauli_product = true;
    r.fusable = true;
    r.targets = TargetRule::pauli_products;
    r.takes_inverted = true;
    return r;
}

// Measurements take an optional flip probability.
constexpr GateInfo measurement(std::string_view name, Gate g, bool reset,
                               TargetRule targets = TargetRule::qubits) {
    GateInfo r = blank(name, g);
    r.measurement = true;
    r.reset = reset;
    r.fusable = true;
    r.targets = targets;
    r.takes_inverted = targets != TargetRule::bits;
    r.two_qubit = targets == TargetRule::qubit_pairs;
    r.pauli_product = targets == TargetRule::pauli_products;
    r.args = ArgRule::probability;
    r.min_args = 0;
    r.max_args = 1;
    r.max_probability = 1.0;
    return r;
}

constexpr GateInfo reset(std::string_view name, Gate g) {
    GateInfo r = blank(name, g);
    r.reset = true;
    r.fusable = true;
    r.targets = TargetRule::qubits;
    return r;
}

constexpr GateInfo noise(std::string_view name, Gate g, TargetRule targets, ArgRule args,
                         std::uint8_t min_args, std::uint8_t max_args,
                         double max_probability = 1.0) {
    GateInfo r = blank(name, g);
    r.noise = true;
    r.fusable = targets != TargetRule::paulis;  // E(p) X0 Y1 is one correlated error
    r.targets = targets;
    r.two_qubit = targets == TargetRule::qubit_pairs;
    r.args = args;
    r.min_args = min_args;
    r.max_args = max_args;
    r.max_probability = max_probability;
    return r;
}

constexpr GateInfo heralded(std::string_view name, Gate g, ArgRule args, std::uint8_t n) {
    GateInfo r = noise(name, g, TargetRule::qubits, args, n, n);
    r.measurement = true;
    r.takes_inverted = true;
    return r;
}

constexpr GateInfo annotation(std::string_view name, Gate g, TargetRule targets, ArgRule args,
                              std::uint8_t min_args, std::uint8_t max_args) {
    GateInfo r = blank(name, g);
    r.annotation = true;
    r.targets = targets;
    r.takes_inverted = targets == TargetRule::records_or_paulis;
    r.args = args;
    r.min_args = min_args;
    r.max_args = max_args;
    return r;
}

constexpr GateInfo block(std::string_view name, Gate g, TargetRule targets) {
    GateInfo r = blank(name, g);
    r.block = true;
    r.targets = targets;
    r.takes_inverted = targets == TargetRule::conditions;
    return r;
}

using TR = TargetRule;
using AR = ArgRule;

// Tableaux follow the "Stabilizer Generators" of stim's gate reference.
constexpr std::array<GateInfo, kGateCount> kGates = {
    unitary_1q("I", Gate::I, "+X", "+Z"),
    unitary_1q("X", Gate::X, "+X", "-Z"),
    unitary_1q("Y", Gate::Y, "-X", "-Z"),
    unitary_1q("Z", Gate::Z, "-X", "+Z"),
    unitary_1q("C_XYZ", Gate::C_XYZ, "+Y", "+X"),
    unitary_1q("C_ZYX", Gate::C_ZYX, "+Z", "+Y"),
    unitary_1q("C_NXYZ", Gate::C_NXYZ, "-Y", "-X"),
    unitary_1q("C_XNYZ", Gate::C_XNYZ, "-Y", "+X"),
    unitary_1q("C_XYNZ", Gate::C_XYNZ, "+Y", "-X"),
    unitary_1q("C_NZYX", Gate::C_NZYX, "-Z", "-Y"),
    unitary_1q("C_ZNYX", Gate::C_ZNYX, "+Z", "-Y"),
    unitary_1q("C_ZYNX", Gate::C_ZYNX, "-Z", "+Y"),
    unitary_1q("H", Gate::H, "+Z", "+X"),
    unitary_1q("H_XY", Gate::H_XY, "+Y", "-Z"),
    unitary_1q("H_YZ", Gate::H_YZ, "-X", "+Y"),
    unitary_1q("H_NXY", Gate::H_NXY, "-Y", "-Z"),
    unitary_1q("H_NXZ", Gate::H_NXZ, "-Z", "-X"),
    unitary_1q("H_NYZ", Gate::H_NYZ, "-X", "-Y"),
    unitary_1q("S", Gate::S, "+Y", "+Z"),
    unitary_1q("S_DAG", Gate::S_DAG, "-Y", "+Z"),
    unitary_1q("SQRT_X", Gate::SQRT_X, "+X", "-Y"),
    unitary_1q("SQRT_X_DAG", Gate::SQRT_X_DAG, "+X", "+Y"),
    unitary_1q("SQRT_Y", Gate::SQRT_Y, "-Z", "+X"),
    unitary_1q("SQRT_Y_DAG", Gate::SQRT_Y_DAG, "+Z", "-X"),

    unitary_2q("CX", Gate::CX, "+XX", "+Z_", "+_X", "+ZZ", kFirst),
    unitary_2q("CY", Gate::CY, "+XY", "+Z_", "+ZX", "+ZZ", kFirst),
    unitary_2q("CZ", Gate::CZ, "+XZ", "+Z_", "+ZX", "+_Z", kFirst | kSecond),
    unitary_2q("XCX", Gate::XCX, "+X_", "+ZX", "+_X", "+XZ"),
    unitary_2q("XCY", Gate::XCY, "+X_", "+ZY", "+XX", "+XZ"),
    unitary_2q("XCZ", Gate::XCZ, "+X_", "+ZZ", "+XX", "+_Z", kSecond),
    unitary_2q("YCX", Gate::YCX, "+XX", "+ZX", "+_X", "+YZ"),
    unitary_2q("YCY", Gate::YCY, "+XY", "+ZY", "+YX", "+YZ"),
    unitary_2q("YCZ", Gate::YCZ, "+XZ", "+ZZ", "+YX", "+_Z", kSecond),
    unitary_2q("SWAP", Gate::SWAP, "+_X", "+_Z", "+X_", "+Z_"),
    unitary_2q("ISWAP", Gate::ISWAP, "+ZY", "+_Z", "+YZ", "+Z_"),
    unitary_2q("ISWAP_DAG", Gate::ISWAP_DAG, "-ZY", "+_Z", "-YZ", "+Z_"),
    unitary_2q("SQRT_XX", Gate::SQRT_XX, "+X_", "-YX", "+_X", "-XY"),
    unitary_2q("SQRT_XX_DAG", Gate::SQRT_XX_DAG, "+X_", "+YX", "+_X", "+XY"),
    unitary_2q("SQRT_YY", Gate::SQRT_YY, "-ZY", "+XY", "-YZ", "+YX"),
    unitary_2q("SQRT_YY_DAG", Gate::SQRT_YY_DAG, "+ZY", "-XY", "+YZ", "-YX"),
    unitary_2q("SQRT_ZZ", Gate::SQRT_ZZ, "+YZ", "+Z_", "+ZY", "+_Z"),
    unitary_2q("SQRT_ZZ_DAG", Gate::SQRT_ZZ_DAG, "-YZ", "+Z_", "-ZY", "+_Z"),
    unitary_2q("CXSWAP", Gate::CXSWAP, "+XX", "+_Z", "+X_", "+ZZ"),
    unitary_2q("SWAPCX", Gate::SWAPCX, "+_X", "+ZZ", "+XX", "+Z_"),
    unitary_2q("CZSWAP", Gate::CZSWAP, "+ZX", "+_Z", "+XZ", "+Z_"),
    unitary_2q("II", Gate::II, "+X_", "+Z_", "+_X", "+_Z"),

    pauli_phasing("SPP", Gate::SPP),
    pauli_phasing("SPP_DAG", Gate::SPP_DAG),

    measurement("M", Gate::M, false),
    measurement("MX", Gate::MX, false),
    measurement("MY", Gate::MY, false),
    measurement("MR", Gate::MR, true),
    measurement("MRX", Gate::MRX, true),
    measurement("MRY", Gate::MRY, true),
    reset("R", Gate::R),
    reset("RX", Gate::RX),
    reset("RY", Gate::RY),
    measurement("MPP", Gate::MPP, false, TR::pauli_products),
    measurement("MXX", Gate::MXX, false, TR::qubit_pairs),
    measurement("MYY", Gate::MYY, false, TR::qubit_pairs),
    measurement("MZZ", Gate::MZZ, false, TR::qubit_pairs),
    measurement("MPAD", Gate::MPAD, false, TR::bits),

    noise("X_ERROR", Gate::X_ERROR, TR::qubits, AR::probability, 1, 1),
    noise("Y_ERROR", Gate::Y_ERROR, TR::qubits, AR::probability, 1, 1),
    noise("Z_ERROR", Gate::Z_ERROR, TR::qubits, AR::probability, 1, 1),
    noise("DEPOLARIZE1", Gate::DEPOLARIZE1, TR::qubits, AR::probability, 1, 1, 3.0 / 4.0),
    noise("DEPOLARIZE2", Gate::DEPOLARIZE2, TR::qubit_pairs, AR::probability, 1, 1, 15.0 / 16.0),
    noise("PAULI_CHANNEL_1", Gate::PAULI_CHANNEL_1, TR::qubits, AR::disjoint_probabilities, 3, 3),
    noise("PAULI_CHANNEL_2", Gate::PAULI_CHANNEL_2, TR::qubit_pairs, AR::disjoint_probabilities, 15,
          15),
    noise("E", Gate::E, TR::paulis, AR::probability, 1, 1),
    noise("ELSE_CORRELATED_ERROR", Gate::ELSE_CORRELATED_ERROR, TR::paulis, AR::probability, 1, 1),
    heralded("HERALDED_ERASE", Gate::HERALDED_ERASE, AR::probability, 1),
    heralded("HERALDED_PAULI_CHANNEL_1", Gate::HERALDED_PAULI_CHANNEL_1, AR::disjoint_probabilities,
             4),
    noise("I_ERROR", Gate::I_ERROR, TR::qubits, AR::disjoint_probabilities, 0, kAny),
    noise("II_ERROR", Gate::II_ERROR, TR::qubit_pairs, AR::disjoint_probabilities, 0, kAny),

    annotation("DETECTOR", Gate::DETECTOR, TR::records, AR::coordinates, 0, kAny),
    annotation("OBSERVABLE_INCLUDE", Gate::OBSERVABLE_INCLUDE, TR::records_or_paulis,
               AR::observable_index, 1, 1),
    annotation("QUBIT_COORDS", Gate::QUBIT_COORDS, TR::qubits, AR::coordinates, 0, kAny),
    annotation("SHIFT_COORDS", Gate::SHIFT_COORDS, TR::none, AR::coordinates, 0, kAny),
    annotation("TICK", Gate::TICK, TR::none, AR::none, 0, 0),

    block("REPEAT", Gate::REPEAT, TR::none),
    block("IF", Gate::IF, TR::conditions),
};

constexpr bool table_is_in_enum_order() {
    for (std::size_t k = 0; k < kGates.size(); k++) {
        if (static_cast<std::size_t>(kGates[k].gate) != k) {
            return false;
        }
    }
    return true;
}
static_assert(table_is_in_enum_order(), "kGates must list the gates in enum order");

constexpr std::array<GateAlias, 12> kAliases = {{
    {"CNOT", Gate::CX},
    {"ZCX", Gate::CX},
    {"ZCY", Gate::CY},
    {"ZCZ", Gate::CZ},
    {"H_XZ", Gate::H},
    {"SQRT_Z", Gate::S},
    {"SQRT_Z_DAG", Gate::S_DAG},
    {"MZ", Gate::M},
    {"RZ", Gate::R},
    {"MRZ", Gate::MR},
    {"CORRELATED_ERROR", Gate::E},
    {"SWAPCZ", Gate::CZSWAP},
}};

constexpr std::size_t kMaxNameLength = 32;

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Open-addressing hash table from upper-case names to gates.
class NameTable {
public:
    NameTable() {
        slots_.fill(kEmpty);
        for (const GateInfo& g : kGates) {
            insert(g.name, g.gate);
        }
        for (const GateAlias& a : kAliases) {
            insert(a.alias, a.gate);
        }
    }

    const GateInfo* find(std::string_view name) const {
        if (name.empty() || name.size() > kMaxNameLength) {
            return nullptr;
        }
        char buf[kMaxNameLength];
        for (std::size_t k = 0; k < name.size(); k++) {
            buf[k] = upper(name[k]);
        }
        std::string_view key(buf, name.size());
        for (std::size_t h = hash(key);; h = (h + 1) & kMask) {
            std::uint8_t s = slots_[h];
            if (s == kEmpty) {
                return nullptr;
            }
            if (keys_[s] == key) {
                return &kGates[static_cast<std::size_t>(gates_[s])];
            }
        }
    }

private:
    static constexpr std::size_t kSize = 512;
    static constexpr std::size_t kMask = kSize - 1;
    static constexpr std::uint8_t kEmpty = 255;

    static std::size_t hash(std::string_view s) {
        std::uint32_t h = 2166136261u;
        for (char c : s) {
            h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
        }
        return (h ^ (h >> 15)) & kMask;
    }

    void insert(std::string_view name, Gate g) {
        std::size_t h = hash(name);
        while (slots_[h] != kEmpty) {
            h = (h + 1) & kMask;
        }
        slots_[h] = static_cast<std::uint8_t>(count_);
        keys_[count_] = name;
        gates_[count_] = g;
        count_++;
    }

    std::array<std::uint8_t, kSize> slots_{};
    std::array<std::string_view, kGates.size() + kAliases.size()> keys_{};
    std::array<Gate, kGates.size() + kAliases.size()> gates_{};
    std::size_t count_ = 0;
};

const NameTable& name_table() {
    static const NameTable table;
    return table;
}

// Case-insensitive Levenshtein distance, with `a` cut to 64 characters.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    a = a.substr(0, 64);
    std::array<std::size_t, 65> row{};
    for (std::size_t j = 0; j <= a.size(); j++) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= b.size(); i++) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= a.size(); j++) {
            std::size_t above = row[j];
            std::size_t cost = upper(a[j - 1]) == upper(b[i - 1]) ? 0 : 1;
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
            diagonal = above;
        }
    }
    return row[a.size()];
}

}  // namespace

const GateInfo& gate_info(Gate g) {
    auto k = static_cast<std::size_t>(g);
    if (k >= kGates.size()) {
        throw std::out_of_range("gate_info: not a gate");
    }
    return kGates[k];
}

const GateInfo* find_gate(std::string_view name) {
    return name_table().find(name);
}

std::span<const GateAlias> gate_aliases() {
    return kAliases;
}

std::string_view nearest_gate_name(std::string_view unknown) {
    std::string_view best = kGates[0].name;
    std::size_t best_distance = static_cast<std::size_t>(-1);
    auto consider = [&](std::string_view candidate) {
        std::size_t d = edit_distance(unknown, candidate);
        if (d < best_distance) {
            best_distance = d;
            best = candidate;
        }
    };
    for (const GateInfo& g : kGates) {
        consider(g.name);
    }
    for (const GateAlias& a : kAliases) {
        consider(a.alias);
    }
    return best;
}

const GateInfo* find_1q_gate_by_tableau(std::string_view x_image, std::string_view z_image) {
    for (const GateInfo& g : kGates) {
        if (g.is_unitary_1q() && g.tableau[0] == x_image && g.tableau[1] == z_image) {
            return &g;
        }
    }
    return nullptr;
}

}  // namespace lumora::circuit
