#include "executor/executor.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "executor/pauli_frames.hpp"

namespace lumora::executor {

using circuit::CircuitError;
using circuit::Gate;
using circuit::GateInfo;
using circuit::Instruction;
using circuit::Target;

namespace {

// One factor of a Pauli product, and a product with its sign.
struct Factor {
    Qubit qubit;
    AxisCode axis;
};
struct Product {
    std::vector<Factor> factors;  // distinct qubits, no identities
    bool minus = false;
};

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

std::uint64_t add_saturated(std::uint64_t a, std::uint64_t b) {
    return a > kSaturated - b ? kSaturated : a + b;
}

std::uint64_t multiply_saturated(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > kSaturated / b ? kSaturated : a * b;
}

// The products of an MPP, SPP or SPP_DAG instruction; MXX, MYY and MZZ
// measure products of two. Factors on one qubit are multiplied out, with
// their phase: a product whose phase is +-i is not Hermitian and refused.
std::vector<Product> products_of(const Instruction& op) {
    const GateInfo& info = circuit::gate_info(op.gate);
    struct Building {
        std::vector<std::pair<std::uint32_t, int>> factors;  // qubit, 1 X 2 Y 3 Z (0 I)
        int phase = 0;                                       // power of i
    };
    std::vector<Building> building;
    auto add_factor = [](Building& product, std::uint32_t q, int pauli, bool inverted) {
        product.phase += inverted ? 2 : 0;
        for (auto& [qubit, existing] : product.factors) {
            if (qubit != q) {
                continue;
            }
            if (existing == 0) {
                existing = pauli;
            } else if (existing == pauli) {
                existing = 0;
            } else {
                // X.Y = iZ, Y.Z = iX, Z.X = iY; the other order takes -i.
                product.phase += existing % 3 + 1 == pauli ? 1 : 3;
                existing = 6 - existing - pauli;
            }
            return;
        }
        product.factors.emplace_back(q, pauli);
    };
    auto pauli_of = [](char p) { return p == 'X' ? 1 : p == 'Y' ? 2 : 3; };
    if (info.pauli_product) {
        bool joined = false;
        for (const Target& t : op.targets) {
            if (t.kind == Target::Kind::combiner) {
                joined = true;
                continue;
            }
            if (!joined || building.empty()) {
                building.emplace_back();
            }
            joined = false;
            add_factor(building.back(), t.value, pauli_of(t.pauli), t.inverted);
        }
    } else {
        const int pauli = op.gate == Gate::MXX ? 1 : op.gate == Gate::MYY ? 2 : 3;
        for (std::size_t i = 0; i + 1 < op.targets.size(); i += 2) {
            building.emplace_back();
            add_factor(building.back(), op.targets[i].value, pauli, op.targets[i].inverted);
            add_factor(building.back(), op.targets[i + 1].value, pauli, op.targets[i + 1].inverted);
        }
    }
    std::vector<Product> out;
    for (const Building& b : building) {
        if (b.phase % 2 != 0) {
            throw CircuitError("a Pauli product in '" + circuit::instruction_to_text(op) +
                               "' is not Hermitian: it names a qubit with anticommuting Paulis");
        }
        Product& product = out.emplace_back();
        product.minus = b.phase % 4 == 2;
        for (const auto& [qubit, pauli] : b.factors) {
            if (pauli != 0) {
                product.factors.push_back({qubit, static_cast<AxisCode>(pauli - 1)});
            }
        }
    }
    return out;
}

bool measures_products(Gate g) {
    return g == Gate::MPP || g == Gate::MXX || g == Gate::MYY || g == Gate::MZZ;
}

// What each unitary gate of the formats is on the engine. The single-qubit
// gates and the engine's own controlled gates are known at once; a
// decomposition is searched for at the first use of its gate.
class GatePlans {
public:
    GatePlans() {
        constexpr std::pair<Gate, TwoQubitGate> kFamily[] = {
            {Gate::CX, TwoQubitGate::cx},   {Gate::CY, TwoQubitGate::cy},
            {Gate::CZ, TwoQubitGate::cz},   {Gate::XCX, TwoQubitGate::xcx},
            {Gate::XCY, TwoQubitGate::xcy}, {Gate::XCZ, TwoQubitGate::xcz},
            {Gate::YCX, TwoQubitGate::ycx}, {Gate::YCY, TwoQubitGate::ycy},
            {Gate::YCZ, TwoQubitGate::ycz}};
        for (const auto& [gate, engine] : kFamily) {
            engine_pair[static_cast<std::size_t>(gate)] = true;
            engine_gate[static_cast<std::size_t>(gate)] = engine;
        }
        for (std::size_t i = 0; i < circuit::kGateCount; ++i) {
            const GateInfo& info = circuit::gate_info(static_cast<Gate>(i));
            if (info.is_unitary_1q() && !info.tableau[0].empty()) {
                local[i] = local_clifford_for(info.tableau[0], info.tableau[1]);
            }
        }
    }

