// Scratch memory of the engine's operations: the undo journal of a running
// operation, snapshots of neighbour sets, and small membership sets. A
// state keeps one workspace between mutating calls so that steady work
// allocates nothing; a preview makes its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "engine/failure.hpp"
#include "engine/neighbor_set.hpp"

namespace lumora {

// One entry of the undo journal: y was added to or removed from x's set.
struct ToggleRecord {
    Qubit x;
    Qubit y;
};

// The vertex operator v had before a change.
struct VopRecord {
    Qubit v;
    LcOp old;
};

// x's dense row was XORed with the pattern at `offset` in the workspace's
// patterns, and x's own bit flipped back when `self` is set.
struct RowRecord {
    Qubit x;
    std::uint32_t self;
    std::size_t offset;
};

// A growable array of trivially copyable values for the engine's scratch
// lists. Room made by make_room() lets push() go without a check, so the
// step after a mutation cannot fail.
template <class T>
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { ::operator delete(data_); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }

    void clear() noexcept { size_ = 0; }
    void pop_back() noexcept { --size_; }
    void make_room(std::size_t extra) {
        if (capacity_ - size_ < extra) {
            grow(size_ + extra);
        }
    }
    // Requires room from make_room().
    void push(T value) noexcept { data_[size_++] = value; }
    void push_back(T value) {
        make_room(1);
        push(value);
    }
    // Gives the memory back.
    void release() noexcept {
        ::operator delete(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    [[gnu::noinline]] void grow(std::size_t needed) {
        const std::size_t capacity = std::max(needed, 2 * capacity_ + 16);
        T* fresh = static_cast<T*>(::operator new(capacity * sizeof(T)));
        if (size_ != 0) {
            std::memcpy(fresh, data_, size_ * sizeof(T));
        }
        ::operator delete(data_);
        data_ = fresh;
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

using QubitList = Buffer<Qubit>;

class Workspace;

// Membership in a list of distinct qubits: a scan while the list is short;
// once it is not, one bit of the workspace's per-qubit flags, set at the
// first question and cleared again when the Members goes. The list may
// only grow by appended() while its Members lives.
class Members {
public:
    // `bit` must not be in use by another live Members of the workspace.
    Members(const QubitList& list, Workspace& work, std::uint8_t bit) noexcept
        : list_(list), work_(work), bit_(bit) {}
    Members(const Members&) = delete;
    Members& operator=(const Members&) = delete;
    ~Members() { unmark(); }

    const QubitList& list() const noexcept { return list_; }

    [[gnu::always_inline]] inline bool contains(Qubit q);

    // Marks a list too long to scan and returns its bit in the workspace's
    // flags; 0 for a list that is scanned.
    std::uint8_t flag() {
        if (flags_ == nullptr && list_.size() > kScanned) {
            mark();
        }
        return flags_ != nullptr ? bit_ : 0;
    }

    // The list has just had q appended.
    void appended(Qubit q) noexcept {
        if (flags_ != nullptr) {
            flags_[q] |= bit_;
        }
        pattern_block_ = nullptr;
    }

    // The list as a row pattern of a dense block, once made: its offset in
    // the workspace's patterns, or npos.
    std::size_t pattern_for(const DenseBlock* block) const noexcept {
        return block == pattern_block_ ? pattern_offset_ : npos;
    }
    void set_pattern(const DenseBlock* block, std::size_t offset) noexcept {
        pattern_block_ = block;
        pattern_offset_ = offset;
    }
    static constexpr std::size_t npos = ~std::size_t{0};

private:
    static constexpr std::size_t kScanned = 2;
    inline void mark();
    inline void unmark() noexcept;

    const QubitList& list_;
    Workspace& work_;
    std::uint8_t bit_;
    std::uint8_t* flags_ = nullptr;
    const DenseBlock* pattern_block_ = nullptr;
    std::size_t pattern_offset_ = 0;
};

class Workspace {
public:
    // Bits of the per-qubit flags, one per kind of list that can be asked
    // about at the same time.
    static constexpr std::uint8_t kFirst = 1, kSecond = 2, kThird = 4, kOwn = 8;

    explicit Workspace(std::size_t n) noexcept : n_(n) {}
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace() { release_flags(); }

    Buffer<ToggleRecord> toggles;
    Buffer<VopRecord> vops;
    Buffer<RowRecord> row_xors;
    // c's column was flipped in the rows of the pattern at `offset` (x is c).
    Buffer<RowRecord> column_flips;
    // Row patterns of dense blocks that row XORs refer to.
    Buffer<std::uint64_t> patterns;
    // Snapshots of neighbour sets, taken before they change.
    QubitList first, second, third;
    QubitList to_add;
    // Elementary set updates, between interrupt checks.
    PollCounter poll;

    // One byte per qubit, all zero between uses: whoever sets a bit clears
    // it again. Made at first need; large ones are left to the system to
    // zero page by page, so a preview pays only for the pages it touches.
    std::uint8_t* flags() { return flags_ != nullptr ? flags_ : make_flags(); }

    // A row pattern of `words` words appended to `patterns`, copied from
    // `row` (all zero when it is null); returns where it starts.
    std::size_t add_pattern(const std::uint64_t* row, std::uint32_t words) {
        const std::size_t offset = patterns.size();
        patterns.make_room(words);
        if (row != nullptr) {
            for (std::uint32_t w = 0; w < words; ++w) {
                patterns.push(row[w]);
            }
        } else {
            for (std::uint32_t w = 0; w < words; ++w) {
                patterns.push(0);
            }
        }
        return offset;
    }

    // Keeps what ordinary operations reuse; gives back what a rare huge
    // one grew.
    static constexpr std::size_t kKeep = std::size_t{1} << 16;
    void trim() noexcept;

private:
    std::uint8_t* make_flags();
    void release_flags() noexcept;

    std::size_t n_;
    std::uint8_t* flags_ = nullptr;
    bool flags_from_calloc_ = false;
};

bool Members::contains(Qubit q) {
    if (flags_ == nullptr) {
        if (list_.size() <= kScanned) {
            return std::find(list_.begin(), list_.end(), q) != list_.end();
        }
        mark();
    }
    return (flags_[q] & bit_) != 0;
}

void Members::mark() {
    std::uint8_t* flags = work_.flags();
    for (Qubit y : list_) {
        flags[y] |= bit_;
    }
    flags_ = flags;
}

void Members::unmark() noexcept {
    if (flags_ != nullptr) {
        for (Qubit y : list_) {
            flags_[y] &= static_cast<std::uint8_t>(~bit_);
        }
        flags_ = nullptr;
    }
}

}  // namespace lumora
