// libFuzzer target for the circuit library: arbitrary bytes go through both
// parsers; every text that parses must print to stim text that parses back
// to an equal circuit and prints identically again.
//
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I src \
//       tests/fuzz/circuit_fuzz.cpp src/circuit/*.cpp -o circuit_fuzz
//   ./circuit_fuzz -timeout=60 tests/fuzz/corpus/circuit
//
// (A small OpenQASM program may legitimately broadcast to the 2^24
// applications parse_qasm allows; under the sanitizers such an input takes
// some 20 seconds, hence the generous timeout.)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "circuit/circuit.hpp"

namespace {

using namespace lumora::circuit;

[[noreturn]] void die(const char* what, std::string_view input, const std::string& printed) {
    std::fprintf(stderr, "circuit_fuzz: %s\n--- input ---\n%.*s\n--- printed ---\n%s\n", what,
                 static_cast<int>(input.size()), input.data(), printed.c_str());
    std::abort();
}

void check(const Circuit& c, std::string_view input) {
    std::string printed = to_stim_text(c);
    Circuit again;
    try {
        again = parse_stim(printed);
    } catch (const ParseError& e) {
        die(e.what(), input, printed);
    }
    if (!(again == c)) {
        die("reparsed circuit differs", input, printed);
    }
    if (to_stim_text(again) != printed) {
        die("second print differs", input, printed);
    }
    for (const Instruction& op : c.instructions) {
        try {
            validate_instruction(op);
        } catch (const CircuitError& e) {
            die(e.what(), input, printed);
        }
    }
    try {
        (void)c.num_measurements();
        (void)c.num_detectors();
    } catch (const CircuitError&) {
        // 64-bit overflow of a count is reported, not a crash.
    }
    (void)c.num_qubits();
    (void)c.num_observables();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (int parser = 0; parser < 2; parser++) {
        Circuit c;
        try {
            c = parser == 0 ? parse_stim(text) : parse_qasm(text);
        } catch (const ParseError&) {
            continue;
        }
        check(c, text);
    }
    return 0;
}
