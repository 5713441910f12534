// How a replay is asked to stop. SIGINT, SIGTERM and SIGHUP ask it to stop:
// the first one ends the reading as the end of the input would, and the run
// then stops the plugin cleanly; a second one ends the process at once, by
// that signal, after the last clean-up (the scratch directory goes).
//
// The handlers only note the signal and write a byte to a pipe of this
// object's; its watcher thread reads the pipe and acts on a second request.
// Any thread may ask Requested. One object per process, made and destroyed
// by the main thread; the clean-up is set and cleared under the lock that
// the watcher holds while it runs it.
#pragma once

#include <functional>
#include <mutex>
#include <thread>

#include "qpp-fd.h"

class qppReplayStop
{
public:
    qppReplayStop();
    ~qppReplayStop();
    qppReplayStop(const qppReplayStop &) = delete;
    qppReplayStop &operator=(const qppReplayStop &) = delete;

    // True once a stop was asked for.
    bool Requested() const;
    // The signal of the first request; 0 while none came.
    int Signal() const;
    // Ends the process by the first request's signal, as its default
    // action would have.
    [[noreturn]] void EndAsAsked() const;

    // Runs cleanup before a second request ends the process, for as long
    // as the returned object lives; cleanup must not outlive what it uses.
    class AtOnce
    {
    public:
        AtOnce(qppReplayStop &stop, std::function<void()> cleanup);
        ~AtOnce();
        AtOnce(const AtOnce &) = delete;
        AtOnce &operator=(const AtOnce &) = delete;

    private:
        qppReplayStop &stop;
    };

private:
    void Watch();

    qppFd pipe_read;   // the watcher's end
    qppFd pipe_write;  // the handlers' end
    std::mutex lock;
    std::function<void()> cleanup;  // guarded by lock
    std::thread watcher;
};
