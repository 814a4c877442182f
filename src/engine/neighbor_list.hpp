// Ordered adjacency list of one vertex. The order of entries is observable
// (reductions pick the first suitable neighbour, measurements walk lists
// front to back), so appends go to the end and removals close the gap
// without reordering.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace lumora {

class NeighborList {
public:
    NeighborList() noexcept = default;

    // A copy holds exactly as many entries as it has room for.
    NeighborList(const NeighborList& other) {
        if (other.size_ == 0) {
            return;
        }
        data_ = allocate(other.size_);
        std::memcpy(data_, other.data_, other.size_ * sizeof(std::size_t));
        size_ = capacity_ = other.size_;
    }

    NeighborList(NeighborList&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }

    NeighborList& operator=(const NeighborList& other) {
        if (this != &other) {
            NeighborList copy(other);
            swap(copy);
        }
        return *this;
    }

    NeighborList& operator=(NeighborList&& other) noexcept {
        NeighborList moved(static_cast<NeighborList&&>(other));
        swap(moved);
        return *this;
    }

    ~NeighborList() { std::free(data_); }

    void swap(NeighborList& other) noexcept {
        std::size_t* d = data_;
        data_ = other.data_;
        other.data_ = d;
        std::size_t s = size_;
        size_ = other.size_;
        other.size_ = s;
        std::size_t c = capacity_;
        capacity_ = other.capacity_;
        other.capacity_ = c;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t operator[](std::size_t i) const noexcept { return data_[i]; }
    const std::size_t* begin() const noexcept { return data_; }
    const std::size_t* end() const noexcept { return data_ + size_; }

    bool contains(std::size_t value) const noexcept {
        for (std::size_t i = 0; i < size_; ++i) {
            if (data_[i] == value) {
                return true;
            }
        }
        return false;
    }

    // Makes room for one more entry; the only step of an append that can fail.
    void reserve_one() {
        if (size_ < capacity_) {
            return;
        }
        std::size_t grown = capacity_ * 2;
        if (grown < 4) {
            grown = 4;
        }
        std::size_t* fresh = allocate(grown);
        if (size_ != 0) {
            std::memcpy(fresh, data_, size_ * sizeof(std::size_t));
        }
        std::free(data_);
        data_ = fresh;
        capacity_ = grown;
    }

    // Requires room reserved by reserve_one().
    void append_reserved(std::size_t value) noexcept { data_[size_++] = value; }

    void push_back(std::size_t value) {
        reserve_one();
        append_reserved(value);
    }

    // Removes every occurrence of value; the rest keep their order.
    // Returns how many entries were removed.
    std::size_t remove_all(std::size_t value) noexcept {
        std::size_t read = 0;
        while (read < size_ && data_[read] != value) {
            ++read;
        }
        if (read == size_) {
            return 0;
        }
        std::size_t write = read;
        for (++read; read < size_; ++read) {
            if (data_[read] != value) {
                data_[write++] = data_[read];
            }
        }
        const std::size_t removed = size_ - write;
        size_ = write;
        return removed;
    }

    // Keeps the storage: a list never gives back capacity.
    void clear() noexcept { size_ = 0; }

private:
    static std::size_t* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / 2 / sizeof(std::size_t)) {
            throw std::bad_alloc();
        }
        void* p = std::malloc(count * sizeof(std::size_t));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<std::size_t*>(p);
    }

    std::size_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace lumora
