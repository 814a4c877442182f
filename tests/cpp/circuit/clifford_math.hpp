// Small dense-matrix helpers for checking Clifford tableaux against unitary
// matrices (tests only). Qubit 0 is the least significant bit of a basis
// index, as in stim's "little endian" unitary matrices.
#pragma once

#include <array>
#include <complex>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/circuit.hpp"

namespace circuit_test {

using C = std::complex<double>;

struct Mat {
    int n = 2;  // 2 or 4
    std::array<C, 16> a{};
    C& at(int r, int c) { return a[static_cast<std::size_t>(r * n + c)]; }
    C at(int r, int c) const { return a[static_cast<std::size_t>(r * n + c)]; }
};

inline Mat identity(int n) {
    Mat m{n, {}};
    for (int k = 0; k < n; k++) {
        m.at(k, k) = 1;
    }
    return m;
}

inline Mat operator*(const Mat& x, const Mat& y) {
    Mat r{x.n, {}};
    for (int i = 0; i < x.n; i++) {
        for (int j = 0; j < x.n; j++) {
            for (int k = 0; k < x.n; k++) {
                r.at(i, j) += x.at(i, k) * y.at(k, j);
            }
        }
    }
    return r;
}

inline Mat operator*(C s, Mat m) {
    for (C& v : m.a) {
        v *= s;
    }
    return m;
}

inline Mat operator+(Mat x, const Mat& y) {
    for (std::size_t k = 0; k < x.a.size(); k++) {
        x.a[k] += y.a[k];
    }
    return x;
}

inline Mat dagger(const Mat& m) {
    Mat r{m.n, {}};
    for (int i = 0; i < m.n; i++) {
        for (int j = 0; j < m.n; j++) {
            r.at(i, j) = std::conj(m.at(j, i));
        }
    }
    return r;
}

inline C trace(const Mat& m) {
    C t = 0;
    for (int k = 0; k < m.n; k++) {
        t += m.at(k, k);
    }
    return t;
}

inline double max_diff(const Mat& x, const Mat& y) {
    double d = 0;
    for (std::size_t k = 0; k < x.a.size(); k++) {
        d = std::max(d, std::abs(x.a[k] - y.a[k]));
    }
    return x.n == y.n ? d : 1e9;
}

// high ⊗ low: `low` acts on qubit 0, `high` on qubit 1.
inline Mat kron(const Mat& high, const Mat& low) {
    Mat r{4, {}};
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 4; j++) {
            r.at(i, j) = high.at(i / 2, j / 2) * low.at(i % 2, j % 2);
        }
    }
    return r;
}

inline Mat pauli_1q(char p) {
    switch (p) {
        case 'X':
            return Mat{2, {0, 1, 1, 0}};
        case 'Y':
            return Mat{2, {0, C(0, -1), C(0, 1), 0}};
        case 'Z':
            return Mat{2, {1, 0, 0, -1}};
        default:
            return identity(2);
    }
}

// "+X", "-XZ", "+_Y": character k is the Pauli on qubit k.
inline Mat pauli_string(std::string_view s) {
    double sign = s[0] == '-' ? -1 : 1;
    if (s.size() == 2) {
        return C(sign) * pauli_1q(s[1]);
    }
    return C(sign) * kron(pauli_1q(s[2]), pauli_1q(s[1]));
}

// The notation of stim's gate reference, e.g.
// "[+1  , -1-i] [+1-i,   +i] / 2" or ".. / sqrt(2)".
inline Mat parse_doc_matrix(std::string_view text) {
    std::vector<C> entries;
    std::size_t k = 0;
    double scale = 1;
    while (k < text.size()) {
        if (text[k] == '[') {
            k++;
            while (true) {
                std::size_t end = text.find_first_of(",]", k);
                std::string cell(text.substr(k, end - k));
                C v = 0;
                double re_sign = 0, im_sign = 0;
                for (std::size_t j = 0; j < cell.size(); j++) {
                    if (cell[j] == '1') {
                        re_sign = cell[j - 1] == '-' ? -1 : 1;
                    } else if (cell[j] == 'i') {
                        im_sign = cell[j - 1] == '-' ? -1 : 1;
                    }
                }
                v = C(re_sign, im_sign);
                entries.push_back(v);
                k = end + 1;
                if (text[end] == ']') {
                    break;
                }
            }
        } else if (text.substr(k, 3) == "/ 2") {
            scale = 2;
            k += 3;
        } else if (text.substr(k, 9) == "/ sqrt(2)") {
            scale = std::sqrt(2.0);
            k += 9;
        } else {
            k++;
        }
    }
    Mat m{entries.size() == 4 ? 2 : 4, {}};
    for (std::size_t j = 0; j < entries.size(); j++) {
        m.a[j] = entries[j] / scale;
    }
    return m;
}

