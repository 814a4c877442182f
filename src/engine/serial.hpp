// A state (and a seeded stream's position) as bytes and back: the form
// pickles carry. Versioned, compact (a 1D cluster takes 3 bytes per qubit)
// and checked: decoding rejects anything that is not exactly what
// encoding produces.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/rng.hpp"
#include "engine/state.hpp"

namespace lumora {

// Bytes that do not describe a state; the message says why.
class InvalidData : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct Decoded {
    Lumora state;
    std::optional<SeededStream::Position> stream;
};

// Appends the encoding of `s` (and of `stream`, when given) to `out`.
void encode_state(const Lumora& s, const SeededStream::Position* stream, std::string& out);

// The state the bytes describe. Throws InvalidData for anything else,
// std::bad_alloc, or Interrupted for very large states.
Decoded decode_state(std::string_view bytes);

}  // namespace lumora
