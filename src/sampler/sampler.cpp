#include "sampler/sampler.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "sampler/frames.hpp"

namespace lumora::sampler {

using circuit::Circuit;
using circuit::CircuitError;
using circuit::Gate;
using circuit::GateInfo;
using circuit::Instruction;
using circuit::Target;

static_assert(std::endian::native == std::endian::little,
              "rows are written as little-endian words");

namespace {

// A Pauli letter's frame bits: 1 X, 2 Z, 3 Y.
std::uint8_t letter_bits(char letter) {
    return letter == 'X' ? 1 : letter == 'Z' ? 2 : letter == 'Y' ? 3 : 0;
}

// A product of Pauli targets, multiplied out per qubit (signs dropped).
void add_factor(std::vector<FramePauli>& product, std::uint32_t q, std::uint8_t bits) {
    for (FramePauli& f : product) {
        if (f.qubit == q) {
            f.x ^= (bits & 1) != 0;
            f.z ^= (bits & 2) != 0;
            return;
        }
    }
    product.push_back({q, (bits & 1) != 0, (bits & 2) != 0});
}

std::vector<std::vector<FramePauli>> frame_products(const Instruction& op) {
    std::vector<std::vector<FramePauli>> out;
    const GateInfo& info = circuit::gate_info(op.gate);
    if (info.pauli_product || info.targets == circuit::TargetRule::paulis) {
        const bool one = info.targets == circuit::TargetRule::paulis;  // E: one product
        bool joined = false;
        for (const Target& t : op.targets) {
            if (t.kind == Target::Kind::combiner) {
                joined = true;
                continue;
            }
            if (out.empty() || (!joined && !one)) {
                out.emplace_back();
            }
            joined = false;
            add_factor(out.back(), t.value, letter_bits(t.pauli));
        }
    } else {
        const std::uint8_t bits = op.gate == Gate::MXX ? 1 : op.gate == Gate::MYY ? 3 : 2;  // MZZ
        for (std::size_t i = 0; i + 1 < op.targets.size(); i += 2) {
            auto& product = out.emplace_back();
            add_factor(product, op.targets[i].value, bits);
            add_factor(product, op.targets[i + 1].value, bits);
        }
    }
    for (auto& product : out) {
        std::erase_if(product, [](const FramePauli& f) { return !f.x && !f.z; });
    }
    return out;
}

struct Scan {
    std::uint64_t longest_lookback = 0;
    bool pauli_feedback_only = true;
    bool pauli_observables = false;
    bool conditions = false;  // IF blocks, which read the reference's record
};

void prepare_block(FrameBlock& block, const Circuit& c, Scan& scan) {
    block.circuit = &c;
    block.steps.resize(c.instructions.size());
    block.blocks.resize(c.blocks.size());
    for (std::size_t i = 0; i < c.instructions.size(); ++i) {
        const Instruction& op = c.instructions[i];
        const GateInfo& info = circuit::gate_info(op.gate);
        FrameStep& step = block.steps[i];
        for (const Target& t : op.targets) {
            if (t.kind == Target::Kind::record) {
                scan.longest_lookback = std::max<std::uint64_t>(scan.longest_lookback, t.value);
            }
            if (op.gate == Gate::OBSERVABLE_INCLUDE && t.kind == Target::Kind::pauli) {
                scan.pauli_observables = true;
            }
        }
        if (op.gate == Gate::REPEAT) {
            prepare_block(block.blocks[op.body], c.blocks[op.body], scan);
            continue;
        }
        if (op.gate == Gate::IF) {
            scan.conditions = true;
            for (const Instruction& inner : c.blocks[op.body].instructions) {
                const Gate g = inner.gate;
                if (g != Gate::X && g != Gate::Y && g != Gate::Z && g != Gate::I) {
                    scan.pauli_feedback_only = false;
                    continue;
                }
                if (g == Gate::I) {
                    continue;
                }
                for (const Target& t : inner.targets) {
                    add_factor(step.body, t.value, g == Gate::X ? 1 : g == Gate::Z ? 2 : 3);
                }
            }
            std::erase_if(step.body, [](const FramePauli& f) { return !f.x && !f.z; });
            continue;
        }
        if (info.is_unitary_1q() || info.is_unitary_2q()) {
            const std::size_t images = info.is_unitary_1q() ? 2 : 4;
            for (std::size_t k = 0; k < images; ++k) {
                const std::string_view image = info.tableau[k];
                std::uint8_t bits = 0;
                for (std::size_t q = 1; q < image.size(); ++q) {
                    bits |= static_cast<std::uint8_t>(letter_bits(image[q]) << (2 * (q - 1)));
                }
                step.images[k] = bits;
            }
            continue;
        }
        if (info.pauli_product || op.gate == Gate::MXX || op.gate == Gate::MYY ||
            op.gate == Gate::MZZ || op.gate == Gate::E || op.gate == Gate::ELSE_CORRELATED_ERROR) {
            step.products = frame_products(op);
        }
    }
}

// The instructions before the first that measures, resets, adds noise or
// reads the record: gates that every shot runs alike.
std::size_t opening_length(const Circuit& c) {
    std::size_t k = 0;
    for (; k < c.instructions.size(); ++k) {
        const Instruction& op = c.instructions[k];
        const GateInfo& info = circuit::gate_info(op.gate);
        const bool plain_gate =
            info.unitary && std::none_of(op.targets.begin(), op.targets.end(), [](const Target& t) {
                return t.kind == Target::Kind::record || t.kind == Target::Kind::sweep;
            });
        const bool inert =
            op.gate == Gate::QUBIT_COORDS || op.gate == Gate::TICK || op.gate == Gate::SHIFT_COORDS;
        if (!plain_gate && !inert) {
            break;
        }
    }
    return k;
}

// Calls f(row, entries) for each DETECTOR (row: its index) and each
// OBSERVABLE_INCLUDE (row: detectors + its observable) with the record
// indices it names, walking REPEAT blocks.
template <class F>
void walk_annotations(const Circuit& c, std::uint64_t detectors, std::uint64_t& measured,
                      std::uint64_t& detector, F&& f) {
    for (const Instruction& op : c.instructions) {
        if (op.gate == Gate::REPEAT) {
            for (std::uint64_t k = 0; k < op.repeat_count; ++k) {
                walk_annotations(c.blocks[op.body], detectors, measured, detector, f);
            }
            continue;
        }
        if (op.gate == Gate::DETECTOR || op.gate == Gate::OBSERVABLE_INCLUDE) {
            const std::uint64_t row = op.gate == Gate::DETECTOR
                                          ? detector++
                                          : detectors + static_cast<std::uint64_t>(op.args[0]);
            for (const Target& t : op.targets) {
                if (t.kind == Target::Kind::record) {
                    f(row, measured - t.value);
                }
            }
            continue;
        }
        measured += circuit::record_entries(op);
    }
}

// Row bits of one shot from its record: the record itself, or each
// detector's and observable's parity.
void shot_row(const Prepared& p, Output output, const std::uint8_t* record, Word* bits) {
    const std::uint64_t count =
        output == Output::measurements ? p.measurements : p.detectors + p.observables;
    std::fill_n(bits, (count + 63) / 64, 0);
    if (output == Output::measurements) {
        for (std::uint64_t m = 0; m < p.measurements; ++m) {
            bits[m / 64] |= Word{record[m]} << (m % 64);
        }
        return;
    }
    std::uint64_t measured = 0, detector = 0;
    walk_annotations(*p.circuit, p.detectors, measured, detector,
                     [&](std::uint64_t row, std::uint64_t entry) {
                         bits[row / 64] ^= Word{record[entry]} << (row % 64);
                     });
}

// Runs a program, a failure surfacing as its cause (an interrupt, a failed
// allocation) rather than as the executor's Stopped.
template <class Rng>
void run_program(const executor::Program& program, GraphState& state, Rng& rng,
                 std::uint8_t* record, bool noiseless = false) {
    try {
        if (noiseless) {
            executor::run_noiseless(program, state, rng, record);
        } else {
            executor::run(program, state, rng, record);
        }
    } catch (const executor::Stopped& stopped) {
        std::rethrow_exception(stopped.cause());
    }
}

// Bit i of word j becomes bit j of word i.
void transpose64(Word* a) {
    Word m = 0x00000000FFFFFFFFull;
    for (unsigned j = 32; j != 0; j >>= 1, m ^= m << j) {
        for (unsigned k = 0; k < 64; k = ((k | j) + 1) & ~j) {
            const Word t = ((a[k] >> j) ^ a[k | j]) & m;
            a[k] ^= t << j;
            a[k | j] ^= t;
        }
    }
}

// 64 bits from bit `at` of a row, which has a spare zero word at its end.
Word bits_at(const Word* row, std::uint64_t at) {
    const unsigned shift = static_cast<unsigned>(at % 64);
    const Word low = row[at / 64] >> shift;
    return shift == 0 ? low : low | row[at / 64 + 1] << (64 - shift);
}

constexpr auto kSpread = [] {
    std::array<Word, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        for (unsigned b = 0; b < 8; ++b) {
            table[i] |= Word{(i >> b) & 1u} << (8 * b);
        }
    }
    return table;
}();

// Writes a shot's row bits [d.first, d.first + d.count) at `out`.
void write_row(const Destination& d, const Word* row, std::uint8_t* out) {
    if (d.packed) {
        for (std::uint64_t k = 0; k < d.count; k += 64) {
            Word v = bits_at(row, d.first + k);
            const std::uint64_t left = std::min<std::uint64_t>(64, d.count - k);
            if (left < 64) {
                v &= (Word{1} << left) - 1;
            }
            std::memcpy(out + k / 8, &v, (left + 7) / 8);
        }
        return;
    }
    for (std::uint64_t k = 0; k < d.count; k += 8) {
        const Word spread = kSpread[bits_at(row, d.first + k) & 0xff];
        std::memcpy(out + k, &spread, std::min<std::uint64_t>(8, d.count - k));
    }
}

}  // namespace

