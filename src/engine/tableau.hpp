// The stabilizer tableau of one group: m members, m generators, kept
// column by column so that a gate costs a few word operations per 64
// generators. The form a dense group can take where complementations in
// its graph would cost m^2/64 words each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "clifford/local_clifford.hpp"

namespace lumora {

struct PauliRows;

class Tableau {
public:
    // The graph state |G> of m members, generators K_v = X_v Z_N(v), from
    // adjacency bit rows: row v (`row_words` words from adjacency +
    // v * row_words) holds N(v), as local indices.
    Tableau(std::uint32_t m, const std::uint64_t* adjacency, std::size_t row_words);
    // The state becomes |this> x |b>: b's members follow. Room is made up
    // to a whole word of generators, so that a group that grows a member at
    // a time is copied once per 64. On failure (std::bad_alloc) nothing
    // changes.
    void append(const Tableau& b);

    std::uint32_t size() const { return members_; }
    std::size_t bytes() const {
        return (columns_.capacity() + sign_.capacity() + scratch_.capacity()) *
               sizeof(std::uint64_t);
    }

    // The state becomes op_q |T>: every generator is conjugated on q.
    void apply(std::uint32_t q, LcOp op) noexcept;
    void cz(std::uint32_t a, std::uint32_t b) noexcept;

    // Measuring `axis` on q is determined when no generator anticommutes
    // with it: then +-axis_q is in the group.
    bool determined(std::uint32_t q, AxisCode axis) const;
    // That outcome (0 for +1), found by elimination: m^3/64 word operations.
    std::uint8_t determined_outcome(std::uint32_t q, AxisCode axis) const;
    // A random measurement with outcome r: the state is projected onto the
    // (-1)^r eigenspace of axis_q, and q is left a factor, one generator
    // (-1)^r axis_q and no other generator touching it.
    void collapse(std::uint32_t q, AxisCode axis, std::uint8_t r) noexcept;

    // Whether q is a factor of the state (some Pauli on q alone is in the
    // group), and if so which axis.
    bool is_factor(std::uint32_t q, AxisCode& axis) const;
    // Takes factor q out: its generator and its columns go, and the last
    // member takes index q. A factor left by collapse() goes in m/64 word
    // operations and cannot fail, any other after an elimination.
    void remove_factor(std::uint32_t q);

    // Generator r's letter on member q: x + 2 z (0 I, 1 X, 2 Z, 3 Y), and its
    // sign; for encoding and checks.
    int letter(std::size_t r, std::uint32_t q) const;
    bool minus(std::size_t r) const;
    // A tableau of m members from letters and signs; nothing is checked.
    Tableau(std::uint32_t m, const std::uint8_t* letters, const std::uint8_t* minus);
    // Whether the generators commute and are independent, so that they
    // stabilize one state: m^3/64 word operations.
    bool valid() const;

    // The graph form: |T> = (frame_0 x ... x frame_{m-1}) |G>. It depends
    // on the group alone (the elimination is in a fixed column order), not
    // on how its generators are written.
    struct GraphForm {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;  // a < b
        std::vector<LcOp> frame;
    };
    GraphForm graph_form() const;

private:
    Tableau(std::uint32_t m, std::uint32_t capacity);

    std::uint64_t* x(std::uint32_t q) { return columns_.data() + (2 * std::size_t{q}) * words_; }
    std::uint64_t* z(std::uint32_t q) { return x(q) + words_; }
    const std::uint64_t* x(std::uint32_t q) const {
        return columns_.data() + (2 * std::size_t{q}) * words_;
    }
    const std::uint64_t* z(std::uint32_t q) const { return x(q) + words_; }
    std::uint64_t* sign() { return sign_.data(); }

    // The generators anticommuting with axis_q, as a bit column.
    void anticommuting(std::uint32_t q, AxisCode axis, std::uint64_t* out) const;
    // Generators in `rows` (a bit column) <- generator p times themselves.
    void multiply_rows(const std::uint64_t* rows, std::uint32_t p) noexcept;
    // Of the generators in `candidates` (word w), one of the first few
    // with the fewest letters.
    std::uint32_t lightest_of(std::uint64_t candidates, std::size_t w) const noexcept;
    // Generator p becomes (-1)^r axis_q; every other generator touching q
    // (with axis_q itself: they all commute with it) is multiplied by it.
    void isolate(std::uint32_t q, AxisCode axis, std::uint32_t p, std::uint8_t r) noexcept;
    // Removes generator p and member q, whose columns hold nothing but p.
    void drop(std::uint32_t q, std::uint32_t p) noexcept;
    // The generators as rows.
    void to_rows(PauliRows& rows) const;
    // Which generators multiply to +-axis_q (in the group), as a bit column,
    // and the sign of their product.
    std::uint8_t express(std::uint32_t q, AxisCode axis, std::vector<std::uint64_t>* rows) const;

    std::uint32_t members_ = 0;
    std::uint32_t capacity_ = 0;          // members (and generators) there is room for
    std::size_t words_ = 0;               // per column: capacity / 64, rounded up
    std::vector<std::uint64_t> columns_;  // x then z of member 0, then of member 1, ...
    std::vector<std::uint64_t> sign_;
    // Room for three bit columns, so that a measurement needs no memory.
    std::vector<std::uint64_t> scratch_;
};

// The local Clifford that takes |+> to the (-1)^r eigenstate of `axis`.
LcOp eigenstate_preparation(AxisCode axis, std::uint8_t r);

}  // namespace lumora
