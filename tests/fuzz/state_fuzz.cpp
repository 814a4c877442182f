// Fuzzes the loader of pickled states: every input is refused with
// InvalidData, or loads into a state that keeps every invariant and encodes
// back to exactly the input (each state has one encoding).
//
// Most inputs get a correct checksum appended first, so that mutations get
// past it and reach the structure behind it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/engine.hpp"
#include "engine/invariants.hpp"
#include "engine/state.hpp"

namespace {

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
    }
    return c ^ 0xFFFFFFFFu;
}

void check(std::string_view bytes) {
    try {
        const lumora::Decoded decoded = lumora::decode_state(bytes);
        if (!lumora::check_invariants(decoded.state).empty()) {
            std::abort();
        }
        std::string again;
        lumora::encode_state(decoded.state, decoded.stream ? &*decoded.stream : nullptr, again);
        if (again != bytes) {
            std::abort();
        }
    } catch (const lumora::InvalidData&) {
        // refused: fine
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    if (size >= 4) {
        // The input with its last four bytes replaced by its checksum.
        std::string fixed(bytes.substr(0, size - 4));
        const std::uint32_t crc = crc32(fixed);
        for (int i = 0; i < 4; ++i) {
            fixed.push_back(static_cast<char>(crc >> (8 * i)));
        }
        check(fixed);
    }
    return 0;
}