Sampler::Sampler(std::shared_ptr<const Circuit> circuit,
                 std::shared_ptr<const executor::Program> program, Output output,
                 const SeededStream::Key& key)
    : output_(output), prepared_(std::make_unique<Prepared>()) {
    Prepared& p = *prepared_;
    p.circuit = std::move(circuit);
    p.program = std::move(program);
    p.key = key;
    p.qubits = executor::qubits_needed(*p.program);
    p.measurements = executor::record_length(*p.program);
    p.detectors = p.circuit->num_detectors();
    p.observables = p.circuit->num_observables();
    Scan scan;
    prepare_block(p.top, *p.circuit, scan);
    p.ring = std::bit_ceil(scan.longest_lookback + 1);
    p.method = scan.pauli_feedback_only ? Method::frames : Method::shot_by_shot;
    if (p.method == Method::shot_by_shot && scan.pauli_observables && output == Output::detectors) {
        throw CircuitError(
            "observables that include Paulis of the state need Pauli frames, but this circuit's "
            "IF blocks apply gates other than Paulis");
    }
    p.reference.assign(p.measurements / 64 + 1, 0);
    if (p.method == Method::frames && output == Output::detectors && !scan.conditions) {
        return;  // events and flips are parities of the frames' flips alone
    }
    // The reference shot: noiseless, with random outcomes from a stream of
    // its own.
    std::vector<std::uint8_t> record(p.measurements);
    {
        GraphState state = create(p.qubits);
        SeededStream stream(block_key(key, ~std::uint64_t{0} >> 32, 0));
        run_program(*p.program, state, stream, record.data(), true);
    }
    for (std::uint64_t m = 0; m < p.measurements; ++m) {
        p.reference[m / 64] |= Word{record[m]} << (m % 64);
    }
    if (p.method == Method::frames) {
        return;
    }
    p.noiseless.assign((p.detectors + p.observables) / 64 + 1, 0);
    shot_row(p, Output::detectors, record.data(), p.noiseless.data());
    const std::size_t opening = opening_length(*p.circuit);
    Circuit first = *p.circuit;
    first.instructions.resize(opening);
    Circuit rest = *p.circuit;
    rest.instructions.erase(rest.instructions.begin(),
                            rest.instructions.begin() + static_cast<std::ptrdiff_t>(opening));
    auto first_program = executor::compile(std::make_shared<const Circuit>(std::move(first)));
    p.rest = executor::compile(std::make_shared<const Circuit>(std::move(rest)));
    p.opening = create(p.qubits);
    SeededStream unused(key);
    run_program(*first_program, p.opening, unused, nullptr);
}

