// The operating system's entropy, which keys the thread generators: the one
// file that differs between platforms. Linux asks the getrandom system call
// (reading /dev/urandom, once /dev/random is readable, where the call is
// missing), macOS getentropy, Windows BCryptGenRandom.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/rng.hpp"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
// clang-format off: bcrypt.h needs the types windows.h declares.
#include <windows.h>
#include <bcrypt.h>
// clang-format on
#elif defined(__APPLE__)
#include <sys/random.h>
#include <unistd.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace lumora {

namespace {

[[maybe_unused]] std::string errno_text(int err) {
    return std::strerror(err) + (" (os error " + std::to_string(err) + ")");
}

#if !defined(_WIN32) && !defined(__APPLE__)

// Reads /dev/urandom once /dev/random has become readable, which shows that
// the kernel's pool has been initialised.
bool urandom_fallback(std::array<std::uint8_t, 32>& key, std::string& error) {
    const int random_fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (random_fd < 0) {
        error = errno_text(errno);
        return false;
    }
    pollfd pfd{random_fd, POLLIN, 0};
    int polled;
    do {
        polled = ::poll(&pfd, 1, -1);
    } while (polled < 0 && errno == EINTR);
    const int poll_errno = errno;
    ::close(random_fd);
    if (polled < 0) {
        error = errno_text(poll_errno);
        return false;
    }
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno_text(errno);
        return false;
    }
    std::size_t filled = 0;
    while (filled < key.size()) {
        const ssize_t got = ::read(fd, key.data() + filled, key.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error =
                got < 0 ? errno_text(errno) : std::string("unexpected end of file on /dev/urandom");
            ::close(fd);
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return true;
}

#endif

}  // namespace

bool os_entropy(std::array<std::uint8_t, 32>& key, std::string& error) {
#if defined(_WIN32)
    const NTSTATUS status = ::BCryptGenRandom(nullptr, key.data(), static_cast<ULONG>(key.size()),
                                              BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) {
        error = "BCryptGenRandom failed (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
#elif defined(__APPLE__)
    if (::getentropy(key.data(), key.size()) != 0) {
        error = errno_text(errno);
        return false;
    }
    return true;
#else
#if defined(SYS_getrandom)
    // The system call itself, so that wheels built against old C libraries,
    // which have no getrandom() wrapper, use it too.
    std::size_t filled = 0;
    while (filled < key.size()) {
        const long got = ::syscall(SYS_getrandom, key.data() + filled, key.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOSYS && filled == 0) {
                return urandom_fallback(key, error);
            }
            error = errno_text(errno);
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
#else
    return urandom_fallback(key, error);
#endif
#endif
}

}  // namespace lumora
