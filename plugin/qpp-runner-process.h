// qppRunnerProcess: one started script runner (qpp-runner), as a resource
// of its instance: the child process, a pidfd on it, and the daemon's ends
// of the two bells the runner rings.
//
// Started in one place (the constructor, with posix_spawn: the daemon's
// address space is never forked), reaped in one (Reap), killed with its
// whole process group on every way out (the destructor kills and reaps
// one that was not reaped). The runner is the leader of a session of its
// own: the daemon's terminal signals do not reach it, and whatever it
// starts stays in its group, to go with it.
//
// Threads. The worker starts and destroys it; the runner's monitor thread
// waits on the pidfd and the monitor bell, and kills. Kill is safe on any
// thread until the object is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "qpp-configuration.h"
#include "qpp-fd.h"

// Who a runner runs as, resolved from qppRunnerSettings by the daemon.
struct qppRunnerIdentityArgs
{
    bool change = false;  // the daemon is root: become the user below
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    uint64_t memory_limit = 0;

    // Resolves the user and group names; throws qdException for one that
    // does not exist.
    static qppRunnerIdentityArgs Resolve(const qppRunnerSettings &settings);
};

class qppRunnerProcess
{
public:
    // Starts the runner at path with the channel memfd. Throws qdException.
    qppRunnerProcess(const std::string &path, int memfd, const qppRunnerIdentityArgs &identity,
        const std::string &tag);
    ~qppRunnerProcess();

    qppRunnerProcess(const qppRunnerProcess &) = delete;
    qppRunnerProcess &operator=(const qppRunnerProcess &) = delete;

    pid_t Pid() const { return pid; }
    // The instance's tag when the runner started.
    const std::string &Tag() const { return tag; }
    int PidFd() const { return pidfd.Get(); }
    int WorkerBell() const { return worker_bell.Get(); }
    int MonitorBell() const { return monitor_bell.Get(); }

    // SIGKILL to the runner and its process group; harmless once it ended.
    // Returns 0, or the errno of a runner that could not be signalled.
    int Kill();
    // Waits for the runner's end and reaps it. Returns how it ended, in
    // words: "exited with status 3", "was killed by signal 11
    // (Segmentation fault)". Once.
    std::string Reap();
    // The runner ended normally: exit status 0.
    bool EndedWell() const { return ended_well; }

    // Where the runner lies: beside the plugin library that this code is
    // part of.
    static std::string DefaultPath();

private:
    std::string tag;
    pid_t pid = -1;
    qppFd pidfd;
    qppFd worker_bell;   // read ends
    qppFd monitor_bell;
    std::atomic<bool> reaped{false};
    bool ended_well = false;
};
