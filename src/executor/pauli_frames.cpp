#include "executor/pauli_frames.hpp"

#include <stdexcept>

namespace lumora::executor {

namespace {

// A Hermitian Pauli on two qubits: one axis per qubit (0 I, 1 X, 2 Y, 3 Z)
// and a sign.
struct Pauli2 {
    std::array<std::uint8_t, 2> axis{};
    bool minus = false;

    bool operator==(const Pauli2&) const = default;
};

// The images of X0, Z0, X1, Z1 under conjugation.
using Tableau = std::array<Pauli2, 4>;

Pauli2 parse(std::string_view text) {
    Pauli2 p;
    p.minus = text.at(0) == '-';
    for (std::size_t q = 0; q + 1 < text.size() && q < 2; ++q) {
        const char c = text[q + 1];
        p.axis[q] = c == 'X' ? 1 : c == 'Y' ? 2 : c == 'Z' ? 3 : 0;
    }
    return p;
}

// The product of single-qubit Paulis a.b as (axis, power of i).
std::pair<std::uint8_t, int> times(std::uint8_t a, std::uint8_t b) {
    if (a == 0) {
        return {b, 0};
    }
    if (b == 0) {
        return {a, 0};
    }
    if (a == b) {
        return {0, 0};
    }
    // X.Y = iZ, Y.Z = iX, Z.X = iY; the other order takes -i.
    const std::uint8_t c = static_cast<std::uint8_t>(6 - a - b);
    const bool cyclic = (a % 3) + 1 == b;
    return {c, cyclic ? 1 : 3};
}

Pauli2 product(const Pauli2& a, const Pauli2& b) {
    Pauli2 out;
    int phase = (a.minus ? 2 : 0) + (b.minus ? 2 : 0);
    for (int q = 0; q < 2; ++q) {
        const auto [axis, power] = times(a.axis[q], b.axis[q]);
        out.axis[q] = axis;
        phase += power;
    }
    if (phase % 2 != 0) {
        throw std::logic_error("product of commuting Paulis is not Hermitian");
    }
    out.minus = phase % 4 == 2;
    return out;
}

Pauli2 conjugate_local(Pauli2 p, int q, LcOp g) {
    if (p.axis[q] != 0) {
        const AxisCode a = static_cast<AxisCode>(p.axis[q] - 1);
        p.axis[q] = static_cast<std::uint8_t>(lc_conj_axis[a][g] + 1);
        p.minus ^= lc_conj_sign(g, a) != 0;
    }
    return p;
}

// CZ P CZ^dagger, factor by factor: X and Y on one qubit pick up Z on the
// other.
Pauli2 conjugate_cz(const Pauli2& p) {
    Pauli2 first{{p.axis[0], 0}, p.minus};
    Pauli2 second{{0, p.axis[1]}, false};
    if (p.axis[0] == 1 || p.axis[0] == 2) {
        first.axis[1] = 3;
    }
    if (p.axis[1] == 1 || p.axis[1] == 2) {
        second.axis[0] = 3;
    }
    return product(first, second);
}

Tableau after_local(const Tableau& t, LocalPair l) {
    Tableau out;
    for (int i = 0; i < 4; ++i) {
        out[i] = conjugate_local(conjugate_local(t[i], 0, l.first), 1, l.second);
    }
    return out;
}

Tableau after_cz(const Tableau& t) {
    Tableau out;
    for (int i = 0; i < 4; ++i) {
        out[i] = conjugate_cz(t[i]);
    }
    return out;
}

Tableau after_swap(const Tableau& t) {
    Tableau out = t;
    for (Pauli2& p : out) {
        std::swap(p.axis[0], p.axis[1]);
    }
    return out;
}

LocalPair inverse(LocalPair l) {
    return {lc_inv[l.first], lc_inv[l.second]};
}

LcOp local_for(const Pauli2& x, const Pauli2& z, int q) {
    for (int g = 0; g < kLcCount; ++g) {
        const LcOp op = static_cast<LcOp>(g);
        if (conjugate_local(Pauli2{{1, 0}, false}, 0, op) == Pauli2{{x.axis[q], 0}, x.minus} &&
            conjugate_local(Pauli2{{3, 0}, false}, 0, op) == Pauli2{{z.axis[q], 0}, z.minus}) {
            return op;
        }
    }
    throw std::logic_error("no local Clifford has these images");
}

// The local pair the tableau is, if it is local.
bool as_local(const Tableau& t, LocalPair& out) {
    if (t[0].axis[1] != 0 || t[1].axis[1] != 0 || t[2].axis[0] != 0 || t[3].axis[0] != 0) {
        return false;
    }
    out = {local_for(t[0], t[1], 0), local_for(t[2], t[3], 1)};
    return true;
}

// T = a . CZ . b for local pairs a and b: b is found for the first a that
// works.
bool one_cz(const Tableau& t, LocalPair& a, LocalPair& b) {
    for (int g0 = 0; g0 < kLcCount; ++g0) {
        for (int g1 = 0; g1 < kLcCount; ++g1) {
            const LocalPair candidate{static_cast<LcOp>(g0), static_cast<LcOp>(g1)};
            if (as_local(after_cz(after_local(t, inverse(candidate))), b)) {
                a = candidate;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

LcOp local_clifford_for(std::string_view x_image, std::string_view z_image) {
    return local_for(parse(x_image), parse(z_image), 0);
}

LcOp onto_z(AxisCode axis) {
    for (int g = 0; g < kLcCount; ++g) {
        const LcOp op = static_cast<LcOp>(g);
        if (lc_conj_axis[axis][op] == kAxisZ && lc_conj_sign(op, axis) == 0) {
            return op;
        }
    }
    throw std::logic_error("no local Clifford takes this axis to Z");
}

TwoQubitDecomposition decompose_two_qubit(const std::array<std::string_view, 4>& images) {
    Tableau t;
    for (int i = 0; i < 4; ++i) {
        t[i] = parse(images[i]);
    }
    TwoQubitDecomposition d;
    if (as_local(t, d.before)) {
        return d;
    }
    if (one_cz(t, d.after_cz[0], d.before)) {
        d.cz_count = 1;
        return d;
    }
    // A swap after local Cliffords (three controlled-Z otherwise).
    if (as_local(after_swap(t), d.before)) {
        d.swap = true;
        return d;
    }
    // T = a . CZ . m . CZ . b: for each a, the rest has one controlled-Z.
    for (int g0 = 0; g0 < kLcCount; ++g0) {
        for (int g1 = 0; g1 < kLcCount; ++g1) {
            const LocalPair a{static_cast<LcOp>(g0), static_cast<LcOp>(g1)};
            if (one_cz(after_cz(after_local(t, inverse(a))), d.after_cz[0], d.before)) {
                d.cz_count = 2;
                d.after_cz[1] = a;
                return d;
            }
        }
    }
    throw std::logic_error("two-qubit gate outside the Clifford group");
}

}  // namespace lumora::executor
