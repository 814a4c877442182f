#include "sampler/frames.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace lumora::sampler {

using circuit::Gate;
using circuit::GateInfo;
using circuit::Instruction;
using circuit::Target;

constexpr std::size_t W = kWordsPerBlock;

int BlockRng::weighted(const double* weights, int count, double total) noexcept {
    const double u = unit() * total;
    double cumulative = 0;
    int last = 0;
    for (int i = 0; i < count; ++i) {
        if (!(weights[i] > 0)) {
            continue;
        }
        cumulative += weights[i];
        last = i;
        if (u <= cumulative) {
            return i;
        }
    }
    return last;
}

SeededStream::Key block_key(const SeededStream::Key& key, std::uint64_t call, std::uint64_t block) {
    ChaCha12 core(key);
    core.seek(4 * ((call << 32) + block));
    std::uint32_t words[ChaCha12::kWordsPerRefill];
    core.generate(words);
    SeededStream::Key out;
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            out[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
        }
    }
    return out;
}

namespace {

constexpr Word all_if(bool b) {
    return b ? ~Word{0} : Word{0};
}

// Calls hit(i) for each of `bits` positions chosen independently with
// probability p: by geometric gaps when hits are rare, by words built bit
// by bit from p's binary digits (32 of them) when they are not.
template <class F>
void bernoulli_hits(BlockRng& rng, double p, std::uint64_t bits, F&& hit) {
    if (!(p > 0) || bits == 0) {
        return;
    }
    if (p >= 1) {
        for (std::uint64_t i = 0; i < bits; ++i) {
            hit(i);
        }
        return;
    }
    if (p < 0.1) {
        const double scale = 1.0 / std::log1p(-p);
        std::uint64_t at = 0;
        while (true) {
            const double gap = std::floor(std::log(rng.unit()) * scale);
            if (gap >= static_cast<double>(bits - at)) {
                return;
            }
            at += static_cast<std::uint64_t>(gap);
            hit(at);
            if (++at >= bits) {
                return;
            }
        }
    }
    const std::uint32_t digits = static_cast<std::uint32_t>(std::ldexp(p, 32));
    for (std::uint64_t base = 0; base < bits; base += 64) {
        Word word = 0;
        for (int i = 0; i < 32; ++i) {
            const Word r = rng.next();
            word = (digits >> i & 1) != 0 ? (word | r) : (word & r);
        }
        if (bits - base < 64) {
            word &= (Word{1} << (bits - base)) - 1;
        }
        for (; word != 0; word &= word - 1) {
            hit(base + static_cast<std::uint64_t>(std::countr_zero(word)));
        }
    }
}

// A mask over the block's shots, each set with probability p.
Block bernoulli_block(BlockRng& rng, double p) {
    Block mask{};
    bernoulli_hits(rng, p, kShotsPerBlock,
                   [&](std::uint64_t i) { mask[i / 64] |= Word{1} << (i % 64); });
    return mask;
}

// Pauli number k (0 I, 1 X, 2 Y, 3 Z) as frame bits.
constexpr bool pauli_x(int k) {
    return k == 1 || k == 2;
}
constexpr bool pauli_z(int k) {
    return k == 2 || k == 3;
}

class FrameRun {
public:
    FrameRun(const Prepared& p, Output output, BlockRng& rng, std::vector<Word>& rows,
             void (*poll)(void*, std::size_t), void* context)
        : p_(p),
          detectors_out_(output == Output::detectors),
          rng_(rng),
          rows_(rows),
          poll_(poll),
          context_(context) {
        x_.assign(p.qubits * W, 0);
        z_.resize(p.qubits * W);
        // Every qubit starts in |0>, which a Z leaves alone: a random Z in
        // each shot's frame is as good as none, and makes later
        // measurements that anticommute with Z random.
        for (Word& w : z_) {
            w = rng_.next();
        }
        if (detectors_out_) {
            ring_.assign(p.ring * W, 0);
        }
    }

