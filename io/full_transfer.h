// Whole reads and writes on file descriptors: the loops around read(2) and
// write(2) that go on after a partial transfer or an interrupting signal.
// Inline, so that executables that link nothing else of this layer can use
// them.
#pragma once

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace orvo::detail {

// Calls transfer(done) (a read or write of the bytes from `done` on, giving
// the count moved) until `size` bytes have moved; false when a call moves
// nothing or fails other than by an interruption.
template <class Transfer>
bool transfer_fully(Transfer transfer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = transfer(done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// Writes `size` bytes to `fd`; false, with errno set, when a write fails.
inline bool write_fully(int fd, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    return transfer_fully([&](std::size_t done) { return write(fd, bytes + done, size - done); }, size);
}

// Reads exactly `size` bytes from `fd`; false when the input ends first or a
// read fails.
inline bool read_fully(int fd, void* data, std::size_t size)
{
    char* bytes = static_cast<char*>(data);
    return transfer_fully([&](std::size_t done) { return read(fd, bytes + done, size - done); }, size);
}

}  // namespace orvo::detail
