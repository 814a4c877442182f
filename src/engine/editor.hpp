// The graph rewrites every operation is made of: vertex-operator updates,
// edge toggles, bulk updates of one vertex's set, and local
// complementation. An Editor works on a view of the records (records.hpp):
// the state itself, every change journaled so that a failed operation can
// be undone (transaction.hpp), or a preview's copy-on-write overlay.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "clifford/local_clifford.hpp"
#include "engine/dense_rows.hpp"
#include "engine/failure.hpp"
#include "engine/neighbor_set.hpp"
#include "engine/workspace.hpp"

namespace lumora {

template <class Nodes>
class Editor {
public:
    static constexpr bool kJournaled = Nodes::kJournaled;

    Editor(Nodes& nodes, Workspace& work) noexcept : nodes_(nodes), work_(work) {}

    std::size_t size() const noexcept { return nodes_.size(); }
    Qubit qubit(std::size_t q) const {
        if (q >= size()) {
            fail_index(size(), q);
        }
        return static_cast<Qubit>(q);
    }
    const Node& get(Qubit q) const { return nodes_.get(q); }
    LcOp vop(Qubit q) const { return nodes_.get(q).vop; }
    std::uint32_t degree(Qubit q) const { return nodes_.get(q).degree; }
    Workspace& work() noexcept { return work_; }

    void set_vop(Qubit q, LcOp op) {
        if constexpr (kJournaled) {
            work_.vops.push_back({q, vop(q)});
        }
        nodes_.mut(q).vop = op;
    }
    // A gate acts after the operator already on the qubit.
    void left_multiply(Qubit q, LcOp g) { set_vop(q, lc_mul[g][vop(q)]); }
    // An operator absorbed on the graph side acts before it.
    void right_multiply(Qubit q, LcOp u) { set_vop(q, lc_mul[vop(q)][u]); }

    bool has_edge(Qubit a, Qubit b) const { return adjacent(get(a), a, get(b), b); }

    // Returns whether the edge was there (and is now gone).
    bool toggle_edge(Qubit a, Qubit b) {
        make_journal_room(2);
        Node& na = nodes_.mut(a);
        Node& nb = nodes_.mut(b);
        bool present;
        if (na.kind == SetKind::dense || nb.kind == SetKind::dense) [[unlikely]] {
            present = linked(na, b, nb);
            flip_dense(na, nb);
            flip_dense(nb, na);
        } else if ((present = adjacent(na, a, nb, b))) {
            erase(na, b);
            erase(nb, a);
        } else {
            reserve(na, 1, size());
            reserve(nb, 1, size());
            insert_reserved(na, b);
            insert_reserved(nb, a);
        }
        journal(a, b);
        journal(b, a);
        tick(2);
        return present;
    }

    // Puts y into x's set or takes it out, on x's side only; the caller
    // makes the matching change at y.
    void toggle_one(Qubit x, Qubit y) {
        make_journal_room(1);
        flip_one(nodes_.mut(x), y);
        journal(x, y);
        tick(1);
    }

    // x's set ^= the targets (x itself skipped), on x's side only. Sets
    // with constant-time membership, and tiny ones, take the targets one by
    // one; small forms are otherwise merged in one pass over both lists.
    void xor_into(Qubit x, Members& targets) {
        const QubitList& list = targets.list();
        Node& nx = nodes_.mut(x);
        if (nx.kind == SetKind::dense) {
            xor_row(x, nx, targets);
            return;
        }
        make_journal_room(list.size() + nx.degree);
        if (nx.kind >= SetKind::hash || list.size() * nx.degree <= store_limits.scan_product) {
            for (Qubit y : list) {
                if (y != x) {
                    flip_one(nx, y);
                    journal(x, y);
                }
            }
            tick(list.size());
            return;
        }
        std::uint8_t* flags = work_.flags();
        QubitList& to_add = work_.to_add;
        to_add.clear();
        to_add.make_room(list.size());
        Qubit* entries = nx.kind == SetKind::inline_list ? nx.items : nx.slots;
        const std::uint32_t degree = nx.degree;
        // A short set is compared against whole, which stays in registers;
        // a longer one is marked in the flags.
        const bool marked = degree > store_limits.compared_whole;
        if (marked) {
            for (std::uint32_t i = 0; i < degree; ++i) {
                flags[entries[i]] |= Workspace::kOwn;
            }
        }
        for (Qubit y : list) {
            bool present;
            if (marked) {
                present = (flags[y] & Workspace::kOwn) != 0;
            } else {
                present = false;
                for (std::uint32_t i = 0; i < degree; ++i) {
                    present |= entries[i] == y;
                }
            }
            if (y != x && !present) {
                to_add.push(y);
            }
        }
        // Removals in place (order is free), which clears the marks again.
        // One read of each flag byte answers both questions.
        const std::uint8_t target_bit = targets.flag();
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < degree; ++i) {
            const Qubit y = entries[i];
            const std::uint8_t f = flags[y];
            if (marked) {
                flags[y] = static_cast<std::uint8_t>(f & ~Workspace::kOwn);
            }
            if (target_bit != 0 ? (f & target_bit) != 0 : targets.contains(y)) {
                journal(x, y);
            } else {
                entries[kept++] = y;
            }
        }
        nx.degree = kept;
        // The set now holds less than it ends with or started with, so
        // undoing never needs more room than it has.
        reserve(nx, static_cast<std::uint32_t>(to_add.size()), size());
        for (Qubit y : to_add) {
            insert_reserved(nx, y);
            journal(x, y);
        }
        tick(degree - kept + to_add.size());
    }