// The images under a gate of the generators X0, Z0 (, X1, Z1) of its own
// qubits, from its tableau strings.
inline std::vector<Mat> tableau_images(const lumora::circuit::GateInfo& g) {
    std::vector<Mat> out;
    for (std::string_view s : g.tableau) {
        if (!s.empty()) {
            out.push_back(pauli_string(s));
        }
    }
    return out;
}

// Places a Pauli-string matrix of a gate's own qubits onto `targets` of a
// two-qubit system (targets is {q} or {a, b}).
inline Mat embed(const Mat& m, const std::vector<unsigned>& targets) {
    if (targets.size() == 2) {
        if (targets[0] == 0) {
            return m;
        }
        Mat swap{4, {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}};
        return swap * m * swap;
    }
    return targets[0] == 0 ? kron(identity(2), m) : kron(m, identity(2));
}

// Conjugates m (any n x n matrix) by the Clifford whose generator images are
// `images` (X0, Z0, X1, Z1 of the n-qubit system), by expanding m in the
// basis X0^a Z0^b X1^c Z1^d.
inline Mat conjugate(const std::vector<Mat>& images, const Mat& m) {
    int qubits = m.n == 2 ? 1 : 2;
    std::vector<Mat> gens;
    for (int q = 0; q < qubits; q++) {
        std::vector<unsigned> t{static_cast<unsigned>(q)};
        gens.push_back(qubits == 1 ? pauli_1q('X') : embed(pauli_1q('X'), t));
        gens.push_back(qubits == 1 ? pauli_1q('Z') : embed(pauli_1q('Z'), t));
    }
    Mat result{m.n, {}};
    for (int bits = 0; bits < (1 << (2 * qubits)); bits++) {
        Mat basis = identity(m.n);
        Mat image = identity(m.n);
        for (int g = 0; g < 2 * qubits; g++) {
            if (bits & (1 << g)) {
                basis = basis * gens[static_cast<std::size_t>(g)];
                image = image * images[static_cast<std::size_t>(g)];
            }
        }
        C coefficient = trace(dagger(basis) * m) / C(m.n);
        if (std::abs(coefficient) > 1e-12) {
            result = result + coefficient * image;
        }
    }
    return result;
}

// Generator images (X0, Z0, X1, Z1) of one instruction acting on a
// two-qubit system, targets in {0, 1}.
inline std::vector<Mat> instruction_images(const lumora::circuit::Instruction& op,
                                           std::size_t first) {
    const auto& g = lumora::circuit::gate_info(op.gate);
    std::vector<unsigned> targets;
    std::size_t width = g.two_qubit ? 2 : 1;
    for (std::size_t k = first; k < first + width; k++) {
        targets.push_back(op.targets[k].value);
    }
    std::vector<Mat> own = tableau_images(g);
    std::vector<Mat> images;
    for (unsigned q = 0; q < 2; q++) {
        for (char p : {'X', 'Z'}) {
            images.push_back(embed(pauli_1q(p), {q}));
        }
    }
    for (std::size_t k = 0; k < width; k++) {
        images[2 * targets[k]] = embed(own[2 * k], targets);
        images[2 * targets[k] + 1] = embed(own[2 * k + 1], targets);
    }
    return images;
}

// Generator images (X0, Z0, X1, Z1) of a two-qubit circuit of unitary gates.
inline std::vector<Mat> circuit_images(const lumora::circuit::Circuit& c) {
    std::vector<Mat> images;
    for (unsigned q = 0; q < 2; q++) {
        for (char p : {'X', 'Z'}) {
            images.push_back(embed(pauli_1q(p), {q}));
        }
    }
    for (const auto& op : c.instructions) {
        std::size_t width = lumora::circuit::gate_info(op.gate).two_qubit ? 2 : 1;
        for (std::size_t k = 0; k < op.targets.size(); k += width) {
            std::vector<Mat> step = instruction_images(op, k);
            for (Mat& m : images) {
                m = conjugate(step, m);
            }
        }
    }
    return images;
}

}  // namespace circuit_test
