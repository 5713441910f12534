#include <cerrno>
#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

#include "qpp-host-capture.h"
#include "replay-host.h"

using json = nlohmann::json;

namespace {

std::string Quote(const std::string &text)
{
    // Payloads come from Python str objects and are UTF-8; anything else is
    // shown with replacement characters rather than refused.
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

qppReplayOutput::qppReplayOutput(const std::string &payload_file, bool keep_payloads)
    : payloads(stdout), payload_name("standard output"), own_file(false),
      keep(keep_payloads)
{
    if (payload_file.empty()) return;
    payload_name = payload_file;
    payloads = fopen(payload_file.c_str(), "w");
    if (payloads == nullptr) {
        throw qppReplaySetupError("cannot write " + payload_file + ": " +
            strerror(errno));
    }
    own_file = true;
}

qppReplayOutput::~qppReplayOutput()
{
    Uninstall();
    if (own_file) fclose(payloads);
}

void qppReplayOutput::Install(
    const std::vector<std::string> &targets, bool accept_any)
{
    qd_set_log_sink([this](const std::string &message) { Log(message); });
    // Without accept_any only these targets exist: the host refuses any
    // other by throwing, and the script's dispatch returns False.
    qppInstallSinks(accept_any, targets,
        [this](const qdSinkPayload &payload) { Payload(payload); });
}

void qppReplayOutput::Uninstall()
{
    qd_set_log_sink(nullptr);
    qd_sink_clear();
}

std::vector<std::string> qppReplayOutput::PayloadLines()
{
    std::lock_guard<std::mutex> guard(lock);
    return lines;
}

std::string qppReplayOutput::FormatPayload(const qdSinkPayload &payload)
{
    std::string channels;
    for (auto &channel : payload.channels)
        channels += (channels.empty() ? "" : ", ") + Quote(channel);
    std::string text(payload.payload.begin(), payload.payload.end());
    return "{\"target\": " + Quote(payload.target) + ", \"channels\": [" +
        channels + "], \"flags\": " + std::to_string(payload.flags) +
        ", \"payload\": " + Quote(text) + "}";
}

std::string qppReplayOutput::Failure()
{
    std::lock_guard<std::mutex> guard(lock);
    return failure;
}

void qppReplayOutput::Write(FILE *file, const std::string &name, const std::string &text)
{
    if (fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0)
        return;
    if (failure.empty()) failure = "cannot write " + name + ": " + strerror(errno);
    failed = true;
    clearerr(file);
}

void qppReplayOutput::Log(const std::string &message)
{
    std::lock_guard<std::mutex> guard(lock);
    Write(stdout, "standard output", message);
}

void qppReplayOutput::Payload(const qdSinkPayload &payload)
{
    std::string line = FormatPayload(payload);
    std::lock_guard<std::mutex> guard(lock);
    if (keep) lines.push_back(line);
    line += '\n';
    Write(payloads, payload_name, line);
}

qppReplayHost::qppReplayHost(const std::string &plugin_path) : library(plugin_path)
{
    SetPatience(std::chrono::seconds(10));
}

void qppReplayHost::SetPatience(std::chrono::milliseconds patience)
{
    instance.SetPatience(patience, [] {
        fprintf(stderr, "qpp-replay: still waiting for the plugin; "
            "is a script callback blocked?\n");
    });
}
