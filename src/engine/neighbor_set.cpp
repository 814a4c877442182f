#include "engine/neighbor_set.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/tableau_block.hpp"

namespace lumora {

namespace {

std::uint8_t log2_at_least(std::uint64_t count) noexcept {
    return static_cast<std::uint8_t>(std::bit_width(std::max<std::uint64_t>(count, 1) - 1));
}

struct Form {
    SetKind kind;
    std::uint8_t log2_capacity;
};

bool bitmap_pays(std::uint64_t count, std::size_t n) noexcept {
    return n >= store_limits.bitmap_min_qubits && count * store_limits.bitmap_divisor >= n;
}

// The form for `count` entries, leaving room to grow: arrays and hash sets
// get twice what they need so that the next conversion is far away.
Form form_for(std::uint64_t count, std::size_t n, bool bitmap_allowed) noexcept {
    if (count <= store_limits.inline_max) {
        return {SetKind::inline_list, 0};
    }
    if (bitmap_allowed && bitmap_pays(count, n)) {
        return {SetKind::bitmap, 0};
    }
    if (count <= store_limits.array_max) {
        return {SetKind::array, std::max<std::uint8_t>(3, log2_at_least(count))};
    }
    return {SetKind::hash, std::max<std::uint8_t>(4, log2_at_least(2 * count))};
}

std::size_t storage_bytes(Form form, std::size_t n) noexcept {
    switch (form.kind) {
        case SetKind::inline_list:
        case SetKind::dense:
        case SetKind::tableau:
            return 0;
        case SetKind::array:
        case SetKind::hash:
            return sizeof(Qubit) << form.log2_capacity;
        case SetKind::bitmap:
            return sizeof(std::uint64_t) * detail::bitmap_words(n);
    }
    return 0;
}

void free_storage(Node& node) noexcept {
    if (node.kind == SetKind::inline_list) {
        return;
    }
    if (node.kind == SetKind::dense) {
        if (--node.dense.block->refs == 0) {
            free_block(node.dense.block);
        }
    } else if (node.kind == SetKind::tableau) {
        release_member(node.tableau.block);
    } else {
        ::operator delete(node.kind == SetKind::bitmap ? static_cast<void*>(node.words)
                                                       : static_cast<void*>(node.slots));
    }
}

// Moves the entries into freshly allocated storage of the given form.
// Allocation comes first, so a failure leaves the node untouched.
void rebuild(Node& node, Form form, std::size_t n) {
    Node fresh = node;
    fresh.kind = form.kind;
    fresh.log2_capacity = form.log2_capacity;
    fresh.degree = 0;
    const std::size_t bytes = storage_bytes(form, n);
    if (bytes != 0) {
        void* storage = ::operator new(bytes);
        if (form.kind == SetKind::bitmap) {
            fresh.words = static_cast<std::uint64_t*>(storage);
            std::memset(storage, 0, bytes);
        } else {
            fresh.slots = static_cast<Qubit*>(storage);
            if (form.kind == SetKind::hash) {
                std::memset(storage, 0xFF, bytes);  // every slot kNoQubit
            }
        }
    }
    for_each_neighbor(node, [&](Qubit q) { insert_reserved(fresh, q); });
    free_storage(node);
    node = fresh;
}

int rank(SetKind kind) noexcept {
    return static_cast<int>(kind);
}

}  // namespace

void grow(Node& node, std::uint32_t extra, std::size_t n) {
    const std::uint64_t need = std::uint64_t{node.degree} + extra;
    Form form = form_for(need, n, true);
    // Growing never moves a set to a smaller form.
    if (rank(form.kind) < rank(node.kind)) {
        form = {node.kind,
                std::max(form.log2_capacity, node.kind == SetKind::hash ? log2_at_least(2 * need)
                                                                        : log2_at_least(need))};
    }
    rebuild(node, form, n);
}

void erase(Node& node, Qubit q) noexcept {
    switch (node.kind) {
        case SetKind::inline_list:
        case SetKind::array: {
            Qubit* entries = node.kind == SetKind::inline_list ? node.items : node.slots;
            std::uint32_t i = 0;
            while (entries[i] != q) {
                ++i;
            }
            entries[i] = entries[node.degree - 1];
            break;
        }
        case SetKind::hash: {
            // Backward-shift deletion: later entries of the probe run move
            // into the hole unless that would put them before their home slot.
            const std::uint32_t mask = (1u << node.log2_capacity) - 1;
            std::uint32_t hole = detail::hash_slot(q, node.log2_capacity);
            while (node.slots[hole] != q) {
                hole = (hole + 1) & mask;
            }
            for (std::uint32_t j = (hole + 1) & mask; node.slots[j] != kNoQubit;
                 j = (j + 1) & mask) {
                const std::uint32_t home = detail::hash_slot(node.slots[j], node.log2_capacity);
                // The entry may fill the hole when its home lies cyclically
                // outside (hole, j].
                const bool stays =
                    hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
                if (!stays) {
                    node.slots[hole] = node.slots[j];
                    hole = j;
                }
            }
            node.slots[hole] = kNoQubit;
            break;
        }
        case SetKind::bitmap:
            node.words[q >> 6] &= ~(std::uint64_t{1} << (q & 63));
            break;
        case SetKind::dense:
        case SetKind::tableau:
            return;  // rows are flipped through their block, never here
    }
    --node.degree;
}

void shrink(Node& node, std::size_t n) noexcept {
    const std::uint64_t degree = node.degree;
    const std::uint64_t capacity = std::uint64_t{1} << node.log2_capacity;
    bool shrink = false;
    // Each form is left only well below the size at which it was entered, so
    // that no circuit makes a set convert back and forth.
    switch (node.kind) {
        case SetKind::inline_list:
        case SetKind::dense:
        case SetKind::tableau:
            return;
        case SetKind::array:
            // The smallest array stays until it empties: sets that swing
            // across the inline limit would otherwise convert every time.
            shrink = degree == 0 || (capacity > 8 && degree * 4 < capacity);
            break;
        case SetKind::hash:
            shrink =
                degree * 2 <= store_limits.array_max || (capacity > 16 && degree * 8 < capacity);
            break;
        case SetKind::bitmap:
            shrink =
                n < store_limits.bitmap_min_qubits || degree * store_limits.bitmap_divisor * 4 < n;
            break;
    }
    if (!shrink) {
        return;
    }
    try {
        rebuild(node, form_for(degree, n, false), n);
    } catch (const std::bad_alloc&) {
        // The larger form stays; it is still a valid set.
    }
}

void release(Node& node) noexcept {
    free_storage(node);
    node.kind = SetKind::inline_list;
    node.log2_capacity = 0;
    node.degree = 0;
}

Node empty_set_for(std::uint64_t count, std::size_t n) {
    Node node = fresh_node();
    rebuild(node, form_for(count, n, true), n);
    return node;
}

Node clone(const Node& node, std::size_t n) {
    Node copy = node;
    const std::size_t bytes = storage_bytes({node.kind, node.log2_capacity}, n);
    if (bytes != 0) {
        void* storage = ::operator new(bytes);
        std::memcpy(storage,
                    node.kind == SetKind::bitmap ? static_cast<const void*>(node.words)
                                                 : static_cast<const void*>(node.slots),
                    bytes);
        if (node.kind == SetKind::bitmap) {
            copy.words = static_cast<std::uint64_t*>(storage);
        } else {
            copy.slots = static_cast<Qubit*>(storage);
        }
    }
    return copy;
}

}  // namespace lumora
