// What the script runner gives up before it reads any script: descriptors
// it was not given, root (for the user, group and groups the daemon chose),
// every capability, the chance to gain any back (no-new-privileges), core
// files, and more than its share of memory and descriptors. And how it ends
// with the daemon: the parent-death signal.
//
// The main thread, first thing, while it is the only thread.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct qppRunnerIdentity
{
    bool change = false;  // the daemon runs as root: become uid, gid, groups
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    uint64_t memory_limit = 0;  // bytes of data; 0: none
};

// The descriptors the runner keeps, all below this; the rest are closed.
constexpr int qpp_runner_fds = 6;
// The most descriptors a runner may hold open.
constexpr uint64_t qpp_runner_open_files = 1024;

// Returns an empty text, or what failed (the runner then ends).
std::string qppDropPrivileges(const qppRunnerIdentity &identity, pid_t parent);
