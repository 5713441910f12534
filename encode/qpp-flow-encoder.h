// qppFlowEncoder: a host flow and its statistics snapshot as the flow
// dictionary that scripts receive.
//
// It owns the table of the dictionary's key strings, made on the first
// encode: building each key from its C string on every insert costs more
// than the values do, and ready str objects (with their hashes cached)
// make every insert a plain dictionary store. The keys are objects of the
// sub-interpreter that was current when they were made: an encoder serves
// one sub-interpreter, and its table is released (Reset) inside it before
// it ends. An encoder is used by one thread at a time, with the interpreter
// lock held; the owning instance's is its worker.
#pragma once

#include <cstdint>
#include <memory>

#include "qpp-python.h"
#include "quivend.h"

// What a flow dictionary shows of a flow's statistics: counters and rates.
// The host's record also carries two history lists of the configured
// length, which no script sees; a snapshot of 20,000 flows with long
// histories would hold hundreds of megabytes of them.
struct qppFlowStats
{
    qppFlowStats() = default;
    // Implicit: hosts of the encoder (tests, benchmarks) hand the host's
    // record as it is.
    qppFlowStats(const qdFlowStats &stats);

    uint64_t lower_bytes = 0;
    uint64_t upper_bytes = 0;
    uint64_t total_bytes = 0;
    uint32_t lower_packets = 0;
    uint32_t upper_packets = 0;
    uint32_t total_packets = 0;
    uint8_t detection_packets = 0;
    float lower_rate = 0;
    float upper_rate = 0;
    uint32_t tcp_seq_errors = 0;
    uint32_t tcp_resets = 0;
    uint32_t tcp_retrans = 0;
};

struct qppFlowKeys;

class qppFlowEncoder
{
public:
    qppFlowEncoder();
    // Needs the interpreter lock with the keys' sub-interpreter current,
    // unless Reset ran since the last Encode.
    ~qppFlowEncoder();

    qppFlowEncoder(const qppFlowEncoder &) = delete;
    qppFlowEncoder &operator=(const qppFlowEncoder &) = delete;

    // The flow dictionary of flow and its snapshot stats: the statistics
    // form when stats_only, the full form otherwise. Interpreter lock held,
    // the same sub-interpreter current at every call. Takes the flow's
    // mutex while it reads the flow; throws qdException.
    qppPyRef Encode(const std::shared_ptr<qdFlow> &flow,
        const qppFlowStats &stats, bool stats_only);

    // Releases the key table; inside its sub-interpreter.
    void Reset();

private:
    std::unique_ptr<qppFlowKeys> keys;
};