    const TwoQubitDecomposition& pair(Gate g) const {
        const std::size_t i = static_cast<std::size_t>(g);
        std::call_once(searched_[i],
                       [&] { pairs_[i] = decompose_two_qubit(circuit::gate_info(g).tableau); });
        return pairs_[i];
    }

    std::array<LcOp, circuit::kGateCount> local{};
    std::array<bool, circuit::kGateCount> engine_pair{};
    std::array<TwoQubitGate, circuit::kGateCount> engine_gate{};

private:
    mutable std::array<TwoQubitDecomposition, circuit::kGateCount> pairs_{};
    mutable std::array<std::once_flag, circuit::kGateCount> searched_;
};

const GatePlans& gate_plans() {
    static const GatePlans plans;
    return plans;
}

}  // namespace

// How the runner takes an instruction: the common ones directly, the rest
// through the general path.
enum class StepKind : std::uint8_t {
    local,    // a single-qubit Clifford (or Pauli) on each target
    nothing,  // an operation per target that changes nothing (I)
    engine2,  // one of the engine's controlled gates on each pair, no classical control
    general,
};

struct Step {
    StepKind kind = StepKind::general;
    LcOp local = kLcIdentity;
    TwoQubitGate engine = TwoQubitGate::cz;
};

// A block of the circuit with what its instructions need at run time.
struct PreparedBlock {
    const circuit::Circuit* circuit = nullptr;
    std::vector<Step> steps;                     // per instruction
    std::vector<std::vector<Product>> products;  // per instruction; empty unless products
    std::vector<PreparedBlock> blocks;           // parallel to circuit->blocks
};

struct Program {
    std::shared_ptr<const circuit::Circuit> circuit;
    PreparedBlock top;
    std::uint64_t qubits = 0;
    std::uint64_t record = 0;
};

namespace {

bool classical(const Target& t) {
    return t.kind == Target::Kind::record || t.kind == Target::Kind::sweep;
}

// Prepares a block and checks its look-backs, given how many measurements
// come before it at the least (in the first pass through every loop).
void prepare(PreparedBlock& block, const circuit::Circuit& c, std::uint64_t& measured) {
    block.circuit = &c;
    block.steps.resize(c.instructions.size());
    block.products.resize(c.instructions.size());
    const GatePlans& plans = gate_plans();
    block.blocks.resize(c.blocks.size());
    auto check = [&](const Instruction& op, const Target& t) {
        if (t.kind == Target::Kind::record && t.value > measured) {
            const std::string wanted =
                std::to_string(t.value) + (t.value == 1 ? " measurement" : " measurements");
            const std::string before =
                measured == 1 ? "only 1 comes" : "only " + std::to_string(measured) + " come";
            throw CircuitError("'" + circuit::instruction_to_text(op) + "' looks back " + wanted +
                               ", but " + before + " before it in the circuit");
        }
    };
    for (std::size_t i = 0; i < c.instructions.size(); ++i) {
        const Instruction& op = c.instructions[i];
        const GateInfo& info = circuit::gate_info(op.gate);
        if (op.gate == Gate::REPEAT) {
            std::uint64_t first_pass = measured;
            prepare(block.blocks[op.body], c.blocks[op.body], first_pass);
            measured =
                add_saturated(measured, multiply_saturated(first_pass - measured, op.repeat_count));
            continue;
        }
        for (const Target& t : op.targets) {
            check(op, t);
        }
        if (op.gate == Gate::IF) {
            std::uint64_t inside = measured;
            prepare(block.blocks[op.body], c.blocks[op.body], inside);
            continue;
        }
        if (info.pauli_product || measures_products(op.gate)) {
            block.products[i] = products_of(op);
        }
        const std::size_t g = static_cast<std::size_t>(op.gate);
        Step& step = block.steps[i];
        if (info.is_unitary_1q()) {
            step.kind = plans.local[g] == kLcIdentity ? StepKind::nothing : StepKind::local;
            step.local = plans.local[g];
        } else if (plans.engine_pair[g] &&
                   std::none_of(op.targets.begin(), op.targets.end(), classical)) {
            step.kind = StepKind::engine2;
            step.engine = plans.engine_gate[g];
        }
        measured = add_saturated(measured, circuit::record_entries(op));
    }
}

// A 64-bit uniform number from two words.
template <class Rng>
std::uint64_t draw64(Rng& rng) {
    const std::uint64_t high = rng.next_u32();
    return high << 32 | rng.next_u32();
}

// u < threshold(p) has probability p, for p in [0, 1).
std::uint64_t threshold(double p) {
    if (!(p > 0)) {
        return 0;
    }
    if (p >= 1) {
        return kSaturated;
    }
    return static_cast<std::uint64_t>(std::ldexp(p, 64));
}

// Which of `count` equal parts of [0, limit) u falls in.
int part(std::uint64_t u, std::uint64_t limit, int count) {
    const int k =
        static_cast<int>(static_cast<long double>(u) / static_cast<long double>(limit) * count);
    return std::min(k, count - 1);
}

constexpr LcOp kPauliOf[4] = {kLcIdentity, kLcX, kLcY, kLcZ};

AxisCode measured_axis(Gate g) {
    switch (g) {
        case Gate::MX:
        case Gate::MRX:
        case Gate::RX:
            return kAxisX;
        case Gate::MY:
        case Gate::MRY:
        case Gate::RY:
            return kAxisY;
        default:
            return kAxisZ;
    }
}

// The Pauli that moves a qubit from the -1 to the +1 eigenstate of `axis`.
LcOp resetting_pauli(AxisCode axis) {
    return axis == kAxisX ? kLcZ : kLcX;
}

// The two Paulis of a controlled-Pauli gate C(P_a, Q_b): a classical bit
// in place of one qubit applies the other's Pauli to the other qubit.
std::pair<LcOp, LcOp> controlled_paulis(Gate g) {
    switch (g) {
        case Gate::CX:
            return {kLcZ, kLcX};
        case Gate::CY:
            return {kLcZ, kLcY};
        case Gate::CZ:
            return {kLcZ, kLcZ};
        case Gate::XCX:
            return {kLcX, kLcX};
        case Gate::XCY:
            return {kLcX, kLcY};
        case Gate::XCZ:
            return {kLcX, kLcZ};
        case Gate::YCX:
            return {kLcY, kLcX};
        case Gate::YCY:
            return {kLcY, kLcY};
        default:
            return {kLcY, kLcZ};
    }
}

template <class Rng>
class Runner {
public:
    Runner(const Program& p, GraphState& s, Rng& rng, std::uint8_t* record, bool noiseless)
        : program_(p),
          s_(s),
          rng_(rng),
          record_(record),
          plans_(gate_plans()),
          noiseless_(noiseless) {}

