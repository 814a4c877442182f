#include "module/samplers.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "module/binding.hpp"
#include "module/circuits.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/module_state.hpp"
#include "module/simulator.hpp"
#include "module/values.hpp"
#include "sampler/sampler.hpp"

// Many shots of a circuit as numpy arrays or result files.

namespace lumora::py {

namespace {

using sampler::Destination;
using sampler::Output;
using sampler::Sampler;

struct SamplerObject {
    PyObject_HEAD std::shared_ptr<const Sampler> sampler;
    // Calls made so far: call c draws from streams of its own.
    std::uint64_t calls = 0;
};

SamplerObject* as_sampler(PyObject* self) {
    return reinterpret_cast<SamplerObject*>(self);
}

void sampler_dealloc(PyObject* self) {
    as_sampler(self)->~SamplerObject();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr const char* kSeed[] = {"seed"};

PyObject* compile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Output output) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kMeasurements{"Circuit", "compile_sampler", kSeed, 1, 0, 0};
        static constexpr CallableDesc kDetectors{"Circuit", "compile_detector_sampler", kSeed, 1, 0,
                                                 0};
        PyObject* bound[1] = {};
        if (!bind_fastcall(output == Output::measurements ? kMeasurements : kDetectors, args, nargs,
                           kwnames, bound)) {
            return nullptr;
        }
        std::unique_ptr<SeededStream> stream;
        if (!stream_from_seed(bound[0], stream)) {
            return nullptr;
        }
        SeededStream::Key key;
        if (stream) {
            key = stream->position().key;
        } else {
            std::string error;
            if (!os_entropy(key, error)) {
                PyErr_Format(PyExc_OSError, "could not seed the sampler: %s", error.c_str());
                return nullptr;
            }
        }
        const auto program = program_of(self);
        const auto circuit = shared_circuit_of(self);
        PyTypeObject* type =
            output == Output::measurements ? measurement_sampler_type() : detector_sampler_type();
        if (type == nullptr) {
            return nullptr;
        }
        std::shared_ptr<const Sampler> made;
        {
            // The reference shot runs on the engine, without the lock.
            WithoutGil released;
            made = std::make_shared<const Sampler>(circuit, program, output, key);
        }
        PyObject* object = type->tp_alloc(type, 0);
        if (object == nullptr) {
            return nullptr;
        }
        new (&as_sampler(object)->sampler) std::shared_ptr<const Sampler>(std::move(made));
        as_sampler(object)->calls = 0;
        return object;
    });
}

// A new zeroed array of `rows` x `columns` bools, or of bytes packing the
// columns eight to a byte; `data` is where its memory is.
PyObject* new_array(std::uint64_t rows, std::uint64_t columns, bool packed, std::uint8_t** data) {
    return new_zeroed_array(rows, packed ? (columns + 7) / 8 : columns, true,
                            packed ? "uint8" : "bool", data);
}

bool flag(PyObject* value, bool& out) {
    if (value == nullptr) {
        out = false;
        return true;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return false;
    }
    out = truth != 0;
    return true;
}

// A count argument: an int (or __index__) from 0 up; a negative one is a
// ValueError that names the parameter.
bool count_argument(PyObject* value, const char* param, std::size_t& out) {
    if (extract_index(value, param, &out)) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
        return false;
    }
    Ref index(PyNumber_Index(value));
    Ref zero(PyLong_FromLong(0));
    if (!index || !zero) {
        return false;
    }
    if (PyObject_RichCompareBool(index.get(), zero.get(), Py_LT) == 1) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative integer, not %S", param,
                     index.get());
    }
    return false;
}

bool thread_count(PyObject* value, unsigned& out) {
    out = 1;
    if (value == nullptr) {
        return true;
    }
    std::size_t count = 0;
    if (!count_argument(value, "threads", count)) {
        return false;
    }
    if (count == 0 || count > 1024) {
        PyErr_SetString(PyExc_ValueError, "threads must be between 1 and 1024");
        return false;
    }
    out = static_cast<unsigned>(count);
    return true;
}

bool shot_count(PyObject* value, std::uint64_t& out) {
    std::size_t count = 0;
    if (!count_argument(value, "shots", count)) {
        return false;
    }
    out = count;
    return true;
}

