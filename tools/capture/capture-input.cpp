#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture-input.h"

const char *const qppCaptureUsage =
    "Capture input (INPUT a pcap or pcapng file, or a live interface):\n"
    "  --interface NAME      capture live on NAME (needs root; see --user)\n"
    "  --filter EXPR         only packets that the BPF expression selects\n"
    "  --count N             stop after N packets\n"
    "  --duration SECONDS    stop after this much capture time\n"
    "  --update-interval SECONDS  time between flow-map updates (default 15)\n"
    "  --idle-timeout NAME=SECONDS  a flow's idle timeout: tcp (300),\n"
    "                        tcp-closed (10), udp (30), other (30)\n"
    "  --max-flows N         track at most N flows at once (default 65536)\n"
    "  --user NAME           after opening the capture, run as NAME (with its\n"
    "                        groups); live, root runs as nobody by default\n"
    "                        (root keeps root)\n";

namespace {

uint64_t Milliseconds(const std::string &option, const std::string &text, bool zero_allowed)
{
    char *end = nullptr;
    double seconds = strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || ! std::isfinite(seconds) ||
        seconds < 0 || (seconds == 0 && ! zero_allowed) || seconds > 1e9) {
        throw qppCaptureError(option + " needs a number of seconds" +
            (zero_allowed ? "" : " above zero") + ", not " + text);
    }
    // The host keeps time in whole milliseconds: less than one would be
    // taken for none at all.
    if (seconds > 0 && seconds < 0.001) {
        throw qppCaptureError(option + " needs at least 0.001 seconds (the host counts "
            "whole milliseconds), not " + text);
    }
    return static_cast<uint64_t>(std::llround(seconds * 1000));
}

uint64_t Count(const std::string &option, const std::string &text)
{
    char *end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || value == 0)
        throw qppCaptureError(option + " needs a whole number above zero, not " + text);
    return value;
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool qppCaptureOption(const std::string &arg, const std::function<std::string()> &take,
    qppCaptureInputOptions &options)
{
    if (arg == "--interface") {
        options.interface = take();
        if (options.interface.empty())
            throw qppCaptureError("--interface needs the name of an interface, not an empty text");
    }
    else if (arg == "--filter")
        options.filter = take();
    else if (arg == "--count")
        options.stop.count = Count(arg, take());
    else if (arg == "--duration")
        options.stop.duration_ms = Milliseconds(arg, take(), false);
    else if (arg == "--update-interval")
        options.flows.update_interval_ms = Milliseconds(arg, take(), false);
    else if (arg == "--max-flows")
        options.flows.max_flows = Count(arg, take());
    else if (arg == "--user")
        options.user = take();
    else if (arg == "--idle-timeout") {
        std::string value = take();
        size_t equals = value.find('=');
        std::string name = value.substr(0, equals);
        if (equals == std::string::npos) {
            throw qppCaptureError("--idle-timeout needs NAME=SECONDS (tcp, tcp-closed, udp, other), not " +
                value);
        }
        uint64_t ms = Milliseconds("--idle-timeout " + name, value.substr(equals + 1), true);
        if (name == "tcp") options.flows.tcp_timeout_ms = ms;
        else if (name == "tcp-closed") options.flows.tcp_closed_timeout_ms = ms;
        else if (name == "udp") options.flows.udp_timeout_ms = ms;
        else if (name == "other") options.flows.other_timeout_ms = ms;
        else
            throw qppCaptureError("--idle-timeout knows tcp, tcp-closed, udp and other, not " + name);
    }
    else
        return false;
    if (arg != "--interface" && options.capture_only.empty()) options.capture_only = arg;
    return true;
}

qppCaptureInput::qppCaptureInput(const qppCaptureInputOptions &options, qppCaptureSource source)
    : options(options), source(std::move(source)) { }

std::unique_ptr<qppCaptureInput> qppCaptureInput::Open(
    const qppCaptureInputOptions &options, const std::string &input, qppInputStream *stream)
{
    if (! options.interface.empty()) {
        if (input != "-")
            throw qppCaptureError("give either INPUT or --interface, not both");
        qppCaptureSource source = qppCaptureSource::OpenLive(options.interface);
        if (! options.filter.empty()) source.Filter(options.filter);
        // Before any script is read or run: scripts never run as root
        // because capturing needed it.
        qppCaptureSource::DropPrivileges(options.user);
        qppCaptureInputOptions mine = options;
        mine.flows.iface_name = options.interface;
        return std::unique_ptr<qppCaptureInput>(new qppCaptureInput(mine, std::move(source)));
    }

    qppInputKind kind = stream->Kind();
    if (kind == qppInputKind::NEITHER) {
        throw qppCaptureError(stream->Name() + " is neither JSON Lines nor a capture "
            "(pcap or pcapng): it starts with binary data");
    }
    if (kind == qppInputKind::JSON_LINES) {
        if (! options.capture_only.empty()) {
            throw qppCaptureError(options.capture_only +
                " goes with a capture: INPUT a pcap or pcapng file, or --interface");
        }
        return nullptr;
    }
    FILE *file = stream->Release();
    if (file == nullptr)
        throw qppCaptureError("cannot read the capture " + stream->Name() + ": " + strerror(errno));
    qppCaptureSource source = qppCaptureSource::OpenFile(file, stream->Name());
    if (! options.filter.empty()) source.Filter(options.filter);
    // A file needs no privilege to read: the user changes only when asked.
    if (! options.user.empty()) qppCaptureSource::DropPrivileges(options.user);
    qppCaptureInputOptions mine = options;
    mine.flows.iface_name = input == "-" ? "stdin" : BaseName(input);
    return std::unique_ptr<qppCaptureInput>(new qppCaptureInput(mine, std::move(source)));
}

std::string qppCaptureInput::Deliver(qppCaptureEvents &events)
{
    qppCaptureFlows flows(options.flows, events);
    std::string error = source.Read(flows, options.stop, [&events] { return events.Stopping(); });
    // Whatever ended the reading, every flow still tracked expires, so a
    // script sees each flow's final statistics.
    flows.Finish();

    const qppCaptureCounters &c = flows.Counters();
    std::string skipped;
    for (size_t i = 1; i < c.skipped.size(); i++) {
        if (c.skipped[i] == 0) continue;
        skipped += (skipped.empty() ? "" : ", ") + std::to_string(c.skipped[i]) + " " +
            qppDecodeResultName(static_cast<qppDecodeResult>(i));
    }
    if (c.refused_packets != 0) {
        skipped += (skipped.empty() ? "" : ", ") + std::to_string(c.refused_packets) +
            " over the flow bound";
    }
    fprintf(stderr, "qpp-replay: %s: %llu packets, %llu in %llu flows; skipped: %s\n",
        source.Name().c_str(), static_cast<unsigned long long>(c.records),
        static_cast<unsigned long long>(c.tracked_packets),
        static_cast<unsigned long long>(c.flows), skipped.empty() ? "none" : skipped.c_str());
    return error;
}
