// The graph rewrites every operation is made of: vertex-operator updates,
// edge toggles, bulk updates of one vertex's set, and local
// complementation. An Editor works on a view of the records: the state
// itself (DirectNodes, every change journaled so that a failed operation
// can be undone) or a preview's copy-on-write overlay (OverlayNodes).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "clifford/local_clifford.hpp"
#include "engine/dense.hpp"
#include "engine/neighbor_set.hpp"
#include "engine/state.hpp"
#include "engine/workspace.hpp"

namespace lumora {

// The state's own records; changes go into the workspace's journal.
class DirectNodes {
public:
    static constexpr bool kJournaled = true;
    static constexpr bool kPolls = true;

    explicit DirectNodes(Lumora& s) noexcept : s_(s) {}
    std::size_t size() const noexcept { return s_.size(); }
    const Node& get(Qubit q) const noexcept { return s_.node(q); }
    Node& mut(Qubit q) noexcept { return s_.node(q); }

private:
    Lumora& s_;
};

// The state's own records, unjournaled and never interrupted: for short
// operations that cannot fail once they have started changing the state.
class QuickNodes : public DirectNodes {
public:
    static constexpr bool kJournaled = false;
    static constexpr bool kPolls = false;
    using DirectNodes::DirectNodes;
};

// A view that copies a record the first time it is changed, leaving the
// state untouched: a preview costs what it touches, not what the state holds.
class OverlayNodes {
public:
    static constexpr bool kJournaled = false;
    static constexpr bool kPolls = true;

    explicit OverlayNodes(const Lumora& base) noexcept : base_(base) {}
    OverlayNodes(const OverlayNodes&) = delete;
    OverlayNodes& operator=(const OverlayNodes&) = delete;
    ~OverlayNodes() {
        for (auto& [q, node] : copies_) {
            if (node.kind != SetKind::dense) {
                release(node);
            }
        }
        for (auto& [original, copy] : blocks_) {
            free_block(copy);
        }
    }

    std::size_t size() const noexcept { return base_.size(); }
    const Node& get(Qubit q) const {
        const auto it = copies_.find(q);
        return it == copies_.end() ? base_.node(q) : it->second;
    }
    Node& mut(Qubit q) {
        auto it = copies_.find(q);
        if (it == copies_.end()) {
            const Node& original = base_.node(q);
            if (original.kind == SetKind::dense) {
                // Rows change in a private copy of the whole block, which
                // keeps the local indices.
                Node copy = original;
                copy.dense.block = block_copy(original.dense.block);
                it = copies_.emplace(q, copy).first;
            } else {
                Node copy = clone(original, base_.size());
                try {
                    it = copies_.emplace(q, copy).first;
                } catch (...) {
                    release(copy);
                    throw;
                }
            }
        }
        return it->second;
    }

private:
    DenseBlock* block_copy(const DenseBlock* original) {
        auto it = blocks_.find(original);
        if (it != blocks_.end()) {
            return it->second;
        }
        DenseBlock* copy = copy_block(*original);
        try {
            blocks_.emplace(original, copy);
        } catch (...) {
            free_block(copy);
            throw;
        }
        return copy;
    }

    const Lumora& base_;
    // Node-based, so references stay valid while more records are copied in.
    std::unordered_map<Qubit, Node> copies_;
    std::unordered_map<const DenseBlock*, DenseBlock*> blocks_;
};

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