// Takes the sampler's next call number; a call that fails gives it back
// (unless another call has taken one since), so that it changes nothing.
class CallNumber {
public:
    explicit CallNumber(SamplerObject& s) noexcept : s_(s), call_(s.calls++) {}
    ~CallNumber() {
        if (!done_ && s_.calls == call_ + 1) {
            s_.calls = call_;
        }
    }
    std::uint64_t value() const noexcept { return call_; }
    void done() noexcept { done_ = true; }

private:
    SamplerObject& s_;
    std::uint64_t call_;
    bool done_ = false;
};

// Runs shots of call `call` into `to`, without the lock.
void run_call(SamplerObject& s, std::uint64_t first_block, std::uint64_t shots,
              const std::vector<Destination>& to, unsigned threads, std::uint64_t call) {
    WithoutGil released;
    s.sampler->sample(call, first_block, shots, to, threads);
}

constexpr const char* kMeasurementSample[] = {"shots", "bit_packed", "threads"};
constexpr const char* kDetectorSample[] = {"shots", "separate_observables", "append_observables",
                                           "bit_packed", "threads"};

PyObject* measurement_sample(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kDesc{
            "MeasurementSampler", "sample", kMeasurementSample, 3, 1, 1};
        PyObject* bound[3] = {};
        std::uint64_t shots = 0;
        bool packed = false;
        unsigned threads = 1;
        if (!bind_fastcall(kDesc, args, nargs, kwnames, bound) || !shot_count(bound[0], shots) ||
            !flag(bound[1], packed) || !thread_count(bound[2], threads)) {
            return nullptr;
        }
        SamplerObject& s = *as_sampler(self);
        const std::uint64_t bits = s.sampler->row_bits();
        std::uint8_t* data = nullptr;
        Ref array(new_array(shots, bits, packed, &data));
        if (!array) {
            return nullptr;
        }
        const std::size_t stride = packed ? (bits + 7) / 8 : bits;
        CallNumber call(s);
        run_call(s, 0, shots, {{data, stride, 0, bits, packed}}, threads, call.value());
        call.done();
        return array.release();
    });
}

PyObject* detector_sample(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kDesc{"DetectorSampler", "sample", kDetectorSample, 5, 1, 1};
        PyObject* bound[5] = {};
        std::uint64_t shots = 0;
        bool separate = false, append = false, packed = false;
        unsigned threads = 1;
        if (!bind_fastcall(kDesc, args, nargs, kwnames, bound) || !shot_count(bound[0], shots) ||
            !flag(bound[1], separate) || !flag(bound[2], append) || !flag(bound[3], packed) ||
            !thread_count(bound[4], threads)) {
            return nullptr;
        }
        if (separate && append) {
            PyErr_SetString(PyExc_ValueError,
                            "separate_observables and append_observables cannot both be true");
            return nullptr;
        }
        SamplerObject& s = *as_sampler(self);
        const std::uint64_t detectors = s.sampler->detectors();
        const std::uint64_t observables = s.sampler->observables();
        const std::uint64_t columns = append ? detectors + observables : detectors;
        std::uint8_t* data = nullptr;
        Ref events(new_array(shots, columns, packed, &data));
        if (!events) {
            return nullptr;
        }
        std::vector<Destination> to{
            {data, packed ? (columns + 7) / 8 : columns, 0, columns, packed}};
        Ref flips;
        if (separate) {
            std::uint8_t* obs = nullptr;
            flips = Ref(new_array(shots, observables, packed, &obs));
            if (!flips) {
                return nullptr;
            }
            to.push_back({obs, packed ? (observables + 7) / 8 : observables, detectors, observables,
                          packed});
        }
        CallNumber call(s);
        run_call(s, 0, shots, to, threads, call.value());
        call.done();
        if (!separate) {
            return events.release();
        }
        return PyTuple_Pack(2, events.get(), flips.get());
    });
}

// sample_write: shots in chunks, each written as the format has it.
constexpr const char* kMeasurementWrite[] = {"shots", "path", "format", "threads"};
constexpr const char* kDetectorWrite[] = {"shots", "path", "format", "append_observables",
                                          "threads"};

