// OpenQASM 2.0 to the stim data model.
//
// Gates are mapped to stim gates exactly (up to global phase). Parametrised
// gates are Clifford when their unitary maps X and Z to signed Paulis: the
// parser computes that unitary from the evaluated angles (each first snapped
// to the nearest multiple of pi/2 when within 1e-9) and looks the resulting
// tableau up in the gate table. User gates are expanded at use.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_map>

#include "circuit/circuit.hpp"
#include "circuit/validate.hpp"

namespace lumora::circuit {
namespace {

constexpr std::size_t kMaxExpressionDepth = 200;
// Gate applications (primitive or user-defined, after broadcasting and
// expansion) one parse may perform.
constexpr std::uint64_t kMaxApplications = std::uint64_t{1} << 24;
constexpr std::uint32_t kMaxDefinitionDepth = 200;
constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfPi = kPi / 2;
constexpr double kTolerance = 1e-9;

// ---------------------------------------------------------------- lexing

enum class Tok : std::uint8_t {
    end,
    ident,
    real,
    integer,
    string,
    semicolon,
    comma,
    lparen,
    rparen,
    lbracket,
    rbracket,
    lbrace,
    rbrace,
    arrow,
    eqeq,
    plus,
    minus,
    star,
    slash,
    caret,
};

struct Token {
    Tok kind = Tok::end;
    std::string_view text;
    std::size_t line = 1;
    std::size_t column = 1;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_ident_char(char c) {
    return is_ident_start(c) || is_digit(c);
}

class Lexer {
public:
    explicit Lexer(std::string_view text)
        : p_(text.data()), end_(text.data() + text.size()), line_start_(text.data()) {
        advance();
    }

    const Token& peek() const { return tok_; }

    Token next() {
        Token t = tok_;
        advance();
        return t;
    }

    [[noreturn]] static void fail(const Token& at, const std::string& message) {
        throw ParseError(at.line, at.column, message);
    }

private:
    void advance() {
        skip_space();
        tok_.line = line_;
        tok_.column = static_cast<std::size_t>(p_ - line_start_) + 1;
        const char* s = p_;
        if (p_ == end_) {
            tok_.kind = Tok::end;
            tok_.text = {};
            return;
        }
        char c = *p_;
        auto single = [&](Tok k) {
            ++p_;
            tok_.kind = k;
        };
        if (is_ident_start(c)) {
            while (p_ != end_ && is_ident_char(*p_)) {
                ++p_;
            }
            tok_.kind = Tok::ident;
        } else if (is_digit(c) || (c == '.' && p_ + 1 < end_ && is_digit(p_[1]))) {
            bool real = false;
            while (p_ != end_ && is_digit(*p_)) {
                ++p_;
            }
            if (p_ != end_ && *p_ == '.') {
                real = true;
                ++p_;
                while (p_ != end_ && is_digit(*p_)) {
                    ++p_;
                }
            }
            if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
                const char* q = p_ + 1;
                if (q != end_ && (*q == '+' || *q == '-')) {
                    ++q;
                }
                if (q != end_ && is_digit(*q)) {
                    real = true;
                    p_ = q;
                    while (p_ != end_ && is_digit(*p_)) {
                        ++p_;
                    }
                }
            }
            tok_.kind = real ? Tok::real : Tok::integer;
        } else if (c == '"') {
            ++p_;
            while (p_ != end_ && *p_ != '"' && *p_ != '\n') {
                ++p_;
            }
            if (p_ == end_ || *p_ != '"') {
                tok_.text = {};
                fail(tok_, "unterminated string");
            }
            ++p_;
            tok_.kind = Tok::string;
        } else if (c == '-' && p_ + 1 < end_ && p_[1] == '>') {
            p_ += 2;
            tok_.kind = Tok::arrow;
        } else if (c == '=' && p_ + 1 < end_ && p_[1] == '=') {
            p_ += 2;
            tok_.kind = Tok::eqeq;
        } else {
            switch (c) {
                case ';':
                    single(Tok::semicolon);
                    break;
                case ',':
                    single(Tok::comma);
                    break;
                case '(':
                    single(Tok::lparen);
                    break;
                case ')':
                    single(Tok::rparen);
                    break;
                case '[':
                    single(Tok::lbracket);
                    break;
                case ']':
                    single(Tok::rbracket);
                    break;
                case '{':
                    single(Tok::lbrace);
                    break;
                case '}':
                    single(Tok::rbrace);
                    break;
                case '+':
                    single(Tok::plus);
                    break;
                case '-':
                    single(Tok::minus);
                    break;
                case '*':
                    single(Tok::star);
                    break;
                case '/':
                    single(Tok::slash);
                    break;
                case '^':
                    single(Tok::caret);
                    break;
                default: {
                    tok_.text = {};
                    std::string what;
                    if (static_cast<unsigned char>(c) < 32 ||
                        static_cast<unsigned char>(c) >= 127) {
                        char buf[8];
                        std::snprintf(buf, sizeof(buf), "0x%02X", static_cast<unsigned char>(c));
                        what = std::string("byte ") + buf;
                    } else {
                        what = std::string(3, '\'');
                        what[1] = c;
                    }
                    fail(tok_, "unexpected character " + what);
                }
            }
        }
        tok_.text = std::string_view(s, static_cast<std::size_t>(p_ - s));
    }

    void skip_space() {
        while (p_ != end_) {
            char c = *p_;
            if (c == '\n') {
                ++p_;
                ++line_;
                line_start_ = p_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++p_;
            } else if (c == '/' && p_ + 1 < end_ && p_[1] == '/') {
                const void* nl = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
                p_ = nl ? static_cast<const char*>(nl) : end_;
            } else {
                return;
            }
        }
    }

