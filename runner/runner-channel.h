// The script runner's ends of its channel to the daemon (qpp-channel.h):
// it reads the down ring and the reply slot, and writes the up ring.
//
// Threads. The main thread reads messages and makes requests; any thread
// writes (log lines come from the script's own threads and the watchdog
// too), one whole message at a time under write_lock. The main thread's
// waits for the daemon give up the interpreter lock when it holds it, so
// that the script's other threads run meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>

#include "qpp-channel.h"
#include "qpp-messages.h"

class qppRunnerChannel
{
public:
    // Maps the region of memfd; the bells are the write ends of the pipes
    // the daemon's worker and monitor wait on; parent is the daemon, whose
    // end the runner outlives by at most a second. Throws qdException.
    qppRunnerChannel(int memfd, int worker_bell, int monitor_bell, pid_t parent);

    qppRunnerChannel(const qppRunnerChannel &) = delete;
    qppRunnerChannel &operator=(const qppRunnerChannel &) = delete;

    // Main thread: the next message from the daemon; its body in body.
    qppMessage Read(std::string &body, bool holds_gil);

    // Any thread: sends one message whole (after what was deferred),
    // waiting for room as needed. False in a forked child of the runner,
    // which must not write to the channel (its bytes would mix with the
    // runner's): nothing is sent. A message that is not urgent (an event's
    // acknowledgement, which nobody waits for) does not wake the daemon's
    // monitor, which reads such messages now and then.
    bool Write(const std::string &message, bool urgent = true);
    // Main thread: a message that goes with the next one written, so that
    // a call's end and its event's acknowledgement go out at once.
    void Defer(const std::string &message);

    // Main thread: sends a request and returns the daemon's reply.
    qppMessage Request(const std::string &message, std::string &reply, bool holds_gil);

    // Set by the daemon once the instance is being deleted.
    std::atomic<uint32_t> &Ending() { return mapping.Head().ending; }

private:
    // Waits on word while it holds seen, for at most a second: the daemon
    // wakes the runner when it has something; once a second the runner
    // checks that its daemon still lives.
    void Wait(std::atomic<uint32_t> &word, uint32_t seen, bool holds_gil);
    void Ring(int bell);
    // Under write_lock: the message into the up ring.
    void Put(const std::string &message, bool urgent);
    void TakeDown(void *to, size_t n, bool holds_gil);

    qppChannelMapping mapping;
    qppRingEnd down;
    qppRingEnd up;
    int worker_bell;
    int monitor_bell;
    pid_t parent;
    std::mutex write_lock;  // one writer of the up ring at a time
    std::string deferred;   // guarded by write_lock
};
