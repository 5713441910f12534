// Runs the built qpp-replay as its users do, in a process of its own, with a
// work directory per test; shared by the tool's tests.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

    void TearDown() override { std::error_code ignored; fs::remove_all(work, ignored); }

    std::string Path(const std::string &name) const { return work + "/" + name; }

    // Starts the tool with args. Standard output goes to out (the work
    // directory's "stdout" when empty), standard error to its "stderr", or
    // where standard output goes with merged, so that their order shows.
    pid_t Spawn(const std::vector<std::string> &args, const std::string &stdin_path = "/dev/null",
        bool merged = false, const std::string &out = std::string())
    {
        std::error_code ignored;
        for (auto name : {"stdout", "stderr"}) fs::remove(Path(name), ignored);
        std::vector<std::string> words = args;
        words.insert(words.begin(), QPP_REPLAY_PATH);
        std::vector<char *> argv;
        for (auto &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (out.empty() ? Path("stdout") : out).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (merged)
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot run " << argv[0];
        return rc == 0 ? pid : -1;
    }

    // Waits for the tool to end and collects what it wrote to the work
    // directory's files.
    Result Wait(pid_t pid)
    {
        Result result;
        if (pid < 0) return result;
        int status = 0;
        struct rusage usage = {};
        while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
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

    std::string work;
};

}  // namespace tool
