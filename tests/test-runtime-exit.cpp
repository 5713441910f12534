// What happens to the runtime when the host process ends: it is finalised
// once, at the end, when every instance was deleted; it is left to the
// process's end when an instance or a script's thread still lives. And what
// must not end it: a script writing to a pipe whose reader is gone.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <tuple>
#include <optional>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-test-host.h"

namespace {

using qpptest::Process;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Matcher;
using ::testing::Not;

// A scenario of tests/lifetime-host.cpp, and what its output must show.
struct Ending
{
    const char *mode;
    Matcher<std::string> output;
    // With scripts in runners, where that differs; else output.
    std::optional<Matcher<std::string>> process_output = std::nullopt;
    int status = 0;
};

// The script runner (pid) is gone within the deadline: reaped, or a zombie
// that whoever adopted it has yet to reap.
bool RunnerGone(int pid)
{
    auto deadline = std::chrono::steady_clock::now() + qpptest::deadline;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string status = qpptest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = status.rfind(')');
        if (status.empty() || (paren != std::string::npos && status.compare(paren, 4, ") Z ") == 0))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Names the scenario in test output.
void PrintTo(const Ending &ending, std::ostream *out) { *out << ending.mode; }

// Runs the host process; its exit status and what it wrote.
std::pair<int, std::string> RunHost(const std::string &mode)
{
    std::string command = std::string(QPP_LIFETIME_HOST) + " " + mode + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, ""};
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

// Matches text that holds what exactly n times.
MATCHER_P2(HasTimes, what, n, "contains \"" + std::string(what) + "\" " +
    std::to_string(n) + " times")
{
    size_t seen = 0;
    for (size_t at = 0; (at = arg.find(what, at)) != std::string::npos; at++) seen++;
    return seen == size_t(n);
}

Matcher<std::string> HasOnce(const char *what) { return HasTimes(what, 1); }

using RuntimeAtExit = ::testing::TestWithParam<Ending>;

}  // namespace

TEST_P(RuntimeAtExit, EndsAsItShould)
{
    // A process the host left behind holding its output would keep the
    // end of it from ever coming.
    int status = -1;
    std::string output;
    qpptest::RunOrDie({[&] { std::tie(status, output) = RunHost(GetParam().mode); }},
        std::chrono::seconds(60), "waiting for the host process's end");
    const Ending &ending = GetParam();
    EXPECT_EQ(status, ending.status) << output;
    for (size_t at = 0; (at = output.find("host: runner ", at)) != std::string::npos; at++)
        EXPECT_TRUE(RunnerGone(atoi(output.c_str() + at + 13))) << output;
    EXPECT_THAT(output, Process() && ending.process_output ? *ending.process_output : ending.output);
}

INSTANTIATE_TEST_SUITE_P(Endings, RuntimeAtExit,
    ::testing::Values(
        // Finalised only because no instance, refused or not, was left
        // counted. Extension modules load again in every new
        // sub-interpreter. (A runner brings up and ends a runtime of its
        // own, and says so.)
        Ending{"generations",
            AllOf(HasOnce("Invalid plugin type: python-bad [0]"),
                HasOnce("Invalid plugin type: python-bad [3]"), HasOnce("Python initialized: "),
                HasOnce("python-bad: Python initialized: 3."), HasOnce("python-stats: destroyed"),
                HasTimes("extensions: destroyed", 3),
                HasTimes("extensions: {\"a\": 1} 4.0 2026-01-02 ", 3), HasTimes(" True\n", 3),
                EndsWith("python-bad: Python finalized successfully.\n"),
                HasOnce("Python finalized")),
            AllOf(HasOnce("python-bad: Python initialized: 3."), HasOnce("python-stats: destroyed"),
                HasTimes("extensions: destroyed", 3),
                HasTimes("extensions: {\"a\": 1} 4.0 2026-01-02 ", 3), HasTimes(" True\n", 3),
                EndsWith("python-bad: Python finalized successfully.\n"),
                HasOnce("python-bad: Python finalized"))},
        // A runner ends with the threads of its script.
        Ending{"stubborn",
            AllOf(HasOnce("threads_stubborn: 2 script thread(s) still running after 3 seconds: "
                          "their interpreter is left alive"),
                HasOnce("threads_stubborn: destroyed"), HasOnce("extensions: {\"a\": 1}"),
                Not(HasSubstr("python-test: Python finalized"))),
            AllOf(HasOnce("threads_stubborn: 2 script thread(s) still running after 3 seconds: "
                          "they end with the runner"),
                HasOnce("threads_stubborn: destroyed"), HasOnce("extensions: {\"a\": 1}"))},
        // Whatever a failed import left behind, ending an instance does
        // not import anything; in runners every instance imports and uses
        // them all. Debian's modules are built for its python3.
        Ending{"numpy",
            QPP_DEBIAN_PYTHON
                ? Matcher<std::string>(AllOf(HasOnce("numeric: numpy 6\n"),
                      HasTimes("numeric: numpy ImportError\n", 2),
                      HasOnce("numeric: numpy SystemError\n"), HasTimes("numeric: destroyed", 4)))
                : Matcher<std::string>(HasTimes("numeric: destroyed", 4)),
            QPP_DEBIAN_PYTHON
                ? Matcher<std::string>(AllOf(HasTimes("numeric: numpy 6\n", 4),
                      HasTimes("numeric: lxml.etree b\n", 4),
                      HasTimes("numeric: cryptography.fernet ok\n", 4),
                      HasTimes("numeric: destroyed", 4)))
                : Matcher<std::string>(HasTimes("numeric: destroyed", 4))},
        // The host killed while a callback sleeps: the runner goes too.
        Ending{"killed", ::testing::_, HasOnce("host: runner "), 128 + SIGKILL},
        // Never deleted: its worker looks itself up in the registry while
        // the exit handlers run.
        Ending{"busy", AllOf(HasOnce("busy: looking itself up"),
                           Not(HasSubstr("Python finalized")))},
        // A write to a closed pipe is a BrokenPipeError, not the host's end.
        Ending{"sigpipe", AllOf(HasOnce("broken_pipe: callback got BrokenPipeError"),
                              HasOnce("broken_pipe: thread got BrokenPipeError"),
                              HasOnce("broken_pipe: destroyed"),
                              HasOnce("host: SIGPIPE disposition default"))}),
    [](const ::testing::TestParamInfo<Ending> &info) { return info.param.mode; });
