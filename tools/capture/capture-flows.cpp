#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <mutex>

#include "capture-flows.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr uint64_t scan_period_ms = 1000;

// The text of an IP address held in 16 bytes (IPv4 in the first four).
qdAddr Address(uint8_t ip_version, const uint8_t *bytes, uint16_t port)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(ip_version == 4 ? AF_INET : AF_INET6, bytes, text, sizeof(text));
    qdAddr addr;
    qdAddr::Create(addr, text, port);
    return addr;
}

}  // namespace

size_t qppCaptureFlows::KeyHash::operator()(const Key &key) const
{
    // FNV-1a: keys are short and hostile input cannot do worse than a long
    // bucket, which the flow bound limits.
    uint64_t hash = 1469598103934665603ULL;
    for (uint8_t byte : key) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    }
    return static_cast<size_t>(hash);
}

qppCaptureFlows::qppCaptureFlows(const qppCaptureOptions &options, qppCaptureEvents &events,
    qppDetector *shared)
    : options(options), events(events),
      own_detector(shared ? nullptr : new qppDetector),
      detector(shared ? *shared : *own_detector),
      iface(std::make_shared<qdInterface>(options.iface_name, qdInterface::ROLE_LAN))
{
    if (this->options.update_interval_ms == 0) this->options.update_interval_ms = 1;
}

qppCaptureFlows::~qppCaptureFlows()
{
    // nDPI's flow states go back to the module before it may go away.
    table.clear();
}

size_t qppCaptureFlows::BytesPerFlow()
{
    // What a flow holds before its texts: the entry, the host record, the
    // shared pointer's control block, the table's node, and nDPI's state
    // while detection runs (freed when detection ends).
    return sizeof(Entry) + sizeof(qdFlow) + 2 * sizeof(void *) +
        sizeof(std::pair<const Key, std::unique_ptr<Entry>>) + 2 * sizeof(void *);
}

void qppCaptureFlows::Packet(int link_type, uint64_t time_us, const uint8_t *data,
    size_t captured, size_t wire_length)
{
    counters.records++;
    uint64_t now_ms = time_us / 1000;
    Advance(now_ms);

    qppPacket packet;
    qppDecodeResult result = qppDecodePacket(link_type, data, captured, wire_length, packet);
    if (result != qppDecodeResult::OK) {
        counters.skipped[static_cast<size_t>(result)]++;
        return;
    }
    if (packet.payload_cut) counters.payload_cut++;

    // Lower and upper: the endpoint whose address, then port, is the
    // smaller as big-endian bytes is the lower one.
    int order = memcmp(packet.src_addr, packet.dst_addr, 16);
    bool from_lower = order < 0 || (order == 0 && packet.src_port <= packet.dst_port);
    Key key{};
    key[0] = packet.ip_version;
    key[1] = packet.ip_protocol;
    key[2] = static_cast<uint8_t>(packet.vlan_id >> 8);
    key[3] = static_cast<uint8_t>(packet.vlan_id);
    const uint8_t *lower_addr = from_lower ? packet.src_addr : packet.dst_addr;
    const uint8_t *upper_addr = from_lower ? packet.dst_addr : packet.src_addr;
    uint16_t lower_port = from_lower ? packet.src_port : packet.dst_port;
    uint16_t upper_port = from_lower ? packet.dst_port : packet.src_port;
    memcpy(&key[4], lower_addr, 16);
    key[20] = static_cast<uint8_t>(lower_port >> 8);
    key[21] = static_cast<uint8_t>(lower_port);
    memcpy(&key[22], upper_addr, 16);
    key[38] = static_cast<uint8_t>(upper_port >> 8);
    key[39] = static_cast<uint8_t>(upper_port);

    Entry *entry;
    bool created = false;
    auto found = table.find(key);
    // A connection that opens on the ports of a closed one is a flow of
    // its own: the closed one ends first.
    if (found != table.end() && found->second->closed && packet.ip_protocol == 6 &&
        (packet.tcp_flags & (QPP_TCP_SYN | QPP_TCP_ACK)) == QPP_TCP_SYN) {
        Expire(*found->second);
        found = table.end();
    }
    if (found != table.end())
        entry = found->second.get();
    else {
        if (table.size() >= options.max_flows) {
            counters.refused_packets++;
            return;
        }
        entry = Create(key, packet, from_lower);
        created = true;
    }
    counters.tracked_packets++;
    Track(*entry, packet, from_lower, wire_length < captured ? captured : wire_length, clock_ms);
    if (created) Event(qdPluginProcessor::EVENT_FLOW_NEW, *entry);

    bool closing = false;
    if (entry->flow->ip_protocol == 6 && ! entry->closed) {
        Lock lock(entry->flow->lock);
        closing = entry->flow->tcp.fin_acks >= 2 || (packet.tcp_flags & QPP_TCP_RST);
    }

    if (entry->detection.stage != qppDetection::Stage::DONE) {
        auto step = detector.Process(entry->detection, packet.l3, packet.l3_length,
            now_ms, packet.ip_protocol == 6);
        switch (step) {
        case qppDetector::Step::NOTHING:
            break;
        case qppDetector::Step::DETECTED:
        case qppDetector::Step::GAVE_UP: {
            Refresh(*entry);
            {
                Lock lock(entry->flow->lock);
                entry->flow->flags.detection_complete = true;
                entry->flow->flags.detection_guessed = step == qppDetector::Step::GAVE_UP;
            }
            Event(qdPluginProcessor::EVENT_FLOW_DPI_COMPLETE, *entry);
            break;
        }
        case qppDetector::Step::EXTRA:
            if (Refresh(*entry)) {
                {
                    Lock lock(entry->flow->lock);
                    entry->flow->flags.detection_updated = true;
                }
                Event(qdPluginProcessor::EVENT_FLOW_DPI_UPDATE, *entry);
            }
            break;
        }
        if (entry->detection.stage == qppDetection::Stage::DONE) entry->detection.Free();
    }

    if (closing) {
        // What nDPI has not named by the close, it guesses now: a script
        // learns a flow's protocol before the flow begins to expire.
        Guess(*entry);
        entry->closed = true;
        entry->timeout_ms = options.tcp_closed_timeout_ms;
        {
            Lock lock(entry->flow->lock);
            entry->flow->flags.expiring = true;
        }
        Event(qdPluginProcessor::EVENT_FLOW_EXPIRING, *entry);
    }
}

