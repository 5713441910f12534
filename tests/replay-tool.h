// Runs the built qpp-replay as its users do, in a process of its own, with a
// work directory per test; shared by the tool's tests.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qpp-data-dir.h"

extern char **environ;

namespace tool {

namespace fs = std::filesystem;

inline std::string ReadFile(const std::string &path) { return qppReadFile(path); }

// Written in place, through a link the test made: unlike the kit's
// qppWriteFile, which replaces the file.
inline void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

struct Result
{
    int status = -1;  // the exit status; -1 when the tool did not exit
    int signal = 0;   // the signal that ended it, if one did
    std::string out, err;
    long max_rss_kib = 0;  // the tool's peak resident memory
};

// A test with a fresh work directory, removed with all it holds at the end.
class ToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        work = (fs::temp_directory_path() / "qpp-tool-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(work.data()), nullptr);
    }

    void TearDown() override
    {
        const char *tmp = getenv("TMPDIR");
        if (tmp != nullptr && work == tmp) unsetenv("TMPDIR");
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }

    std::string Path(const std::string &name) const { return work + "/" + name; }

    // Starts the tool with args. Standard output goes to out (the work
    // directory's "stdout" when empty; "|" for a pipe whose reader is
    // gone), standard error to its "stderr", or where standard output goes
    // with merged, so that their order shows.
    pid_t Spawn(const std::vector<std::string> &args, const std::string &stdin_path = "/dev/null",
        bool merged = false, const std::string &out = std::string())
    {
        std::error_code ignored;
        for (auto name : {"stdout", "stderr"}) fs::remove(Path(name), ignored);
        std::vector<std::string> words = args;
        words.insert(words.begin(), QPP_REPLAY_PATH);
        words.insert(words.begin(), launcher.begin(), launcher.end());
        std::vector<char *> argv;
        for (auto &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
        int gone[2] = {-1, -1};
        if (out == "|" && pipe(gone) == 0) {
            close(gone[0]);
            posix_spawn_file_actions_adddup2(&actions, gone[1], 1);
        }
        else
            posix_spawn_file_actions_addopen(&actions, 1, (out.empty() ? Path("stdout") : out).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (merged)
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (gone[1] >= 0) close(gone[1]);
        EXPECT_EQ(rc, 0) << "cannot run " << argv[0];
        return rc == 0 ? pid : -1;
    }

    // Waits for the tool to end (killing it after limit) and collects what
    // it wrote to the work directory's files.
    Result Wait(pid_t pid, std::chrono::milliseconds limit = std::chrono::hours(1))
    {
        Result result;
        if (pid < 0) return result;
        int status = 0;
        struct rusage usage = {};
        if (! Eventually([&] { return wait4(pid, &status, WNOHANG, &usage) == pid; }, limit)) {
            ADD_FAILURE() << "the tool was still running after " << limit.count() << " ms";
            kill(pid, SIGKILL);
            while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
        }
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
        result.max_rss_kib = usage.ru_maxrss;
        result.out = ReadFile(Path("stdout"));
        result.err = ReadFile(Path("stderr"));
        return result;
    }

    // Runs the tool with stdin_text as its standard input.
    Result Run(const std::vector<std::string> &args, const std::string &stdin_text = std::string(),
        bool merged = false, const std::string &out = std::string())
    {
        WriteFile(Path("stdin"), stdin_text);
        return Wait(Spawn(args, Path("stdin"), merged, out));
    }

    // Whether condition came true within limit; asked every 10 ms.
    static bool Eventually(const std::function<bool()> &condition, std::chrono::milliseconds limit)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (! condition()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            usleep(10000);
        }
        return true;
    }

    // Runs started from now on make their scratch directories in the work
    // directory, where Scratches finds those they left.
    void ScratchHere() const { setenv("TMPDIR", work.c_str(), 1); }
    std::vector<std::string> Scratches() const
    {
        std::vector<std::string> left;
        for (auto &entry : fs::directory_iterator(work))
            if (entry.path().filename().string().rfind("qpp-replay-", 0) == 0) left.push_back(entry.path());
        return left;
    }

    std::string work;
    // A program and its arguments that start the tool (which follows them),
    // such as setpriv; none by default.
    std::vector<std::string> launcher;
};

}  // namespace tool