    void run() { run_block(p_.top); }

private:
    Word* x(std::uint32_t q) { return x_.data() + std::size_t{q} * W; }
    Word* z(std::uint32_t q) { return z_.data() + std::size_t{q} * W; }

    Word* record_row(std::uint64_t index) {
        return detectors_out_ ? ring_.data() + (index & (p_.ring - 1)) * W
                              : rows_.data() + index * W;
    }
    Word* next_record() { return record_row(measured_++); }
    bool reference_bit(std::uint64_t index) const {
        return (p_.reference[index / 64] >> (index % 64) & 1) != 0;
    }

    void run_block(const FrameBlock& block) {
        const circuit::Circuit& c = *block.circuit;
        for (std::size_t i = 0; i < c.instructions.size(); ++i) {
            const Instruction& op = c.instructions[i];
            if (op.gate == Gate::REPEAT) {
                for (std::uint64_t k = 0; k < op.repeat_count; ++k) {
                    run_block(block.blocks[op.body]);
                }
                continue;
            }
            poll_(context_, 1 + op.targets.size());
            step(op, block.steps[i]);
        }
    }

    void flip_pauli(std::uint32_t q, int k, std::uint64_t shot) {
        const Word bit = Word{1} << (shot % 64);
        if (pauli_x(k)) {
            x(q)[shot / 64] ^= bit;
        }
        if (pauli_z(k)) {
            z(q)[shot / 64] ^= bit;
        }
    }

    void apply_masked(const FramePauli& f, const Word* mask) {
        Word* xs = x(f.qubit);
        Word* zs = z(f.qubit);
        for (std::size_t w = 0; w < W; ++w) {
            xs[w] ^= f.x ? mask[w] : 0;
            zs[w] ^= f.z ? mask[w] : 0;
        }
    }

    // Where the frame anticommutes with the product.
    Block anticommutes(const std::vector<FramePauli>& product) {
        Block a{};
        for (const FramePauli& f : product) {
            const Word* xs = x(f.qubit);
            const Word* zs = z(f.qubit);
            for (std::size_t w = 0; w < W; ++w) {
                a[w] ^= (f.x ? zs[w] : 0) ^ (f.z ? xs[w] : 0);
            }
        }
        return a;
    }

    void one_qubit(const Instruction& op, const FrameStep& s) {
        const Word xx = all_if(s.images[0] & 1), xz = all_if(s.images[0] & 2);
        const Word zx = all_if(s.images[1] & 1), zz = all_if(s.images[1] & 2);
        for (const Target& t : op.targets) {
            Word* xs = x(t.value);
            Word* zs = z(t.value);
            for (std::size_t w = 0; w < W; ++w) {
                const Word a = xs[w], b = zs[w];
                xs[w] = (a & xx) ^ (b & zx);
                zs[w] = (a & xz) ^ (b & zz);
            }
        }
    }

    void two_qubit(const Instruction& op, const FrameStep& s) {
        const GateInfo& info = circuit::gate_info(op.gate);
        std::array<std::array<Word, 4>, 4> m{};
        for (int i = 0; i < 4; ++i) {
            for (int k = 0; k < 4; ++k) {
                m[i][k] = all_if((s.images[i] >> k & 1) != 0);
            }
        }
        for (std::size_t i = 0; i + 1 < op.targets.size(); i += 2) {
            const Target& a = op.targets[i];
            const Target& b = op.targets[i + 1];
            const bool ca = a.kind != Target::Kind::qubit, cb = b.kind != Target::Kind::qubit;
            if (ca || cb) {
                feedback(op.gate, a, b, ca, cb);
                continue;
            }
            Word* planes[4] = {x(a.value), z(a.value), x(b.value), z(b.value)};
            if (info.gate == Gate::CX) {
                for (std::size_t w = 0; w < W; ++w) {
                    planes[2][w] ^= planes[0][w];
                    planes[1][w] ^= planes[3][w];
                }
                continue;
            }
            if (info.gate == Gate::CZ) {
                for (std::size_t w = 0; w < W; ++w) {
                    planes[1][w] ^= planes[2][w];
                    planes[3][w] ^= planes[0][w];
                }
                continue;
            }
            for (std::size_t w = 0; w < W; ++w) {
                const Word in[4] = {planes[0][w], planes[1][w], planes[2][w], planes[3][w]};
                for (int k = 0; k < 4; ++k) {
                    planes[k][w] = (in[0] & m[0][k]) ^ (in[1] & m[1][k]) ^ (in[2] & m[2][k]) ^
                                   (in[3] & m[3][k]);
                }
            }
        }
    }

