#include "engine/tableau.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "engine/bits.hpp"
#include "engine/dense_block.hpp"
#include "engine/failure.hpp"
#include "engine/pauli_rows.hpp"

namespace lumora {

namespace {

// What conjugation by one local Clifford does to each letter: the image's
// x and z bits and its sign, for X, Y and Z.
struct LetterImage {
    std::uint64_t x, z, minus;  // all ones or all zeros, to mask with
};
using CliffordAction = std::array<LetterImage, 3>;

constexpr std::uint64_t all_if(bool b) {
    return b ? ~std::uint64_t{0} : 0;
}

constexpr std::array<CliffordAction, kLcCount> clifford_actions = [] {
    std::array<CliffordAction, kLcCount> table{};
    for (int op = 0; op < kLcCount; ++op) {
        for (AxisCode a = 0; a < 3; ++a) {
            const AxisCode image = lc_conj_axis[a][op];
            table[op][a] = {all_if(has_x(image)), all_if(has_z(image)),
                            all_if(lc_conj_sign(static_cast<LcOp>(op), a) != 0)};
        }
    }
    return table;
}();

// The generators whose letter on a qubit anticommutes with `axis`: those
// with an x bit anticommute with Z, with a z bit with X, with exactly one
// of them with Y.
std::uint64_t anticommuting_word(std::uint64_t x, std::uint64_t z, AxisCode axis) {
    switch (axis) {
        case kAxisX:
            return z;
        case kAxisY:
            return x ^ z;
        default:
            return x;
    }
}

// Conjugation by H or S^dagger on column j of every row (row form).
void row_hadamard(PauliRows& rows, std::size_t count, std::size_t j) {
    for (std::size_t r = 0; r < count; ++r) {
        std::uint64_t* row = rows.row(r);
        const bool x = test_bit(row, j), z = test_bit(row + rows.words, j);
        if (x != z) {
            flip_bit(row, j);
            flip_bit(row + rows.words, j);
        }
        rows.minus[r] ^= static_cast<std::uint8_t>(x && z);
    }
}

// Row operations of an elimination mirrored on a track of which
// generators each row is the product of (one bit row per generator).
struct Tracks {
    std::vector<std::uint64_t>& bits;
    std::size_t words;

    void swap(std::size_t a, std::size_t b) {
        std::swap_ranges(bits.begin() + a * words, bits.begin() + (a + 1) * words,
                         bits.begin() + b * words);
    }
    void multiply(std::size_t r, std::size_t p) {
        for (std::size_t w = 0; w < words; ++w) {
            bits[r * words + w] ^= bits[p * words + w];
        }
    }
};

// Gauss-Jordan on the x bits of the first `count` rows, columns in order;
// returns the columns that got a pivot, in order (row i pivots on the i-th).
template <class Mirror>
std::vector<std::size_t> eliminate_x(PauliRows& rows, std::size_t count, std::size_t width,
                                     Mirror&& mirror) {
    std::vector<std::size_t> pivots;
    for (std::size_t j = 0; j < width && pivots.size() < count; ++j) {
        if (pivot_step(rows, 0, pivots.size(), count, 0, j, mirror)) {
            pivots.push_back(j);
        }
    }
    return pivots;
}

}  // namespace

LcOp eigenstate_preparation(AxisCode axis, std::uint8_t r) {
    for (int op = 0; op < kLcCount; ++op) {
        if (lc_conj_axis[kAxisX][op] == axis && lc_conj_sign(static_cast<LcOp>(op), kAxisX) == r) {
            return static_cast<LcOp>(op);
        }
    }
    unreachable("every signed axis is the image of X");
}

Tableau::Tableau(std::uint32_t m, std::uint32_t capacity)
    : members_(m),
      capacity_(capacity),
      words_((std::size_t{capacity} + 63) / 64),
      columns_(2 * std::size_t{capacity} * words_, 0),
      sign_(words_, 0),
      scratch_(3 * words_, 0) {
}

Tableau::Tableau(std::uint32_t m, const std::uint64_t* adjacency, std::size_t row_words)
    : Tableau(m, m) {
    // Generator v is X_v Z_N(v): member q's x column holds v = q alone, its
    // z column the v with q in N(v), which is N(q) by symmetry.
    for (std::uint32_t q = 0; q < m; ++q) {
        set_bit(x(q), q);
        std::copy_n(adjacency + std::size_t{q} * row_words, std::min(row_words, words_), z(q));
    }
}

namespace {

// ORs `words` words of bits into `to`, moved up by `offset` bits.
void place(const std::uint64_t* from, std::size_t words, std::uint64_t* to, std::size_t to_words,
           std::size_t offset) noexcept {
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t bits = from[w];
        if (bits == 0) {
            continue;
        }
        const std::size_t at = w * 64 + offset;
        to[at >> 6] |= bits << (at & 63);
        if ((at & 63) != 0 && (at >> 6) + 1 < to_words) {
            to[(at >> 6) + 1] |= bits >> (64 - (at & 63));
        }
    }
}

}  // namespace