    void run() {
        struct Frame {
            const PreparedBlock* block;
            std::size_t pc;
            std::uint64_t passes_left;
            std::uint64_t start;  // record length when the block was entered
        };
        std::vector<Frame> stack;
        stack.push_back({&program_.top, 0, 1, 0});
        while (!stack.empty()) {
            Frame& frame = stack.back();
            const circuit::Circuit& c = *frame.block->circuit;
            if (frame.pc == c.instructions.size()) {
                if (--frame.passes_left != 0) {
                    frame.pc = 0;
                } else {
                    stack.pop_back();
                }
                continue;
            }
            const std::size_t index = frame.pc++;
            const Instruction& op = c.instructions[index];
            poll_.tick(1 + op.targets.size());
            if (op.gate == Gate::REPEAT) {
                const PreparedBlock* body = &frame.block->blocks[op.body];
                if (!body->circuit->instructions.empty()) {
                    stack.push_back({body, 0, op.repeat_count, measured_});
                }
                continue;
            }
            if (op.gate == Gate::IF) {
                ++completed_;
                if (conditions_hold(op)) {
                    stack.push_back({&frame.block->blocks[op.body], 0, 1, measured_});
                }
                continue;
            }
            const Step& step = frame.block->steps[index];
            switch (step.kind) {
                case StepKind::local:
                    // Cannot fail: the qubits were checked against the register.
                    for (const Target& t : op.targets) {
                        apply_gate(s_, t.value, step.local);
                    }
                    completed_ += op.targets.size();
                    break;
                case StepKind::nothing:
                    completed_ += op.targets.size();
                    break;
                case StepKind::engine2:
                    for (std::size_t i = 0; i + 1 < op.targets.size(); i += 2) {
                        apply_two_qubit_gate(s_, step.engine, op.targets[i].value,
                                             op.targets[i + 1].value);
                        ++completed_;
                    }
                    break;
                case StepKind::general:
                    execute(op, frame.block->products[index]);
                    break;
            }
        }
    }