    // A controlled Pauli with a record bit in place of one qubit: the other
    // qubit's Pauli where the shot's bit differs from the reference's.
    void feedback(Gate g, const Target& a, const Target& b, bool ca, bool cb) {
        if (ca == cb) {
            return;
        }
        const Target& bit = ca ? a : b;
        const Target& qubit = ca ? b : a;
        if (bit.kind != Target::Kind::record) {
            return;  // sweep bits read 0 in every shot
        }
        const std::string_view name = circuit::gate_info(g).name;
        const char letter = ca ? name.back() : (name[0] == 'C' ? 'Z' : name[0]);
        const FramePauli f{qubit.value, letter != 'Z', letter != 'X'};
        apply_masked(f, record_row(measured_ - bit.value));
    }

    void measure(const Instruction& op, AxisCode axis, bool reset) {
        const double p = op.args.empty() ? 0 : op.args[0];
        for (const Target& t : op.targets) {
            Word* xs = x(t.value);
            Word* zs = z(t.value);
            const Block flips = bernoulli_block(rng_, p);
            Word* row = next_record();
            for (std::size_t w = 0; w < W; ++w) {
                const Word seen = axis == kAxisZ ? xs[w] : axis == kAxisX ? zs[w] : xs[w] ^ zs[w];
                row[w] = seen ^ flips[w];
            }
            collapse(xs, zs, axis, reset);
        }
    }

    // After a measurement (or a reset) along `axis`, the qubit is in an
    // eigenstate of it: a random power of the axis's Pauli in the frame
    // changes nothing. A reset also clears the part that anticommutes.
    void collapse(Word* xs, Word* zs, AxisCode axis, bool reset) {
        for (std::size_t w = 0; w < W; ++w) {
            const Word r = rng_.next();
            if (reset) {
                xs[w] = axis == kAxisZ ? 0 : r;
                zs[w] = axis == kAxisX ? 0 : r;
            } else {
                xs[w] ^= axis == kAxisZ ? 0 : r;
                zs[w] ^= axis == kAxisX ? 0 : r;
            }
        }
    }

    void measure_products(const Instruction& op, const FrameStep& s) {
        const double p = op.args.empty() ? 0 : op.args[0];
        for (const auto& product : s.products) {
            const Block flips = bernoulli_block(rng_, p);
            const Block a = anticommutes(product);
            Word* row = next_record();
            for (std::size_t w = 0; w < W; ++w) {
                row[w] = a[w] ^ flips[w];
            }
            const Block r = rng_.block();
            for (const FramePauli& f : product) {
                apply_masked(f, r.data());
            }
        }
    }

    // One Pauli of a one- or two-qubit channel, numbered as the formats
    // list them (I, X, Y, Z; pairs as 4 first + second).
    template <class Choose>
    void channel(const Instruction& op, double p, bool two, Choose&& choose) {
        const std::size_t width = two ? 2 : 1;
        const std::uint64_t sites = op.targets.size() / width;
        bernoulli_hits(rng_, p, sites * kShotsPerBlock, [&](std::uint64_t i) {
            const std::size_t site = static_cast<std::size_t>(i / kShotsPerBlock) * width;
            const std::uint64_t shot = i % kShotsPerBlock;
            const int k = choose();
            if (two) {
                flip_pauli(op.targets[site].value, k / 4, shot);
                flip_pauli(op.targets[site + 1].value, k % 4, shot);
            } else {
                flip_pauli(op.targets[site].value, k, shot);
            }
        });
    }

