#include <new>
#include <vector>

#include "engine/dense.hpp"
#include "engine/engine.hpp"
#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "engine/tableau_group.hpp"
#include "engine/transaction.hpp"

namespace lumora {

Batch::Batch(GraphState& s, const std::size_t* qubits, std::size_t count) : txn_(nullptr) {
    std::vector<Qubit> checked(count);
    for (std::size_t i = 0; i < count; ++i) {
        checked[i] = s.qubit(qubits[i]);
    }
    // Conversions before the journal starts: undoing never meets one.
    leave_tableaux(s, checked.data(), count);
    unite_all(s, checked.data(), count);
    txn_ = new Transaction(s);
}

Batch::~Batch() {
    delete txn_;  // undoes everything unless committed
}

void Batch::gate(Qubit q, LcOp g) {
    txn_->editor().left_multiply(q, g);
}

void Batch::two_qubit_gate(TwoQubitGate gate, Qubit control, Qubit target) {
    controlled_gate(txn_->editor(), gate, control, target);
}

std::uint8_t Batch::measure(Qubit q, AxisCode axis, ThreadRng& rng) {
    return lumora::measure(txn_->editor(), q, axis, rng);
}

std::uint8_t Batch::measure(Qubit q, AxisCode axis, SeededStream& rng) {
    return lumora::measure(txn_->editor(), q, axis, rng);
}

void Batch::commit() noexcept {
    txn_->commit();
}

}  // namespace lumora