void Tableau::append(const Tableau& b) {
    const std::uint64_t total = std::uint64_t{members_} + b.members_;
    if (total > capacity_) {
        // Up to the next whole word of generators: a group that grows one
        // member at a time is copied once per 64 members.
        Tableau wider(members_, static_cast<std::uint32_t>((total + 63) / 64 * 64));
        for (std::uint32_t q = 0; q < members_; ++q) {
            std::copy_n(x(q), words_, wider.x(q));
            std::copy_n(z(q), words_, wider.z(q));
        }
        std::copy_n(sign_.data(), words_, wider.sign_.data());
        *this = std::move(wider);
    }
    // Nothing below allocates. b's generators take the rows after ours,
    // its members the columns after ours; the rest of both stays zero.
    const std::uint32_t first = members_;
    for (std::uint32_t q = 0; q < b.members_; ++q) {
        place(b.x(q), b.words_, x(first + q), words_, first);
        place(b.z(q), b.words_, z(first + q), words_, first);
    }
    place(b.sign_.data(), b.words_, sign_.data(), words_, first);
    members_ = static_cast<std::uint32_t>(total);
}

Tableau::Tableau(std::uint32_t m, const std::uint8_t* letters, const std::uint8_t* minus)
    : Tableau(m, m) {
    for (std::size_t r = 0; r < m; ++r) {
        for (std::uint32_t q = 0; q < m; ++q) {
            const std::uint8_t letter = letters[r * m + q];
            if (letter & 1) {
                set_bit(x(q), r);
            }
            if (letter & 2) {
                set_bit(z(q), r);
            }
        }
        if (minus[r] != 0) {
            set_bit(sign_.data(), r);
        }
    }
}

int Tableau::letter(std::size_t r, std::uint32_t q) const {
    return (test_bit(x(q), r) ? 1 : 0) + (test_bit(z(q), r) ? 2 : 0);
}

bool Tableau::minus(std::size_t r) const {
    return test_bit(sign_.data(), r);
}

void Tableau::to_rows(PauliRows& rows) const {
    rows = PauliRows(members_ + 1, members_);
    for (std::uint32_t j = 0; j < members_; ++j) {
        for (std::size_t r = 0; r < members_; ++r) {
            if (test_bit(x(j), r)) {
                set_bit(rows.row(r), j);
            }
            if (test_bit(z(j), r)) {
                set_bit(rows.row(r) + rows.words, j);
            }
        }
    }
    for (std::size_t r = 0; r < members_; ++r) {
        rows.minus[r] = test_bit(sign_.data(), r) ? 1 : 0;
    }
}

bool Tableau::valid() const {
    const std::size_t m = members_;
    // Nothing past the last generator or the last member.
    for (std::size_t w = 0; w < columns_.size(); ++w) {
        const std::size_t column = w / words_;
        const std::size_t first_row = (w % words_) * 64;
        const std::uint64_t word = columns_[w];
        if (word != 0 && (column >= 2 * m || first_row + 64 - std::countl_zero(word) > m)) {
            return false;
        }
    }
    for (std::size_t w = 0; w < words_; ++w) {
        if (sign_[w] != 0 && w * 64 + 64 - std::countl_zero(sign_[w]) > m) {
            return false;
        }
    }
    PauliRows rows;
    to_rows(rows);
    // Pairwise commutation: the symplectic product of every two rows.
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = a + 1; b < m; ++b) {
            int parity = 0;
            for (std::size_t w = 0; w < rows.words; ++w) {
                parity += std::popcount((rows.row(a)[w] & rows.row(b)[rows.words + w]) ^
                                        (rows.row(a)[rows.words + w] & rows.row(b)[w]));
            }
            if (parity % 2 != 0) {
                return false;
            }
        }
    }
    // Independence: full rank over the 2m columns (the rows commute, so
    // the products' phases are well defined).
    std::size_t rank = 0;
    for (std::size_t column = 0; column < 2 * m && rank < m; ++column) {
        const std::size_t offset = column < m ? 0 : rows.words;
        rank += pivot_step(rows, 0, rank, m, offset, column % m, NoMirror{}) ? 1 : 0;
    }
    return rank == m;
}