    const char* p_;
    const char* end_;
    const char* line_start_;
    std::size_t line_ = 1;
    Token tok_;
};

// ------------------------------------------------------------ expressions

struct Expr {
    enum Op : std::uint8_t {
        number,
        param,
        neg,
        add,
        sub,
        mul,
        div,
        pow,
        sin,
        cos,
        tan,
        exp,
        ln,
        sqrt
    };
    Op op;
    std::uint32_t a = 0, b = 0;  // operands (indices into the arena) or the parameter index
    double value = 0;
    std::uint32_t depth = 1;
};

// ------------------------------------------------------------ matrices

using cd = std::complex<double>;
struct M2 {
    cd a, b, c, d;  // [[a, b], [c, d]]
};

M2 mul(const M2& x, const M2& y) {
    return {x.a * y.a + x.b * y.c, x.a * y.b + x.b * y.d, x.c * y.a + x.d * y.c,
            x.c * y.b + x.d * y.d};
}
M2 dagger(const M2& x) {
    return {std::conj(x.a), std::conj(x.c), std::conj(x.b), std::conj(x.d)};
}
M2 scale(cd s, const M2& x) {
    return {s * x.a, s * x.b, s * x.c, s * x.d};
}
double distance(const M2& x, const M2& y) {
    return std::max(
        {std::abs(x.a - y.a), std::abs(x.b - y.b), std::abs(x.c - y.c), std::abs(x.d - y.d)});
}

const M2 kPauliI{1, 0, 0, 1};
const M2 kPauliX{0, 1, 1, 0};
const M2 kPauliY{0, cd(0, -1), cd(0, 1), 0};
const M2 kPauliZ{1, 0, 0, -1};

// An angle within kTolerance of a multiple of pi/2 becomes exactly that
// multiple. (Not reduced modulo 2pi: half angles of controlled gates would
// change sign.)
double snap(double angle) {
    double q = std::nearbyint(angle / kHalfPi);
    if (std::isfinite(q) && std::fabs(angle - q * kHalfPi) <= kTolerance) {
        return q * kHalfPi;
    }
    return angle;
}

// U(theta, phi, lambda) = Rz(phi) Ry(theta) Rz(lambda) up to global phase.
M2 u3_matrix(double theta, double phi, double lambda) {
    theta = snap(theta);
    phi = snap(phi);
    lambda = snap(lambda);
    double c = std::cos(theta / 2), s = std::sin(theta / 2);
    return {c, -std::polar(1.0, lambda) * s, std::polar(1.0, phi) * s,
            std::polar(1.0, phi + lambda) * c};
}

// "+X", "-Z", ... when m is a signed Pauli.
std::optional<std::string> signed_pauli(const M2& m) {
    static const std::pair<const M2*, char> paulis[] = {
        {&kPauliX, 'X'}, {&kPauliY, 'Y'}, {&kPauliZ, 'Z'}};
    for (auto [p, name] : paulis) {
        if (distance(m, *p) <= kTolerance) {
            return std::string("+") + name;
        }
        if (distance(m, scale(-1, *p)) <= kTolerance) {
            return std::string("-") + name;
        }
    }
    return std::nullopt;
}

const GateInfo* clifford_1q(const M2& u) {
    auto x = signed_pauli(mul(mul(u, kPauliX), dagger(u)));
    auto z = signed_pauli(mul(mul(u, kPauliZ), dagger(u)));
    if (!x || !z) {
        return nullptr;
    }
    return find_1q_gate_by_tableau(*x, *z);
}

// v == i^phase * P for a Pauli P ('I', 'X', 'Y', 'Z').
struct PhasedPauli {
    char pauli;
    int phase;
};
std::optional<PhasedPauli> phased_pauli(const M2& v) {
    static const std::pair<const M2*, char> paulis[] = {
        {&kPauliI, 'I'}, {&kPauliX, 'X'}, {&kPauliY, 'Y'}, {&kPauliZ, 'Z'}};
    static const cd phases[] = {cd(1, 0), cd(0, 1), cd(-1, 0), cd(0, -1)};
    for (auto [p, name] : paulis) {
        for (int k = 0; k < 4; k++) {
            if (distance(v, scale(phases[k], *p)) <= kTolerance) {
                return PhasedPauli{name, k};
            }
        }
    }
    return std::nullopt;
}

// ------------------------------------------------------------- gates

enum class Builtin : std::uint8_t {
    user,
    opaque,
    U,
    CX,  // the language's own
    id,
    u0,
    x,
    y,
    z,
    h,
    s,
    sdg,
    sx,
    sxdg,
    u3,
    u,
    u2,
    u1,
    p,
    rx,
    ry,
    rz,
    cx,
    cy,
    cz,
    swap,
    cu1,
    cp,
    crz,
    crx,
    cry,
    cu3,
    cu,
    rzz,
    rxx,
    never_clifford,  // t, tdg, ch, csx, ccx, cswap, rccx, rc3x, c3x, c3sqrtx, c4x
};

struct BodyOp {
    std::uint32_t gate;
    std::vector<std::uint32_t> params;  // expression roots
    std::vector<std::uint32_t> qubits;  // formal qubit indices
    bool barrier = false;
};

struct GateDef {
    std::string name;
    Builtin kind;
    std::uint32_t num_params;
    std::uint32_t num_qubits;
    std::vector<BodyOp> body;
    std::uint32_t depth = 0;  // nesting of user definitions below this one
    std::size_t line = 0;     // where a user gate was defined
};

struct QelibEntry {
    const char* name;
    Builtin kind;
    std::uint32_t params;
    std::uint32_t qubits;
};

constexpr QelibEntry kQelib[] = {
    {"id", Builtin::id, 0, 1},
    {"u0", Builtin::u0, 1, 1},
    {"x", Builtin::x, 0, 1},
    {"y", Builtin::y, 0, 1},
    {"z", Builtin::z, 0, 1},
    {"h", Builtin::h, 0, 1},
    {"s", Builtin::s, 0, 1},
    {"sdg", Builtin::sdg, 0, 1},
    {"sx", Builtin::sx, 0, 1},
    {"sxdg", Builtin::sxdg, 0, 1},
    {"u3", Builtin::u3, 3, 1},
    {"u", Builtin::u, 3, 1},
    {"u2", Builtin::u2, 2, 1},
    {"u1", Builtin::u1, 1, 1},
    {"p", Builtin::p, 1, 1},
    {"rx", Builtin::rx, 1, 1},
    {"ry", Builtin::ry, 1, 1},
    {"rz", Builtin::rz, 1, 1},
    {"cx", Builtin::cx, 0, 2},
    {"cy", Builtin::cy, 0, 2},
    {"cz", Builtin::cz, 0, 2},
    {"swap", Builtin::swap, 0, 2},
    {"cu1", Builtin::cu1, 1, 2},
    {"cp", Builtin::cp, 1, 2},
    {"crz", Builtin::crz, 1, 2},
    {"crx", Builtin::crx, 1, 2},
    {"cry", Builtin::cry, 1, 2},
    {"cu3", Builtin::cu3, 3, 2},
    {"cu", Builtin::cu, 4, 2},
    {"rzz", Builtin::rzz, 1, 2},
    {"rxx", Builtin::rxx, 1, 2},
    {"t", Builtin::never_clifford, 0, 1},
    {"tdg", Builtin::never_clifford, 0, 1},
    {"ch", Builtin::never_clifford, 0, 2},
    {"csx", Builtin::never_clifford, 0, 2},
    {"ccx", Builtin::never_clifford, 0, 3},
    {"cswap", Builtin::never_clifford, 0, 3},
    {"rccx", Builtin::never_clifford, 0, 3},
    {"rc3x", Builtin::never_clifford, 0, 4},
    {"c3x", Builtin::never_clifford, 0, 4},
    {"c3sqrtx", Builtin::never_clifford, 0, 4},
    {"c4x", Builtin::never_clifford, 0, 5},
};

struct Register {
    std::uint32_t offset;  // first qubit (qreg) or bit (creg)
    std::uint32_t size;
    bool quantum;
    std::map<std::uint32_t, std::uint64_t> last_record;  // creg bit -> record index
};

// A statement argument: a whole register or one of its elements.
struct Arg {
    Register* reg;
    std::optional<std::uint32_t> index;
    Token at;
};

class QasmParser {
public:
    explicit QasmParser(std::string_view text) : lex_(text) {
        add_gate(GateDef{"U", Builtin::U, 3, 1, {}, 0, 0});
        add_gate(GateDef{"CX", Builtin::CX, 0, 2, {}, 0, 0});
    }

