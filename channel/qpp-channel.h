// The channel between an instance in the daemon and its script runner: one
// shared memory region (a sealed memfd) that both map, holding two byte
// rings and a reply slot, and the ways each side wakes the other.
//
//   down ring   daemon -> runner: the script's work (loads, events with
//               their flow records, sync points, the unload notice)
//   up ring     runner -> daemon: what the script does (log lines, calls,
//               payloads, requests) and acknowledgements
//   reply slot  daemon -> runner: the answer to the one request the
//               runner's main thread waits for (a dispatch, the counters)
//
// Each ring is a stream of messages (qpp-messages.h) of any length: a
// writer puts in what fits and waits for room, a reader takes what is
// there. A side that waits says so in the ring's shared state first, and
// the other side wakes it only then, once: the waker takes the flag back as
// it wakes (so a stream of messages costs one wake-up, not one each). The
// runner sleeps on a futex in the region, the daemon on a pipe whose write
// end the runner holds (so that the daemon can wait for it and for the
// runner's end, a pidfd, at once).
//
// Trust. The daemon trusts nothing the runner can write: the runner may
// change any byte of the region at any time. The daemon keeps its own
// positions (the down ring's head, the up ring's tail) to itself and only
// publishes them; of the runner's positions it accepts only values within
// one ring's capacity of its own, and it copies every byte out of the ring
// before it looks at it, so that nothing is read twice. The region cannot
// be resized under the daemon (the memfd is sealed before the runner gets
// it), and it holds no pointers. The runner trusts the daemon.
//
// Threads. On the daemon's side the instance's worker writes the down ring
// and the runner's monitor thread reads the up ring and writes the reply
// slot; on the runner's side its main thread reads the down ring and the
// reply slot, and any thread writes the up ring under the runner's own
// lock. Ring positions are atomics, so each ring has one writer and one
// reader at a time and needs no lock across the processes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qpp-fd.h"

constexpr uint32_t qpp_channel_magic = 0x71707031;  // "qpp1"

// Ring sizes: powers of two. A flow record is a few hundred bytes; the
// down ring holds thousands of them, so that a flow map streams while the
// runner builds its list. The reply slot holds the counters' JSON text.
constexpr uint32_t qpp_down_capacity = 4u << 20;
constexpr uint32_t qpp_up_capacity = 1u << 20;
constexpr uint32_t qpp_reply_capacity = 64u << 10;

// The state of one ring, each position on a cache line of its own.
struct qppRingState
{
    alignas(64) std::atomic<uint64_t> head;  // bytes ever written
    alignas(64) std::atomic<uint64_t> tail;  // bytes ever read
    alignas(64) std::atomic<uint32_t> reader_waiting;  // 1: wake the reader
    std::atomic<uint32_t> writer_waiting;              // 1: wake the writer
    // Futex words a runner sleeps on, bumped by the daemon to wake it.
    std::atomic<uint32_t> data_seq;
    std::atomic<uint32_t> room_seq;
};

struct qppReplyState
{
    std::atomic<uint32_t> seq;  // futex: bumped when a reply is in
    uint32_t type;
    uint32_t length;
};

struct qppChannelHead
{
    uint32_t magic;
    uint32_t down_capacity;
    uint32_t up_capacity;
    uint32_t reply_capacity;
    qppRingState down;
    qppRingState up;
    qppReplyState reply;
    // Futex word, set by the daemon when the instance is being deleted:
    // the runner's callback gets a grace, then is interrupted.
    alignas(64) std::atomic<uint32_t> ending;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free &&
        std::atomic<uint32_t>::is_always_lock_free,
    "ring positions are shared between processes: lock-free atomics only");

// Where the parts lie in the region.
constexpr size_t qpp_channel_head_size = 4096;
static_assert(sizeof(qppChannelHead) <= qpp_channel_head_size, "the head fits its page");
constexpr size_t qpp_down_offset = qpp_channel_head_size;
constexpr size_t qpp_up_offset = qpp_down_offset + qpp_down_capacity;
constexpr size_t qpp_reply_offset = qpp_up_offset + qpp_up_capacity;
constexpr size_t qpp_channel_size = qpp_reply_offset + qpp_reply_capacity;

// One mapping of the region, unmapped when it goes.
class qppChannelMapping
{
public:
    // Maps the region of fd (qpp_channel_size bytes). Throws qdException.
    explicit qppChannelMapping(int fd);
    ~qppChannelMapping();

    qppChannelMapping(const qppChannelMapping &) = delete;
    qppChannelMapping &operator=(const qppChannelMapping &) = delete;

    qppChannelHead &Head() const { return *reinterpret_cast<qppChannelHead *>(base); }
    uint8_t *Down() const { return base + qpp_down_offset; }
    uint8_t *Up() const { return base + qpp_up_offset; }
    uint8_t *Reply() const { return base + qpp_reply_offset; }

private:
    uint8_t *base;
};

// Daemon side: a new region, zeroed, its head written, sealed against
// resizing. Throws qdException.
qppFd qppCreateChannel();

// One side's end of one ring: the writer's or the reader's. The end keeps
// its own position; Room and Available read the other side's from the
// shared state and refuse (with -1) one that no honest peer could have
// published. Put and Take never block: the caller waits as its side does.
class qppRingEnd
{
public:
    qppRingEnd(qppRingState &state, uint8_t *data, uint32_t capacity, bool writer);

    // Writer: bytes that fit now; -1 for a peer that broke the ring.
    int64_t Room() const;
    // Writes n bytes (at most Room) and publishes them.
    void Put(const void *bytes, size_t n);

    // Reader: bytes there now; -1 for a peer that broke the ring.
    int64_t Available() const;
    // Copies n bytes (at most Available) out and publishes their room.
    void Take(void *bytes, size_t n);

    qppRingState &State() const { return state; }

private:
    qppRingState &state;
    uint8_t *data;
    uint64_t capacity;
    uint64_t position;  // our own: head for a writer, tail for a reader
};

// Futex calls on words of the shared region (not private futexes: the
// two processes share them).
void qppFutexWake(std::atomic<uint32_t> &word);
// Sleeps while word holds seen, for at most timeout_ms; false on timeout.
bool qppFutexWait(std::atomic<uint32_t> &word, uint32_t seen, int timeout_ms);
