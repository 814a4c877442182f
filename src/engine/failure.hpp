// Every way an engine operation can fail, and the helpers that fail: the
// index check, the interrupt checks of long operations, and "cannot
// happen". The engine never catches these; the module boundary turns them
// into Python exceptions.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lumora {

// An engine operation stopped; the message is shown to the user verbatim.
class EngineFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A two-qubit gate was asked to act on a single qubit.
class SameQubitError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The interrupt check asked a long operation to stop; whoever installed
// the check has already recorded why.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Bytes that do not describe a state; the message says why.
class InvalidData : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The qubits asked for are not a union of entangled groups.
class NotAUnionOfGroups : public std::invalid_argument {
public:
    NotAUnionOfGroups() : std::invalid_argument("qubits must be a union of entangled groups") {}
};

// A register larger than the engine can index.
class SizeLimitError : public std::length_error {
public:
    using std::length_error::length_error;
};

// Memory for a request of known size could not be had; the message says
// how much was asked for and what for.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// "index out of bounds: the len is {len} but the index is {index}"
std::string index_message(std::size_t len, std::size_t index);
[[noreturn]] void fail_index(std::size_t len, std::size_t index);

// A broken internal rule: fails the operation with EngineFailure
// "internal error: entered unreachable code: {what}" (in a noexcept
// function, that ends the process).
[[noreturn]] void unreachable(const char* what);

// Long operations call this every so often. It returns normally when there
// is no reason to stop, and throws Interrupted otherwise.
void poll_interrupt();

// Units of work between two interrupt checks of a PollCounter; tests make
// it small so that every loop checks often.
inline std::size_t poll_slice = std::size_t{1} << 16;

// Counts units of work and checks for interrupts once per `interval` of
// them (poll_slice unless the caller says otherwise): the one way loops
// whose steps are small and many check for interrupts.
class PollCounter {
public:
    void tick(std::size_t units = 1, std::size_t interval = poll_slice) {
        done_ += units;
        if (done_ >= interval) {
            done_ = 0;
            poll_interrupt();
        }
    }

private:
    std::size_t done_ = 0;
};

// Sorts, checking for interrupts between slices: sorting a hub's millions
// of neighbours is a long step of its own.
template <class T>
void sort_polled(std::vector<T>& values);

// Installs the check behind poll_interrupt (nullptr: never interrupt). It
// returns true when the running operation must stop.
void set_interrupt_check(bool (*check)()) noexcept;

// Makes poll_interrupt on the calling thread read `stop` instead of the
// process's check, and throw Interrupted once it is true: for the helper
// threads of a long call, which cannot ask the caller's runtime. nullptr
// goes back to the process's check.
void set_thread_stop_flag(const std::atomic<bool>* stop) noexcept;

// For tests that interrupt operations at each check in turn: while on,
// long operations check at every step instead of every so often.
void set_poll_every_step(bool on) noexcept;

template <class T>
void sort_polled(std::vector<T>& values) {
    const std::size_t kSlice = std::max<std::size_t>(poll_slice, 16);
    const std::size_t n = values.size();
    if (n <= kSlice) {
        std::sort(values.begin(), values.end());
        return;
    }
    for (std::size_t start = 0; start < n; start += kSlice) {
        std::sort(values.begin() + start, values.begin() + std::min(n, start + kSlice));
        poll_interrupt();
    }
    for (std::size_t width = kSlice; width < n; width *= 2) {
        for (std::size_t start = 0; start + width < n; start += 2 * width) {
            std::inplace_merge(values.begin() + start, values.begin() + start + width,
                               values.begin() + std::min(n, start + 2 * width));
            poll_interrupt();
        }
    }
}

}  // namespace lumora
