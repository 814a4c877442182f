// libFuzzer target for the samplers: every stim text that parses and can
// run is compiled into both samplers, which must sample without failing,
// give 0/1 bits, and give the same bits on one thread and on two.
//
//   cmake --preset fuzz && cmake --build --preset fuzz
//   build/fuzz/sampler_fuzz -timeout=60 tests/fuzz/corpus/sampler
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "circuit/circuit.hpp"
#include "executor/executor.hpp"
#include "sampler/sampler.hpp"

namespace {

using namespace lumora;

// Operations a run takes, REPEAT blocks counted out, up to `limit`.
std::uint64_t run_length(const circuit::Circuit& c, std::uint64_t limit) {
    std::uint64_t total = 0;
    for (const circuit::Instruction& op : c.instructions) {
        std::uint64_t step = 1 + op.targets.size();
        if (op.gate == circuit::Gate::REPEAT || op.gate == circuit::Gate::IF) {
            const std::uint64_t body = run_length(c.blocks[op.body], limit) + 1;
            const std::uint64_t count = op.gate == circuit::Gate::REPEAT ? op.repeat_count : 1;
            step = count > limit / body ? limit : count * body;
        }
        total += step;
        if (total >= limit) {
            return limit;
        }
    }
    return total;
}

[[noreturn]] void die(const char* what, std::string_view input) {
    std::fprintf(stderr, "sampler_fuzz: %s\n--- input ---\n%.*s\n", what,
                 static_cast<int>(input.size()), input.data());
    std::abort();
}

std::vector<std::uint8_t> sample(const sampler::Sampler& s, std::uint64_t shots, unsigned threads) {
    const std::uint64_t bits = s.row_bits();
    std::vector<std::uint8_t> out(shots * bits, 7);
    s.sample(0, 0, shots, {{out.data(), static_cast<std::size_t>(bits), 0, bits, false}}, threads);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto c = std::make_shared<circuit::Circuit>();
    std::shared_ptr<const executor::Program> program;
    try {
        *c = circuit::parse_stim(text);
        if (c->num_qubits() > 64 || c->num_measurements() > 4096 ||
            c->num_detectors() + c->num_observables() > 4096 || run_length(*c, 20000) >= 20000) {
            return 0;
        }
        program = executor::compile(c);
    } catch (const circuit::ParseError&) {
        return 0;
    } catch (const circuit::CircuitError&) {
        return 0;  // circuits that cannot run, counts past 64 bits
    }
    const SeededStream::Key key{};
    for (const sampler::Output output :
         {sampler::Output::measurements, sampler::Output::detectors}) {
        std::unique_ptr<sampler::Sampler> s;
        try {
            s = std::make_unique<sampler::Sampler>(c, program, output, key);
        } catch (const circuit::CircuitError&) {
            continue;  // observables of Paulis, shot by shot
        }
        const std::uint64_t shots = s->method() == sampler::Method::frames ? 300 : 6;
        const std::vector<std::uint8_t> one = sample(*s, shots, 1);
        for (std::uint8_t bit : one) {
            if (bit > 1) {
                die("a sampled bit is neither 0 nor 1", text);
            }
        }
        if (sample(*s, shots, 2) != one) {
            die("two threads sampled other bits than one", text);
        }
    }
    return 0;
}
