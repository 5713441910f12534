// qppFd: one owned file descriptor, closed when the owner goes. Move-only;
// a plain int is always borrowed.
#pragma once

#include <unistd.h>

class qppFd
{
public:
    qppFd() = default;
    explicit qppFd(int fd) : fd(fd) { }
    ~qppFd() { Reset(); }

    qppFd(const qppFd &) = delete;
    qppFd &operator=(const qppFd &) = delete;
    qppFd(qppFd &&other) noexcept : fd(other.Release()) { }
    qppFd &operator=(qppFd &&other) noexcept
    {
        if (this != &other) {
            Reset();
            fd = other.Release();
        }
        return *this;
    }

    int Get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }

    int Release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
    void Reset()
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

// Reads a non-blocking descriptor empty: the wake-ups that a bell (a pipe)
// or an eventfd holds, which say only that there was one.
inline void qppDrain(int fd)
{
    char buffer[256];
    while (read(fd, buffer, sizeof(buffer)) > 0) {
    }
}
