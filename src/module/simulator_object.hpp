// What a Lumora object holds: a state, where its random words come from,
// and its access counter.
#pragma once

#include <memory>

#include "engine/engine.hpp"
#include "module/access.hpp"
#include "module/python.hpp"

namespace lumora::py {

// A state and where its random words come from: its own seeded stream,
// or (without one) the calling thread's generator.
struct Simulator {
    GraphState state;
    std::unique_ptr<SeededStream> stream;

    // Runs f with the source of random words. A seeded stream steps back
    // to where it stood when f fails, so that a failed call draws nothing.
    template <class F>
    decltype(auto) with_rng(F&& f) {
        if (stream) {
            const SeededStream::Mark mark = stream->mark();
            try {
                return f(*stream);
            } catch (...) {
                stream->rewind(mark);
                throw;
            }
        }
        ThreadRng rng;
        return f(rng);
    }
};

struct SimulatorObject {
    PyObject_HEAD Simulator sim;
    AccessCounter access;
};

}  // namespace lumora::py
