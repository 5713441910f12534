#include "qd-log.h"
#include "qpp-host-capture.h"

void qppInstallSinks(
    bool accept_any, const std::vector<std::string> &targets, qdSinkFunction sink)
{
    if (accept_any) {
        qd_sink_register_any(sink);
        return;
    }
    for (auto &target : targets) qd_sink_register(target, sink);
}

qppLogRecorder::qppLogRecorder()
{
    qd_set_log_sink([this](const std::string &message) { Write(message); });
}

qppLogRecorder::~qppLogRecorder() { qd_set_log_sink(nullptr); }

void qppLogRecorder::Write(const std::string &message)
{
    std::lock_guard<std::mutex> guard(lock);
    pending += message;
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
        lines.push_back(pending.substr(0, newline));
        pending.erase(0, newline + 1);
    }
    cond.notify_all();
}

std::vector<std::string> qppLogRecorder::Lines()
{
    std::lock_guard<std::mutex> guard(lock);
    return lines;
}

std::string qppLogRecorder::Text()
{
    std::lock_guard<std::mutex> guard(lock);
    std::string text;
    for (auto &line : lines) text += line + "\n";
    return text + pending;
}

size_t qppLogRecorder::CountLocked(const std::string &text) const
{
    size_t n = 0;
    for (auto &line : lines) {
        if (line.find(text) != std::string::npos) n++;
    }
    return n;
}

size_t qppLogRecorder::Count(const std::string &text)
{
    std::lock_guard<std::mutex> guard(lock);
    return CountLocked(text);
}

bool qppLogRecorder::WaitFor(
    const std::string &text, size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] { return CountLocked(text) >= n; });
}

qppSinkRecorder::qppSinkRecorder(const std::vector<std::string> &targets)
{
    qppInstallSinks(targets.empty(), targets, [this](const qdSinkPayload &payload) {
        std::lock_guard<std::mutex> guard(lock);
        payloads.push_back(payload);
        cond.notify_all();
    });
}

qppSinkRecorder::~qppSinkRecorder() { qd_sink_clear(); }

std::vector<qdSinkPayload> qppSinkRecorder::Payloads()
{
    std::lock_guard<std::mutex> guard(lock);
    return payloads;
}

bool qppSinkRecorder::WaitFor(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock);
    return cond.wait_for(guard, timeout, [&] { return payloads.size() >= n; });
}