    Circuit parse() {
        Token t = expect_ident("'OPENQASM 2.0;' at the start");
        if (t.text != "OPENQASM") {
            Lexer::fail(t, "expected 'OPENQASM 2.0;' at the start");
        }
        Token v = lex_.next();
        if ((v.kind != Tok::real && v.kind != Tok::integer) ||
            std::strtod(std::string(v.text).c_str(), nullptr) != 2.0) {
            Lexer::fail(v, "only OpenQASM version 2.0 is supported");
        }
        expect(Tok::semicolon, "';'");
        while (lex_.peek().kind != Tok::end) {
            statement();
        }
        return std::move(root_);
    }

private:
    // ------------------------------------------------------- token helpers

    Token expect(Tok kind, const char* what) {
        if (lex_.peek().kind != kind) {
            Lexer::fail(lex_.peek(),
                        std::string("expected ") + what + ", got " + describe(lex_.peek()));
        }
        return lex_.next();
    }

    Token expect_ident(const char* what) { return expect(Tok::ident, what); }

    bool accept(Tok kind) {
        if (lex_.peek().kind == kind) {
            lex_.next();
            return true;
        }
        return false;
    }

    static std::string describe(const Token& t) {
        if (t.kind == Tok::end) {
            return "the end of the text";
        }
        std::string s(t.text.substr(0, 40));
        return "'" + s + "'";
    }

