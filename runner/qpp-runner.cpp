// qpp-runner: runs one instance's script in a process of its own, started
// by the plugin (never by hand) with its channel on descriptor 3 and the
// write ends of the daemon's two bells on 4 and 5.
//
//   qpp-runner --parent PID --tag TAG [--uid N --gid N --groups N,N,...]
//              [--memory-limit BYTES]
//
// With --uid the runner becomes that user (the daemon runs as root). It
// gives up what the script must not have before Python starts, embeds
// Python in its main interpreter, and serves the channel until the daemon
// says EXIT. Exit status 0 then; 64 for bad arguments, 71 when it could not
// give up its privileges, 70 for anything else that went wrong (said on
// the daemon's log where the channel is up, else on standard error).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "qpp-interpreter.h"
#include "qpp-module.h"
#include "qpp-runtime.h"
#include "runner-channel.h"
#include "runner-log.h"
#include "runner-privileges.h"
#include "runner-serve.h"

namespace {

bool Number(const char *text, uint64_t &value)
{
    char *end = nullptr;
    errno = 0;
    value = strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

bool ParseGroups(const char *text, std::vector<gid_t> &groups)
{
    std::string list(text);
    size_t at = 0;
    while (at < list.size()) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        uint64_t gid;
        if (! Number(list.substr(at, comma - at).c_str(), gid)) return false;
        groups.push_back(static_cast<gid_t>(gid));
        at = comma + 1;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    uint64_t parent = 0;
    std::string tag = "qpp-runner";
    qppRunnerIdentity identity;
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        const char *value = (i + 1 < argc) ? argv[i + 1] : nullptr;
        uint64_t n = 0;
        bool ok = value != nullptr;
        if (ok && option == "--parent")
            ok = Number(value, parent);
        else if (ok && option == "--tag")
            tag = value;
        else if (ok && option == "--uid") {
            ok = Number(value, n);
            identity.change = true;
            identity.uid = static_cast<uid_t>(n);
        }
        else if (ok && option == "--gid") {
            ok = Number(value, n);
            identity.gid = static_cast<gid_t>(n);
        }
        else if (ok && option == "--groups")
            ok = ParseGroups(value, identity.groups);
        else if (ok && option == "--memory-limit")
            ok = Number(value, identity.memory_limit);
        else
            ok = false;
        if (! ok) {
            fprintf(stderr, "qpp-runner: started by hand, or with a bad argument: %s\n",
                option.c_str());
            return 64;
        }
    }
    if (parent == 0 || static_cast<pid_t>(parent) != getppid()) {
        fprintf(stderr, "qpp-runner: runs only as the plugin starts it\n");
        return 64;
    }

    // Writes to a closed pipe raise BrokenPipeError in the script, as they
    // do in the daemon, instead of ending the runner; every thread the
    // script starts inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    std::string fault = qppDropPrivileges(identity, static_cast<pid_t>(parent));
    if (! fault.empty()) {
        fprintf(stderr, "qpp-runner: %s\n", fault.c_str());
        return 71;
    }

    try {
        // Never destroyed: the runtime's end, as the process exits, logs
        // through it too.
        qppRunnerChannel &channel = *new qppRunnerChannel(3, 4, 5, static_cast<pid_t>(parent));
        qppRunnerLogTo(&channel);
        qppRuntime::Initialize(tag, "qpp", PyInit_qpp);
        // One thread state for every event: the runner serves one script,
        // whose main thread this is. It lives until the runtime ends: the
        // threading module took it for the main thread's, and waits for
        // the other threads on it.
        PyEval_RestoreThread(PyThreadState_New(PyInterpreterState_Main()));
        bool ended;
        {
            qppRunnerServer server(channel, tag);
            qppRuntime::AddInstance(&server);
            server.Serve();
            qppRuntime::RemoveInstance();
            Py_BEGIN_ALLOW_THREADS
            server.StopThreads();
            Py_END_ALLOW_THREADS
            ended = server.Teardown();
        }
        if (! ended) {
            // Threads that never end would keep the runtime's end waiting.
            fflush(nullptr);
            _exit(0);
        }
        PyEval_SaveThread();
        qppRuntime::Finalize();
    }
    catch (const std::exception &e) {
        qd_printf("%s: script runner: %s\n", tag.c_str(), e.what());
        return 70;
    }
    // The runtime is finalised as the process ends: the script's atexit
    // handlers run, its threads are waited for.
    return 0;
}
