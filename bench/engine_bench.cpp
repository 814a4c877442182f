// The engine alone, without Python: ns per operation on the workloads the
// module is judged by. Run on demand (see bench/README.md).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/tableau_block.hpp"

using namespace lumora;

namespace {

double seconds(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best of `repeat` runs of setup-then-timed-part; returns seconds of the
// timed part.
double best(int repeat, const std::function<double()>& run) {
    double t = 1e300;
    for (int i = 0; i < repeat; ++i) {
        t = std::min(t, run());
    }
    return t;
}

// Outcomes from a fixed seed, so that runs do the same work and count the
// same instructions under callgrind.
SeededStream fixed_stream() {
    const std::uint8_t seed[] = {1};
    return SeededStream(SeededStream::key_from_seed(seed, sizeof(seed)));
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void report(const char* what, double total_seconds, double ops) {
    std::printf("%-52s %10.1f ns/op  (%.4f s total)\n", what, total_seconds / ops * 1e9,
                total_seconds);
}

void ghz(std::size_t n, bool chain) {
    const double t = best(n > 100000 ? 3 : 5, [&] {
        GraphState s = create(n);
        return seconds([&] {
            apply_gate(s, 0, kLcH);
            for (std::size_t q = 1; q < n; ++q) {
                apply_two_qubit_gate(s, TwoQubitGate::cx, chain ? q - 1 : 0, q);
            }
        });
    });
    const std::string name = std::string("GHZ by ") + (chain ? "chain" : "fan-out") +
                             ", n = " + std::to_string(n) + ", per cx";
    report(name.c_str(), t, double(n - 1));
}

GraphState cluster_1d(std::size_t n) {
    GraphState s = create(n);
    for (std::size_t q = 0; q < n; ++q) {
        apply_gate(s, q, kLcH);
    }
    for (std::size_t q = 0; q + 1 < n; ++q) {
        cz(s, q, q + 1);
    }
    return s;
}

void cluster_1d_ops(std::size_t n) {
    const double t_cz = best(5, [&] {
        GraphState s = create(n);
        for (std::size_t q = 0; q < n; ++q) {
            apply_gate(s, q, kLcH);
        }
        return seconds([&] {
            for (std::size_t q = 0; q + 1 < n; ++q) {
                cz(s, q, q + 1);
            }
        });
    });
    report(("1D cluster " + std::to_string(n) + ", per cz").c_str(), t_cz, double(n - 1));
    for (AxisCode axis : {kAxisX, kAxisZ}) {
        const double t = best(5, [&] {
            GraphState s = cluster_1d(n);
            SeededStream rng = fixed_stream();
            return seconds([&] {
                for (std::size_t q = 0; q < n; ++q) {
                    measure(s, q, axis, rng);
                }
            });
        });
        report(("1D cluster " + std::to_string(n) + ", per measure_" + "xyz"[axis]).c_str(), t,
               double(n));
    }
}

void cluster_2d(std::size_t side) {
    const std::size_t n = side * side;
    double build = 0;
    const double t = best(3, [&] {
        GraphState s = create(n);
        build = seconds([&] {
            for (std::size_t q = 0; q < n; ++q) {
                apply_gate(s, q, kLcH);
            }
            for (std::size_t r = 0; r < side; ++r) {
                for (std::size_t c = 0; c < side; ++c) {
                    const std::size_t q = r * side + c;
                    if (c + 1 < side) {
                        cz(s, q, q + 1);
                    }
                    if (r + 1 < side) {
                        cz(s, q, q + side);
                    }
                }
            }
        });
        SeededStream rng = fixed_stream();
        return seconds([&] {
            for (std::size_t q = 0; q < n; ++q) {
                measure(s, q, kAxisX, rng);
            }
        });
    });
    std::printf(
        "2D cluster side %zu: build %.4f s, X measurements row by row %.4f s (%.1f ns each)\n",
        side, build, t, t / double(n) * 1e9);
}

// 10% Z measurements; the rest half single-qubit gates, half cz or cx on a
// random pair.
void random_circuit(std::size_t n, std::size_t ops) {
    struct Op {
        std::uint8_t kind;  // 0 gate, 1 cz, 2 cx, 3 measure
        std::uint8_t gate;
        std::uint32_t a, b;
    };
    std::mt19937_64 gen(12345 + n);
    const LcOp gates[] = {kLcH, kLcS, kLcSdag, kLcX, kLcY, kLcZ};
    std::vector<Op> list(ops);
    for (Op& op : list) {
        const unsigned roll = gen() % 20;
        op.a = static_cast<std::uint32_t>(gen() % n);
        op.b = static_cast<std::uint32_t>((op.a + 1 + gen() % (n - 1)) % n);
        op.gate = gates[gen() % 6];
        op.kind = roll < 2 ? 3 : roll < 11 ? 0 : roll < 16 ? 1 : 2;
    }
    // A warm-up run brings the state to its steady density first.
    GraphState s = create(n);
    SeededStream rng = fixed_stream();
    auto run = [&] {
        for (const Op& op : list) {
            switch (op.kind) {
                case 0:
                    apply_gate(s, op.a, op.gate);
                    break;
                case 1:
                    cz(s, op.a, op.b);
                    break;
                case 2:
                    apply_two_qubit_gate(s, TwoQubitGate::cx, op.a, op.b);
                    break;
                default:
                    measure(s, op.a, kAxisZ, rng);
            }
        }
    };
    run();
    const double t = best(3, [&] { return seconds(run); });
    report(("random circuit, n = " + std::to_string(n) + ", per op").c_str(), t, double(ops));
}

// Random h, s and cz in equal shares on the first m qubits of an n-qubit
// register: the graph goes dense after a few hundred cz. Each timed run
// starts from a fresh register, so the move into a dense block (and every
// conversion on the way) is counted; the warm-up ops before the timed part
// bring the group to its steady density.
void dense_mix(std::size_t m, std::size_t n, std::size_t ops) {
    std::mt19937_64 gen(777 + m);
    struct Op {
        std::uint8_t kind;  // 0 h, 1 s, 2 cz
        std::uint32_t a, b;
    };
    auto make = [&](std::size_t count) {
        std::vector<Op> list(count);
        for (Op& op : list) {
            op.kind = static_cast<std::uint8_t>(gen() % 3);
            op.a = static_cast<std::uint32_t>(gen() % m);
            op.b = static_cast<std::uint32_t>((op.a + 1 + gen() % (m - 1)) % m);
        }
        return list;
    };
    const std::vector<Op> warm = make(10 * m);
    const std::vector<Op> timed = make(ops);
    std::size_t cz_count = 0;
    for (const Op& op : timed) {
        cz_count += op.kind == 2;
    }
    auto run = [](GraphState& s, const std::vector<Op>& list) {
        for (const Op& op : list) {
            if (op.kind == 0) {
                apply_gate(s, op.a, kLcH);
            } else if (op.kind == 1) {
                apply_gate(s, op.a, kLcS);
            } else {
                cz(s, op.a, op.b);
            }
        }
    };
    double whole = 0;
    const double t = best(3, [&] {
        GraphState s = create(n);
        const double warm_seconds = seconds([&] { run(s, warm); });
        const double timed_seconds = seconds([&] { run(s, timed); });
        whole = warm_seconds + timed_seconds;
        return timed_seconds;
    });
    const std::string where = "dense mix h/s/cz, m = " + std::to_string(m) +
                              (n == m ? std::string() : " of n = " + std::to_string(n));
    report((where + ", per op").c_str(), t, double(ops));
    report((where + ", per cz").c_str(), t, double(cz_count));
    std::printf("%-52s %10.4f s (from a fresh register, conversions included)\n",
                "  warm-up and timed part together", whole);
}

// Memory of one dense group of m qubits in a register of n.
void dense_memory(std::size_t m) {
    GraphState s = create(m);
    std::mt19937_64 gen(5);
    for (std::size_t q = 0; q < m; ++q) {
        apply_gate(s, q, kLcH);
    }
    for (std::size_t i = 0; i < 10 * m; ++i) {
        const std::size_t a = gen() % m, b = (a + 1 + gen() % (m - 1)) % m;
        cz(s, a, b);
        apply_gate(s, gen() % m, gen() % 2 ? kLcH : kLcS);
    }
    // Bytes of the blocks or tableaux the group lives in: rows or columns,
    // plus the member map.
    std::set<const DenseBlock*> blocks;
    std::set<const TableauBlock*> tableaux;
    std::size_t held = 0;
    for (std::size_t q = 0; q < m; ++q) {
        const Node& node = s.node(static_cast<Qubit>(q));
        if (node.kind == SetKind::dense) {
            blocks.insert(node.dense.block);
            ++held;
        } else if (node.kind == SetKind::tableau) {
            tableaux.insert(node.tableau.block);
            ++held;
        }
    }
    std::size_t bytes = 0;
    for (const DenseBlock* block : blocks) {
        bytes += std::size_t{block->capacity} * block->words * 8 + block->capacity * 4;
    }
    for (const TableauBlock* block : tableaux) {
        bytes += block->tableau.bytes() + block->members.capacity() * sizeof(Qubit);
    }
    std::printf(
        "dense group of %zu qubits (%zu in %zu blocks, %zu tableaux): %zu bytes (m^2/4 = %zu)\n", m,
        held, blocks.size(), tableaux.size(), bytes, m * m / 4);
}

// copy_state of a 1D cluster next to what it must at least do: make a
// fresh register and copy its records (where a line keeps its edges).
void copies(std::size_t n) {
    const GraphState s = cluster_1d(n);
    const double fresh = best(5, [&] { return seconds([&] { create(n); }); });
    const double edges = best(5, [&] {
        std::vector<Node> target(n);
        return seconds([&] {
            for (std::size_t q = 0; q < n; ++q) {
                target[q] = s.node(static_cast<Qubit>(q));
            }
        });
    });
    const double copied = best(5, [&] { return seconds([&] { copy_state(s); }); });
    std::printf(
        "1D cluster of %zu: copy_state %.2f ms; fresh register %.2f ms + copying its "
        "records %.2f ms = %.2f ms (ratio %.2f)\n",
        n, copied * 1e3, fresh * 1e3, edges * 1e3, (fresh + edges) * 1e3, copied / (fresh + edges));
}

void memory(std::size_t n) {
    const long before = peak_rss_kib();
    GraphState s = create(n);
    const long after = peak_rss_kib();
    std::printf("fresh state of %zu qubits: %.1f bytes per qubit\n", n,
                double(after - before) * 1024.0 / double(n));
    const long before_ghz = peak_rss_kib();
    apply_gate(s, 0, kLcH);
    for (std::size_t q = 1; q < n; ++q) {
        apply_two_qubit_gate(s, TwoQubitGate::cx, 0, q);
    }
    std::printf("GHZ of %zu qubits: %.1f bytes more per edge\n", n,
                double(peak_rss_kib() - before_ghz) * 1024.0 / double(n - 1));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    auto want = [&](const char* name) { return only.empty() || only == name; };
    if (want("memory")) {
        memory(4000000);
    }
    if (want("ghz")) {
        for (std::size_t n : {10000u, 1000000u}) {
            ghz(n, false);
            ghz(n, true);
        }
    }
    if (want("cluster1d")) {
        cluster_1d_ops(100000);
    }
    if (want("cluster2d")) {
        for (std::size_t side : {100u, 200u, 300u}) {
            cluster_2d(side);
        }
    }
    if (want("copy")) {
        copies(1000000);
    }
    if (want("dense")) {
        dense_mix(200, 200, 200000);
        dense_mix(200, 100000, 200000);
        dense_mix(1000, 1000, 100000);
        dense_memory(200);
        dense_memory(1000);
    }
    if (want("random")) {
        random_circuit(100, 200000);
        random_circuit(1000, 200000);
        random_circuit(10000, 200000);
    }
}
