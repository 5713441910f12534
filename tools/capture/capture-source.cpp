#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include <pcap/pcap.h>

#include "capture-decode.h"
#include "capture-flows.h"
#include "capture-source.h"

namespace {

// Set by SIGINT and SIGTERM while Read runs.
volatile sig_atomic_t stop_requested = 0;

void OnStopSignal(int) { stop_requested = 1; }

uint64_t WallMs()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

bool IsUtf8(const unsigned char *p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        size_t more;
        if (c < 0x80) more = 0;
        else if ((c & 0xe0) == 0xc0 && c >= 0xc2) more = 1;
        else if ((c & 0xf0) == 0xe0) more = 2;
        else if ((c & 0xf8) == 0xf0 && c <= 0xf4) more = 3;
        else return false;
        // A sequence cut by the end of the sample is not held against it.
        if (i + more >= n) return true;
        for (size_t k = 1; k <= more; k++) {
            if ((p[i + k] & 0xc0) != 0x80) return false;
        }
        i += more + 1;
    }
    return true;
}

// Installs the stop handlers for the life of a Read, and restores the
// previous ones after it.
class StopSignals
{
public:
    StopSignals()
    {
        stop_requested = 0;
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int);
        sigaction(SIGTERM, &action, &old_term);
    }
    ~StopSignals()
    {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    struct sigaction old_int, old_term;
};

}  // namespace

qppInputKind qppSniffInput(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> start(4096);
    file.read(reinterpret_cast<char *>(start.data()), static_cast<std::streamsize>(start.size()));
    size_t got = static_cast<size_t>(file.gcount());
    if (got >= 4) {
        uint32_t magic = static_cast<uint32_t>(start[0]) << 24 |
            static_cast<uint32_t>(start[1]) << 16 | static_cast<uint32_t>(start[2]) << 8 | start[3];
        switch (magic) {
        case 0xa1b2c3d4: case 0xd4c3b2a1:  // pcap, microseconds
        case 0xa1b23c4d: case 0x4d3cb2a1:  // pcap, nanoseconds
        case 0xa1b2cd34: case 0x34cdb2a1:  // pcap, Kuznetzov's variant
        case 0x0a0d0d0a:                   // pcapng section header
            return qppInputKind::CAPTURE;
        default:
            break;
        }
    }
    // Only the first line is judged: what is wrong with later lines of
    // JSON Lines is the JSON reader's to say, line by line.
    const void *newline = memchr(start.data(), '\n', got);
    size_t first_line = newline ? static_cast<size_t>(
        static_cast<const unsigned char *>(newline) - start.data()) : got;
    if (memchr(start.data(), 0, first_line) != nullptr || ! IsUtf8(start.data(), first_line))
        return qppInputKind::NEITHER;
    return qppInputKind::JSON_LINES;
}

qppCaptureSource::qppCaptureSource(pcap *handle, bool live, const std::string &name)
    : handle(handle), live(live), name(name), link_type(pcap_datalink(handle)) { }

qppCaptureSource::qppCaptureSource(qppCaptureSource &&other) noexcept
    : handle(other.handle), live(other.live), name(other.name),
      link_type(other.link_type), records(other.records)
{
    other.handle = nullptr;
}

qppCaptureSource::~qppCaptureSource()
{
    if (handle != nullptr) pcap_close(handle);
}

qppCaptureSource qppCaptureSource::OpenFile(const std::string &path)
{
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *handle = pcap_open_offline_with_tstamp_precision(
        path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, error);
    if (handle == nullptr)
        throw qppCaptureError("cannot read the capture " + path + ": " + error);
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
    // Packets come as they arrive; the read wakes at least every 100 ms so
    // that the clock and a stop request are seen on a quiet interface.
    pcap_set_immediate_mode(handle, 1);
    pcap_set_timeout(handle, 100);
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
    if (geteuid() != 0 && getuid() != 0) return;
    if (user == "root") return;
    errno = 0;
    struct passwd *entry = getpwnam(user.c_str());
    if (entry == nullptr) {
        throw qppCaptureError("cannot give up root: there is no user " + user +
            " (--user names the user to run as after the capture is opened)");
    }
    uid_t uid = entry->pw_uid;
    gid_t gid = entry->pw_gid;
    // Groups first: once the user identifier is given up, they cannot be.
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        throw qppCaptureError("cannot give up root for the user " + user + ": " +
            strerror(errno));
    }
    if (uid != 0 && (setuid(0) == 0 || geteuid() == 0))
        throw qppCaptureError("cannot give up root for the user " + user + ": root is still held");
}

std::string qppCaptureSource::Read(qppCaptureFlows &flows, const qppCaptureStop &stop)
{
    StopSignals signals;
    uint64_t start_ms = live ? WallMs() : 0;
    bool first = true;
    uint64_t first_ms = 0;
    for (;;) {
        if (stop_requested) return std::string();
        if (stop.count != 0 && records >= stop.count) return std::string();
        if (live && stop.duration_ms != 0 && WallMs() - start_ms >= stop.duration_ms)
            return std::string();

        struct pcap_pkthdr *header;
        const u_char *data;
        int status = pcap_next_ex(handle, &header, &data);
        if (status == 1) {
            uint64_t seconds = header->ts.tv_sec < 0 ? 0 : static_cast<uint64_t>(header->ts.tv_sec);
            uint64_t micros = header->ts.tv_usec < 0 ? 0 : static_cast<uint64_t>(header->ts.tv_usec);
            // Time stamps past what milliseconds in 64 bits hold are
            // clamped rather than wrapped.
            if (seconds > (UINT64_MAX / 1000000) - 1) seconds = (UINT64_MAX / 1000000) - 1;
            uint64_t time_us = seconds * 1000000 + micros % 1000000;
            if (! live && stop.duration_ms != 0) {
                uint64_t ms = time_us / 1000;
                if (first) first_ms = ms;
                else if (ms - first_ms >= stop.duration_ms) return std::string();
            }
            first = false;
            records++;
            flows.Packet(link_type, time_us, data, header->caplen, header->len);
        }
        else if (status == 0) {
            // A live read that timed out: the clock goes on without packets.
            flows.Advance(WallMs());
        }
        else if (status == PCAP_ERROR_BREAK) {
            return std::string();
        }
        else {
            // A read that a stop signal interrupted is a stop, not a fault.
            if (stop_requested) return std::string();
            if (live) return name + ": the capture failed: " + pcap_geterr(handle);
            return name + ": the capture breaks off in record " + std::to_string(records + 1) +
                " (" + std::to_string(records) + " complete records were read): " +
                pcap_geterr(handle);
        }
    }
}
