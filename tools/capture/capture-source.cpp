#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/time.h>
#include <unistd.h>

#include <pcap/pcap.h>

#include "capture-decode.h"
#include "capture-flows.h"
#include "capture-source.h"

namespace {

// The longest wait for a packet of a live capture: the clock, the duration
// and a stop request are looked at least this often.
constexpr int live_wait_ms = 50;

uint64_t WallMs()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

uint64_t SteadyMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace

qppCaptureSource::qppCaptureSource(pcap *handle, bool live, const std::string &name)
    : handle(handle), live(live), name(name), link_type(pcap_datalink(handle)) { }

qppCaptureSource::qppCaptureSource(qppCaptureSource &&other) noexcept
    : handle(other.handle), live(other.live), selectable(other.selectable), name(other.name),
      link_type(other.link_type), records(other.records)
{
    other.handle = nullptr;
}

qppCaptureSource::~qppCaptureSource()
{
    if (handle != nullptr) pcap_close(handle);
}

qppCaptureSource qppCaptureSource::OpenFile(FILE *file, const std::string &path)
{
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *handle = pcap_fopen_offline_with_tstamp_precision(
        file, PCAP_TSTAMP_PRECISION_MICRO, error);
    if (handle == nullptr) {
        fclose(file);
        throw qppCaptureError("cannot read the capture " + path + ": " + error);
    }
    qppCaptureSource source(handle, false, path);
    if (! qppLinkTypeSupported(source.link_type)) {
        const char *link = pcap_datalink_val_to_name(source.link_type);
        throw qppCaptureError("cannot read the capture " + path + ": its link type " +
            std::to_string(source.link_type) + (link ? std::string(" (") + link + ")" : "") +
            " is not one this host decodes (Ethernet, Linux cooked v1 and v2, "
            "raw IP, BSD loopback)");
    }
    return source;
}

qppCaptureSource qppCaptureSource::OpenLive(const std::string &interface)
{
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *handle = pcap_create(interface.c_str(), error);
    if (handle == nullptr)
        throw qppCaptureError("cannot capture on " + interface + ": " + error);
    pcap_set_snaplen(handle, 262144);
    pcap_set_promisc(handle, 0);
    // Packets come as they arrive. A read never blocks (see Read): on a
    // quiet interface, a blocking one would not return whatever its timeout.
    pcap_set_immediate_mode(handle, 1);
    pcap_set_timeout(handle, live_wait_ms);
    int status = pcap_activate(handle);
    if (status < 0) {
        std::string why = pcap_geterr(handle);
        pcap_close(handle);
        switch (status) {
        case PCAP_ERROR_PERM_DENIED:
            throw qppCaptureError("cannot capture on " + interface +
                ": permission denied; live capture needs root, or the "
                "capabilities CAP_NET_RAW and CAP_NET_ADMIN");
        case PCAP_ERROR_NO_SUCH_DEVICE:
            throw qppCaptureError("cannot capture on " + interface +
                ": no such interface");
        default:
            throw qppCaptureError("cannot capture on " + interface + ": " + why);
        }
    }
    qppCaptureSource source(handle, true, interface);
    if (! qppLinkTypeSupported(source.link_type)) {
        throw qppCaptureError("cannot capture on " + interface + ": its link type " +
            std::to_string(source.link_type) + " is not one this host decodes");
    }
    if (pcap_setnonblock(handle, 1, error) != 0)
        throw qppCaptureError("cannot capture on " + interface + ": " + error);
    source.selectable = pcap_get_selectable_fd(handle);
    return source;
}

void qppCaptureSource::Filter(const std::string &expression)
{
    struct bpf_program program;
    if (pcap_compile(handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
        throw qppCaptureError("bad --filter \"" + expression + "\": " + pcap_geterr(handle));
    int status = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (status != 0)
        throw qppCaptureError("cannot apply --filter: " + std::string(pcap_geterr(handle)));
}

void qppCaptureSource::DropPrivileges(const std::string &user)
{
    bool root = geteuid() == 0 || getuid() == 0;
    if (user.empty() && ! root) return;
    std::string name = user.empty() ? "nobody" : user;
    errno = 0;
    struct passwd *entry = getpwnam(name.c_str());
    if (entry == nullptr) {
        throw qppCaptureError(std::string(root ? "cannot give up root" : "cannot run as " + name) +
            ": there is no user " + name +
            " (--user names the user to run as after the capture is opened)");
    }
    uid_t uid = entry->pw_uid;
    gid_t gid = entry->pw_gid;
    if (! root) {
        // Only root can become someone else; being oneself needs nothing.
        if (uid == getuid()) return;
        throw qppCaptureError("cannot run as " + name + ": only root can choose the user to run as");
    }
    if (name == "root") return;
    // Groups first: once the user identifier is given up, they cannot be.
    // The user's supplementary groups are those the group database gives.
    if (initgroups(name.c_str(), gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        throw qppCaptureError("cannot give up root for the user " + name + ": " +
            strerror(errno));
    }
    if (uid != 0 && (setuid(0) == 0 || geteuid() == 0))
        throw qppCaptureError("cannot give up root for the user " + name + ": root is still held");
}

std::string qppCaptureSource::Read(qppCaptureFlows &flows, const qppCaptureStop &stop,
    const std::function<bool()> &stopping)
{
    uint64_t start_ms = SteadyMs();
    bool first = true;
    uint64_t first_ms = 0;
    for (;;) {
        if (stopping()) return std::string();
        if (stop.count != 0 && records >= stop.count) return std::string();
        uint64_t elapsed_ms = SteadyMs() - start_ms;
        if (live && stop.duration_ms != 0 && elapsed_ms >= stop.duration_ms)
            return std::string();

        struct pcap_pkthdr *header;
        const u_char *data;
        int status = pcap_next_ex(handle, &header, &data);
        if (status == 1) {
            // A classic pcap file holds the seconds in 32 unsigned bits,
            // which libpcap hands on as signed: from 2038 on they come out
            // negative.
            int64_t stamp = header->ts.tv_sec;
            if (stamp < 0 && stamp >= INT32_MIN) stamp += INT64_C(1) << 32;
            uint64_t seconds = stamp < 0 ? 0 : static_cast<uint64_t>(stamp);
            uint64_t micros = header->ts.tv_usec < 0 ? 0 : static_cast<uint64_t>(header->ts.tv_usec);
            // Time stamps past what milliseconds in 64 bits hold are
            // clamped rather than wrapped.
            if (seconds > (UINT64_MAX / 1000000) - 1) seconds = (UINT64_MAX / 1000000) - 1;
            uint64_t time_us = seconds * 1000000 + micros % 1000000;
            if (! live && stop.duration_ms != 0) {
                // A record stamped before the first counts at the clock's
                // time, and ends nothing.
                uint64_t ms = time_us / 1000;
                if (first) first_ms = ms;
                else if (ms >= first_ms && ms - first_ms >= stop.duration_ms) return std::string();
            }
            first = false;
            records++;
            flows.Packet(link_type, time_us, data, header->caplen, header->len);
        }
        else if (status == 0) {
            // Nothing waiting on the interface: the clock goes on without
            // packets, and the wait for the next one is short.
            flows.Advance(WallMs());
            int wait_ms = live_wait_ms;
            if (stop.duration_ms != 0) {
                uint64_t left = stop.duration_ms - std::min(stop.duration_ms, SteadyMs() - start_ms);
                wait_ms = static_cast<int>(std::min<uint64_t>(left, live_wait_ms));
            }
            const struct timeval *required = pcap_get_required_select_timeout(handle);
            if (required != nullptr)
                wait_ms = std::min<int>(wait_ms, static_cast<int>(required->tv_sec * 1000 + required->tv_usec / 1000));
            struct pollfd ready = {selectable, POLLIN, 0};
            poll(&ready, selectable >= 0 ? 1 : 0, wait_ms);
        }
        else if (status == PCAP_ERROR_BREAK) {
            return std::string();
        }
        else {
            // A read that a stop request cut short is a stop, not a fault.
            if (stopping()) return std::string();
            if (live) return name + ": the capture failed: " + pcap_geterr(handle);
            return name + ": the capture breaks off in record " + std::to_string(records + 1) +
                " (" + std::to_string(records) + " complete records were read): " +
                pcap_geterr(handle);
        }
    }
}