Sampler::~Sampler() = default;

Method Sampler::method() const noexcept {
    return prepared_->method;
}
std::uint64_t Sampler::measurements() const noexcept {
    return prepared_->measurements;
}
std::uint64_t Sampler::detectors() const noexcept {
    return prepared_->detectors;
}
std::uint64_t Sampler::observables() const noexcept {
    return prepared_->observables;
}
std::uint64_t Sampler::row_bits() const noexcept {
    return output_ == Output::measurements ? prepared_->measurements
                                           : prepared_->detectors + prepared_->observables;
}

namespace {

// Raised in helper threads once another thread has failed.
struct Cancelled {};

struct Shared {
    const Prepared& p;
    Output output;
    std::uint64_t call;
    std::uint64_t first_block;
    std::uint64_t shots;
    const std::vector<Destination>& to;
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> stop{false};
};

struct PollContext {
    Shared* shared;
    bool caller;
    PollCounter counter;
};

// Between instructions (or shots): helpers stop once told to, the calling
// thread checks for interrupts every so often.
void poll(void* context, std::size_t units) {
    auto& c = *static_cast<PollContext*>(context);
    if (c.shared->stop.load(std::memory_order_relaxed)) {
        throw Cancelled{};
    }
    if (c.caller) {
        c.counter.tick(units);
    }
}

// Turns a block's rows (row bit-major) into shots' rows and writes them.
void emit(const Prepared& p, Output output, const std::vector<Word>& rows, std::uint64_t bits,
          std::uint64_t first_row, std::uint64_t shots, const std::vector<Destination>& to) {
    const std::uint64_t groups = (bits + 63) / 64;
    std::vector<Word> shot_rows(kShotsPerBlock * (groups + 1));
    const std::size_t stride = groups + 1;
    Word tile[64];
    for (std::uint64_t g = 0; g < groups; ++g) {
        const Word reference = output == Output::measurements ? p.reference[g] : 0;
        for (std::size_t w = 0; w < kWordsPerBlock; ++w) {
            for (std::uint64_t j = 0; j < 64; ++j) {
                const std::uint64_t b = g * 64 + j;
                tile[j] = b < bits ? rows[b * kWordsPerBlock + w] : 0;
            }
            transpose64(tile);
            for (std::size_t lane = 0; lane < 64; ++lane) {
                shot_rows[(w * 64 + lane) * stride + g] = tile[lane] ^ reference;
            }
        }
    }
    for (const Destination& d : to) {
        for (std::uint64_t s = 0; s < shots; ++s) {
            write_row(d, shot_rows.data() + s * stride, d.data + (first_row + s) * d.stride);
        }
    }
}

// Shots one at a time on the engine, each from the opening state, written
// straight into the destinations. Shot i of block b draws from the stream
// keyed by keystream block 4i under the block's key, whichever thread runs
// it, and threads share the shots one by one (a shot may be long).
void run_shots(Shared& shared, PollContext& context) {
    const Prepared& p = shared.p;
    const std::uint64_t bits =
        shared.output == Output::measurements ? p.measurements : p.detectors + p.observables;
    std::vector<std::uint8_t> record(p.measurements);
    std::vector<Word> row(bits / 64 + 2);
    while (true) {
        const std::uint64_t s = shared.next.fetch_add(1);
        if (s >= shared.shots || shared.stop.load()) {
            return;
        }
        poll(&context, 1024);
        const SeededStream::Key key =
            block_key(p.key, shared.call, shared.first_block + s / kShotsPerBlock);
        GraphState state = copy_state(p.opening);
        SeededStream stream(block_key(key, 0, s % kShotsPerBlock));
        run_program(*p.rest, state, stream, record.data());
        shot_row(p, shared.output, record.data(), row.data());
        if (shared.output == Output::detectors) {
            for (std::size_t w = 0; w < row.size() - 1; ++w) {
                row[w] ^= p.noiseless[w];
            }
        }
        for (const Destination& d : shared.to) {
            write_row(d, row.data(), d.data + s * d.stride);
        }
    }
}

void run_blocks(Shared& shared, PollContext& context) {
    if (shared.p.method == Method::shot_by_shot) {
        run_shots(shared, context);
        return;
    }
    const Prepared& p = shared.p;
    const std::uint64_t blocks = (shared.shots + kShotsPerBlock - 1) / kShotsPerBlock;
    const std::uint64_t bits =
        shared.output == Output::measurements ? p.measurements : p.detectors + p.observables;
    const std::uint64_t record_rows = shared.output == Output::measurements ? p.measurements : bits;
    std::vector<Word> rows;
    while (true) {
        const std::uint64_t b = shared.next.fetch_add(1);
        if (b >= blocks || shared.stop.load()) {
            return;
        }
        const std::uint64_t first = b * kShotsPerBlock;
        const std::uint64_t count = std::min<std::uint64_t>(kShotsPerBlock, shared.shots - first);
        const SeededStream::Key key = block_key(p.key, shared.call, shared.first_block + b);
        rows.assign(std::max<std::uint64_t>(record_rows, bits) * kWordsPerBlock, 0);
        BlockRng rng(key);
        simulate_frames(p, shared.output, rng, rows, &poll, &context);
        emit(p, shared.output, rows, bits, first, count, shared.to);
    }
}

}  // namespace

