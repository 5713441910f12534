// The script in the daemon's own process (see qpp-interpreter-isolation.h).

#include "qpp-interpreter-isolation.h"
#include "qpp-module.h"
#include "qpp-runtime.h"

namespace {

// The flows of a queued event, each recorded when its callback takes it:
// the flow's mutex is held for the record's copy only.
class EventFeed : public qppFlowFeed
{
public:
    explicit EventFeed(const qppEvent &event) : event(event) { }

    size_t Count() const override { return event.flows.size(); }

    qppFlowRecordView Next(bool stats_only) override
    {
        if (next == event.flows.size()) next = 0;  // the next callback's turn
        const auto &entry = event.flows[next++];
        return record.Build(*entry.first, entry.second, stats_only);
    }

private:
    const qppEvent &event;
    size_t next = 0;
    qppFlowRecord record;
};

}  // namespace

qppInterpreterIsolation::qppInterpreterIsolation(qppStats &stats,
    std::atomic<uint8_t> &mask, qppCallObserver &observer, const std::string &tag)
    : stats(stats), observer(observer), tag(tag), script(mask)
{
    // The host thread enters the main interpreter with a thread state of its
    // own, made for the purpose and deleted on the way out. Resuming the one
    // the runtime came up with, shared by all host threads, goes wrong from
    // 3.12 on: each thread keeps a record of a thread state it activated
    // (PyGILState's), and with a shared one the record of a thread that made
    // a sub-interpreter is left pointing at that sub-interpreter's first
    // thread state. Another host thread ending the sub-interpreter frees it,
    // and the next instance made on the first thread writes through the
    // record.
    qppPySubInterpreter::thread_scope scope(PyInterpreterState_Main());
    interpreter.reset(new qppPySubInterpreter());
    if (! interpreter->IsValid()) {
        PyErr_Clear();
        interpreter.reset();
        throw qdException("could not create Python sub-interpreter");
    }
}

qppInterpreterIsolation::~qppInterpreterIsolation()
{
    watchdog.Stop();
    // What the plugin still holds of the script belongs to the
    // sub-interpreter and goes inside it, before it ends; the script's
    // threads get until the deadline to finish, the unload notice having
    // told the script to stop them.
    bool ended;
    size_t left = 0;
    {
        qppPySubInterpreter::thread_scope scope(interpreter->GetInterpreterState());
        PyInterpreterState *interp = interpreter->GetInterpreterState();
        ended = script.Teardown(interp, interpreter->CreationState(), script_thread_wait);
        if (! ended) left = qppCountOtherThreads(interp, interpreter->CreationState());
    }
    if (ended) {
        // As in the constructor, a thread state of this thread's own.
        qppPySubInterpreter::thread_scope scope(PyInterpreterState_Main());
        interpreter.reset();
        return;
    }
    qd_printf("%s: %zu script thread(s) still running after %lld "
              "seconds: their interpreter is left alive\n",
        tag.c_str(), left, static_cast<long long>(script_thread_wait.count()));
    interpreter->Abandon();
    interpreter.reset();
    qppRuntime::Pin();
}

void qppInterpreterIsolation::SetWorkerThread()
{
    watchdog.SetWorker(interpreter->GetInterpreterState(), PyThread_get_thread_ident());
}

bool qppInterpreterIsolation::Unchanged(const qppScriptLoad &load) const
{
    return script.Unchanged(load.digest);
}

void qppInterpreterIsolation::Configure(
    std::chrono::nanoseconds budget, const std::string &new_tag)
{
    tag = new_tag;
    watchdog.Configure(budget, tag);
}

void qppInterpreterIsolation::Load(const qppScriptLoad &load)
{
    CallScriptFunction(qppEvent(qppEvent::PRV_UNLOAD, 0),
        qppSelectCallbacks(qppEvent::PRV_UNLOAD, 0, script.Subscriptions(), tag));

    qppPySubInterpreter::thread_scope scope(interpreter->GetInterpreterState());
    script.Load(load.name, load.path, load.digest, load.module_dir, load.tag);
    tag = load.name;
}

void qppInterpreterIsolation::Serve(qppEvent &&event, uint8_t selected)
{
    qppStats::Kind kind = event.Kind();
    try {
        CallScriptFunction(event, selected);
        stats.Served(kind, event.flows.size());
    }
    catch (const std::exception &e) {
        // An event whose arguments could not be built is dropped.
        qd_printf("%s: %s\n", tag.c_str(), e.what());
        stats.Dropped(kind, event.flows.size());
    }
}

void qppInterpreterIsolation::CallScriptFunction(const qppEvent &event, uint8_t selected)
{
    if (selected == 0) return;
    qppPySubInterpreter::thread_scope scope(interpreter->GetInterpreterState());
    EventFeed feed(event);
    qppInvoke(script, watchdog, tag, event.prv, event.event, selected, feed, observer);
}

void qppInterpreterIsolation::Unload()
{
    // The callbacks go however the notice went.
    struct Forget
    {
        qppInterpreterIsolation &self;
        ~Forget()
        {
            qppPySubInterpreter::thread_scope scope(self.interpreter->GetInterpreterState());
            self.script.Unbind();
            self.script.ForgetDigest();
        }
    } forget{*this};
    CallScriptFunction(qppEvent(qppEvent::PRV_UNLOAD, 0),
        qppSelectCallbacks(qppEvent::PRV_UNLOAD, 0, script.Subscriptions(), tag));
}

void qppInterpreterIsolation::Leave()
{
    Unload();
    qppPySubInterpreter::thread_scope scope(interpreter->GetInterpreterState());
    script.Forget();
}

void qppInterpreterIsolation::Idle() { qppTrimArenaCache(); }
