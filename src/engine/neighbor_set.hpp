// One qubit's record: its vertex operator and its set of neighbours, in 24
// bytes. The set takes the cheapest form for its size: a few entries inline,
// an unsorted array, an open-addressing hash set, or a bitmap over all
// qubits for hubs. Membership, insertion and removal cost O(1) expected in
// every form but the array, whose linear scan is bounded by its small size.
//
// Neighbour order carries no meaning: nothing in the engine depends on it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "clifford/local_clifford.hpp"
#include "engine/bits.hpp"
#include "engine/dense_block.hpp"
#include "engine/failure.hpp"
#include "engine/qubit.hpp"

namespace lumora {

enum class SetKind : std::uint8_t { inline_list, array, hash, bitmap, dense, tableau };

struct TableauBlock;

struct Node {
    std::uint32_t degree;
    LcOp vop;
    SetKind kind;
    std::uint8_t log2_capacity;  // array and hash forms
    // The bit width of the degree at which this set's group was last
    // considered for a dense block.
    std::uint8_t checked_level;
    union {
        Qubit items[4];        // inline form
        Qubit* slots;          // array entries, or hash slots with kNoQubit for empty
        std::uint64_t* words;  // bitmap form: bit q set when q is a neighbour
        struct {
            DenseBlock* block;
            Qubit local;
        } dense;  // a row of a dense block
        struct {
            TableauBlock* block;
            Qubit local;
        } tableau;  // a member of a group kept as a tableau, which has no set
    };
};
static_assert(sizeof(Node) == 24);

// Where one form hands over to the next. The defaults suit real circuits;
// tests shrink them so that every form and every conversion occurs on a
// handful of qubits.
struct StoreLimits {
    std::uint32_t inline_max = 4;  // at most 4, the inline room
    std::uint32_t array_max = 64;
    // A set becomes a bitmap once it holds n / bitmap_divisor entries, in
    // registers of at least bitmap_min_qubits: from there on the bitmap is
    // the smaller form.
    std::uint32_t bitmap_divisor = 32;
    std::size_t bitmap_min_qubits = 4096;
    // Elementary set updates between two interrupt checks.
    std::uint32_t poll_interval = 1u << 20;
    // Operations that touch a few sets may skip the undo journal when
    // nothing can fail once they start changing the state.
    bool quick_paths = true;
    // Bulk updates of an inline or array set: when its size times the
    // number of targets is at most scan_product, each target is looked up
    // by a scan; otherwise the two lists are merged, comparing each target
    // against the whole set while it holds at most compared_whole entries.
    std::uint32_t scan_product = 32;
    std::uint32_t compared_whole = 8;
    // A connected group of m qubits with E edges becomes a dense block when
    // dense_min <= m <= dense_max and 2E >= m^2 / dense_enter, and goes
    // back to sparse sets once 2E < m^2 / dense_leave. A group is looked at
    // when one of its sets, holding at least dense_trigger entries, has
    // doubled since it was last looked at.
    std::uint32_t dense_min = 64;
    std::uint32_t dense_max = 8192;
    std::uint32_t dense_enter = 16;
    std::uint32_t dense_leave = 64;
    std::uint32_t dense_trigger = 64;
    // Only one set in dense_sample looks at its group when it doubles (a
    // fixed choice by qubit index): a group that is dense has many sets
    // doubling, and large sparse groups are not searched over and over.
    std::uint32_t dense_sample = 8;
    // Before a two-qubit gate that would complement at an operand of degree
    // d >= tableau_min (0: never), the operands' group becomes a stabilizer
    // tableau when it has at most min(dense_max, tableau_reach d) members and
    // 2E >= m^2 / tableau_enter; a tableau of tableau_leave members or fewer
    // goes back to graph form at its next measurement. Only one gate in
    // tableau_sample looks (a fixed choice by operand and degree), since a
    // look reads up to tableau_reach d sets and a large sparse group fails
    // it at every complementation.
    std::uint32_t tableau_min = 64;
    std::uint32_t tableau_reach = 32;
    std::uint32_t tableau_sample = 16;
    std::uint32_t tableau_enter = 128;
    std::uint32_t tableau_leave = 16;
};
inline StoreLimits store_limits;

inline Node fresh_node() noexcept {
    Node node{};
    node.vop = kLcH;  // H|+> = |0>
    node.kind = SetKind::inline_list;
    return node;
}

namespace detail {

inline std::uint32_t hash_slot(Qubit q, std::uint8_t log2_capacity) noexcept {
    // Fibonacci hashing: the top bits of the product spread any key pattern.
    return static_cast<std::uint32_t>((q * 0x9E3779B97F4A7C15ull) >> (64 - log2_capacity));
}

inline std::size_t bitmap_words(std::size_t n) noexcept {
    return (n + 63) / 64;
}

}  // namespace detail

inline bool contains(const Node& node, Qubit q) noexcept {
    switch (node.kind) {
        case SetKind::inline_list: {
            bool found = false;
            for (std::uint32_t i = 0; i < node.degree; ++i) {
                found |= node.items[i] == q;
            }
            return found;
        }
        case SetKind::array: {
            // Branch-free, so the compiler compares several entries at a time.
            bool found = false;
            for (std::uint32_t i = 0; i < node.degree; ++i) {
                found |= node.slots[i] == q;
            }
            return found;
        }
        case SetKind::hash: {
            const std::uint32_t mask = (1u << node.log2_capacity) - 1;
            for (std::uint32_t i = detail::hash_slot(q, node.log2_capacity);; i = (i + 1) & mask) {
                if (node.slots[i] == q) {
                    return true;
                }
                if (node.slots[i] == kNoQubit) {
                    return false;
                }
            }
        }
        case SetKind::bitmap:
            return (node.words[q >> 6] >> (q & 63)) & 1;
        case SetKind::dense:
            break;  // needs the other end's record: see linked()
        case SetKind::tableau:
            break;  // no set: a tableau member has no edges in graph form
    }
    return false;
}

// Whether y, whose record is ny, is in x's set. Sets of a dense block hold
// only members of that block.
inline bool linked(const Node& nx, Qubit y, const Node& ny) noexcept {
    if (nx.kind == SetKind::dense || ny.kind == SetKind::dense) {
        return nx.kind == ny.kind && nx.dense.block == ny.dense.block &&
               test_bit(nx.dense.block->row(nx.dense.local), ny.dense.local);
    }
    return contains(nx, y);
}

// Whether a and b are adjacent, asked of whichever set answers in constant
// time, else of the smaller one.
inline bool adjacent(const Node& na, Qubit a, const Node& nb, Qubit b) noexcept {
    if (na.kind == SetKind::dense || nb.kind == SetKind::dense) {
        return linked(na, b, nb);
    }
    if (na.kind >= SetKind::hash || (nb.kind < SetKind::hash && na.degree <= nb.degree)) {
        return contains(na, b);
    }
    return contains(nb, a);
}

// Calls f(q) for every neighbour q. f must not change this set.
template <class F>
void for_each_neighbor(const Node& node, F&& f) {
    // The small forms, by far the most common, are one list either way.
    if (node.kind <= SetKind::array) {
        const Qubit* entries = node.kind == SetKind::inline_list ? node.items : node.slots;
        for (std::uint32_t i = 0; i < node.degree; ++i) {
            f(entries[i]);
        }
        return;
    }
    switch (node.kind) {
        case SetKind::inline_list:
        case SetKind::array:
            return;
        case SetKind::hash: {
            const std::uint32_t capacity = 1u << node.log2_capacity;
            for (std::uint32_t i = 0; i < capacity; ++i) {
                if (node.slots[i] != kNoQubit) {
                    f(node.slots[i]);
                }
            }
            return;
        }
        case SetKind::bitmap: {
            std::uint32_t seen = 0;
            for (std::size_t w = 0; seen < node.degree; ++w) {
                for (std::uint64_t bits = node.words[w]; bits != 0; bits &= bits - 1) {
                    f(static_cast<Qubit>(w * 64 + std::countr_zero(bits)));
                    ++seen;
                }
            }
            return;
        }
        case SetKind::dense: {
            const DenseBlock& block = *node.dense.block;
            const std::uint64_t* row = block.row(node.dense.local);
            std::uint32_t seen = 0;
            for (std::size_t w = 0; seen < node.degree; ++w) {
                for (std::uint64_t bits = row[w]; bits != 0; bits &= bits - 1) {
                    f(block.members[w * 64 + std::countr_zero(bits)]);
                    ++seen;
                }
            }
            return;
        }
        case SetKind::tableau:
            return;  // no set (its degree is 0): readers use the tableau's graph form
    }
}

inline bool has_room(const Node& node, std::uint32_t extra) noexcept {
    const std::uint64_t need = std::uint64_t{node.degree} + extra;
    switch (node.kind) {
        case SetKind::inline_list:
            return need <= store_limits.inline_max;
        case SetKind::array:
            return need <= (1u << node.log2_capacity) && need <= store_limits.array_max;
        case SetKind::hash:
            return need * 4 <= (std::uint64_t{3} << node.log2_capacity);
        case SetKind::bitmap:
        case SetKind::dense:
            return true;
        case SetKind::tableau:
            break;
    }
    return false;
}

// Moves the set to a form with room for `extra` more entries.
void grow(Node& node, std::uint32_t extra, std::size_t n);

// Makes room so that `extra` further insertions allocate nothing; this is
// the only step of an insertion that can fail. On failure (std::bad_alloc)
// the set is unchanged.
inline void reserve(Node& node, std::uint32_t extra, std::size_t n) {
    if (!has_room(node, extra)) {
        grow(node, extra, n);
    }
}

// Inserts an absent q into room made by reserve().
inline void insert_reserved(Node& node, Qubit q) noexcept {
    switch (node.kind) {
        case SetKind::inline_list:
            node.items[node.degree] = q;
            break;
        case SetKind::array:
            node.slots[node.degree] = q;
            break;
        case SetKind::hash: {
            const std::uint32_t mask = (1u << node.log2_capacity) - 1;
            std::uint32_t i = detail::hash_slot(q, node.log2_capacity);
            while (node.slots[i] != kNoQubit) {
                i = (i + 1) & mask;
            }
            node.slots[i] = q;
            break;
        }
        case SetKind::bitmap:
            node.words[q >> 6] |= std::uint64_t{1} << (q & 63);
            break;
        case SetKind::dense:
        case SetKind::tableau:
            return;  // rows are flipped through their block, never here
    }
    ++node.degree;
}

// Removes a present q. Never gives storage back, so that undoing a removal
// later in the same operation cannot need memory.
void erase(Node& node, Qubit q) noexcept;

void shrink(Node& node, std::size_t n) noexcept;

// Moves the set to a smaller form when it has shrunk well below its
// current one. Best effort: if memory for the smaller form cannot be had,
// the set stays as it is.
inline void compact(Node& node, std::size_t n) noexcept {
    // Inline sets and non-empty smallest arrays never shrink; dense rows
    // go with their block.
    if (node.kind == SetKind::inline_list || node.kind >= SetKind::dense ||
        (node.kind == SetKind::array && node.log2_capacity == 3 && node.degree != 0)) {
        return;
    }
    shrink(node, n);
}

// Frees the set's storage and leaves an empty inline set; a dense row or a
// tableau member lets go of its block, which goes with its last member.
void release(Node& node) noexcept;

// A deep copy of the record; a dense row is copied as it is, sharing its
// block.
Node clone(const Node& node, std::size_t n);

// An empty set with room for `count` entries, in the form that count
// calls for (never dense); the caller fills it with insert_reserved().
Node empty_set_for(std::uint64_t count, std::size_t n);

}  // namespace lumora
