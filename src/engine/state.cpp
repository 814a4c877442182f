#include "engine/state.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

namespace lumora {

namespace {

std::atomic<bool (*)()> interrupt_check{nullptr};

// Records are written in slices of this many, with an interrupt check
// between slices, so that building a huge register can be stopped.
constexpr std::size_t kFillSlice = std::size_t{1} << 20;

// The largest register for which an allocation is attempted at all: beyond
// it the request cannot fit half of any address space, and it fails as
// "capacity overflow" before anything is allocated.
constexpr std::size_t kCapacityLimit = static_cast<std::size_t>(PTRDIFF_MAX) / 32;

}  // namespace

std::string index_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

void fail_index(std::size_t len, std::size_t index) {
    throw EngineFailure(index_message(len, index));
}

void set_interrupt_check(bool (*check)()) noexcept {
    interrupt_check.store(check, std::memory_order_relaxed);
}

void poll_interrupt() {
    bool (*check)() = interrupt_check.load(std::memory_order_relaxed);
    if (check != nullptr && check()) {
        throw Interrupted();
    }
}

Lumora create(std::size_t qubit_amount) {
    if (qubit_amount > kCapacityLimit) {
        throw EngineFailure("capacity overflow");
    }
    if (qubit_amount > kMaxQubits) {
        throw SizeLimitError("qubit_amount " + std::to_string(qubit_amount) +
                             " is more than a simulator can hold (at most " +
                             std::to_string(kMaxQubits) + " qubits)");
    }
    Lumora s;
    if (qubit_amount == 0) {
        return s;
    }
    try {
        s.nodes_ = static_cast<Node*>(::operator new(qubit_amount * sizeof(Node)));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("cannot allocate " + std::to_string(qubit_amount * sizeof(Node)) +
                          " bytes for the records of " + std::to_string(qubit_amount) + " qubits");
    }
    s.n_ = 0;  // the destructor releases only records already written
    const Node fresh = fresh_node();
    while (s.n_ < qubit_amount) {
        const std::size_t end = std::min(qubit_amount, s.n_ + kFillSlice);
        std::fill(s.nodes_ + s.n_, s.nodes_ + end, fresh);
        s.n_ = end;
        if (end < qubit_amount) {
            poll_interrupt();
        }
    }
    return s;
}

Lumora copy_state(const Lumora& s) {
    Lumora copy;
    if (s.n_ == 0) {
        return copy;
    }
    copy.nodes_ = static_cast<Node*>(::operator new(s.n_ * sizeof(Node)));
    copy.n_ = 0;  // the destructor releases only records already written
    // Each block is copied once, when its first member is met; members of
    // a block are usually close together, so the last one is remembered.
    std::unordered_map<const DenseBlock*, DenseBlock*> blocks;
    const DenseBlock* last_original = nullptr;
    DenseBlock* last_copy = nullptr;
    // Records are copied a slice at a time as bytes, then those holding
    // storage get copies of it. Until a record is fixed it must not be
    // released (its pointer is the original's), so a failure resets the
    // unfixed rest of the slice before the copy is destroyed.
    while (copy.n_ < s.n_) {
        const std::size_t start = copy.n_;
        const std::size_t end = std::min(s.n_, start + kFillSlice);
        std::memcpy(static_cast<void*>(copy.nodes_ + start), s.nodes_ + start,
                    (end - start) * sizeof(Node));
        copy.n_ = end;
        std::size_t q = start;
        try {
            for (; q < end; ++q) {
                Node& node = copy.nodes_[q];
                if (node.kind == SetKind::inline_list) {
                    continue;
                }
                if (node.kind != SetKind::dense) {
                    node = clone(s.nodes_[q], s.n_);
                    continue;
                }
                const DenseBlock* original = node.dense.block;
                if (original != last_original) {
                    auto found = blocks.find(original);
                    if (found == blocks.end()) {
                        DenseBlock* fresh = copy_block(*original);
                        fresh->refs = 0;
                        try {
                            found = blocks.emplace(original, fresh).first;
                        } catch (...) {
                            free_block(fresh);
                            throw;
                        }
                    }
                    last_original = found->first;
                    last_copy = found->second;
                }
                node.dense.block = last_copy;
                ++last_copy->refs;
            }
        } catch (...) {
            const Node empty = fresh_node();
            std::fill(copy.nodes_ + q, copy.nodes_ + end, empty);
            throw;
        }
        if (copy.n_ < s.n_) {
            poll_interrupt();
        }
    }
    return copy;
}

Lumora::~Lumora() {
    for (std::size_t q = 0; q < n_; ++q) {
        release(nodes_[q]);
    }
    ::operator delete(nodes_);
}

Workspace& Lumora::workspace() {
    if (!work_) {
        work_ = std::make_unique<Workspace>(n_);
    }
    return *work_;
}

std::uint8_t* Workspace::make_flags() {
    {
        // Large ones come zeroed from the system, page by page as touched.
        constexpr std::size_t kCallocFrom = std::size_t{1} << 16;
        const std::size_t bytes = n_ == 0 ? 1 : n_;
        if (bytes >= kCallocFrom) {
            flags_ = static_cast<std::uint8_t*>(std::calloc(bytes, 1));
            if (flags_ == nullptr) {
                throw std::bad_alloc();
            }
            flags_from_calloc_ = true;
        } else {
            flags_ = static_cast<std::uint8_t*>(::operator new(bytes));
            std::memset(flags_, 0, bytes);
            flags_from_calloc_ = false;
        }
    }
    return flags_;
}

void Workspace::release_flags() noexcept {
    if (flags_from_calloc_) {
        std::free(flags_);
    } else {
        ::operator delete(flags_);
    }
    flags_ = nullptr;
}

void Workspace::trim() noexcept {
    for (QubitList* list : {&first, &second, &third, &to_add}) {
        if (list->capacity() > kKeep) {
            list->release();
        }
    }
    if (toggles.capacity() > kKeep) {
        toggles.release();
    }
    if (vops.capacity() > kKeep) {
        vops.release();
    }
    if (row_xors.capacity() > kKeep) {
        row_xors.release();
    }
    if (column_flips.capacity() > kKeep) {
        column_flips.release();
    }
    if (patterns.capacity() > kKeep) {
        patterns.release();
    }
}

std::vector<std::pair<Qubit, Qubit>> edge_list(const Lumora& s) {
    // Vertex by vertex, each one's higher neighbours sorted: sorted overall.
    std::vector<std::pair<Qubit, Qubit>> edges;
    std::vector<Qubit> above;
    PollCounter poll;
    for (Qubit a = 0; a < s.size(); ++a) {
        above.clear();
        for_each_neighbor(s.node(a), [&](Qubit b) {
            if (a < b) {
                above.push_back(b);
            }
        });
        sort_polled(above);
        for (Qubit b : above) {
            edges.emplace_back(a, b);
        }
        poll.tick(1 + s.node(a).degree);
    }
    return edges;
}

std::string check_invariants(const Lumora& s) {
    const std::size_t n = s.size();
    for (Qubit a = 0; a < n; ++a) {
        const Node& node = s.node(a);
        const std::string at = " at " + std::to_string(a);
        if (node.vop >= kLcCount) {
            return "vertex operator out of range" + at;
        }
        std::uint64_t count = 0;
        std::string defect;
        std::vector<Qubit> seen;
        for_each_neighbor(node, [&](Qubit b) {
            ++count;
            seen.push_back(b);
            if (!defect.empty()) {
                return;
            }
            if (b >= n) {
                defect = "neighbour index out of range" + at;
            } else if (b == a) {
                defect = "self-loop" + at;
            } else if (!linked(node, b, s.node(b))) {
                defect = "entry " + std::to_string(b) + " not findable" + at;
            } else if (!linked(s.node(b), a, node)) {
                defect = "edge " + std::to_string(a) + "-" + std::to_string(b) + " is one-sided";
            }
        });
        if (!defect.empty()) {
            return defect;
        }
        std::sort(seen.begin(), seen.end());
        if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) {
            return "duplicate neighbour" + at;
        }
        const std::uint64_t capacity = std::uint64_t{1} << node.log2_capacity;
        switch (node.kind) {
            case SetKind::inline_list:
                if (node.degree > 4) {
                    return "inline set too large" + at;
                }
                break;
            case SetKind::array:
                if (node.degree > capacity) {
                    return "array overfull" + at;
                }
                break;
            case SetKind::hash: {
                std::uint64_t used = 0;
                for (std::uint64_t i = 0; i < capacity; ++i) {
                    used += node.slots[i] != kNoQubit;
                }
                if (used != node.degree || 4 * used > 3 * capacity) {
                    return "hash set count or load wrong" + at;
                }
                break;
            }
            case SetKind::bitmap: {
                std::uint64_t bits = 0;
                const std::size_t words = detail::bitmap_words(n);
                for (std::size_t w = 0; w < words; ++w) {
                    bits += std::popcount(node.words[w]);
                }
                if (bits != node.degree) {
                    return "bitmap count wrong" + at;
                }
                break;
            }
            case SetKind::dense: {
                const DenseBlock& block = *node.dense.block;
                if (node.dense.local >= block.size || block.members[node.dense.local] != a) {
                    return "dense row does not map back" + at;
                }
                if (test_bit(block.row(node.dense.local), node.dense.local)) {
                    return "dense self-loop" + at;
                }
                // Block-wide facts, checked from the first member.
                if (node.dense.local == 0) {
                    std::uint64_t degree_sum = 0;
                    for (Qubit local = 0; local < block.size; ++local) {
                        degree_sum += s.node(block.members[local]).degree;
                    }
                    if (degree_sum != block.degree_sum || block.refs != block.size ||
                        block.capacity % 8 != 0 || block.words != (block.capacity + 63) / 64) {
                        return "dense block bookkeeping wrong" + at;
                    }
                    for (Qubit local = 0; local < block.capacity; ++local) {
                        for (std::uint32_t w = 0; w < block.words; ++w) {
                            const std::uint64_t word = block.row(local)[w];
                            const bool unused_row = local >= block.size;
                            // Bits at or past `size` stand for no member.
                            const std::uint64_t beyond =
                                w * 64 + 64 <= block.size ? 0
                                : w * 64 >= block.size
                                    ? ~std::uint64_t{0}
                                    : ~((std::uint64_t{1} << (block.size - w * 64)) - 1);
                            if ((unused_row && word != 0) || (word & beyond) != 0) {
                                return "dense block has stray bits" + at;
                            }
                        }
                    }
                }
                break;
            }
            default:
                return "unknown set form" + at;
        }
        if (count != node.degree) {
            return "degree does not match the entries" + at;
        }
    }
    return {};
}

}  // namespace lumora
