// The capture host's flow table and event clock. It turns decoded packets
// into host flows as a daemon does: both directions of a conversation are
// one flow, counted per side; nDPI detects; idle and closed flows expire;
// every update interval the agent events and a flow-map snapshot are sent.
// Time is the capture's own (the packets' time stamps), or the wall clock
// between packets of a live capture.
//
// Ownership: the table owns its entries; each entry shares its qdFlow with
// the events handed to the plugin, and owns its nDPI flow state until
// detection ends. Threads: one capture thread calls everything here; the
// plugin's worker reads the shared flows under each flow's own lock, which
// this code takes for every change of a flow handed out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture-decode.h"
#include "capture-detect.h"
#include "capture-events.h"

struct qppCaptureOptions
{
    // The update interval, in milliseconds.
    uint64_t update_interval_ms = 15000;
    // Idle timeouts, in milliseconds: a flow expires once it has seen no
    // packet for longer than this.
    uint64_t tcp_timeout_ms = 300000;
    uint64_t tcp_closed_timeout_ms = 10000;  // after a close or a reset
    uint64_t udp_timeout_ms = 30000;
    uint64_t other_timeout_ms = 30000;
    // At most this many flows are tracked at once.
    size_t max_flows = 65536;
    // The capture interface as flows name it.
    std::string iface_name = "capture";
};

// What became of the records read.
struct qppCaptureCounters
{
    uint64_t records = 0;
    uint64_t tracked_packets = 0;  // counted to a flow
    // Records not tracked, by the reason qppDecodePacket gave.
    std::array<uint64_t, 7> skipped{};
    uint64_t payload_cut = 0;      // tracked, but the capture cut the payload
    uint64_t refused_packets = 0;  // of new flows while the table was full
    uint64_t flows = 0;            // flows created
    size_t most_flows = 0;         // the most tracked at once

    uint64_t Skipped() const
    {
        uint64_t sum = 0;
        for (size_t i = 1; i < skipped.size(); i++) sum += skipped[i];
        return sum;
    }
};

class qppCaptureFlows
{
public:
    // detector: nDPI's module to detect with, shared with other tables one
    // after the other (setting one up takes tens of milliseconds); null to
    // have one of its own. It must outlive the table.
    qppCaptureFlows(const qppCaptureOptions &options, qppCaptureEvents &events,
        qppDetector *detector = nullptr);
    ~qppCaptureFlows();
    qppCaptureFlows(const qppCaptureFlows &) = delete;
    qppCaptureFlows &operator=(const qppCaptureFlows &) = delete;

    // One record as the capture holds it; time_us is its time stamp in
    // microseconds since the epoch.
    void Packet(int link_type, uint64_t time_us, const uint8_t *data,
        size_t captured, size_t wire_length);
    // Moves the clock to now_ms without a packet (a live capture's quiet
    // moments): updates and expiries that fall due are sent.
    void Advance(uint64_t now_ms);
    // The end of the input: a last update for the interval begun, then
    // every remaining flow expires. Nothing is tracked afterwards.
    void Finish();

    const qppCaptureCounters &Counters() const { return counters; }
    size_t Tracked() const { return table.size(); }
    // Bytes that one tracked flow holds, without the plugin's share.
    static size_t BytesPerFlow();

private:
    // The flow key: IP version, protocol, VLAN, then the lower and upper
    // endpoints (address in 16 bytes, then port), big-endian.
    using Key = std::array<uint8_t, 40>;
    struct KeyHash { size_t operator()(const Key &key) const; };

    struct TcpSide
    {
        bool known = false;
        uint32_t next = 0;  // the sequence number expected next
        bool fin = false;
        uint32_t fin_seq = 0;
        bool fin_acked = false;
    };

    struct Entry
    {
        Key key;
        std::shared_ptr<qdFlow> flow;
        qppDetection detection;
        uint64_t sequence = 0;  // creation order
        uint64_t last_ms = 0;
        uint64_t timeout_ms = 0;
        uint64_t lower_bytes_at_update = 0;
        uint64_t upper_bytes_at_update = 0;
        TcpSide tcp[2];
        bool closed = false;
        std::string map_key;
    };

    Entry *Create(const Key &key, const qppPacket &packet, bool from_lower);
    void Track(Entry &entry, const qppPacket &packet, bool from_lower,
        size_t wire_length, uint64_t now_ms);
    // Detection's result into the flow; true when the metadata changed.
    bool Refresh(Entry &entry);
    void Update();
    void ScanIdle();
    // Ends detection that is still looking with nDPI's guess (event 4).
    void Guess(Entry &entry);
    void Expire(Entry &entry);
    void Event(qdPluginProcessor::Event event, Entry &entry);

    qppCaptureOptions options;
    qppCaptureEvents &events;
    std::unique_ptr<qppDetector> own_detector;
    qppDetector &detector;
    std::shared_ptr<qdInterface> iface;
    std::unordered_map<Key, std::unique_ptr<Entry>, KeyHash> table;
    qppCaptureCounters counters;
    uint64_t sequence = 0;

    bool started = false;
    uint64_t clock_ms = 0;       // capture time: never goes back
    uint64_t next_update_ms = 0;
    uint64_t last_update_ms = 0;
    uint64_t next_scan_ms = 0;
};
