#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>

#include "engine/bits.hpp"
#include "engine/engine.hpp"
#include "engine/failure.hpp"
#include "engine/flat_index_set.hpp"
#include "engine/pauli_rows.hpp"
#include "engine/tableau_group.hpp"

namespace lumora {

namespace {

struct Generator {
    std::size_t pivot;  // column in the whole selection: 2 position + (Z ? 1 : 0)
    std::string text;
};

// The canonical generators of one group (`members` ascending), as rows
// over the whole selection of `width` qubits.
template <class Position>
void group_generators(const GraphState& s, const std::vector<Qubit>& members, std::size_t width,
                      const Position& position, std::vector<Generator>& out) {
    const std::size_t k = members.size();
    PauliRows rows(k, k);
    const auto local = [&](Qubit q) {
        return static_cast<std::size_t>(std::lower_bound(members.begin(), members.end(), q) -
                                        members.begin());
    };
    // Member v's generator is V K_v V^dagger: vop_v X vop_v^dagger on v and
    // vop_w Z vop_w^dagger on each neighbour w.
    PollCounter poll;
    for (std::size_t i = 0; i < k; ++i) {
        poll.tick(1 + graph_degree(s, members[i]));
        std::uint64_t* row = rows.row(i);
        const auto put = [&](std::size_t j, LcOp vop, AxisCode axis) {
            const AxisCode image = lc_conj_axis[axis][vop];
            if (has_x(image)) {
                set_bit(row, j);
            }
            if (has_z(image)) {
                set_bit(row + rows.words, j);
            }
            rows.minus[i] ^= lc_conj_sign(vop, axis);
        };
        put(i, graph_vop(s, members[i]), kAxisX);
        for_each_graph_neighbor(s, members[i],
                                [&](Qubit w) { put(local(w), graph_vop(s, w), kAxisZ); });
    }
    std::vector<std::size_t> pivot_column(k);
    std::size_t next = 0;
    for (std::size_t column = 0; column < 2 * k && next < k; ++column) {
        // A large group takes up to k^2/32 word operations per column.
        poll.tick(k * rows.words);
        const std::size_t j = column / 2;
        const std::size_t offset = column % 2 == 0 ? 0 : rows.words;
        if (!pivot_step(rows, 0, next, k, offset, j, NoMirror{})) {
            continue;
        }
        pivot_column[next] = 2 * position(members[j]) + column % 2;
        ++next;
    }
    static constexpr char kLetters[4] = {'I', 'X', 'Z', 'Y'};  // x + 2 z
    for (std::size_t r = 0; r < k; ++r) {
        poll.tick(width);
        Generator g{pivot_column[r], std::string(width + 1, 'I')};
        g.text[0] = rows.minus[r] != 0 ? '-' : '+';
        const std::uint64_t* row = rows.row(r);
        for (std::size_t j = 0; j < k; ++j) {
            const int letter = (test_bit(row, j) ? 1 : 0) + (test_bit(row + rows.words, j) ? 2 : 0);
            g.text[1 + position(members[j])] = kLetters[letter];
        }
        out.push_back(std::move(g));
    }
}

}  // namespace

std::vector<std::string> canonical_stabilizers(const GraphState& s, bool all,
                                               const std::vector<std::size_t>& selected) {
    const std::size_t width = all ? s.size() : selected.size();
    for (std::size_t q : selected) {
        s.qubit(q);
    }
    const auto position = [&](Qubit q) -> std::size_t {
        if (all) {
            return q;
        }
        const auto it = std::lower_bound(selected.begin(), selected.end(), std::size_t{q});
        if (it == selected.end() || *it != q) {
            throw NotAUnionOfGroups();
        }
        return static_cast<std::size_t>(it - selected.begin());
    };
    std::vector<Generator> generators;
    generators.reserve(width);
    PollCounter poll;
    FlatIndexSet done;
    std::vector<Qubit> members;
    for (std::size_t i = 0; i < width; ++i) {
        const Qubit q = static_cast<Qubit>(all ? i : selected[i]);
        if (graph_degree(s, q) == 0) {
            members.assign(1, q);
        } else {
            if (!done.insert(q)) {
                continue;
            }
            members = entangled_group(s, q);
            for (Qubit m : members) {
                position(m);  // throws unless m is selected
                done.insert(m);
            }
            std::sort(members.begin(), members.end());
        }
        group_generators(s, members, width, position, generators);
        poll.tick(16);
    }
    std::sort(generators.begin(), generators.end(),
              [](const Generator& a, const Generator& b) { return a.pivot < b.pivot; });
    std::vector<std::string> texts;
    texts.reserve(generators.size());
    for (Generator& g : generators) {
        texts.push_back(std::move(g.text));
    }
    return texts;
}

const std::string& clifford_word(LcOp op) {
    // Breadth-first from the identity, appending one gate at a time (the
    // new gate acts last), letters tried in this order.
    static const std::array<std::string, kLcCount> words = [] {
        constexpr std::pair<char, LcOp> kGates[] = {
            {'H', kLcH}, {'S', kLcS}, {'X', kLcX}, {'Y', kLcY}, {'Z', kLcZ}};
        std::array<std::string, kLcCount> found;
        std::array<bool, kLcCount> seen{};
        std::vector<LcOp> queue{kLcIdentity};
        seen[kLcIdentity] = true;
        for (std::size_t head = 0; head < queue.size(); ++head) {
            const LcOp op = queue[head];
            for (auto [letter, gate] : kGates) {
                const LcOp next = lc_mul[gate][op];
                if (!seen[next]) {
                    seen[next] = true;
                    found[next] = found[op] + letter;
                    queue.push_back(next);
                }
            }
        }
        return found;
    }();
    return words[op];
}

}  // namespace lumora
