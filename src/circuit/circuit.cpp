#include "circuit/circuit.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "circuit/validate.hpp"

namespace lumora::circuit {
namespace detail {
namespace {

constexpr std::uint8_t kFirst = 1;
constexpr std::uint8_t kSecond = 2;

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string arg_count_text(const GateInfo& g) {
    if (g.max_args == 0) {
        return "no arguments";
    }
    if (g.takes_any_args()) {
        return "at least " + plural(g.min_args, "argument");
    }
    if (g.min_args == g.max_args) {
        return plural(g.min_args, "argument");
    }
    return std::to_string(g.min_args) + " or " + plural(g.max_args, "argument");
}

std::string number_text(double v) {
    std::string s;
    append_number(s, v);
    return s;
}

// Field consistency of a target (independent of the gate).
const char* malformed(const Target& t) {
    switch (t.kind) {
        case Target::Kind::qubit:
            return t.pauli != 0          ? "a qubit target must have pauli == 0"
                   : t.value > kMaxQubit ? "qubit index above 4294967294"
                                         : nullptr;
        case Target::Kind::record:
            return t.pauli != 0                             ? "a record target must have pauli == 0"
                   : t.value == 0 || t.value > kMaxLookback ? "rec[-k] needs 1 <= k <= 2147483648"
                                                            : nullptr;
        case Target::Kind::sweep:
            return t.pauli != 0 || t.inverted ? "a sweep target has no pauli and no inversion"
                   : t.value > kMaxQubit      ? "sweep bit index above 4294967294"
                                              : nullptr;
        case Target::Kind::pauli:
            return (t.pauli != 'X' && t.pauli != 'Y' && t.pauli != 'Z')
                       ? "a Pauli target needs pauli 'X', 'Y' or 'Z'"
                   : t.value > kMaxQubit ? "qubit index above 4294967294"
                                         : nullptr;
        case Target::Kind::combiner:
            return (t.pauli != 0 || t.inverted || t.value != 0) ? "malformed combiner target"
                                                                : nullptr;
    }
    return "unknown target kind";
}

}  // namespace

void append_number(std::string& out, double v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), v);
    (void)ec;
    out.append(buf, end);
}

std::string target_text(const Target& t) {
    std::string s = t.inverted ? "!" : "";
    switch (t.kind) {
        case Target::Kind::qubit:
            return s + std::to_string(t.value);
        case Target::Kind::record:
            return s + "rec[-" + std::to_string(t.value) + "]";
        case Target::Kind::sweep:
            return s + "sweep[" + std::to_string(t.value) + "]";
        case Target::Kind::pauli:
            return s + (t.pauli ? t.pauli : '?') + std::to_string(t.value);
        case Target::Kind::combiner:
            return "*";
    }
    return "?";
}

std::optional<Issue> check_args(const GateInfo& g, std::span<const double> args) {
    if (args.empty() && g.min_args == 0) {
        return std::nullopt;
    }
    const std::string_view name = g.name;
    if (args.size() < g.min_args || (!g.takes_any_args() && args.size() > g.max_args)) {
        return Issue{std::string(name) + " takes " + arg_count_text(g) + ", got " +
                         std::to_string(args.size()),
                     0, true};
    }
    double sum = 0;
    for (std::size_t k = 0; k < args.size(); k++) {
        double a = args[k];
        if (!std::isfinite(a)) {
            return Issue{"arguments must be finite numbers", k, false};
        }
        switch (g.args) {
            case ArgRule::none:
            case ArgRule::coordinates:
                break;
            case ArgRule::probability:
                if (!(a >= 0 && a <= g.max_probability)) {
                    return Issue{std::string(name) + " takes a probability in [0, " +
                                     number_text(g.max_probability) + "], got " + number_text(a),
                                 k, false};
                }
                break;
            case ArgRule::disjoint_probabilities:
                if (!(a >= 0 && a <= 1)) {
                    return Issue{
                        std::string(name) + " takes probabilities in [0, 1], got " + number_text(a),
                        k, false};
                }
                sum += a;
                break;
            case ArgRule::observable_index:
                if (!(a >= 0 && a <= 4294967295.0 && a == std::floor(a))) {
                    return Issue{std::string(name) +
                                     " takes an integer observable index in [0, 4294967295], got " +
                                     number_text(a),
                                 k, false};
                }
                break;
        }
    }
    if (sum > 1 + 1e-12) {
        return Issue{std::string(name) +
                         " takes disjoint probabilities summing to at most 1, got a sum of " +
                         number_text(sum),
                     0, true};
    }
    return std::nullopt;
}

