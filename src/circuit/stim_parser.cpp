// Parser for the stim circuit file format, plus lumora's IF blocks.
//
// One pass over the text with no recursion: open REPEAT / IF blocks live on
// an explicit stack bounded by kMaxNesting. Lines are parsed into scratch
// buffers that are reused across lines, so a target costs no allocation
// beyond the growth of its instruction's target list.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>

#include "circuit/circuit.hpp"
#include "circuit/validate.hpp"

namespace lumora::circuit {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_name_char(char c) {
    return is_alpha(c) || is_digit(c) || c == '_';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string quoted(std::string_view s) {
    std::string out = "'";
    out.append(s.substr(0, 40));
    out.append(s.size() > 40 ? "...'" : "'");
    return out;
}

std::string describe_char(char c) {
    if (c == '\n') {
        return "end of line";
    }
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) >= 127) {
        char buf[8];
        std::snprintf(buf, sizeof(buf), "0x%02X", static_cast<unsigned char>(c));
        return std::string("byte ") + buf;
    }
    std::string s(3, '\'');
    s[1] = c;
    return s;
}

class StimParser {
public:
    explicit StimParser(std::string_view text)
        : p_(text.data()), end_(text.data() + text.size()), line_start_(text.data()) {}

    Circuit parse() {
        Circuit root;
        stack_.push_back(Frame{&root, false, 0, 0});
        while (true) {
            skip_blanks();
            if (p_ == end_) {
                break;
            }
            char c = *p_;
            if (c == '\n') {
                newline();
            } else if (c == '#') {
                skip_comment();
            } else if (c == '\r') {
                expect_line_end();
            } else if (c == '}') {
                if (stack_.size() == 1) {
                    fail(p_, "'}' without a matching '{'");
                }
                stack_.pop_back();
                ++p_;
                expect_line_end();
            } else if (is_alpha(c)) {
                parse_line();
            } else {
                fail(p_,
                     "expected an instruction name, '}', a comment or the end of the line, got " +
                         describe_char(c));
            }
        }
        if (stack_.size() > 1) {
            const Frame& f = stack_.back();
            throw ParseError(f.line, f.column, "this block's '{' has no matching '}'");
        }
        return root;
    }

private:
    struct Frame {
        Circuit* circuit;
        bool in_if;
        std::size_t line;
        std::size_t column;
    };

    [[noreturn]] void fail(const char* at, const std::string& message) const {
        throw ParseError(line_, static_cast<std::size_t>(at - line_start_) + 1, message);
    }

    std::size_t column(const char* at) const {
        return static_cast<std::size_t>(at - line_start_) + 1;
    }

    void newline() {
        ++p_;
        ++line_;
        line_start_ = p_;
    }

    void skip_blanks() {
        const char* p = p_;
        while (p != end_ && is_blank(*p)) {
            ++p;
        }
        p_ = p;
    }

    void skip_comment() {
        const void* nl = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
        p_ = nl ? static_cast<const char*>(nl) : end_;
    }

    // After the content of a line: blanks, an optional comment, then a line
    // break or the end of the text (the '\n' itself is left for the caller).
    void expect_line_end() {
        skip_blanks();
        if (p_ == end_) {
            return;
        }
        char c = *p_;
        if (c == '#') {
            skip_comment();
            return;
        }
        if (c == '\n') {
            return;
        }
        if (c == '\r') {
            if (p_ + 1 != end_ && p_[1] == '\n') {
                ++p_;
                return;
            }
            fail(p_, "a carriage return must be followed by a line feed");
        }
        fail(p_, "expected the end of the line, got " + describe_char(c));
    }

    bool at_line_end() const { return p_ == end_ || *p_ == '\n' || *p_ == '\r' || *p_ == '#'; }

