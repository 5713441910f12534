// Calling a script's callbacks for one event: which callbacks an event
// selects, the arguments built from the event's flow records, and the
// calls, each marked for the watchdog and reported to an observer.
//
// The same code serves a script in the daemon's sub-interpreter (the
// instance's worker thread) and in a script runner (its main thread), so
// that both see one contract. Everything here runs on that one thread, with
// the script's interpreter current and its lock held, but for
// qppSelectCallbacks, which touches no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qpp-flow-record.h"
#include "qpp-script.h"
#include "qpp-watchdog.h"

// The callbacks, among those bound (mask), that the event prv/event
// selects; 0 for none. An event that selects none for a reason that the
// debug log should show is logged under tag: "agent or private event not
// set." (an unload notice for a script without ProcessAgentEvent) and
// "unhandled plugin event: N".
uint8_t qppSelectCallbacks(uint8_t prv, uint16_t event, uint8_t mask, const std::string &tag);

// The flows of one event as records, in the order in which the script
// receives them. A callback that takes flows reads each flow once, in its
// own form: the statistics form for ProcessFlowStats, the full form for
// ProcessFlowEvent and ProcessFlowMap, in the order of the calls.
class qppFlowFeed
{
public:
    virtual size_t Count() const = 0;
    // The next flow in the form asked for, valid until the next call.
    // Throws qdException when it cannot be had: the event is dropped.
    virtual qppFlowRecordView Next(bool stats_only) = 0;

protected:
    ~qppFlowFeed() = default;
};

enum class qppCallOutcome : uint8_t { RETURNED = 0, RAISED = 1, INTERRUPTED = 2 };

// What an instance counts and logs about its calls.
class qppCallObserver
{
public:
    // Before the call of the callback whose bit is id is made.
    virtual void CallBegins(uint8_t id) = 0;
    // After it, with its time in nanoseconds.
    virtual void CallEnded(uint8_t id, qppCallOutcome outcome, uint64_t ns) = 0;

protected:
    ~qppCallObserver() = default;
};

// Calls the selected callbacks of the event prv/event in their order
// (ProcessAgentEvent, ProcessFlowEvent, ProcessFlowStats, ProcessFlowMap),
// with flows from feed. A flow whose dictionary cannot be made (memory) is
// left out of a flow list, logged once per callback under tag. Throws
// qdException when an argument cannot be built: the rest of the event is
// not served.
void qppInvoke(qppScript &script, qppWatchdog &watchdog, const std::string &tag,
    uint8_t prv, uint16_t event, uint8_t selected, qppFlowFeed &feed,
    qppCallObserver &observer);
