// One script runner process (see qpp-runner-process.h).

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qpp-runner-process.h"
#include "quivend.h"

extern char **environ;

namespace {

// The runner's descriptors: the channel and the bells' write ends.
constexpr int runner_channel_fd = 3;
constexpr int runner_worker_bell_fd = 4;
constexpr int runner_monitor_bell_fd = 5;

// A pipe whose read end the daemon waits on and whose write end, made
// non-blocking, the runner rings.
void Bell(qppFd &read_end, qppFd &write_end)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        throw qdException("cannot start the script runner: pipe: %s", strerror(errno));
    read_end = qppFd(fds[0]);
    write_end = qppFd(fds[1]);
    fcntl(read_end.Get(), F_SETFL, O_NONBLOCK);
    fcntl(write_end.Get(), F_SETFL, O_NONBLOCK);
}

// A copy of fd at 10 or above, so that moving the runner's descriptors to
// 3, 4 and 5 never overwrites one still to be moved.
qppFd High(int fd)
{
    qppFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 10));
    if (! copy) throw qdException("cannot start the script runner: dup: %s", strerror(errno));
    return copy;
}

// What the runner's environment keeps of the daemon's: the locale, the
// time zone and the search path. The rest (credentials of the daemon's
// sinks, say) is not the script's; the sanitizers' options pass so that a
// sanitized build's runner keeps its suppressions.
std::vector<std::string> RunnerEnvironment(const std::string &home)
{
    static const char *const kept[] = {"PATH", "LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE",
        "TZ", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"};
    std::vector<std::string> env;
    for (const char *name : kept) {
        const char *value = getenv(name);
        if (value != nullptr) env.push_back(std::string(name) + "=" + value);
    }
    if (! home.empty()) env.push_back("HOME=" + home);
    return env;
}

std::string HomeOf(uid_t uid)
{
    struct passwd pw, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &pw, buffer, sizeof(buffer), &found) != 0 || found == nullptr)
        return std::string();
    return pw.pw_dir;
}

bool HoldsKill()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_KILL / 32].effective & (1u << (CAP_KILL % 32))) != 0;
}

class SpawnActions
{
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    posix_spawn_file_actions_t actions;
};

class SpawnAttributes
{
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    posix_spawnattr_t attributes;
};

}  // namespace

qppRunnerIdentityArgs qppRunnerIdentityArgs::Resolve(const qppRunnerSettings &settings)
{
    qppRunnerIdentityArgs identity;
    identity.memory_limit = settings.memory_limit;
    if (geteuid() != 0) return identity;  // the runner is the daemon's user

    identity.change = true;
    struct passwd pw, *user = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(settings.user.c_str(), &pw, buffer.data(), buffer.size(), &user) != 0 ||
        user == nullptr)
        throw qdException("cannot start the script runner: no such user: %s", settings.user.c_str());
    identity.uid = user->pw_uid;
    identity.gid = user->pw_gid;
    // A runner of another user is out of reach of a signal without
    // CAP_KILL: one that misbehaved could never be ended.
    if (identity.uid != 0 && ! HoldsKill())
        throw qdException("cannot start the script runner: the daemon cannot end a runner that "
                          "runs as %s (it lacks the capability CAP_KILL)", settings.user.c_str());
    if (! settings.group.empty()) {
        struct group gr, *group = nullptr;
        std::vector<char> group_buffer(16384);
        if (getgrnam_r(settings.group.c_str(), &gr, group_buffer.data(), group_buffer.size(),
                &group) != 0 ||
            group == nullptr)
            throw qdException("cannot start the script runner: no such group: %s",
                settings.group.c_str());
        identity.gid = group->gr_gid;
    }
    int count = 64;
    identity.groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, identity.gid, identity.groups.data(), &count) < 0) {
        identity.groups.resize(static_cast<size_t>(count));
        getgrouplist(user->pw_name, identity.gid, identity.groups.data(), &count);
    }
    identity.groups.resize(static_cast<size_t>(count));
    return identity;
}

