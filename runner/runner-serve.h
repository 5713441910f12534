// The script runner's work: the messages of the down ring served in
// order, as the daemon's worker serves its queue in a sub-interpreter,
// through the same script, calls and watchdog (qpp-invoke.h).
//
// It owns the script (its interpreter is the runner's main interpreter),
// the watchdog, and the instance the module's functions find on the main
// thread (dispatch and stats go to the daemon as requests). The main thread
// runs Serve with the interpreter lock held, giving it up while it waits
// for the daemon; the watchdog's thread interrupts calls, and a thread of
// its own tells the watchdog when the instance is being deleted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "qpp-invoke.h"
#include "qpp-runtime.h"
#include "qpp-script.h"
#include "qpp-watchdog.h"
#include "runner-channel.h"

class qppRunnerServer : public qppInstance, public qppCallObserver
{
public:
    qppRunnerServer(qppRunnerChannel &channel, const std::string &tag);
    ~qppRunnerServer();

    // Main thread, interpreter lock held: serves until the daemon says
    // EXIT. Throws qdException for a message it cannot take.
    void Serve();
    // Main thread, interpreter lock not held: ends the watchdog's thread
    // and the ending's (the watchdog's may be waiting for the lock).
    void StopThreads();
    // Main thread, interpreter lock held, threads stopped: tears the script
    // down as an instance's end does. False when its threads still run.
    bool Teardown();

    // qppInstance, on the main thread (the module's functions).
    std::string InstanceTag() const override { return tag; }
    nlohmann::json Statistics() const override;
    void DispatchPayload(const std::string &target, const std::set<std::string> &channels,
        size_t length, const uint8_t *payload, qdFlags<qdPlugin::DispatchFlags> flags) override;

    // qppCallObserver: the calls, for the daemon's counters.
    void CallBegins(uint8_t id) override;
    void CallEnded(uint8_t id, qppCallOutcome outcome, uint64_t ns) override;

private:
    void Load(const std::string &body);
    void Event(const std::string &body);
    void UnloadNotice();
    // urgent: someone waits for it (a sync point, the unload notice).
    void Done(uint64_t seq, bool dropped, bool urgent = true);
    void WatchEnding();

    qppRunnerChannel &channel;
    std::string tag;  // main thread
    std::atomic<uint8_t> mask{0};
    qppScript script;
    qppWatchdog watchdog;
    std::chrono::nanoseconds budget{0};  // main thread
    std::atomic<bool> ending{false};
    std::thread ending_watch;
};