void Tableau::apply(std::uint32_t q, LcOp op) noexcept {
    const CliffordAction& act = clifford_actions[op];
    std::uint64_t* xs = x(q);
    std::uint64_t* zs = z(q);
    std::uint64_t* signs = sign();
    for (std::size_t w = 0; w < words_; ++w) {
        const std::uint64_t xw = xs[w], zw = zs[w];
        const std::uint64_t is_x = xw & ~zw, is_y = xw & zw, is_z = ~xw & zw;
        xs[w] = (is_x & act[kAxisX].x) | (is_y & act[kAxisY].x) | (is_z & act[kAxisZ].x);
        zs[w] = (is_x & act[kAxisX].z) | (is_y & act[kAxisY].z) | (is_z & act[kAxisZ].z);
        signs[w] ^=
            (is_x & act[kAxisX].minus) | (is_y & act[kAxisY].minus) | (is_z & act[kAxisZ].minus);
    }
}

void Tableau::cz(std::uint32_t a, std::uint32_t b) noexcept {
    // X_a -> X_a Z_b, Y_a -> Y_a Z_b, Z_a -> Z_a, and the same from b.
    std::uint64_t* xa = x(a);
    std::uint64_t* za = z(a);
    std::uint64_t* xb = x(b);
    std::uint64_t* zb = z(b);
    std::uint64_t* signs = sign();
    for (std::size_t w = 0; w < words_; ++w) {
        signs[w] ^= xa[w] & xb[w] & (za[w] ^ zb[w]);
        za[w] ^= xb[w];
        zb[w] ^= xa[w];
    }
}

void Tableau::anticommuting(std::uint32_t q, AxisCode axis, std::uint64_t* out) const {
    const std::uint64_t* xs = x(q);
    const std::uint64_t* zs = z(q);
    for (std::size_t w = 0; w < words_; ++w) {
        out[w] = anticommuting_word(xs[w], zs[w], axis);
    }
}

bool Tableau::determined(std::uint32_t q, AxisCode axis) const {
    const std::uint64_t* xs = x(q);
    const std::uint64_t* zs = z(q);
    for (std::size_t w = 0; w < words_; ++w) {
        if (anticommuting_word(xs[w], zs[w], axis) != 0) {
            return false;
        }
    }
    return true;
}

namespace {

// Generator column j of the rows in `in` times the pivot's letter (x, z) on
// member j: the x and z bits take the pivot's, and each product's power of
// i, counted mod 4 in the two bit planes, gains +1 or -1 where the letters
// anticommute. One loop per letter, without branches, so that it
// vectorises.
template <bool kX, bool kZ>
[[gnu::always_inline]] inline void multiply_column(std::uint64_t* xs, std::uint64_t* zs,
                                                   const std::uint64_t* in, std::uint64_t* low,
                                                   std::uint64_t* high,
                                                   std::size_t words) noexcept {
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t x2 = xs[w], z2 = zs[w];
        std::uint64_t plus, minus;
        if constexpr (kX && kZ) {  // Y.Z = iX, Y.X = -iZ
            plus = ~x2 & z2;
            minus = x2 & ~z2;
        } else if constexpr (kX) {  // X.Y = iZ, X.Z = -iY
            plus = x2 & z2;
            minus = ~x2 & z2;
        } else {  // Z.X = iY, Z.Y = -iX
            plus = x2 & ~z2;
            minus = x2 & z2;
        }
        plus &= in[w];
        minus &= in[w];
        std::uint64_t l = low[w], h = high[w];
        h ^= l & plus;
        l ^= plus;
        h ^= ~l & minus;
        l ^= minus;
        low[w] = l;
        high[w] = h;
        if constexpr (kX) {
            xs[w] = x2 ^ in[w];
        }
        if constexpr (kZ) {
            zs[w] = z2 ^ in[w];
        }
    }
}

