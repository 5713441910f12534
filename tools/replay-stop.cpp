#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "replay-stop.h"

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handlers, which may run on any thread: lock-free atomics
// and write(2) are all they touch.
std::atomic<int> first_signal{0};
std::atomic<int> handler_fd{-1};

struct sigaction old_actions[sizeof(stop_signals) / sizeof(stop_signals[0])];

void OnStopSignal(int signal)
{
    int saved = errno;
    int none = 0;
    first_signal.compare_exchange_strong(none, signal);
    unsigned char byte = static_cast<unsigned char>(signal);
    int fd = handler_fd.load();
    if (fd >= 0 && write(fd, &byte, 1) < 0) { }
    errno = saved;
}

// Ends the process as the signal's default action does, so that whoever
// started the tool learns what ended it.
[[noreturn]] void DieBy(int signal)
{
    fflush(stderr);
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

}  // namespace

qppReplayStop::qppReplayStop()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        pipe_read = qppFd(fds[0]);
        pipe_write = qppFd(fds[1]);
    }
    else {
        // Without the pipe a first request still stops the run, but a
        // second one cannot end it.
        fprintf(stderr, "qpp-replay: cannot watch for a second interrupt: %s\n", strerror(errno));
    }
    handler_fd = pipe_write.Get();
    first_signal = 0;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call of the thread that takes the signal
    // returns early, so that the request is seen sooner.
    for (size_t i = 0; i < sizeof(stop_signals) / sizeof(stop_signals[0]); i++)
        sigaction(stop_signals[i], &action, &old_actions[i]);
    if (pipe_read) watcher = std::thread([this] { Watch(); });
}

qppReplayStop::~qppReplayStop()
{
    for (size_t i = 0; i < sizeof(stop_signals) / sizeof(stop_signals[0]); i++)
        sigaction(stop_signals[i], &old_actions[i], nullptr);
    handler_fd = -1;
    if (watcher.joinable()) {
        // A zero byte tells the watcher to end.
        unsigned char end = 0;
        if (write(pipe_write.Get(), &end, 1) < 0) { }
        watcher.join();
    }
}

bool qppReplayStop::Requested() const { return first_signal.load() != 0; }

int qppReplayStop::Signal() const { return first_signal.load(); }

void qppReplayStop::EndAsAsked() const { DieBy(Signal()); }

void qppReplayStop::Watch()
{
    int requests = 0;
    for (;;) {
        unsigned char byte;
        ssize_t n = read(pipe_read.Get(), &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || byte == 0) return;
        if (++requests == 1) {
            fprintf(stderr, "qpp-replay: stopping (%s); interrupt again to end at once\n",
                strsignal(byte));
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            if (cleanup) cleanup();
        }
        fprintf(stderr, "qpp-replay: ended at once (%s), before the plugin had stopped\n",
            strsignal(byte));
        DieBy(byte);
    }
}

qppReplayStop::AtOnce::AtOnce(qppReplayStop &stop, std::function<void()> cleanup) : stop(stop)
{
    std::lock_guard<std::mutex> guard(stop.lock);
    stop.cleanup = std::move(cleanup);
}

qppReplayStop::AtOnce::~AtOnce()
{
    std::lock_guard<std::mutex> guard(stop.lock);
    stop.cleanup = nullptr;
}
