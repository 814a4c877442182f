// Canonical stim text.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "circuit/circuit.hpp"
#include "circuit/validate.hpp"

namespace lumora::circuit {
namespace {

// Blocks nested deeper than this are not indented further, which keeps the
// text linear in the size of the circuit.
constexpr std::size_t kMaxIndentLevels = 32;

// Buffered output: small writes go to a stack buffer flushed into the string.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { flush(); }

    void flush() {
        out_.append(buf_, n_);
        n_ = 0;
    }
    void put(char c) {
        room(1);
        buf_[n_++] = c;
    }
    void put(std::string_view s) {
        if (s.size() > 256) {
            flush();
            out_.append(s);
            return;
        }
        room(s.size());
        std::memcpy(buf_ + n_, s.data(), s.size());
        n_ += s.size();
    }
    void spaces(std::size_t count) {
        room(count);
        std::memset(buf_ + n_, ' ', count);
        n_ += count;
    }
    void put_uint(std::uint64_t v) {
        room(20);
        char tmp[20];
        std::size_t len = 0;
        do {
            tmp[len++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (len != 0) {
            buf_[n_++] = tmp[--len];
        }
    }
    void put_number(double v) {
        room(32);
        auto [end, ec] = std::to_chars(buf_ + n_, buf_ + n_ + 32, v);
        (void)ec;
        n_ = static_cast<std::size_t>(end - buf_);
    }

private:
    void room(std::size_t k) {
        if (n_ + k > sizeof(buf_)) {
            flush();
        }
    }

    std::string& out_;
    char buf_[16384];
    std::size_t n_ = 0;
};

void put_tag(Writer& w, const std::string& tag) {
    if (tag.empty()) {
        return;
    }
    w.put('[');
    for (char c : tag) {
        switch (c) {
            case ']':
                w.put("\\C");
                break;
            case '\\':
                w.put("\\B");
                break;
            case '\n':
                w.put("\\n");
                break;
            case '\r':
                w.put("\\r");
                break;
            default:
                w.put(c);
        }
    }
    w.put(']');
}

void put_target(Writer& w, const Target& t) {
    if (t.inverted) {
        w.put('!');
    }
    switch (t.kind) {
        case Target::Kind::qubit:
            w.put_uint(t.value);
            break;
        case Target::Kind::record:
            w.put("rec[-");
            w.put_uint(t.value);
            w.put(']');
            break;
        case Target::Kind::sweep:
            w.put("sweep[");
            w.put_uint(t.value);
            w.put(']');
            break;
        case Target::Kind::pauli:
            w.put(t.pauli);
            w.put_uint(t.value);
            break;
        case Target::Kind::combiner:
            w.put('*');
            break;
    }
}

void print(Writer& w, const Circuit& c, std::size_t depth) {
    const std::size_t indent = 4 * std::min(depth, kMaxIndentLevels);
    for (const Instruction& op : c.instructions) {
        const GateInfo& g = gate_info(op.gate);
        w.spaces(indent);
        w.put(g.name);
        put_tag(w, op.tag);
        if (!op.args.empty()) {
            w.put('(');
            for (std::size_t k = 0; k < op.args.size(); k++) {
                if (k) {
                    w.put(", ");
                }
                w.put_number(op.args[k]);
            }
            w.put(')');
        }
        if (op.gate == Gate::REPEAT) {
            w.put(' ');
            w.put_uint(op.repeat_count);
        }
        bool glue = false;
        for (const Target& t : op.targets) {
            bool is_combiner = t.kind == Target::Kind::combiner;
            if (!glue && !is_combiner) {
                w.put(' ');
            }
            put_target(w, t);
            glue = is_combiner;
        }
        if (g.block) {
            w.put(" {\n");
            if (op.body < c.blocks.size()) {
                print(w, c.blocks[op.body], depth + 1);
            }
            w.spaces(indent);
            w.put('}');
        }
        w.put('\n');
    }
}

}  // namespace

std::string to_stim_text(const Circuit& c) {
    std::string out;
    {
        Writer w(out);
        print(w, c, 0);
    }
    return out;
}

std::string instruction_to_text(const Instruction& op) {
    Circuit one;
    Instruction copy = op;
    if (copy.gate == Gate::REPEAT || copy.gate == Gate::IF) {
        copy.body = 0;
        one.blocks.emplace_back();
    }
    one.instructions.push_back(std::move(copy));
    std::string text = to_stim_text(one);
    text.resize(text.find('\n'));
    return text;
}

}  // namespace lumora::circuit