    std::uint64_t parse_integer(const Token& t, std::uint64_t limit, const char* what) {
        if (t.kind != Tok::integer) {
            Lexer::fail(t, std::string("expected ") + what + " (a non-negative integer), got " +
                               describe(t));
        }
        std::uint64_t v = 0;
        for (char c : t.text) {
            if (v > (limit - static_cast<std::uint64_t>(c - '0')) / 10) {
                Lexer::fail(t, std::string(what) + " above " + std::to_string(limit));
            }
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return v;
    }

    // ------------------------------------------------------- expressions

    std::uint32_t node(Expr e, const Token& at) {
        if (e.depth > kMaxExpressionDepth) {
            Lexer::fail(at, "expression nested too deeply");
        }
        exprs_.push_back(e);
        return static_cast<std::uint32_t>(exprs_.size() - 1);
    }

    std::uint32_t binary(Expr::Op op, std::uint32_t a, std::uint32_t b, const Token& at) {
        Expr e{op, a, b, 0, 1 + std::max(exprs_[a].depth, exprs_[b].depth)};
        return node(e, at);
    }

    // expr := term (('+' | '-') term)*
    std::uint32_t expression(const std::vector<std::string_view>& params, std::size_t nesting) {
        if (nesting > kMaxExpressionDepth) {
            Lexer::fail(lex_.peek(), "expression nested too deeply");
        }
        std::uint32_t left = term(params, nesting);
        while (lex_.peek().kind == Tok::plus || lex_.peek().kind == Tok::minus) {
            Token op = lex_.next();
            std::uint32_t right = term(params, nesting);
            left = binary(op.kind == Tok::plus ? Expr::add : Expr::sub, left, right, op);
        }
        return left;
    }

    // term := unary (('*' | '/') unary)*
    std::uint32_t term(const std::vector<std::string_view>& params, std::size_t nesting) {
        std::uint32_t left = unary(params, nesting);
        while (lex_.peek().kind == Tok::star || lex_.peek().kind == Tok::slash) {
            Token op = lex_.next();
            std::uint32_t right = unary(params, nesting);
            left = binary(op.kind == Tok::star ? Expr::mul : Expr::div, left, right, op);
        }
        return left;
    }

    // unary := '-' unary | power
    std::uint32_t unary(const std::vector<std::string_view>& params, std::size_t nesting) {
        if (nesting > kMaxExpressionDepth) {
            Lexer::fail(lex_.peek(), "expression nested too deeply");
        }
        if (lex_.peek().kind == Tok::minus) {
            Token op = lex_.next();
            std::uint32_t a = unary(params, nesting + 1);
            return node(Expr{Expr::neg, a, 0, 0, exprs_[a].depth + 1}, op);
        }
        if (lex_.peek().kind == Tok::plus) {
            lex_.next();
            return unary(params, nesting + 1);
        }
        return power(params, nesting);
    }

    // power := primary ('^' unary)?   (right associative)
    std::uint32_t power(const std::vector<std::string_view>& params, std::size_t nesting) {
        std::uint32_t base = primary(params, nesting);
        if (lex_.peek().kind == Tok::caret) {
            Token op = lex_.next();
            std::uint32_t exponent = unary(params, nesting + 1);
            return binary(Expr::pow, base, exponent, op);
        }
        return base;
    }

    std::uint32_t primary(const std::vector<std::string_view>& params, std::size_t nesting) {
        Token t = lex_.next();
        switch (t.kind) {
            case Tok::integer:
            case Tok::real: {
                std::string s(t.text);
                return node(Expr{Expr::number, 0, 0, std::strtod(s.c_str(), nullptr), 1}, t);
            }
            case Tok::lparen: {
                std::uint32_t e = expression(params, nesting + 1);
                expect(Tok::rparen, "')'");
                return e;
            }
            case Tok::ident: {
                if (t.text == "pi") {
                    return node(Expr{Expr::number, 0, 0, kPi, 1}, t);
                }
                static const std::pair<std::string_view, Expr::Op> functions[] = {
                    {"sin", Expr::sin}, {"cos", Expr::cos}, {"tan", Expr::tan},
                    {"exp", Expr::exp}, {"ln", Expr::ln},   {"sqrt", Expr::sqrt}};
                for (auto [name, op] : functions) {
                    if (t.text == name) {
                        expect(Tok::lparen, "'(' after a function name");
                        std::uint32_t a = expression(params, nesting + 1);
                        expect(Tok::rparen, "')'");
                        return node(Expr{op, a, 0, 0, exprs_[a].depth + 1}, t);
                    }
                }
                for (std::size_t k = 0; k < params.size(); k++) {
                    if (params[k] == t.text) {
                        return node(Expr{Expr::param, static_cast<std::uint32_t>(k), 0, 0, 1}, t);
                    }
                }
                Lexer::fail(t, "unknown identifier " + describe(t) + " in an expression");
            }
            default:
                Lexer::fail(t, "expected an expression, got " + describe(t));
        }
    }

    double evaluate(std::uint32_t k, const std::vector<double>& env) const {
        const Expr& e = exprs_[k];
        switch (e.op) {
            case Expr::number:
                return e.value;
            case Expr::param:
                return env[e.a];
            case Expr::neg:
                return -evaluate(e.a, env);
            case Expr::add:
                return evaluate(e.a, env) + evaluate(e.b, env);
            case Expr::sub:
                return evaluate(e.a, env) - evaluate(e.b, env);
            case Expr::mul:
                return evaluate(e.a, env) * evaluate(e.b, env);
            case Expr::div:
                return evaluate(e.a, env) / evaluate(e.b, env);
            case Expr::pow:
                return std::pow(evaluate(e.a, env), evaluate(e.b, env));
            case Expr::sin:
                return std::sin(evaluate(e.a, env));
            case Expr::cos:
                return std::cos(evaluate(e.a, env));
            case Expr::tan:
                return std::tan(evaluate(e.a, env));
            case Expr::exp:
                return std::exp(evaluate(e.a, env));
            case Expr::ln:
                return std::log(evaluate(e.a, env));
            case Expr::sqrt:
                return std::sqrt(evaluate(e.a, env));
        }
        return 0;
    }

    // Parenthesised expression list, possibly empty: '(' [expr (',' expr)*] ')'.
    std::vector<std::uint32_t> expression_list(const std::vector<std::string_view>& params) {
        std::vector<std::uint32_t> out;
        expect(Tok::lparen, "'('");
        if (accept(Tok::rparen)) {
            return out;
        }
        do {
            out.push_back(expression(params, 0));
        } while (accept(Tok::comma));
        expect(Tok::rparen, "')' or ','");
        return out;
    }

    // ----------------------------------------------------- declarations

    void add_gate(GateDef def) {
        std::string name = def.name;
        gates_.push_back(std::move(def));
        gate_ids_[name] = static_cast<std::uint32_t>(gates_.size() - 1);
    }

    void check_new_name(const Token& t) {
        std::string name(t.text);
        if (gate_ids_.count(name) || registers_.count(name)) {
            Lexer::fail(t, "'" + name + "' is already defined");
        }
    }

    void statement() {
        Token t = lex_.peek();
        if (t.kind != Tok::ident) {
            Lexer::fail(t, "expected a statement, got " + describe(t));
        }
        if (t.text == "include") {
            include();
        } else if (t.text == "qreg" || t.text == "creg") {
            declare_register();
        } else if (t.text == "gate") {
            gate_definition(false);
        } else if (t.text == "opaque") {
            gate_definition(true);
        } else if (t.text == "barrier") {
            lex_.next();
            require_kind(arguments(), true);
            expect(Tok::semicolon, "';'");
            append(root_, Gate::TICK, {});
        } else if (t.text == "if") {
            conditional();
        } else {
            quantum_operation(root_, nullptr);
        }
    }

    void include() {
        lex_.next();
        Token file = expect(Tok::string, "a file name in double quotes");
        if (file.text != "\"qelib1.inc\"") {
            Lexer::fail(file, "only include \"qelib1.inc\" is supported");
        }
        expect(Tok::semicolon, "';'");
        if (included_) {
            return;
        }
        included_ = true;
        for (const QelibEntry& e : kQelib) {
            if (gate_ids_.count(e.name)) {
                Lexer::fail(file, std::string("qelib1.inc defines '") + e.name +
                                      "', which is already defined");
            }
            add_gate(GateDef{e.name, e.kind, e.params, e.qubits, {}, 0, 0});
        }
    }

    void declare_register() {
        bool quantum = lex_.next().text == "qreg";
        Token name = expect_ident("a register name");
        check_new_name(name);
        expect(Tok::lbracket, "'['");
        Token size_tok = lex_.next();
        std::uint64_t size = parse_integer(size_tok, 4294967295u, "register size");
        if (size == 0) {
            Lexer::fail(size_tok, "a register needs at least one bit");
        }
        expect(Tok::rbracket, "']'");
        expect(Tok::semicolon, "';'");
        std::uint64_t& used = quantum ? qubits_used_ : bits_used_;
        if (used + size > (quantum ? std::uint64_t{kMaxQubit} + 1 : 4294967295u)) {
            Lexer::fail(size_tok, quantum ? "more than 4294967295 qubits declared"
                                          : "more than 4294967295 classical bits declared");
        }
        Register r{static_cast<std::uint32_t>(used), static_cast<std::uint32_t>(size), quantum, {}};
        used += size;
        registers_.emplace(std::string(name.text), std::move(r));
    }

    void gate_definition(bool opaque) {
        lex_.next();
        Token name = expect_ident("a gate name");
        check_new_name(name);
        std::vector<std::string_view> params;
        if (accept(Tok::lparen)) {
            if (!accept(Tok::rparen)) {
                do {
                    Token p = expect_ident("a parameter name");
                    for (auto q : params) {
                        if (q == p.text) {
                            Lexer::fail(p, "parameter '" + std::string(p.text) + "' repeated");
                        }
                    }
                    params.push_back(p.text);
                } while (accept(Tok::comma));
                expect(Tok::rparen, "')' or ','");
            }
        }
        std::vector<std::string_view> qubits;
        do {
            Token q = expect_ident("a qubit argument name");
            for (auto o : qubits) {
                if (o == q.text) {
                    Lexer::fail(q, "qubit argument '" + std::string(q.text) + "' repeated");
                }
            }
            qubits.push_back(q.text);
        } while (accept(Tok::comma));
        GateDef def{std::string(name.text),
                    opaque ? Builtin::opaque : Builtin::user,
                    static_cast<std::uint32_t>(params.size()),
                    static_cast<std::uint32_t>(qubits.size()),
                    {},
                    0,
                    name.line};
        if (opaque) {
            expect(Tok::semicolon, "';'");
            add_gate(std::move(def));
            return;
        }
        expect(Tok::lbrace, "'{'");
        while (!accept(Tok::rbrace)) {
            Token op = expect_ident("a gate, 'barrier' or '}'");
            BodyOp body_op{};
            std::vector<std::uint32_t> param_exprs;
            if (op.text == "barrier") {
                body_op.barrier = true;
            } else {
                auto it = gate_ids_.find(std::string(op.text));
                if (it == gate_ids_.end()) {
                    Lexer::fail(op, op.text == name.text
                                        ? "gate '" + std::string(op.text) + "' cannot use itself"
                                        : undefined_gate_message(op.text));
                }
                body_op.gate = it->second;
                if (lex_.peek().kind == Tok::lparen) {
                    param_exprs = expression_list(params);
                }
                const GateDef& callee = gates_[body_op.gate];
                if (param_exprs.size() != callee.num_params) {
                    Lexer::fail(op, arity_message(callee, param_exprs.size(), "parameter"));
                }
                def.depth = std::max(def.depth, callee.depth + 1);
                if (def.depth > kMaxDefinitionDepth) {
                    Lexer::fail(op, "gate definitions nested deeper than 200 levels");
                }
            }
            body_op.params = std::move(param_exprs);
            do {
                Token q = expect_ident("a qubit argument of the gate");
                std::uint32_t k = 0;
                while (k < qubits.size() && qubits[k] != q.text) {
                    k++;
                }
                if (k == qubits.size()) {
                    Lexer::fail(q, "'" + std::string(q.text) +
                                       "' is not a qubit argument of gate '" + def.name + "'");
                }
                for (std::uint32_t o : body_op.qubits) {
                    if (o == k) {
                        Lexer::fail(q,
                                    "qubit '" + std::string(q.text) + "' used twice in one gate");
                    }
                }
                body_op.qubits.push_back(k);
            } while (accept(Tok::comma));
            expect(Tok::semicolon, "';'");
            if (!body_op.barrier && body_op.qubits.size() != gates_[body_op.gate].num_qubits) {
                Lexer::fail(op,
                            arity_message(gates_[body_op.gate], body_op.qubits.size(), "qubit"));
            }
            def.body.push_back(std::move(body_op));
        }
        add_gate(std::move(def));
    }

    std::string undefined_gate_message(std::string_view name) const {
        std::string msg = "undefined gate '" + std::string(name) + "'";
        if (!included_) {
            for (const QelibEntry& e : kQelib) {
                if (name == e.name) {
                    return msg + " (missing include \"qelib1.inc\"?)";
                }
            }
        }
        return msg;
    }

    static std::string arity_message(const GateDef& g, std::size_t got, const char* what) {
        std::size_t want = std::string_view(what) == "qubit" ? g.num_qubits : g.num_params;
        return "gate '" + g.name + "' takes " + std::to_string(want) + " " + what +
               (want == 1 ? "" : "s") + ", got " + std::to_string(got);
    }

    // ----------------------------------------------------- statements

    std::vector<Arg> arguments() {
        std::vector<Arg> args;
        do {
            Token name = expect_ident("a register");
            auto it = registers_.find(std::string(name.text));
            if (it == registers_.end()) {
                Lexer::fail(name, "undefined register '" + std::string(name.text) + "'");
            }
            Arg a{&it->second, std::nullopt, name};
            if (accept(Tok::lbracket)) {
                Token index = lex_.next();
                std::uint64_t i = parse_integer(index, 4294967295u, "index");
                if (i >= a.reg->size) {
                    Lexer::fail(index, "index " + std::to_string(i) + " is outside register '" +
                                           std::string(name.text) + "' of size " +
                                           std::to_string(a.reg->size));
                }
                a.index = static_cast<std::uint32_t>(i);
                expect(Tok::rbracket, "']'");
            }
            args.push_back(a);
        } while (accept(Tok::comma));
        return args;
    }

    // The number of applications a broadcast statement makes (1 when every
    // argument is indexed).
    std::uint32_t broadcast_size(const std::vector<Arg>& args) {
        std::optional<std::uint32_t> size;
        for (const Arg& a : args) {
            if (!a.index) {
                if (size && *size != a.reg->size) {
                    Lexer::fail(a.at, "registers of different sizes in one statement");
                }
                size = a.reg->size;
            }
        }
        return size.value_or(1);
    }

    static std::uint32_t element(const Arg& a, std::uint32_t k) {
        return a.reg->offset + (a.index ? *a.index : k);
    }

    void require_kind(const std::vector<Arg>& args, bool quantum) {
        for (const Arg& a : args) {
            if (a.reg->quantum != quantum) {
                Lexer::fail(a.at, "'" + std::string(a.at.text) + "' is a " +
                                      (a.reg->quantum ? "quantum" : "classical") +
                                      " register, expected a " +
                                      (quantum ? "quantum" : "classical") + " one");
            }
        }
    }

    void charge(std::uint64_t n, const Token& at) {
        applications_ += n;
        if (applications_ > kMaxApplications) {
            Lexer::fail(at, "the program expands to more than 2^24 gate applications");
        }
    }

    // A gate call, measure or reset at the top level (out == &root_) or as
    // the body of an if (conditional != nullptr).
    void quantum_operation(Circuit& out, const Token* conditional) {
        Token op = lex_.next();
        if (op.text == "measure" || op.text == "reset") {
            if (conditional) {
                Lexer::fail(op, "'" + std::string(op.text) +
                                    "' cannot be conditioned by if; only gates can");
            }
            if (op.text == "reset") {
                std::vector<Arg> args = arguments();
                expect(Tok::semicolon, "';'");
                require_kind(args, true);
                if (args.size() != 1) {
                    Lexer::fail(op, "reset takes one argument");
                }
                std::uint32_t n = broadcast_size(args);
                charge(n, op);
                for (std::uint32_t k = 0; k < n; k++) {
                    append(out, Gate::R, {element(args[0], k)});
                }
                return;
            }
            std::vector<Arg> qs = arguments();
            expect(Tok::arrow, "'->'");
            std::vector<Arg> cs = arguments();
            expect(Tok::semicolon, "';'");
            if (qs.size() != 1 || cs.size() != 1) {
                Lexer::fail(op, "measure takes one qubit argument and one bit argument");
            }
            require_kind(qs, true);
            require_kind(cs, false);
            std::vector<Arg> both{qs[0], cs[0]};
            if (qs[0].index.has_value() != cs[0].index.has_value()) {
                Lexer::fail(op,
                            "measure needs two registers of equal size or two indexed elements");
            }
            std::uint32_t n = broadcast_size(both);
            charge(n, op);
            for (std::uint32_t k = 0; k < n; k++) {
                append(out, Gate::M, {element(qs[0], k)});
                std::uint32_t bit = cs[0].index ? *cs[0].index : k;
                cs[0].reg->last_record[bit] = measurements_++;
            }
            return;
        }
        if (op.kind != Tok::ident) {
            Lexer::fail(op, "expected a statement, got " + describe(op));
        }
        auto it = gate_ids_.find(std::string(op.text));
        if (it == gate_ids_.end()) {
            Lexer::fail(op, undefined_gate_message(op.text));
        }
        const GateDef& g = gates_[it->second];
        std::vector<std::uint32_t> param_exprs;
        if (lex_.peek().kind == Tok::lparen) {
            param_exprs = expression_list({});
        }
        if (param_exprs.size() != g.num_params) {
            Lexer::fail(op, arity_message(g, param_exprs.size(), "parameter"));
        }
        std::vector<Arg> args = arguments();
        expect(Tok::semicolon, "';'");
        require_kind(args, true);
        if (args.size() != g.num_qubits) {
            Lexer::fail(op, arity_message(g, args.size(), "qubit"));
        }
        std::vector<double> values;
        for (std::uint32_t e : param_exprs) {
            values.push_back(evaluate(e, {}));
        }
        std::uint32_t n = broadcast_size(args);
        charge(n, op);
        std::vector<std::uint32_t> qubits(args.size());
        for (std::uint32_t k = 0; k < n; k++) {
            for (std::size_t j = 0; j < args.size(); j++) {
                qubits[j] = element(args[j], k);
                for (std::size_t i = 0; i < j; i++) {
                    if (qubits[i] == qubits[j]) {
                        Lexer::fail(args[j].at, "gate '" + g.name + "' given the same qubit twice");
                    }
                }
            }
            apply(out, it->second, values, qubits, op, nullptr);
        }
    }

    void conditional() {
        Token if_tok = lex_.next();
        expect(Tok::lparen, "'('");
        Token name = expect_ident("a classical register");
        auto it = registers_.find(std::string(name.text));
        if (it == registers_.end() || it->second.quantum) {
            Lexer::fail(name, "'" + std::string(name.text) + "' is not a classical register");
        }
        expect(Tok::eqeq, "'=='");
        Token value_tok = lex_.next();
        std::uint64_t value = parse_integer(value_tok, ~std::uint64_t{0}, "comparison value");
        expect(Tok::rparen, "')'");
        const Register& reg = it->second;
        charge(reg.last_record.size(), if_tok);  // the work of listing the conditions

        // The body runs iff every bit of the register equals the value's bit.
        bool possible = reg.size >= 64 || (value >> reg.size) == 0;
        std::vector<Target> conditions;
        for (std::uint32_t bit = 0; bit < 64 && bit < reg.size && possible; bit++) {
            if (((value >> bit) & 1) && !reg.last_record.count(bit)) {
                possible = false;  // a never-measured bit stays 0
            }
        }
        for (auto [bit, record] : reg.last_record) {
            bool want = bit < 64 && ((value >> bit) & 1);
            std::uint64_t lookback = measurements_ - record;
            if (lookback > kMaxLookback) {
                Lexer::fail(name, "the condition looks back more than 2^31 measurements");
            }
            conditions.push_back(
                Target::record_target(static_cast<std::uint32_t>(lookback), !want));
        }
        Circuit body;
        quantum_operation(body, &if_tok);
        if (!possible || body.instructions.empty()) {
            return;
        }
        if (conditions.empty()) {
            for (Instruction& op : body.instructions) {
                detail::append_unchecked(root_, std::move(op));
            }
            return;
        }
        Instruction op;
        op.gate = Gate::IF;
        op.targets = std::move(conditions);
        op.body = static_cast<std::uint32_t>(root_.blocks.size());
        root_.blocks.push_back(std::move(body));
        root_.instructions.push_back(std::move(op));
    }

    // ----------------------------------------------------- expansion

    static void append(Circuit& out, Gate g, std::initializer_list<std::uint32_t> qubits) {
        Instruction op;
        op.gate = g;
        for (std::uint32_t q : qubits) {
            op.targets.push_back(Target::qubit_target(q));
        }
        detail::append_unchecked(out, std::move(op));
    }

    [[noreturn]] void not_clifford(const Token& at, const GateDef& g, const GateDef* inside,
                                   const std::string& detail) {
        std::string msg = "gate '" + g.name + "'" + detail + " is not a Clifford operation";
        if (inside) {
            msg += " (used inside gate '" + inside->name + "' defined at line " +
                   std::to_string(inside->line) + ")";
        }
        Lexer::fail(at, msg);
    }

    static std::string angles_text(const std::vector<double>& params) {
        std::string s = "(";
        for (std::size_t k = 0; k < params.size(); k++) {
            if (k) {
                s += ", ";
            }
            detail::append_number(s, params[k]);
        }
        return s + ")";
    }

    void apply_1q_matrix(Circuit& out, const M2& u, std::uint32_t q, const Token& at,
                         const GateDef& g, const std::vector<double>& params,
                         const GateDef* inside) {
        const GateInfo* info = clifford_1q(u);
        if (info == nullptr) {
            not_clifford(at, g, inside, " at angles " + angles_text(params));
        }
        append(out, info->gate, {q});
    }

    // Controlled-v on (control, target), Clifford iff v is a Pauli times a
    // power of i.
    void apply_controlled(Circuit& out, const M2& v, std::uint32_t control, std::uint32_t target,
                          const Token& at, const GateDef& g, const std::vector<double>& params,
                          const GateDef* inside) {
        auto pp = phased_pauli(v);
        if (!pp) {
            not_clifford(at, g, inside, " at angles " + angles_text(params));
        }
        if (pp->pauli != 'I') {
            Gate cg = pp->pauli == 'X' ? Gate::CX : pp->pauli == 'Y' ? Gate::CY : Gate::CZ;
            append(out, cg, {control, target});
        }
        static const Gate phase_gates[] = {Gate::I, Gate::S, Gate::Z, Gate::S_DAG};
        if (pp->phase != 0) {
            append(out, phase_gates[pp->phase], {control});
        }
    }

    // exp(-i theta/2 P⊗P) for P = X or Z.
    void apply_pauli_rotation_2q(Circuit& out, bool xx, double theta, std::uint32_t a,
                                 std::uint32_t b, const Token& at, const GateDef& g,
                                 const std::vector<double>& params, const GateDef* inside) {
        double q = snap(theta) / kHalfPi;
        if (!(std::fabs(q - std::nearbyint(q)) <= 1e-12)) {
            not_clifford(at, g, inside, " at angles " + angles_text(params));
        }
        switch (static_cast<int>(std::fmod(std::fmod(std::nearbyint(q), 4.0) + 4.0, 4.0))) {
            case 0:
                return;
            case 1:
                append(out, xx ? Gate::SQRT_XX : Gate::SQRT_ZZ, {a, b});
                return;
            case 2:
                append(out, xx ? Gate::X : Gate::Z, {a, b});
                return;
            default:
                append(out, xx ? Gate::SQRT_XX_DAG : Gate::SQRT_ZZ_DAG, {a, b});
        }
    }

    void apply(Circuit& out, std::uint32_t gate_id, const std::vector<double>& params,
               const std::vector<std::uint32_t>& qubits, const Token& at, const GateDef* inside) {
        // The caller has charged this application to the budget.
        const GateDef& g = gates_[gate_id];
        const std::uint32_t q0 = qubits[0];
        const std::uint32_t q1 = qubits.size() > 1 ? qubits[1] : 0;
        auto fixed = [&](Gate s) {
            if (qubits.size() == 1) {
                append(out, s, {q0});
            } else {
                append(out, s, {q0, q1});
            }
        };
        auto one_qubit = [&](const M2& u) { apply_1q_matrix(out, u, q0, at, g, params, inside); };
        auto controlled = [&](const M2& v) {
            apply_controlled(out, v, q0, q1, at, g, params, inside);
        };
        switch (g.kind) {
            case Builtin::user: {
                charge(g.body.size(), at);
                std::vector<double> values;
                std::vector<std::uint32_t> actual;
                for (const BodyOp& op : g.body) {
                    if (op.barrier) {
                        continue;
                    }
                    values.clear();
                    for (std::uint32_t e : op.params) {
                        values.push_back(evaluate(e, params));
                    }
                    actual.clear();
                    for (std::uint32_t k : op.qubits) {
                        actual.push_back(qubits[k]);
                    }
                    apply(out, op.gate, values, actual, at, &g);
                }
                return;
            }
            case Builtin::opaque:
                Lexer::fail(at, "opaque gate '" + g.name + "' has no definition to simulate" +
                                    (inside ? " (used inside gate '" + inside->name + "')" : ""));
            case Builtin::never_clifford:
                not_clifford(at, g, inside, "");
            case Builtin::id:
            case Builtin::u0:
                return fixed(Gate::I);
            case Builtin::x:
                return fixed(Gate::X);
            case Builtin::y:
                return fixed(Gate::Y);
            case Builtin::z:
                return fixed(Gate::Z);
            case Builtin::h:
                return fixed(Gate::H);
            case Builtin::s:
                return fixed(Gate::S);
            case Builtin::sdg:
                return fixed(Gate::S_DAG);
            case Builtin::sx:
                return fixed(Gate::SQRT_X);
            case Builtin::sxdg:
                return fixed(Gate::SQRT_X_DAG);
            case Builtin::CX:
            case Builtin::cx:
                return fixed(Gate::CX);
            case Builtin::cy:
                return fixed(Gate::CY);
            case Builtin::cz:
                return fixed(Gate::CZ);
            case Builtin::swap:
                return fixed(Gate::SWAP);
            case Builtin::U:
            case Builtin::u3:
            case Builtin::u:
                return one_qubit(u3_matrix(params[0], params[1], params[2]));
            case Builtin::u2:
                return one_qubit(u3_matrix(kHalfPi, params[0], params[1]));
            case Builtin::u1:
            case Builtin::p:
            case Builtin::rz:
                return one_qubit(u3_matrix(0, 0, params[0]));
            case Builtin::rx:
                return one_qubit(u3_matrix(params[0], -kHalfPi, kHalfPi));
            case Builtin::ry:
                return one_qubit(u3_matrix(params[0], 0, 0));
            case Builtin::cu1:
            case Builtin::cp:
                return controlled(u3_matrix(0, 0, params[0]));
            case Builtin::crz: {
                double l = snap(params[0]) / 2;
                return controlled(M2{std::polar(1.0, -l), 0, 0, std::polar(1.0, l)});
            }
            case Builtin::crx: {
                double t = snap(params[0]) / 2;
                return controlled(
                    M2{std::cos(t), cd(0, -std::sin(t)), cd(0, -std::sin(t)), std::cos(t)});
            }
            case Builtin::cry:
                return controlled(u3_matrix(params[0], 0, 0));
            case Builtin::cu3:
                return controlled(u3_matrix(params[0], params[1], params[2]));
            case Builtin::cu:
                return controlled(scale(std::polar(1.0, snap(params[3])),
                                        u3_matrix(params[0], params[1], params[2])));
            case Builtin::rzz:
                return apply_pauli_rotation_2q(out, false, params[0], q0, q1, at, g, params,
                                               inside);
            case Builtin::rxx:
                return apply_pauli_rotation_2q(out, true, params[0], q0, q1, at, g, params, inside);
        }
    }

    Lexer lex_;
    Circuit root_;
    std::vector<Expr> exprs_;
    std::vector<GateDef> gates_;
    std::unordered_map<std::string, std::uint32_t> gate_ids_;
    std::unordered_map<std::string, Register> registers_;
    std::uint64_t qubits_used_ = 0;
    std::uint64_t bits_used_ = 0;
    std::uint64_t measurements_ = 0;
    std::uint64_t applications_ = 0;
    bool included_ = false;
};

}  // namespace

Circuit parse_qasm(std::string_view text) {
    return QasmParser(text).parse();
}

}  // namespace lumora::circuit