    // Toggles every pair of distinct members.
    void toggle_clique(const QubitList& members, std::uint8_t bit) {
        Members targets(members, work_, bit);
        for (Qubit x : members) {
            xor_into(x, targets);
        }
    }

    // The set's entries, with room for one more.
    void snapshot(Qubit q, QubitList& out) const {
        const Node& node = get(q);
        out.clear();
        out.make_room(std::size_t{node.degree} + 1);
        for_each_neighbor(node, [&](Qubit y) { out.push(y); });
    }

    // Complements the graph at u (toggles every pair of u's neighbours) and
    // compensates on the vertex operators: the represented state is the
    // same. With U = exp(-i pi/4 X_u) prod_w exp(i pi/4 Z_w) over the
    // neighbours w, |tau_u(G)> = U |G>; the factors sqrt(X) on u and S on
    // each neighbour absorb U^dagger.
    void local_complement(Qubit u) {
        if (get(u).kind == SetKind::dense) {
            complement_dense(u);
            return;
        }
        QubitList& around = work_.third;
        snapshot(u, around);
        toggle_clique(around, Workspace::kThird);
        for (Qubit w : around) {
            right_multiply(w, kLcS);
        }
        right_multiply(u, kLcSqrtX);
    }

    // The same on a dense block: u's row is the pattern every neighbour's
    // row takes (each neighbour then drops itself).
    void complement_dense(Qubit u) {
        const Node& nu = get(u);
        const DenseBlock& block = *nu.dense.block;
        const std::size_t offset = work_.add_pattern(block.row(nu.dense.local), block.words);
        const std::uint32_t degree = nu.degree;
        if constexpr (kJournaled) {
            work_.row_xors.make_room(degree);
            work_.vops.make_room(degree + 1);
        }
        for (std::uint32_t w = 0; w < block.words; ++w) {
            for (std::uint64_t bits = work_.patterns.begin()[offset + w]; bits != 0;
                 bits &= bits - 1) {
                const Qubit x = block.members[w * 64 + std::countr_zero(bits)];
                Node& nx = nodes_.mut(x);
                xor_pattern(nx, work_.patterns.begin() + offset, true);
                if constexpr (kJournaled) {
                    work_.row_xors.push({x, 1u, offset});
                }
                right_multiply(x, kLcS);
            }
        }
        tick(std::size_t{degree} * block.words);
        right_multiply(u, kLcSqrtX);
    }

    // Toggles the edges c-x for every x in t's row other than c (and c-t
    // too when `with_t`), c and t in one dense block. Returns whether c was
    // in t's row.
    bool toggle_star_from_row(Qubit c, Qubit t, bool with_t) {
        Node& nc = nodes_.mut(c);
        const Node& nt = get(t);
        DenseBlock& block = *nc.dense.block;
        const std::size_t offset = work_.add_pattern(block.row(nt.dense.local), block.words);
        std::uint64_t* pattern = work_.patterns.begin() + offset;
        const bool c_adjacent = test_bit(pattern, nc.dense.local);
        if (c_adjacent) {
            flip_bit(pattern, nc.dense.local);
        }
        if (with_t) {
            flip_bit(pattern, nt.dense.local);
        }
        if constexpr (kJournaled) {
            work_.row_xors.make_room(1);
            work_.column_flips.make_room(1);
        }
        xor_pattern(nc, pattern, false);
        flip_column(nc, pattern);
        if constexpr (kJournaled) {
            work_.row_xors.push({c, 0u, offset});
            work_.column_flips.push({c, 0u, offset});
        }
        tick(std::size_t{nt.degree} + block.words);
        return c_adjacent;
    }