std::optional<Issue> check_targets(const GateInfo& g, std::span<const Target> ts,
                                   bool well_formed) {
    const std::string_view name = g.name;
    auto bad = [&](std::size_t k, const std::string& why) { return Issue{why, k, false}; };
    auto wrong_kind = [&](std::size_t k, const char* wanted) {
        return bad(k,
                   std::string(name) + " takes " + wanted + ", not '" + target_text(ts[k]) + "'");
    };
    auto no_inversion = [&](std::size_t k) {
        return bad(k, std::string(name) + " does not take inverted targets like '" +
                          target_text(ts[k]) + "'");
    };
    for (std::size_t k = 0; k < ts.size() && !well_formed; k++) {
        if (const char* why = malformed(ts[k])) {
            return bad(k, why);
        }
    }
    switch (g.targets) {
        case TargetRule::none:
            if (!ts.empty()) {
                return bad(0, std::string(name) + " takes no targets");
            }
            break;
        case TargetRule::qubits:
            for (std::size_t k = 0; k < ts.size(); k++) {
                if (ts[k].kind != Target::Kind::qubit) {
                    return wrong_kind(k, "qubit targets");
                }
                if (ts[k].inverted && !g.takes_inverted) {
                    return no_inversion(k);
                }
            }
            break;
        case TargetRule::qubit_pairs: {
            for (std::size_t k = 0; k < ts.size(); k++) {
                const Target& t = ts[k];
                bool classical_ok = (g.classical & (k % 2 == 0 ? kFirst : kSecond)) != 0;
                if (t.kind == Target::Kind::qubit) {
                    if (t.inverted && !g.takes_inverted) {
                        return no_inversion(k);
                    }
                } else if ((t.kind == Target::Kind::record || t.kind == Target::Kind::sweep) &&
                           classical_ok) {
                    if (t.inverted) {
                        return no_inversion(k);
                    }
                } else if (g.classical == kFirst) {
                    return wrong_kind(k,
                                      "qubit pairs (the first of a pair may be rec[-k] or "
                                      "sweep[k])");
                } else if (g.classical == kSecond) {
                    return wrong_kind(k,
                                      "qubit pairs (the second of a pair may be rec[-k] or "
                                      "sweep[k])");
                } else if (g.classical != 0) {
                    return wrong_kind(k,
                                      "qubit pairs (either of a pair may be rec[-k] or "
                                      "sweep[k])");
                } else {
                    return wrong_kind(k, "qubit pairs");
                }
            }
            for (std::size_t k = 1; k < ts.size(); k += 2) {
                const Target& a = ts[k - 1];
                const Target& b = ts[k];
                if (a.kind == Target::Kind::qubit && b.kind == Target::Kind::qubit &&
                    a.value == b.value) {
                    return bad(k, std::string(name) + " was given the pair of equal qubits " +
                                      std::to_string(a.value) + " and " + std::to_string(b.value));
                }
                if (a.kind != Target::Kind::qubit && b.kind != Target::Kind::qubit) {
                    return bad(k, std::string(name) + " was given a pair of two classical targets");
                }
            }
            if (ts.size() % 2 != 0) {
                return Issue{std::string(name) + " takes targets in pairs, got an odd number (" +
                                 std::to_string(ts.size()) + ")",
                             ts.size() - 1, true};
            }
            break;
        }
        case TargetRule::pauli_products: {
            bool after_pauli = false;
            for (std::size_t k = 0; k < ts.size(); k++) {
                const Target& t = ts[k];
                if (t.kind == Target::Kind::combiner) {
                    if (!after_pauli || k + 1 == ts.size()) {
                        return bad(k, "a combiner '*' must stand between two Pauli targets");
                    }
                    after_pauli = false;
                } else if (t.kind == Target::Kind::pauli) {
                    if (t.inverted && !g.takes_inverted) {
                        return no_inversion(k);
                    }
                    after_pauli = true;
                } else {
                    return wrong_kind(k, "Pauli products like X0*Y1");
                }
            }
            break;
        }
        case TargetRule::paulis:
            for (std::size_t k = 0; k < ts.size(); k++) {
                if (ts[k].kind != Target::Kind::pauli) {
                    return wrong_kind(k, "Pauli targets like X0 (no combiners)");
                }
                if (ts[k].inverted) {
                    return no_inversion(k);
                }
            }
            break;
        case TargetRule::records:
            for (std::size_t k = 0; k < ts.size(); k++) {
                if (ts[k].kind != Target::Kind::record) {
                    return wrong_kind(k, "measurement record targets rec[-k]");
                }
                if (ts[k].inverted) {
                    return no_inversion(k);
                }
            }
            break;
        case TargetRule::records_or_paulis:
            for (std::size_t k = 0; k < ts.size(); k++) {
                if (ts[k].kind != Target::Kind::record && ts[k].kind != Target::Kind::pauli) {
                    return wrong_kind(k, "record targets rec[-k] or Pauli targets");
                }
                if (ts[k].inverted && ts[k].kind == Target::Kind::record) {
                    return no_inversion(k);
                }
            }
            break;
        case TargetRule::bits:
            for (std::size_t k = 0; k < ts.size(); k++) {
                if (ts[k].kind != Target::Kind::qubit || ts[k].value > 1) {
                    return wrong_kind(k, "the values 0 and 1");
                }
                if (ts[k].inverted) {
                    return no_inversion(k);
                }
            }
            break;
        case TargetRule::conditions:
            if (ts.empty()) {
                return Issue{"IF needs at least one condition rec[-k] or !rec[-k]", 0, true};
            }
            for (std::size_t k = 0; k < ts.size(); k++) {
                if (ts[k].kind != Target::Kind::record) {
                    return wrong_kind(k, "conditions rec[-k] or !rec[-k]");
                }
            }
            break;
    }
    return std::nullopt;
}

