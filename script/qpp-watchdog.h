// qppWatchdog: interrupts a script callback that runs past its time budget
// (the configuration's "callback_timeout"), or past the grace given to it
// once the instance is being deleted, by raising CallbackTimeout in the
// worker's thread state.
//
// Threads. The worker marks the start and the end of every callback call
// (CallStarted, CallEnded) with the interpreter lock held: an atomic store
// and a read of the steady clock, no system call. The watchdog's own thread
// exists only once a budget was configured (started by the worker) or the
// instance is ending (started by the host thread that deletes it); it polls
// the marks, and when a call runs past its deadline it enters the
// instance's sub-interpreter with a thread_scope and checks, under the
// interpreter lock, that the same call still runs before it raises the
// exception there. Since the worker ends a call under the interpreter lock
// too, an interruption never lands on another call; CallEnded clears one
// that the call did not live to see.
//
// lock guards budget, ending, stopping, tag and the thread object. It is
// never held while the interpreter lock is taken.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "qpp-python.h"

// How long a callback may go on once the instance is being deleted.
constexpr std::chrono::seconds callback_stop_grace(3);

class qppWatchdog
{
public:
    qppWatchdog() = default;
    ~qppWatchdog() { Stop(); }

    qppWatchdog(const qppWatchdog &) = delete;
    qppWatchdog &operator=(const qppWatchdog &) = delete;

    // Worker thread, before its first call: whose calls are watched.
    void SetWorker(PyInterpreterState *interp, unsigned long thread_ident);

    // Worker thread: the budget (zero: none) and the tag for log lines.
    void Configure(std::chrono::nanoseconds budget, const std::string &tag);

    // Worker thread, interpreter lock held, around one call of the
    // callback whose bit is id. CallEnded is true when the call was
    // interrupted (the caller counts it); a pending interruption is
    // cleared.
    // CallStarted returns the start it read from the steady clock.
    std::chrono::steady_clock::time_point CallStarted(uint8_t id);
    bool CallEnded();

    // Host thread, before it joins the worker: calls get the grace from now.
    void BeginEnding();

    // Ends the watchdog's thread; any thread but the worker.
    void Stop();

private:
    using clock = std::chrono::steady_clock;

    void Run();
    void StartLocked();
    // Under the interpreter lock: raises the exception in the worker when
    // the call that began at start still runs. False when it ended.
    bool Interrupt(int64_t start, const std::string &message,
        const std::string &log_line);

    // Written by the worker under the interpreter lock, read by the
    // watchdog (unlocked for its schedule, under the interpreter lock to
    // decide). call_start is the call's start on the steady clock in
    // nanoseconds, unique per call; 0 when no call runs.
    std::atomic<int64_t> call_start{0};
    std::atomic<uint8_t> call_id{0};
    int64_t last_start = 0;  // worker thread only
    // The start of the call that was interrupted; written by the watchdog
    // under the interpreter lock.
    std::atomic<int64_t> interrupted_start{0};
    std::atomic<PyInterpreterState *> interp{nullptr};
    std::atomic<unsigned long> worker_ident{0};

    std::mutex lock;
    std::condition_variable cond;
    std::chrono::nanoseconds budget{0};  // guarded by lock
    bool ending = false;                 // guarded by lock
    clock::time_point ending_at;         // guarded by lock
    bool stopping = false;               // guarded by lock
    std::string tag;                     // guarded by lock
    std::thread thread;                  // guarded by lock
};