    std::uint64_t completed() const noexcept { return completed_; }
    std::uint64_t measured() const noexcept { return measured_; }

private:
    // Runs one operation; a failure leaves the state and the stream as
    // they were before it.
    template <class F>
    void operation(F&& f) {
        if constexpr (std::is_same_v<Rng, SeededStream>) {
            const SeededStream::Mark mark = rng_.mark();
            const std::uint64_t measured = measured_;
            try {
                f();
            } catch (...) {
                rng_.rewind(mark);
                measured_ = measured;
                throw;
            }
        } else {
            const std::uint64_t measured = measured_;
            try {
                f();
            } catch (...) {
                measured_ = measured;
                throw;
            }
        }
        ++completed_;
    }

    std::uint8_t bit_of(const Target& t) const {
        return t.kind == Target::Kind::record ? record_[measured_ - t.value] : 0;
    }

    bool conditions_hold(const Instruction& op) const {
        for (const Target& t : op.targets) {
            if (bit_of(t) != (t.inverted ? 0 : 1)) {
                return false;
            }
        }
        return true;
    }

    bool chance(double p) {
        if (noiseless_ || !(p > 0)) {
            return false;
        }
        if (p >= 1) {
            return true;
        }
        return draw64(rng_) < threshold(p);
    }

    void pauli(Qubit q, LcOp p) {
        if (p != kLcIdentity) {
            apply_gate(s_, q, p);
        }
    }

    void record(std::uint8_t bit) { record_[measured_++] = bit; }

    // Pauli number `which` of a one- or two-qubit channel on the target (pair)
    // at i: 0 to 3 for I, X, Y, Z; a pair's is 4 * first + second.
    void channel_pauli(const std::vector<Target>& ts, std::size_t i, bool two, int which) {
        if (two) {
            pauli(ts[i].value, kPauliOf[which / 4]);
            pauli(ts[i + 1].value, kPauliOf[which % 4]);
        } else {
            pauli(ts[i].value, kPauliOf[which]);
        }
    }

