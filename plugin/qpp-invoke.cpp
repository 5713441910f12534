// Calling the script's callbacks for one event, inside the sub-interpreter.

#include <chrono>
#include <mutex>
#include <string>

#include "qpp-plugin.h"

namespace {

// Puts item into slot i of a new tuple or list, which takes it over.
void SetTupleItem(PyObject *tuple, Py_ssize_t i, qppPyRef &&item)
{
    PyTuple_SET_ITEM(tuple, i, item.release());
}

// The flow's digest as its 40 hex digits, read under its mutex.
std::string FlowDigest(qdFlow &flow)
{
    char text[41];
    std::lock_guard<std::recursive_mutex> guard(flow.lock);
    qd_sha1_to_string(flow.digest_lower.data(), text);
    return text;
}

}  // namespace

bool qppPlugin::CallScriptFunction(const qppEvent &event)
{
    // The selected callbacks, as bits: a set that costs no allocation on
    // a path taken for every event.
    uint8_t selected = 0;
    uint8_t mask = script.Subscriptions();

    if (event.prv == qppEvent::PRV_UNLOAD)
        selected |= mask & qppScript::ProcessAgentEvent;

    switch (event.event) {
    case 0:
        if (selected == 0) {
            qd_dprintf("%s: agent or private event not set.\n", tag.c_str());
            return false;
        }
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
        qd_dprintf("%s: unhandled plugin event: %d\n", tag.c_str(),
            static_cast<int>(event.event));
        return false;
    }

    qppPySubInterpreter::thread_scope scope(interpreter->GetInterpreterState());

    // The order in which the callbacks of one event are called: for a flow
    // map, the statistics form comes before the full form.
    static const ScriptFunction order[] = {
        qppScript::ProcessAgentEvent, qppScript::ProcessFlowEvent,
        qppScript::ProcessFlowStats, qppScript::ProcessFlowMap};

    bool result = true;
    for (ScriptFunction id : order) {
        if ((selected & id) == 0) continue;

        PyObject *callable = script.Function(id);  // borrowed
        if (callable == nullptr) continue;
        const char *name = qppScript::CallbackName(id);

        qppPyRef args;
        switch (id) {
        case qppScript::ProcessAgentEvent: {
            args = qppPyRef::Steal(PyTuple_New(1));
            if (! args) throw qdException("cannot create new args tuple");
            qppPyRef value = qppPyRef::Steal(
                PyLong_FromLong(event.prv ? event.prv : event.event));
            if (! value) {
                throw qdException("cannot create new long from: %s",
                    "event.prv or event.event");
            }
            SetTupleItem(args.get(), 0, std::move(value));
            break;
        }
        case qppScript::ProcessFlowEvent: {
            args = qppPyRef::Steal(PyTuple_New(2));
            if (! args) throw qdException("cannot create new args tuple");
            qppPyRef value = qppPyRef::Steal(PyLong_FromLong(event.event));
            if (! value)
                throw qdException("cannot create new long from: %s", "event.event");
            SetTupleItem(args.get(), 0, std::move(value));
            if (event.flows.size() != 1) {
                throw qdException("unexpected event flow count: %lu",
                    static_cast<unsigned long>(event.flows.size()));
            }
            SetTupleItem(args.get(), 1,
                qppPyRef::Steal(EncodeFlow(
                    event.flows[0].first, event.flows[0].second, false)));
            break;
        }
        case qppScript::ProcessFlowMap:
        case qppScript::ProcessFlowStats: {
            args = qppPyRef::Steal(PyTuple_New(1));
            if (! args) throw qdException("cannot create new args tuple");
            Py_ssize_t count = static_cast<Py_ssize_t>(event.flows.size());
            qppPyRef list = qppPyRef::Steal(PyList_New(count));
            if (! list) throw qdException("cannot create new flows list");
            // A flow that cannot be encoded (memory) is left out, so that
            // one flow never keeps the others from the script; the event
            // logs it once.
            Py_ssize_t filled = 0;
            size_t left_out = 0;
            std::string first_left_out;
            qppGcPause gc_pause;
            for (const auto &entry : event.flows) {
                try {
                    PyList_SET_ITEM(list.get(), filled,
                        EncodeFlow(entry.first, entry.second,
                            id == qppScript::ProcessFlowStats));
                    filled++;
                }
                catch (const qdException &e) {
                    if (left_out++ == 0) first_left_out = FlowDigest(*entry.first) + ": " + e.what();
                }
            }
            if (left_out > 0) {
                qd_printf("%s: %s: %zu flow(s) left out, the first %s\n",
                    tag.c_str(), name, left_out, first_left_out.c_str());
                // The unfilled slots are empty; the slice drops them.
                if (PyList_SetSlice(list.get(), filled, count, nullptr) < 0) {
                    PyErr_Clear();
                    throw qdException("cannot create new flows list");
                }
            }
            SetTupleItem(args.get(), 0, std::move(list));
            break;
        }
        }

        // The configuration's own switch: shown without the host's debug.
        if (debug) {
            qd_printf("%s: calling script function: %s\n", tag.c_str(), name);
        }

        qppCallbackStats &counters = stats.Callback(id);
        qppCount(counters.calls);
        // The watchdog's reading of the clock serves the time histogram too.
        auto start = watchdog.CallStarted(id);
        qppPyRef rc = qppPyRef::Steal(PyObject_CallObject(callable, args.get()));
        // Counted by the watchdog as interrupted, not as an exception.
        bool interrupted = watchdog.CallEnded();
        counters.time.Add(static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - start)
                .count()));
        args.reset();
        if (! rc) {
            if (! interrupted) qppCount(counters.exceptions);
            qppPrintPythonError();
            result = false;
        }
    }

    return result;
}