#ifdef LUMORA_HAVE_AVX2_PATH
// The same loop in 256-bit registers.
template <bool kX, bool kZ>
[[gnu::target("avx2")]] void multiply_column_avx2(std::uint64_t* xs, std::uint64_t* zs,
                                                  const std::uint64_t* in, std::uint64_t* low,
                                                  std::uint64_t* high, std::size_t words) noexcept {
    multiply_column<kX, kZ>(xs, zs, in, low, high, words);
}
#endif

using MultiplyColumn = void (*)(std::uint64_t*, std::uint64_t*, const std::uint64_t*,
                                std::uint64_t*, std::uint64_t*, std::size_t) noexcept;

// The kernels for the pivot letters X, Z and Y, in the path in use.
std::array<MultiplyColumn, 3> column_kernels() noexcept {
#ifdef LUMORA_HAVE_AVX2_PATH
    if (vector_rows_in_use()) {
        return {&multiply_column_avx2<true, false>, &multiply_column_avx2<false, true>,
                &multiply_column_avx2<true, true>};
    }
#endif
    return {&multiply_column<true, false>, &multiply_column<false, true>,
            &multiply_column<true, true>};
}

}  // namespace

void Tableau::multiply_rows(const std::uint64_t* rows, std::uint32_t p) noexcept {
    const std::size_t pw = p >> 6;
    const std::uint64_t pbit = std::uint64_t{1} << (p & 63);
    std::uint64_t* low = scratch_.data() + words_;
    std::uint64_t* high = low + words_;
    std::fill_n(low, 2 * words_, 0);
    const std::array<MultiplyColumn, 3> kernels = column_kernels();
    for (std::uint32_t j = 0; j < members_; ++j) {
        std::uint64_t* xs = x(j);
        std::uint64_t* zs = z(j);
        const unsigned letter = ((xs[pw] & pbit) != 0 ? 1u : 0u) | ((zs[pw] & pbit) != 0 ? 2u : 0u);
        if (letter != 0) {
            kernels[letter - 1](xs, zs, rows, low, high, words_);
        }
    }
    // Commuting products pick up i^0 or i^2: the high plane is the sign.
    const std::uint64_t p_minus = all_if((sign_[pw] & pbit) != 0);
    for (std::size_t w = 0; w < words_; ++w) {
        sign_[w] ^= (high[w] ^ p_minus) & rows[w];
    }
}

void Tableau::isolate(std::uint32_t q, AxisCode axis, std::uint32_t p, std::uint8_t r) noexcept {
    const std::size_t pw = p >> 6;
    const std::uint64_t pbit = std::uint64_t{1} << (p & 63);
    for (std::uint32_t j = 0; j < members_; ++j) {
        x(j)[pw] &= ~pbit;
        z(j)[pw] &= ~pbit;
    }
    sign_[pw] &= ~pbit;
    // The rest touch q with axis_q itself; times (-1)^r axis_q, they no
    // longer do.
    std::uint64_t* xs = x(q);
    std::uint64_t* zs = z(q);
    for (std::size_t w = 0; w < words_; ++w) {
        if (r != 0) {
            sign_[w] ^= xs[w] | zs[w];
        }
        xs[w] = 0;
        zs[w] = 0;
    }
    if (has_x(axis)) {
        xs[pw] |= pbit;
    }
    if (has_z(axis)) {
        zs[pw] |= pbit;
    }
    if (r != 0) {
        sign_[pw] |= pbit;
    }
}

std::uint32_t Tableau::lightest_of(std::uint64_t candidates, std::size_t w) const noexcept {
    // Any anticommuting generator may be the pivot: the others are
    // multiplied by it on each member where it has a letter, so the one
    // with the fewest letters costs least. A few are weighed, in one pass.
    constexpr int kWeighed = 8;
    std::uint64_t weighed = 0;
    for (int i = 0; i < kWeighed && candidates != 0; ++i) {
        weighed |= candidates & -candidates;
        candidates &= candidates - 1;
    }
    std::array<std::uint32_t, 64> weight{};
    for (std::uint32_t j = 0; j < members_; ++j) {
        for (std::uint64_t bits = (x(j)[w] | z(j)[w]) & weighed; bits != 0; bits &= bits - 1) {
            ++weight[static_cast<std::size_t>(std::countr_zero(bits))];
        }
    }
    int best = std::countr_zero(weighed);
    for (std::uint64_t bits = weighed; bits != 0; bits &= bits - 1) {
        const int bit = std::countr_zero(bits);
        if (weight[static_cast<std::size_t>(bit)] < weight[static_cast<std::size_t>(best)]) {
            best = bit;
        }
    }
    return static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(best));
}

