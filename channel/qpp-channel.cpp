// The shared region and its rings (see qpp-channel.h).

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <new>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "qpp-channel.h"
#include "quivend.h"

qppChannelMapping::qppChannelMapping(int fd)
{
    void *address = mmap(nullptr, qpp_channel_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED)
        throw qdException("cannot map the runner's channel: %s", strerror(errno));
    base = static_cast<uint8_t *>(address);
}

qppChannelMapping::~qppChannelMapping() { munmap(base, qpp_channel_size); }

qppFd qppCreateChannel()
{
    qppFd fd(memfd_create("qpp-channel", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (! fd) throw qdException("cannot make the runner's channel: %s", strerror(errno));
    if (ftruncate(fd.Get(), qpp_channel_size) < 0)
        throw qdException("cannot size the runner's channel: %s", strerror(errno));
    // A runner that could shrink the file would make the daemon's next
    // read of the region a SIGBUS.
    if (fcntl(fd.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) < 0)
        throw qdException("cannot seal the runner's channel: %s", strerror(errno));
    qppChannelMapping mapping(fd.Get());
    // A new file reads as zeros: only the head's constants are written, in
    // place, the atomics as they are (zero).
    qppChannelHead &head = mapping.Head();
    head.magic = qpp_channel_magic;
    head.down_capacity = qpp_down_capacity;
    head.up_capacity = qpp_up_capacity;
    head.reply_capacity = qpp_reply_capacity;
    return fd;
}

qppRingEnd::qppRingEnd(qppRingState &state, uint8_t *data, uint32_t capacity, bool writer)
    : state(state), data(data), capacity(capacity),
      position(writer ? state.head.load() : state.tail.load())
{
}

int64_t qppRingEnd::Room() const
{
    uint64_t tail = state.tail.load(std::memory_order_acquire);
    // The reader is behind the writer by at most the capacity, never ahead.
    uint64_t used = position - tail;
    if (used > capacity) return -1;
    return static_cast<int64_t>(capacity - used);
}

void qppRingEnd::Put(const void *bytes, size_t n)
{
    const uint8_t *from = static_cast<const uint8_t *>(bytes);
    size_t at = static_cast<size_t>(position & (capacity - 1));
    size_t first = std::min<size_t>(n, capacity - at);
    memcpy(data + at, from, first);
    memcpy(data, from + first, n - first);
    position += n;
    // Sequentially consistent: the reader's flag is read after the head
    // is out, so that a reader that set it and then looked at the head
    // either saw these bytes or is woken.
    state.head.store(position, std::memory_order_seq_cst);
}

int64_t qppRingEnd::Available() const
{
    uint64_t head = state.head.load(std::memory_order_acquire);
    uint64_t ready = head - position;
    if (ready > capacity) return -1;
    return static_cast<int64_t>(ready);
}

void qppRingEnd::Take(void *bytes, size_t n)
{
    uint8_t *to = static_cast<uint8_t *>(bytes);
    size_t at = static_cast<size_t>(position & (capacity - 1));
    size_t first = std::min<size_t>(n, capacity - at);
    memcpy(to, data + at, first);
    memcpy(to + first, data, n - first);
    position += n;
    state.tail.store(position, std::memory_order_seq_cst);
}

void qppFutexWake(std::atomic<uint32_t> &word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE, INT_MAX,
        nullptr, nullptr, 0);
}

bool qppFutexWait(std::atomic<uint32_t> &word, uint32_t seen, int timeout_ms)
{
    struct timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    long rc = syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT, seen,
        &timeout, nullptr, 0);
    return ! (rc < 0 && errno == ETIMEDOUT);
}
