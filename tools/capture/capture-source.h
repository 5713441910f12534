// Where the capture host's packets come from: a capture file (pcap or
// pcapng) or a live interface, read with libpcap. The source owns its pcap
// handle. One thread opens, reads and closes it; the only other actor is the
// signal handler, which sets a flag that the reading loop tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct pcap;
class qppCaptureFlows;

// A problem with the capture, worded for the user.
class qppCaptureError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// What a file's first bytes say it is.
enum class qppInputKind { JSON_LINES, CAPTURE, NEITHER };

// Reads the start of the file at path (which must be readable): a pcap or
// pcapng magic number makes a capture; a first line of binary content (a
// NUL byte or bytes that are not UTF-8) makes neither; anything else is
// taken for JSON Lines.
qppInputKind qppSniffInput(const std::string &path);

// When reading stops, besides the end of the input.
struct qppCaptureStop
{
    uint64_t count = 0;        // after this many records; 0: no limit
    uint64_t duration_ms = 0;  // after this much capture time; 0: no limit
};

class qppCaptureSource
{
public:
    // Opens a capture file. Throws qppCaptureError.
    static qppCaptureSource OpenFile(const std::string &path);
    // Opens a live interface (needs the privilege to capture). Throws
    // qppCaptureError, saying what is missing.
    static qppCaptureSource OpenLive(const std::string &interface);

    qppCaptureSource(qppCaptureSource &&other) noexcept;
    qppCaptureSource &operator=(qppCaptureSource &&) = delete;
    qppCaptureSource(const qppCaptureSource &) = delete;
    ~qppCaptureSource();

    // Only packets that the BPF expression selects. Throws qppCaptureError.
    void Filter(const std::string &expression);

    // Gives up root for good: the process runs as user from now on (its
    // user and group identifiers and its supplementary groups). Nothing is
    // done when the process does not run as root or user is "root". Throws
    // qppCaptureError.
    static void DropPrivileges(const std::string &user);

    // Reads until the end, a stop condition, or SIGINT/SIGTERM, handing each
    // record to flows. Returns an empty text, or the message that names
    // where the input broke (the records before it were all handed over).
    std::string Read(qppCaptureFlows &flows, const qppCaptureStop &stop);

    int LinkType() const { return link_type; }
    bool Live() const { return live; }
    const std::string &Name() const { return name; }
    uint64_t Records() const { return records; }

private:
    qppCaptureSource(pcap *handle, bool live, const std::string &name);

    pcap *handle;
    bool live;
    std::string name;
    int link_type;
    uint64_t records = 0;
};
