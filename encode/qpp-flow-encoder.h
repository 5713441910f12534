// qppFlowEncoder: a flow record (qpp-flow-record.h) as the flow dictionary
// that scripts receive, the second of the two stages.
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

#include "qpp-flow-record.h"
#include "qpp-python.h"

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

    // The flow dictionary of a record: the statistics form or the full one,
    // as the record was made. Interpreter lock held, the same
    // sub-interpreter current at every call; no host lock is needed.
    // Throws qdException ("malformed flow record" for one that does not
    // check out).
    qppPyRef Encode(const qppFlowRecordView &record);

    // Both stages at once, for hosts of the encoder that hold a flow (tests
    // and benchmarks): the flow's mutex is taken for the record only.
    qppPyRef Encode(const std::shared_ptr<qdFlow> &flow,
        const qppFlowStats &stats, bool stats_only);

    // Releases the key table; inside its sub-interpreter.
    void Reset();

private:
    std::unique_ptr<qppFlowKeys> keys;
    qppFlowRecord record;
};