void Tableau::collapse(std::uint32_t q, AxisCode axis, std::uint8_t r) noexcept {
    std::uint64_t* rows = scratch_.data();
    anticommuting(q, axis, rows);
    std::size_t w = 0;
    while (w < words_ && rows[w] == 0) {
        ++w;
    }
    if (w == words_) {
        unreachable("collapse of a determined measurement");
    }
    const std::uint32_t p = lightest_of(rows[w], w);
    flip_bit(rows, p);
    multiply_rows(rows, p);
    isolate(q, axis, p, r);
}

bool Tableau::is_factor(std::uint32_t q, AxisCode& axis) const {
    for (AxisCode a : {kAxisX, kAxisY, kAxisZ}) {
        if (determined(q, a)) {
            axis = a;
            return true;
        }
    }
    return false;
}

std::uint8_t Tableau::express(std::uint32_t q, AxisCode axis,
                              std::vector<std::uint64_t>* combination) const {
    const std::size_t m = members_;
    // Row form, with a track of which generators each row is the product
    // of, and a spare row.
    PauliRows rows;
    to_rows(rows);
    const PauliRows original = rows;
    const std::size_t track_words = words_;
    std::vector<std::uint64_t> tracks(m * track_words, 0);
    for (std::size_t r = 0; r < m; ++r) {
        set_bit(tracks.data() + r * track_words, r);
    }
    // Eliminate the x bits, then the z bits of the rows left without any.
    Tracks mirror{tracks, track_words};
    const std::vector<std::size_t> x_pivots = eliminate_x(rows, m, m, mirror);
    const std::size_t x_rank = x_pivots.size();
    std::vector<std::pair<std::size_t, std::size_t>> z_pivots;  // (column, row)
    for (std::size_t j = 0; j < m && x_rank + z_pivots.size() < m; ++j) {
        const std::size_t next = x_rank + z_pivots.size();
        if (pivot_step(rows, x_rank, next, m, rows.words, j, mirror)) {
            z_pivots.emplace_back(j, next);
        }
    }
    // Reduce axis_q by the pivots: what is left of it must vanish.
    std::vector<std::uint64_t> target(2 * rows.words, 0);
    std::vector<std::uint64_t> chosen(track_words, 0);
    if (has_x(axis)) {
        set_bit(target.data(), q);
    }
    if (has_z(axis)) {
        set_bit(target.data() + rows.words, q);
    }
    const auto take = [&](std::size_t r) {
        for (std::size_t w = 0; w < 2 * rows.words; ++w) {
            target[w] ^= rows.row(r)[w];
        }
        for (std::size_t w = 0; w < track_words; ++w) {
            chosen[w] ^= tracks[r * track_words + w];
        }
    };
    for (std::size_t i = 0; i < x_rank; ++i) {
        if (test_bit(target.data(), x_pivots[i])) {
            take(i);
        }
    }
    for (const auto& [j, r] : z_pivots) {
        if (test_bit(target.data() + rows.words, j)) {
            take(r);
        }
    }
    if (std::any_of(target.begin(), target.end(), [](std::uint64_t w) { return w != 0; })) {
        unreachable("a determined Pauli outside the group");
    }
    // The product of the chosen generators, sign included.
    PauliRows product = original;  // its spare last row starts as +I
    for (std::size_t r = 0; r < m; ++r) {
        if (test_bit(chosen.data(), r)) {
            multiply_into(product, m, r);
        }
    }
    if (combination != nullptr) {
        *combination = std::move(chosen);
    }
    return product.minus[m];
}

std::uint8_t Tableau::determined_outcome(std::uint32_t q, AxisCode axis) const {
    return express(q, axis, nullptr);
}

