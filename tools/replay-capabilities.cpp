#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "replay-capabilities.h"
#include "replay-host.h"

namespace {

// The C library has no wrapper for these; libcap would be a dependency for
// two system calls.
struct Capabilities
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
};

// What starting a runner as another user takes, and ending it (a runner
// of another user is out of reach of a signal without CAP_KILL), as bits
// of the first word.
constexpr uint32_t runner_start =
    (1u << CAP_SETUID) | (1u << CAP_SETGID) | (1u << CAP_SETPCAP) | (1u << CAP_KILL);

bool Kept(int cap, bool keep_runner_start)
{
    return keep_runner_start && cap < 32 && (runner_start & (1u << cap)) != 0;
}

std::string Failure(const char *what)
{
    return std::string("cannot give up the capabilities of the process: ") + what + ": " +
        strerror(errno);
}

}  // namespace

void qppReplayLimitCapabilities(bool keep_runner_start)
{
    // CAP_SETPCAP last: the others leave with it.
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; cap++) {
        if (cap == CAP_SETPCAP || Kept(cap, keep_runner_start)) continue;
        // Without CAP_SETPCAP none can be dropped; the others are given up
        // all the same, and what is not held cannot be gained without a
        // program that has file capabilities of its own.
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1 &&
            prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return;
    }
    if (! keep_runner_start) prctl(PR_CAPBSET_DROP, CAP_SETPCAP, 0, 0, 0);
}

void qppReplayDropCapabilities(bool keep_runner_start)
{
    keep_runner_start = keep_runner_start && geteuid() == 0;
    // A kernel without ambient capabilities has none to clear.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        throw qppReplaySetupError(Failure("the ambient set"));
    Capabilities none;
    if (keep_runner_start) {
        none.data[0].effective = runner_start;
        none.data[0].permitted = runner_start;
    }
    if (syscall(SYS_capset, &none.header, none.data) != 0)
        throw qppReplaySetupError(Failure("capset"));
    Capabilities left;
    if (syscall(SYS_capget, &left.header, left.data) != 0)
        throw qppReplaySetupError(Failure("capget"));
    // No capability can stay ambient without being permitted and
    // inheritable.
    for (auto &word : left.data) {
        uint32_t kept = &word == &left.data[0] && keep_runner_start ? runner_start : 0;
        if ((word.effective & ~kept) != 0 || (word.permitted & ~kept) != 0 || word.inheritable != 0) {
            errno = EPERM;
            throw qppReplaySetupError(Failure("capset"));
        }
    }
}