    // Digits as an unsigned integer no larger than limit (<= 10^18).
    [[gnu::always_inline]] std::uint64_t parse_uint(std::uint64_t limit, const char* what) {
        const char* const start = p_;
        const char* p = p_;  // a local, so the loop keeps it in a register
        std::uint64_t v = 0;
        // Up to 18 digits cannot overflow.
        const char* fast_end = end_ - p > 18 ? p + 18 : end_;
        while (p != fast_end && is_digit(*p)) {
            v = v * 10 + static_cast<std::uint64_t>(*p - '0');
            ++p;
        }
        if (p == start) {
            fail(p, std::string("expected ") + what);
        }
        // Longer numbers (rare): saturate once above the limit.
        while (p != end_ && is_digit(*p)) {
            if (v <= limit) {
                v = v * 10 + static_cast<std::uint64_t>(*p - '0');
            }
            ++p;
        }
        p_ = p;
        if (v > limit) {
            fail(start, std::string(what) + " above " + std::to_string(limit));
        }
        return v;
    }

    double parse_number() {
        const char* s = p_;
        if (s != end_ && (*s == '+' || *s == '-')) {
            ++s;
        }
        bool digit_next = s != end_ && is_digit(*s);
        bool point_digit = s + 1 < end_ && *s == '.' && is_digit(s[1]);
        if (!digit_next && !point_digit) {
            fail(p_, "expected a number");
        }
        double v = 0;
        auto [q, ec] = std::from_chars(s, end_, v, std::chars_format::general);
        if (ec == std::errc::result_out_of_range) {
            // Underflow reads as zero (or a subnormal); overflow is refused.
            std::string copy(s, q);
            v = std::strtod(copy.c_str(), nullptr);
            if (!std::isfinite(v)) {
                fail(p_, "number out of range");
            }
        } else if (ec != std::errc()) {
            fail(p_, "expected a number");
        }
        if (*p_ == '-') {
            v = -v;
        }
        p_ = q;
        return v == 0 ? 0.0 : v;
    }

    void parse_tag() {
        ++p_;  // '['
        const char* open = p_ - 1;
        while (true) {
            if (p_ == end_) {
                fail(open, "the tag has no closing ']'");
            }
            char c = *p_;
            if (c == ']') {
                ++p_;
                return;
            }
            if (c == '\n' || c == '\r') {
                fail(p_, "the tag has no closing ']' on its line (write \\n and \\r as escapes)");
            }
            if (c == '\\') {
                char e = p_ + 1 < end_ ? p_[1] : '\0';
                switch (e) {
                    case 'C':
                        tag_.push_back(']');
                        break;
                    case 'B':
                        tag_.push_back('\\');
                        break;
                    case 'n':
                        tag_.push_back('\n');
                        break;
                    case 'r':
                        tag_.push_back('\r');
                        break;
                    default:
                        fail(p_,
                             "unknown escape in tag (known: \\C for ']', \\B for '\\', \\n, \\r)");
                }
                p_ += 2;
                continue;
            }
            tag_.push_back(c);
            ++p_;
        }
    }

    void parse_args() {
        ++p_;  // '('
        while (true) {
            skip_blanks();
            arg_pos_.push_back(p_);
            args_.push_back(parse_number());
            skip_blanks();
            if (p_ != end_ && *p_ == ',') {
                ++p_;
            } else if (p_ != end_ && *p_ == ')') {
                ++p_;
                return;
            } else {
                fail(p_, "expected ',' or ')' after an argument");
            }
        }
    }

    bool starts_with(const char* lit, std::size_t n) const {
        return static_cast<std::size_t>(end_ - p_) >= n && std::memcmp(p_, lit, n) == 0;
    }

