// Where the capture host's packets come from: a capture file (pcap or
// pcapng) or a live interface, read with libpcap. The source owns its pcap
// handle. One thread opens, reads and closes it; the reading loop asks a
// predicate whether to stop, which other threads may make true.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
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

// When reading stops, besides the end of the input.
struct qppCaptureStop
{
    uint64_t count = 0;        // after this many records; 0: no limit
    uint64_t duration_ms = 0;  // after this much capture time; 0: no limit
};

class qppCaptureSource
{
public:
    // Opens the capture that file holds from its first byte (see
    // qppInputStream::Release), which the source then owns; name is for
    // messages. Throws qppCaptureError.
    static qppCaptureSource OpenFile(FILE *file, const std::string &name);
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
    // user and group identifiers, and the supplementary groups that the
    // group database gives it); empty for nobody. Root stays root for
    // "root". A process that does not run as root stays who it is: it is
    // refused another user, and an empty user asks nothing of it. Throws
    // qppCaptureError.
    static void DropPrivileges(const std::string &user);

    // Reads until the end, a stop condition, or until stopping returns
    // true, handing each record to flows; a live capture moves the clock of
    // flows on with the wall clock while no packet comes. Returns an empty
    // text, or the message that names where the input broke (the records
    // before it were all handed over).
    std::string Read(qppCaptureFlows &flows, const qppCaptureStop &stop,
        const std::function<bool()> &stopping);

    int LinkType() const { return link_type; }
    bool Live() const { return live; }
    const std::string &Name() const { return name; }
    uint64_t Records() const { return records; }

private:
    qppCaptureSource(pcap *handle, bool live, const std::string &name);

    pcap *handle;
    bool live;
    int selectable = -1;  // live: the handle's descriptor to wait on (libpcap's)
    std::string name;
    int link_type;
    uint64_t records = 0;
};
