// Calling the script's callbacks for one event (see qpp-invoke.h).

#include <chrono>

#include "qpp-invoke.h"
#include "qpp-module.h"
#include "quivend.h"

namespace {

// Puts item into slot i of a new tuple, which takes it over.
void SetTupleItem(PyObject *tuple, Py_ssize_t i, qppPyRef &&item)
{
    PyTuple_SET_ITEM(tuple, i, item.release());
}

qppPyRef NewArgs(Py_ssize_t n)
{
    qppPyRef args = qppPyRef::Steal(PyTuple_New(n));
    if (! args) {
        PyErr_Clear();
        throw qdException("cannot create new args tuple");
    }
    return args;
}

qppPyRef NewLong(long value, const char *what)
{
    qppPyRef object = qppPyRef::Steal(PyLong_FromLong(value));
    if (! object) {
        PyErr_Clear();
        throw qdException("cannot create new long from: %s", what);
    }
    return object;
}

std::string DigestText(const qppFlowRecordView &record)
{
    char text[41];
    qd_sha1_to_string(record.Head().digest_lower, text);
    return text;
}

// The flow list of one callback: every flow the feed gives, but those
// whose dictionary cannot be made, which are logged once.
qppPyRef FlowList(qppScript &script, qppFlowFeed &feed, bool stats_only,
    const char *name, const std::string &tag)
{
    Py_ssize_t count = static_cast<Py_ssize_t>(feed.Count());
    qppPyRef list = qppPyRef::Steal(PyList_New(count));
    if (! list) {
        PyErr_Clear();
        throw qdException("cannot create new flows list");
    }
    Py_ssize_t filled = 0;
    size_t left_out = 0;
    std::string first_left_out;
    qppGcPause gc_pause;
    for (Py_ssize_t i = 0; i < count; i++) {
        qppFlowRecordView record = feed.Next(stats_only);
        try {
            PyList_SET_ITEM(list.get(), filled, script.Encoder().Encode(record).release());
            filled++;
        }
        catch (const qdException &e) {
            // One flow that cannot be encoded never keeps the others from
            // the script.
            if (left_out++ == 0) first_left_out = DigestText(record) + ": " + e.what();
        }
    }
    if (left_out > 0) {
        qd_printf("%s: %s: %zu flow(s) left out, the first %s\n", tag.c_str(), name,
            left_out, first_left_out.c_str());
        // The unfilled slots are empty; the slice drops them.
        if (PyList_SetSlice(list.get(), filled, count, nullptr) < 0) {
            PyErr_Clear();
            throw qdException("cannot create new flows list");
        }
    }
    return list;
}

}  // namespace

uint8_t qppSelectCallbacks(uint8_t prv, uint16_t event, uint8_t mask, const std::string &tag)
{
    uint8_t selected = 0;
    if (prv == qppEventUnload) selected |= mask & qppScript::ProcessAgentEvent;

    switch (event) {
    case 0:
        if (selected == 0)
            qd_dprintf("%s: agent or private event not set.\n", tag.c_str());
        break;
    case qdPluginProcessor::EVENT_FLOW_MAP:
        selected |= mask & (qppScript::ProcessFlowMap | qppScript::ProcessFlowStats);
        break;
    case 2: case 3: case 4: case 5: case 6: case 7:
        selected |= mask & qppScript::ProcessFlowEvent;
        break;
    case qdPluginProcessor::EVENT_UPDATE_INIT:
    case qdPluginProcessor::EVENT_UPDATE_COMPLETE:
        selected |= mask & qppScript::ProcessAgentEvent;
        break;
    default:
        qd_dprintf("%s: unhandled plugin event: %d\n", tag.c_str(), static_cast<int>(event));
        return 0;
    }
    return selected;
}

void qppInvoke(qppScript &script, qppWatchdog &watchdog, const std::string &tag,
    uint8_t prv, uint16_t event, uint8_t selected, qppFlowFeed &feed,
    qppCallObserver &observer)
{
    // The order in which the callbacks of one event are called: for a flow
    // map, the statistics form comes before the full form.
    static const qppScript::Callback order[] = {qppScript::ProcessAgentEvent,
        qppScript::ProcessFlowEvent, qppScript::ProcessFlowStats, qppScript::ProcessFlowMap};

    for (qppScript::Callback id : order) {
        if ((selected & id) == 0) continue;
        PyObject *callable = script.Function(id);  // borrowed
        if (callable == nullptr) continue;
        const char *name = qppScript::CallbackName(id);

        qppPyRef args;
        switch (id) {
        case qppScript::ProcessAgentEvent:
            args = NewArgs(1);
            SetTupleItem(args.get(), 0, NewLong(prv ? prv : event, "event.prv or event.event"));
            break;
        case qppScript::ProcessFlowEvent:
            args = NewArgs(2);
            SetTupleItem(args.get(), 0, NewLong(event, "event.event"));
            if (feed.Count() != 1) {
                throw qdException("unexpected event flow count: %lu",
                    static_cast<unsigned long>(feed.Count()));
            }
            SetTupleItem(args.get(), 1, script.Encoder().Encode(feed.Next(false)));
            break;
        case qppScript::ProcessFlowMap:
        case qppScript::ProcessFlowStats:
            args = NewArgs(1);
            SetTupleItem(args.get(), 0,
                FlowList(script, feed, id == qppScript::ProcessFlowStats, name, tag));
            break;
        }

        observer.CallBegins(id);
        // The watchdog's reading of the clock serves the call's time too.
        auto start = watchdog.CallStarted(id);
        qppPyRef rc = qppPyRef::Steal(PyObject_CallObject(callable, args.get()));
        bool interrupted = watchdog.CallEnded();
        uint64_t ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - start).count());
        args.reset();
        qppCallOutcome outcome = qppCallOutcome::RETURNED;
        if (! rc) {
            outcome = interrupted ? qppCallOutcome::INTERRUPTED : qppCallOutcome::RAISED;
            qppPrintPythonError();
        }
        else if (interrupted)
            outcome = qppCallOutcome::INTERRUPTED;
        observer.CallEnded(id, outcome, ns);
    }
}