    void execute(const Instruction& op, const std::vector<Product>& products) {
        const GateInfo& info = circuit::gate_info(op.gate);
        const std::vector<Target>& ts = op.targets;
        const std::size_t g = static_cast<std::size_t>(op.gate);
        if (info.annotation) {
            operation([] {});
            return;
        }
        if (noiseless_ && info.noise) {
            // Each target or pair still counts one operation; heralds read 0.
            const std::size_t width =
                info.two_qubit ? 2 : (info.targets == circuit::TargetRule::paulis ? ts.size() : 1);
            for (std::size_t i = 0; i + width <= ts.size() && width != 0; i += width) {
                operation([&] {
                    if (info.measurement) {
                        record(0);
                    }
                });
            }
            return;
        }
        if (op.gate == Gate::I_ERROR || op.gate == Gate::II_ERROR) {
            // Channels that do nothing still count one operation per target or pair.
            const std::size_t width = op.gate == Gate::II_ERROR ? 2 : 1;
            for (std::size_t i = 0; i + width <= ts.size(); i += width) {
                operation([] {});
            }
            return;
        }
        if (info.is_unitary_1q()) {
            const LcOp local = plans_.local[g];
            for (const Target& t : ts) {
                operation([&] {
                    if (local != kLcIdentity) {
                        apply_gate(s_, t.value, local);
                    }
                });
            }
            return;
        }
        if (info.is_unitary_2q()) {
            for (std::size_t i = 0; i + 1 < ts.size(); i += 2) {
                operation([&] { pair_gate(op.gate, ts[i], ts[i + 1]); });
            }
            return;
        }
        if (info.pauli_product && info.unitary) {
            for (const Product& product : products) {
                operation([&] { phase_product(product, op.gate == Gate::SPP_DAG); });
            }
            return;
        }
        if (measures_products(op.gate)) {
            const double flip = op.args.empty() ? 0 : op.args[0];
            for (const Product& product : products) {
                operation([&] { record(measure_product(product) ^ (chance(flip) ? 1 : 0)); });
            }
            return;
        }
        switch (op.gate) {
            case Gate::M:
            case Gate::MX:
            case Gate::MY:
            case Gate::MR:
            case Gate::MRX:
            case Gate::MRY:
            case Gate::R:
            case Gate::RX:
            case Gate::RY: {
                const AxisCode axis = measured_axis(op.gate);
                const double flip = op.args.empty() ? 0 : op.args[0];
                for (const Target& t : ts) {
                    operation([&] {
                        const std::uint8_t bit = lumora::measure(s_, t.value, axis, rng_);
                        if (info.reset && bit != 0) {
                            apply_gate(s_, t.value, resetting_pauli(axis));
                        }
                        if (info.measurement) {
                            const bool flipped = chance(flip);
                            record(static_cast<std::uint8_t>(bit ^ (t.inverted ? 1 : 0) ^
                                                             (flipped ? 1 : 0)));
                        }
                    });
                }
                return;
            }
            case Gate::MPAD:
                for (const Target& t : ts) {
                    operation([&] { record(static_cast<std::uint8_t>(t.value)); });
                }
                return;
            case Gate::X_ERROR:
            case Gate::Y_ERROR:
            case Gate::Z_ERROR: {
                const LcOp p = op.gate == Gate::X_ERROR   ? kLcX
                               : op.gate == Gate::Y_ERROR ? kLcY
                                                          : kLcZ;
                for (const Target& t : ts) {
                    operation([&] {
                        if (chance(op.args[0])) {
                            pauli(t.value, p);
                        }
                    });
                }
                return;
            }
            case Gate::DEPOLARIZE1:
            case Gate::DEPOLARIZE2: {
                // One draw: whether an error happens, and which of the 3 (15)
                // Paulis, uniformly.
                const bool two = op.gate == Gate::DEPOLARIZE2;
                const std::uint64_t limit = threshold(op.args[0]);
                for (std::size_t i = 0; i < ts.size(); i += two ? 2 : 1) {
                    operation([&] {
                        if (limit == 0) {
                            return;
                        }
                        const std::uint64_t u = draw64(rng_);
                        if (u >= limit) {
                            return;
                        }
                        channel_pauli(ts, i, two, 1 + part(u, limit, two ? 15 : 3));
                    });
                }
                return;
            }
            case Gate::PAULI_CHANNEL_1:
            case Gate::PAULI_CHANNEL_2: {
                const bool two = op.gate == Gate::PAULI_CHANNEL_2;
                for (std::size_t i = 0; i < ts.size(); i += two ? 2 : 1) {
                    operation([&] { channel_pauli(ts, i, two, pick(op.args)); });
                }
                return;
            }
            case Gate::E:
            case Gate::ELSE_CORRELATED_ERROR:
                operation([&] {
                    if (op.gate == Gate::E) {
                        chain_fired_ = false;
                    }
                    if (chain_fired_ || !chance(op.args[0])) {
                        return;
                    }
                    chain_fired_ = true;
                    for (const Target& t : ts) {
                        pauli(t.value, t.pauli == 'X' ? kLcX : t.pauli == 'Y' ? kLcY : kLcZ);
                    }
                });
                return;
            case Gate::HERALDED_ERASE:
                // The herald, and a uniformly random Pauli (I included).
                for (const Target& t : ts) {
                    operation([&] {
                        const int which = pick(op.args);
                        if (which == 0) {
                            record(0);
                            return;
                        }
                        pauli(t.value, kPauliOf[part(last_draw_, last_limit_, 4)]);
                        record(1);
                    });
                }
                return;
            case Gate::HERALDED_PAULI_CHANNEL_1:
                for (const Target& t : ts) {
                    operation([&] {
                        // The herald with I, X, Y or Z, or no herald.
                        const int which = pick(op.args);
                        if (which == 0) {
                            record(0);
                            return;
                        }
                        pauli(t.value, kPauliOf[which - 1]);
                        record(1);
                    });
                }
                return;
            default:
                unreachable("an instruction the runner does not know");
        }
    }