qppCaptureFlows::Entry *qppCaptureFlows::Create(const Key &key, const qppPacket &packet,
    bool from_lower)
{
    auto entry = std::make_unique<Entry>();
    entry->key = key;
    entry->sequence = sequence++;
    entry->flow = std::make_shared<qdFlow>(iface);
    qdFlow &flow = *entry->flow;
    uint16_t lower_port = static_cast<uint16_t>(key[20] << 8 | key[21]);
    uint16_t upper_port = static_cast<uint16_t>(key[38] << 8 | key[39]);
    flow.ip_version = packet.ip_version;
    flow.ip_protocol = packet.ip_protocol;
    flow.vlan_id = packet.vlan_id;
    flow.lower_addr = Address(packet.ip_version, &key[4], lower_port);
    flow.upper_addr = Address(packet.ip_version, &key[22], upper_port);
    if (packet.has_src_mac)
        (from_lower ? flow.lower_mac : flow.upper_mac) = qdAddr::FromMAC(packet.src_mac);
    if (packet.has_dst_mac)
        (from_lower ? flow.upper_mac : flow.lower_mac) = qdAddr::FromMAC(packet.dst_mac);
    flow.first_seen_at = clock_ms;
    flow.digest_lower = qppKeyDigest(packet.ip_version, packet.ip_protocol,
        packet.vlan_id, &key[4], lower_port, &key[22], upper_port);
    flow.digest_mdata.push_back(qppMetadataDigest(flow));
    flow.flags.detection_init = true;
    detector.Begin(entry->detection);

    switch (packet.ip_protocol) {
    case 6: entry->timeout_ms = options.tcp_timeout_ms; break;
    case 17: entry->timeout_ms = options.udp_timeout_ms; break;
    default: entry->timeout_ms = options.other_timeout_ms; break;
    }
    char text[41];
    qd_sha1_to_string(flow.digest_lower.data(), text);
    entry->map_key = text;

    Entry *raw = entry.get();
    table.emplace(key, std::move(entry));
    counters.flows++;
    counters.most_flows = std::max(counters.most_flows, table.size());
    return raw;
}

