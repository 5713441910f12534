// The script runner's ends of the channel (see runner-channel.h).

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "qpp-python.h"
#include "runner-channel.h"
#include "quivend.h"

namespace {

// Set in a child that the script forks: the child must leave the channel
// alone. (Asking getpid at every write would cost a system call each.)
std::atomic<bool> forked{false};

// Gives up the interpreter lock for a wait when the caller holds it.
class ReleasedGil
{
public:
    explicit ReleasedGil(bool holds) : ts(holds ? PyEval_SaveThread() : nullptr) { }
    ~ReleasedGil()
    {
        if (ts != nullptr) PyEval_RestoreThread(ts);
    }
    ReleasedGil(const ReleasedGil &) = delete;
    ReleasedGil &operator=(const ReleasedGil &) = delete;

private:
    PyThreadState *ts;
};

}  // namespace

qppRunnerChannel::qppRunnerChannel(int memfd, int worker_bell, int monitor_bell, pid_t parent)
    : mapping(memfd),
      down(mapping.Head().down, mapping.Down(), qpp_down_capacity, false),
      up(mapping.Head().up, mapping.Up(), qpp_up_capacity, true),
      worker_bell(worker_bell), monitor_bell(monitor_bell), parent(parent)
{
    pthread_atfork(nullptr, nullptr, [] { forked.store(true); });
    const qppChannelHead &head = mapping.Head();
    if (head.magic != qpp_channel_magic || head.down_capacity != qpp_down_capacity ||
        head.up_capacity != qpp_up_capacity || head.reply_capacity != qpp_reply_capacity)
        throw qdException("the channel is not this runner's kind");
}

void qppRunnerChannel::Wait(std::atomic<uint32_t> &word, uint32_t seen, bool holds_gil)
{
    ReleasedGil released(holds_gil);
    if (! qppFutexWait(word, seen, 1000) && getppid() != parent) {
        // The daemon is gone (the parent-death signal covers the daemon's
        // thread that started the runner, not always the daemon).
        _exit(0);
    }
}

void qppRunnerChannel::Ring(int bell)
{
    // Non-blocking: a full pipe already holds a wake-up.
    char byte = 1;
    ssize_t rc = write(bell, &byte, 1);
    (void)rc;
}

void qppRunnerChannel::TakeDown(void *to, size_t n, bool holds_gil)
{
    uint8_t *at = static_cast<uint8_t *>(to);
    qppRingState &state = down.State();
    while (n > 0) {
        int64_t available = down.Available();
        if (available <= 0) {
            uint32_t seen = state.data_seq.load();
            state.reader_waiting.store(1);
            if (down.Available() <= 0) Wait(state.data_seq, seen, holds_gil);
            state.reader_waiting.store(0);
            continue;
        }
        size_t k = std::min<size_t>(n, static_cast<size_t>(available));
        down.Take(at, k);
        at += k;
        n -= k;
        if (state.writer_waiting.exchange(0)) Ring(worker_bell);
    }
}

qppMessage qppRunnerChannel::Read(std::string &body, bool holds_gil)
{
    uint32_t header[2];
    TakeDown(header, sizeof(header), holds_gil);
    body.resize(header[1]);
    TakeDown(&body[0], header[1], holds_gil);
    return static_cast<qppMessage>(header[0]);
}

bool qppRunnerChannel::Write(const std::string &message, bool urgent)
{
    if (forked.load(std::memory_order_relaxed)) return false;
    // Whoever holds the lock needs nothing but room, which the daemon
    // makes: waiting for it with the interpreter lock held is safe.
    std::lock_guard<std::mutex> guard(write_lock);
    if (! deferred.empty()) {
        deferred += message;
        Put(deferred, urgent);
        deferred.clear();
    }
    else
        Put(message, urgent);
    return true;
}

void qppRunnerChannel::Defer(const std::string &message)
{
    std::lock_guard<std::mutex> guard(write_lock);
    deferred += message;
}

void qppRunnerChannel::Put(const std::string &message, bool urgent)
{
    qppRingState &state = up.State();
    const char *at = message.data();
    size_t n = message.size();
    while (n > 0) {
        int64_t room = up.Room();
        if (room <= 0) {
            uint32_t seen = state.room_seq.load();
            state.writer_waiting.store(1);
            // A monitor that reads now and then may not be waiting.
            Ring(monitor_bell);
            if (up.Room() <= 0) Wait(state.room_seq, seen, false);
            state.writer_waiting.store(0);
            continue;
        }
        size_t k = std::min<size_t>(n, static_cast<size_t>(room));
        up.Put(at, k);
        at += k;
        n -= k;
        if (urgent && state.reader_waiting.exchange(0)) Ring(monitor_bell);
    }
}

qppMessage qppRunnerChannel::Request(const std::string &message, std::string &reply, bool holds_gil)
{
    qppReplyState &slot = mapping.Head().reply;
    uint32_t seen = slot.seq.load(std::memory_order_acquire);
    Write(message);
    // The request waits for the daemon: always wake it.
    Ring(monitor_bell);
    while (slot.seq.load(std::memory_order_acquire) == seen) Wait(slot.seq, seen, holds_gil);
    uint32_t length = std::min<uint32_t>(slot.length, qpp_reply_capacity);
    reply.assign(reinterpret_cast<const char *>(mapping.Reply()), length);
    return static_cast<qppMessage>(slot.type);
}
