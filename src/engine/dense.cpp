#include "engine/dense.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "engine/workspace.hpp"

namespace lumora {

namespace {

// Rows for `members`, rounded to 8 so that a block holds about m^2/8
// bytes plus a few per member.
std::uint32_t rows_for(std::uint64_t members) {
    return static_cast<std::uint32_t>((members + 7) / 8 * 8);
}

DenseBlock* block_of(const GraphState& s, Qubit q) {
    const Node& node = s.node(q);
    return node.kind == SetKind::dense ? node.dense.block : nullptr;
}

// Room in the block for `extra` more members; the rows are copied into
// wider ones when the capacity grows.
void make_room_for_members(DenseBlock& block, std::uint32_t extra) {
    const std::uint64_t wanted = std::uint64_t{block.size} + extra;
    if (wanted <= block.capacity) {
        return;
    }
    // A growing block grows by a sixteenth at least, so that absorbing
    // qubits one at a time copies each row a bounded number of times.
    DenseBlock* wider =
        new_block(rows_for(std::max<std::uint64_t>(wanted, block.capacity + block.capacity / 16)));
    std::memcpy(wider->members, block.members, sizeof(Qubit) * block.size);
    for (Qubit local = 0; local < block.size; ++local) {
        std::memcpy(wider->row(local), block.row(local), sizeof(std::uint64_t) * block.words);
    }
    std::swap(block.capacity, wider->capacity);
    std::swap(block.words, wider->words);
    std::swap(block.members, wider->members);
    std::swap(block.rows, wider->rows);
    free_block(wider);
}

// The sparse group `members` (a whole group: no member has a neighbour
// outside it) joins `block`, after its current members.
void absorb_sparse(GraphState& s, DenseBlock& block, const std::vector<Qubit>& members,
                   std::uint64_t degree_sum) {
    make_room_for_members(block, static_cast<std::uint32_t>(members.size()));
    std::vector<Node> old(members.size());
    // Nothing below can fail.
    const Qubit first = block.size;
    for (std::size_t i = 0; i < members.size(); ++i) {
        Node& node = s.node(members[i]);
        old[i] = node;
        node.kind = SetKind::dense;
        node.dense.block = &block;
        node.dense.local = first + static_cast<Qubit>(i);
        block.members[first + i] = members[i];
    }
    block.size += static_cast<std::uint32_t>(members.size());
    block.refs += static_cast<std::uint32_t>(members.size());
    block.degree_sum += degree_sum;
    for (std::size_t i = 0; i < members.size(); ++i) {
        std::uint64_t* row = block.row(first + static_cast<Qubit>(i));
        for_each_neighbor(old[i], [&](Qubit y) { flip_bit(row, s.node(y).dense.local); });
        release(old[i]);
    }
}

// Every member of `from` joins `into`; `from` goes.
void merge_blocks(GraphState& s, DenseBlock& into, DenseBlock* from) {
    make_room_for_members(into, from->size);
    const Qubit first = into.size;
    for (Qubit local = 0; local < from->size; ++local) {
        Node& node = s.node(from->members[local]);
        node.dense.block = &into;
        node.dense.local = first + local;
        into.members[first + local] = from->members[local];
        std::uint64_t* row = into.row(first + local);
        const std::uint64_t* source = from->row(local);
        for (std::uint32_t w = 0; w < from->words; ++w) {
            for (std::uint64_t bits = source[w]; bits != 0; bits &= bits - 1) {
                flip_bit(row, first + static_cast<Qubit>(w * 64 + std::countr_zero(bits)));
            }
        }
    }
    into.size += from->size;
    into.refs += from->size;
    into.degree_sum += from->degree_sum;
    free_block(from);
}

void densify(GraphState& s, const std::vector<Qubit>& members, std::uint64_t degree_sum) {
    DenseBlock* block = new_block(rows_for(members.size()));
    try {
        absorb_sparse(s, *block, members, degree_sum);
    } catch (...) {
        free_block(block);
        throw;
    }
}

// Grown dense: the group of a sparse q whose set has doubled since its
// group was last looked at.
void consider_densifying(GraphState& s, Qubit q) {
    Node& node = s.node(q);
    const StoreLimits& limits = store_limits;
    node.checked_level = static_cast<std::uint8_t>(std::bit_width(node.degree));
    // The search stops at four times q's degree, which bounds its cost: a
    // group is found once a set in it holds a quarter of it. Larger dense
    // groups are found when their sets have grown further.
    const double reach = 4.0 * node.degree;
    const std::size_t limit =
        reach >= limits.dense_max
            ? limits.dense_max
            : std::max<std::size_t>(static_cast<std::size_t>(reach), limits.dense_min);
    std::vector<Qubit> members;
    std::uint64_t degree_sum = 0;
    if (sparse_group(s, q, limit, members, degree_sum) && members.size() >= limits.dense_min &&
        dense_by(degree_sum, members.size(), limits.dense_enter)) {
        densify(s, members, degree_sum);
    }
}

// Whether q's storage may call for a change: its block has thinned out, or
// its sparse set has reached a new power of two since its group was last
// looked at and it is one of the sets picked to look.
bool worth_reshaping(const GraphState& s, Qubit q) noexcept {
    const Node& node = s.node(q);
    const StoreLimits& limits = store_limits;
    if (node.kind == SetKind::dense) {
        const DenseBlock& block = *node.dense.block;
        return !dense_by(block.degree_sum, block.size, limits.dense_leave);
    }
    if (node.degree < limits.dense_trigger || limits.dense_max == 0 ||
        std::bit_width(node.degree) <= node.checked_level) {
        return false;
    }
    // Which sets look is fixed by a hash of the qubit and the degree level.
    const std::uint32_t pick =
        (q ^ (std::bit_width(node.degree) * 0x9E3779B9u)) * 0x85EBCA6Bu >> 16;
    return pick % limits.dense_sample == 0;
}

}  // namespace

bool sparse_group(GraphState& s, Qubit q, std::size_t limit, std::vector<Qubit>& members,
                  std::uint64_t& degree_sum) {
    members.clear();
    degree_sum = 0;
    members.reserve(std::min<std::size_t>(limit, 1024) + 1);
    std::uint8_t* seen = s.workspace().flags();
    constexpr std::uint8_t kSeen = Workspace::kFirst;
    seen[q] |= kSeen;
    members.push_back(q);
    bool complete = true;
    try {
        for (std::size_t head = 0; head < members.size() && complete; ++head) {
            const Node& node = s.node(members[head]);
            degree_sum += node.degree;
            for_each_neighbor(node, [&](Qubit w) {
                if (complete && !(seen[w] & kSeen)) {
                    seen[w] |= kSeen;
                    members.push_back(w);
                    complete = members.size() <= limit;
                }
            });
        }
    } catch (...) {
        for (Qubit m : members) {
            seen[m] &= static_cast<std::uint8_t>(~kSeen);
        }
        throw;
    }
    for (Qubit m : members) {
        seen[m] &= static_cast<std::uint8_t>(~kSeen);
    }
    return complete;
}

void reshape(GraphState& s, Qubit q) noexcept {
    if (!worth_reshaping(s, q)) {
        // A set that was not picked to look waits for its next level.
        Node& node = s.node(q);
        if (node.kind != SetKind::dense && node.degree >= store_limits.dense_trigger) {
            node.checked_level = static_cast<std::uint8_t>(std::bit_width(node.degree));
        }
        return;
    }
    try {
        if (s.node(q).kind == SetKind::dense) {
            dissolve(s, s.node(q).dense.block);
        } else {
            consider_densifying(s, q);
        }
    } catch (const std::bad_alloc&) {
        // The state stays as it is stored; a later operation tries again.
    }
}

void densify_group(GraphState& s, Qubit q) {
    std::vector<Qubit> members;
    std::uint64_t degree_sum = 0;
    sparse_group(s, q, s.size(), members, degree_sum);
    densify(s, members, degree_sum);
}

void dissolve(GraphState& s, DenseBlock* block) {
    std::vector<Node> fresh;
    fresh.reserve(block->size);
    try {
        for (Qubit local = 0; local < block->size; ++local) {
            fresh.push_back(empty_set_for(s.node(block->members[local]).degree, s.size()));
        }
    } catch (...) {
        for (Node& node : fresh) {
            release(node);
        }
        throw;
    }
    // Nothing below can fail.
    for (Qubit local = 0; local < block->size; ++local) {
        Node& set = fresh[local];
        const std::uint64_t* row = block->row(local);
        for (std::uint32_t w = 0; w < block->words; ++w) {
            for (std::uint64_t bits = row[w]; bits != 0; bits &= bits - 1) {
                insert_reserved(set, block->members[w * 64 + std::countr_zero(bits)]);
            }
        }
    }
    for (Qubit local = 0; local < block->size; ++local) {
        Node& node = s.node(block->members[local]);
        Node& set = fresh[local];
        set.vop = node.vop;
        // Not looked at again before its set doubles.
        set.checked_level = static_cast<std::uint8_t>(std::bit_width(set.degree));
        node = set;
    }
    free_block(block);
}

void unite_for_gate(GraphState& s, Qubit a, Qubit b) {
    DenseBlock* block_a = block_of(s, a);
    DenseBlock* block_b = block_of(s, b);
    if (block_a == block_b) {
        return;
    }
    const StoreLimits& limits = store_limits;
    if (block_a != nullptr && block_b != nullptr) {
        const std::uint64_t members = std::uint64_t{block_a->size} + block_b->size;
        if (members <= limits.dense_max &&
            dense_by(block_a->degree_sum + block_b->degree_sum, members, limits.dense_leave)) {
            if (block_a->size < block_b->size) {
                std::swap(block_a, block_b);
            }
            merge_blocks(s, *block_a, block_b);
        } else {
            dissolve(s, block_a);
            dissolve(s, block_b);
        }
        return;
    }
    DenseBlock* block = block_a != nullptr ? block_a : block_b;
    const Qubit outside = block_a != nullptr ? b : a;
    std::vector<Qubit> members;
    std::uint64_t degree_sum = 0;
    const std::size_t room = limits.dense_max > block->size ? limits.dense_max - block->size : 0;
    if (room != 0 && sparse_group(s, outside, room, members, degree_sum) &&
        dense_by(block->degree_sum + degree_sum, std::uint64_t{block->size} + members.size(),
                 limits.dense_leave)) {
        absorb_sparse(s, *block, members, degree_sum);
    } else {
        dissolve(s, block);
    }
}

void unite_all(GraphState& s, const Qubit* qubits, std::size_t count) {
    bool any_dense = false;
    for (std::size_t i = 0; i < count; ++i) {
        any_dense |= block_of(s, qubits[i]) != nullptr;
    }
    if (!any_dense) {
        return;
    }
    for (std::size_t i = 1; i < count; ++i) {
        unite_for_gate(s, qubits[0], qubits[i]);
    }
    // A block dissolved part-way can leave some sparse and some dense: then
    // every block among them goes.
    const DenseBlock* first = block_of(s, qubits[0]);
    bool one_form = true;
    for (std::size_t i = 1; i < count; ++i) {
        one_form &= block_of(s, qubits[i]) == first;
    }
    if (one_form) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (DenseBlock* block = block_of(s, qubits[i])) {
            dissolve(s, block);
        }
    }
}

}  // namespace lumora