void append_unchecked(Circuit& c, Instruction&& op) {
    if (!c.instructions.empty()) {
        Instruction& last = c.instructions.back();
        if (last.gate == op.gate && gate_info(op.gate).fusable && last.args == op.args &&
            last.tag == op.tag) {
            last.targets.insert(last.targets.end(), op.targets.begin(), op.targets.end());
            return;
        }
    }
    c.instructions.push_back(std::move(op));
}

}  // namespace detail

namespace {

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) {
        throw CircuitError("count overflows 64 bits");
    }
    return r;
}

std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) {
        throw CircuitError("count overflows 64 bits");
    }
    return r;
}

const Circuit* body_of(const Circuit& c, const Instruction& op) {
    if (!gate_info(op.gate).block || op.body >= c.blocks.size()) {
        return nullptr;
    }
    return &c.blocks[op.body];
}

// Sum over instructions of per(op), REPEAT bodies multiplied by their count.
template <typename F>
std::uint64_t repeated_sum(const Circuit& c, const F& per) {
    std::uint64_t total = 0;
    for (const Instruction& op : c.instructions) {
        if (const Circuit* body = body_of(c, op)) {
            std::uint64_t inner = repeated_sum(*body, per);
            total = checked_add(
                total, op.gate == Gate::REPEAT ? checked_mul(inner, op.repeat_count) : inner);
        } else {
            total = checked_add(total, per(op));
        }
    }
    return total;
}

// Largest per(op) + 1 over all instructions, nested ones included; 0 if none.
template <typename F>
std::uint64_t max_plus_one(const Circuit& c, const F& per) {
    std::uint64_t best = 0;
    for (const Instruction& op : c.instructions) {
        if (const Circuit* body = body_of(c, op)) {
            best = std::max(best, max_plus_one(*body, per));
        } else {
            best = std::max(best, per(op));
        }
    }
    return best;
}

}  // namespace

