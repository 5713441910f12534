// What happens to the runtime when the host process ends: it is finalised
// once, at the end, when every instance was deleted; it is left to the
// process's end when an instance or a script's thread still lives. And what
// must not end it: a script writing to a pipe whose reader is gone.

#include <cstdio>
#include <cstring>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

struct Result
{
    int status;
    std::string output;
};

Result RunHost(const std::string &mode)
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

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++) n++;
    return n;
}

}  // namespace

TEST(RuntimeAtExit, RefusedPluginsGiveTheirCountBack)
{
    Result r = RunHost("refused");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Count(r.output, "Invalid plugin type: python-bad [3]"), 2u);
    // Finalised only because no instance was left counted.
    EXPECT_EQ(Count(r.output, "python-bad: Python finalized successfully."), 1u) << r.output;
    EXPECT_EQ(r.output.rfind("python-bad: Python finalized successfully.\n"),
        r.output.size() - strlen("python-bad: Python finalized successfully.\n"));
}

TEST(RuntimeAtExit, GenerationsEndWithOneFinalisation)
{
    Result r = RunHost("generations");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Count(r.output, "Python initialized: "), 1u);
    EXPECT_EQ(Count(r.output, "extensions: {\"a\": 1}"), 3u);
    EXPECT_EQ(Count(r.output, "Python finalized successfully."), 1u) << r.output;
}

TEST(RuntimeAtExit, ThreadsLeftRunningKeepTheRuntime)
{
    Result r = RunHost("stubborn");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Count(r.output, "threads_stubborn: 2 script thread(s) still running after 3 "
                              "seconds: their interpreter is left alive"),
        1u) << r.output;
    EXPECT_EQ(Count(r.output, "Python finalized"), 0u);
}

TEST(RuntimeAtExit, UndeletedInstanceKeepsTheRuntime)
{
    Result r = RunHost("undeleted");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Count(r.output, "extensions: {\"a\": 1}"), 1u);
    EXPECT_EQ(Count(r.output, "Python finalized"), 0u) << r.output;
}

TEST(HostProcess, AWriteToAClosedPipeIsABrokenPipeErrorNotTheHostsEnd)
{
    Result r = RunHost("sigpipe");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Count(r.output, "broken_pipe: callback got BrokenPipeError"), 1u) << r.output;
    EXPECT_EQ(Count(r.output, "broken_pipe: thread got BrokenPipeError"), 1u);
    EXPECT_EQ(Count(r.output, "broken_pipe: destroyed"), 1u);
    EXPECT_EQ(Count(r.output, "host: SIGPIPE disposition default"), 1u);
}