    [[gnu::always_inline]] Target parse_target() {
        const char* start = p_;
        bool inverted = false;
        if (*p_ == '!') {
            inverted = true;
            ++p_;
        }
        char c = p_ != end_ ? *p_ : '\0';
        if (is_digit(c)) {
            return Target::qubit_target(
                static_cast<std::uint32_t>(parse_uint(kMaxQubit, "qubit index")), inverted);
        }
        if ((c == 'X' || c == 'Y' || c == 'Z' || c == 'x' || c == 'y' || c == 'z') &&
            p_ + 1 < end_ && is_digit(p_[1])) {
            ++p_;
            char pauli = static_cast<char>(c & ~0x20);
            return Target::pauli_target(
                pauli, static_cast<std::uint32_t>(parse_uint(kMaxQubit, "qubit index")), inverted);
        }
        if (starts_with("rec[-", 5)) {
            p_ += 5;
            const char* k_at = p_;
            auto k = static_cast<std::uint32_t>(parse_uint(kMaxLookback, "record lookback"));
            if (k == 0) {
                fail(k_at, "rec[-0] is not a record; lookbacks start at rec[-1]");
            }
            if (p_ == end_ || *p_ != ']') {
                fail(p_, "expected ']' to close rec[-k]");
            }
            ++p_;
            return Target::record_target(k, inverted);
        }
        if (starts_with("sweep[", 6)) {
            p_ += 6;
            auto k = static_cast<std::uint32_t>(parse_uint(kMaxQubit, "sweep bit index"));
            if (p_ == end_ || *p_ != ']') {
                fail(p_, "expected ']' to close sweep[k]");
            }
            ++p_;
            if (inverted) {
                fail(start, "sweep targets cannot be inverted");
            }
            return Target::sweep_target(k);
        }
        fail(start,
             "expected a target (q, !q, rec[-k], sweep[k], a Pauli target like X3, or '*'), "
             "got " +
                 describe_char(c));
    }

    // Appends the targets up to the end of the line, a comment, or '{' to
    // out.
    void parse_targets(std::vector<Target>& out) {
        targets_at_ = p_;
        bool after_combiner = false;
        while (true) {
            const char* before = p_;
            skip_blanks();
            if (p_ == end_) {
                return;
            }
            char c = *p_;
            if (c == '\n' || c == '\r' || c == '#' || c == '{') {
                return;
            }
            if (c == '*') {
                out.push_back(Target::combiner_target());
                ++p_;
                after_combiner = true;
                continue;
            }
            if (p_ == before && !after_combiner) {
                fail(p_, "expected a space before the target, got " + describe_char(c));
            }
            after_combiner = false;
            out.push_back(parse_target());
            if (p_ != end_ && !is_blank(*p_) && *p_ != '*' && !at_line_end() && *p_ != '{') {
                fail(p_, "expected a space after the target, got " + describe_char(*p_));
            }
        }
    }

    // Where the index-th target of the line starts (error path only): the
    // targets parsed, so each ends at a blank, '*' or the end of the line.
    const char* target_position(std::size_t index) const {
        const char* p = targets_at_;
        for (std::size_t k = 0;; k++) {
            while (p != end_ && is_blank(*p)) {
                ++p;
            }
            if (k == index || p == end_) {
                return p;
            }
            if (*p == '*') {
                ++p;
                continue;
            }
            while (p != end_ && !is_blank(*p) && *p != '*' && *p != '\n' && *p != '\r' &&
                   *p != '#' && *p != '{') {
                ++p;
            }
        }
    }

    void check(const GateInfo& g, const char* name_at, const char* args_at,
               std::span<const Target> targets) {
        if (auto issue = detail::check_args(g, args_)) {
            fail(issue->whole || args_.empty() ? args_at : arg_pos_[issue->index], issue->message);
        }
        if (auto issue = detail::check_targets(g, targets, /*well_formed=*/true)) {
            fail(targets.empty() ? p_ : target_position(issue->index), issue->message);
        }
        if (stack_.back().in_if) {
            if (auto issue = detail::check_in_if(g, targets)) {
                fail(issue->whole ? name_at : target_position(issue->index), issue->message);
            }
        }
    }