std::string qppRunnerProcess::DefaultPath()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&qppRunnerProcess::DefaultPath), &info) == 0 ||
        info.dli_fname == nullptr)
        return "qpp-runner";
    std::string library = info.dli_fname;
    size_t slash = library.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : library.substr(0, slash)) +
        "/qpp-runner";
}

qppRunnerProcess::qppRunnerProcess(const std::string &path, int memfd,
    const qppRunnerIdentityArgs &identity, const std::string &tag)
    : tag(tag)
{
    qppFd worker_write, monitor_write;
    Bell(worker_bell, worker_write);
    Bell(monitor_bell, monitor_write);
    qppFd channel = High(memfd), worker = High(worker_write.Get()),
          monitor = High(monitor_write.Get());

    SpawnActions files;
    posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files.actions, channel.Get(), runner_channel_fd);
    posix_spawn_file_actions_adddup2(&files.actions, worker.Get(), runner_worker_bell_fd);
    posix_spawn_file_actions_adddup2(&files.actions, monitor.Get(), runner_monitor_bell_fd);
    // Nothing else of the daemon's: whatever it left open without
    // close-on-exec (a capture socket, say) stays behind.
    posix_spawn_file_actions_addclosefrom_np(&files.actions, runner_monitor_bell_fd + 1);

    SpawnAttributes attributes;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes.attributes, &none);
    posix_spawnattr_setsigdefault(&attributes.attributes, &all);
    posix_spawnattr_setflags(&attributes.attributes,
        POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> args = {path, "--parent", std::to_string(getpid()), "--tag", tag};
    if (identity.change) {
        std::string groups;
        for (gid_t g : identity.groups) groups += (groups.empty() ? "" : ",") + std::to_string(g);
        args.insert(args.end(), {"--uid", std::to_string(identity.uid), "--gid",
                                    std::to_string(identity.gid)});
        if (! groups.empty()) args.insert(args.end(), {"--groups", groups});
    }
    if (identity.memory_limit != 0)
        args.insert(args.end(), {"--memory-limit", std::to_string(identity.memory_limit)});
    std::vector<std::string> env =
        RunnerEnvironment(HomeOf(identity.change ? identity.uid : geteuid()));
    std::vector<char *> argv, envp;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    int rc = posix_spawn(&pid, path.c_str(), &files.actions, &attributes.attributes,
        argv.data(), envp.data());
    if (rc != 0) {
        pid = -1;
        throw qdException("cannot start the script runner %s: %s", path.c_str(), strerror(rc));
    }
    pidfd = qppFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (! pidfd) {
        int error = errno;
        Kill();
        Reap();
        throw qdException("cannot watch the script runner: pidfd_open: %s", strerror(error));
    }
}

qppRunnerProcess::~qppRunnerProcess()
{
    if (pid <= 0 || reaped) return;
    Kill();
    Reap();
}

int qppRunnerProcess::Kill()
{
    if (pid <= 0 || reaped) return 0;
    // The group while the runner is not reaped: its number cannot have
    // been given to another process yet.
    kill(-pid, SIGKILL);
    long rc = pidfd ? syscall(SYS_pidfd_send_signal, pidfd.Get(), SIGKILL, nullptr, 0)
                    : kill(pid, SIGKILL);
    // One that has ended but is not reaped yet takes no signal: ESRCH.
    return rc < 0 && errno != ESRCH ? errno : 0;
}

std::string qppRunnerProcess::Reap()
{
    // Whatever the runner started goes with it.
    kill(-pid, SIGKILL);
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    int rc;
    do {
        rc = pidfd ? waitid(P_PIDFD, static_cast<id_t>(pidfd.Get()), &info, WEXITED)
                   : waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED);
    } while (rc < 0 && errno == EINTR);
    reaped = true;
    if (rc < 0) {
        // A daemon that ignores SIGCHLD, or reaps every child itself.
        return "ended (how is not known: " + std::string(strerror(errno)) + ")";
    }
    if (info.si_code == CLD_EXITED) {
        ended_well = info.si_status == 0;
        return "exited with status " + std::to_string(info.si_status);
    }
    return "was killed by signal " + std::to_string(info.si_status) + " (" +
        strsignal(info.si_status) + ")";
}
