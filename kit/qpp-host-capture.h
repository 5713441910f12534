// What a plugin writes to the host, caught through the stand-in's
// test-facing hooks: the host log line by line, and payloads as the host's
// sinks receive them. Each recorder installs its hook while it lives; the
// hooks are process-wide, so one of each at a time.
//
// Plugins write from their own threads; every member takes the recorder's
// own lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qd-sink.h"

// Registers sink as the catch-all sink when accept_any, otherwise under each
// of targets only. A target without a sink makes the host refuse the
// payload, and the script's dispatch return False.
void qppInstallSinks(
    bool accept_any, const std::vector<std::string> &targets, qdSinkFunction sink);

// Everything written to the host log, line by line, with waits.
class qppLogRecorder
{
public:
    qppLogRecorder();
    ~qppLogRecorder();

    qppLogRecorder(const qppLogRecorder &) = delete;
    qppLogRecorder &operator=(const qppLogRecorder &) = delete;

    std::vector<std::string> Lines();
    std::string Text();
    // Lines that contain text.
    size_t Count(const std::string &text);
    // Waits until at least n lines contain text.
    bool WaitFor(const std::string &text, size_t n, std::chrono::milliseconds timeout);

private:
    void Write(const std::string &message);
    size_t CountLocked(const std::string &text) const;

    std::mutex lock;
    std::condition_variable cond;
    std::string pending;              // guarded by lock: a line not ended yet
    std::vector<std::string> lines;  // guarded by lock
};

// Payloads delivered to sinks, copied as the host hands them on.
class qppSinkRecorder
{
public:
    // Sinks under these names, or a catch-all one when empty.
    explicit qppSinkRecorder(const std::vector<std::string> &targets = {});
    ~qppSinkRecorder();

    qppSinkRecorder(const qppSinkRecorder &) = delete;
    qppSinkRecorder &operator=(const qppSinkRecorder &) = delete;

    std::vector<qdSinkPayload> Payloads();
    bool WaitFor(size_t n, std::chrono::milliseconds timeout);

private:
    std::mutex lock;
    std::condition_variable cond;
    std::vector<qdSinkPayload> payloads;  // guarded by lock
};