    void heralded(const Instruction& op) {
        const bool erase = op.gate == Gate::HERALDED_ERASE;
        double total = 0;
        for (double a : op.args) {
            total += a;
        }
        for (const Target& t : op.targets) {
            Word* row = next_record();
            std::fill_n(row, W, 0);
            bernoulli_hits(rng_, total, kShotsPerBlock, [&](std::uint64_t shot) {
                row[shot / 64] |= Word{1} << (shot % 64);
                const int k = erase ? static_cast<int>(rng_.next() & 3)
                                    : rng_.weighted(op.args.data(), 4, total);
                flip_pauli(t.value, k, shot);
            });
        }
    }

    void correlated(const Instruction& op, const FrameStep& s) {
        if (op.gate == Gate::E) {
            chain_.fill(0);
        }
        Block fired = bernoulli_block(rng_, op.args[0]);
        for (std::size_t w = 0; w < W; ++w) {
            fired[w] &= ~chain_[w];
            chain_[w] |= fired[w];
        }
        for (const auto& product : s.products) {  // one, or none for E without targets
            for (const FramePauli& f : product) {
                apply_masked(f, fired.data());
            }
        }
    }

    void annotation(const Instruction& op) {
        if (op.gate == Gate::DETECTOR) {
            if (detectors_out_) {
                Word* row = rows_.data() + detectors_ * W;
                for (const Target& t : op.targets) {
                    const Word* r = record_row(measured_ - t.value);
                    for (std::size_t w = 0; w < W; ++w) {
                        row[w] ^= r[w];
                    }
                }
            }
            ++detectors_;
            return;
        }
        if (op.gate != Gate::OBSERVABLE_INCLUDE || !detectors_out_) {
            return;
        }
        Word* row = rows_.data() + (p_.detectors + static_cast<std::uint64_t>(op.args[0])) * W;
        for (const Target& t : op.targets) {
            if (t.kind == Target::Kind::record) {
                const Word* r = record_row(measured_ - t.value);
                for (std::size_t w = 0; w < W; ++w) {
                    row[w] ^= r[w];
                }
            } else if (t.kind == Target::Kind::pauli) {
                // The observable includes this Pauli of the state: the
                // frame flips it where it anticommutes.
                const Word* xs = x(t.value);
                const Word* zs = z(t.value);
                for (std::size_t w = 0; w < W; ++w) {
                    row[w] ^= (t.pauli != 'Z' ? zs[w] : 0) ^ (t.pauli != 'X' ? xs[w] : 0);
                }
            }
        }
    }

    // An IF block of Paulis: applied where the shot's condition differs from
    // the reference's, which the reference shot followed.
    void conditional(const Instruction& op, const FrameStep& s) {
        Block holds;
        holds.fill(~Word{0});
        bool reference_holds = true;
        for (const Target& t : op.targets) {
            const std::uint64_t index = measured_ - t.value;
            const bool want = !t.inverted;
            const bool ref = reference_bit(index);
            reference_holds = reference_holds && ref == want;
            const Word* flips = record_row(index);
            for (std::size_t w = 0; w < W; ++w) {
                holds[w] &= ~(flips[w] ^ all_if(ref != want));
            }
        }
        for (std::size_t w = 0; w < W; ++w) {
            holds[w] ^= all_if(reference_holds);
        }
        for (const FramePauli& f : s.body) {
            apply_masked(f, holds.data());
        }
    }