    void flip_column(const Node& nc, const std::uint64_t* pattern) {
        flip_column_of(nodes_, nc, pattern);
    }

    // A neighbour of least degree (v must have one): complementing there,
    // or pivoting a measurement on it, costs the least. Ties go to the
    // least value of a fixed hash of the index, which spreads the choices
    // (plain lowest index made 2D cluster sweeps 10% dearer). The choice
    // depends on the graph alone, never on how or in which order sets are
    // stored, so that a copy or a reloaded pickle evolves exactly as the
    // original would with the same random words.
    Qubit lowest_degree_neighbor(Qubit v) const {
        const auto rank = [](Qubit w) { return w * 0x9E3779B9u; };
        Qubit best = kNoQubit;
        std::uint32_t best_degree = 0xFFFFFFFFu;
        for_each_neighbor(get(v), [&](Qubit w) {
            const std::uint32_t d = degree(w);
            if (d < best_degree || (d == best_degree && rank(w) < rank(best))) {
                best_degree = d;
                best = w;
            }
        });
        return best;
    }

    // The degree of that neighbour, found with fewer look-ups.
    std::uint32_t lowest_neighbor_degree(Qubit v) const {
        std::uint32_t best_degree = 0xFFFFFFFFu;
        for_each_neighbor(get(v), [&](Qubit w) {
            if (best_degree > 1) {
                best_degree = std::min(best_degree, degree(w));
            }
        });
        return best_degree;
    }

private:
    // y into the set or out of it; small forms are scanned in place.
    void flip_one(Node& node, Qubit y) {
        if (node.kind == SetKind::dense) {
            flip_dense(node, get(y));
            return;
        }
        if (node.kind < SetKind::hash) {
            Qubit* entries = node.kind == SetKind::inline_list ? node.items : node.slots;
            for (std::uint32_t i = 0; i < node.degree; ++i) {
                if (entries[i] == y) {
                    entries[i] = entries[--node.degree];
                    return;
                }
            }
        } else if (contains(node, y)) {
            erase(node, y);
            return;
        }
        reserve(node, 1, size());
        insert_reserved(node, y);
    }

private:
    // x's dense row ^= the targets' row pattern, made once per list; returns
    // where the pattern is.
    std::size_t xor_row(Qubit x, Node& nx, Members& targets) {
        DenseBlock& block = *nx.dense.block;
        std::size_t offset = targets.pattern_for(&block);
        if (offset == Members::npos) {
            offset = work_.add_pattern(nullptr, block.words);
            std::uint64_t* pattern = work_.patterns.begin() + offset;
            for (Qubit y : targets.list()) {
                const Node& ny = get(y);
                if (ny.kind != SetKind::dense) {
                    unreachable("an edge would leave a dense block");
                }
                flip_bit(pattern, ny.dense.local);
            }
            targets.set_pattern(&block, offset);
        }
        // The pattern holds exactly the targets' bits.
        const bool self = test_bit(work_.patterns.begin() + offset, nx.dense.local);
        if constexpr (kJournaled) {
            work_.row_xors.make_room(1);
        }
        xor_pattern(nx, work_.patterns.begin() + offset, self);
        if constexpr (kJournaled) {
            work_.row_xors.push({x, self ? 1u : 0u, offset});
        }
        tick(block.words);
        return offset;
    }

public:
    // Toggles the edges x-c for every x of xs (on both sides), c not in xs.
    void toggle_star(Qubit c, Members& xs) {
        Node& nc = nodes_.mut(c);
        if (nc.kind != SetKind::dense) {
            xor_into(c, xs);
            for (Qubit x : xs.list()) {
                toggle_one(x, c);
            }
            return;
        }
        // Dense: c's row takes the pattern, and c's column is flipped in the
        // rows the same pattern names.
        const std::size_t offset = xor_row(c, nc, xs);
        if constexpr (kJournaled) {
            work_.column_flips.push_back({c, 0u, offset});
        }
        flip_column(nc, work_.patterns.begin() + offset);
        tick(xs.list().size());
    }

private:
    void make_journal_room(std::size_t extra) {
        if constexpr (kJournaled) {
            work_.toggles.make_room(extra);
        }
    }

    void journal(Qubit x, Qubit y) noexcept {
        if constexpr (kJournaled) {
            work_.toggles.push({x, y});
        }
    }

    void tick(std::size_t count) {
        if constexpr (!Nodes::kPolls) {
            return;
        }
        work_.poll.tick(count, store_limits.poll_interval);
    }

    Nodes& nodes_;
    Workspace& work_;
};

}  // namespace lumora
