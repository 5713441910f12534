// Giving up what the script must not have (see runner-privileges.h).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "qpp-fd.h"
#include "runner-privileges.h"

namespace {

std::string Failed(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

bool Limit(int resource, uint64_t value)
{
    struct rlimit limit = {static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
    return setrlimit(resource, &limit) == 0;
}

// The bounding set loses every capability where the process may change it
// (CAP_SETPCAP, which root has until it changes its user), and the
// ambient set is emptied: nothing can come back through an exec.
std::string DropInheritedCapabilities()
{
    for (int cap = 0; cap <= 63; cap++) {
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) < 0) break;  // no such capability
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) < 0 && errno != EPERM)
            return Failed("cannot drop a capability from the bounding set");
    }
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) < 0 && errno != EINVAL)
        return Failed("cannot clear the ambient capabilities");
    return std::string();
}

std::string DropCapabilities()
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capset, &header, data) < 0) return Failed("cannot drop the capabilities");
    return std::string();
}

}  // namespace

std::string qppDropPrivileges(const qppRunnerIdentity &identity, pid_t parent)
{
    // Whatever the daemon left open without close-on-exec.
    if (syscall(SYS_close_range, qpp_runner_fds, ~0U, 0) < 0) {
        for (int fd = qpp_runner_fds; fd < 65536; fd++) close(fd);
    }

    // The kernel's choice when memory runs out: this runner before the
    // daemon. Raising one's own score needs no privilege.
    qppFd oom(open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC));
    if (oom) {
        ssize_t rc = write(oom.Get(), "1000", 4);
        (void)rc;
    }

    if (! Limit(RLIMIT_CORE, 0)) return Failed("cannot turn core files off");
    if (! Limit(RLIMIT_NOFILE, qpp_runner_open_files)) return Failed("cannot limit open files");
    if (identity.memory_limit != 0 && ! Limit(RLIMIT_DATA, identity.memory_limit))
        return Failed("cannot limit memory");

    // Root stays root only when configured so.
    bool keep_root = identity.change && identity.uid == 0;
    if (identity.change) {
        if (setgroups(identity.groups.size(), identity.groups.data()) < 0)
            return Failed("cannot set the groups");
        if (setresgid(identity.gid, identity.gid, identity.gid) < 0)
            return Failed("cannot set the group");
    }
    if (! keep_root) {
        std::string fault = DropInheritedCapabilities();
        if (fault.empty() && identity.change) {
            if (setresuid(identity.uid, identity.uid, identity.uid) < 0)
                return Failed("cannot set the user");
            // A change that did not take is no drop at all.
            if (setuid(0) == 0 || geteuid() == 0) return "root could be regained";
        }
        if (fault.empty()) fault = DropCapabilities();
        if (! fault.empty()) return fault;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0) return Failed("cannot set no-new-privileges");

    // Cleared by every change of credentials above, so set last. It is
    // tied to the daemon's thread that started the runner; a parent gone
    // before it was set is caught here, and the channel's waits check the
    // parent now and then.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) < 0) return Failed("cannot set the parent-death signal");
    if (getppid() != parent) _exit(0);

    if (chdir("/") < 0) return Failed("cannot change to /");
    return std::string();
}