PyObject* write_shots(PyObject* self, PyObject* shots_arg, PyObject* path, PyObject* format_arg,
                      bool append, PyObject* threads_arg) {
    std::uint64_t shots = 0;
    unsigned threads = 1;
    if (!shot_count(shots_arg, shots) || !thread_count(threads_arg, threads)) {
        return nullptr;
    }
    bool text = true;
    if (format_arg != nullptr) {
        const char* name = PyUnicode_Check(format_arg) ? PyUnicode_AsUTF8(format_arg) : nullptr;
        if (name == nullptr && PyErr_Occurred()) {
            return nullptr;
        }
        if (name == nullptr || (std::string(name) != "01" && std::string(name) != "b8")) {
            PyErr_SetString(PyExc_ValueError, "format must be '01' or 'b8'");
            return nullptr;
        }
        text = std::string(name) == "01";
    }
    SamplerObject& s = *as_sampler(self);
    const std::uint64_t columns = s.sampler->output() == Output::measurements || append
                                      ? s.sampler->row_bits()
                                      : s.sampler->detectors();
    const std::uint64_t row_bytes = text ? columns + 1 : (columns + 7) / 8;
    // Chunks of whole blocks, about 4 MB of output each.
    const std::uint64_t per_chunk =
        std::max<std::uint64_t>(1, (std::uint64_t{1} << 22) /
                                       std::max<std::uint64_t>(row_bytes, 1) /
                                       sampler::kShotsPerBlock) *
        sampler::kShotsPerBlock;
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return nullptr;
    }
    Ref file(PyObject_CallMethod(builtins.get(), "open", "Os", path, "wb"));
    if (!file) {
        return nullptr;
    }
    CallNumber call(s);
    bool ok = true;
    std::vector<std::uint8_t> buffer;
    try {
        for (std::uint64_t done = 0; done < shots && ok; done += per_chunk) {
            const std::uint64_t count = std::min(per_chunk, shots - done);
            buffer.assign(count * row_bytes, text ? '\n' : 0);
            run_call(s, done / sampler::kShotsPerBlock, count,
                     {{buffer.data(), static_cast<std::size_t>(row_bytes), 0, columns, !text}},
                     threads, call.value());
            if (text) {
                for (std::uint64_t r = 0; r < count; ++r) {
                    std::uint8_t* row = buffer.data() + r * row_bytes;
                    for (std::uint64_t c = 0; c < columns; ++c) {
                        row[c] = static_cast<std::uint8_t>('0' + row[c]);
                    }
                }
            }
            Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                                static_cast<Py_ssize_t>(buffer.size())));
            Ref written(bytes ? PyObject_CallMethod(file.get(), "write", "O", bytes.get())
                              : nullptr);
            ok = static_cast<bool>(written);
        }
    } catch (...) {
        PyObject* raised = nullptr;
        raise_current_exception();
        raised = take_raised_exception();
        Ref closed(PyObject_CallMethod(file.get(), "close", nullptr));
        PyErr_Clear();
        restore_raised_exception(raised);
        return nullptr;
    }
    PyObject* failure = ok ? nullptr : take_raised_exception();
    Ref closed(PyObject_CallMethod(file.get(), "close", nullptr));
    if (failure != nullptr) {
        PyErr_Clear();
        restore_raised_exception(failure);
        return nullptr;
    }
    if (!closed) {
        return nullptr;
    }
    call.done();
    Py_RETURN_NONE;
}

PyObject* measurement_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kDesc{
            "MeasurementSampler", "sample_write", kMeasurementWrite, 4, 3, 2};
        PyObject* bound[4] = {};
        if (!bind_fastcall(kDesc, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        return write_shots(self, bound[0], bound[1], bound[2], false, bound[3]);
    });
}

PyObject* detector_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kDesc{
            "DetectorSampler", "sample_write", kDetectorWrite, 5, 3, 2};
        PyObject* bound[5] = {};
        bool append = false;
        if (!bind_fastcall(kDesc, args, nargs, kwnames, bound) || !flag(bound[3], append)) {
            return nullptr;
        }
        return write_shots(self, bound[0], bound[1], bound[2], append, bound[4]);
    });
}

PyObject* sampler_method(PyObject* self, void*) {
    return PyUnicode_FromString(
        as_sampler(self)->sampler->method() == sampler::Method::frames ? "frames" : "shot_by_shot");
}

template <std::uint64_t (Sampler::*Count)() const noexcept>
PyObject* sampler_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(((*as_sampler(self)->sampler).*Count)());
}

PyObject* sampler_repr(PyObject* self) {
    const Sampler& s = *as_sampler(self)->sampler;
    const char* method = s.method() == sampler::Method::frames ? "frames" : "shot_by_shot";
    if (s.output() == Output::measurements) {
        return PyUnicode_FromFormat("lumora.MeasurementSampler(method='%s', num_measurements=%llu)",
                                    method, static_cast<unsigned long long>(s.measurements()));
    }
    return PyUnicode_FromFormat(
        "lumora.DetectorSampler(method='%s', num_detectors=%llu, num_observables=%llu)", method,
        static_cast<unsigned long long>(s.detectors()),
        static_cast<unsigned long long>(s.observables()));
}

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr const char kMethodDoc[] =
    "How shots are simulated: 'frames' (Pauli frames after one reference shot, for circuits "
    "whose feedback is Pauli) or 'shot_by_shot' (each shot on the graph engine, for circuits "
    "whose IF blocks apply other gates).";