    // One outcome of a channel with probabilities `p` for outcomes 1, 2,
    // ... (summing to at most 1) and the rest for outcome 0, from one draw.
    // The draw, and the bound of the outcome it fell in, are kept for a
    // further uniform choice within that outcome.
    int pick(const std::vector<double>& p) {
        double total = 0;
        for (double x : p) {
            total += x;
        }
        if (!(total > 0)) {
            return 0;
        }
        last_draw_ = draw64(rng_);
        double cumulative = 0;
        std::uint64_t lower = 0;
        for (std::size_t i = 0; i < p.size(); ++i) {
            cumulative += p[i];
            if (!(p[i] > 0)) {
                continue;
            }
            const std::uint64_t upper = threshold(std::min(cumulative, 1.0));
            if (last_draw_ < upper || cumulative >= 1) {
                last_draw_ -= std::min(last_draw_, lower);
                last_limit_ = upper > lower ? upper - lower : 1;
                return static_cast<int>(i) + 1;
            }
            lower = upper;
        }
        return 0;
    }

    void pair_gate(Gate gate, const Target& a, const Target& b) {
        if (classical(a) || classical(b)) {
            const auto [pa, pb] = controlled_paulis(gate);
            if (classical(a) && !classical(b) && bit_of(a) != 0) {
                pauli(b.value, pb);
            } else if (classical(b) && !classical(a) && bit_of(b) != 0) {
                pauli(a.value, pa);
            }
            return;
        }
        const std::size_t g = static_cast<std::size_t>(gate);
        if (plans_.engine_pair[g]) {
            apply_two_qubit_gate(s_, plans_.engine_gate[g], a.value, b.value);
            return;
        }
        const TwoQubitDecomposition& d = plans_.pair(gate);
        const Qubit qa = a.value;
        const Qubit qb = b.value;
        if (d.cz_count <= 1 && !d.swap) {
            // At most one step that can fail: undone by inverting the locals
            // before it.
            local_pair(qa, qb, d.before);
            if (d.cz_count == 1) {
                try {
                    apply_two_qubit_gate(s_, TwoQubitGate::cz, qa, qb);
                } catch (...) {
                    local_pair(qa, qb, {lc_inv[d.before.first], lc_inv[d.before.second]});
                    throw;
                }
                local_pair(qa, qb, d.after_cz[0]);
            }
            return;
        }
        const std::size_t qubits[2] = {qa, qb};
        Batch batch(s_, qubits, 2);
        batch_local(batch, qa, qb, d.before);
        if (d.swap) {
            batch.two_qubit_gate(TwoQubitGate::cx, qa, qb);
            batch.two_qubit_gate(TwoQubitGate::cx, qb, qa);
            batch.two_qubit_gate(TwoQubitGate::cx, qa, qb);
        } else {
            for (int k = 0; k < d.cz_count; ++k) {
                batch.two_qubit_gate(TwoQubitGate::cz, qa, qb);
                batch_local(batch, qa, qb, d.after_cz[k]);
            }
        }
        batch.commit();
    }

    void local_pair(Qubit a, Qubit b, LocalPair l) {
        if (l.first != kLcIdentity) {
            apply_gate(s_, a, l.first);
        }
        if (l.second != kLcIdentity) {
            apply_gate(s_, b, l.second);
        }
    }

    static void batch_local(Batch& batch, Qubit a, Qubit b, LocalPair l) {
        if (l.first != kLcIdentity) {
            batch.gate(a, l.first);
        }
        if (l.second != kLcIdentity) {
            batch.gate(b, l.second);
        }
    }