void Tableau::drop(std::uint32_t q, std::uint32_t p) noexcept {
    const std::uint32_t last = members_ - 1;
    // Generator `last` moves into row p, member `last` into column q.
    for (std::uint32_t j = 0; j < members_; ++j) {
        for (std::uint64_t* column : {x(j), z(j)}) {
            const bool moved = test_bit(column, last);
            column[p >> 6] &= ~(std::uint64_t{1} << (p & 63));
            if (moved) {
                set_bit(column, p);
            }
            column[last >> 6] &= ~(std::uint64_t{1} << (last & 63));
        }
    }
    const bool moved_sign = test_bit(sign_.data(), last);
    sign_[p >> 6] &= ~(std::uint64_t{1} << (p & 63));
    if (moved_sign) {
        set_bit(sign_.data(), p);
    }
    sign_[last >> 6] &= ~(std::uint64_t{1} << (last & 63));
    if (q != last) {
        std::copy_n(x(last), 2 * words_, x(q));
    }
    std::fill_n(x(last), 2 * words_, 0);
    --members_;
}

void Tableau::remove_factor(std::uint32_t q) {
    AxisCode axis;
    if (!is_factor(q, axis)) {
        unreachable("removing a member that is not a factor");
    }
    // Left by collapse(): one generator touches q, and nothing else.
    std::uint64_t* touching = scratch_.data();
    for (std::size_t w = 0; w < words_; ++w) {
        touching[w] = x(q)[w] | z(q)[w];
    }
    std::uint32_t count = 0;
    std::uint32_t p = 0;
    for (std::size_t w = 0; w < words_; ++w) {
        if (touching[w] != 0 && count == 0) {
            p = static_cast<std::uint32_t>(w * 64 + std::countr_zero(touching[w]));
        }
        count += static_cast<std::uint32_t>(std::popcount(touching[w]));
    }
    bool alone = count == 1;
    for (std::uint32_t j = 0; alone && j < members_; ++j) {
        alone = j == q || (!test_bit(x(j), p) && !test_bit(z(j), p));
    }
    if (!alone) {
        // Some product of generators is +-axis_q; one of them touches q and
        // may be replaced by that product.
        std::vector<std::uint64_t> chosen;
        const std::uint8_t minus = express(q, axis, &chosen);
        for (std::size_t w = 0; w < words_; ++w) {
            const std::uint64_t candidates = chosen[w] & touching[w];
            if (candidates != 0) {
                p = static_cast<std::uint32_t>(w * 64 + std::countr_zero(candidates));
                break;
            }
        }
        isolate(q, axis, p, minus);
    }
    drop(q, p);
}

Tableau::GraphForm Tableau::graph_form() const {
    const std::size_t m = members_;
    PauliRows rows;
    to_rows(rows);
    // The gates W that take the state to a signed graph state, per member.
    std::vector<LcOp> applied(m, kLcIdentity);
    // The members without an x pivot take a Hadamard; then the x bits have
    // full rank (a z-only product supported on pivots alone would
    // anticommute with a pivot row), and elimination leaves them the
    // identity.
    std::vector<bool> pivot(m, false);
    for (std::size_t j : eliminate_x(rows, m, m, NoMirror{})) {
        pivot[j] = true;
    }
    for (std::size_t j = 0; j < m; ++j) {
        if (!pivot[j]) {
            row_hadamard(rows, m, j);
            applied[j] = kLcH;
        }
    }
    eliminate_x(rows, m, m, NoMirror{});
    GraphForm form;
    form.frame.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        std::uint64_t* row = rows.row(i);
        if (!test_bit(row, i)) {
            unreachable("a tableau whose x bits lack full rank after the Hadamards");
        }
        if (test_bit(row + rows.words, i)) {
            // Y on its own member: S^dagger Y S = X, and the other rows
            // have I or Z there, which S^dagger leaves.
            flip_bit(row + rows.words, i);
            applied[i] = lc_mul[kLcSdag][applied[i]];
        }
        // -K_i = Z_i K_i Z_i, and Z_i commutes with every other K_j.
        form.frame[i] = lc_mul[lc_inv[applied[i]]][rows.minus[i] != 0 ? kLcZ : kLcIdentity];
        for (std::size_t j = i + 1; j < m; ++j) {
            if (test_bit(row + rows.words, j)) {
                form.edges.emplace_back(static_cast<std::uint32_t>(i),
                                        static_cast<std::uint32_t>(j));
            }
        }
    }
    return form;
}

}  // namespace lumora