void qppCaptureFlows::Track(Entry &entry, const qppPacket &packet, bool from_lower,
    size_t wire_length, uint64_t now_ms)
{
    qdFlow &flow = *entry.flow;
    Lock lock(flow.lock);
    qdFlowStats &stats = flow.stats;
    if (from_lower) {
        stats.lower_bytes += wire_length;
        stats.lower_packets++;
    }
    else {
        stats.upper_bytes += wire_length;
        stats.upper_packets++;
    }
    stats.total_bytes += wire_length;
    stats.total_packets++;
    flow.last_seen_at = now_ms;
    entry.last_ms = now_ms;

    // A side whose MAC a cooked capture did not give is learned when it sends.
    qdAddr &sender_mac = from_lower ? flow.lower_mac : flow.upper_mac;
    if (packet.has_src_mac && ! sender_mac.IsValid())
        sender_mac = qdAddr::FromMAC(packet.src_mac);

    if (packet.ip_protocol != 6) return;
    int s = from_lower ? 0 : 1;
    TcpSide &side = entry.tcp[s];
    TcpSide &other = entry.tcp[1 - s];
    uint8_t tcp_flags = packet.tcp_flags;
    uint32_t seq = packet.tcp_seq;
    flow.tcp.last_seq = seq;
    if (tcp_flags & QPP_TCP_RST) stats.tcp_resets++;

    // Sequence space a segment takes: its payload, and one for SYN and FIN.
    uint32_t length = static_cast<uint32_t>(packet.payload_length) +
        ((tcp_flags & QPP_TCP_SYN) ? 1 : 0) + ((tcp_flags & QPP_TCP_FIN) ? 1 : 0);
    if (! side.known) {
        side.known = true;
        side.next = seq + length;
    }
    else if (length > 0 && ! (tcp_flags & QPP_TCP_RST)) {
        int32_t offset = static_cast<int32_t>(seq - side.next);
        if (offset == 0)
            side.next = seq + length;
        else if (offset < 0) {
            stats.tcp_retrans++;
            if (static_cast<int32_t>(seq + length - side.next) > 0) side.next = seq + length;
        }
        else {
            stats.tcp_seq_errors++;
            side.next = seq + length;
        }
    }
    if ((tcp_flags & QPP_TCP_FIN) && ! side.fin) {
        side.fin = true;
        side.fin_seq = seq + static_cast<uint32_t>(packet.payload_length);
    }
    if ((tcp_flags & QPP_TCP_ACK) && other.fin && ! other.fin_acked &&
        static_cast<int32_t>(packet.tcp_ack - (other.fin_seq + 1)) >= 0) {
        other.fin_acked = true;
        flow.tcp.fin_acks++;
    }
}

bool qppCaptureFlows::Refresh(Entry &entry)
{
    qdFlow &flow = *entry.flow;
    Lock lock(flow.lock);
    detector.Fill(entry.detection, flow);
    uint32_t packets = entry.detection.packets;
    flow.stats.detection_packets = static_cast<uint8_t>(std::min<uint32_t>(packets, 255));
    qdDigest digest = qppMetadataDigest(flow);
    if (! flow.digest_mdata.empty() && flow.digest_mdata.back() == digest) return false;
    flow.digest_mdata.push_back(digest);
    return true;
}

void qppCaptureFlows::Event(qdPluginProcessor::Event event, Entry &entry)
{
    events.FlowEvent(event, entry.flow);
}