    void step(const Instruction& op, const FrameStep& s) {
        const GateInfo& info = circuit::gate_info(op.gate);
        if (info.annotation) {
            annotation(op);
            return;
        }
        if (op.gate == Gate::IF) {
            conditional(op, s);
            return;
        }
        if (info.is_unitary_1q()) {
            one_qubit(op, s);
            return;
        }
        if (info.is_unitary_2q()) {
            two_qubit(op, s);
            return;
        }
        if (info.pauli_product && info.unitary) {  // SPP, SPP_DAG
            for (const auto& product : s.products) {
                const Block a = anticommutes(product);
                for (const FramePauli& f : product) {
                    apply_masked(f, a.data());
                }
            }
            return;
        }
        switch (op.gate) {
            case Gate::M:
            case Gate::MR:
            case Gate::R:
                measure_or_reset(op, kAxisZ);
                return;
            case Gate::MX:
            case Gate::MRX:
            case Gate::RX:
                measure_or_reset(op, kAxisX);
                return;
            case Gate::MY:
            case Gate::MRY:
            case Gate::RY:
                measure_or_reset(op, kAxisY);
                return;
            case Gate::MPP:
            case Gate::MXX:
            case Gate::MYY:
            case Gate::MZZ:
                measure_products(op, s);
                return;
            case Gate::MPAD:
                for (std::size_t i = 0; i < op.targets.size(); ++i) {
                    std::fill_n(next_record(), W, 0);
                }
                return;
            case Gate::X_ERROR:
            case Gate::Y_ERROR:
            case Gate::Z_ERROR: {
                const int k = op.gate == Gate::X_ERROR ? 1 : op.gate == Gate::Y_ERROR ? 2 : 3;
                channel(op, op.args[0], false, [k] { return k; });
                return;
            }
            case Gate::DEPOLARIZE1:
                channel(op, op.args[0], false,
                        [this] { return 1 + static_cast<int>(rng_.next() % 3); });
                return;
            case Gate::DEPOLARIZE2:
                channel(op, op.args[0], true,
                        [this] { return 1 + static_cast<int>(rng_.next() % 15); });
                return;
            case Gate::PAULI_CHANNEL_1:
            case Gate::PAULI_CHANNEL_2: {
                double total = 0;
                for (double a : op.args) {
                    total += a;
                }
                const int count = static_cast<int>(op.args.size());
                channel(op, total, op.gate == Gate::PAULI_CHANNEL_2,
                        [&] { return 1 + rng_.weighted(op.args.data(), count, total); });
                return;
            }
            case Gate::E:
            case Gate::ELSE_CORRELATED_ERROR:
                correlated(op, s);
                return;
            case Gate::HERALDED_ERASE:
            case Gate::HERALDED_PAULI_CHANNEL_1:
                heralded(op);
                return;
            default:
                return;  // I_ERROR, II_ERROR
        }
    }

    void measure_or_reset(const Instruction& op, AxisCode axis) {
        const GateInfo& info = circuit::gate_info(op.gate);
        if (info.measurement) {
            measure(op, axis, info.reset);
            return;
        }
        for (const Target& t : op.targets) {
            collapse(x(t.value), z(t.value), axis, true);
        }
    }

    const Prepared& p_;
    bool detectors_out_;
    BlockRng& rng_;
    std::vector<Word>& rows_;
    void (*poll_)(void*, std::size_t);
    void* context_;
    std::vector<Word> x_;
    std::vector<Word> z_;
    std::vector<Word> ring_;
    Block chain_{};
    std::uint64_t measured_ = 0;
    std::uint64_t detectors_ = 0;
};

}  // namespace

void simulate_frames(const Prepared& p, Output output, BlockRng& rng, std::vector<Word>& rows,
                     void (*poll)(void*, std::size_t), void* context) {
    FrameRun run(p, output, rng, rows, poll, context);
    run.run();
}

}  // namespace lumora::sampler