std::uint64_t record_entries(const Instruction& op) {
    const GateInfo& g = gate_info(op.gate);
    if (!g.measurement) {
        return 0;
    }
    if (g.pauli_product) {
        std::uint64_t combiners = 0;
        for (const Target& t : op.targets) {
            combiners += t.kind == Target::Kind::combiner;
        }
        return op.targets.size() - 2 * combiners;
    }
    if (g.two_qubit) {
        return op.targets.size() / 2;
    }
    return op.targets.size();
}

bool Circuit::operator==(const Circuit& other) const {
    if (instructions.size() != other.instructions.size()) {
        return false;
    }
    for (std::size_t k = 0; k < instructions.size(); k++) {
        const Instruction& a = instructions[k];
        const Instruction& b = other.instructions[k];
        if (a.gate != b.gate || a.repeat_count != b.repeat_count || a.args != b.args ||
            a.targets != b.targets || a.tag != b.tag) {
            return false;
        }
        const Circuit* body_a = body_of(*this, a);
        const Circuit* body_b = body_of(other, b);
        if ((body_a == nullptr) != (body_b == nullptr)) {
            return false;
        }
        if (body_a != nullptr ? !(*body_a == *body_b) : a.body != b.body) {
            return false;
        }
    }
    return true;
}

std::uint64_t Circuit::num_qubits() const {
    return max_plus_one(*this, [](const Instruction& op) -> std::uint64_t {
        // MPAD's targets are bit values, yet they count here, as in stim.
        std::uint64_t best = 0;
        for (const Target& t : op.targets) {
            if (t.kind == Target::Kind::qubit || t.kind == Target::Kind::pauli) {
                best = std::max<std::uint64_t>(best, std::uint64_t{t.value} + 1);
            }
        }
        return best;
    });
}

std::uint64_t Circuit::num_measurements() const {
    return repeated_sum(*this, [](const Instruction& op) { return record_entries(op); });
}

std::uint64_t Circuit::num_detectors() const {
    return repeated_sum(*this, [](const Instruction& op) -> std::uint64_t {
        return op.gate == Gate::DETECTOR ? 1 : 0;
    });
}

std::uint64_t Circuit::num_observables() const {
    return max_plus_one(*this, [](const Instruction& op) -> std::uint64_t {
        if (op.gate != Gate::OBSERVABLE_INCLUDE || op.args.empty()) {
            return 0;
        }
        return static_cast<std::uint64_t>(op.args[0]) + 1;
    });
}

namespace detail {

std::optional<Issue> check_in_if(const GateInfo& g, std::span<const Target> targets) {
    if (g.block) {
        return Issue{std::string(g.name) + " cannot appear inside an IF block", 0, true};
    }
    if (!g.unitary) {
        return Issue{
            "only unitary Clifford gates may appear inside an IF block, not " + std::string(g.name),
            0, true};
    }
    for (std::size_t k = 0; k < targets.size(); k++) {
        if (targets[k].kind == Target::Kind::record || targets[k].kind == Target::Kind::sweep) {
            return Issue{"classically controlled gates cannot appear inside an IF block", k, false};
        }
    }
    return std::nullopt;
}

}  // namespace detail

void check_if_body(const Circuit& body) {
    for (const Instruction& op : body.instructions) {
        if (auto issue = detail::check_in_if(gate_info(op.gate), op.targets)) {
            throw CircuitError(issue->message);
        }
    }
}

void validate_instruction(const Instruction& op) {
    if (static_cast<std::size_t>(op.gate) >= kGateCount) {
        throw CircuitError("unknown gate");
    }
    const GateInfo& g = gate_info(op.gate);
    if (auto issue = detail::check_args(g, op.args)) {
        throw CircuitError(issue->message);
    }
    if (auto issue = detail::check_targets(g, op.targets)) {
        throw CircuitError(issue->message);
    }
    if (op.gate == Gate::REPEAT && (op.repeat_count == 0 || op.repeat_count > kMaxRepeatCount)) {
        throw CircuitError("REPEAT count must be in [1, 10^18], got " +
                           std::to_string(op.repeat_count));
    }
    if (op.gate != Gate::REPEAT && op.repeat_count != 0) {
        throw CircuitError("only REPEAT has a repeat count");
    }
    if (!g.block && op.body != 0) {
        throw CircuitError("only REPEAT and IF have a body");
    }
}