PyMethodDef measurement_methods[] = {
    {"sample", fastcall(&measurement_sample), METH_FASTCALL | METH_KEYWORDS,
     "sample($self, shots, *, bit_packed=False, threads=1)\n--\n\nSample `shots` shots: a "
     "numpy array of bools, one row per shot and one column per measurement; with "
     "`bit_packed`, uint8 with the columns packed eight to a byte, lowest bit first. "
     "`threads` native threads share the work, without the interpreter lock; the result does "
     "not depend on their number."},
    {"sample_write", fastcall(&measurement_write), METH_FASTCALL | METH_KEYWORDS,
     "sample_write($self, shots, path, format='01', *, threads=1)\n--\n\nSample `shots` shots "
     "into the file at `path`, in the result format '01' (a line of 0s and 1s per shot) or "
     "'b8' (each shot's bits packed eight to a byte, lowest bit first), a few megabytes at a "
     "time."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef detector_methods[] = {
    {"sample", fastcall(&detector_sample), METH_FASTCALL | METH_KEYWORDS,
     "sample($self, shots, *, separate_observables=False, append_observables=False, "
     "bit_packed=False, threads=1)\n--\n\nSample `shots` shots of detection events: a numpy "
     "array of bools, one row per shot and one column per detector (the parity of its "
     "measurements against its value without noise). `append_observables` adds a column per "
     "observable (whether it flipped); `separate_observables` returns (events, flips) instead. "
     "With `bit_packed`, uint8 with the columns packed eight to a byte, lowest bit first. "
     "`threads` native threads share the work, without the interpreter lock; the result does "
     "not depend on their number."},
    {"sample_write", fastcall(&detector_write), METH_FASTCALL | METH_KEYWORDS,
     "sample_write($self, shots, path, format='01', *, append_observables=False, "
     "threads=1)\n--\n\nSample `shots` shots of detection events (and observable flips when "
     "appended) into the file at `path`, in the result format '01' or 'b8', a few megabytes "
     "at a time."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef measurement_properties[] = {
    {"method", &sampler_method, nullptr, kMethodDoc, nullptr},
    {"num_measurements", &sampler_count<&Sampler::measurements>, nullptr,
     "Measurements per shot: the columns of `sample`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef detector_properties[] = {
    {"method", &sampler_method, nullptr, kMethodDoc, nullptr},
    {"num_detectors", &sampler_count<&Sampler::detectors>, nullptr,
     "Detectors per shot: the columns of `sample`.", nullptr},
    {"num_observables", &sampler_count<&Sampler::observables>, nullptr, "Observables per shot.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_sampler_type(PyTypeObject* ModuleState::* slot, const char* qualified,
                                const char* name, const char* doc, PyMethodDef* methods,
                                PyGetSetDef* properties) {
    PyTypeObject*& kept = module_state().*slot;
    if (kept != nullptr) {
        return kept;
    }
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(&sampler_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {Py_tp_repr, reinterpret_cast<void*>(&sampler_repr)},
        {0, nullptr},
    };
    kept = create_type(qualified, name, sizeof(SamplerObject),
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
    return kept;
}

}  // namespace

PyObject* circuit_compile_sampler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return compile(self, args, nargs, kwnames, Output::measurements);
}

PyObject* circuit_compile_detector_sampler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return compile(self, args, nargs, kwnames, Output::detectors);
}

PyTypeObject* measurement_sampler_type() {
    return make_sampler_type(&ModuleState::measurement_sampler, "lumora.MeasurementSampler",
                             "MeasurementSampler",
                             "Samples shots of a circuit's measurements; made by "
                             "`Circuit.compile_sampler`.",
                             measurement_methods, measurement_properties);
}

PyTypeObject* detector_sampler_type() {
    return make_sampler_type(&ModuleState::detector_sampler, "lumora.DetectorSampler",
                             "DetectorSampler",
                             "Samples shots of a circuit's detection events and observable "
                             "flips; made by `Circuit.compile_detector_sampler`.",
                             detector_methods, detector_properties);
}

}  // namespace lumora::py