    Circuit& open_block(const GateInfo& g, const char* name_at, const char* brace) {
        if (stack_.back().in_if) {
            fail(name_at, std::string(g.name) + " cannot appear inside an IF block");
        }
        if (stack_.size() > kMaxNesting) {
            fail(name_at,
                 "blocks are nested deeper than " + std::to_string(kMaxNesting) + " levels");
        }
        ++p_;  // '{'
        expect_line_end();
        Circuit& parent = *stack_.back().circuit;
        Instruction op;
        op.gate = g.gate;
        op.targets = targets_;
        op.tag = tag_;
        op.repeat_count = repeat_count_;
        op.body = static_cast<std::uint32_t>(parent.blocks.size());
        parent.instructions.push_back(std::move(op));
        parent.blocks.emplace_back();
        stack_.push_back(Frame{&parent.blocks.back(), g.gate == Gate::IF, line_, column(brace)});
        return parent.blocks.back();
    }

    void parse_line() {
        const char* name_at = p_;
        while (p_ != end_ && is_name_char(*p_)) {
            ++p_;
        }
        std::string_view name(name_at, static_cast<std::size_t>(p_ - name_at));
        const GateInfo* g = find_gate(name);
        if (g == nullptr) {
            fail(name_at, "unknown instruction " + quoted(name) + " (did you mean '" +
                              std::string(nearest_gate_name(name)) + "'?)");
        }
        tag_.clear();
        args_.clear();
        arg_pos_.clear();
        targets_.clear();
        repeat_count_ = 0;
        if (p_ != end_ && *p_ == '[') {
            parse_tag();
        }
        const char* args_at = p_;
        if (p_ != end_ && *p_ == '(') {
            parse_args();
        }
        if (g->gate == Gate::REPEAT) {
            if (!args_.empty()) {
                fail(args_at, "REPEAT takes no parens arguments; write REPEAT 100 {");
            }
            const char* before = p_;
            skip_blanks();
            if (p_ == before) {
                fail(p_, "expected a space and a repetition count after REPEAT");
            }
            const char* count_at = p_;
            repeat_count_ = parse_uint(kMaxRepeatCount, "repetition count");
            if (repeat_count_ == 0) {
                fail(count_at, "REPEAT count must be at least 1");
            }
            skip_blanks();
            if (p_ == end_ || *p_ != '{') {
                fail(p_, "expected '{' after the repetition count");
            }
            open_block(*g, name_at, p_);
            return;
        }
        if (g->gate == Gate::IF) {
            parse_targets(targets_);
            if (p_ == end_ || *p_ != '{') {
                fail(p_, "expected '{' after the IF conditions");
            }
            check(*g, name_at, args_at, targets_);
            open_block(*g, name_at, p_);
            return;
        }

        // Targets are parsed straight into the instruction they end up in:
        // the last one when this line fuses with it, else a new one.
        Circuit& c = *stack_.back().circuit;
        bool fuse = false;
        if (!c.instructions.empty()) {
            const Instruction& last = c.instructions.back();
            fuse = last.gate == g->gate && g->fusable && last.args == args_ && last.tag == tag_;
        }
        if (!fuse) {
            Instruction op;
            op.gate = g->gate;
            op.args = args_;
            op.tag = tag_;
            c.instructions.push_back(std::move(op));
        }
        std::vector<Target>& dest = c.instructions.back().targets;
        const std::size_t first = dest.size();
        parse_targets(dest);
        if (p_ != end_ && *p_ == '{') {
            fail(p_, "only REPEAT and IF open blocks");
        }
        expect_line_end();
        check(*g, name_at, args_at, std::span<const Target>(dest).subspan(first));
    }

    const char* p_;
    const char* end_;
    const char* line_start_;
    std::size_t line_ = 1;
    std::vector<Frame> stack_;

    // Scratch for the line being parsed.
    std::string tag_;
    std::vector<double> args_;
    std::vector<const char*> arg_pos_;
    std::vector<Target> targets_;
    const char* targets_at_ = nullptr;  // where the line's targets start
    std::uint64_t repeat_count_ = 0;
};

}  // namespace

Circuit parse_stim(std::string_view text) {
    return StimParser(text).parse();
}

}  // namespace lumora::circuit