void Circuit::append(Instruction op) {
    for (double& a : op.args) {
        if (a == 0) {
            a = 0;  // -0.0 -> +0.0
        }
    }
    validate_instruction(op);
    if (gate_info(op.gate).block && op.body >= blocks.size()) {
        throw CircuitError("the body of a " + std::string(gate_info(op.gate).name) +
                           " instruction must index an existing block");
    }
    detail::append_unchecked(*this, std::move(op));
}

Circuit& Circuit::append_repeat(std::uint64_t count, std::string tag) {
    Instruction op;
    op.gate = Gate::REPEAT;
    op.repeat_count = count;
    op.tag = std::move(tag);
    validate_instruction(op);
    op.body = static_cast<std::uint32_t>(blocks.size());
    blocks.emplace_back();
    instructions.push_back(std::move(op));
    return blocks.back();
}

Circuit& Circuit::append_if(std::vector<Target> conditions, std::string tag) {
    Instruction op;
    op.gate = Gate::IF;
    op.targets = std::move(conditions);
    op.tag = std::move(tag);
    validate_instruction(op);
    op.body = static_cast<std::uint32_t>(blocks.size());
    blocks.emplace_back();
    instructions.push_back(std::move(op));
    return blocks.back();
}

std::string target_to_text(const Target& t) {
    return detail::target_text(t);
}

Target parse_target(std::string_view text) {
    const std::string_view whole = text;
    const auto bad = [&]() -> CircuitError {
        return CircuitError("'" + std::string(whole.substr(0, 40)) +
                            "' is not a target (expected a qubit such as 5 or !5, rec[-k], "
                            "sweep[k], a Pauli such as X3, or *)");
    };
    const auto number = [&](std::string_view digits, std::uint64_t limit) -> std::uint32_t {
        std::uint64_t value = 0;
        if (digits.empty() || digits.size() > 12) {
            throw bad();
        }
        for (char c : digits) {
            if (c < '0' || c > '9') {
                throw bad();
            }
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (value > limit) {
            throw bad();
        }
        return static_cast<std::uint32_t>(value);
    };
    if (text == "*") {
        return Target::combiner_target();
    }
    if (text.starts_with("sweep[") && text.ends_with("]")) {
        return Target::sweep_target(number(text.substr(6, text.size() - 7), kMaxQubit));
    }
    bool inverted = false;
    if (text.starts_with("!")) {
        inverted = true;
        text.remove_prefix(1);
    }
    if (text.starts_with("rec[-") && text.ends_with("]")) {
        const std::uint32_t k = number(text.substr(5, text.size() - 6), kMaxLookback);
        if (k == 0) {
            throw bad();
        }
        return Target::record_target(k, inverted);
    }
    if (!text.empty() && (text[0] == 'X' || text[0] == 'Y' || text[0] == 'Z' || text[0] == 'x' ||
                          text[0] == 'y' || text[0] == 'z')) {
        const char pauli = static_cast<char>(text[0] & ~0x20);
        return Target::pauli_target(pauli, number(text.substr(1), kMaxQubit), inverted);
    }
    return Target::qubit_target(number(text, kMaxQubit), inverted);
}

void append_circuit(Circuit& c, const Circuit& more) {
    for (const Instruction& op : more.instructions) {
        if (op.gate == Gate::REPEAT || op.gate == Gate::IF) {
            Circuit body = more.blocks[op.body];
            Circuit& fresh = op.gate == Gate::REPEAT ? c.append_repeat(op.repeat_count, op.tag)
                                                     : c.append_if(op.targets, op.tag);
            fresh = std::move(body);
        } else {
            c.append(op);
        }
    }
}

std::size_t nesting_depth(const Circuit& c) {
    std::size_t deepest = 0;
    for (const Circuit& body : c.blocks) {
        deepest = std::max(deepest, 1 + nesting_depth(body));
    }
    return deepest;
}

void check_nesting(const Circuit& c) {
    if (nesting_depth(c) > kMaxNesting) {
        throw CircuitError("blocks would nest deeper than " + std::to_string(kMaxNesting) +
                           " levels");
    }
}

}  // namespace lumora::circuit
