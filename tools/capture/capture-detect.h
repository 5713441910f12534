// Protocol detection by nDPI for the capture host, and the copying of what
// nDPI found into the host's flow record. The detector owns the nDPI
// detection module; each tracked flow owns its nDPI flow state until
// detection ends (qppDetection). Only the capture thread touches either:
// the nDPI module is not thread-safe, and it is never shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quivend.h"

struct ndpi_detection_module_struct;
struct ndpi_flow_struct;

// nDPI's answer for a flow: its lower protocol (the one that carries, such
// as TLS), its upper one (such as Google), and its category.
struct qppDetected
{
    uint16_t master = 0;
    uint16_t app = 0;
    uint16_t category = 0;

    bool Known() const { return master != 0 || app != 0; }
};

// The detection state of one flow. Move-only: it owns the nDPI flow.
class qppDetection
{
public:
    enum class Stage : uint8_t {
        DETECTING,  // every packet goes to nDPI
        EXTRA,      // detected; nDPI still reads packets for more metadata
        DONE,       // nDPI sees no more packets; its flow state is freed
    };

    qppDetection() = default;
    ~qppDetection() { Free(); }
    qppDetection(qppDetection &&other) noexcept;
    qppDetection &operator=(qppDetection &&other) noexcept;
    qppDetection(const qppDetection &) = delete;
    qppDetection &operator=(const qppDetection &) = delete;

    void Free();

    ndpi_flow_struct *flow = nullptr;
    Stage stage = Stage::DETECTING;
    qppDetected detected;
    // Packets handed to nDPI since the flow began.
    uint32_t packets = 0;
    // Packets handed to nDPI after it named the protocol.
    uint32_t extra = 0;
};

class qppDetector
{
public:
    // Loads every protocol nDPI knows. Throws std::runtime_error when nDPI
    // cannot be set up.
    qppDetector();
    ~qppDetector();
    qppDetector(const qppDetector &) = delete;
    qppDetector &operator=(const qppDetector &) = delete;

    // Starts detection for a new flow.
    void Begin(qppDetection &detection);

    // What a packet did to detection.
    enum class Step : uint8_t {
        NOTHING,    // still detecting, or nothing new
        DETECTED,   // nDPI named the flow's protocol with this packet
        EXTRA,      // a packet of extra dissection: metadata may have grown
        GAVE_UP,    // too many packets without a protocol: nDPI guessed
    };

    // Hands one IP packet (from its IP header) to nDPI. tcp: the flow's
    // transport is TCP, which decides how long nDPI is given.
    Step Process(qppDetection &detection, const uint8_t *l3, size_t length,
        uint64_t time_ms, bool tcp);

    // Ends detection of a flow that nDPI has not named: its guess by ports
    // and addresses. Returns false when detection had already ended.
    bool GiveUp(qppDetection &detection);

    // Copies nDPI's result and metadata into the flow record. The caller
    // holds the flow's lock. Call before the detection's flow is freed.
    void Fill(const qppDetection &detection, qdFlow &flow);

    // Packets nDPI is given before it guesses, and extra packets read after
    // detection, per transport (the numbers nDPI's own reader uses).
    static constexpr uint32_t tcp_packets = 80;
    static constexpr uint32_t udp_packets = 24;
    static constexpr uint32_t extra_packets = 32;

    ndpi_detection_module_struct *Module() const { return module; }

private:
    ndpi_detection_module_struct *module = nullptr;
};

// The metadata digest: SHA-1 over the detected protocol and application
// identifiers and every metadata text of the flow, in a fixed order (see the
// scripting reference). The caller holds the flow's lock.
qdDigest qppMetadataDigest(const qdFlow &flow);

// The lower digest: SHA-1 over the flow's key.
qdDigest qppKeyDigest(uint8_t ip_version, uint8_t ip_protocol, uint16_t vlan_id,
    const uint8_t lower_addr[16], uint16_t lower_port,
    const uint8_t upper_addr[16], uint16_t upper_port);