void qppCaptureFlows::Advance(uint64_t now_ms)
{
    if (! started) {
        started = true;
        clock_ms = now_ms;
        last_update_ms = now_ms;
        next_update_ms = now_ms + options.update_interval_ms;
        next_scan_ms = now_ms + scan_period_ms;
        return;
    }
    // A packet stamped earlier than one before it is counted at the
    // clock's time: capture time never goes back.
    if (now_ms <= clock_ms) return;

    // A long gap with flows tracked is caught up step by step (a huge idle
    // timeout can make that millions of updates): a stop cuts it short.
    while ((next_update_ms <= now_ms || next_scan_ms <= now_ms) && ! events.Stopping()) {
        if (next_scan_ms < next_update_ms) {
            clock_ms = next_scan_ms;
            ScanIdle();
            next_scan_ms += scan_period_ms;
        }
        else {
            clock_ms = next_update_ms;
            ScanIdle();
            Update();
            next_update_ms += options.update_interval_ms;
            next_scan_ms = clock_ms + scan_period_ms;
        }
        if (table.empty()) {
            // Nothing tracked: a quiet stretch gets one more update at
            // most, not one per interval (a time stamp years ahead would
            // otherwise mean millions of them).
            if (next_update_ms <= now_ms) {
                clock_ms = next_update_ms;
                Update();
                next_update_ms = now_ms + options.update_interval_ms;
            }
            next_scan_ms = now_ms + scan_period_ms;
            break;
        }
    }
    clock_ms = now_ms;
}

void qppCaptureFlows::Update()
{
    uint64_t elapsed_ms = clock_ms - last_update_ms;
    last_update_ms = clock_ms;
    events.AgentEvent(qdPluginProcessor::EVENT_UPDATE_INIT);
    if (! table.empty()) {
        qdFlowMap map(64);
        for (auto &item : table) {
            Entry &entry = *item.second;
            {
                // Rates: bytes per second that each side sent over the
                // interval that ends now.
                Lock lock(entry.flow->lock);
                qdFlowStats &stats = entry.flow->stats;
                double seconds = elapsed_ms > 0 ? elapsed_ms / 1000.0 : 1.0;
                stats.lower_rate = static_cast<float>(
                    (stats.lower_bytes - entry.lower_bytes_at_update) / seconds);
                stats.upper_rate = static_cast<float>(
                    (stats.upper_bytes - entry.upper_bytes_at_update) / seconds);
                entry.lower_bytes_at_update = stats.lower_bytes;
                entry.upper_bytes_at_update = stats.upper_bytes;
            }
            map.Insert(entry.map_key, entry.flow);
        }
        events.FlowMap(map);
    }
    events.AgentEvent(qdPluginProcessor::EVENT_UPDATE_COMPLETE);
}

void qppCaptureFlows::ScanIdle()
{
    std::vector<Entry *> idle;
    for (auto &item : table) {
        Entry &entry = *item.second;
        if (clock_ms - entry.last_ms > entry.timeout_ms) idle.push_back(&entry);
    }
    if (idle.empty()) return;
    // Flows that fall due together expire in the order they began.
    std::sort(idle.begin(), idle.end(),
        [](const Entry *a, const Entry *b) { return a->sequence < b->sequence; });
    for (Entry *entry : idle) Expire(*entry);
}

void qppCaptureFlows::Guess(Entry &entry)
{
    if (detector.GiveUp(entry.detection)) {
        Refresh(entry);
        {
            Lock lock(entry.flow->lock);
            entry.flow->flags.detection_complete = true;
            entry.flow->flags.detection_guessed = true;
        }
        Event(qdPluginProcessor::EVENT_FLOW_DPI_COMPLETE, entry);
    }
    if (entry.detection.stage == qppDetection::Stage::DONE) entry.detection.Free();
}

void qppCaptureFlows::Expire(Entry &entry)
{
    // A flow that ends before nDPI named it gets nDPI's guess first.
    Guess(entry);
    entry.detection.Free();
    bool expiring;
    {
        Lock lock(entry.flow->lock);
        expiring = entry.flow->flags.expiring;
        entry.flow->flags.expiring = true;
    }
    if (! expiring) Event(qdPluginProcessor::EVENT_FLOW_EXPIRING, entry);
    {
        Lock lock(entry.flow->lock);
        entry.flow->flags.expired = true;
    }
    Event(qdPluginProcessor::EVENT_FLOW_EXPIRED, entry);

    // The entry dies with the erase: its key is copied out first.
    Key key = entry.key;
    table.erase(key);
}

void qppCaptureFlows::Finish()
{
    if (! started) return;
    Update();
    std::vector<Entry *> all;
    for (auto &item : table) all.push_back(item.second.get());
    std::sort(all.begin(), all.end(),
        [](const Entry *a, const Entry *b) { return a->sequence < b->sequence; });
    for (Entry *entry : all) Expire(*entry);
    table.clear();
}
