#include "engine/workspace.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace lumora {

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

}  // namespace lumora