    void toggle_edge(Qubit a, Qubit b) {
        const bool present = has_edge(a, b);
        make_journal_room(2);
        Node& na = nodes_.mut(a);
        Node& nb = nodes_.mut(b);
        if (na.kind == SetKind::dense || nb.kind == SetKind::dense) {
            flip_dense(na, nb);
            flip_dense(nb, na);
        } else if (present) {
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
        const std::size_t offset = work_.patterns.size();
        work_.patterns.make_room(block.words);
        for (std::uint32_t w = 0; w < block.words; ++w) {
            work_.patterns.push(block.row(nu.dense.local)[w]);
        }
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
        const std::size_t offset = work_.patterns.size();
        work_.patterns.make_room(block.words);
        const std::uint64_t* row = block.row(nt.dense.local);
        for (std::uint32_t w = 0; w < block.words; ++w) {
            work_.patterns.push(row[w]);
        }
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

public:
    // y into the dense row of x or out of it. A dense row holds members of
    // its own block only; two-qubit gates bring their operands into one
    // block first. Out of line, so that the sparse paths around it stay
    // small enough to inline.
    [[gnu::noinline]] static void flip_dense(Node& nx, const Node& ny) {
        // Overlays keep private copies of blocks, so blocks are compared by
        // what they hold.
        if (nx.kind != SetKind::dense || ny.kind != SetKind::dense ||
            ny.dense.local >= nx.dense.block->size ||
            nx.dense.block->members[ny.dense.local] != ny.dense.block->members[ny.dense.local]) {
            throw std::logic_error("internal error: an edge would leave a dense block");
        }
        DenseBlock& block = *nx.dense.block;
        std::uint64_t* row = block.row(nx.dense.local);
        const bool present = test_bit(row, ny.dense.local);
        flip_bit(row, ny.dense.local);
        if (present) {
            --nx.degree;
            --block.degree_sum;
        } else {
            ++nx.degree;
            ++block.degree_sum;
        }
    }

private:
    // x's dense row ^= the targets' row pattern, made once per list; returns
    // where the pattern is.
    std::size_t xor_row(Qubit x, Node& nx, Members& targets) {
        DenseBlock& block = *nx.dense.block;
        std::size_t offset = targets.pattern_for(&block);
        if (offset == Members::npos) {
            offset = work_.patterns.size();
            work_.patterns.make_room(block.words);
            for (std::uint32_t w = 0; w < block.words; ++w) {
                work_.patterns.push(0);
            }
            std::uint64_t* pattern = work_.patterns.begin() + offset;
            for (Qubit y : targets.list()) {
                const Node& ny = get(y);
                if (ny.kind != SetKind::dense) {
                    throw std::logic_error("internal error: an edge would leave a dense block");
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
    // x's dense row ^= pattern, keeping x out of its own row; the degree
    // follows.
    static void xor_pattern(Node& nx, const std::uint64_t* pattern, bool self) noexcept {
        DenseBlock& block = *nx.dense.block;
        std::uint64_t* row = block.row(nx.dense.local);
        std::uint32_t degree = xor_and_count(row, pattern, block.words);
        if (self) {
            // The pattern held x itself, which has just been put in its row.
            flip_bit(row, nx.dense.local);
            --degree;
        }
        block.degree_sum += degree;
        block.degree_sum -= nx.degree;
        nx.degree = degree;
    }

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

    // Flips c's bit in the row of every member the pattern names; their
    // degrees follow. Its own inverse.
    template <class Records>
    static void flip_column_of(Records& nodes, const Node& nc,
                               const std::uint64_t* pattern) noexcept {
        DenseBlock& block = *nc.dense.block;
        const Qubit local = nc.dense.local;
        const unsigned shift = local & 63;
        std::uint64_t* column = block.rows + (local >> 6);
        std::uint64_t degree_sum = block.degree_sum;
        for (std::uint32_t w = 0; w < block.words; ++w) {
            for (std::uint64_t bits = pattern[w]; bits != 0; bits &= bits - 1) {
                const Qubit member = w * 64 + static_cast<Qubit>(std::countr_zero(bits));
                std::uint64_t& word = column[std::size_t{member} * block.words];
                // +1 when the bit was clear, -1 when it was set.
                const std::uint32_t step = 1 - 2 * static_cast<std::uint32_t>((word >> shift) & 1);
                word ^= std::uint64_t{1} << shift;
                nodes.mut(block.members[member]).degree += step;
                degree_sum += static_cast<std::int32_t>(step);
            }
        }
        block.degree_sum = degree_sum;
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
        const std::uint32_t interval = store_limits.poll_interval;
        work_.ticks += static_cast<std::uint32_t>(std::min<std::size_t>(count, interval));
        if (work_.ticks >= interval) {
            work_.ticks = 0;
            poll_interrupt();
        }
    }

    Nodes& nodes_;
    Workspace& work_;
};

// One mutating operation on the state. Every change goes into the
// workspace's journal; unless commit() is reached the destructor undoes
// them all, newest first, so a failure anywhere (out of memory, an
// interrupt) leaves the state exactly as it was.
//
// Undoing never needs memory: sets never give storage back during an
// operation, so each set passes on the way back only through sizes it
// already held, in forms at least as large.
class Transaction {
public:
    explicit Transaction(Lumora& s)
        : s_(s), work_(s.workspace()), nodes_(s), editor_(nodes_, work_) {
        work_.toggles.clear();
        work_.vops.clear();
        work_.row_xors.clear();
        work_.column_flips.clear();
        work_.patterns.clear();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (!committed_) {
            roll_back();
        }
    }

    Editor<DirectNodes>& editor() noexcept { return editor_; }

    // Keeps the changes and lets sets that shrank take smaller forms.
    // Keeps the changes; then sets that shrank take smaller forms, and
    // groups whose density changed move between sparse sets and blocks.
    void commit() noexcept {
        Qubit last = kNoQubit;
        const DenseBlock* last_block = nullptr;
        auto settle = [&](Qubit x) {
            Node& node = s_.node(x);
            if (node.kind == SetKind::dense) {
                // One look per block.
                if (node.dense.block != last_block) {
                    last_block = node.dense.block;
                    reshape_at(s_, x);
                }
                return;
            }
            compact(node, s_.size());
            reshape_at(s_, x);
        };
        for (const ToggleRecord& r : work_.toggles) {
            // Bulk updates journal one vertex's changes together.
            if (r.x != last) {
                last = r.x;
                settle(r.x);
            }
        }
        for (const RowRecord& r : work_.row_xors) {
            settle(r.x);
        }
        for (const RowRecord& r : work_.column_flips) {
            settle(r.x);
        }
        finish();
    }

private:
    void roll_back() noexcept {
        for (std::size_t i = work_.column_flips.size(); i-- > 0;) {
            const RowRecord& r = work_.column_flips[i];
            Editor<DirectNodes>::flip_column_of(nodes_, s_.node(r.x),
                                                work_.patterns.begin() + r.offset);
        }
        for (std::size_t i = work_.row_xors.size(); i-- > 0;) {
            const RowRecord& r = work_.row_xors[i];
            Editor<DirectNodes>::xor_pattern(s_.node(r.x), work_.patterns.begin() + r.offset,
                                             r.self != 0);
        }
        for (std::size_t i = work_.toggles.size(); i-- > 0;) {
            const ToggleRecord& r = work_.toggles[i];
            Node& node = s_.node(r.x);
            if (node.kind == SetKind::dense) {
                Editor<DirectNodes>::flip_dense(node, s_.node(r.y));
            } else if (contains(node, r.y)) {
                erase(node, r.y);
            } else {
                if (!has_room(node, 1)) {
                    std::abort();  // cannot happen: see the class comment
                }
                insert_reserved(node, r.y);
            }
        }
        for (std::size_t i = work_.vops.size(); i-- > 0;) {
            s_.node(work_.vops[i].v).vop = work_.vops[i].old;
        }
        finish();
        // A failure early in a large operation leaves large scratch behind
        // with a short journal.
        work_.trim();
    }

    void finish() noexcept {
        // Only an operation that changed much can have grown the scratch.
        const bool large =
            work_.toggles.size() + work_.vops.size() + work_.patterns.size() > Workspace::kKeep / 4;
        work_.toggles.clear();
        work_.vops.clear();
        work_.row_xors.clear();
        work_.column_flips.clear();
        work_.patterns.clear();
        if (large) {
            work_.trim();
        }
        committed_ = true;
    }

    Lumora& s_;
    Workspace& work_;
    DirectNodes nodes_;
    Editor<DirectNodes> editor_;
    bool committed_ = false;
};

}  // namespace lumora