void Sampler::sample(std::uint64_t call, std::uint64_t first_block, std::uint64_t shots,
                     const std::vector<Destination>& to, unsigned threads) const {
    Shared shared{*prepared_, output_, call, first_block, shots, to};
    const std::uint64_t units =
        prepared_->method == Method::frames ? (shots + kShotsPerBlock - 1) / kShotsPerBlock : shots;
    const unsigned helpers =
        static_cast<unsigned>(std::min<std::uint64_t>(threads == 0 ? 0 : threads - 1, units));
    std::vector<std::exception_ptr> failures(helpers + 1);
    std::vector<std::thread> pool;
    auto work = [&](unsigned index) {
        PollContext context{&shared, index == 0, {}};
        if (index != 0) {
            // Helpers stop when told, and leave interrupts to the caller.
            set_thread_stop_flag(&shared.stop);
        }
        try {
            run_blocks(shared, context);
        } catch (const Cancelled&) {
        } catch (...) {
            if (index == 0 || !shared.stop.load()) {
                failures[index] = std::current_exception();
                shared.stop = true;
            }
        }
    };
    try {
        for (unsigned i = 1; i <= helpers; ++i) {
            pool.emplace_back(work, i);
        }
    } catch (...) {
        shared.stop = true;
        for (std::thread& t : pool) {
            t.join();
        }
        throw;
    }
    work(0);
    for (std::thread& t : pool) {
        t.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

}  // namespace lumora::sampler
