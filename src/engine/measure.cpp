#include "engine/measure.hpp"

namespace lumora {

std::uint8_t measure(GraphState& s, std::size_t q, AxisCode axis, ThreadRng& rng) {
    return measure<ThreadRng>(s, q, axis, rng);
}

std::uint8_t measure(GraphState& s, std::size_t q, AxisCode axis, SeededStream& rng) {
    return measure<SeededStream>(s, q, axis, rng);
}

std::vector<PeekRecord> peek_measure_set(const GraphState& s,
                                         const std::vector<std::size_t>& qubits, ThreadRng& rng) {
    return peek_measure_set<ThreadRng>(s, qubits, rng);
}

std::vector<PeekRecord> peek_measure_set(const GraphState& s,
                                         const std::vector<std::size_t>& qubits,
                                         SeededStream& rng) {
    return peek_measure_set<SeededStream>(s, qubits, rng);
}

}  // namespace lumora