    // Runs `middle` on the last qubit with the product turned into Z there:
    // each factor rotated onto Z, the parity gathered by controlled-X gates,
    // then all undone. One batch: it succeeds or fails as a whole.
    template <class Middle>
    void through_parity(const Product& product, Middle&& middle) {
        std::vector<std::size_t> qubits;
        qubits.reserve(product.factors.size());
        for (const Factor& f : product.factors) {
            qubits.push_back(f.qubit);
        }
        Batch batch(s_, qubits.data(), qubits.size());
        const Qubit last = product.factors.back().qubit;
        for (const Factor& f : product.factors) {
            batch.gate(f.qubit, onto_z(f.axis));
        }
        for (std::size_t i = 0; i + 1 < product.factors.size(); ++i) {
            batch.two_qubit_gate(TwoQubitGate::cx, product.factors[i].qubit, last);
        }
        middle(batch, last);
        for (std::size_t i = product.factors.size() - 1; i-- > 0;) {
            batch.two_qubit_gate(TwoQubitGate::cx, product.factors[i].qubit, last);
        }
        for (const Factor& f : product.factors) {
            batch.gate(f.qubit, lc_inv[onto_z(f.axis)]);
        }
        batch.commit();
    }

    std::uint8_t measure_product(const Product& product) {
        const std::uint8_t sign = product.minus ? 1 : 0;
        if (product.factors.empty()) {
            return sign;
        }
        if (product.factors.size() == 1) {
            const Factor& f = product.factors[0];
            return static_cast<std::uint8_t>(lumora::measure(s_, f.qubit, f.axis, rng_) ^ sign);
        }
        std::uint8_t bit = 0;
        through_parity(product,
                       [&](Batch& batch, Qubit last) { bit = batch.measure(last, kAxisZ, rng_); });
        return static_cast<std::uint8_t>(bit ^ sign);
    }

    // exp(-i pi/4 P) (SPP), or its inverse.
    void phase_product(const Product& product, bool dagger) {
        if (product.factors.empty()) {
            return;
        }
        const LcOp phase = (dagger != product.minus) ? kLcSdag : kLcS;
        if (product.factors.size() == 1) {
            const Factor& f = product.factors[0];
            const LcOp to_z = onto_z(f.axis);
            apply_gate(s_, f.qubit, lc_mul[lc_inv[to_z]][lc_mul[phase][to_z]]);
            return;
        }
        through_parity(product, [&](Batch& batch, Qubit last) { batch.gate(last, phase); });
    }

    const Program& program_;
    GraphState& s_;
    Rng& rng_;
    std::uint8_t* record_;
    const GatePlans& plans_;
    std::uint64_t measured_ = 0;
    std::uint64_t completed_ = 0;
    bool noiseless_;
    bool chain_fired_ = false;
    std::uint64_t last_draw_ = 0;
    std::uint64_t last_limit_ = 1;
    PollCounter poll_;
};

template <class Rng>
void run_with(const Program& p, GraphState& s, Rng& rng, std::uint8_t* record,
              bool noiseless = false) {
    Runner<Rng> runner(p, s, rng, record, noiseless);
    try {
        runner.run();
    } catch (const Interrupted&) {
        throw Stopped(runner.completed(), std::current_exception());
    } catch (const std::bad_alloc&) {
        throw Stopped(runner.completed(), std::current_exception());
    }
}

}  // namespace

std::shared_ptr<const Program> compile(std::shared_ptr<const circuit::Circuit> c) {
    auto program = std::make_shared<Program>();
    program->circuit = std::move(c);
    program->qubits = program->circuit->num_qubits();
    program->record = program->circuit->num_measurements();
    std::uint64_t measured = 0;
    prepare(program->top, *program->circuit, measured);
    return program;
}

std::uint64_t qubits_needed(const Program& p) noexcept {
    return p.qubits;
}

std::uint64_t record_length(const Program& p) noexcept {
    return p.record;
}

void run(const Program& p, GraphState& s, ThreadRng& rng, std::uint8_t* record) {
    run_with(p, s, rng, record);
}

void run(const Program& p, GraphState& s, SeededStream& rng, std::uint8_t* record) {
    run_with(p, s, rng, record);
}

void run_noiseless(const Program& p, GraphState& s, SeededStream& rng, std::uint8_t* record) {
    run_with(p, s, rng, record, true);
}

}  // namespace lumora::executor
