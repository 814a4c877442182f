#include <memory>
#include <string>
#include <utility>

#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/simulator.hpp"

// Construction, seeds, copies and pickles.

namespace lumora::py {

namespace {

constexpr const char* kConstructorParams[] = {"qubit_amount", "seed"};
constexpr const char* kSeed[] = {"seed"};
constexpr const char* kMemo[] = {"memo"};
constexpr const char* kData[] = {"data"};

// The stream a `seed` argument asks for: none for None. The key comes from
// the seed's little-endian bytes, so seeds of any size are accepted.
// A numpy SeedSequence (anything that is not an int but has
// generate_state) seeds as the integer of its first eight 32-bit words,
// the first the lowest. numpy is never imported for it.
PyObject* seed_sequence_integer(PyObject* seed) {
    Ref words(PyObject_CallMethod(seed, "generate_state", "i", 8));
    if (!words) {
        return nullptr;
    }
    Ref value(PyLong_FromLong(0));
    Ref iterator(PyObject_GetIter(words.get()));
    if (!value || !iterator) {
        return nullptr;
    }
    long shift = 0;
    while (Ref word{PyIter_Next(iterator.get())}) {
        Ref number(PyNumber_Index(word.get()));
        Ref places(PyLong_FromLong(shift));
        if (!number || !places) {
            return nullptr;
        }
        Ref shifted(PyNumber_Lshift(number.get(), places.get()));
        if (!shifted) {
            return nullptr;
        }
        value = Ref(PyNumber_Or(value.get(), shifted.get()));
        if (!value) {
            return nullptr;
        }
        shift += 32;
    }
    return PyErr_Occurred() ? nullptr : value.release();
}

}  // namespace

bool stream_from_seed(PyObject* seed, std::unique_ptr<SeededStream>& out) {
    if (seed == nullptr || seed == Py_None) {
        return true;
    }
    const bool sequence = !PyLong_Check(seed) && PyObject_HasAttrString(seed, "generate_state");
    Ref index(sequence ? seed_sequence_integer(seed) : extract_big_index(seed, "seed"));
    if (!index) {
        return false;
    }
    Ref zero(PyLong_FromLong(0));
    if (!zero) {
        return false;
    }
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative != 0) {
        if (negative > 0) {
            PyErr_SetString(PyExc_ValueError, "seed must be None or a non-negative integer");
        }
        return false;
    }
    Ref bits(PyObject_CallMethod(index.get(), "bit_length", nullptr));
    if (!bits) {
        return false;
    }
    const Py_ssize_t bit_count = PyLong_AsSsize_t(bits.get());
    if (bit_count < 0) {
        return false;
    }
    Ref bytes(PyObject_CallMethod(index.get(), "to_bytes", "ns", (bit_count + 7) / 8, "little"));
    if (!bytes) {
        return false;
    }
    out = std::make_unique<SeededStream>(SeededStream::key_from_seed(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
    return true;
}

namespace {

// An independent simulator with the same state; it continues the
// original's stream, or draws from a fresh one keyed from `seed`.
PyObject* copy_simulator(Simulator& sim, PyObject* seed) {
    std::unique_ptr<SeededStream> stream;
    if (!stream_from_seed(seed, stream)) {
        return nullptr;
    }
    if (!stream && (seed == nullptr || seed == Py_None) && sim.stream) {
        stream = std::make_unique<SeededStream>(*sim.stream);
    }
    Simulator copy{
        long_work(sim.state.size() >= kLongRegister, [&] { return copy_state(sim.state); }),
        std::move(stream)};
    return wrap(std::move(copy));
}

PyObject* run_copy(Simulator& sim, CallArgs& args) {
    return copy_simulator(sim, args.objects[0]);
}

PyObject* run_plain_copy(Simulator& sim, CallArgs&) {
    return copy_simulator(sim, nullptr);
}

PyObject* run_reduce(Simulator& sim, CallArgs&) {
    std::string payload;
    SeededStream::Position at{};
    if (sim.stream) {
        at = sim.stream->position();
    }
    long_work(sim.state.size() >= kLongRegister,
              [&] { encode_state(sim.state, sim.stream ? &at : nullptr, payload); });
    Ref bytes(PyBytes_FromStringAndSize(payload.data(), static_cast<Py_ssize_t>(payload.size())));
    if (!bytes) {
        return nullptr;
    }
    Ref loader(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(simulator_type()), "_from_pickle"));
    if (!loader) {
        return nullptr;
    }
    return Py_BuildValue("(O(O))", loader.get(), bytes.get());
}

PyObject* run_new(PyTypeObject* type, CallArgs& args) {
    std::size_t qubit_amount;
    std::unique_ptr<SeededStream> stream;
    if (!extract_index(args.objects[0], kConstructorParams[0], &qubit_amount) ||
        !stream_from_seed(args.objects[1], stream)) {
        return nullptr;
    }
    return wrap(Simulator{create(qubit_amount), std::move(stream)}, type);
}

// Lumora._from_pickle(data): what pickle calls to load. The bytes are
// copied out once before they are read, so that a buffer changed during the
// load (by a signal handler, or another thread) cannot pass the checks with
// one content and be built with another.
PyObject* run_from_pickle(PyTypeObject* /*type*/, CallArgs& args) {
    std::string bytes;
    {
        Py_buffer view;
        if (PyObject_GetBuffer(args.objects[0], &view, PyBUF_SIMPLE) < 0) {
            return nullptr;
        }
        try {
            bytes.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
    }
    Decoded decoded = long_work(bytes.size() >= kLongRegister, [&] { return decode_state(bytes); });
    Simulator sim{std::move(decoded.state), nullptr};
    if (decoded.stream) {
        sim.stream = std::make_unique<SeededStream>(*decoded.stream);
    }
    return wrap(std::move(sim));
}

}  // namespace

constexpr MethodInfo m_new{{"Lumora", "__new__", kConstructorParams, 2, 1, 1},
                           Access::shared,
                           Params::objects,
                           nullptr,
                           &run_new,
                           nullptr};

constexpr MethodInfo m_copy{
    {"Lumora", "copy", kSeed, 1, 0, 0},
    Access::shared,
    Params::objects,
    &run_copy,
    nullptr,
    "copy($self, /, *, seed=None)\n--\n\nReturn an independent simulator with the same "
    "state.\n\nWithout `seed` the copy continues exactly as this simulator would: a seeded "
    "simulator's copy stands at the same place in its random stream and replays what this one "
    "would draw. With `seed` the copy draws from a fresh stream keyed from that seed."};

constexpr MethodInfo m_dunder_copy{{"Lumora", "__copy__", nullptr, 0},
                                   Access::shared,
                                   Params::objects,
                                   &run_plain_copy,
                                   nullptr,
                                   "__copy__($self, /)\n--\n\nThe same as `copy()`."};

constexpr MethodInfo m_dunder_deepcopy{
    {"Lumora", "__deepcopy__", kMemo, 1},
    Access::shared,
    Params::objects,
    &run_plain_copy,
    nullptr,
    "__deepcopy__($self, memo, /)\n--\n\nThe same as `copy()`: a simulator shares nothing."};

constexpr MethodInfo m_reduce{
    {"Lumora", "__reduce__", nullptr, 0},
    Access::shared,
    Params::objects,
    &run_reduce,
    nullptr,
    "__reduce__($self, /)\n--\n\nSupport for pickle: the state (and a seeded simulator's "
    "place in its stream) in a compact, versioned and checksummed binary form."};

constexpr MethodInfo m_from_pickle{
    {"Lumora", "_from_pickle", kData, 1},
    Access::shared,
    Params::objects,
    nullptr,
    &run_from_pickle,
    "_from_pickle($type, data, /)\n--\n\nRebuild a simulator from the bytes that "
    "`__reduce__` gives; anything else raises ValueError."};

}  // namespace lumora::py
